"""Assembler and instruction-set model of the risc16 benchmark design.

    python bench/clocked/asm.py [PROGRAM.s] [-D NAME=VALUE ...] [-o ROM.v]

writes the program ROM (default: programs/sortcrc.s into
designs/risc16_rom.v). The instruction set is described at the top of
designs/risc16.v. Syntax: one instruction per line, ``label:`` before it,
``;`` starts a comment, ``.equ NAME VALUE`` names a constant, registers are
r0..r7, memory operands ``imm(rN)``. Besides the machine instructions:
``nop``, ``mov rd, ra``, ``j label``, ``li rd, value`` (one LI when the value
fits 9 signed bits, else LI and LHI) and ``mul``/``mulh``/``jalr``/``in``/
``out``/``halt`` for the EXT group, ``shli``/``shri``/``srai``/``roli`` for SHI.

:class:`Machine` runs a ROM one instruction per cycle exactly as the design
does (one cycle = one rising edge), so that the design can be checked
against it.
"""

from __future__ import annotations

import argparse
import re
import sys
from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path

HERE = Path(__file__).resolve().parent
PROGRAM = HERE / "programs" / "sortcrc.s"
ROM = HERE / "designs" / "risc16_rom.v"
ROM_WORDS = 256
HALT = 0xF000


class AsmError(ValueError):
    """A line of the program cannot be assembled; the message names it."""


ALU = {"add": 0, "sub": 1, "and": 2, "or": 3, "xor": 4, "shl": 5, "shr": 6, "sra": 7}
BRANCH = {"beq": 6, "bne": 7, "blt": 8, "bge": 9, "bltu": 10, "bgeu": 11}
SHIFT = {"shli": 0, "shri": 1, "srai": 2, "roli": 3}
EXT = {"mul": 0, "mulh": 1, "jalr": 2, "in": 3, "out": 4, "halt": 5}


@dataclass
class _Line:
    number: int
    text: str
    mnemonic: str
    operands: list[str]
    address: int


def _word(op: int, rd: int = 0, ra: int = 0, low: int = 0) -> int:
    return (op << 12) | (rd << 9) | (ra << 6) | low


def assemble(source: str, defines: dict[str, int] | None = None) -> list[int]:
    """The ROM words of `source`, padded with HALT to 256 words."""
    constants: dict[str, int] = dict(defines or {})
    labels: dict[str, int] = {}
    lines: list[_Line] = []
    address = 0
    for number, raw in enumerate(source.splitlines(), start=1):
        text = raw.split(";", 1)[0].strip()
        while True:
            match = re.match(r"([A-Za-z_]\w*):\s*(.*)$", text)
            if not match:
                break
            if match.group(1) in labels:
                raise AsmError(f"line {number}: label '{match.group(1)}' defined twice")
            labels[match.group(1)] = address
            text = match.group(2)
        if not text:
            continue
        parts = text.split(None, 1)
        mnemonic = parts[0].lower()
        operands = [o.strip() for o in parts[1].split(",")] if len(parts) > 1 else []
        if mnemonic == ".equ":
            fields = parts[1].split() if len(parts) > 1 else []
            if len(fields) != 2:
                raise AsmError(f"line {number}: .equ takes a name and a value")
            constants.setdefault(fields[0], _number(fields[1], constants, number))
            continue
        line = _Line(number, text, mnemonic, operands, address)
        lines.append(line)
        address += 2 if mnemonic == "li" and not -256 <= _number(operands[1] if len(operands) > 1 else "0", constants, number) <= 255 else 1
    if address > ROM_WORDS:
        raise AsmError(f"the program has {address} words; the ROM holds {ROM_WORDS}")
    words: list[int] = []
    for line in lines:
        words += _encode(line, constants, labels)
    return words + [HALT] * (ROM_WORDS - len(words))


def _number(text: str, constants: dict[str, int], number: int) -> int:
    if text in constants:
        return constants[text]
    try:
        return int(text, 0)
    except ValueError:
        raise AsmError(f"line {number}: '{text}' is not a number or a constant") from None


def _encode(line: _Line, constants: dict[str, int], labels: dict[str, int]) -> list[int]:
    n, ops, m = line.number, line.operands, line.mnemonic

    def need(count: int) -> None:
        if len(ops) != count:
            raise AsmError(f"line {n}: '{m}' takes {count} operands: {line.text}")

    def reg(text: str) -> int:
        match = re.fullmatch(r"[rR]([0-7])", text)
        if not match:
            raise AsmError(f"line {n}: '{text}' is not a register r0..r7")
        return int(match.group(1))

    def imm(text: str, bits: int, signed: bool = True) -> int:
        value = _number(text, constants, n)
        low, high = (-(1 << (bits - 1)), (1 << (bits - 1)) - 1) if signed else (0, (1 << bits) - 1)
        if not low <= value <= high:
            raise AsmError(f"line {n}: {value} does not fit {bits} {'signed ' if signed else ''}bits")
        return value & ((1 << bits) - 1)

    def offset(text: str, bits: int) -> int:
        if text not in labels:
            raise AsmError(f"line {n}: no label '{text}'")
        distance = labels[text] - (line.address + 1)
        if not -(1 << (bits - 1)) <= distance < (1 << (bits - 1)):
            raise AsmError(f"line {n}: '{text}' is {distance} words away, beyond {bits} signed bits")
        return distance & ((1 << bits) - 1)

    def memory(text: str) -> tuple[int, int]:
        match = re.fullmatch(r"(.*)\((\s*[rR][0-7]\s*)\)", text)
        if not match:
            raise AsmError(f"line {n}: '{text}' is not a memory operand imm(rN)")
        return reg(match.group(2).strip()), imm(match.group(1).strip() or "0", 6)

    if m in ALU:
        need(3)
        return [_word(0, reg(ops[0]), reg(ops[1]), (reg(ops[2]) << 3) | ALU[m])]
    if m == "addi":
        need(3)
        return [_word(1, reg(ops[0]), reg(ops[1]), imm(ops[2], 6))]
    if m == "li":
        need(2)
        value = _number(ops[1], constants, n)
        if -256 <= value <= 255:
            return [(2 << 12) | (reg(ops[0]) << 9) | (value & 0x1FF)]
        if not -0x8000 <= value <= 0xFFFF:
            raise AsmError(f"line {n}: {value} does not fit 16 bits")
        value &= 0xFFFF
        return [(2 << 12) | (reg(ops[0]) << 9) | (value & 0xFF), _word(3, reg(ops[0]), 0, value >> 8)]
    if m == "lhi":
        need(2)
        return [_word(3, reg(ops[0]), 0, imm(ops[1], 8, signed=False))]
    if m in ("ld", "st"):
        need(2)
        base, displacement = memory(ops[1])
        return [_word(4 if m == "ld" else 5, reg(ops[0]), base, displacement)]
    if m in BRANCH:
        need(3)
        return [_word(BRANCH[m], reg(ops[0]), reg(ops[1]), offset(ops[2], 6))]
    if m in ("jal", "j"):
        need(2 if m == "jal" else 1)
        rd = reg(ops[0]) if m == "jal" else 0
        return [(0xC << 12) | (rd << 9) | offset(ops[-1], 9)]
    if m in SHIFT:
        need(3)
        return [_word(0xE, reg(ops[0]), reg(ops[1]), (SHIFT[m] << 4) | imm(ops[2], 4, signed=False))]
    if m in ("mul", "mulh"):
        need(3)
        return [_word(0xD, reg(ops[0]), reg(ops[1]), (reg(ops[2]) << 3) | EXT[m])]
    if m == "jalr":
        need(2)
        return [_word(0xD, reg(ops[0]), reg(ops[1]), EXT[m])]
    if m == "in":
        need(1)
        return [_word(0xD, reg(ops[0]), 0, EXT[m])]
    if m == "out":
        need(1)
        return [_word(0xD, 0, reg(ops[0]), EXT[m])]
    if m == "halt":
        need(0)
        return [HALT]
    if m == "nop":
        need(0)
        return [_word(0)]
    if m == "mov":
        need(2)
        return [_word(1, reg(ops[0]), reg(ops[1]), 0)]
    raise AsmError(f"line {n}: unknown instruction '{m}'")


def rom_verilog(words: Sequence[int], origin: str) -> str:
    """The ROM module: a case over the address."""
    lines = [
        f"// Program ROM of risc16, written by bench/clocked/asm.py from {origin}; do not edit.",
        "module risc16_rom (",
        "    input [7:0] addr,",
        "    output reg [15:0] data",
        ");",
        "  always @* begin",
        "    case (addr)",
    ]
    used = len(words)
    while used > 0 and words[used - 1] == HALT:
        used -= 1
    lines += [f"      8'd{a}: data = 16'h{w:04x};" for a, w in enumerate(words[:used])]
    lines += [f"      default: data = 16'h{HALT:04x};", "    endcase", "  end", "endmodule"]
    return "\n".join(lines) + "\n"


def _signed(value: int) -> int:
    return value - 0x10000 if value & 0x8000 else value


def _sext(value: int, bits: int) -> int:
    return value - (1 << bits) if value & (1 << (bits - 1)) else value


class Machine:
    """The design, one instruction per rising edge; registers and RAM start
    at 0 (the design's RAM is not reset: programs write before they read)."""

    def __init__(self, rom: Sequence[int]) -> None:
        self.rom = list(rom) + [HALT] * (ROM_WORDS - len(rom))
        self.ram = [0] * 256
        self.reset()

    def reset(self) -> None:
        self.pc, self.regs, self.halted, self.out_port, self.out_strobe = 0, [0] * 8, False, 0, False

    def _decode(self, in_port: int) -> tuple[int | None, int, int, bool, int | None]:
        """(value written or None, rd, next pc, halts, value sent out or None)."""
        insn = self.rom[self.pc]
        op, rd, ra, rb, fn = insn >> 12, (insn >> 9) & 7, (insn >> 6) & 7, (insn >> 3) & 7, insn & 7
        va, vb, vd = self.regs[ra], self.regs[rb], self.regs[rd]
        imm6, imm9 = _sext(insn & 0x3F, 6), _sext(insn & 0x1FF, 9)
        nxt = (self.pc + 1) & 0xFF
        result: int | None = None
        pc, halts, out = nxt, False, None
        if op == 0:
            shift = vb & 15
            result = [va + vb, va - vb, va & vb, va | vb, va ^ vb, va << shift, va >> shift, _signed(va) >> shift][fn]
        elif op == 1:
            result = va + imm6
        elif op == 2:
            result = imm9
        elif op == 3:
            result = ((insn & 0xFF) << 8) | (vd & 0xFF)
        elif op == 4:
            result = self.ram[(va + imm6) & 0xFF]
        elif op == 5:
            pass
        elif op <= 0xB:
            taken = [vd == va, vd != va, _signed(vd) < _signed(va), _signed(vd) >= _signed(va), vd < va, vd >= va][op - 6]
            if taken:
                pc = (nxt + imm6) & 0xFF
        elif op == 0xC:
            result, pc = nxt, (nxt + imm9) & 0xFF
        elif op == 0xD:
            if fn == 0:
                result = va * vb
            elif fn == 1:
                result = (va * vb) >> 16
            elif fn == 2:
                result, pc = nxt, va & 0xFF
            elif fn == 3:
                result = in_port
            elif fn == 4:
                out = va
            elif fn == 5:
                halts = True
        elif op == 0xE:
            amount = insn & 15
            result = [va << amount, va >> amount, _signed(va) >> amount,
                      (va << amount) | (va >> (16 - amount))][(insn >> 4) & 3]
        else:
            halts = True
        if halts:
            pc = self.pc
        return (None if result is None else result & 0xFFFF), rd, pc, halts, out

    def outputs(self, run: int, in_port: int) -> dict[str, int]:
        """The output ports for the current state and these inputs."""
        result, rd, _, _, _ = self._decode(in_port)
        step = run and not self.halted
        return {"out_port": self.out_port, "out_strobe": int(self.out_strobe), "pc_out": self.pc,
                "halted": int(self.halted), "wb_data": result or 0,
                "wb_en": int(bool(step) and result is not None and rd != 0)}

    def cycle(self, rst: int, run: int, in_port: int) -> dict[str, int]:
        """One rising edge with these inputs; the outputs after it."""
        if rst:
            self.reset()
        elif run and not self.halted:
            result, rd, pc, halts, out = self._decode(in_port)
            insn = self.rom[self.pc]
            if insn >> 12 == 5:
                self.ram[(self.regs[(insn >> 6) & 7] + _sext(insn & 0x3F, 6)) & 0xFF] = self.regs[(insn >> 9) & 7]
            if result is not None and rd != 0:
                self.regs[rd] = result
            self.pc, self.halted, self.out_strobe = pc, halts, out is not None
            if out is not None:
                self.out_port = out
        else:
            self.out_strobe = False
        return self.outputs(run, in_port)


def main() -> int:
    parser = argparse.ArgumentParser(description="Assembles a risc16 program into its ROM module.")
    parser.add_argument("program", nargs="?", type=Path, default=PROGRAM)
    parser.add_argument("-D", dest="defines", action="append", default=[], metavar="NAME=VALUE")
    parser.add_argument("-o", dest="out", type=Path, default=ROM)
    args = parser.parse_args()
    try:
        defines = {}
        for item in args.defines:
            name, sep, value = item.partition("=")
            if not sep:
                raise AsmError(f"-D {item}: expected NAME=VALUE")
            defines[name] = int(value, 0)
        words = assemble(args.program.read_text(), defines)
    except (AsmError, OSError, ValueError) as exc:
        print(f"asm.py: error: {args.program}: {exc}", file=sys.stderr)
        return 1
    origin = args.program.relative_to(HERE).as_posix() if args.program.resolve().is_relative_to(HERE) else args.program.name
    args.out.write_text(rom_verilog(words, origin))
    used = sum(1 for w in words if w != HALT)
    print(f"{args.out}: {used} instruction words")
    return 0


if __name__ == "__main__":
    sys.exit(main())
