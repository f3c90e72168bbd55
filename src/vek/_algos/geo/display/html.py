"""HTML builders for notebook display of drivers, option catalogues and rows.

Loaded on first use through :mod:`vek._algos.geo.display`.

Every piece of text that goes into the page (keys, values, option names,
records, cells) is escaped with :func:`html.escape`: metadata is data,
never markup.  The output is self-contained: one ``<div>`` of class
``vek-h`` with an inline ``<style>`` whose rules are all scoped under that
class, and no JavaScript.  Text and background follow the front end's
theme variables (JupyterLab's ``--jp-*``, VS Code's ``--vscode-*``) and
are otherwise inherited and transparent; rows and headings are shaded
with semi-transparent grey, so the output reads in light and dark themes
alike, and its rules outrank the front ends' own table rules.
"""

import html

__all__ = ["VEKHTMLDetails", "VEKHTMLTable", "CSS_CLASS"]

CSS_CLASS = "vek-h"

# Every rule starts with the class three times over: notebook front ends style
# rendered tables with rules of two classes (JupyterLab right-aligns every
# cell with ":not(.jp-RenderedMarkdown).jp-RenderedHTMLCommon td"), and three
# classes outrank those wherever the style sheets come, without !important.
_P = ".vek-h.vek-h.vek-h"

# Text and background follow the front end's theme variables where it sets
# them: JupyterLab's --jp-*, else VS Code's --vscode-*. Where neither is
# set, a var() without a usable value leaves the colour inherited and the
# background transparent, so a bare page's own colours show through.
_RULES = [
    "{color:var(--jp-content-font-color1,var(--vscode-editor-foreground));"
    "background:var(--jp-layout-color0,var(--vscode-editor-background));"
    "font-size:0.92em;line-height:1.35}",
    " table{border-collapse:collapse;color:inherit;background:transparent;margin:0.2em 0 0.5em 0;"
    "table-layout:auto;font-size:inherit}",
    " th, td{color:inherit;background:transparent;border:none;padding:0.15em 0.6em;text-align:left;"
    "vertical-align:top;white-space:pre-wrap;line-height:inherit;max-width:none}",
    " thead{border:none}",
    " thead th{font-weight:600;border-bottom:1px solid rgba(127,127,127,0.55);background:rgba(127,127,127,0.14)}",
    " tbody tr, tbody tr:nth-child(odd){background:transparent}",
    " tbody tr:nth-child(even){background:rgba(127,127,127,0.08)}",
    " tbody tr:hover{background:rgba(127,127,127,0.18)}",
    " tbody th{font-weight:600}",
    " table.vek-h-border th, table.vek-h-border td{border:1px solid rgba(127,127,127,0.35)}",
    " .vek-h-info th{font-weight:600;padding-right:1.2em}",
    " .vek-h-num{text-align:right;font-variant-numeric:tabular-nums}",
    " .vek-h-muted{opacity:0.75}",
    " .vek-h-cut{opacity:0.75;text-align:center}",
    " .vek-h-counts{opacity:0.8;margin:0.2em 0}",
    ' .vek-h-counts span+span::before{content:" \\00b7  "}',
    " details{margin:0.3em 0}",
    " summary{cursor:pointer;font-weight:600}",
    " summary .vek-h-muted{font-weight:normal}",
    " .vek-h-empty{opacity:0.75;font-style:italic;margin:0.2em 0 0.5em 1em}",
    " .vek-h-extra{opacity:0.75;font-size:0.92em}",
    # a type name (string-select) breaks at its hyphen otherwise
    " td.vek-h-type{white-space:nowrap}",
    " .vek-h-set{margin-right:1em}",
]


def _rule(rule: str) -> str:
    head, sep, body = rule.partition("{")
    selectors = head.split(",") if head else [""]
    return ",".join(_P + sel for sel in selectors) + sep + body


_STYLE = "<style>\n" + "\n".join(_rule(r) for r in _RULES) + "\n</style>"


def _text(value, precision: int = 0) -> str:
    """Plain text of ``value``: bools as True/False, None as None."""
    if isinstance(value, str):
        return value
    if value is None:
        return "None"
    if value is True:
        return "True"
    if value is False:
        return "False"
    if isinstance(value, float):
        return format(value, f".{precision}g") if precision > 0 else repr(value)
    if isinstance(value, (list, tuple, set, frozenset)):
        return ", ".join(_text(v, precision) for v in value)
    return str(value)


def _esc(value, precision: int = 0) -> str:
    return html.escape(_text(value, precision), quote=True)


def _is_number(value) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def _items(obj, what: str):
    if obj is None:
        return []
    if not hasattr(obj, "items"):
        raise TypeError(f"{what} must be a dict, not {type(obj).__name__}")
    return list(obj.items())


def _gdal_text(name, value) -> str:
    """An option value as GDAL is handed it (True as YES, 3.0 as 3.0)."""
    from ..options.text import option_text

    try:
        return option_text(str(name), value)
    except (TypeError, ValueError):  # not a value GDAL takes: shown as it is
        return _text(value)


def _driver_handle(name):
    """The registered driver of that short name, ``None`` for a name that
    is none (or no text GDAL can take: a lone surrogate)."""
    from osgeo import _gdal  # the bindings, loaded by now

    if not isinstance(name, str):
        return None
    try:
        return _gdal.GetDriverByName(name)
    except TypeError:
        return None


def _driver_facts(base: list) -> list:
    """The summary with what the driver named "Name" says of itself
    besides: its long name after the name, and all its extensions, main
    one first, where the summary has its main one.  A name that is no
    registered driver's leaves the summary as it is."""
    names = [v for k, v in base if k == "Name" and isinstance(v, str)]
    if not names:
        return base
    from ..binding.capabilities import metadata_item, metadata_list

    handle = _driver_handle(names[0])
    if handle is None:
        return base
    out = []
    for key, value in base:
        if key == "Extension":
            every = metadata_list(handle, "DMD_EXTENSIONS")
            out.append(("Extensions", " ".join(dict.fromkeys(([value] if value else []) + every))))
            continue
        out.append((key, value))
        if key == "Name":
            out.append(("Long name", metadata_item(handle, "DMD_LONGNAME")))
    return out


# The registry table as the statistics object hands it over: this head and
# these counts (drivers of both kinds are in "Rasters" and in "Vectors").
_REGISTRY_HEAD = ("", "name", "category", "extension", "creatable", "updatable", "virtualio")
_REGISTRY_COUNTS = ("Rasters", "Vectors", "Total")
_WRITES_AT = 5  # the "writes" column follows "creatable"


class _Muted(str):
    """A cell text shown muted: a fact GDAL does not publish."""


def _registry_facts() -> tuple:
    """``(raster, vector, both, total, unpublished)`` of GDAL's registry now:
    the counts by kind as the statistics object counts them, and the
    capabilities whose item no driver sets."""
    from osgeo import _gdal  # the bindings, loaded by now

    from ..binding.capabilities import metadata_flag, unpublished

    handles = [_gdal.GetDriver(i) for i in range(_gdal.GetDriverCount())]
    kinds = [(metadata_flag(h, "DCAP_RASTER"), metadata_flag(h, "DCAP_VECTOR")) for h in handles]
    raster = sum(r for r, _ in kinds)
    vector = sum(v for _, v in kinds)
    both = sum(r and v for r, v in kinds)
    return raster, vector, both, len(handles), unpublished(handles, _REGISTRY_HEAD[4:])


def _split_line(raster: int, vector: int, both: int, total: int) -> list:
    """The counts with each driver counted once, the split stated."""
    neither = total - raster - vector + both
    parts = [f"{raster - both} raster only", f"{vector - both} vector only", f"{both} both"]
    if neither:
        parts.append(f"{neither} of neither kind")
    return [(f"{total} driver{'s' if total != 1 else ''}", ", ".join(parts))]


def _registry_row(row: list, unknown: frozenset) -> list:
    """A row of the registry table as describe sees the driver: how it
    writes, after "creatable", and "unknown" for a capability this GDAL
    publishes for no driver. A filler row gets a filler cell where the
    column is shown; a name that is no registered driver's, an empty cell."""
    if all(type(c) is str and c == "..." for c in row):
        return row[:_WRITES_AT] + ["..."] + row[_WRITES_AT:] if len(row) >= _WRITES_AT else row
    from ..binding.capabilities import WRITES, write_modes

    handle = _driver_handle(row[1]) if len(row) > 1 else None
    if handle is None:
        return row[:_WRITES_AT] + [""] + row[_WRITES_AT:]
    cells = [_Muted("unknown") if c is False and _REGISTRY_HEAD[k] in unknown else c
             for k, c in enumerate(row[:len(_REGISTRY_HEAD)])] + row[len(_REGISTRY_HEAD):]
    writes = ", ".join(write_modes(handle, tuple(WRITES)))
    return cells[:_WRITES_AT] + [writes] + cells[_WRITES_AT:]


def _counts_line(items) -> str:
    if not items:
        return ""
    spans = "".join(
        f"<span><b>{_esc(k)}</b>: {_esc(v)}</span>" for k, v in items
    )
    return f'<div class="vek-h-counts">{spans}</div>'


class VEKHTMLDetails:
    """A summary table plus collapsible option catalogues.

    * :meth:`set_base_info` - summary facts (``{"Name": "GTiff", ...}``),
      shown as a small key/value table; where "Name" is a registered
      driver's, its long name and all its extensions are shown too, and a
      row per catalogue lists the values set, as GDAL is handed them
      (``YES`` for ``True``), without unfolding anything;
    * :meth:`add_details` - ``{heading: catalogue}`` where a catalogue maps
      option name -> record dict.  A record holds the option's XML
      attributes (``type``, ``description``, ``default``, ...), optionally
      ``"value"`` (list of permitted values) and ``"current"`` (the value
      in force, any type, ``None`` included).  Attributes other than these
      are listed under the description.  Each catalogue is rendered as a
      table (option, type, default, allowed values, current value,
      description) inside a ``<details>`` element, collapsed by default,
      whose ``<summary>`` gives the heading and the option count; an empty
      catalogue says "No options.";
    * :meth:`to_html` - the HTML text.
    """

    _COLUMNS = ("Option", "Type", "Default", "Allowed values", "Current value", "Description")
    _KNOWN = frozenset({"name", "type", "default", "value", "current", "description"})

    def __init__(self):
        self._base: list = []
        self._sections: list = []

    def set_base_info(self, info) -> None:
        """Set (replace) the summary facts: a dict of label -> value."""
        self._base = _items(info, "base info")

    def add_details(self, details) -> None:
        """Add catalogues: a dict of heading -> {option name: record}."""
        for heading, catalogue in _items(details, "details"):
            self._sections.append((heading, _items(catalogue, f"catalogue {heading!r}")))

    def _record_row(self, name, record) -> str:
        if not hasattr(record, "get"):
            record = {"description": record}
        cells = [f"<th>{_esc(name)}</th>"]
        cells.append(f'<td class="vek-h-type">{_esc(record["type"])}</td>' if "type" in record else "<td></td>")
        cells.append(f"<td>{_esc(record['default'])}</td>" if "default" in record else "<td></td>")
        allowed = record.get("value")
        if allowed is None:
            cells.append("<td></td>")
        elif isinstance(allowed, (list, tuple, set, frozenset)):
            cells.append(f"<td>{html.escape(', '.join(_text(v) for v in allowed))}</td>")
        else:
            cells.append(f"<td>{_esc(allowed)}</td>")
        if "current" in record:
            current = record["current"]
            if current is None:  # left out of what GDAL is handed
                cells.append(f'<td class="vek-h-muted">{_esc(current)}</td>')
            else:
                cells.append(f"<td>{html.escape(_gdal_text(name, current))}</td>")
        else:
            cells.append("<td></td>")
        desc = _esc(record["description"]) if "description" in record else ""
        extras = [
            f"{_esc(k)}={_esc(v)}"
            for k, v in record.items()
            if not (isinstance(k, str) and k in self._KNOWN)
        ]
        if extras:
            sep = "<br>" if desc else ""
            desc += f'{sep}<span class="vek-h-extra">{"; ".join(extras)}</span>'
        cells.append(f"<td>{desc}</td>")
        return "<tr>" + "".join(cells) + "</tr>"

    def _section(self, heading, records) -> str:
        n = len(records)
        noun = "option" if n == 1 else "options"
        out = [
            "<details>",
            f'<summary>{_esc(heading)} <span class="vek-h-muted">({n} {noun})</span></summary>',
        ]
        if not records:
            out.append('<p class="vek-h-empty">No options.</p>')
        else:
            head = "".join(f"<th>{c}</th>" for c in self._COLUMNS)
            out.append(f'<table class="vek-h-grid"><thead><tr>{head}</tr></thead><tbody>')
            out.extend(self._record_row(name, rec) for name, rec in records)
            out.append("</tbody></table>")
        out.append("</details>")
        return "".join(out)

    def _set_rows(self) -> str:
        """A summary row per catalogue with values set: the options as
        GDAL is handed them, seen without unfolding the catalogue."""
        rows = []
        for heading, records in self._sections:
            given = [(name, rec["current"]) for name, rec in records
                     if hasattr(rec, "get") and rec.get("current") is not None]
            if given:
                items = "".join(f'<span class="vek-h-set">{html.escape(f"{_text(n)}={_gdal_text(n, v)}")}</span> '
                                for n, v in given)
                rows.append(f"<tr><th>{_esc(heading)} set</th><td>{items.rstrip()}</td></tr>")
        return "".join(rows)

    def to_html(self) -> str:
        out = [f'<div class="{CSS_CLASS}">', _STYLE]
        rows = "".join(
            f"<tr><th>{_esc(k)}</th><td>{_esc(v)}</td></tr>" for k, v in _driver_facts(self._base)
        ) + self._set_rows()
        if rows:
            out.append(f'<table class="vek-h-info"><tbody>{rows}</tbody></table>')
        out.extend(self._section(h, recs) for h, recs in self._sections)
        out.append("</div>")
        return "".join(out)

    _repr_html_ = to_html


class VEKHTMLTable:
    """A table of rows, e.g. features or statistics, for notebook display.

    ``VEKHTMLTable(n_field_cols, n_info_cols, precision=0, border=False)``

    ``n_field_cols``
        How many field (data) columns to show.
    ``n_info_cols``
        How many leading information columns (e.g. the row index) each row
        and head starts with; these are rendered as row headers.
    ``precision``
        Significant digits used for ``float`` cells; ``0`` shows floats in
        full (``repr``).
    ``border``
        ``True`` draws a grid around every cell; ``False`` (the default)
        only separates the head from the rows.

    Nothing ever disables escaping: every cell is text.

    Rows (:meth:`add_row`) and head rows (:meth:`add_head`) may be added in
    any order; heads are always rendered first, in the order added.  Only
    the first ``n_info_cols + n_field_cols`` cells of a row or head are
    shown.  When any row or head has more cells, the table gets one more
    last column holding a "…" mark, whose ``title`` says how many columns
    of that row are hidden; rows without hidden cells leave it empty.
    Shorter rows are padded with empty cells.  A row of "..." cells (a
    filler between the head and the tail of a long listing) is just a row.
    ``bool`` cells read ``True`` / ``False``, ``None`` reads ``None``.

    :meth:`set_base_info` takes counts (``{"rows": 200, "fields": 7}``)
    shown as one line above the table.

    The registry table (the head ``"", "name", "category", "extension",
    "creatable", "updatable", "virtualio"`` under the counts "Rasters",
    "Vectors", "Total") shows what :func:`vek.describe` says of each
    driver, looked up by the short name in its row: a "writes" column after
    "creatable" (``create``, ``copy``, ``translate``), and "unknown" for a
    capability that the running GDAL publishes for no driver.  The counts
    give each driver once, with the split stated ("210 drivers: 129 raster
    only, 64 vector only, 15 both, 2 of neither kind") while they are the
    running registry's.
    """

    def __init__(self, n_field_cols, n_info_cols, precision=0, border=False):
        for label, value in (
            ("n_field_cols", n_field_cols),
            ("n_info_cols", n_info_cols),
            ("precision", precision),
        ):
            if isinstance(value, bool) or not isinstance(value, int):
                raise TypeError(f"{label} must be an int, not {type(value).__name__}")
            if value < 0:
                raise ValueError(f"{label} must be >= 0, got {value}")
        self.n_field_cols = n_field_cols
        self.n_info_cols = n_info_cols
        self.precision = precision
        self.border = bool(border)
        self._base: list = []
        self._heads: list[list] = []
        self._rows: list[list] = []

    @property
    def n_shown(self) -> int:
        """Number of cells shown per row."""
        return self.n_info_cols + self.n_field_cols

    def set_base_info(self, info) -> None:
        """Set (replace) the counts shown above the table."""
        self._base = _items(info, "base info")

    def add_row(self, row) -> None:
        """Append one row (a sequence of cell values)."""
        self._rows.append(list(row))

    def add_head(self, head) -> None:
        """Append one head row (a sequence of column labels)."""
        self._heads.append(list(head))

    def _cells(self, row, head: bool, cut_col: bool, shown: int) -> str:
        info = self.n_info_cols
        out = []
        for i in range(shown):
            if i < len(row):
                value = row[i]
                text = _esc(value, self.precision)
                cls = (' class="vek-h-num"' if _is_number(value)
                       else ' class="vek-h-muted"' if isinstance(value, _Muted) else "")
            else:
                text, cls = "", ""
            if head:
                out.append(f"<th>{text}</th>")
            elif i < info:
                out.append(f'<th scope="row"{cls}>{text}</th>')
            else:
                out.append(f"<td{cls}>{text}</td>")
        if cut_col:
            hidden = len(row) - shown
            tag = "th" if head else "td"
            if hidden > 0:
                noun = "column" if hidden == 1 else "columns"
                out.append(
                    f'<{tag} class="vek-h-cut" title="{hidden} more {noun} not shown">'
                    "\u2026</" + tag + ">"
                )
            else:
                out.append(f"<{tag}></{tag}>")
        return "".join(out)

    def _is_registry(self) -> bool:
        # exact texts only: a cell's own __eq__ is never asked
        def texts(cells):
            return tuple(c if type(c) is str else None for c in cells)

        return (len(self._heads) == 1 and texts(self._heads[0]) == _REGISTRY_HEAD
                and texts(k for k, _ in self._base) == _REGISTRY_COUNTS)

    def _registry_view(self) -> tuple:
        """``(heads, rows, counts, shown)`` of the registry table: what each
        driver's description says besides the facts handed over (how it
        writes, "unknown" capabilities), and the drivers counted once. The
        counts stay as given when the registry no longer matches them."""
        raster, vector, both, total, unknown = _registry_facts()
        counts = self._base
        if [v for _, v in counts] == [raster, vector, total]:
            counts = _split_line(raster, vector, both, total)
        head = list(self._heads[0])
        heads = [head[:_WRITES_AT] + ["writes"] + head[_WRITES_AT:]]
        rows = [_registry_row(r, unknown) for r in self._rows]
        # the new column is shown where "creatable" is
        shown = self.n_shown + 1 if self.n_shown >= _WRITES_AT else self.n_shown
        return heads, rows, counts, shown

    def to_html(self) -> str:
        heads, rows, counts, shown = self._heads, self._rows, self._base, self.n_shown
        if self._is_registry():
            heads, rows, counts, shown = self._registry_view()
        cut_col = any(len(r) > shown for r in heads) or any(len(r) > shown for r in rows)
        cls = "vek-h-grid vek-h-border" if self.border else "vek-h-grid"
        out = [f'<div class="{CSS_CLASS}">', _STYLE, _counts_line(counts)]
        out.append(f'<table class="{cls}">')
        if heads:
            out.append("<thead>")
            out.extend(f"<tr>{self._cells(h, True, cut_col, shown)}</tr>" for h in heads)
            out.append("</thead>")
        out.append("<tbody>")
        out.extend(f"<tr>{self._cells(r, False, cut_col, shown)}</tr>" for r in rows)
        out.append("</tbody></table></div>")
        return "".join(out)

    _repr_html_ = to_html
