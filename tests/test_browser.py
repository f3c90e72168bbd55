"""The notebook display rendered by a real browser (headless Chromium).

Two HTML views are rendered: the driver statistics table and the GeoTIFF
driver view, whose creation options carry hostile values (one from the
configuration file, one set by keyword).  Each is put into two host pages
that imitate a notebook output cell, one in a light and one in a dark
theme (JupyterLab-like rules for rendered HTML included), and the GeoTIFF
view a second time with its catalogues unfolded, as a click on their
headings leaves them.

Every page is loaded twice: once with ``--dump-dom``, where a script of
the host page (outside the output cell) measures the rendered layout and
computed styles into a report element, and once, without that script (the
page then holds no script at all), with ``--screenshot``.  The screenshots are kept in ``tests/artifacts/``.
"""

import concurrent.futures
import html
import json
import os
import pathlib
import re
import shutil
import subprocess
import sys
import textwrap
from collections import Counter
from html.parser import HTMLParser

import pytest
from PIL import Image

ROOT = pathlib.Path(__file__).resolve().parent.parent
ARTIFACTS = ROOT / "tests" / "artifacts"
WIDTH = 1280

SCRIPT_VALUE = "<script>alert(1)</script>"
MARKUP_VALUE = '<b onmouseover="alert(2)">bold?</b> & <i>more</i>'

# Colours of JupyterLab's light and dark themes (layout colour 0, row
# backgrounds, UI and content text, borders).
THEMES = {
    "light": {
        "--jp-layout-color0": "#ffffff",
        "--jp-ui-font-color1": "rgba(0, 0, 0, 0.87)",
        "--jp-content-font-color1": "rgba(0, 0, 0, 0.87)",
        "--jp-rendermime-table-row-background": "#f5f5f5",
        "--jp-rendermime-table-row-hover-background": "#e1f5fe",
        "--jp-border-color1": "#bdbdbd",
        "color-scheme": "light",
    },
    "dark": {
        "--jp-layout-color0": "#111111",
        "--jp-ui-font-color1": "rgba(255, 255, 255, 0.87)",
        "--jp-content-font-color1": "rgba(255, 255, 255, 1)",
        "--jp-rendermime-table-row-background": "#212121",
        "--jp-rendermime-table-row-hover-background": "rgba(3, 169, 244, 0.2)",
        "--jp-border-color1": "#616161",
        "color-scheme": "dark",
    },
}

HOST_CSS = """
html, body { margin: 0; background: var(--jp-layout-color0);
  color: var(--jp-content-font-color1); }
body { padding: 12px 16px; font-family: system-ui, -apple-system, "DejaVu Sans", sans-serif; }
.jp-RenderedHTMLCommon { font-size: 14px; line-height: 1.6; padding-right: 20px; }
.jp-RenderedHTMLCommon table { border-collapse: collapse; border-spacing: 0; border: none;
  color: var(--jp-ui-font-color1); font-size: 12px; table-layout: fixed;
  margin-left: auto; margin-right: auto; margin-bottom: 1em; }
.jp-RenderedHTMLCommon thead { border-bottom: 1px solid var(--jp-border-color1);
  vertical-align: bottom; }
.jp-RenderedHTMLCommon td, .jp-RenderedHTMLCommon th, .jp-RenderedHTMLCommon tr {
  text-align: right; vertical-align: middle; padding: 0.5em; line-height: normal;
  white-space: normal; max-width: none; border: none; }
.jp-RenderedHTMLCommon th { font-weight: bold; }
.jp-RenderedHTMLCommon tbody tr:nth-child(odd) { background: var(--jp-layout-color0); }
.jp-RenderedHTMLCommon tbody tr:nth-child(even) {
  background: var(--jp-rendermime-table-row-background); }
.jp-RenderedHTMLCommon tbody tr:hover {
  background: var(--jp-rendermime-table-row-hover-background); }
#vek-report { display: none; }
"""

# Measures the output cell after layout and writes a JSON report into
# #vek-report.  Colours are composited from the element up to the page,
# opacity of the element and its ancestors included.
MEASURE_JS = r"""
(function () {
  const out = document.getElementById("vek-out");
  function rgba(text) {
    const m = /rgba?\(([^)]*)\)/.exec(text);
    if (!m) return [0, 0, 0, 0];
    const p = m[1].split(/[\s,\/]+/).filter(Boolean).map(Number);
    return [p[0], p[1], p[2], p.length > 3 ? p[3] : 1];
  }
  function over(top, bottom) {
    const a = top[3] + bottom[3] * (1 - top[3]);
    if (a === 0) return [0, 0, 0, 0];
    const c = [0, 1, 2].map(i => (top[i] * top[3] + bottom[i] * bottom[3] * (1 - top[3])) / a);
    return [c[0], c[1], c[2], a];
  }
  function lum(c) {
    const f = v => { v /= 255; return v <= 0.03928 ? v / 12.92 : Math.pow((v + 0.055) / 1.055, 2.4); };
    return 0.2126 * f(c[0]) + 0.7152 * f(c[1]) + 0.0722 * f(c[2]);
  }
  function contrast(a, b) {
    const x = lum(a), y = lum(b);
    return (Math.max(x, y) + 0.05) / (Math.min(x, y) + 0.05);
  }
  function chain(el) {
    const list = [];
    for (let n = el; n; n = n.parentElement) list.push(n);
    return list;
  }
  function colours(el) {
    let bg = [255, 255, 255, 1];
    let opacity = 1;
    const nodes = chain(el);
    for (let i = nodes.length - 1; i >= 0; i--) {
      const cs = getComputedStyle(nodes[i]);
      bg = over(rgba(cs.backgroundColor), bg);
      opacity *= Number(cs.opacity);
    }
    const fg = rgba(getComputedStyle(el).color);
    fg[3] *= opacity;
    const ink = over(fg, bg);
    return {bg: bg, ink: ink, contrast: contrast(ink, bg), opacity: opacity};
  }
  function clippedBy(el, r) {
    for (let n = el.parentElement; n && n !== document.body; n = n.parentElement) {
      const cs = getComputedStyle(n);
      if (cs.overflowX === "visible" && cs.overflowY === "visible") continue;
      const b = n.getBoundingClientRect();
      if (r.left < b.left - 1 || r.right > b.right + 1 || r.top < b.top - 1 || r.bottom > b.bottom + 1)
        return n.tagName;
    }
    return null;
  }
  const texts = [];
  for (const el of out.querySelectorAll("*")) {
    if (el.tagName === "STYLE" || el.tagName === "SCRIPT") continue;
    const own = [...el.childNodes].filter(n => n.nodeType === 3 && n.data.trim());
    if (!own.length) continue;
    const visible = el.checkVisibility({visibilityProperty: true});
    const range = document.createRange();
    range.setStartBefore(own[0]);
    range.setEndAfter(own[own.length - 1]);
    const r = range.getBoundingClientRect();
    const cs = getComputedStyle(el);
    texts.push(Object.assign({
      tag: el.tagName.toLowerCase(),
      text: own.map(n => n.data).join(""),
      visible: visible,
      rect: [r.left, r.top, r.right, r.bottom],
      fontSize: parseFloat(cs.fontSize),
      overflows: el.scrollWidth > el.clientWidth + 1 && cs.display !== "inline",
      clippedBy: visible ? clippedBy(el, r) : null,
    }, colours(el)));
  }
  const tables = [...out.querySelectorAll("table")].map(t => ({
    cls: t.className,
    visible: t.checkVisibility(),
    head: [...t.querySelectorAll("thead tr")].map(tr => [...tr.cells].map(c => c.textContent)),
    rows: [...t.querySelectorAll("tbody tr")].map(tr => [...tr.cells].map(c => c.textContent)),
    rowsVisible: [...t.querySelectorAll("tbody tr")].filter(tr => tr.checkVisibility()).length,
  }));
  const details = [...out.querySelectorAll("details")].map(d => ({
    open: d.hasAttribute("open"),
    summaryFirst: !!d.firstElementChild && d.firstElementChild.tagName === "SUMMARY",
    summary: d.querySelector("summary").textContent,
    summaryVisible: d.querySelector("summary").checkVisibility(),
    height: d.getBoundingClientRect().height,
    summaryHeight: d.querySelector("summary").getBoundingClientRect().height,
  }));
  const handlers = [...out.querySelectorAll("*")].filter(
    el => [...el.attributes].some(a => a.name.startsWith("on"))).length;
  const report = {
    texts: texts, tables: tables, details: details, handlers: handlers,
    scripts: out.querySelectorAll("script").length,
    counts: [...out.querySelectorAll(".vek-h-counts span")].map(s => s.textContent),
    innerWidth: window.innerWidth,
    scrollWidth: document.documentElement.scrollWidth,
    scrollHeight: document.documentElement.scrollHeight,
  };
  document.getElementById("vek-report").textContent = JSON.stringify(report);
})();
"""

FRAGMENTS_CODE = textwrap.dedent(r"""
    import json, sys
    from vek._algos.geo import base
    from vek._algos.geo.driver import DriveStatistics, RasterDriver

    stats = DriveStatistics()
    max_rows, _ = base.env.JupyterShowMaxShape
    (lead, trail), _ = base.get_sel(len(stats), max_rows)
    rows = [[i, stats[i].name] for i in range(*lead)]
    if trail != (0, 0):
        rows.append(None)
        rows += [[i, stats[i].name] for i in range(*trail)]

    gtiff = RasterDriver("GTiff")
    gtiff.set_creation_options(TILED=sys.argv[1])
    json.dump({
        "statistics": stats._repr_html_(),
        "gtiff": gtiff._repr_html_(),
        "rows": rows,
        "counts": {"Rasters": len(stats.rasters), "Vectors": len(stats.vectors),
                   "Total": len(stats)},
        "creation": {k: v.get("description", "") for k, v in gtiff.creation_options_info.items()},
        "open": list(gtiff.open_options_info),
    }, sys.stdout)
""")


def chromium_env(home):
    """The environment for Chromium: no sanitizer preload (make test-asan
    runs the suite under one), caches and profile in a scratch directory."""
    env = {k: v for k, v in os.environ.items()
           if k not in ("LD_PRELOAD", "PYTHONMALLOC") and not k.endswith("SAN_OPTIONS")}
    env.update(HOME=str(home), XDG_CONFIG_HOME=str(home / "config"),
               XDG_CACHE_HOME=str(home / "cache"))
    return env


@pytest.fixture(scope="module")
def chromium():
    path = shutil.which("chromium")
    if path is None:
        pytest.fail("chromium is not installed: run `make setup` (it installs Debian's chromium)")
    return path


@pytest.fixture(scope="module")
def fragments(tmp_path_factory):
    """The two HTML views, made by a fresh interpreter whose configuration
    file presets a GeoTIFF creation option to a script element."""
    tmp = tmp_path_factory.mktemp("config")
    config = tmp / "config.toml"
    config.write_text(
        "[raster.creation_options.GTiff]\n"
        f"COMPRESS = {json.dumps(SCRIPT_VALUE)}\n"
    )
    env = dict(os.environ, VEK_CONFIG=str(config))
    res = subprocess.run([sys.executable, "-c", FRAGMENTS_CODE, MARKUP_VALUE],
                         capture_output=True, text=True, env=env, check=True)
    return json.loads(res.stdout)


def host_page(fragment, theme, measure):
    variables = "".join(f"{k}: {v}; " for k, v in THEMES[theme].items())
    script = f'<script id="vek-measure">{MEASURE_JS}</script>\n' if measure else ""
    return (
        "<!DOCTYPE html>\n<html><head><meta charset='utf-8'>"
        f"<style>:root {{ {variables}}}\n{HOST_CSS}</style></head><body>\n"
        '<div class="jp-OutputArea-output jp-RenderedHTMLCommon" id="vek-out">'
        f"{fragment}</div>\n"
        f'<pre id="vek-report"></pre>\n{script}'
        "</body></html>\n"
    )


def run_chromium(chromium, page, home, *args):
    cmd = [chromium, "--headless", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
           "--no-first-run", "--disable-extensions", "--hide-scrollbars",
           "--force-device-scale-factor=1", f"--user-data-dir={home / 'profile'}",
           *args, page.as_uri()]
    res = subprocess.run(cmd, capture_output=True, text=True, timeout=120, env=chromium_env(home))
    assert res.returncode == 0, res.stderr[-3000:]
    return res.stdout


def render(chromium, workdir, name, fragment, theme):
    """Load one host page twice; return the DOM dump, the report and the
    screenshot (as a Pillow image)."""
    page = workdir / f"{name}-{theme}-measure.html"
    page.write_text(host_page(fragment, theme, True), encoding="utf-8")
    # the screenshot is of the page without any script at all
    plain = workdir / f"{name}-{theme}.html"
    plain.write_text(host_page(fragment, theme, False), encoding="utf-8")
    home = workdir / f"home-{name}-{theme}"
    home.mkdir()
    scheme = ["--force-dark-mode"] if theme == "dark" else []
    dom = run_chromium(chromium, page, home, *scheme, f"--window-size={WIDTH},900", "--dump-dom")
    m = re.search(r'<pre id="vek-report">(.*?)</pre>', dom, re.S)
    assert m and m.group(1), "the measuring script did not run"
    report = json.loads(html.unescape(m.group(1)))
    height = min(max(int(report["scrollHeight"]), 600), 16000)
    shot = workdir / f"{name}-{theme}.png"
    run_chromium(chromium, plain, home, *scheme, f"--window-size={WIDTH},{height}",
                 f"--screenshot={shot}")
    ARTIFACTS.mkdir(parents=True, exist_ok=True)
    shutil.copyfile(shot, ARTIFACTS / shot.name)
    shutil.copyfile(plain, ARTIFACTS / plain.name)
    image = Image.open(shot).convert("RGB")
    image.load()
    return {"dom": dom, "report": report, "image": image}


PAGES = ["statistics", "gtiff", "gtiff-open"]
SCHEMES = ["light", "dark"]


@pytest.fixture(scope="module")
def rendered(chromium, fragments, tmp_path_factory):
    workdir = tmp_path_factory.mktemp("browser")
    sources = {
        "statistics": fragments["statistics"],
        "gtiff": fragments["gtiff"],
        # what the page looks like after a click on each heading
        "gtiff-open": fragments["gtiff"].replace("<details>", "<details open>"),
    }
    jobs = {}
    with concurrent.futures.ThreadPoolExecutor(max_workers=6) as pool:
        for name in PAGES:
            for theme in SCHEMES:
                jobs[name, theme] = pool.submit(render, chromium, workdir, name,
                                                sources[name], theme)
        return {key: job.result() for key, job in jobs.items()}


def output_cell(dom):
    """The markup of the output cell in a DOM dump."""
    start = dom.index('id="vek-out"')
    return dom[start:dom.index('<pre id="vek-report">')]


class TagCounter(HTMLParser):
    def __init__(self):
        super().__init__()
        self.tags = Counter()

    def handle_starttag(self, tag, attrs):
        self.tags[tag] += 1


# ------------------------------------------------------------------ content

@pytest.mark.parametrize("theme", SCHEMES)
def test_statistics_table_rows(rendered, fragments, theme):
    report = rendered["statistics", theme]["report"]
    (table,) = report["tables"]
    assert table["visible"]
    assert table["head"] == [["", "name", "category", "extension", "creatable",
                              "updatable", "virtualio"]]
    expected = fragments["rows"]
    assert len(table["rows"]) == len(expected) == table["rowsVisible"]
    for row, want in zip(table["rows"], expected):
        if want is None:
            assert set(row) == {"..."}
        else:
            assert row[:2] == [str(want[0]), want[1]]
            assert row[4] in ("True", "False")
    assert report["counts"] == [f"{k}: {v}" for k, v in fragments["counts"].items()]


@pytest.mark.parametrize("theme", SCHEMES)
@pytest.mark.parametrize("page", ["gtiff", "gtiff-open"])
def test_option_values_shown_as_text(rendered, page, theme):
    result = rendered[page, theme]
    report = result["report"]
    # no element, attribute or handler came from the values
    assert report["scripts"] == 0 and report["handlers"] == 0
    cell = output_cell(result["dom"])
    parser = TagCounter()
    parser.feed(cell)
    assert parser.tags["script"] == 0 and parser.tags["b"] == 0 and parser.tags["i"] == 0
    assert html.escape(SCRIPT_VALUE, quote=False) in cell
    creation = report["tables"][1]
    current = {row[0]: row[4] for row in creation["rows"]}
    assert current["COMPRESS"] == SCRIPT_VALUE
    assert current["TILED"] == MARKUP_VALUE
    shown = {t["text"] for t in report["texts"] if t["visible"]}
    assert (SCRIPT_VALUE in shown and MARKUP_VALUE in shown) == (page == "gtiff-open")


@pytest.mark.parametrize("theme", SCHEMES)
def test_catalogues_fold_without_javascript(rendered, fragments, theme):
    folded = rendered["gtiff", theme]["report"]
    unfolded = rendered["gtiff-open", theme]["report"]
    sizes = [len(fragments["creation"]), len(fragments["open"])]
    headings = ["Creation Options", "Open Options"]

    assert [d["open"] for d in folded["details"]] == [False, False]
    assert [d["open"] for d in unfolded["details"]] == [True, True]
    for report in (folded, unfolded):
        for d, heading, n in zip(report["details"], headings, sizes):
            # a <summary> first is what makes the browser toggle on a click
            assert d["summaryFirst"] and d["summaryVisible"]
            assert d["summary"] == f"{heading} ({n} option{'s' if n != 1 else ''})"
    # folded: only the summaries take room, no option row is rendered
    for d in folded["details"]:
        assert d["height"] <= d["summaryHeight"] + 1
    info, *catalogues = folded["tables"]
    assert info["visible"] and all(not t["visible"] and t["rowsVisible"] == 0
                                   for t in catalogues)
    # unfolded: every option is a visible row, in the driver's order
    info, *catalogues = unfolded["tables"]
    # (an empty catalogue has no table, only a note)
    assert [len(t["rows"]) for t in catalogues] == [n for n in sizes if n]
    assert all(t["visible"] and t["rowsVisible"] == len(t["rows"]) for t in catalogues)
    creation = catalogues[0]
    assert [row[0] for row in creation["rows"]] == list(fragments["creation"])
    assert [row[5] for row in creation["rows"]] == list(fragments["creation"].values())
    assert creation["head"] == [["Option", "Type", "Default", "Allowed values",
                                 "Current value", "Description"]]


# ------------------------------------------------------------------ layout

KEYS = [(page, theme) for page in PAGES for theme in SCHEMES]


def visible_texts(report):
    return [t for t in report["texts"] if t["visible"]]


@pytest.mark.parametrize("key", KEYS, ids="-".join)
def test_nothing_clipped(rendered, key):
    report = rendered[key]["report"]
    texts = visible_texts(report)
    assert texts
    assert report["scrollWidth"] <= report["innerWidth"], "the page scrolls sideways"
    for t in texts:
        left, top, right, bottom = t["rect"]
        assert right - left > 0 and bottom - top > 0, t
        assert left >= 0 and right <= report["innerWidth"], t
        assert not t["overflows"] and t["clippedBy"] is None, t
        assert t["fontSize"] >= 10, t


@pytest.mark.parametrize("key", KEYS, ids="-".join)
def test_computed_colours_readable(rendered, key):
    """WCAG AA (4.5:1) for every visible text, muted texts included."""
    report = rendered[key]["report"]
    for t in visible_texts(report):
        assert t["contrast"] >= 4.5, t


def relative_luminance(rgb):
    def channel(v):
        v /= 255
        return v / 12.92 if v <= 0.03928 else ((v + 0.055) / 1.055) ** 2.4
    r, g, b = (channel(v) for v in rgb)
    return 0.2126 * r + 0.7152 * g + 0.0722 * b


def contrast(a, b):
    x, y = relative_luminance(a), relative_luminance(b)
    return (max(x, y) + 0.05) / (min(x, y) + 0.05)


def colours(image):
    """(count, colour) of every colour of ``image``, most frequent first."""
    return sorted(image.getcolors(image.width * image.height), reverse=True)


@pytest.mark.parametrize("key", KEYS, ids="-".join)
def test_screenshot_text_contrast(rendered, key):
    """Read back from the pixels: inside each text's box, the strongest ink
    stands out from the box's most common colour (its background)."""
    result = rendered[key]
    image, report = result["image"], result["report"]
    theme = key[1]
    page_bg = colours(image)[0][1]
    assert (relative_luminance(page_bg) > 0.8) == (theme == "light"), page_bg
    checked = 0
    for t in visible_texts(report):
        left, top, right, bottom = (round(v) for v in t["rect"])
        if bottom > image.height or right - left < 2 or bottom - top < 4:
            continue
        pixels = colours(image.crop((left, top, right, bottom)))
        bg = pixels[0][1]
        ink = max(contrast(p, bg) for _, p in pixels)
        assert ink >= 3.0, (t["text"], t["rect"], bg)
        checked += 1
    assert checked >= len(visible_texts(report)) * 0.9
