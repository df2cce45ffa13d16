"""Gate netlists of the benchmark designs, synthesized by Yosys and cached.

Yosys writes each design's gate netlist twice: as Yosys JSON (what nimbo
imports) and as Verilog (``write_verilog -noattr``, what Verilator and Icarus
compile), so every simulator runs the same cells. Script: ``synth -flatten
-top TOP``.

For a "nand" design Yosys then runs ``dfflegalize -cell $_DFF_P_ 01``
(enables and synchronous resets become logic in front of plain rising-edge
flip-flops), and :func:`two_phase` rebuilds every flip-flop from NAND gates:
a master latch open while the clock phase ``phi1`` is 1 and a slave latch
open while ``phi2`` is 1, four NAND gates each; the design's clock input
becomes ``phi1`` and ``phi2`` is a new input. One clock cycle is then four
changes: phi1 1, phi1 0, phi2 1, phi2 0 (the inputs with the first). The two
phases never overlap, so in every change the latches that open or close see
inputs that do not move, and the result does not depend on the order in
which a simulator evaluates the gates. (A flip-flop of NAND gates on one
clock input only works when the edge reaches every flip-flop before any
output it causes: the edge-triggered six-NAND flip-flop, simulated without
delays, had Verilator's model never capture (its own evaluation order) and
nimbo's declaration-order pass let a new output race into the next stage,
while Icarus, which propagates changes in order, matched the design.)
Yosys reads the rebuilt JSON back to write the Verilog, and a second
rendering of it for Icarus, ``net_split.v``, with every net and port split
into bits (``splitnets -ports -format _``: the same cells): there every
gate reads the port bits of the flip-flop outputs, and Icarus, which passes
a whole vector to every reader of any of its bits, took 130 times as long
per cycle on the vector form.

Results are kept in OUT/synth/NAME-HASH/, the hash covering the Yosys
version, the script, the sources and the files they read (a ROM's
``$readmemh`` file, which Yosys finds beside the source), and reused while
they match.
"""

from __future__ import annotations

import hashlib
import json
import os
import shutil
import subprocess
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path

from designs import CLOCK, PHASES, Design

SEQUENTIAL = ("$_DFF", "$_SDFF", "$_DFFE", "$_SDFFE", "$_SDFFCE", "$_ALDFF", "$_DLATCH", "$_SR_", "$_FF_", "$_DFFSR")


@dataclass
class Netlist:
    json_path: Path
    verilog_path: Path
    split_path: Path | None  # a "nand" design's netlist with every net split into bits (for Icarus)
    cells: int  # cells of the flattened gate netlist, flip-flops included
    flip_flops: int  # for a "nand" design: the flip-flops that became NAND latches
    cell_types: dict[str, int]
    seconds: float  # the Yosys run (0 when cached)
    cached: bool


def last_line(text: str) -> str:
    lines = [line.strip() for line in text.splitlines() if line.strip()]
    return (lines or ["no output"])[-1]


def yosys_version() -> str:
    done = subprocess.run(["yosys", "-V"], capture_output=True, text=True, check=True)
    return done.stdout.strip()


def script(design: Design) -> str:
    sources = " ".join(str(p) for p in design.paths)
    steps = [f"read_verilog {sources}", f"synth -flatten -top {design.top}"]
    if design.flavour == "nand":
        return "; ".join(steps + ["dfflegalize -cell $_DFF_P_ 01", "write_json flops.json"])
    return "; ".join(steps + ["write_json net.json", "write_verilog -noattr net.v"])


class ConversionError(ValueError):
    """The netlist has something two_phase cannot rebuild."""


def two_phase(text: str, top: str) -> tuple[str, int]:
    """The Yosys JSON netlist `text` with every $_DFF_P_ of module `top`
    rebuilt as two latches of NAND gates on the phases PHASES; the number of
    flip-flops rebuilt."""
    doc = json.loads(text)
    module = doc["modules"][top]
    ports, cells, nets = module["ports"], module["cells"], module["netnames"]
    if CLOCK not in ports or len(ports[CLOCK]["bits"]) != 1:
        raise ConversionError(f"{top} has no 1-bit input {CLOCK}")
    clock = ports[CLOCK]["bits"][0]
    used = [b for p in ports.values() for b in p["bits"]] + [b for n in nets.values() for b in n["bits"]] + \
        [b for c in cells.values() for bits in c["connections"].values() for b in bits]
    next_bit = max(b for b in used if isinstance(b, int)) + 1

    def new_net(name: str) -> int:
        nonlocal next_bit
        next_bit += 1
        nets[name] = {"hide_name": 1, "bits": [next_bit - 1], "attributes": {}}
        return next_bit - 1

    phi1, phi2 = clock, new_net(PHASES[1])
    nets[PHASES[1]]["hide_name"] = 0
    module["ports"] = {}
    for name, port in ports.items():
        if name == CLOCK:
            module["ports"][PHASES[0]] = port
            module["ports"][PHASES[1]] = {"direction": "input", "bits": [phi2]}
        else:
            module["ports"][name] = port
    if CLOCK in nets:
        nets[PHASES[0]] = nets.pop(CLOCK)

    def nand(name: str, a: int, b: int, y: int) -> None:
        cells[name] = {"hide_name": 1, "type": "$_NAND_", "parameters": {}, "attributes": {},
                       "port_directions": {"A": "input", "B": "input", "Y": "output"},
                       "connections": {"A": [a], "B": [b], "Y": [y]}}

    flops = [(name, cell) for name, cell in cells.items() if cell["type"].startswith(SEQUENTIAL)]
    for k, (name, cell) in enumerate(flops):
        if cell["type"] != "$_DFF_P_" or cell["connections"]["C"] != [clock]:
            raise ConversionError(f"cell {name} ({cell['type']}) is not a $_DFF_P_ on {CLOCK}")
        d, q = cell["connections"]["D"][0], cell["connections"]["Q"][0]
        del cells[name]
        s1, r1, m, mn, s2, r2, qn = (new_net(f"$ff{k}${part}") for part in ("s1", "r1", "m", "mn", "s2", "r2", "qn"))
        nand(f"$ff{k}$g1", d, phi1, s1)  # master: open while phi1 is 1
        nand(f"$ff{k}$g2", s1, phi1, r1)
        nand(f"$ff{k}$g3", s1, mn, m)
        nand(f"$ff{k}$g4", r1, m, mn)
        nand(f"$ff{k}$g5", m, phi2, s2)  # slave: open while phi2 is 1
        nand(f"$ff{k}$g6", s2, phi2, r2)
        nand(f"$ff{k}$g7", s2, qn, q)
        nand(f"$ff{k}$g8", r2, q, qn)
    return json.dumps(doc), len(flops)


def _key(design: Design) -> str:
    digest = hashlib.sha256()
    digest.update(yosys_version().encode())
    digest.update(script(design).encode())
    if design.flavour == "nand":
        digest.update(Path(__file__).read_bytes())  # two_phase
    for path in design.paths + design.data_paths:  # data: a ROM's $readmemh file becomes gates
        digest.update(path.read_bytes())
    return digest.hexdigest()[:16]


def count_cells(json_path: Path, top: str) -> dict[str, int]:
    module = json.loads(json_path.read_text())["modules"][top]
    counts: dict[str, int] = {}
    for cell in module["cells"].values():
        counts[cell["type"]] = counts.get(cell["type"], 0) + 1
    return counts


def flip_flops(cell_types: dict[str, int]) -> int:
    return sum(n for kind, n in cell_types.items() if kind.startswith(SEQUENTIAL))


def synthesize(design: Design, out_root: Path) -> Netlist:
    """The gate netlist of `design`, from the cache when the sources match."""
    target = out_root / "synth" / f"{design.name}-{_key(design)}"
    info_path = target / "info.json"
    cached = info_path.is_file()
    if not cached:
        target.parent.mkdir(parents=True, exist_ok=True)
        work = Path(tempfile.mkdtemp(prefix=f".{design.name}-", dir=target.parent))
        try:
            start = time.perf_counter()
            done = subprocess.run(["yosys", "-q", "-p", script(design)], cwd=work, capture_output=True, text=True)
            seconds = time.perf_counter() - start
            if done.returncode != 0:
                raise RuntimeError(f"Yosys failed on {design.name}: {last_line(done.stderr + done.stdout)}")
            ffs = None
            if design.flavour == "nand":
                text, ffs = two_phase((work / "flops.json").read_text(), design.top)
                (work / "net.json").write_text(text)
                done = subprocess.run(["yosys", "-q", "-p", "read_json net.json; write_verilog -noattr net.v; "
                                       "splitnets -ports -format _; write_verilog -noattr net_split.v"],
                                      cwd=work, capture_output=True, text=True)
                if done.returncode != 0:
                    raise RuntimeError(f"Yosys failed to write the NAND netlist of {design.name}: "
                                       f"{last_line(done.stderr + done.stdout)}")
                (work / "flops.json").unlink()
                seconds = time.perf_counter() - start
            types = count_cells(work / "net.json", design.top)
            ffs = flip_flops(types) if ffs is None else ffs
            info = {"cells": sum(types.values()), "flip_flops": ffs, "cell_types": types, "seconds": seconds}
            (work / "info.json").write_text(json.dumps(info, indent=1))
            try:
                os.rename(work, target)
            except OSError:  # another run finished it first
                pass
        finally:
            shutil.rmtree(work, ignore_errors=True)
    info = json.loads(info_path.read_text())
    split = target / "net_split.v"
    return Netlist(target / "net.json", target / "net.v", split if split.is_file() else None, info["cells"],
                   info["flip_flops"], info["cell_types"], 0.0 if cached else info["seconds"], cached)
