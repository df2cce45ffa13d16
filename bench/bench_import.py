"""Time to import a large Yosys JSON netlist into IR.

    python bench/bench_import.py [--copies 4]

Builds a netlist of COPIES side-by-side copies of the synthesized 64x64
multiplier of bench/netlists (about 25,500 cells each, net numbers shifted,
ports renamed per copy), then times nimbo.yosys.import_text on its text
(JSON parsing included) and the render of the resulting IR.
"""

from __future__ import annotations

import argparse
import json
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "bench" / "netlists"))

from build import yosys_json  # noqa: E402

from nimbo.core import Renderer  # noqa: E402
from nimbo.yosys import import_text  # noqa: E402


def replicate(module: dict, copies: int) -> dict:
    top = max(b for cell in module["cells"].values() for bits in cell["connections"].values() for b in bits
              if isinstance(b, int)) + 1
    shift = lambda bits, k: [b + k * top if isinstance(b, int) else b for b in bits]  # noqa: E731
    out = {"ports": {}, "cells": {}, "netnames": {}}
    for k in range(copies):
        for name, port in module["ports"].items():
            out["ports"][f"{name}{k}"] = dict(port, bits=shift(port["bits"], k))
        for name, cell in module["cells"].items():
            conns = {pin: shift(bits, k) for pin, bits in cell["connections"].items()}
            out["cells"][f"{name}#{k}"] = dict(cell, connections=conns)
    return out


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--copies", type=int, default=4)
    args = parser.parse_args()
    module = json.loads(yosys_json("mult64").read_text())["modules"]["mult64"]
    big = replicate(module, args.copies)
    text = json.dumps({"modules": {"big": big}})
    start = time.perf_counter()
    imported = import_text(text, "big")
    imported_s = time.perf_counter() - start
    ir = imported.text()
    start = time.perf_counter()
    Renderer(ir)
    render_s = time.perf_counter() - start
    print(f"{imported.cells:,} cells ({len(text) / 1e6:.1f} MB of Yosys JSON) -> {imported.gates:,} gates "
          f"({len(ir) / 1e6:.1f} MB of IR): import {imported_s:.2f} s, render {render_s:.2f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
