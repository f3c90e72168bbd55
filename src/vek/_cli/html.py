"""``vek-drivers html``: a standalone HTML page of the drivers table or one driver."""

import html
import os
import sys
import types

from vek._algos.geo import driver

from .common import CLIError, find_driver, kind_views


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


def statistics_page(all_rows=True, max_rows=None) -> str:
    """The drivers table as a page: every driver, or at most ``max_rows``
    (the first and the last ones); ``all_rows=False`` keeps the notebook's
    configured limit."""
    stats = driver.DriveStatistics()
    if max_rows is None and not all_rows:
        return html_page("GDAL drivers", stats._repr_html_())
    # The module reads its configuration global at every call.
    env = driver.env
    driver.env = _ShowAllRows(env, max_rows or max(len(stats), 1))
    try:
        fragment = stats._repr_html_()
    finally:
        driver.env = env
    return html_page("GDAL drivers", fragment)


def driver_page(name: str) -> str:
    d = find_driver(name)
    raster, vector = kind_views(d)
    views = [v for v in (raster, vector) if v is not None] or [d]
    parts = []
    for view in views:
        if len(views) > 1:
            parts.append(f"<h2>{html.escape(view.category)}</h2>")
        parts.append(view._repr_html_())
    return html_page(f"{d.name} - {d.long_name}", "\n".join(parts))


def cmd_html(args) -> int:
    for flag, given in (("--all", args.all), ("--max-rows", args.max_rows)):
        if args.name and given:
            args.subparser.error(f"{flag} applies to the drivers table, not to one driver")
    if args.output != "-" and not args.overwrite and os.path.lexists(args.output):
        raise CLIError(f"{args.output} already exists (use --overwrite to replace it)")
    page = driver_page(args.name) if args.name else statistics_page(max_rows=args.max_rows)
    if args.output == "-":
        sys.stdout.write(page)
        return 0
    # "x" also refuses a file that appeared since the check above
    with open(args.output, "w" if args.overwrite else "x", encoding="utf-8") as f:
        f.write(page)
    print(f"wrote {args.output}")
    return 0
