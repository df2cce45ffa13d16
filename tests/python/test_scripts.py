"""The set-up scripts on machines unlike ours, played by stand-ins for
dpkg-query, apt-cache, apt-get, sudo, id and Python on a PATH of their own."""

from __future__ import annotations

import os
import pathlib
import shutil
import stat
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
SCRIPTS = ROOT / "scripts"
# Real tools the scripts may call; everything else on PATH is a stand-in.
TOOLS = ["bash", "awk", "grep", "sort", "cat", "dpkg", "dirname", "basename", "mkdir", "cp", "chmod", "seq", "tr", "sed",
         "head", "env", "sleep"]

BUILD = "build-essential cmake ninja-build python3-dev python3-venv"
TEST = "libgtest-dev clang-format unicode-data clang iverilog gtkwave yosys libcairo2"
BENCH = "iverilog verilator yosys time"
LOAD = "stress-ng"
DEBIAN_12 = {
    "libboost-dev": "1.74.0.3", "libboost1.74-dev": "1.74.0-21", "libboost1.81-dev": "1.81.0-5",
    "clang": "1:14.0-55.7", "libclang-rt-14-dev": "1:14.0.6-12",
}
UBUNTU_24_04 = {"libboost-dev": "1.83.0.1", "libboost1.83-dev": "1.83.0-2", "clang": "1:18.0-59", "libclang-rt-18-dev": "1:18.1.3-1"}

STUBS = {
    "dpkg-query": """
        case " $FAKE_INSTALLED " in *" ${@: -1} "*) printf 'install ok installed' ;; *) exit 1 ;; esac
    """,
    "apt-cache": """
        for entry in $FAKE_CANDIDATES; do
          name=${entry%%=*}
          case "$1" in
            policy) [ "$name" = "$2" ] && printf '%s:\\n  Candidate: %s\\n' "$name" "${entry#*=}" ;;
            pkgnames) case "$name" in "$2"*) echo "$name" ;; esac ;;
          esac
        done
        exit 0
    """,
    "apt-get": """
        echo "apt-get $*" >> "$FAKE_LOG"
        case " $* " in *" libboost1.81-dev "*|*" libboost-dev "*|*" libboost1.83-dev "*)
          mkdir -p "$FAKE_INCLUDE/boost"; echo '#define BOOST_VERSION 108100' > "$FAKE_INCLUDE/boost/version.hpp" ;;
        esac
    """,
    "sudo": """
        echo "sudo $*" >> "$FAKE_LOG"
        exec "$@"
    """,
    "id": 'echo "$FAKE_UID"',
    # Busy until stopped; says when it was.
    "stress-ng": """
        trap 'echo "stress-ng stopped" >> "$FAKE_LOG"; exit 0' TERM
        echo "stress-ng $*" >> "$FAKE_LOG"
        while :; do sleep 0.05; done
    """,
    # A Python whose pip predates -C (Debian 12 ships pip 23.0).
    "python3.11": """
        case "$1 $2" in
          "-c "*) echo 3.11 ;;
          "-m venv") mkdir -p "$3/bin"; cp "$0" "$3/bin/python"; printf '#!/bin/bash\\necho "nimbo $*" >> "$FAKE_LOG"\\n' > "$3/bin/nimbo"; chmod +x "$3/bin/nimbo" ;;
          "-m pip")
            for arg in "$@"; do [ "$arg" = -C ] && { echo "no such option: -C" >&2; exit 2; }; done
            echo "pip $* SKBUILD_BUILD_DIR=${SKBUILD_BUILD_DIR:-}" >> "$FAKE_LOG" ;;
          "-m pytest")
            # Under load, the load is there before the tests start.
            [ -z "${FAKE_LOADED:-}" ] || until grep -q "^stress-ng" "$FAKE_LOG"; do sleep 0.05; done
            echo "pytest" >> "$FAKE_LOG" ;;
          "-m mypy") echo "mypy" >> "$FAKE_LOG"; exit "${FAKE_MYPY_STATUS:-0}" ;;
          "-m mkdocs") echo "mkdocs $*" >> "$FAKE_LOG"; exit "${FAKE_MKDOCS_STATUS:-0}" ;;
        esac
    """,
}


class Machine:
    def __init__(self, tmp: pathlib.Path, *, uid=0, sudo=False, installed="", candidates=None, boost=0):
        self.tmp = tmp
        self.bin = tmp / "bin"
        self.bin.mkdir()
        for tool in TOOLS:
            found = shutil.which(tool)
            if found:
                (self.bin / tool).symlink_to(found)
        for name, body in STUBS.items():
            if name == "sudo" and not sudo:
                continue
            path = self.bin / name
            path.write_text("#!/bin/bash\n" + body)
            path.chmod(path.stat().st_mode | stat.S_IXUSR)
        self.include = tmp / "include"
        if boost:
            (self.include / "boost").mkdir(parents=True)
            (self.include / "boost" / "version.hpp").write_text(f"#define BOOST_VERSION {boost}\n")
        self.log = tmp / "log"
        self.log.write_text("")
        names = dict(candidates or DEBIAN_12)
        for name in (BUILD + " " + TEST + " " + BENCH + " " + LOAD).split():
            names.setdefault(name, "1.0")
        self.env = {
            "PATH": str(self.bin), "HOME": str(tmp), "FAKE_UID": str(uid), "FAKE_INSTALLED": installed,
            "FAKE_CANDIDATES": " ".join(f"{k}={v}" for k, v in names.items()), "FAKE_LOG": str(self.log),
            "FAKE_INCLUDE": str(self.include), "NIMBO_INCLUDE_DIRS": str(self.include),
        }

    def run(self, script: pathlib.Path, *args: str) -> subprocess.CompletedProcess[str]:
        # The bound only stops a script that hangs; a loaded machine never comes near it.
        return subprocess.run(["bash", str(script), *args], env=self.env, cwd=self.tmp, capture_output=True,
                              text=True, timeout=1800)

    def calls(self) -> list[str]:
        return self.log.read_text().splitlines()


def installs(machine: Machine) -> list[str]:
    """The packages apt-get was asked to install."""
    found = []
    for call in machine.calls():
        words = call.split()
        if words[:2] == ["apt-get", "install"]:
            found += [word for word in words[2:] if not word.startswith("-")]
    return found


ALL = f"{BUILD} {TEST} {BENCH} libclang-rt-14-dev"


@pytest.mark.parametrize(
    "machine, args, status, installed, message",
    [
        pytest.param(dict(installed=ALL + " libboost-dev libboost1.74-dev", boost=107400), ["build"], 0,
                     ["libboost1.81-dev"], "Boost 1.74 is too old", id="Boost 1.74 installed"),
        pytest.param(dict(installed=BUILD, boost=107400, candidates=UBUNTU_24_04), ["build"], 0,
                     ["libboost-dev"], "Boost 1.74 is too old", id="Ubuntu 24.04 default Boost"),
        pytest.param(dict(uid=1000, installed=BUILD, boost=108100), ["build"], 0,
                     [], "everything for build is installed", id="no root, build packages there"),
        pytest.param(dict(uid=1000, installed=BUILD.replace("cmake ", ""), boost=108100), ["build"], 1,
                     [], "apt-get install --no-install-recommends cmake", id="no root, no sudo, cmake missing"),
        pytest.param(dict(uid=1000, installed=BUILD, boost=107400), ["build"], 1,
                     [], "missing Debian packages: libboost1.81-dev", id="no root, no sudo, old Boost"),
        pytest.param(dict(uid=1000, sudo=True, installed=BUILD.replace("cmake ", ""), boost=108100), ["build"], 0,
                     ["cmake"], "installing cmake", id="no root, sudo"),
        pytest.param(dict(), ["build"], 0, BUILD.split() + ["libboost1.81-dev"], "installing", id="fresh, build only"),
        pytest.param(dict(), [], 0, (f"{BUILD} {TEST} verilator time").split() + ["libboost1.81-dev", "libclang-rt-14-dev"],
                     "installing", id="fresh, everything"),
        pytest.param(dict(candidates=UBUNTU_24_04, installed=ALL, boost=108300), ["test"], 0,
                     ["libclang-rt-18-dev"], "installing", id="clang 18 runtime"),
        pytest.param(dict(installed=ALL, boost=108100), ["load"], 0, ["stress-ng"], "installing stress-ng",
                     id="stress-ng for loaded runs"),
    ],
)
def test_install_deps(machine, args, status, installed, message, tmp_path):
    box = Machine(tmp_path, **machine)
    done = box.run(SCRIPTS / "install-deps.sh", *args)
    assert done.returncode == status, done.stderr
    assert message in done.stderr
    assert sorted(installs(box)) == sorted(installed)
    assert "command not found" not in done.stderr


def throwaway_checkout(tmp: pathlib.Path) -> pathlib.Path:
    checkout = tmp / "checkout"
    shutil.copytree(SCRIPTS, checkout / "scripts")
    return checkout


def test_python_tests_install_with_a_pip_that_lacks_dash_c(tmp_path):
    box = Machine(tmp_path)
    checkout = throwaway_checkout(tmp_path)
    done = box.run(checkout / "scripts" / "test-python.sh")
    assert done.returncode == 0, done.stderr
    assert "SKBUILD_BUILD_DIR=build/py-3.11" in box.log.read_text() and "pytest" in box.calls()


@pytest.mark.parametrize(
    "mypy_status, mkdocs_status, message",
    [(0, 0, ""), (1, 0, "mypy --strict found type errors"), (0, 1, "the documentation does not build")],
)
def test_python_tests_fail_on_a_type_error_or_a_documentation_that_does_not_build(
        mypy_status, mkdocs_status, message, tmp_path):
    box = Machine(tmp_path)
    box.env.update(FAKE_MYPY_STATUS=str(mypy_status), FAKE_MKDOCS_STATUS=str(mkdocs_status))
    done = box.run(throwaway_checkout(tmp_path) / "scripts" / "test-python.sh")
    assert done.returncode == (1 if message else 0), done.stderr
    assert message in done.stderr
    assert box.calls().count("mypy") == 1 and "pytest" in box.calls()
    assert [call for call in box.calls() if call.startswith("mkdocs")] == [
        "mkdocs -m mkdocs build --strict --site-dir build/site"]


def test_loaded_tests_run_beside_the_load_and_stop_it(tmp_path):
    box = Machine(tmp_path, installed=LOAD)
    box.env.update(FAKE_LOADED="1", NIMBO_PYTHON="bin/python3.11")
    done = box.run(throwaway_checkout(tmp_path) / "scripts" / "test-loaded.sh", "-k", "x")
    assert done.returncode == 0, done.stderr
    assert box.calls() == ["stress-ng --cpu 4 --quiet", "pytest", "stress-ng stopped"]


def test_quickstart_without_root_ends_by_saying_how_to_run_nimbo(tmp_path):
    box = Machine(tmp_path, uid=1000, installed=BUILD + " yosys", boost=108100)
    box.env["PYTHON"] = "python3.11"
    checkout = throwaway_checkout(tmp_path)
    done = box.run(checkout / "scripts" / "quickstart.sh")
    assert done.returncode == 0, done.stderr
    assert f"source {checkout}/.venv/bin/activate" in done.stdout
    assert box.calls()[-1] == "nimbo run examples/full_adder.json --vectors examples/full_adder.vectors.jsonl"
    assert not installs(box)
    # The extras the walk-through uses, from the checkout, never nimbo by name.
    (pip,) = [call for call in box.calls() if call.startswith("pip -m pip install")]
    assert pip.split()[4] == f"{checkout}[distributed,wave]"
    assert any(call.startswith("pip -m pip install") and call.split()[-2] == "pytest" for call in box.calls())
    assert "python -m pytest -q examples/pytest" in done.stdout


def test_quickstart_installs_yosys_for_the_pytest_example(tmp_path):
    box = Machine(tmp_path, installed=BUILD, boost=108100)
    box.env["PYTHON"] = "python3.11"
    done = box.run(throwaway_checkout(tmp_path) / "scripts" / "quickstart.sh")
    assert done.returncode == 0, done.stderr
    assert installs(box) == ["yosys"]
