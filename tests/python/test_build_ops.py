"""The builder's operators against Python integer arithmetic, on fixed and on random circuits.

Each circuit is rendered by nimbo.core and driven with random values; every output must equal what
Python computes, and the IR must be in dependency order with complete influence lists."""

import random

import pytest

import nimbo
from nimbo.build import (
    Circuit,
    add,
    and_all,
    cat,
    const,
    mux,
    nand,
    nor,
    or_all,
    repeat,
    select,
    sign_extend,
    sub,
    xnor,
    xor_all,
    zero_extend,
)
from nimbo.ir import circuit_from_document, referenced_ids
from nimbo.lint import lint

core = pytest.importorskip("nimbo.core")

WIDTHS = [1, 2, 7, 16, 64, 70]


def k_of(w):
    """A constant that fits in w bits."""
    return 0x9E3779B97F4A7C15F39CC0605CEDC8341 % (1 << w)


def reverse(x, w):
    return int(format(x, f"0{w}b")[::-1], 2)


# name: (build(a, b, s, sel, w) -> signal, model(x, y, amount, sel, w) -> int)
OPERATORS = {
    "and": (lambda a, b, s, e, w: a & b, lambda x, y, n, e, w: x & y),
    "or": (lambda a, b, s, e, w: a | b, lambda x, y, n, e, w: x | y),
    "xor": (lambda a, b, s, e, w: a ^ b, lambda x, y, n, e, w: x ^ y),
    "nand": (lambda a, b, s, e, w: nand(a, b), lambda x, y, n, e, w: ~(x & y) % (1 << w)),
    "nor": (lambda a, b, s, e, w: nor(a, b), lambda x, y, n, e, w: ~(x | y) % (1 << w)),
    "xnor": (lambda a, b, s, e, w: xnor(a, b), lambda x, y, n, e, w: ~(x ^ y) % (1 << w)),
    "not": (lambda a, b, s, e, w: ~a, lambda x, y, n, e, w: ~x % (1 << w)),
    "and_int": (lambda a, b, s, e, w: k_of(w) & a, lambda x, y, n, e, w: x & k_of(w)),
    "add": (lambda a, b, s, e, w: a + b, lambda x, y, n, e, w: (x + y) % (1 << w)),
    "add_int": (lambda a, b, s, e, w: a + k_of(w), lambda x, y, n, e, w: (x + k_of(w)) % (1 << w)),
    "sub": (lambda a, b, s, e, w: a - b, lambda x, y, n, e, w: (x - y) % (1 << w)),
    "rsub_int": (lambda a, b, s, e, w: k_of(w) - a, lambda x, y, n, e, w: (k_of(w) - x) % (1 << w)),
    "neg": (lambda a, b, s, e, w: -a, lambda x, y, n, e, w: -x % (1 << w)),
    "carry": (lambda a, b, s, e, w: add(a, b)[1], lambda x, y, n, e, w: (x + y) >> w),
    "carry_in": (lambda a, b, s, e, w: add(a, b, e)[0], lambda x, y, n, e, w: (x + y + e) % (1 << w)),
    "borrow": (lambda a, b, s, e, w: sub(a, b)[1], lambda x, y, n, e, w: int(y > x)),
    "eq": (lambda a, b, s, e, w: a == b, lambda x, y, n, e, w: int(x == y)),
    "ne": (lambda a, b, s, e, w: a != b, lambda x, y, n, e, w: int(x != y)),
    "lt": (lambda a, b, s, e, w: a < b, lambda x, y, n, e, w: int(x < y)),
    "le": (lambda a, b, s, e, w: a <= b, lambda x, y, n, e, w: int(x <= y)),
    "gt": (lambda a, b, s, e, w: a > b, lambda x, y, n, e, w: int(x > y)),
    "ge": (lambda a, b, s, e, w: a >= b, lambda x, y, n, e, w: int(x >= y)),
    "eq_int": (lambda a, b, s, e, w: k_of(w) == a, lambda x, y, n, e, w: int(x == k_of(w))),
    "lt_int": (lambda a, b, s, e, w: a < k_of(w), lambda x, y, n, e, w: int(x < k_of(w))),
    "shl_1": (lambda a, b, s, e, w: a << 1, lambda x, y, n, e, w: (x << 1) % (1 << w)),
    "shr_half": (lambda a, b, s, e, w: a >> (w // 2 + 1), lambda x, y, n, e, w: x >> (w // 2 + 1)),
    "shl": (lambda a, b, s, e, w: a << s, lambda x, y, n, e, w: (x << n) % (1 << w)),
    "shr": (lambda a, b, s, e, w: a >> s, lambda x, y, n, e, w: x >> n),
    "mux": (lambda a, b, s, e, w: mux(e, a, b), lambda x, y, n, e, w: y if e else x),
    "mux_bits": (lambda a, b, s, e, w: mux(b, a, 0), lambda x, y, n, e, w: x & ~y),
    "cat": (lambda a, b, s, e, w: cat(a, b, e), lambda x, y, n, e, w: x | y << w | e << 2 * w),
    "slice": (lambda a, b, s, e, w: a[w // 3 : w - w // 4], lambda x, y, n, e, w: (x >> w // 3) % (1 << (w - w // 4 - w // 3))),
    "top_bit": (lambda a, b, s, e, w: a[-1], lambda x, y, n, e, w: x >> (w - 1)),
    "reversed": (lambda a, b, s, e, w: a[::-1], lambda x, y, n, e, w: reverse(x, w)),
    "iterated": (lambda a, b, s, e, w: cat(*[bit ^ e for bit in b]), lambda x, y, n, e, w: y ^ (e * ((1 << w) - 1))),
    "and_all": (lambda a, b, s, e, w: and_all(a), lambda x, y, n, e, w: int(x == (1 << w) - 1)),
    "or_all": (lambda a, b, s, e, w: or_all(a), lambda x, y, n, e, w: int(x != 0)),
    "xor_all": (lambda a, b, s, e, w: xor_all(a ^ b), lambda x, y, n, e, w: bin(x ^ y).count("1") % 2),
    "zero_extend": (lambda a, b, s, e, w: zero_extend(a, w + 3) + zero_extend(b, w + 3), lambda x, y, n, e, w: x + y),
    "sign_extend": (lambda a, b, s, e, w: sign_extend(a, w + 3), lambda x, y, n, e, w: x + (7 << w) * (x >> (w - 1))),
    "repeat": (lambda a, b, s, e, w: repeat(a[0], 3), lambda x, y, n, e, w: 7 * (x & 1)),
    "select": (
        lambda a, b, s, e, w: select(cat(e, b[0]), [a, b, a ^ b], default=k_of(w)),
        lambda x, y, n, e, w: [x, y, x ^ y, k_of(w)][e | (y & 1) << 1],
    ),
    "select_wide": (
        lambda a, b, s, e, w: select(s, [a, b, ~a], default=0),
        lambda x, y, n, e, w: [x, y, ~x % (1 << w)][n] if n < 3 else 0,
    ),
    "const": (lambda a, b, s, e, w: const(k_of(w), w) ^ a, lambda x, y, n, e, w: x ^ k_of(w)),
    "chained": (lambda a, b, s, e, w: (a + b) - ((a ^ b) << 1), lambda x, y, n, e, w: (x + y - ((x ^ y) << 1)) % (1 << w)),
}


def check_ir(doc):
    """Busses without assignment first, each driven bus after every bus it reads; nothing to warn about."""
    assert lint(doc).findings == []
    busses = circuit_from_document(doc).busses
    seen = set()
    for bus in busses.values():
        if bus.assignment is None:
            assert not seen, f"{bus.id} comes after a driven bus"
        else:
            for source in referenced_ids(bus.assignment):
                assert busses[source].assignment is None or source in seen, f"{bus.id} reads {source}, declared later"
            seen.add(bus.id)


def check(circuit, model, vectors):
    """Every output port against `model(inputs) -> {port: int}`."""
    check_ir(circuit.to_document())
    assert nimbo.Simulator(circuit.to_ir()).one_pass
    component = core.Renderer(circuit.to_ir()).component
    for inputs in vectors:
        got = circuit.port_numbers(component.update_and_get(circuit.bus_inputs(inputs)))
        expected = model(inputs)
        assert {k: got[k] for k in expected} == expected, inputs


def operand_values(rng, w, count):
    edges = [0, (1 << w) - 1, 1 << (w - 1), k_of(w)]
    values = [(x, y) for x in edges for y in edges]
    values += [(x, x) for x in (rng.getrandbits(w) for _ in range(4))]
    return values + [(rng.getrandbits(w), rng.getrandbits(w)) for _ in range(count)]


@pytest.mark.parametrize("w", WIDTHS)
def test_every_operator_against_python_integers(w):
    c = Circuit(f"ops{w}")
    a, b = c.input("a", w), c.input("b", w)
    s, e = c.input("s", w.bit_length() + 1), c.input("e")  # shift amounts up to beyond the width
    for name, (build, _) in OPERATORS.items():
        c.output(name, build(a, b, s, e, w))
    rng = random.Random(w)
    vectors = [
        {"a": x, "b": y, "s": rng.getrandbits(w.bit_length() + 1), "e": rng.getrandbits(1)}
        for x, y in operand_values(rng, w, 40)
    ]

    def model(v):
        return {name: fn(v["a"], v["b"], v["s"], v["e"], w) for name, (_, fn) in OPERATORS.items()}

    check(c, model, vectors)


# Random circuits: a pool of signals, each made by an operation on earlier ones, with a Python
# model computed alongside. Signals are read many times, so expressions are shared.
UNARY = {"not": (lambda x: ~x, lambda v, w: ~v % (1 << w)), "neg": (lambda x: -x, lambda v, w: -v % (1 << w))}
BINARY = {
    "and": (lambda x, y: x & y, lambda u, v, w: u & v),
    "or": (lambda x, y: x | y, lambda u, v, w: u | v),
    "xor": (lambda x, y: x ^ y, lambda u, v, w: u ^ v),
    "nand": (nand, lambda u, v, w: ~(u & v) % (1 << w)),
    "add": (lambda x, y: x + y, lambda u, v, w: (u + v) % (1 << w)),
    "sub": (lambda x, y: x - y, lambda u, v, w: (u - v) % (1 << w)),
}
COMPARE = {
    "eq": (lambda x, y: x == y, lambda u, v: int(u == v)),
    "lt": (lambda x, y: x < y, lambda u, v: int(u < v)),
    "ge": (lambda x, y: x >= y, lambda u, v: int(u >= v)),
}


def random_pool(rng, c, size):
    pool = []  # (signal, width, model(values) -> int)
    for name, width in (("a", 8), ("b", 8), ("c", 5), ("d", 1), ("e", 1)):
        index = len(pool)
        pool.append((c.input(name, width), width, lambda vals, name=name: vals[name]))
    names = iter(f"w{i}" for i in range(size))
    while len(pool) < size:
        i = rng.randrange(len(pool))
        x, wx, fx = pool[i]
        same = [j for j, p in enumerate(pool) if p[1] == wx]
        j = rng.choice(same)
        y, _, fy = pool[j]
        kind = rng.randrange(10)
        if kind <= 2:
            name = rng.choice(list(BINARY))
            build, fn = BINARY[name]
            entry = (build(x, y), wx, lambda v, fn=fn, fx=fx, fy=fy, wx=wx: fn(fx(v), fy(v), wx))
        elif kind == 3:
            build, fn = UNARY[rng.choice(list(UNARY))]
            entry = (build(x), wx, lambda v, fn=fn, fx=fx, wx=wx: fn(fx(v), wx))
        elif kind == 4:
            build, fn = COMPARE[rng.choice(list(COMPARE))]
            entry = (build(x, y), 1, lambda v, fn=fn, fx=fx, fy=fy: fn(fx(v), fy(v)))
        elif kind == 5:
            lo = rng.randrange(wx)
            hi = rng.randrange(lo, wx) + 1
            entry = (x[lo:hi], hi - lo, lambda v, fx=fx, lo=lo, hi=hi: (fx(v) >> lo) % (1 << (hi - lo)))
        elif kind == 6 and wx + pool[j][1] <= 16:
            entry = (cat(x, y), 2 * wx, lambda v, fx=fx, fy=fy, wx=wx: fx(v) | fy(v) << wx)
        elif kind == 6:
            entry = (zero_extend(x[0], wx) ^ y, wx, lambda v, fx=fx, fy=fy: (fx(v) & 1) ^ fy(v))
        elif kind == 7:
            sel_index = rng.choice([k for k, p in enumerate(pool) if p[1] == 1])
            sel, _, fs = pool[sel_index]
            entry = (mux(sel, x, y), wx, lambda v, fs=fs, fx=fx, fy=fy: fy(v) if fs(v) else fx(v))
        elif kind == 8:
            amount_index = rng.randrange(len(pool))
            amount, wa, fa = pool[amount_index]
            left = rng.random() < 0.5
            entry = (
                (x << amount) if left else (x >> amount),
                wx,
                lambda v, fx=fx, fa=fa, wx=wx, left=left: ((fx(v) << fa(v)) if left else (fx(v) >> fa(v))) % (1 << wx),
            )
        else:
            entry = (c.wire(next(names), x), wx, fx)
        pool.append(entry)
    return pool


@pytest.mark.parametrize("seed", range(12))
def test_random_circuits_against_a_python_model(seed):
    rng = random.Random(seed)
    c = Circuit(f"random{seed}")
    pool = random_pool(rng, c, 70)
    outputs = {f"o{k}": pool[k] for k in sorted(set(range(len(pool) - 8, len(pool))) | set(rng.sample(range(5, len(pool)), 6)))}
    for name, (signal, _, _) in outputs.items():
        c.output(name, signal)
    widths = {"a": 8, "b": 8, "c": 5, "d": 1, "e": 1}
    vectors = [{n: rng.getrandbits(w) for n, w in widths.items()} for _ in range(40)]
    check(c, lambda v: {name: fn(v) for name, (_, _, fn) in outputs.items()}, vectors)


def test_bitwise_logic_on_whole_words_stays_one_bus_per_word():
    c = Circuit("words")
    a, b = c.input("a", 16), c.input("b", 16)
    c.output("y", (a & b) ^ ~a)
    c.output("z", c.wire("t", a | b) ^ b)
    p = c.input("p", 8)
    c.output("q", p + 1)  # arithmetic needs the bits apart
    ports = c.ports()
    assert ports["y"].bits == ("y",) and ports["z"].bits == ("z",)
    assert ports["p"].bits == tuple(f"p[{i}]" for i in range(8))
    check(c, lambda v: {"y": (v["a"] & v["b"]) ^ (~v["a"] % 65536), "q": (v["p"] + 1) % 256},
          [{"a": 0xF0F0, "b": 0x3C3C, "p": 255}, {"a": 1, "b": 2, "p": 7}])


def test_reused_and_deep_expressions_stay_small_and_render():
    c = Circuit("deep")
    a, b = c.input("a", 4), c.input("b", 4)
    t = a
    for _ in range(60):  # each step reads t twice: copied out, 2**60 gates
        t = (t ^ b) & (t | a)
    u = a
    for i in range(300):  # one long chain: deeper than the renderer's nesting limit
        u = u ^ (b if i % 2 else a)
    c.output("t", t)
    c.output("u", u)
    assert circuit_from_document(c.to_document()).gate_count() < 1000

    def model(v):
        x, y = v["a"], v["b"]
        t = x
        for _ in range(60):
            t = (t ^ y) & (t | x)
        return {"t": t, "u": x}  # 150 xors with a and 150 with b: u = a

    check(c, model, [{"a": x, "b": y} for x in range(16) for y in (0, 5, 15)])
