"""Benchmark circuits, built as IR documents of 1-bit busses.

Each generator returns a Bench: the IR document, the ids of its input
busses and the ids of the busses that a testbench observes (for the random
DAGs these are the gates nobody reads, so no simulator can drop logic as
unobserved).
"""

from __future__ import annotations

import random
import sys
from dataclasses import dataclass
from pathlib import Path


from nimbo.ir import build_document, gate, ref  # noqa: E402


@dataclass
class Bench:
    name: str
    doc: dict
    inputs: list[str]
    outputs: list[str]


class _Builder:
    def __init__(self):
        self.busses: list[tuple[str, str, dict | None]] = []
        self.count = 0

    def input(self, bus_id: str) -> str:
        self.busses.append((bus_id, "0", None))
        return bus_id

    def bus(self, expr: dict, bus_id: str | None = None) -> str:
        if bus_id is None:
            self.count += 1
            bus_id = f"n{self.count}"
        self.busses.append((bus_id, "0", expr))
        return bus_id

    def full_adder(self, a: str, b: str, c: str | None, sum_id=None, carry_id=None) -> tuple[str, str]:
        """Sum and carry of a + b (+ c); a missing c makes a half adder."""
        p = self.bus(gate("xor", ref(a), ref(b)))
        if c is None:
            return self.bus(ref(p), sum_id) if sum_id else p, self.bus(gate("and", ref(a), ref(b)), carry_id)
        s = self.bus(gate("xor", ref(p), ref(c)), sum_id)
        carry = self.bus(gate("or", gate("and", ref(a), ref(b)), gate("and", ref(p), ref(c))), carry_id)
        return s, carry


def ripple_adder(bits: int) -> Bench:
    b = _Builder()
    xs = [b.input(f"a{i}") for i in range(bits)]
    ys = [b.input(f"b{i}") for i in range(bits)]
    carry = b.input("cin")
    outs = []
    for i in range(bits):
        s, carry = b.full_adder(xs[i], ys[i], carry, sum_id=f"s{i}", carry_id="cout" if i == bits - 1 else None)
        outs.append(s)
    outs.append(carry)
    return Bench(f"adder{bits}", build_document(f"adder{bits}", b.busses), xs + ys + ["cin"], outs)


def array_multiplier(bits: int) -> Bench:
    """Partial products AND-ed, then summed row by row with ripple-carry adders."""
    b = _Builder()
    xs = [b.input(f"a{i}") for i in range(bits)]
    ys = [b.input(f"b{i}") for i in range(bits)]

    def partial(i: int) -> list[str]:
        return [b.bus(gate("and", ref(xs[j]), ref(ys[i]))) for j in range(bits)]

    row = partial(0)
    product = [row[0]]
    upper: list[str | None] = row[1:] + [None]
    for i in range(1, bits):
        add = partial(i)
        sums, carry = [], None
        for j in range(bits):
            if upper[j] is None and carry is None:
                sums.append(add[j])
                continue
            other, cin = (upper[j], carry) if upper[j] is not None else (carry, None)
            s, carry = b.full_adder(add[j], other, cin)
            sums.append(s)
        product.append(sums[0])
        upper = sums[1:] + [carry]
    product += [u for u in upper if u is not None]
    name = f"mult{bits}x{bits}"
    return Bench(name, build_document(name, b.busses), xs + ys, product)


def random_dag(gates: int, inputs: int = 64, seed: int = 1) -> Bench:
    """Two-input gates (and one-input NOTs) of every kind over earlier nodes.

    The first operand of each gate is taken from the nodes nobody reads yet
    while there are more than `inputs` of them, so almost every gate feeds
    another and the unread ones at the end are few."""
    rng = random.Random(seed)
    kinds = ("and", "or", "xor", "nand", "nor", "xnor", "not")
    b = _Builder()
    nodes = [b.input(f"i{k}") for k in range(inputs)]
    unread = list(nodes)
    read: set[str] = set()
    for _ in range(gates):
        if len(unread) > inputs:
            left = unread.pop(rng.randrange(len(unread)))
        else:
            left = nodes[rng.randrange(len(nodes))]
        right = nodes[rng.randrange(len(nodes))]
        read.update((left, right))
        kind = rng.choice(kinds)
        expr = gate("not", ref(left)) if kind == "not" else gate(kind, ref(left), ref(right))
        node = b.bus(expr)
        nodes.append(node)
        unread.append(node)
    outputs = [n for n in unread if n not in read and not n.startswith("i")]
    name = f"dag{_short(gates)}"
    return Bench(name, build_document(name, b.busses), nodes[:inputs], outputs)


def _short(n: int) -> str:
    return f"{n // 1_000_000}M" if n % 1_000_000 == 0 else f"{n // 1000}k" if n % 1000 == 0 else str(n)


SYNTHESIZED = ("syn_mult64", "syn_isqrt", "syn_div32")


def synthesized(name: str) -> Bench:
    """A design of bench/netlists synthesized by Yosys and imported: the
    inputs and outputs are its port bits."""
    import json

    sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "netlists"))
    from build import netlist_ir  # noqa: E402

    doc = json.loads(netlist_ir(name[len("syn_"):]).read_text())
    ports = doc["component"]["ports"].values()
    inputs = [bit for port in ports if port["direction"] == "input" for bit in port["bits"]]
    outputs = [bit for port in ports if port["direction"] == "output" for bit in port["bits"]]
    return Bench(name, doc, inputs, outputs)


def by_name(name: str) -> Bench:
    if name.startswith("syn_"):
        return synthesized(name)
    if name.startswith("adder"):
        return ripple_adder(int(name[5:]))
    if name.startswith("mult"):
        return array_multiplier(int(name[4:].split("x")[0]))
    if name.startswith("dag"):
        text = name[3:]
        scale = {"k": 1000, "M": 1_000_000}.get(text[-1], 1)
        return random_dag(int(text.rstrip("kM")) * scale)
    raise ValueError(f"unknown circuit '{name}'")
