"""Plain-text tables for the command line: aligned columns, long cells
wrapped inside their column."""

import re
import shutil
import textwrap

__all__ = ["Column", "render_table", "render_pairs", "terminal_width", "wrap", "yes_no"]

GAP = "  "
MIN_FILL = 12  # a column that takes the remaining width never gets narrower


def terminal_width() -> int:
    """The width to fill: the terminal's (or ``COLUMNS``), 100 when unknown,
    never below 60."""
    return max(60, shutil.get_terminal_size((100, 24)).columns)


def yes_no(flag) -> str:
    return "yes" if flag else "no"


class Column:
    """One column: its heading, how wide it may grow (``None``: as wide as
    its widest cell; such a column is never wrapped), whether it is right
    aligned, and whether it takes the width the others leave (``fill``)."""

    def __init__(self, head, max_width=None, right=False, fill=False):
        self.head = head
        self.max_width = max_width
        self.right = right
        self.fill = fill


class _Wrapper(textwrap.TextWrapper):
    # Break at blanks and also right after a comma, so that lists written
    # without blanks ("PAM,INTERNAL,TABFILE") wrap at their items.
    wordsep_simple_re = re.compile(r"(\s+|(?<=,)(?=\S))")


def wrap(text: str, width: int) -> list[str]:
    wrapper = _Wrapper(width, break_on_hyphens=False)
    lines = []
    for para in text.splitlines() or [""]:
        lines.extend(wrapper.wrap(para) or [""])
    return lines


def _widths(columns, rows, total):
    natural = []
    for i, col in enumerate(columns):
        longest = max([len(col.head)] + [max(map(len, str(r[i]).splitlines() or [""])) for r in rows])
        natural.append(longest)
    widths = []
    for col, nat in zip(columns, natural):
        if col.max_width is None or col.fill:
            widths.append(nat)
        else:
            widths.append(max(len(col.head), min(nat, col.max_width)))
    fills = [i for i, c in enumerate(columns) if c.fill]
    if fills and total:
        used = sum(w for i, w in enumerate(widths) if i not in fills) + len(GAP) * (len(columns) - 1)
        share = max(MIN_FILL, (total - used) // len(fills))
        for i in fills:
            widths[i] = max(len(columns[i].head), min(natural[i], share))
    # Still too wide for the terminal: narrow the other wrapped columns, down
    # to their headings. Unwrapped columns (names) keep their width.
    over = sum(widths) + len(GAP) * (len(columns) - 1) - total if total else 0
    for i, col in enumerate(columns):
        if over <= 0:
            break
        if col.max_width is not None and not col.fill:
            cut = min(over, widths[i] - len(col.head))
            widths[i] -= cut
            over -= cut
    return widths


def render_table(columns, rows, total_width=None, indent="") -> str:
    """The table as text: a heading line, a rule, then the rows; cells longer
    than their column are wrapped onto further lines of the same row.
    Trailing blanks are trimmed from every line."""
    rows = [[("" if c is None else str(c)) for c in row] for row in rows]
    total = (total_width or terminal_width()) - len(indent)
    widths = _widths(columns, rows, total)

    def line(cells):
        parts = []
        for col, width, cell in zip(columns, widths, cells):
            parts.append(cell.rjust(width) if col.right else cell.ljust(width))
        return (indent + GAP.join(parts)).rstrip()

    out = [line([c.head for c in columns]), line(["-" * w for w in widths])]
    for row in rows:
        wrapped = [
            wrap(cell, width) if (col.max_width is not None or col.fill) else (cell.splitlines() or [""])
            for col, width, cell in zip(columns, widths, row)
        ]
        height = max(len(w) for w in wrapped)
        for k in range(height):
            out.append(line([w[k] if k < len(w) else "" for w in wrapped]))
    return "\n".join(out)


def render_pairs(pairs, total_width=None, indent="  ") -> str:
    """Key and value lines, values aligned after the longest key and wrapped
    to the width."""
    total = total_width or terminal_width()
    key_w = max((len(k) for k, _ in pairs), default=0)
    room = max(20, total - len(indent) - key_w - len(GAP))
    out = []
    for key, value in pairs:
        lines = wrap(str(value), room)
        out.append((indent + key.ljust(key_w) + GAP + lines[0]).rstrip())
        out.extend((indent + " " * (key_w + len(GAP)) + line).rstrip() for line in lines[1:])
    return "\n".join(out)
