"""README.md's examples run as shown: ``pycon`` blocks as doctests per section (a ``toml`` block there being the
configuration file), ``vek-drivers`` lines of ``sh`` blocks, ``console`` blocks printing what they show."""

import os
import pathlib
import re
import shlex
import shutil
import subprocess
import sys
import tomllib

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
README = (ROOT / "README.md").read_text(encoding="utf-8")
BIN = pathlib.Path(sys.executable).parent
SNAPSHOTS = ROOT / "tests" / "data" / "snapshots"
# fences that would hold code nobody runs: Python is tagged pycon, commands sh or console, the rest text
UNCHECKED = {"", "python", "py", "python3", "bash", "shell", "shell-session"}
_parts = re.split(r"^## (.+)$", README, flags=re.M)
SECTIONS = {h.strip(): [(m[1], m[2]) for m in re.finditer(r"^```(\w*)\n(.*?)^```$", body, re.M | re.S)]
            for h, body in zip(_parts[1::2], _parts[2::2])}


def blocks(language):
    return [text for items in SECTIONS.values() for lang, text in items if lang == language]


def run(argv, tmp_path, cwd=None):  # a scratch directory, no user configuration
    env = {k: v for k, v in os.environ.items() if k != "VEK_CONFIG"}
    env.update(XDG_CONFIG_HOME=str(tmp_path / "xdg"), PATH=f"{BIN}{os.pathsep}{env.get('PATH', '')}")
    return subprocess.run(argv, capture_output=True, text=True, env=env, timeout=300, cwd=cwd or tmp_path)


def test_every_block_is_checked():
    langs = {lang for items in SECTIONS.values() for lang, _ in items}
    assert not langs & UNCHECKED, f"blocks nobody runs: {langs & UNCHECKED}"
    assert {"pycon", "toml", "sh"} <= langs
    notes = re.findall(r"\]\((docs/\w+\.md)\)", README)  # the notes live in docs/, linked from the guide
    assert {"docs/design.md", "docs/performance.md", "docs/reliability.md"} <= set(notes)
    assert all((ROOT / note).is_file() for note in notes)


@pytest.mark.parametrize("heading", sorted(h for h, items in SECTIONS.items() if any(lang == "pycon" for lang, _ in items)))
def test_python_examples(tmp_path, heading):
    for lang, text in SECTIONS[heading]:
        if lang == "toml":
            tomllib.loads(text)
            config = tmp_path / "xdg" / "vek" / "config.toml"
            config.parent.mkdir(parents=True)
            config.write_text(text, encoding="utf-8")
    doc = tmp_path / "examples.txt"
    doc.write_text("\n".join(text for lang, text in SECTIONS[heading] if lang == "pycon"), encoding="utf-8")
    (tmp_path / "work").mkdir()
    res = run([sys.executable, "-m", "doctest", "-o", "ELLIPSIS", "-o", "NORMALIZE_WHITESPACE", str(doc)],
              tmp_path, cwd=tmp_path / "work")
    assert res.returncode == 0, res.stdout + res.stderr


@pytest.mark.parametrize("argv", [shlex.split(line, comments=True) for text in blocks("sh")
                                  for line in text.splitlines() if line.startswith("vek-drivers ")], ids=" ".join)
def test_command_lines(tmp_path, argv):
    res = run(argv, tmp_path)
    assert res.returncode == 0 and res.stdout and "Traceback" not in res.stderr, res.stderr


@pytest.mark.parametrize("command, shown", [example for text in blocks("console")  # "$ command", then what it prints
                                            for example in re.findall(r"^\$ (.*)\n((?:(?!\$ ).*\n?)*)", text, re.M)])
def test_console_examples(tmp_path, command, shown):
    for kept in SNAPSHOTS.glob("*.json"):  # the builds the examples compare
        shutil.copy(kept, tmp_path)
    res = run(shlex.split(command), tmp_path)
    printed = (res.stdout + res.stderr).strip()
    assert re.fullmatch(".*".join(re.escape(piece) for piece in shown.strip().split("...")), printed, re.S), printed
    assert (res.returncode != 0) == ("error" in shown or "snapshots differ" in shown)
