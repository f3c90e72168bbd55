"""Plain-text tables for the command line: aligned columns, long cells
wrapped inside their column at word boundaries and between the values of a
list, never inside a word unless that word alone is wider than its column.

A table that cannot fit the width without breaking words, or a width below
``MIN_TABLE_WIDTH``, is printed as records instead: one ``head: value`` line
per field, a blank line between rows."""

import re
import textwrap

from .terminal import columns

__all__ = ["Column", "render_table", "render_pairs", "terminal_width", "wrap", "yes_no"]

GAP = "  "
MIN_TABLE_WIDTH = 40  # narrower than this, every table is printed as records
BELOW_INDENT = "    "  # a column shown under its row starts here


def terminal_width() -> int:
    """The width to fill: ``COLUMNS`` or the terminal's, 100 when neither
    is known (output to a pipe or a file)."""
    return max(1, columns(100))


def yes_no(flag) -> str:
    return "yes" if flag else "no"


class Column:
    """One column: its heading; how wide it may grow (``None``: as wide as its
    widest cell; such a column is never wrapped); whether it is right
    aligned; whether it takes the width the others leave (``fill``); and
    whether it is shown on lines of its own under the row (``below``, for
    long prose such as descriptions)."""

    def __init__(self, head, max_width=None, right=False, fill=False, below=False):
        self.head = head
        self.max_width = max_width
        self.right = right
        self.fill = fill
        self.below = below

    @property
    def wraps(self) -> bool:
        return self.max_width is not None or self.fill


class _Wrapper(textwrap.TextWrapper):
    # Break at blanks and also right after a comma, so that lists written
    # without blanks ("PAM,INTERNAL,TABFILE") wrap between their items.
    wordsep_simple_re = re.compile(r"(\s+|(?<=,)(?=\S))")

    def _handle_long_word(self, reversed_chunks, cur_line, cur_len, width):
        # A word wider than the line is cut only on a line of its own.
        if not cur_line:
            super()._handle_long_word(reversed_chunks, cur_line, cur_len, width)


def _words(text: str) -> list[str]:
    return [w for w in _Wrapper.wordsep_simple_re.split(text) if w and not w.isspace()]


def _longest_word(text: str) -> int:
    return max((len(w) for w in _words(text)), default=0)


def wrap(text: str, width: int) -> list[str]:
    """``text`` in lines of at most ``width`` characters, broken at blanks
    and after commas; a word is cut only when it alone is wider."""
    wrapper = _Wrapper(max(1, width), break_on_hyphens=False)
    lines = []
    for para in text.splitlines() or [""]:
        lines.extend(wrapper.wrap(para) or [""])
    return lines


def _natural(text: str) -> int:
    return max(map(len, text.splitlines() or [""]))


def _widths(columns, rows, total):
    """The width of each column beside the others (``below`` columns are
    left out), or ``None`` when the table cannot fit ``total`` without
    breaking a word."""
    side = [i for i, c in enumerate(columns) if not c.below]
    natural, least, want = {}, {}, {}
    for i in side:
        col = columns[i]
        natural[i] = max([len(col.head)] + [_natural(r[i]) for r in rows])
        if col.wraps:
            least[i] = max([len(col.head)] + [_longest_word(r[i]) for r in rows])
            cap = natural[i] if col.fill or col.max_width is None else min(natural[i], col.max_width)
            want[i] = max(least[i], cap)
        else:
            least[i] = want[i] = natural[i]
    room = total - len(GAP) * (len(side) - 1)
    if sum(least.values()) > room:
        return None
    widths = dict(want)
    # Too wide: narrow the widest wrapped columns first, one character at a
    # time, never below their longest word.
    over = sum(widths.values()) - room
    while over > 0:
        i = max((i for i in side if widths[i] > least[i]), key=lambda i: widths[i] - least[i])
        widths[i] -= 1
        over -= 1
    # Room left: the fill columns take it, up to what they need.
    spare = room - sum(widths.values())
    for i in side:
        if columns[i].fill and spare > 0:
            grow = min(spare, natural[i] - widths[i])
            widths[i] += grow
            spare -= grow
    return widths


def _records(columns, rows, total, indent) -> str:
    """One ``head: value`` line per non-empty field, wrapped to ``total``;
    a blank line between rows."""
    blocks = []
    for row in rows:
        lines: list[str] = []
        for col, cell in zip(columns, row):
            if not cell:
                continue
            wrapper = _Wrapper(max(total, len(indent) + 8), break_on_hyphens=False,
                               initial_indent=f"{indent}{col.head or '#'}: ",
                               subsequent_indent=indent + "  ")
            lines.extend(line.rstrip() for line in wrapper.wrap(" ".join(cell.split())))
        blocks.append("\n".join(lines))
    return "\n\n".join(blocks)


def render_table(columns, rows, total_width=None, indent="") -> str:
    """The table as text: a heading line, a rule, then the rows; cells longer
    than their column are wrapped onto further lines of the same row, and
    ``below`` columns follow their row, indented. Trailing blanks are
    trimmed from every line."""
    rows = [[("" if c is None else str(c)) for c in row] for row in rows]
    total = total_width or terminal_width()
    inner = total - len(indent)
    widths = _widths(columns, rows, inner) if total >= MIN_TABLE_WIDTH else None
    if widths is None:
        return _records(columns, rows, total, indent)
    side = [i for i, c in enumerate(columns) if not c.below]
    below = [i for i, c in enumerate(columns) if c.below]

    def line(cells):
        parts = []
        for i, cell in zip(side, cells):
            parts.append(cell.rjust(widths[i]) if columns[i].right else cell.ljust(widths[i]))
        return (indent + GAP.join(parts)).rstrip()

    out = [line([columns[i].head for i in side]), line(["-" * widths[i] for i in side])]
    for row in rows:
        wrapped = [wrap(row[i], widths[i]) if columns[i].wraps else (row[i].splitlines() or [""])
                   for i in side]
        for k in range(max(len(w) for w in wrapped)):
            out.append(line([w[k] if k < len(w) else "" for w in wrapped]))
        for i in below:
            if row[i]:
                lead = indent + BELOW_INDENT
                out.extend((lead + part).rstrip() for part in wrap(row[i], total - len(lead)))
    return "\n".join(out)


def render_pairs(pairs, total_width=None, indent="  ") -> str:
    """Key and value lines, values aligned after the longest key and wrapped
    to the width; when the width leaves the values too little room, each
    value goes under its key."""
    total = total_width or terminal_width()
    key_w = max((len(k) for k, _ in pairs), default=0)
    room = total - len(indent) - key_w - len(GAP)
    out = []
    for key, value in pairs:
        text = str(value)
        if room < min(20, max(_longest_word(text), 1)):
            out.append((indent + key + ":").rstrip())
            out.extend((indent + "  " + line).rstrip() for line in wrap(text, total - len(indent) - 2))
            continue
        lines = wrap(text, room)
        out.append((indent + key.ljust(key_w) + GAP + lines[0]).rstrip())
        out.extend((indent + " " * (key_w + len(GAP)) + line).rstrip() for line in lines[1:])
    return "\n".join(out)
