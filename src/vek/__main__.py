"""``python -m vek``: the ``vek-drivers`` command line."""

from vek.cli import main

if __name__ == "__main__":
    raise SystemExit(main())
