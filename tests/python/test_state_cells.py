"""Every flip-flop and latch cell of Yosys's gate library, imported alone and
stepped through the plain model of a clock cycle, against Icarus Verilog
running the cell's own simulation model (Yosys's simcells.v) on the same
random inputs. The cells whose asynchronous behaviour a clocked step cannot
reproduce are refused."""

import random
import re
import shutil
from pathlib import Path

import pytest

from clocked_model import ClockedModel

from nimbo.ports import port_values
from nimbo.verilog.yosys import FlopKind, ImportFailure, import_netlist, state_kind


def _simcells():
    yosys = shutil.which("yosys")
    if yosys is None:
        return None
    path = Path(yosys).resolve().parent.parent / "share" / "yosys" / "simcells.v"
    return path if path.is_file() else None


SIMCELLS = _simcells()
KINDS = re.findall(r"^module \\(\$_\S+_) ", SIMCELLS.read_text(), re.M) if SIMCELLS else []
STATE_KINDS = [kind for kind in KINDS if state_kind(kind) is not None]
pytestmark = [
    pytest.mark.skipif(SIMCELLS is None, reason="Yosys's simcells.v is not installed"),
    pytest.mark.skipif(shutil.which("iverilog") is None, reason="iverilog is not installed"),
]


def test_every_state_cell_of_the_library_is_known():
    unknown = [k for k in KINDS if re.match(r"\$_(S?DFF|ALDFF|DLATCH|SR_)", k) and state_kind(k) is None]
    families = {kind.split("_")[1] for kind in STATE_KINDS}
    assert unknown == [] and families == {"DFF", "DFFE", "DFFSR", "DFFSRE", "SDFF", "SDFFE", "SDFFCE", "ALDFF",
                                          "ALDFFE", "DLATCH", "DLATCHSR", "SR"}


def pins_of(kind):
    """The cell's input pins (the port list of its simulation model, Q left out)."""
    text = SIMCELLS.read_text()
    header = re.search(r"^module \\" + re.escape(kind) + r" \(([^)]*)\)", text, re.M).group(1)
    return [pin.strip() for pin in header.split(",") if pin.strip() != "Q"]


def wrapper(kind, tied):
    """A module around one cell, with `tied` pins held at constants."""
    live = [p for p in pins_of(kind) if p not in tied]
    conns = [f".{p}({p})" for p in live] + [f".{p}(1'b{v})" for p, v in tied.items()] + [".Q(Q)"]
    ports = ", ".join([f"input {p}" for p in live] + ["output Q"])
    return f"module w({ports});\n  \\{kind} u ({', '.join(conns)});\nendmodule\n"


def netlist(kind, tied):
    live = [p for p in pins_of(kind) if p not in tied]
    nets = {pin: 2 + i for i, pin in enumerate(live)}
    q = 2 + len(live)
    ports = {p: {"direction": "input", "bits": [nets[p]]} for p in live}
    ports["Q"] = {"direction": "output", "bits": [q]}
    conns = {p: [nets[p]] if p in nets else [tied[p]] for p in pins_of(kind)}
    conns["Q"] = [q]
    return {"modules": {"w": {"ports": ports, "cells": {"cell": {"type": kind, "connections": conns}},
                              "netnames": {}}}}


def level(kind, pin, active):
    """The value of `pin` that makes it active (or inactive)."""
    shape = state_kind(kind)
    for control in (shape.enable, shape.set, shape.reset) + (
        (shape.srst, shape.arst, shape.load) if isinstance(shape, FlopKind) else ()
    ):
        if control is not None and control.pin == pin:
            return "1" if control.active_high == active else "0"
    raise KeyError(pin)


def vectors(kind, live, count, rng):
    """Random vectors; the first makes Q known (Icarus starts it at x):
    enables active, resets, sets and loads inactive (a latch without an
    enable is reset)."""
    shape = state_kind(kind)
    first = {}
    for pin in live:
        if pin in ("C", "D", "AD"):
            first[pin] = rng.choice("01")
        elif pin == "E":
            first[pin] = level(kind, pin, True)
        else:
            first[pin] = level(kind, pin, pin == "R" and shape.enable is None and not isinstance(shape, FlopKind))
    rest = []
    for _ in range(count - 1):
        # Asynchronous and synchronous controls are active a quarter of the time.
        rest.append({p: level(kind, p, rng.random() < 0.25) if p in ("R", "S", "L") else rng.choice("01") for p in live})
    return [first] + rest


def exact_cases():
    cases = []
    for kind in STATE_KINDS:
        family = kind.split("_")[1]
        if family in ("DFFSR", "DFFSRE"):  # one of set and reset tied inactive
            cases += [(kind, {"S": level(kind, "S", False)}), (kind, {"R": level(kind, "R", False)})]
        elif family in ("ALDFF", "ALDFFE"):  # a constant loaded
            cases += [(kind, {"AD": "0"}), (kind, {"AD": "1"})]
        else:
            cases.append((kind, {}))
    return cases


@pytest.mark.parametrize("kind, tied", exact_cases(), ids=lambda x: x if isinstance(x, str) else "".join(f"{k}{v}" for k, v in x.items()))
def test_state_cell_matches_its_simulation_model(kind, tied, tmp_path):
    pytest.importorskip("nimbo.core")
    from nimbo.verilog import icarus

    imported = import_netlist(netlist(kind, tied))
    clocks = ["C"] if "C" in imported.ports else []
    live = [p for p in pins_of(kind) if p not in tied and p not in clocks]
    rng = random.Random(kind + str(tied))
    steps = vectors(kind, live, 64, rng)
    (tmp_path / "w.v").write_text(wrapper(kind, tied))
    expected = icarus.run([tmp_path / "w.v", SIMCELLS], "w", imported.ports, steps, tmp_path, clocks=clocks).outputs
    model = ClockedModel(imported.text())
    got = [port_values({"Q": imported.ports["Q"]}, model.step(step)) for step in steps]
    assert got == expected


@pytest.mark.parametrize(
    "kind, message",
    [(k, "has an asynchronous reset and an asynchronous set") for k in STATE_KINDS if k.startswith("$_DFFSR")]
    + [(k, "loads 'AD' asynchronously") for k in STATE_KINDS if k.startswith("$_ALDFF")],
)
def test_inexact_asynchronous_cells_are_refused(kind, message):
    with pytest.raises(ImportFailure, match=re.escape(message)) as info:
        import_netlist(netlist(kind, {}))
    assert "register 'Q'" in str(info.value) and "level-sensitive" in str(info.value)
