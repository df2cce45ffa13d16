"""Running a benchmark process: wall time, peak memory, output, and the
times at which it printed its START and DONE marks."""

from __future__ import annotations

import os
import shutil
import signal
import subprocess
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path

TIME = shutil.which("time", path="/usr/bin:/bin")  # GNU time, for peak memory


@dataclass
class Measured:
    status: int
    seconds: float
    rss_mb: float
    stdout: str
    stderr: str
    timed_out: bool
    marks: dict[str, float] = field(default_factory=dict)  # START / DONE, seconds from the start


def measure(command: list[str], cwd: Path, timeout: float) -> Measured:
    """Runs `command` in its own session (a timeout ends the whole tree:
    make, compilers). Peak RSS comes from GNU time, which forks the command
    from its own small process, so that it is the command's alone."""
    rss_file = cwd / f".maxrss-{os.getpid()}-{threading.get_ident()}"
    rss_file.unlink(missing_ok=True)
    if TIME:
        command = [TIME, "-f", "%M", "-o", str(rss_file)] + command
    start = time.perf_counter()
    proc = subprocess.Popen(command, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            start_new_session=True)
    errors: list[str] = []
    reader = threading.Thread(target=lambda: errors.append(proc.stderr.read() if proc.stderr else ""), daemon=True)
    reader.start()
    expired = threading.Event()

    def expire() -> None:
        expired.set()
        try:
            os.killpg(proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass

    killer = threading.Timer(timeout, expire)
    killer.start()
    lines, marks = [], {}
    try:
        assert proc.stdout is not None
        for line in proc.stdout:
            word = line.strip()
            if word in ("START", "DONE"):
                marks[word] = time.perf_counter() - start
            lines.append(line)
        status = proc.wait()
    except BaseException:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.wait()
        raise
    finally:
        killer.cancel()
    seconds = time.perf_counter() - start
    reader.join(5)
    try:
        rss_mb = int(rss_file.read_text().split()[-1]) / 1024
    except (OSError, ValueError, IndexError):
        rss_mb = float("nan")
    rss_file.unlink(missing_ok=True)
    return Measured(status, seconds, rss_mb, "".join(lines), "".join(errors), expired.is_set(), marks)
