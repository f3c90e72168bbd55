"""``vek-drivers snapshot``: the whole registry of the running GDAL as one
JSON document, for ``vek-drivers diff`` to compare with another build's."""

import json
import os
import sys
import tempfile

from vek._algos.geo.registry.describe import snapshot

from .common import CLIError


def snapshot_text(descriptions=False) -> str:
    """The snapshot as compact JSON. The options' descriptions are left out
    unless asked for: they are prose that ``diff`` does not compare, and a
    third of the size."""
    data = snapshot()
    if not descriptions:
        for described in data["drivers"].values():
            for catalogue in described["options"].values():
                for record in catalogue.values():
                    record.pop("description", None)
    return json.dumps(data, separators=(",", ":"), ensure_ascii=False) + "\n"


def write_file(path: str, text: str, overwrite: bool) -> None:
    """Write ``text`` to ``path``: a new file, or with ``overwrite`` a
    replacement that lands whole or not at all."""
    if not overwrite:
        with open(path, "x", encoding="utf-8") as f:  # "x" refuses a file that appeared meanwhile
            try:
                f.write(text)
            except BaseException:
                f.close()
                os.unlink(path)  # the file this call created, cut short
                raise
        return
    fd, temporary = tempfile.mkstemp(prefix=".vek-snapshot-", dir=os.path.dirname(os.path.abspath(path)))
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as f:
            f.write(text)
        os.replace(temporary, path)
    finally:
        if os.path.lexists(temporary):
            os.unlink(temporary)


def cmd_snapshot(args) -> int:
    output = args.output or "-"
    if output != "-" and not args.overwrite and os.path.lexists(output):
        raise CLIError(f"{output} already exists (use --overwrite to replace it)")
    text = snapshot_text(args.descriptions)
    if output == "-":
        sys.stdout.write(text)
        return 0
    write_file(output, text, args.overwrite)
    print(f"wrote {output} ({len(text.encode('utf-8'))} bytes)")
    return 0
