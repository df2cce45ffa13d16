"""The command line in a separate process, used as a careless or hostile user
would: every failure is one line with an exit status, a VCD file appears
only when the run succeeds, and what is printed stays readable."""

from __future__ import annotations

import fcntl
import json
import os
import pathlib
import pty
import select
import shutil
import signal
import stat
import subprocess
import struct
import sys
import termios
import threading
import time
from dataclasses import dataclass

import pytest

pytest.importorskip("nimbo.core")
import nimbo  # noqa: E402
from conftest import EXAMPLES, bus, cell, limit_file_size, make_ir, netlist  # noqa: E402

FULL_ADDER = EXAMPLES / "full_adder.json"
ALU = EXAMPLES / "alu8.json"
GOOD_VCD = "an earlier, good recording\n"


@dataclass
class Ran:
    status: int
    out: str
    err: str


def nimbo_cmd(*argv) -> list:
    return [sys.executable, "-m", "nimbo", *[a if isinstance(a, bytes) else str(a) for a in argv]]


# A bound that only stops a test whose run hangs; a slow or loaded machine
# never comes near it.
HUNG = 1800


def run(tmp, *argv, stdout=subprocess.PIPE, file_size=None, env=None) -> Ran:
    done = subprocess.run(
        nimbo_cmd(*argv), cwd=tmp, stdout=stdout, stderr=subprocess.PIPE, timeout=HUNG,
        preexec_fn=limit_file_size(file_size) if file_size else None, env=env,
    )
    out = done.stdout.decode() if done.stdout is not None else ""
    return Ran(done.returncode, out, done.stderr.decode())


def default_sigint() -> None:
    """In the child: SIGINT as a terminal delivers it, also when these tests
    run in a background job (which ignores SIGINT, and so would the child)."""
    signal.signal(signal.SIGINT, signal.SIG_DFL)


def good_vcd(tmp) -> pathlib.Path:
    vcd = tmp / "good.vcd"
    vcd.write_text(GOOD_VCD)
    return vcd


def assert_vcd_kept(tmp) -> None:
    assert (tmp / "good.vcd").read_text() == GOOD_VCD
    assert sorted(p.name for p in tmp.iterdir() if p.name.startswith(".good.vcd")) == []


def wait_for(condition, what: str, proc: subprocess.Popen) -> None:
    """Waits, however long it takes, until `condition` holds; fails when the
    process ends first."""
    while not condition():
        assert proc.poll() is None, f"nimbo ended before {what}: {(proc.communicate()[1] or b'').decode()}"
        time.sleep(0.02)


class FedRun:
    """A run of the full adder whose vectors come through a FIFO, so that the
    test decides when the run is in the middle of its vectors."""

    def __init__(self, tmp, *extra, stdout=subprocess.PIPE, stderr=subprocess.PIPE):
        fifo = tmp / "vectors.fifo"
        os.mkfifo(fifo)
        self.proc = subprocess.Popen(
            nimbo_cmd("run", FULL_ADDER, "--vectors", fifo, *extra), cwd=tmp, stdout=stdout, stderr=stderr,
            preexec_fn=default_sigint,
        )
        self.feed = self._open_feed(fifo)

    def _open_feed(self, fifo):
        while True:
            try:
                fd = os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)  # fails until nimbo opened the FIFO
            except OSError:
                assert self.proc.poll() is None, self.proc.communicate()[1].decode()
                time.sleep(0.02)
                continue
            os.set_blocking(fd, True)
            return os.fdopen(fd, "w")

    def send(self, *lines: str) -> None:
        self.feed.write("".join(line + "\n" for line in lines))
        self.feed.flush()

    def finish(self) -> Ran:
        self.feed.close()
        out, err = self.proc.communicate(timeout=HUNG)
        return Ran(self.proc.returncode, (out or b"").decode(), (err or b"").decode())


def mid_run(tmp) -> FedRun:
    """A run with --vcd good.vcd that has applied one vector and waits for more."""
    good_vcd(tmp)
    fed = FedRun(tmp, "--vcd", "good.vcd")
    fed.send('{"a": "1"}')
    wait_for(lambda: any(p.name.startswith(".good.vcd") for p in tmp.iterdir()), "the VCD was started", fed.proc)
    return fed


# ---------------------------------------------------------------- scenarios
# Each returns what the run printed; the table below holds what is expected.


def deep_vector_line(tmp):
    (tmp / "deep.jsonl").write_text("[" * 10_000 + "]" * 10_000 + "\n")
    return run(tmp, "run", FULL_ADDER, "--vectors", "deep.jsonl")


def vcd_on_full_disk(tmp):
    good_vcd(tmp)
    ran = run(tmp, "run", ALU, "--vectors", EXAMPLES / "alu8.vectors.jsonl", "--vcd", "good.vcd", file_size=200)
    assert_vcd_kept(tmp)
    return ran


def wave_on_full_disk(tmp):
    pytest.importorskip("wavedrom")
    (tmp / "good.svg").write_text(GOOD_VCD)
    ran = run(tmp, "run", ALU, "--vectors", EXAMPLES / "alu8.vectors.jsonl", "--wave", "good.svg", file_size=1024)
    assert (tmp / "good.svg").read_text() == GOOD_VCD
    assert sorted(p.name for p in tmp.iterdir()) == ["good.svg"]
    return ran


def stdout_on_full_disk(tmp):
    with open(tmp / "out.txt", "wb") as out:
        return run(tmp, "run", ALU, "--vectors", EXAMPLES / "alu8.vectors.jsonl", stdout=out, file_size=100)


def help_on_full_disk(tmp):
    with open(tmp / "out.txt", "wb") as out:
        return run(tmp, "--help", stdout=out, file_size=10)


def failed_run_keeps_vcd(tmp):
    good_vcd(tmp)
    (tmp / "v.jsonl").write_text('{"a": "1"}\n{"b": "1"}\n{"cin": "3"}\n')
    ran = run(tmp, "run", FULL_ADDER, "--vectors", "v.jsonl", "--vcd", "good.vcd")
    assert_vcd_kept(tmp)
    return ran


def interrupted_run_keeps_vcd(signum):
    def scenario(tmp):
        fed = mid_run(tmp)
        fed.proc.send_signal(signum)
        ran = fed.finish()
        assert_vcd_kept(tmp)
        return ran

    return scenario


def piped_run_keeps_vcd(tmp):
    fed = mid_run(tmp)
    fed.proc.stdout.close()  # the reader of the table goes away
    fed.send('{"b": "1"}', '{"cin": "1"}')
    ran = fed.finish()
    assert_vcd_kept(tmp)
    return ran


def vcd_names_the_ir_through_a_symlink(tmp):
    ir = tmp / "c.json"
    ir.write_bytes(FULL_ADDER.read_bytes())
    (tmp / "link.vcd").symlink_to(ir)
    ran = run(tmp, "run", "c.json", "--vcd", "link.vcd")
    assert ir.read_bytes() == FULL_ADDER.read_bytes()
    return ran


def vcd_names_the_vectors_through_a_hard_link(tmp):
    vectors = tmp / "v.jsonl"
    vectors.write_text('{"a": "1"}\n')
    os.link(vectors, tmp / "v.vcd")
    ran = run(tmp, "run", FULL_ADDER, "--vectors", "v.jsonl", "--vcd", "v.vcd")
    assert vectors.read_text() == '{"a": "1"}\n'
    return ran


def newline_in_an_id(tmp):
    (tmp / "c.json").write_text(make_ir([bus("a\nb"), bus("c")], component_id="c"))
    ran = run(tmp, "run", "c.json")
    assert ran.out.splitlines() == ["bus     value", '"a\\nb"  0', "c       0"]
    return ran


def non_ascii_ids_in_the_vcd(tmp):
    (tmp / "c.json").write_text(make_ir([bus("ç", "1"), bus("c"), bus("a b")]), encoding="utf-8")
    ran = run(tmp, "run", "c.json", "--vcd", "c.vcd")
    names = [line.split()[4] for line in (tmp / "c.vcd").read_text().splitlines() if line.startswith("$var")]
    assert names == ["\\u{e7}", "c", "a\\u{20}b"]
    return ran


def long_set(argument, cut):
    """--set with an argument of 100 kB: the message stays short and says how long it was."""

    def scenario(tmp):
        ran = run(tmp, "run", FULL_ADDER, "--set", argument)
        assert len(ran.err) < 400 and cut in ran.err
        return ran

    return scenario


def million_digits(tmp):
    # Refused by its count of digits, before any is converted.
    (tmp / "v.jsonl").write_text('{"a": 5}\n{"a": 1%s}\n' % ("0" * 1_000_000))
    return run(tmp, "run", ALU, "--vectors", "v.jsonl")


def undecodable_id(tmp):
    return run(tmp, "run", FULL_ADDER, "--set", b"\xff=1")


def undecodable_id_allowed(tmp):
    return run(tmp, "run", FULL_ADDER, "--set", b"\xff=1", "--allow-unknown")


def vectors_through_a_pipe(tmp):
    """Each vector is applied as it arrives, not once a block has filled."""
    fed = FedRun(tmp, "--allow-unknown")
    fed.send('{"zz": "1"}')
    # The feed stays open: a run that waited for the end of the file would say nothing.
    assert select.select([fed.proc.stderr], [], [], HUNG)[0], "the vector waited for the end of the file"
    warning = fed.proc.stderr.readline().decode()
    ran = fed.finish()
    return Ran(ran.status, ran.out, warning + ran.err)


def and_netlist(tmp) -> pathlib.Path:
    path = tmp / "and.json"
    path.write_text(json.dumps(netlist({"g": cell("$_AND_", A=2, B=3, Y=4)})))
    return path


def import_onto_a_device(tmp):
    """-o naming a device (as root, renaming over it would replace it) writes to it."""
    device = tmp / "null"
    try:
        os.mknod(device, stat.S_IFCHR | 0o666, os.makedev(1, 3))
    except PermissionError:
        pytest.skip("making a device node needs root")
    ran = run(tmp, "import", and_netlist(tmp), "-o", "null")
    assert stat.S_ISCHR(device.stat().st_mode)
    return ran


def import_through_a_symlink(tmp):
    (tmp / "ir").mkdir()
    (tmp / "link.json").symlink_to(tmp / "ir" / "real.json")
    ran = run(tmp, "import", and_netlist(tmp), "-o", "link.json")
    assert (tmp / "link.json").is_symlink()
    assert json.loads((tmp / "ir" / "real.json").read_text())["component"]["id"] == "m"
    return ran


def import_with_the_usual_modes(tmp):
    kept = tmp / "kept.json"
    kept.write_text("old")
    kept.chmod(0o640)
    mask = os.umask(0o022)
    os.umask(mask)
    for name in ("kept.json", "new.json"):
        ran = run(tmp, "import", and_netlist(tmp), "-o", name)
        assert ran.status == 0, ran.err
    assert (kept.stat().st_mode & 0o777, (tmp / "new.json").stat().st_mode & 0o777) == (0o640, 0o666 & ~mask)
    assert kept.read_text().startswith('{"component"')
    return ran


def import_on_a_full_disk(tmp):
    (tmp / "good.json").write_text(GOOD_VCD)
    ran = run(tmp, "import", and_netlist(tmp), "-o", "good.json", file_size=100)
    assert (tmp / "good.json").read_text() == GOOD_VCD
    assert sorted(p.name for p in tmp.iterdir()) == ["and.json", "good.json"]
    return ran


def broken_install(tmp, *left_out: str) -> dict[str, str]:
    """An environment whose nimbo is a copy of the installed package without
    the files that match `left_out`, ahead of the real one on the path."""
    shadow = tmp / "shadow"
    shutil.copytree(pathlib.Path(nimbo.__file__).parent, shadow / "nimbo",
                    ignore=shutil.ignore_patterns("__pycache__", *left_out))
    return {**os.environ, "PYTHONPATH": str(shadow)}


def run_without_the_engine(tmp):
    return run(tmp, "run", FULL_ADDER, env=broken_install(tmp, "_engine.*"))


def check_without_the_shared_library(tmp):
    return run(tmp, "check", FULL_ADDER, env=broken_install(tmp, "libnimbo_python.*"))


def version_without_native_modules(tmp):
    return run(tmp, "--version", env=broken_install(tmp, "*.so"))


def _read_all(fd: int, into: list[bytes]) -> None:
    while True:
        try:
            chunk = os.read(fd, 65536)
        except OSError:  # EIO once the terminal's last user is gone
            return
        if not chunk:
            return
        into.append(chunk)


def progress_on_one_terminal(tmp):
    """A run on a terminal lasting over a second: with the table on the same
    terminal no progress bar is drawn; with the table in a pipe it is."""
    seen = {}
    for table_on_terminal in (True, False):
        master, slave = pty.openpty()
        fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 80, 0, 0))
        fed = FedRun(tmp, "--allow-unknown", stdout=slave if table_on_terminal else subprocess.PIPE, stderr=slave)
        os.close(slave)
        screen: list[bytes] = []
        reader = threading.Thread(target=_read_all, args=(master, screen))
        reader.start()
        # The warning about zz shows that the first vector ran, so the bar
        # (made before the first block is read) exists; tqdm draws it at
        # the next vector once it has existed for a second.
        fed.send('{"a": "1", "zz": "1"}')
        wait_for(lambda: b"no bus named zz" in b"".join(screen), "the first vector ran", fed.proc)
        time.sleep(1.5)
        fed.send('{"b": "1"}')
        ran = fed.finish()
        reader.join()
        os.close(master)
        (tmp / "vectors.fifo").unlink()
        seen[table_on_terminal] = b"vectors:" in b"".join(screen)
    assert seen == {True: False, False: True}
    return Ran(ran.status, "", "")


SCENARIOS = [
    # scenario, exit status, expected in standard error (or standard output when it succeeds)
    pytest.param(deep_vector_line, 1, "deep.jsonl:1: invalid JSON", id="10000 nested brackets"),
    pytest.param(vcd_on_full_disk, 1, "good.vcd: File too large; good.vcd was not written", id="--vcd on a full disk"),
    pytest.param(wave_on_full_disk, 1, "good.svg: File too large; good.svg was not written", id="--wave on a full disk"),
    pytest.param(stdout_on_full_disk, 1, "standard output: File too large", id="stdout on a full disk"),
    pytest.param(help_on_full_disk, 1, "standard output: File too large", id="--help on a full disk"),
    pytest.param(failed_run_keeps_vcd, 1, "v.jsonl:3: bus cin: \"3\" does not fit in 1 bit; good.vcd was not written",
                 id="failed run"),
    pytest.param(interrupted_run_keeps_vcd(signal.SIGINT), 130, "nimbo: interrupted; good.vcd was not written",
                 id="Ctrl-C"),
    pytest.param(interrupted_run_keeps_vcd(signal.SIGTERM), 143, "terminated by SIGTERM; good.vcd was not written",
                 id="SIGTERM"),
    pytest.param(piped_run_keeps_vcd, 1, "standard output was closed before the run ended; good.vcd was not written",
                 id="reader of a pipe goes away"),
    pytest.param(vcd_names_the_ir_through_a_symlink, 2, "that is the input file", id="--vcd is the IR"),
    pytest.param(vcd_names_the_vectors_through_a_hard_link, 2, "that is the input file", id="--vcd is the vectors"),
    pytest.param(newline_in_an_id, 0, '"a\\nb"', id="newline in an id"),
    pytest.param(non_ascii_ids_in_the_vcd, 0, "", id="non-ASCII id in a VCD"),
    pytest.param(long_set("cin=" + "1" * 100_000, "(100000 characters)"), 1, '--set: bus cin: "111',
                 id="100 kB --set value"),
    pytest.param(million_digits, 1, "v.jsonl:2: bus a: 1000000000000000000000000000000000000000... (1000001 digits)"
                 " does not fit in 8 bits", id="a million digits in a vector line"),
    pytest.param(long_set("cin=" + "9" * 100_000, ""), 1, '--set: bus cin: "9999', id="100 kB --set number"),
    pytest.param(long_set("c" * 100_000 + "=1", "(100000 characters)"), 1, '--set: no bus named "ccc',
                 id="100 kB unknown --set name"),
    pytest.param(undecodable_id, 1, 'no bus named "\\u{dcff}"', id="undecodable --set id"),
    pytest.param(undecodable_id_allowed, 0, 'no bus named "\\u{dcff}"; ignored', id="undecodable --set id, allowed"),
    pytest.param(vectors_through_a_pipe, 0, "vectors.fifo:1: no bus named zz; ignored", id="vectors through a pipe"),
    pytest.param(progress_on_one_terminal, 0, "", id="progress bar and table on one terminal"),
    pytest.param(import_onto_a_device, 0, "-> null", id="import -o a device"),
    pytest.param(import_through_a_symlink, 0, "-> link.json", id="import -o a symbolic link"),
    pytest.param(import_with_the_usual_modes, 0, "-> new.json", id="import -o keeps or gives the usual mode"),
    pytest.param(import_on_a_full_disk, 1, "good.json: File too large; good.json was not written",
                 id="import -o on a full disk"),
    pytest.param(run_without_the_engine, 1, "native module of nimbo cannot be loaded: No module named 'nimbo._engine'",
                 id="native engine missing"),
    pytest.param(check_without_the_shared_library, 1, "libnimbo_python.so: cannot open shared object file",
                 id="shared library missing"),
    pytest.param(version_without_native_modules, 0, f"nimbo {getattr(nimbo, '__version__', '?')}",
                 id="--version without native modules"),
]


@pytest.mark.parametrize("scenario, status, expected", SCENARIOS)
def test_hostile_use(scenario, status, expected, tmp_path):
    ran = scenario(tmp_path)
    assert "Traceback" not in ran.err
    assert ran.status == status, ran.err
    # One line at most besides warnings (a bit string that may have meant a number).
    failures = [line for line in ran.err.splitlines() if not line.startswith("nimbo: warning: ")]
    assert len(failures) <= (1 if status else 0)
    if status:
        assert failures[0].startswith("nimbo: ")
    assert expected in (ran.err if status or ran.err else ran.out)


# VmHWM, unlike ru_maxrss, does not count what the forking parent held.
PEAK_RSS = """
import os, sys
from nimbo.cli import main
with open(os.devnull, "w") as out:
    status = main(["run", sys.argv[1], "--vectors", sys.argv[2], "--format", "json"], out=out)
with open("/proc/self/status") as proc:
    peak = next(int(line.split()[1]) * 1024 for line in proc if line.startswith("VmHWM:"))
print(status, peak)
"""


@pytest.mark.memory
def test_vectors_are_streamed(tmp_path):
    line = '{"a": "1", "b": "0", "cin": "1"}\n'
    peaks = []
    for megabytes in (2, 40):
        vectors = tmp_path / f"{megabytes}.jsonl"
        vectors.write_text(line * (megabytes * 2**20 // len(line)))
        done = subprocess.run([sys.executable, "-c", PEAK_RSS, str(FULL_ADDER), str(vectors)],
                              capture_output=True, text=True, timeout=600, cwd=tmp_path)
        status, peak = done.stdout.split()
        assert status == "0", done.stderr
        peaks.append(int(peak))
    # Reading the whole file would grow the peak by more than the file; a
    # stream grows it by little (allocator noise), far below a quarter of it.
    assert peaks[1] - peaks[0] < (40 - 2) * 2**20 // 4, peaks
