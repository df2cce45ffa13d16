"""Shared helpers for the nimbo tests: IR builders and a subprocess runner.

Expressions come from nimbo.ir (ref, const, gate); bus and make_ir write bus
entries and documents as they are given, also ones the renderer refuses."""

import ctypes
import io
import json
import pathlib
import resource
import signal
import subprocess
import sys
import textwrap

import pytest

from nimbo.ir import const, gate, ref

__all__ = ["EXAMPLES", "ROOT", "bus", "byte_grid", "cell", "const", "gate", "json_steps", "limit_file_size", "make_ir",
           "netlist", "random_circuit", "random_vectors", "ref", "run_cli", "run_python"]

ROOT = pathlib.Path(__file__).resolve().parents[2]
EXAMPLES = ROOT / "examples"


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "memory: long loops in a subprocess that check that memory stays flat"
    )


def bus(bus_id, value=None, assignment=None, influence=None):
    entry = {"id": bus_id}
    if value is not None:
        entry["value"] = value
    if assignment is not None:
        entry["assignment"] = assignment
    if influence is not None:
        entry["influence_list"] = influence
    return entry


def make_ir(busses, component_id="top"):
    return json.dumps({"component": {"id": component_id, "busses": busses}}, ensure_ascii=False)


# y = a xor b, with a 4-bit bus w beside it that nothing drives.
XOR_IR = make_ir(
    [
        bus("a", "0", influence=["y"]),
        bus("b", "0", influence=["y"]),
        bus("y", "0", gate("xor", ref("a"), ref("b"))),
        bus("w", "0101"),
    ],
    component_id="xor_top",
)


def run_python(code, timeout=600):
    """Runs `code` in a fresh interpreter of the running Python; returns stdout."""
    completed = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
    )
    assert completed.returncode == 0, completed.stderr
    return completed.stdout


def run_cli(*argv):
    """`nimbo ARGV` in this process: (exit status, what it wrote to standard output)."""
    from nimbo.cli import main

    out = io.StringIO()
    status = main([str(a) for a in argv], out=out)
    return status, out.getvalue()


def json_steps(text):
    """The values of each step that `nimbo run --format json` printed."""
    return [json.loads(line)["values"] for line in text.splitlines()]


def limit_file_size(limit):
    """A preexec_fn: writes past `limit` bytes fail (as on a full disk) instead of raising SIGXFSZ."""

    def apply():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))

    return apply


@pytest.fixture
def xor_component():
    from nimbo.core import Renderer

    return Renderer(XOR_IR).component


WIDTHS = (0, 1, 1, 1, 3, 8, 63, 64, 65, 130)
GATES = ("and", "or", "xor", "nand", "nor", "xnor")


def random_circuit(rng, busses=24, feedback=False, drop_influence=0, widths=WIDTHS):
    """A random IR of every node kind; returns (ir, {input id: width}).

    Without feedback, bus n<r> reads only busses of lower rank; busses are
    declared in random order; influence lists name every reader except one
    in `drop_influence` (0: none left out)."""
    ids = [f"n{rank}" for rank in range(busses)]
    width = [rng.choice(widths) for _ in ids]
    readers = [[] for _ in ids]

    def bits(count):
        return "".join(rng.choice("01") for _ in range(count))

    def tree(rank, depth):
        pick = rng.randrange(8)
        if depth == 0 or pick < 3:
            limit = busses if feedback else rank
            if limit and rng.randrange(6):
                source = rng.randrange(limit)
                readers[source].append(ids[rank])
                return ref(ids[source])
            if rng.randrange(2):
                return ref("missing")
            return const(bits(rng.choice(widths)))
        if pick == 3:
            return gate("not", tree(rank, depth - 1))
        return gate(rng.choice(GATES), tree(rank, depth - 1), tree(rank, depth - 1))

    assignments = {}
    for rank in range(2, busses):
        if rng.randrange(4):
            assignments[rank] = tree(rank, rng.randrange(1, 5))
    order = list(range(busses))
    rng.shuffle(order)
    entries = []
    for rank in order:
        influence = [r for r in readers[rank] if not drop_influence or rng.randrange(drop_influence)]
        entries.append(bus(ids[rank], bits(width[rank]), assignments.get(rank), influence))
    inputs = {ids[rank]: width[rank] for rank in range(busses) if rank not in assignments}
    return make_ir(entries), inputs


def netlist(cells, ports=None):
    """A Yosys JSON netlist of one module "m"; ports a, b (nets 2, 3) in, y (net 4) out by default."""
    ports = ports or {"a": {"direction": "input", "bits": [2]}, "b": {"direction": "input", "bits": [3]},
                      "y": {"direction": "output", "bits": [4]}}
    return {"modules": {"m": {"attributes": {"top": "00000000000000000000000000000001"}, "ports": ports,
                              "cells": cells, "netnames": {}}}}


def cell(kind, **pins):
    """A Yosys cell of `kind` with one net per pin."""
    return {"type": kind, "connections": {pin: [bit] for pin, bit in pins.items()}}


def random_vectors(rng, inputs, count):
    """Vectors writing a random subset of the inputs each."""
    return [
        {bus_id: "".join(rng.choice("01") for _ in range(w)) for bus_id, w in inputs.items() if rng.randrange(2)}
        for _ in range(count)
    ]


def byte_grid(data, *shape):
    """A buffer of the bytes `data` in `shape` (memoryview.cast refuses a shape with a 0)."""
    if 0 not in shape:
        return memoryview(data).cast("B", shape)
    array = ctypes.c_uint8
    for size in reversed(shape):
        array = array * size
    return array.from_buffer_copy(data)
