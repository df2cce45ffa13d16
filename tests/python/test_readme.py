"""Every Python snippet of the README runs as written: as a script with the
snippets of its section before it (a reader goes on from them), in a fresh
directory that has the repository's examples and test designs, after the
`$ nimbo ...` and `$ cd ...` commands its section shows before it."""

import os
import pathlib
import re
import shlex
import shutil
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
README = (ROOT / "README.md").read_text(encoding="utf-8")
# The builder's snippets have a test of their own in test_build.py.
SKIPPED_SECTIONS = ("Building circuits in Python",)


def snippets():
    """(section heading, index in the section, code, commands shown before it)."""
    found = []
    for section in re.split(r"\n(?=##+ )", README):
        heading = section.splitlines()[0].lstrip("# ").strip()
        if any(heading.startswith(skipped) for skipped in SKIPPED_SECTIONS):
            continue
        commands = []
        before = ""
        index = 0
        for kind, body in re.findall(r"```(\w*)\n(.*?)```", section, re.S):
            if kind == "python":
                before += body + "\n"
                found.append(pytest.param(before, list(commands), id=f"{heading[:40]}-{index}"))
                index += 1
            else:
                commands += [line[2:] for line in body.splitlines() if line.startswith(("$ nimbo ", "$ cd "))]
    return found


def nimbo_executable():
    found = shutil.which("nimbo", path=os.path.dirname(sys.executable))
    return found or shutil.which("nimbo")


@pytest.mark.parametrize("code, commands", snippets())
def test_readme_python_snippet_runs_as_written(code, commands, tmp_path):
    shutil.copytree(ROOT / "examples", tmp_path / "examples")
    (tmp_path / "tests").symlink_to(ROOT / "tests")
    where = tmp_path
    for command in commands:
        argv = shlex.split(command)
        if argv[:1] == ["cd"]:
            where = where / argv[1]
            continue
        subprocess.run([nimbo_executable(), *argv[1:]], cwd=where, capture_output=True, check=False)
    script = where / "snippet.py"
    script.write_text(code, encoding="utf-8")
    ran = subprocess.run([sys.executable, str(script)], cwd=where, capture_output=True, text=True)
    assert ran.returncode == 0, ran.stderr[-3000:]
    assert "Traceback" not in ran.stderr
