"""The command lines that need no argparse: the command first, then its
plain arguments and flags, each flag spelled in full.

Importing argparse and building even one command's parser costs more than
``list`` takes to run. A command whose arguments are all on/off flags
(``store_true``) and plain positionals (one word each, or ``nargs="+"``)
is read here, from the same declarations argparse is given
(:mod:`.arguments`), into the attributes argparse would set. Anything else
(``-h``, ``--``, a short or abbreviated spelling, a flag's value, a missing
or extra positional, two flags of an exclusive group, options with values)
gets ``None``: argparse reads it, with its own messages.
"""

from .arguments import COMMANDS

__all__ = ["Namespace", "quick_args"]


class Namespace:
    """The parsed arguments as attributes, as argparse gives them."""

    def __init__(self, **values):
        self.__dict__.update(values)


class _Record:
    """Takes a command's declarations in place of argparse's subparser."""

    def __init__(self):
        self.flags = {}  # option string -> (dest, exclusive group or None)
        self.positionals = []  # (dest, nargs)
        self.defaults = {}
        self.plain = True  # only what this module reads was declared
        self._groups = 0

    def add_parser(self, name, **_texts):
        return self

    def add_mutually_exclusive_group(self):
        self._groups += 1
        return _Group(self, self._groups)

    def add_argument(self, *names, group=None, **how):
        extra = set(how) - {"help", "metavar", "action", "nargs"}
        if names[0].startswith("-"):
            if extra or how.get("action") != "store_true" or "nargs" in how:
                self.plain = False
                return
            dest = _dest(names)
            self.defaults[dest] = False
            self.flags.update((name, (dest, group)) for name in names)
        elif extra or "action" in how or how.get("nargs") not in (None, "+") or len(names) != 1:
            self.plain = False
        else:
            self.positionals.append((names[0], how.get("nargs")))

    def set_defaults(self, **values):
        # a default of another kind (the subparser itself) is argparse's to give
        self.plain = self.plain and all(type(v) is str for v in values.values())
        self.defaults.update(values)


class _Group:
    def __init__(self, record, number):
        self._record, self._number = record, number

    def add_argument(self, *names, **how):
        self._record.add_argument(*names, group=self._number, **how)


def _dest(names) -> str:
    # argparse's rule: the first long option, else the first short one
    long = [n for n in names if n.startswith("--")]
    return (long or names)[0].lstrip("-").replace("-", "_")


def quick_args(argv) -> Namespace | None:
    """``argv`` read as argparse would read it, or ``None`` when it takes argparse."""
    if not argv or argv[0] not in COMMANDS:
        return None
    record = _Record()
    COMMANDS[argv[0]](record)
    if not record.plain:
        return None
    values = _read(record, argv[1:])
    return None if values is None else Namespace(command=argv[0], **values)


def _read(record, words) -> dict | None:
    values = dict(record.defaults)
    plain: list[int] = []
    groups: dict[int, str] = {}
    for i, word in enumerate(words):
        if not word.startswith("-"):
            if plain and plain[-1] != i - 1:
                return None  # positionals on both sides of a flag: argparse splits them its own way
            plain.append(i)
            continue
        if word not in record.flags:
            return None
        dest, group = record.flags[word]
        if group is not None and groups.setdefault(group, dest) != dest:
            return None
        values[dest] = True
    positionals = _positionals(record.positionals, [words[i] for i in plain])
    if positionals is None:
        return None
    values.update(positionals)
    return values


def _positionals(declared, given) -> dict | None:
    if len(declared) == 1 and declared[0][1] == "+":
        return {declared[0][0]: given} if given else None
    if any(nargs is not None for _dest, nargs in declared) or len(given) != len(declared):
        return None
    return {dest: word for (dest, _nargs), word in zip(declared, given)}
