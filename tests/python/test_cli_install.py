"""Install hints: what they install comes from the project directory, never
by the name nimbo, which an unrelated package on the public index has too
(test_scripts.py runs the quickstart)."""

import json
import pathlib
import re

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
# `pip install` followed by a bare requirement on nimbo, quoted or not.
BARE_NIMBO = re.compile(r"pip install\s+['\"]?nimbo\b")


@pytest.mark.parametrize(
    "path",
    ["README.md", *sorted(f"docs/{page.name}" for page in (ROOT / "docs").glob("*.md")), "scripts/quickstart.sh",
     "src/nimbo/waves/svg.py", "src/nimbo/waves/formats.py", "src/nimbo/extras.py"],
)
def test_no_hint_installs_nimbo_by_name(path):
    assert BARE_NIMBO.findall((ROOT / path).read_text()) == []


@pytest.mark.parametrize(
    "direct_url, expected",
    [
        ({"url": "file://{project}", "dir_info": {}}, "pip install '{project}[wave]'"),
        ({"url": "file://{project}/dist/nimbo-0.5.0-cp311-cp311-linux_x86_64.whl"}, "pip install 'wavedrom>=2.0.3'"),
        ({"url": "https://example.org/nimbo.tar.gz"}, "pip install 'wavedrom>=2.0.3'"),
        (None, "pip install 'wavedrom>=2.0.3'"),
    ],
)
def test_the_hint_names_the_project_directory_when_pip_recorded_it(direct_url, expected, tmp_path, monkeypatch):
    from importlib import metadata

    from nimbo.extras import install_hint

    project = tmp_path / "my nimbo"
    project.mkdir()
    (project / "pyproject.toml").write_text("")

    class Distribution:
        def read_text(self, name):
            assert name == "direct_url.json"
            return None if direct_url is None else json.dumps(direct_url).replace("{project}", str(project))

    monkeypatch.setattr(metadata, "distribution", lambda name: Distribution())
    hint = install_hint("wave", "wavedrom>=2.0.3")
    assert hint.startswith(expected.replace("{project}", str(project)))
