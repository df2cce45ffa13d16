"""The README and the pages in docs/ say what nimbo does, as written.

Every Python snippet of README.md and of each docs/*.md page runs as written:
as a script with the snippets of its section before it (a reader goes on from
them), in a fresh directory that has the repository's examples and test
designs, after the `$ nimbo ...` and `$ cd ...` commands its section shows
before it. The README's commands print what it shows, and its relative links
and anchors lead somewhere (MkDocs checks those of docs/ when it builds them).
"""

import os
import pathlib
import re
import shlex
import shutil
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
PAGES = ["README.md"] + sorted(f"docs/{page.name}" for page in (ROOT / "docs").glob("*.md"))


def sections(text):
    """(heading, text) for each part of a page that starts at a heading of level 2 or more;
    the part before the first one is headed by the page's title."""
    for section in re.split(r"\n(?=##+ )", text):
        yield section.splitlines()[0].lstrip("# ").strip(), section


def fenced_blocks(text):
    """(language, body) of every fenced block, in order."""
    return re.findall(r"^```(\w*)\n(.*?)^```$", text, re.M | re.S)


def snippets():
    """(code, commands shown before it) for each Python snippet, with the snippets of its section
    before it; an id of page, section heading and index."""
    found = []
    for page in PAGES:
        for heading, section in sections((ROOT / page).read_text(encoding="utf-8")):
            commands = []
            before = ""
            index = 0
            for kind, body in fenced_blocks(section):
                if kind == "python":
                    before += body + "\n"
                    found.append(pytest.param(before, list(commands), id=f"{page}-{heading[:40]}-{index}"))
                    index += 1
                else:
                    commands += [line[2:] for line in body.splitlines() if line.startswith(("$ nimbo ", "$ cd "))]
    return found


def nimbo_executable():
    found = shutil.which("nimbo", path=os.path.dirname(sys.executable))
    return found or shutil.which("nimbo")


def workspace(tmp_path):
    """A fresh directory with the examples (copied: snippets write beside them) and the test designs."""
    shutil.copytree(ROOT / "examples", tmp_path / "examples")
    (tmp_path / "tests").symlink_to(ROOT / "tests")
    return tmp_path


def test_every_page_has_python_snippets_to_run():
    pages = {param.id.split("-", 1)[0] for param in snippets()}
    assert {"README.md", "docs/guide.md", "docs/ir.md", "docs/verilog.md", "docs/regressions.md"} <= pages


@pytest.mark.parametrize("code, commands", snippets())
def test_python_snippet_runs_as_written(code, commands, tmp_path):
    where = workspace(tmp_path)
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


def shown_commands(text):
    """(argv, output lines) for each `$ nimbo ...` line of the page's blocks, in order."""
    found = []
    for kind, body in fenced_blocks(text):
        if kind:
            continue
        for line in body.splitlines():
            if line.startswith("$ "):
                found.append((shlex.split(line[2:], comments=True), []))
            elif found and line:
                found[-1][1].append(line)
    return [(argv, output) for argv, output in found if argv[0] == "nimbo"]


def test_the_readme_commands_print_what_it_shows(tmp_path):
    if shutil.which("yosys") is None:
        pytest.skip("the README imports Verilog: Yosys is not installed")
    where = workspace(tmp_path)
    commands = shown_commands((ROOT / "README.md").read_text(encoding="utf-8"))
    assert [argv[1] for argv, _ in commands] == ["import", "run", "run"]
    for argv, expected in commands:
        done = subprocess.run([nimbo_executable(), *argv[1:]], cwd=where, capture_output=True, text=True, timeout=300)
        got = (done.stdout + done.stderr).splitlines()
        if argv[1] == "import":
            # Cell and gate counts are those of the Yosys that maps the design.
            got, expected = ([re.sub(r"\d+", "N", line) for line in lines] for lines in (got, expected))
        assert got == expected, " ".join(argv)
    vcd = (where / "counter8.vcd").read_text()
    clock = re.search(r"^\$var wire 1 (\S+) clk \$end$", vcd, re.M).group(1)
    assert vcd.count(f"\n1{clock}\n") == 6   # the clock rose once per vector line


def slug(heading):
    """The anchor of a heading, as MkDocs and GitHub make it (for headings of words, spaces,
    backquotes and punctuation)."""
    text = re.sub(r"[^\w\- ]", "", heading.strip().lower())
    return re.sub(r"[- ]+", "-", text).strip("-")


def anchors(page):
    text = re.sub(r"^```.*?^```$", "", page.read_text(encoding="utf-8"), flags=re.M | re.S)
    return {slug(heading) for heading in re.findall(r"^#+ (.*)$", text, re.M)}


def relative_links(text):
    """The targets of the page's links and pictures that are not URLs, outside code."""
    text = re.sub(r"^```.*?^```$", "", text, flags=re.M | re.S)
    text = re.sub(r"`[^`\n]*`", "", text)
    targets = re.findall(r"\]\(([^)\s]+)\)", text)
    return [target for target in targets if not re.match(r"[a-z][a-z0-9+.-]*:", target)]


@pytest.mark.parametrize("heading, expected", [
    ("Many vectors at once: `nimbo.Simulator`", "many-vectors-at-once-nimbosimulator"),
    ("Registers: one step is one clock cycle", "registers-one-step-is-one-clock-cycle"),
    ("Against Icarus Verilog and Verilator (`python bench/compare/run.py`)",
     "against-icarus-verilog-and-verilator-python-benchcomparerunpy"),
])
def test_anchors_are_made_as_mkdocs_makes_them(heading, expected):
    assert slug(heading) == expected


def test_the_readme_links_lead_somewhere():
    readme = ROOT / "README.md"
    links = relative_links(readme.read_text(encoding="utf-8"))
    assert len(links) >= 10
    for link in links:
        path, _, anchor = link.partition("#")
        target = (readme.parent / path).resolve() if path else readme
        assert target.is_file(), f"{link}: no such file"
        assert target.is_relative_to(ROOT), f"{link}: outside the repository"
        if anchor:
            assert target.suffix == ".md" and anchor in anchors(target), f"{link}: no such heading"


def test_the_readme_links_to_every_page_of_the_docs():
    linked = {link.partition("#")[0] for link in relative_links((ROOT / "README.md").read_text(encoding="utf-8"))}
    assert {page for page in PAGES if page.startswith("docs/")} <= linked
