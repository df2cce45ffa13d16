"""Real designs for benchmarks: Verilog in this folder, turned into IR on demand.

    python bench/netlists/build.py [mult64 isqrt div32 ...] [--out DIR] [--blif]

Each NAME.v here is synthesized with Yosys (``synth -flatten``) and imported
with nimbo.verilog.yosys; the IR goes to bench/out/netlists/NAME.ir.json (and the
Yosys JSON beside it, with --blif also a BLIF netlist). Outputs are reused
while they are newer than their Verilog source. From Python::

    from build import netlist_ir
    path = netlist_ir("mult64")     # Path of the IR, built when missing or stale
"""

from __future__ import annotations

import argparse
import subprocess
import sys
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parents[1]
OUT = ROOT / "bench" / "out" / "netlists"
DESIGNS = ("mult64", "isqrt", "div32")


def source(name: str) -> Path:
    path = HERE / f"{name}.v"
    if not path.is_file():
        raise FileNotFoundError(f"no design {name}.v in {HERE}")
    return path


def _fresh(target: Path, src: Path) -> bool:
    return target.is_file() and target.stat().st_mtime >= src.stat().st_mtime


def yosys_json(name: str, out: Path = OUT) -> Path:
    """The gate-level Yosys JSON netlist of design `name`."""
    from nimbo.verilog.yosys import synthesize

    src = source(name)
    target = out / f"{name}.yosys.json"
    if not _fresh(target, src):
        out.mkdir(parents=True, exist_ok=True)
        target.write_text(synthesize([str(src)], name))
    return target


def netlist_ir(name: str, out: Path = OUT) -> Path:
    """The nimbo IR of design `name`, imported from its Yosys netlist."""
    from nimbo.verilog.yosys import import_text

    src = source(name)
    target = out / f"{name}.ir.json"
    if not _fresh(target, src):
        imported = import_text(yosys_json(name, out).read_text(), name)
        target.write_text(imported.text())
    return target


def blif(name: str, out: Path = OUT) -> Path:
    """A BLIF netlist of the same synthesized design (for simulators that read BLIF)."""
    src = source(name)
    target = out / f"{name}.blif"
    if not _fresh(target, src):
        out.mkdir(parents=True, exist_ok=True)
        subprocess.run(
            ["yosys", "-q", "-p", f"read_json {yosys_json(name, out)}; write_blif {target}"],
            check=True,
            capture_output=True,
        )
    return target


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("names", nargs="*", default=list(DESIGNS))
    parser.add_argument("--out", type=Path, default=OUT)
    parser.add_argument("--blif", action="store_true", help="also write a BLIF netlist")
    args = parser.parse_args()
    for name in args.names:
        start = time.perf_counter()
        path = netlist_ir(name, args.out)
        if args.blif:
            blif(name, args.out)
        print(f"{name}: {path} ({path.stat().st_size / 1e6:.1f} MB, {time.perf_counter() - start:.1f} s)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
