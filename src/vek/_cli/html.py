"""``vek-drivers html``: a standalone HTML page of the drivers table or one driver."""

import html
import sys
import types

from vek._algos.geo import driver

from .common import _views, find_driver


def html_page(title: str, body: str) -> str:
    """A standalone HTML5 page around ``body`` (an HTML fragment)."""
    t = html.escape(title)
    return (
        "<!DOCTYPE html>\n"
        '<html lang="en">\n<head>\n<meta charset="utf-8">\n'
        '<meta name="viewport" content="width=device-width, initial-scale=1">\n'
        '<meta name="color-scheme" content="light dark">\n'
        f"<title>{t}</title>\n"
        "<style>body{font-family:system-ui,sans-serif;margin:1.5em}</style>\n"
        f"</head>\n<body>\n<h1>{t}</h1>\n{body}\n</body>\n</html>\n"
    )


class _ShowAllRows(types.ModuleType):
    """Stands in for the configuration module while the table is rendered:
    every row shown, everything else as configured."""

    def __init__(self, env, rows):
        super().__init__(getattr(env, "__name__", "env"))
        self._env = env
        self.JupyterShowMaxShape = (rows, tuple(env.JupyterShowMaxShape)[1])

    def __getattr__(self, name):
        return getattr(self._env, name)


def statistics_page(all_rows=False) -> str:
    """The drivers table as a page; as many rows as the configuration's
    notebook limit allows, or all of them."""
    stats = driver.DriveStatistics()
    if not all_rows:
        return html_page("GDAL drivers", stats._repr_html_())
    # The module reads its configuration global at every call.
    env = driver.env
    driver.env = _ShowAllRows(env, max(len(stats), 1))
    try:
        fragment = stats._repr_html_()
    finally:
        driver.env = env
    return html_page("GDAL drivers", fragment)


def driver_page(name: str) -> str:
    d = find_driver(name)
    raster, vector = _views(d)
    views = [v for v in (raster, vector) if v is not None] or [d]
    parts = []
    for view in views:
        if len(views) > 1:
            parts.append(f"<h2>{html.escape(view.category)}</h2>")
        parts.append(view._repr_html_())
    return html_page(f"{d.name} - {d.long_name}", "\n".join(parts))


def cmd_html(args) -> int:
    if args.name and args.all:
        args.subparser.error("--all applies to the drivers table, not to one driver")
    page = driver_page(args.name) if args.name else statistics_page(args.all)
    if args.output == "-":
        sys.stdout.write(page)
        return 0
    with open(args.output, "w", encoding="utf-8") as f:
        f.write(page)
    print(f"wrote {args.output}")
    return 0
