"""The notebook display rendered by headless Chromium: the statistics table and
the GeoTIFF view (hostile option values from the configuration file and a
keyword), folded and unfolded, in JupyterLab's own stylesheets (light and
dark pages of ``nbconvert --template lab``), under JupyterLab's dark
variables alone, under VS Code's variables and in bare pages; measured by a
script beside the view, and screenshots (without any script) kept in
``tests/artifacts/``."""

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

import pytest
from PIL import Image

ROOT = pathlib.Path(__file__).resolve().parent.parent.parent
ARTIFACTS = ROOT / "tests" / "artifacts"
WIDTH = 1280
SCRIPT_VALUE = "<script>alert(1)</script>"
MARKUP_VALUE = '<b onmouseover="alert(2)">bold?</b> & <i>more</i>'

STATIC = pathlib.Path(sys.prefix, "share", "jupyter", "nbconvert", "templates", "lab", "static")
# VS Code's notebook outputs see the editor's colours as --vscode-* variables (Light/Dark Modern).
VSCODE = {"light": {"--vscode-editor-background": "#ffffff", "--vscode-editor-foreground": "#3b3b3b",
                    "--vscode-foreground": "#3b3b3b"},
          "dark": {"--vscode-editor-background": "#1f1f1f", "--vscode-editor-foreground": "#cccccc",
                   "--vscode-foreground": "#cccccc"}}
# Host pages: JupyterLab's own stylesheets as `jupyter nbconvert --template lab` writes them, JupyterLab's
# dark variables alone over an unstyled body, VS Code's variables alone, and bare pages.
HOSTS = {"lab-light": "light", "lab-dark": "dark", "jp-vars-dark": "dark", "vscode-light": "light",
         "vscode-dark": "dark", "bare-light": "light", "bare-dark": "dark"}
LAB = ("lab-light", "lab-dark")

# Measures the output cell after layout into #vek-report (JSON). Text colours
# are composited over every background from the page up, opacity included.
MEASURE_JS = r"""
(function () {
  const out = document.getElementById("vek-out");
  // what the browser paints under a page without any background of its own
  const canvas = getComputedStyle(document.documentElement).colorScheme.includes("dark")
    ? [18, 18, 18, 1] : [255, 255, 255, 1];
  const rgba = t => { const m = /rgba?\(([^)]*)\)/.exec(t); if (!m) return [0, 0, 0, 0];
    const p = m[1].split(/[\s,\/]+/).filter(Boolean).map(Number); return [p[0], p[1], p[2], p.length > 3 ? p[3] : 1]; };
  const over = (top, bot) => { const a = top[3] + bot[3] * (1 - top[3]); if (a === 0) return [0, 0, 0, 0];
    return [0, 1, 2].map(i => (top[i] * top[3] + bot[i] * bot[3] * (1 - top[3])) / a).concat([a]); };
  const lum = c => { const f = v => (v /= 255) <= 0.03928 ? v / 12.92 : Math.pow((v + 0.055) / 1.055, 2.4);
    return 0.2126 * f(c[0]) + 0.7152 * f(c[1]) + 0.0722 * f(c[2]); };
  function contrast(el) {
    let bg = canvas, opacity = 1; const nodes = [];
    for (let n = el; n; n = n.parentElement) nodes.unshift(n);
    for (const n of nodes) {
      const cs = getComputedStyle(n); bg = over(rgba(cs.backgroundColor), bg); opacity *= Number(cs.opacity); }
    const fg = rgba(getComputedStyle(el).color); fg[3] *= opacity;
    const x = lum(over(fg, bg)), y = lum(bg);
    return (Math.max(x, y) + 0.05) / (Math.min(x, y) + 0.05);
  }
  function clippedBy(el, r) {
    for (let n = el.parentElement; n && n !== document.body; n = n.parentElement) {
      const cs = getComputedStyle(n); if (cs.overflowX === "visible" && cs.overflowY === "visible") continue;
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
    const visible = el.checkVisibility({visibilityProperty: true}), range = document.createRange();
    range.setStartBefore(own[0]); range.setEndAfter(own[own.length - 1]);
    const r = range.getBoundingClientRect(), cs = getComputedStyle(el);
    texts.push({text: own.map(n => n.data).join(""), visible: visible, rect: [r.left, r.top, r.right, r.bottom],
      tag: el.tagName, cls: el.className, align: cs.textAlign, lum: lum(rgba(cs.color)),
      fontSize: parseFloat(cs.fontSize), overflows: el.scrollWidth > el.clientWidth + 1 && cs.display !== "inline",
      clippedBy: visible ? clippedBy(el, r) : null, contrast: contrast(el)});
  }
  const cells = tr => [...tr.cells].map(c => c.textContent);
  document.getElementById("vek-report").textContent = JSON.stringify({
    texts: texts,
    tables: [...out.querySelectorAll("table")].map(t => ({visible: t.checkVisibility(),
      head: [...t.querySelectorAll("thead tr")].map(cells), rows: [...t.querySelectorAll("tbody tr")].map(cells),
      rowsVisible: [...t.querySelectorAll("tbody tr")].filter(tr => tr.checkVisibility()).length})),
    details: [...out.querySelectorAll("details")].map(d => ({open: d.hasAttribute("open"),
      summaryFirst: d.firstElementChild.tagName === "SUMMARY", summary: d.querySelector("summary").textContent,
      summaryVisible: d.querySelector("summary").checkVisibility(), height: d.getBoundingClientRect().height,
      summaryHeight: d.querySelector("summary").getBoundingClientRect().height})),
    handlers: [...out.querySelectorAll("*")].filter(el => [...el.attributes].some(a => a.name.startsWith("on"))).length,
    elements: [...out.querySelectorAll("script, b, i")].length,
    counts: [...out.querySelectorAll(".vek-h-counts span")].map(s => s.textContent),
    theme: (() => { const v = out.querySelector(".vek-h"); let bg = canvas;
      for (let n = v; n; n = n.parentElement) { const c = rgba(getComputedStyle(n).backgroundColor);
        if (c[3] > 0) { bg = c; break; } }
      return {text: lum(rgba(getComputedStyle(v).color)), background: lum(bg)}; })(),
    innerWidth: window.innerWidth, scrollWidth: document.documentElement.scrollWidth,
    scrollHeight: document.documentElement.scrollHeight,
  });
})();
"""

FRAGMENTS_CODE = textwrap.dedent(r"""
    import json, sys
    import xml.etree.ElementTree as ET
    from vek._algos.geo import base
    from vek._algos.geo.driver import DriveStatistics, RasterDriver
    stats = DriveStatistics()
    (lead, trail), _ = base.get_sel(len(stats), base.env.JupyterShowMaxShape[0])
    writes = {"create": "DCAP_CREATE", "copy": "DCAP_CREATECOPY", "translate": "DCAP_VECTOR_TRANSLATE_FROM"}
    def row(i):  # how the driver writes, by GDAL's items
        flag = lambda key: (base._gdal.MajorObject_GetMetadataItem(stats[i]._driver, key, "") or "").upper()
        return [i, stats[i].name, ", ".join(m for m, key in writes.items() if flag(key) == "YES")]
    rows = [row(i) for i in range(*lead)]
    if trail != (0, 0):
        rows += [None] + [row(i) for i in range(*trail)]
    gtiff = RasterDriver("GTiff")
    gtiff.set_creation_options(TILED=sys.argv[1])
    flag = next(k for k, r in gtiff.creation_options_info.items() if r.get("type") == "boolean" and k != "TILED")
    gtiff.set_creation_options(**{flag: True})  # GDAL is handed YES
    # the description cell as GDAL's own option list gives it: the description, then the other attributes
    # (min and max from GDAL 3.13) as name=value
    xml = base._gdal.MajorObject_GetMetadataItem(base._gdal.GetDriverByName("GTiff"), "DMD_CREATIONOPTIONLIST")
    attrs = {o.get("name"): o.attrib for o in ET.fromstring(xml).iter("Option")}
    def cell(name):
        a = attrs[name]
        extra = "; ".join(f"{k}={v}" for k, v in a.items() if k not in ("name", "type", "default", "description"))
        return a.get("description", "") + extra
    json.dump({"statistics": stats._repr_html_(), "gtiff": gtiff._repr_html_(), "rows": rows,
               "total": len(stats),
               "creation": {k: cell(k) for k in gtiff.creation_options_info},
               "open": list(gtiff.open_options_info), "flag": flag, "long_name": gtiff.long_name,
               "extensions": " ".join(dict.fromkeys([gtiff.extension, *gtiff.extensions]))}, sys.stdout)
""")


@pytest.fixture(scope="module")
def fragments(tmp_path_factory):
    """Both views from a fresh interpreter whose configuration presets COMPRESS to a script element."""
    config = tmp_path_factory.mktemp("config") / "config.toml"
    config.write_text(f"[raster.creation_options.GTiff]\nCOMPRESS = {json.dumps(SCRIPT_VALUE)}\n")
    res = subprocess.run([sys.executable, "-c", FRAGMENTS_CODE, MARKUP_VALUE], capture_output=True, text=True,
                         env=dict(os.environ, VEK_CONFIG=str(config)), check=True)
    return json.loads(res.stdout)


def _lab_page(cell, theme):
    import nbformat
    from nbconvert import HTMLExporter

    nb = nbformat.v4.new_notebook()
    output = nbformat.v4.new_output("display_data", data={"text/html": cell})
    nb.cells.append(nbformat.v4.new_code_cell("stats", outputs=[output]))
    page, _ = HTMLExporter(template_name="lab", theme=theme).from_notebook_node(nb)
    return re.sub(r"<script\b[^>]*>.*?</script>", "", page, flags=re.S)  # no network, nothing to run


def host_page(fragment, host, measure):
    theme = HOSTS[host]
    cell = f'<div id="vek-out">{fragment}</div>\n<pre id="vek-report" style="display:none"></pre>'
    script = f'<script id="vek-measure">{MEASURE_JS}</script>\n' if measure else ""
    if host in LAB:
        return _lab_page(cell, theme).replace("</body>", script + "</body>")
    if host == "jp-vars-dark":
        head = (STATIC / "theme-dark.css").read_text(encoding="utf-8")
    elif host.startswith("vscode"):
        head = ":root { " + "".join(f"{k}: {v}; " for k, v in VSCODE[theme].items()) + "}"
    else:  # a bare page follows the browser's light or dark scheme
        head = f":root {{ color-scheme: {theme}; }}"
    return (f"<!DOCTYPE html>\n<html><head><meta charset='utf-8'><style>{head}</style></head><body>\n"
            f"{cell}\n{script}</body></html>\n")


def run_chromium(chromium, page, home, *args):
    # no sanitizer preload (make test-asan runs the suite under one); profile and caches in scratch
    env = {k: v for k, v in os.environ.items()
           if k not in ("LD_PRELOAD", "PYTHONMALLOC") and not k.endswith("SAN_OPTIONS")}
    env.update(HOME=str(home), XDG_CONFIG_HOME=str(home / "config"), XDG_CACHE_HOME=str(home / "cache"))
    cmd = [chromium, "--headless", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage", "--no-first-run",
           "--disable-extensions", "--hide-scrollbars", "--force-device-scale-factor=1",
           f"--user-data-dir={home / 'profile'}", *args, page.as_uri()]
    res = subprocess.run(cmd, capture_output=True, text=True, timeout=120, env=env)
    assert res.returncode == 0, res.stderr[-3000:]
    return res.stdout


def render(chromium, workdir, name, fragment, host):
    """The measured report and the screenshot (a Pillow image) of one page."""
    page, plain, home = (workdir / f"{name}-{host}{end}" for end in ("-measure.html", ".html", "-home"))
    page.write_text(host_page(fragment, host, True), encoding="utf-8")
    plain.write_text(host_page(fragment, host, False), encoding="utf-8")
    # the hosts given by variables alone paint on the browser's light canvas
    scheme = ["--force-dark-mode"] if host in ("lab-dark", "bare-dark") else []
    dom = run_chromium(chromium, page, home, *scheme, f"--window-size={WIDTH},900", "--dump-dom")
    m = re.search(r'<pre id="vek-report"[^>]*>(.*?)</pre>', dom, re.S)
    assert m and m.group(1), "the measuring script did not run"
    report = json.loads(html.unescape(m.group(1)))
    shot = workdir / f"{name}-{host}.png"
    height = min(max(int(report["scrollHeight"]), 600), 16000)
    run_chromium(chromium, plain, home, *scheme, f"--window-size={WIDTH},{height}", f"--screenshot={shot}")
    assert Image.open(shot).size == (WIDTH, height)
    ARTIFACTS.mkdir(parents=True, exist_ok=True)
    for kept in (shot, plain):
        shutil.copyfile(kept, ARTIFACTS / kept.name)
    return report


PAGES = ["statistics", "gtiff", "gtiff-open"]
# every page in JupyterLab's stylesheets; the shown ones in every other host
KEYS = [(page, host) for host in HOSTS for page in PAGES if host in LAB or page != "gtiff"]


@pytest.fixture(scope="module")
def rendered(fragments, tmp_path_factory):
    chromium = shutil.which("chromium")
    if chromium is None:
        pytest.fail("chromium is not installed: run `make setup` (it installs Debian's chromium)")
    workdir = tmp_path_factory.mktemp("browser")
    sources = dict(fragments, **{"gtiff-open": fragments["gtiff"].replace("<details>", "<details open>")})
    with concurrent.futures.ThreadPoolExecutor(max_workers=4) as pool:
        jobs = {key: pool.submit(render, chromium, workdir, key[0], sources[key[0]], key[1]) for key in KEYS}
        return {key: job.result() for key, job in jobs.items()}


@pytest.mark.parametrize("theme", LAB)
def test_statistics_table_rows(rendered, fragments, theme):
    report = rendered["statistics", theme]
    (table,) = report["tables"]
    assert table["visible"]
    assert table["head"] == [["", "name", "category", "extension", "creatable", "writes", "updatable", "virtualio"]]
    assert len(table["rows"]) == len(fragments["rows"]) == table["rowsVisible"]
    for row, want in zip(table["rows"], fragments["rows"]):
        if want is None:
            assert set(row) == {"..."}
        else:
            assert [row[0], row[1], row[5]] == [str(want[0]), *want[1:]] and row[4] in ("True", "False")
    (counts,) = report["counts"]  # each driver once, the split stated
    assert re.fullmatch(rf"{fragments['total']} drivers: \d+ raster only, \d+ vector only, \d+ both.*", counts)


@pytest.mark.parametrize("theme", LAB)
@pytest.mark.parametrize("page", ["gtiff", "gtiff-open"])
def test_option_values_shown_as_text(rendered, fragments, page, theme):
    report = rendered[page, theme]
    assert (report["elements"], report["handlers"]) == (0, 0)  # nothing came from the values
    current = {row[0]: row[4] for row in report["tables"][1]["rows"]}
    assert (current["COMPRESS"], current["TILED"], current[fragments["flag"]]) == (SCRIPT_VALUE, MARKUP_VALUE, "YES")
    shown = {t["text"] for t in report["texts"] if t["visible"]}
    assert (SCRIPT_VALUE in shown and MARKUP_VALUE in shown) == (page == "gtiff-open")
    # folded or not, the summary says what is set, as GDAL is handed it
    assert {f"COMPRESS={SCRIPT_VALUE}", f"TILED={MARKUP_VALUE}", f"{fragments['flag']}=YES"} <= shown


@pytest.mark.parametrize("theme", LAB)
def test_driver_summary_and_unbroken_type_names(rendered, fragments, theme):
    report = rendered["gtiff-open", theme]
    info = report["tables"][0]["rows"]
    assert ["Long name", fragments["long_name"]] in info and ["Extensions", fragments["extensions"]] in info
    types = [t for t in report["texts"] if t["visible"] and t["cls"] == "vek-h-type"]
    assert any("-" in t["text"] for t in types)  # string-select, ...
    assert all(t["rect"][3] - t["rect"][1] < 1.8 * t["fontSize"] for t in types), "a type name is broken"


@pytest.mark.parametrize("theme", LAB)
def test_catalogues_fold_without_javascript(rendered, fragments, theme):
    folded, unfolded = rendered["gtiff", theme], rendered["gtiff-open", theme]
    sizes = [len(fragments["creation"]), len(fragments["open"])]
    assert [d["open"] for d in folded["details"]] == [False, False]
    assert [d["open"] for d in unfolded["details"]] == [True, True]
    for report in (folded, unfolded):
        for d, heading, n in zip(report["details"], ["Creation Options", "Open Options"], sizes):
            # a <summary> first is what makes the browser toggle on a click
            assert d["summaryFirst"] and d["summaryVisible"]
            assert d["summary"] == f"{heading} ({n} option{'s' if n != 1 else ''})"
    assert all(d["height"] <= d["summaryHeight"] + 1 for d in folded["details"])
    info, *catalogues = folded["tables"]
    assert info["visible"] and all(not t["visible"] and t["rowsVisible"] == 0 for t in catalogues)
    info, *catalogues = unfolded["tables"]
    assert [len(t["rows"]) for t in catalogues] == [n for n in sizes if n]  # an empty one has only a note
    assert all(t["visible"] and t["rowsVisible"] == len(t["rows"]) for t in catalogues)
    assert [row[0] for row in catalogues[0]["rows"]] == list(fragments["creation"])
    assert [row[5] for row in catalogues[0]["rows"]] == list(fragments["creation"].values())
    assert catalogues[0]["head"] == [["Option", "Type", "Default", "Allowed values", "Current value", "Description"]]


@pytest.mark.parametrize("key", [k for k in KEYS if k[0] != "gtiff"], ids="-".join)
def test_cells_left_aligned_in_the_hosts_theme(rendered, key):
    report = rendered[key]
    cells = [t for t in report["texts"] if t["visible"] and t["tag"] in ("TD", "TH")]
    assert cells
    for t in cells:  # numbers right, the "..." filler centred, everything else reads from the left
        want = "right" if "vek-h-num" in t["cls"] else "center" if "vek-h-cut" in t["cls"] else "left"
        assert t["align"] in (want, "start" if want == "left" else want), t
    dark = HOSTS[key[1]] == "dark"
    assert (report["theme"]["text"] > report["theme"]["background"]) == dark, report["theme"]


@pytest.mark.parametrize("key", KEYS, ids="-".join)
def test_nothing_clipped_and_every_text_readable(rendered, key):
    report = rendered[key]
    texts = [t for t in report["texts"] if t["visible"]]
    assert texts and report["scrollWidth"] <= report["innerWidth"], "the page scrolls sideways"
    for t in texts:
        left, top, right, bottom = t["rect"]
        assert 0 <= left < right <= report["innerWidth"] and bottom > top, t
        assert not t["overflows"] and t["clippedBy"] is None and t["fontSize"] >= 10, t
        assert t["contrast"] >= 4.5, t  # WCAG AA, muted texts included
