"""Rows of numbers written by the simulator (run_jsonl's layout columns) are
those Python writes with format_value, on every path: a few vectors one by
one, many in lanes, ports joined from single busses, values wider than a
word, and `nimbo run` with and without a VCD (which makes Python write them)."""

import json
import random

import pytest

pytest.importorskip("nimbo.core")
from conftest import run_cli  # noqa: E402
from nimbo import Simulator  # noqa: E402
from nimbo._engine import format_value  # noqa: E402
from nimbo.build import Circuit  # noqa: E402


def design():
    """Ports of 1, 3, 8, 64 and 70 bits, some written bit by bit."""
    c = Circuit("rows")
    a, b, w = c.input("a", 8), c.input("b", 8), c.input("w", 70)
    c.output("sum", a + b)
    c.output("low", a[0:3])
    c.output("eq", a == b)
    c.output("wide", w ^ w)
    c.output("wx", ~w)
    c.output("big", c.input("k", 64))
    return c


def random_lines(rng, count):
    return [
        {"a": rng.getrandbits(8), "b": rng.getrandbits(8), "w": rng.getrandbits(70), "k": rng.getrandbits(64)}
        for _ in range(count)
    ]


@pytest.mark.parametrize("vectors", [3, 200])
@pytest.mark.parametrize("radix", ["hex", "bin", "dec"])
def test_layout_columns_write_numbers_as_format_value(vectors, radix):
    c = design()
    sim = Simulator(c.to_ir())
    busses = {name: [f"{name}[{i}]" for i in range(n)] if f"{name}[0]" in sim.bus_ids else [name]
              for name, n in [("sum", 8), ("low", 3), ("eq", 1), ("wide", 70), ("wx", 70), ("big", 64)]}
    shown = [bit for bits in busses.values() for bit in bits]
    rng = random.Random(vectors)
    lines = [c.bus_inputs(line) for line in random_lines(rng, vectors)]
    block = "".join(json.dumps(line) + "\n" for line in lines).encode()
    pad = {"dec": 30, "hex": 0, "bin": 0}[radix]
    columns = [(len(bits), radix, pad) for bits in busses.values()]
    fragments = ["<", ":"] + [" | "] * (len(columns) - 1) + ["\n"]

    text, unknown = sim.run_jsonl(block, shown, layout=(7, 3, fragments, columns))
    sim.reset()
    rows, _ = sim.run_jsonl(block, shown)

    expected = []
    for step, row in enumerate(rows, start=7):
        cells, at = [], 0
        for bits in busses.values():
            value = "".join(row[at : at + len(bits)])
            at += len(bits)
            cells.append(value if len(value) <= 1 else format_value(value, radix).rjust(pad))
        expected.append(f"<{step:>3}:" + " | ".join(cells) + "\n")
    assert unknown == []
    assert text == "".join(expected)


@pytest.mark.parametrize(
    "columns, error",
    [
        ([(2, "hex", 0)], "the columns hold 2 names, not the 1 shown"),
        ([(1, "oct", 0)], "radix must be None, 'bin', 'hex' or 'dec'"),
        ([(1, None, -1)], "busses and pad must be small whole numbers"),
        ([1], "a column is (busses, radix, pad)"),
    ],
)
def test_bad_layout_columns_are_refused(columns, error):
    sim = Simulator(design().to_ir())
    with pytest.raises((TypeError, ValueError), match=error.replace("(", r"\(").replace(")", r"\)")):
        sim.run_jsonl(b'{"eq": "1"}\n', ["eq"], layout=(0, 0, ["", "", "\n"], columns))


@pytest.mark.parametrize("form", ["table", "json"])
@pytest.mark.parametrize("radix", ["hex", "bin", "dec"])
def test_nimbo_run_writes_the_same_rows_natively_and_in_python(form, radix, tmp_path):
    ir = tmp_path / "rows.json"
    ir.write_text(design().to_ir())
    vectors = tmp_path / "v.jsonl"
    vectors.write_text("".join(json.dumps(line) + "\n" for line in random_lines(random.Random(5), 150)))

    native = run_cli("run", ir, "--vectors", vectors, "--radix", radix, "--format", form)
    # With a VCD, the rows are made in Python.
    assert run_cli("run", ir, "--vectors", vectors, "--radix", radix, "--format", form, "--vcd", tmp_path / "r.vcd") == native
    status, native = native
    assert status == 0
    assert len(native.splitlines()) >= 151
