"""Circuits that never settle: how long an update takes to give up, and how
soon Ctrl-C stops it.

    python bench/bench_interrupt.py

Two rings of inverters that never settle: three busses of 1,000,000 bits
each, and 1,000,001 one-bit busses. For each: the time to the "did not
settle" error, and, in a child process that receives SIGINT 0.5 s into the
same update, the time from the signal to KeyboardInterrupt.
"""

from __future__ import annotations

import json
import os
import signal
import subprocess
import sys
import tempfile
import time


def ring(busses: int, width: int) -> str:
    """An odd ring: b0 = nand(enable, b<last>), b<i> = not(b<i-1>)."""
    zeros = "0" * width

    def ref(bus_id: str) -> dict:
        return {"type": "ref", "args": {"id": bus_id}}

    entries = [{"id": "enable", "value": "1" * width, "influence_list": ["b0"]}]
    for i in range(busses):
        source = f"b{busses - 1}" if i == 0 else f"b{i - 1}"
        expr = (
            {"type": "nand", "args": {"l_expr": ref("enable"), "r_expr": ref(source)}}
            if i == 0
            else {"type": "not", "args": {"expr": ref(source)}}
        )
        entries.append({"id": f"b{i}", "value": zeros, "assignment": expr,
                        "influence_list": [f"b{(i + 1) % busses}"]})
    return json.dumps({"component": {"id": "ring", "busses": entries}})


CHILD = """
import signal, sys, time
from nimbo import Simulator
signal.signal(signal.SIGINT, signal.default_int_handler)
simulator = Simulator(open(sys.argv[1]).read())
print("READY", flush=True)
try:
    simulator.update({})
    print("SETTLED")
except KeyboardInterrupt:
    print("INTERRUPTED", time.perf_counter(), flush=True)
except RuntimeError as error:
    print("BOUND", error)
"""


def main() -> int:
    from nimbo import Simulator

    print("| ring | to the bound | message | SIGINT to KeyboardInterrupt |")
    print("|---|---|---|---|")
    for label, busses, width in (("3 busses of 1,000,000 bits", 3, 1_000_000),
                                 ("1,000,001 busses of 1 bit", 1_000_001, 1)):
        ir = ring(busses, width)
        simulator = Simulator(ir)
        start = time.perf_counter()
        try:
            simulator.update({})
            message = "settled"
        except RuntimeError as error:
            message = str(error)
        bound = time.perf_counter() - start
        del simulator

        with tempfile.TemporaryDirectory() as scratch:
            path = os.path.join(scratch, "ring.json")
            with open(path, "w") as f:
                f.write(ir)
            child = subprocess.Popen([sys.executable, "-c", CHILD, path], stdout=subprocess.PIPE, text=True)
            assert child.stdout is not None
            child.stdout.readline()
            time.sleep(0.5)
            sent = time.perf_counter()
            child.send_signal(signal.SIGINT)
            out = child.stdout.readline().split()
            child.wait()
        if out and out[0] == "INTERRUPTED":
            reaction = f"{(float(out[1]) - sent) * 1e3:.0f} ms"
        else:
            reaction = "the update ended first" if out and out[0] == "BOUND" else " ".join(out)
        print(f"| {label} | {bound:.2f} s | {message} | {reaction} |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
