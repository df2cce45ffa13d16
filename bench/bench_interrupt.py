"""Circuits that never settle: how long an update takes to give up, and how
soon Ctrl-C stops a long call.

    python bench/bench_interrupt.py [--load N] [--repeat K]

Two rings of inverters that never settle once their input `enable` is 1:
three busses of 1,000,000 bits each, and 1,000,001 one-bit busses. Both
start settled (enable 0). For each ring: the time to the "did not settle"
error. Then, each in a child process that prints READY just before the call
and receives SIGINT 0.3 s later, the time from the signal to
KeyboardInterrupt in the child's main thread, for these calls on the large
ring:

- main thread: `Simulator.update` with the bus keys already built (the
  worklist alone);
- first update, Simulator: the first call of a fresh simulator, which builds
  the bus keys before it runs;
- first update, Component: the first `update_signals` of a `nimbo.core`
  component, which binds the component before it runs;
- other thread: `Simulator.run` on a thread of its own while the main thread
  waits in `Thread.join`.

`--load N` runs N busy processes beside the children (a loaded machine);
`--repeat K` takes the median of K children per call; `--calls` picks some
of main, first, component, thread; `--no-bound` skips the first table.
"""

from __future__ import annotations

import argparse
import json
import os
import signal
import statistics
import subprocess
import sys
import tempfile
import time


def ring(busses: int, width: int) -> str:
    """An odd ring: b0 = nand(enable, b<last>), b<i> = not(b<i-1>), enable 0."""
    zeros = "0" * width

    def ref(bus_id: str) -> dict:
        return {"type": "ref", "args": {"id": bus_id}}

    entries = [{"id": "enable", "value": zeros, "influence_list": ["b0"]}]
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


# argv: ring path, call. Prints READY right before the call, then
# INTERRUPTED <perf_counter> when KeyboardInterrupt reaches the main thread.
CHILD = """
import os, signal, sys, threading, time
from nimbo import Simulator
from nimbo.core import Renderer
signal.signal(signal.SIGINT, signal.default_int_handler)
text = open(sys.argv[1]).read()
call = sys.argv[2]
if call == "component":
    component = Renderer(text).component
else:
    simulator = Simulator(text)
    if call != "first":
        simulator.values(["enable"])  # builds the bus keys
def run():
    try:
        simulator.run([{"enable": "1"}])
    except Exception:
        pass

try:
    if call == "thread":
        worker = threading.Thread(target=run, daemon=True)
        print("READY", flush=True)
        worker.start()
        worker.join()
    else:
        print("READY", flush=True)
        if call == "component":
            component.update_signals({"enable": "1"})
        else:
            simulator.update({"enable": "1"})
    print("ENDED", time.perf_counter(), flush=True)
except KeyboardInterrupt:
    print("INTERRUPTED", time.perf_counter(), flush=True)
except RuntimeError:
    print("ENDED", time.perf_counter(), flush=True)
os._exit(0)
"""

CALLS = [
    ("main thread, bus keys built", "main"),
    ("first update, Simulator (builds the bus keys)", "first"),
    ("first update, Component (binds the component)", "component"),
    ("Simulator.run on another thread, main thread in join()", "thread"),
]


def reaction(path: str, call: str) -> tuple[bool, float]:
    """Whether KeyboardInterrupt came before the call ended, and the seconds
    from SIGINT to the one that came first."""
    child = subprocess.Popen([sys.executable, "-c", CHILD, path, call], stdout=subprocess.PIPE, text=True)
    assert child.stdout is not None
    assert child.stdout.readline().strip() == "READY"
    time.sleep(0.3)
    sent = time.perf_counter()
    child.send_signal(signal.SIGINT)
    out = child.stdout.readline().split()
    child.wait()
    return out[0] == "INTERRUPTED", float(out[1]) - sent


def main() -> int:
    from nimbo import Simulator

    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--load", type=int, default=0, help="busy processes beside the children")
    parser.add_argument("--repeat", type=int, default=3, help="children per call (median)")
    parser.add_argument("--calls", default="", help="main,first,component,thread (default: all)")
    parser.add_argument("--no-bound", action="store_true", help="skip the time to the bound")
    args = parser.parse_args()

    load = [subprocess.Popen([sys.executable, "-c", "while 1: pass"]) for _ in range(args.load)]
    try:
        print("| ring | to the bound | message |")
        print("|---|---|---|")
        for label, busses, width in (("3 busses of 1,000,000 bits", 3, 1_000_000),
                                     ("1,000,001 busses of 1 bit", 1_000_001, 1)):
            if args.no_bound:
                break
            ir = ring(busses, width)
            simulator = Simulator(ir)
            start = time.perf_counter()
            try:
                simulator.update({"enable": "1" * width})
                message = "settled"
            except RuntimeError as error:
                message = str(error)
            bound = time.perf_counter() - start
            del simulator
            print(f"| {label} | {bound:.2f} s | {message} |")

        print()
        print(f"SIGINT to KeyboardInterrupt, 1,000,001-bus ring, {args.load} busy processes beside, "
              f"median of {args.repeat}:")
        print()
        print("| call | SIGINT to KeyboardInterrupt |")
        print("|---|---|")
        with tempfile.TemporaryDirectory() as scratch:
            path = os.path.join(scratch, "ring.json")
            with open(path, "w") as f:
                f.write(ring(1_000_001, 1))
            for label, call in CALLS:
                if args.calls and call not in args.calls.split(","):
                    continue
                results = [reaction(path, call) for _ in range(args.repeat)]
                shown = f"{statistics.median(t for _, t in results) * 1e3:,.0f} ms"
                ended = sum(not interrupted for interrupted, _ in results)
                if ended:
                    shown += f" ({ended} of {len(results)}: the call ended first, no KeyboardInterrupt)"
                print(f"| {label} | {shown} |")
    finally:
        for process in load:
            process.kill()
            process.wait()
    return 0


if __name__ == "__main__":
    sys.exit(main())
