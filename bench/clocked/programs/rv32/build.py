"""Builds rv32sys's program ROM, and runs the same program on the host.

    python bench/clocked/programs/rv32/build.py [--list]

compiles start.S and main.c with Debian's RISC-V cross compiler
(``apt-get install gcc-riscv64-unknown-elf``) for RV32IM and writes the
image as 1024 words of hex, one a line (``$readmemh``), to
bench/clocked/designs/rv32sys_rom.hex, which is committed: the benchmark
does not need the cross compiler. ``--list`` prints the disassembly.

:func:`host_outputs` compiles main.c with ``-DHOST`` for this machine and
returns what the program writes to the output register in its first rounds
for a seed: what rv32sys must write.
"""

from __future__ import annotations

import argparse
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
HEX = HERE.parents[1] / "designs" / "rv32sys_rom.hex"
ROM_WORDS = 1024
CROSS = "riscv64-unknown-elf-"
FLAGS = ["-march=rv32im", "-mabi=ilp32", "-mcmodel=medany", "-O2", "-nostdlib", "-ffreestanding",
         "-fno-tree-loop-distribute-patterns",  # no calls to memset: there is no C library
         "-Wl,--no-relax",  # every address from auipc, the ROM table's too
         "-Wall", "-Wextra", "-Werror"]


def build(work: Path) -> tuple[list[int], Path]:
    """The ROM's words and the ELF file, built in `work`."""
    if shutil.which(CROSS + "gcc") is None:
        raise RuntimeError(f"no {CROSS}gcc: apt-get install gcc-riscv64-unknown-elf")
    elf = work / "rv32sys.elf"
    subprocess.run([CROSS + "gcc", *FLAGS, "-T", str(HERE / "link.ld"), "-o", str(elf),
                    str(HERE / "start.S"), str(HERE / "main.c")], check=True)
    image = work / "rv32sys.bin"
    subprocess.run([CROSS + "objcopy", "-O", "binary", "-j", ".text", str(elf), str(image)], check=True)
    data = image.read_bytes()
    if len(data) > 4 * ROM_WORDS:
        raise RuntimeError(f"the program takes {len(data)} bytes; the ROM holds {4 * ROM_WORDS}")
    data += bytes(-len(data) % 4)
    words = [int.from_bytes(data[i:i + 4], "little") for i in range(0, len(data), 4)]
    return words + [0] * (ROM_WORDS - len(words)), elf


def hex_text(words: list[int]) -> str:
    return "".join(f"{w:08x}\n" for w in words)


def host_outputs(seed: int, rounds: int, work: Path) -> list[int]:
    """What main.c writes to the output register in `rounds` rounds from `seed`,
    compiled for and run on this machine."""
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        raise RuntimeError("no host C compiler")
    binary = work.resolve() / "rv32_host"
    subprocess.run([compiler, "-O2", "-DHOST", "-Wall", "-Wextra", "-Werror", "-o", str(binary),
                    str(HERE / "main.c")], check=True)
    done = subprocess.run([str(binary), str(seed), str(rounds)], capture_output=True, text=True, check=True)
    return [int(line, 16) for line in done.stdout.split()]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--list", action="store_true", help="print the disassembly")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        words, elf = build(Path(tmp))
        if args.list:
            print(subprocess.run([CROSS + "objdump", "-d", str(elf)], capture_output=True, text=True,
                                 check=True).stdout)
    HEX.write_text(hex_text(words))
    used = len(words) - next((i for i, w in enumerate(reversed(words)) if w), len(words))
    print(f"{HEX}: {used} of {ROM_WORDS} words", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
