"""Yosys's memory cells (``$mem_v2``, as ``memory_collect`` leaves them) read
into ports, and what keeps a memory from being imported as a memory.

A ``$mem_v2`` cell packs its ports into parameters and connections: per read
port a bit of ``RD_CLK_ENABLE`` (synchronous), ``RD_CLK_POLARITY``,
``RD_CE_OVER_SRST``, ``RD_WIDE_CONTINUATION`` and a word of
``RD_ARST_VALUE``, ``RD_SRST_VALUE`` and ``RD_INIT_VALUE``; per pair of read
and write port a bit of ``RD_TRANSPARENCY_MASK`` and
``RD_COLLISION_X_MASK`` (bit ``r * WR_PORTS + w``); per write port a bit of
``WR_CLK_ENABLE``, ``WR_CLK_POLARITY`` and ``WR_WIDE_CONTINUATION``.
Parameters are bit texts, most significant bit first; connections are bit
lists, least significant first.

What nimbo's memories cannot say exactly (:func:`unkept_reason`): a write
port without a clock, a read port that returns x when a write port writes
its address at the same edge, and wide ports (``memory_narrow`` splits
them). ``WR_PRIORITY_MASK`` needs no field: Yosys lets a write port have
priority only over ports before it, and where two ports of one clock write
the same bit, the memory's order (the later port wins) is what Yosys's
``memory_map`` builds as well.
"""

from __future__ import annotations

import re
from collections.abc import Mapping
from dataclasses import dataclass, field

from ..ir import memory_size_problem

Bit = int | str  # a net number, or a constant "0", "1", "x", "z"

MEMORY_CELL = "$mem_v2"


@dataclass
class ReadPortCell:
    clock: Bit | None  # None: asynchronous
    posedge: bool
    enable: Bit
    async_reset: Bit
    sync_reset: Bit
    address: list[Bit]
    data: list[int]  # the nets the port drives
    async_reset_value: str  # word bits, least significant first ("x" allowed)
    sync_reset_value: str
    init_value: str
    enable_over_reset: bool
    transparent: list[int]  # write port indexes


@dataclass
class WritePortCell:
    clock: Bit | None
    posedge: bool
    address: list[Bit]
    data: list[Bit]
    enable: list[Bit]


@dataclass
class MemoryCell:
    name: str  # the memory's name (MEMID without Yosys's leading backslash)
    words: int
    width: int
    offset: int
    init: list[str]  # per word, its bits least significant first ("x" allowed)
    read_ports: list[ReadPortCell] = field(default_factory=list)
    write_ports: list[WritePortCell] = field(default_factory=list)


class MemoryCellError(ValueError):
    """A memory cell whose parameters or connections do not fit together."""


def memory_name(memid: str) -> str:
    return memid[1:] if memid.startswith("\\") else memid


def parameter_bits(raw: object) -> str:
    """A parameter as bits, most significant first: Yosys writes bit texts,
    a hand-written netlist may give numbers."""
    if isinstance(raw, int) and not isinstance(raw, bool):
        return format(raw & 0xFFFFFFFF, "032b")
    if isinstance(raw, str) and raw and not raw.strip("01xz"):
        return raw
    raise MemoryCellError(f"parameter {raw!r} is not a bit text")


def _flag(bits: str, index: int) -> bool:
    return index < len(bits) and bits[-1 - index] == "1"


def _word(bits: str, index: int, width: int) -> str:
    """Word `index` of a packed parameter, least significant bit first; bits
    past its end are x. Only the word's bits are read, as INIT holds every
    word of the memory."""
    end = len(bits) - index * width
    low = bits[max(0, end - width) : end][::-1] if end > 0 else ""
    return low + "x" * (width - len(low))


def _number(bits: str, signed: bool = False) -> int:
    if bits.strip("01"):
        raise MemoryCellError(f"parameter {bits!r} is not a number")
    value = int(bits, 2)
    if signed and len(bits) == 32 and bits[0] == "1":
        value -= 1 << 32
    return value


def unkept_reason(parameters: Mapping[str, str]) -> str | None:
    """Why a memory with these parameters (bit texts) cannot be a memory of
    the IR, or None."""
    reads = _number(parameters.get("RD_PORTS", "0"))
    writes = _number(parameters.get("WR_PORTS", "0"))
    for w in range(writes):
        if not _flag(parameters.get("WR_CLK_ENABLE", ""), w):
            return f"its write port {w} has no clock (nimbo's memories are written at clock edges)"
    collisions = parameters.get("RD_COLLISION_X_MASK", "")
    for r in range(reads):
        for w in range(writes):
            if _flag(collisions, r * writes + w):
                return (f"its read port {r} returns x when write port {w} writes the same address at the same "
                        "edge (no_rw_check)")
    for prefix, count in (("RD", reads), ("WR", writes)):
        if any(_flag(parameters.get(f"{prefix}_WIDE_CONTINUATION", ""), p) for p in range(count)):
            return "it has wide ports (memory_narrow splits them)"
    return None


# A memory that only fixed addresses read, of at most this many bits, is
# mapped even when memories are kept: its words become registers read
# directly, where a memory's read ports decode an address every pass
# (coefficient banks and register files indexed by loop counters).
FIXED_READS_MAPPED_BITS = 4096
_CONSTANT_SIGNAL = re.compile(r"^\d+'[01]+$")


def fixed_reads_reason(parameters: Mapping[str, str]) -> str | None:
    """Why a memory that nimbo could keep is better mapped, or None: every
    read port is asynchronous and reads a fixed address, every write port
    is written on one edge of one clock, and the memory is small. Takes the
    parameters and connections of :func:`dumped_memories`."""
    reads = _number(parameters.get("RD_PORTS", "0"))
    writes = _number(parameters.get("WR_PORTS", "0"))
    bits = _number(parameters.get("SIZE", "0")) * _number(parameters.get("WIDTH", "0"))
    if reads == 0 or bits > FIXED_READS_MAPPED_BITS:
        return None
    if any(_flag(parameters.get("RD_CLK_ENABLE", ""), r) for r in range(reads)):
        return None
    if not all(_CONSTANT_SIGNAL.match(part) for part in _signal_parts(parameters.get("connect RD_ADDR", ""))):
        return None
    clocks = set(_signal_parts(parameters.get("connect WR_CLK", "")))
    polarities = {_flag(parameters.get("WR_CLK_POLARITY", ""), w) for w in range(writes)}
    if writes and (len(clocks) != 1 or len(polarities) != 1 or any(_CONSTANT_SIGNAL.match(c) for c in clocks)):
        return None
    return "every read port reads a fixed address, so its words are registers read directly"


def _signal_parts(text: str) -> list[str]:
    """The chunks of a signal as Yosys's dump writes it (`3'010`, `\\clk`,
    `{ \\a [2] 2'01 }`), bit selections kept with their wire; no chunks for
    an empty text."""
    tokens = text.replace("{", " ").replace("}", " ").split()
    parts: list[str] = []
    for token in tokens:
        if token.startswith("[") and parts:
            parts[-1] += " " + token
        else:
            parts.append(token)
    return parts


_DUMPED_CELL = re.compile(r"^\s*cell \$mem_v2 (\S+)$")
_DUMPED_PARAMETER = re.compile(r"^\s*parameter (?:signed )?\\(\w+) (.*)$")
_DUMPED_CONNECTION = re.compile(r"^\s*connect \\(RD_ADDR|WR_CLK) (.*)$")


def dumped_memories(text: str) -> dict[str, dict[str, str]]:
    """The parameters of each ``$mem_v2`` cell in Yosys's ``dump`` text, by
    cell name (as Yosys writes it): numbers as bits, MEMID as its text; and
    its read addresses and write clocks as the dump writes them, under
    "connect RD_ADDR" and "connect WR_CLK"."""
    found: dict[str, dict[str, str]] = {}
    current: dict[str, str] | None = None
    for line in text.splitlines():
        cell = _DUMPED_CELL.match(line)
        if cell:
            current = found.setdefault(cell.group(1), {})
            continue
        connection = _DUMPED_CONNECTION.match(line) if current is not None else None
        if connection and current is not None:
            current["connect " + connection.group(1)] = connection.group(2).strip()
            continue
        parameter = _DUMPED_PARAMETER.match(line) if current is not None else None
        if parameter and current is not None:
            name, value = parameter.groups()
            if value.startswith('"'):
                current[name] = value[1:-1].replace("\\\\", "\\")
            elif "'" in value:
                current[name] = value.split("'", 1)[1]
            elif value.lstrip("-").isdigit():
                current[name] = format(int(value) & 0xFFFFFFFF, "032b")
        elif line.strip() == "end":
            current = None
    return found


def memory_cell(cell: Mapping[str, object]) -> MemoryCell:
    """A ``$mem_v2`` cell of Yosys's JSON netlist read into its ports."""
    raw_parameters = cell.get("parameters")
    connections = cell.get("connections")
    if not isinstance(raw_parameters, dict) or not isinstance(connections, dict):
        raise MemoryCellError("it has no parameters or connections")
    memid = raw_parameters.get("MEMID")
    parameters = {key: parameter_bits(value) for key, value in raw_parameters.items() if key != "MEMID"}
    words = _number(parameters.get("SIZE", "0"))
    width = _number(parameters.get("WIDTH", "0"))
    abits = _number(parameters.get("ABITS", "0"))
    reads = _number(parameters.get("RD_PORTS", "0"))
    writes = _number(parameters.get("WR_PORTS", "0"))
    problem = memory_size_problem(words, width)
    if problem is not None:
        raise MemoryCellError(problem)
    reason = unkept_reason(parameters)
    if reason is not None:
        raise MemoryCellError(reason)

    def pins(name: str, per_port: int, count: int) -> list[list[Bit]]:
        bits = connections.get(name, [])
        if not isinstance(bits, list) or len(bits) != per_port * count or not all(
            isinstance(b, (int, str)) for b in bits
        ):
            raise MemoryCellError(f"its {name} connection does not have {per_port * count} bits")
        return [bits[p * per_port : (p + 1) * per_port] for p in range(count)]

    init = parameters.get("INIT", "x")
    memory = MemoryCell(
        name=memory_name(memid) if isinstance(memid, str) else "",
        words=words,
        width=width,
        offset=_number(parameters.get("OFFSET", "0"), signed=True),
        init=[_word(init, i, width) for i in range(words)],
    )
    read_bits = {name: pins(name, per_port, reads) for name, per_port in (
        ("RD_CLK", 1), ("RD_EN", 1), ("RD_ARST", 1), ("RD_SRST", 1), ("RD_ADDR", abits), ("RD_DATA", width))}
    for r in range(reads):
        synchronous = _flag(parameters.get("RD_CLK_ENABLE", ""), r)
        data = [bit for bit in read_bits["RD_DATA"][r] if isinstance(bit, int)]
        if len(data) != width:
            raise MemoryCellError(f"its read port {r} drives a constant")
        memory.read_ports.append(ReadPortCell(
            clock=read_bits["RD_CLK"][r][0] if synchronous else None,
            posedge=_flag(parameters.get("RD_CLK_POLARITY", ""), r),
            enable=read_bits["RD_EN"][r][0],
            async_reset=read_bits["RD_ARST"][r][0],
            sync_reset=read_bits["RD_SRST"][r][0],
            address=read_bits["RD_ADDR"][r],
            data=data,
            async_reset_value=_word(parameters.get("RD_ARST_VALUE", "x"), r, width),
            sync_reset_value=_word(parameters.get("RD_SRST_VALUE", "x"), r, width),
            init_value=_word(parameters.get("RD_INIT_VALUE", "x"), r, width),
            enable_over_reset=_flag(parameters.get("RD_CE_OVER_SRST", ""), r),
            transparent=[w for w in range(writes) if _flag(parameters.get("RD_TRANSPARENCY_MASK", ""), r * writes + w)],
        ))  # fmt: skip
    write_bits = {name: pins(name, per_port, writes) for name, per_port in (
        ("WR_CLK", 1), ("WR_ADDR", abits), ("WR_DATA", width), ("WR_EN", width))}
    for w in range(writes):
        memory.write_ports.append(WritePortCell(
            clock=write_bits["WR_CLK"][w][0] if _flag(parameters.get("WR_CLK_ENABLE", ""), w) else None,
            posedge=_flag(parameters.get("WR_CLK_POLARITY", ""), w),
            address=write_bits["WR_ADDR"][w],
            data=write_bits["WR_DATA"][w],
            enable=write_bits["WR_EN"][w],
        ))  # fmt: skip
    return memory
