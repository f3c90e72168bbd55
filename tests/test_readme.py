"""The examples of README.md run as shown.

``pycon`` blocks are doctests, run section by section (a section is what
lies under one ``## `` heading) in a fresh interpreter, with a scratch
working directory and no user configuration; a ``toml`` block in the same
section becomes that interpreter's configuration file.  The ``vek-drivers``
lines of ``sh`` blocks must succeed, and ``console`` blocks must print what
they show (``...`` standing for any text).
"""

import os
import pathlib
import re
import shlex
import subprocess
import sys
import tomllib

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
README = ROOT / "README.md"
BIN = pathlib.Path(sys.executable).parent
FENCE = re.compile(r"^```(\w*)\n(.*?)^```$", re.M | re.S)
# Fences that would hold code nobody runs: tag Python examples ``pycon``
# (doctest), commands ``sh`` or ``console``, anything else ``text``.
UNCHECKED = {"", "python", "py", "python3", "bash", "shell", "shell-session"}


def sections():
    """{heading: [(language, text), ...]} of the README's fenced blocks."""
    text = README.read_text(encoding="utf-8")
    found = {}
    parts = re.split(r"^## (.+)$", text, flags=re.M)
    for heading, body in zip(parts[1::2], parts[2::2]):
        blocks = [(m.group(1), m.group(2)) for m in FENCE.finditer(body)]
        if blocks:
            found[heading.strip()] = blocks
    return found


SECTIONS = sections()


def blocks(language):
    return [(heading, text) for heading, items in SECTIONS.items()
            for lang, text in items if lang == language]


def scratch_env(tmp_path):
    env = {k: v for k, v in os.environ.items() if k != "VEK_CONFIG"}
    env["XDG_CONFIG_HOME"] = str(tmp_path / "xdg")
    env["PATH"] = f"{BIN}{os.pathsep}{env.get('PATH', '')}"
    return env


def test_every_block_is_checked():
    langs = {lang for items in SECTIONS.values() for lang, _ in items}
    assert not langs & UNCHECKED, f"blocks nobody runs: {langs & UNCHECKED}"
    assert {"pycon", "toml", "sh"} <= langs
    assert "## Reliability" in README.read_text() and "## Performance" in README.read_text()


@pytest.mark.parametrize("heading", sorted({h for h, _ in blocks("pycon")}))
def test_python_examples(tmp_path, heading):
    env = scratch_env(tmp_path)
    items = SECTIONS[heading]
    for lang, text in items:
        if lang == "toml":
            config = tmp_path / "xdg" / "vek" / "config.toml"
            config.parent.mkdir(parents=True)
            config.write_text(text, encoding="utf-8")
            tomllib.loads(text)
    doc = tmp_path / "examples.txt"
    doc.write_text("\n".join(text for lang, text in items if lang == "pycon"), encoding="utf-8")
    work = tmp_path / "work"
    work.mkdir()
    res = subprocess.run(
        [sys.executable, "-m", "doctest", "-o", "ELLIPSIS", "-o", "NORMALIZE_WHITESPACE",
         str(doc)],
        capture_output=True, text=True, cwd=work, env=env, timeout=300,
    )
    assert res.returncode == 0, res.stdout + res.stderr


def command_lines():
    for heading, text in blocks("sh"):
        for line in text.splitlines():
            if line.startswith("vek-drivers "):
                yield shlex.split(line, comments=True)


@pytest.mark.parametrize("argv", list(command_lines()), ids=" ".join)
def test_command_lines(tmp_path, argv):
    res = subprocess.run(argv, capture_output=True, text=True, cwd=tmp_path,
                         env=scratch_env(tmp_path), timeout=300)
    assert res.returncode == 0, res.stderr
    assert res.stdout and "Traceback" not in res.stderr


def console_examples():
    for heading, text in blocks("console"):
        lines = text.splitlines()
        for i, line in enumerate(lines):
            if line.startswith("$ "):
                shown = []
                for out in lines[i + 1:]:
                    if out.startswith("$ "):
                        break
                    shown.append(out)
                yield line[2:], "\n".join(shown)


@pytest.mark.parametrize("command,shown", list(console_examples()))
def test_console_examples(tmp_path, command, shown):
    res = subprocess.run(shlex.split(command), capture_output=True, text=True, cwd=tmp_path,
                         env=scratch_env(tmp_path), timeout=300)
    printed = (res.stdout + res.stderr).strip()
    pattern = ".*".join(re.escape(piece) for piece in shown.strip().split("..."))
    assert re.fullmatch(pattern, printed, re.S), printed
    if "error" in shown:
        assert res.returncode != 0
