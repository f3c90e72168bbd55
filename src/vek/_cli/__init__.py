"""The commands of ``vek-drivers``, a module each; :mod:`vek.cli` parses the
command line and dispatches to them."""

PROG = "vek-drivers"
