"""One call at a time on a Simulator: a call made from inside another on the
same thread (a finaliser run by an allocation) is refused, a call from
another thread waits for the running one, and each call returns what it
would return alone."""

import gc
import json
import subprocess
import sys
import threading

import pytest

from nimbo import Simulator

from conftest import bus, gate, make_ir, ref

ADDER = make_ir(
    [
        bus("a", "0", influence=["sum", "cout"]),
        bus("b", "0", influence=["sum", "cout"]),
        bus("sum", "0", gate("xor", ref("a"), ref("b"))),
        bus("cout", "0", gate("and", ref("a"), ref("b"))),
    ]
)
LINES = b"".join(json.dumps({"a": str(i % 2), "b": str(i // 2 % 2), f"zz{i}": "1"}).encode() + b"\n" for i in range(40))
BITS = memoryview(bytes([i % 2 for i in range(80)])).cast("B", (40, 2))
SEQUENCES = memoryview(bytes([i % 3 % 2 for i in range(3 * 40 * 2)])).cast("B", (3, 40, 2))
LAYOUT = (1, 3, ["", " ", " ", "\n"])

# Every call writes every input it reads, so what it returns does not depend
# on calls made before it.
CALLS = [
    pytest.param(lambda s: s.run_jsonl(LINES, ["sum", "cout"]), id="run_jsonl"),
    pytest.param(lambda s: s.run_jsonl(LINES, ["sum", "cout"], layout=LAYOUT), id="run_jsonl-layout"),
    pytest.param(lambda s: s.run([{"a": "1", "b": "0"}, {"a": "1", "b": "1"}] * 30, ["sum"]), id="run"),
    pytest.param(lambda s: s.run_bits(["a", "b"], BITS, ["sum", "cout"]).tolist(), id="run_bits"),
    pytest.param(lambda s: s.run_sequences(["a", "b"], SEQUENCES, ["sum"]).tolist(), id="run_sequences"),
    pytest.param(lambda s: [r[:2] for r in s.run_sequences_jsonl([LINES] * 3, ["cout"])],
                 id="run_sequences_jsonl"),
    # widths() builds a tuple (an object the collector follows) in its call.
    pytest.param(lambda s: (s.update({"a": "1", "b": "0"}), s.step({"b": "1"}), s.values(), s.widths()),
                 id="update-step"),
    pytest.param(lambda s: (s.bus_ids, s.clocks, s.widths()), id="reads"),
    pytest.param(lambda s: (s.update({"b": "1"}), s.reset(), s.widths()), id="reset"),
]


class Reentry:
    """Garbage (a cycle) whose finaliser calls the simulator and leaves new
    garbage behind, so that each collection during a call tries again."""

    def __init__(self, attempt, outcomes, armed):
        self.attempt, self.outcomes, self.armed = attempt, outcomes, armed
        self.cycle = self

    def __del__(self):
        if not self.armed:
            return
        try:
            self.attempt()
            self.outcomes.append("ran")
        except RuntimeError as error:
            self.outcomes.append(str(error))
        Reentry(self.attempt, self.outcomes, self.armed)


# From CPython 3.12 on the collector runs between bytecodes and at signal
# checks, not in the allocations a call makes: there a finaliser cannot run
# inside these short calls. Re-entry from Python code a call runs is tested
# below on every version.
FINALISERS_RUN_IN_ALLOCATIONS = sys.version_info < (3, 12)


@pytest.mark.skipif(not FINALISERS_RUN_IN_ALLOCATIONS, reason="the collector runs only between bytecodes")
@pytest.mark.parametrize("call", CALLS)
def test_a_finaliser_cannot_reenter_a_call(call):
    alone = Simulator(ADDER)
    expected = call(alone)
    simulator = Simulator(ADDER)
    outcomes = []
    armed = [True]
    # Writes rows where a run_jsonl in progress keeps its own; run between
    # calls (a collection may come before a call starts) it changes nothing
    # the calls return.
    inner = lambda: simulator.run_jsonl(b'{"a": "1", "b": "1"}\n' * 3, ["sum", "cout"], layout=LAYOUT)
    threshold = gc.get_threshold()
    gc.collect()
    gc.set_threshold(1)
    try:
        Reentry(inner, outcomes, armed)
        got = call(simulator)
    finally:
        armed.clear()
        gc.set_threshold(*threshold)
        gc.collect()
    assert got == expected
    refused = "the simulator is in the middle of another call on this thread"
    assert any(outcome.startswith(refused) for outcome in outcomes), outcomes
    assert all(outcome == "ran" or outcome.startswith(refused) for outcome in outcomes), outcomes


def test_a_call_from_the_iterator_of_run_is_refused_and_changes_nothing():
    # run() takes its vectors from Python code, which runs inside the call.
    simulator = Simulator(ADDER)
    refused = []

    def vectors():
        for k in range(4):
            try:
                simulator.update({"a": "1", "b": "1"})
            except RuntimeError as error:
                refused.append(str(error))
            yield {"a": str(k % 2), "b": "0"}

    rows = simulator.run(vectors(), ["sum", "cout"])
    assert rows == Simulator(ADDER).run([{"a": str(k % 2), "b": "0"} for k in range(4)], ["sum", "cout"])
    assert len(refused) == 4
    assert all(r.startswith("the simulator is in the middle of another call on this thread") for r in refused)


def test_a_call_from_another_thread_waits_for_the_running_one():
    simulator = Simulator(ADDER)
    seen = {}

    def second():
        try:
            seen["values"] = simulator.values()
        except RuntimeError as error:
            seen["error"] = str(error)

    thread = threading.Thread(target=second)

    def vectors():
        # Runs inside the first call: the second thread's call cannot end
        # before the first, however long this waits for it.
        for k in range(60):
            if k == 1:
                thread.start()
                thread.join(timeout=2)
                seen["ended inside the first call"] = not thread.is_alive()
            yield {"a": "1"} if k % 2 == 0 else {"b": "1"}

    rows = simulator.run(vectors(), ["cout"])
    thread.join()
    assert rows[-1] == {"cout": "1"}
    assert seen == {"ended inside the first call": False, "values": simulator.values()}


def test_threads_sharing_a_simulator_get_their_own_results():
    # Long calls let other threads run at their interrupt polls; those
    # threads' calls wait, and every call gives what it gives alone.
    busses = [bus(f"i{k}", "0", influence=[f"g{k}"]) for k in range(8)]
    for k in range(400):
        busses.append(bus(f"g{k}", "0", gate("xor", ref(f"i{k % 8}" if k < 8 else f"g{k - 8}"),
                                             ref(f"g{k - 1}" if k else "i1"))))
    ir = make_ir(busses)
    rows = 3000
    data = memoryview(bytes((r * 7 + c) % 5 % 2 for r in range(rows) for c in range(8))).cast("B", (rows, 8))
    inputs, outputs = [f"i{k}" for k in range(8)], ["g399", "g398"]
    expected = Simulator(ir).run_bits(inputs, data, outputs).tolist()
    simulator = Simulator(ir)
    failures = []

    def worker():
        for _ in range(5):
            try:
                if simulator.run_bits(inputs, data, outputs).tolist() != expected:
                    failures.append("wrong rows")
            except RuntimeError as error:
                failures.append(str(error))

    threads = [threading.Thread(target=worker) for _ in range(3)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []


EXIT_SCRIPT = """
import json, signal, sys, threading
from nimbo import Simulator
from nimbo.ir import gate, ref

def chain(n, slow):
    # A chain of inverters. slow: declared in reverse with a gap in the
    # influence lists, so that settling it is quadratic; else ended by a
    # NAND latch, so that every vector goes through the worklist.
    busses = [{"id": "x0", "value": "0", "influence_list": ["x1"]}]
    for i in range(1, n):
        entry = {"id": f"x{i}", "value": "0", "assignment": gate("not", ref(f"x{i-1}"))}
        if i + 1 < n and (not slow or i != n // 2):
            entry["influence_list"] = [f"x{i+1}"]
        busses.append(entry)
    if slow:
        busses.reverse()
    else:
        busses[-1]["influence_list"] = ["q"]
        busses.append({"id": "q", "value": "0", "assignment": gate("nand", ref(f"x{n-1}"), ref("qn")),
                       "influence_list": ["qn"]})
        busses.append({"id": "qn", "value": "1", "assignment": gate("nand", ref("q"), ref(f"x{n-2}")),
                       "influence_list": ["q"]})
    return json.dumps({"component": {"id": "chain", "busses": busses}})

shared = Simulator(chain(2000, False))
rows = memoryview(bytes(i % 2 for i in range(400000))).cast("B", (400000, 1))
calls = {
    "construct": lambda: Simulator(chain(300000, True)),
    "batch": lambda: shared.run_bits(["x0"], rows, ["q"]),
    "wait": lambda: shared.values(["q"]),
}
started = {name: threading.Event() for name in calls}

def call(name):
    started[name].set()
    calls[name]()

for name in calls:
    threading.Thread(target=call, args=(name,), daemon=True).start()
    started[name].wait()
print("EXIT", flush=True)
"""


def test_the_interpreter_exits_cleanly_while_other_threads_are_in_calls():
    # Daemon threads in long calls, one of them waiting for another's: the
    # interpreter exits without waiting for them, and without a crash.
    child = subprocess.run([sys.executable, "-c", EXIT_SCRIPT], capture_output=True, text=True, timeout=600)
    assert (child.returncode, child.stdout, child.stderr) == (0, "EXIT\n", "")
