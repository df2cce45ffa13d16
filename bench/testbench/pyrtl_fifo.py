"""The FIFO testbench in PyRTL's FastSimulation (run by run.py in a venv of
its own): python pyrtl_fifo.py VECTORS.json OUT.json. The same FIFO as
fifo.v, the same vectors and model check; writes the seconds of the loop and
the outputs of every cycle (state after each edge, as nimbo's step returns)."""

import json
import sys
import time

import pyrtl

from model import DEPTH, FifoModel


def build() -> None:
    push, pop, din = pyrtl.Input(1, "push"), pyrtl.Input(1, "pop"), pyrtl.Input(8, "din")
    mem = pyrtl.MemBlock(bitwidth=8, addrwidth=4, name="mem", asynchronous=True)
    wr, rd, count = pyrtl.Register(4, "wr"), pyrtl.Register(4, "rd"), pyrtl.Register(5, "count")
    empty, full = count == 0, count == DEPTH
    push_ok = push & ~full
    pop_ok = pop & ~empty
    mem[wr] <<= pyrtl.MemBlock.EnabledWrite(din, push_ok)
    wr.next <<= pyrtl.select(push_ok, wr + 1, wr)
    rd.next <<= pyrtl.select(pop_ok, rd + 1, rd)
    count.next <<= (count + push_ok - pop_ok)[:5]
    for name, wire in (("dout", mem[rd]), ("empty", empty), ("full", full), ("count_out", count)):
        out = pyrtl.Output(len(wire), name)
        out <<= wire


def main() -> int:
    vectors = json.load(open(sys.argv[1]))
    build()
    sim = pyrtl.FastSimulation()
    model = FifoModel()
    outputs = []
    inspect = sim.inspect
    step = sim.step
    start = time.perf_counter()
    for push, pop, din in vectors:
        step({"push": push, "pop": pop, "din": din})
        # The values of this cycle, before its edge: the state after the edges before.
        now = (inspect("dout"), inspect("empty"), inspect("full"), inspect("count_out"))
        model.check(*now)
        model.apply(push, pop, din)
        outputs.append(now)
    seconds = time.perf_counter() - start
    json.dump({"seconds": seconds, "outputs": outputs, "version": pyrtl.__version__ if hasattr(pyrtl, "__version__") else ""},
              open(sys.argv[2], "w"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
