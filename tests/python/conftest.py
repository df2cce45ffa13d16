"""Shared helpers for the nimbo.core tests: IR builders and a subprocess runner."""

import json
import subprocess
import sys
import textwrap

import pytest


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "memory: long loops in a subprocess that check that memory stays flat"
    )


def ref(bus_id):
    return {"type": "ref", "args": {"id": bus_id}}


def gate(kind, left, right):
    return {"type": kind, "args": {"l_expr": left, "r_expr": right}}


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


@pytest.fixture
def xor_component():
    from nimbo.core import Renderer

    return Renderer(XOR_IR).component
