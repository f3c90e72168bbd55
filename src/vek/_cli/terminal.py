"""The terminal's width as ``shutil.get_terminal_size`` finds it, without
importing shutil: it brings the archive modules (zlib, bz2, lzma), which no
command needs for its own job."""

import os
import sys

__all__ = ["columns"]


def columns(fallback: int) -> int:
    """``COLUMNS`` when it is a positive number, else the width of the
    terminal on stdout, else ``fallback``."""
    try:
        width = int(os.environ.get("COLUMNS", ""))
    except ValueError:
        width = 0
    stdout = sys.__stdout__
    if width <= 0 and stdout is not None:
        try:
            width = os.get_terminal_size(stdout.fileno()).columns
        except (AttributeError, ValueError, OSError):  # closed, not a file, or not a terminal
            width = 0
    return width or fallback
