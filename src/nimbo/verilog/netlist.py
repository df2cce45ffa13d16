"""Conversion of an IR circuit into a Verilog netlist of continuous assignments.

Bit order: element 0 of a value is the first character of its text. Every
bus becomes a vector declared ``[0:W-1]``, so element i is index i, index 0
is the most significant bit, and a bit text is also the Verilog binary
literal of the value (``4'b0011`` holds the text "0011", and ``%b`` prints
the text back).

Only circuits whose settled values a continuous-assignment netlist
reproduces exactly are converted; anything else raises ConversionError
with the reason:

* no feedback: the driven busses must form a DAG;
* every driven bus has the width its assignment yields (the simulator would
  otherwise change the bus width on the first update);
* no zero-width bus (Verilog has no empty vectors);
* every bus that an assignment reads lists the driven bus in its influence
  list (otherwise the simulator may leave the driven bus stale).

Gates cut their operands to the smaller width, pairing from element 0. Since
a cut commutes with bitwise operators, the converter pushes each cut down to
the leaves: a reference becomes a part-select ``x[0:n-1]``, a constant keeps
its first n bits, so that every Verilog operator sees operands of one width.
A reference to a bus the circuit lacks reads as the 1-bit 0.

`nimbo.verilog.icarus.run_lines` runs a netlist under Icarus Verilog (its testbench
takes ``netlist.inputs`` and ``netlist.outputs`` as they are, and
:func:`vector_line` writes its vector lines).
"""

from __future__ import annotations

from dataclasses import dataclass

from ..ir import Circuit, Expr, const_bits, dependency_order, expression_width, referenced_ids

_OPERATORS = {
    "and": ("", "&"),
    "or": ("", "|"),
    "xor": ("", "^"),
    "nand": ("~", "&"),
    "nor": ("~", "|"),
    "xnor": ("~", "^"),
}


class ConversionError(ValueError):
    """The circuit cannot be expressed faithfully as a Verilog netlist."""


@dataclass(frozen=True)
class Port:
    bus_id: str
    name: str  # Verilog identifier
    width: int


@dataclass
class Netlist:
    module: str
    text: str
    inputs: list[Port]
    outputs: list[Port]
    driven: list[Port]


def _emit(expr: Expr, width: int, names: dict[str, str], widths: dict[str, int]) -> str:
    if expr["type"] == "const":
        return f"{width}'b{const_bits(expr['args']['value'])[:width]}"
    if expr["type"] == "ref" or expr["type"] == "bus_ref":
        bus_id = expr["args"]["id"]
        name = names.get(bus_id)
        if name is None:
            return "1'b0"
        return name if widths[bus_id] == width else f"{name}[0:{width - 1}]"
    if expr["type"] == "not":
        return f"~({_emit(expr['args']['expr'], width, names, widths)})"
    invert, operator = _OPERATORS[expr["type"]]
    left = _emit(expr["args"]["l_expr"], width, names, widths)
    right = _emit(expr["args"]["r_expr"], width, names, widths)
    return f"{invert}({left} {operator} {right})"


def _topological_order(circuit: Circuit) -> list[str]:
    """Driven bus ids, each after every driven bus it reads; refuses cycles."""
    assignments = circuit.assignments()
    reads = {bus_id: sorted(s for s in referenced_ids(expr) if s in assignments) for bus_id, expr in assignments.items()}

    def refuse(bus_id: str) -> None:
        raise ConversionError(f"bus '{bus_id}' is part of a feedback loop")

    return dependency_order(reads, reads.__getitem__, refuse)


def check_convertible(circuit: Circuit) -> list[str]:
    """Refuses what a netlist of continuous assignments cannot express; the
    driven bus ids in dependency order."""
    widths = {b.id: b.width for b in circuit.busses.values()}
    influence = {b.id: set(b.influence) for b in circuit.busses.values()}
    for bus in circuit.busses.values():
        if bus.width == 0:
            raise ConversionError(f"bus '{bus.id}' has width 0")
    for bus_id, expr in circuit.assignments().items():
        bus = circuit.busses[bus_id]
        got = expression_width(expr, widths)
        if got != bus.width:
            raise ConversionError(
                f"bus '{bus.id}' is declared with {bus.width} bits but its assignment yields {got}"
            )
        for source in referenced_ids(expr):
            if source in influence and bus.id not in influence[source]:
                raise ConversionError(
                    f"bus '{bus.id}' reads '{source}' but is missing from its influence list"
                )
    return _topological_order(circuit)


def to_verilog(circuit: Circuit, module: str = "circuit", outputs: list[str] | None = None) -> Netlist:
    """The netlist of `circuit`; `outputs` are the driven bus ids made ports
    (default: every driven bus)."""
    order = check_convertible(circuit)
    names = {bus_id: f"b{i}" for i, bus_id in enumerate(circuit.busses)}
    widths = {b.id: b.width for b in circuit.busses.values()}
    port = {bus_id: Port(bus_id, names[bus_id], widths[bus_id]) for bus_id in circuit.busses}
    inputs = [port[b.id] for b in circuit.inputs]
    driven = [port[b.id] for b in circuit.driven]
    if outputs is None:
        out_ports = driven
    else:
        unknown = [o for o in outputs if o not in port or circuit.busses[o].assignment is None]
        if unknown:
            raise ConversionError(f"output '{unknown[0]}' is not a driven bus")
        out_ports = [port[o] for o in outputs]
    out_names = {p.name for p in out_ports}

    lines = [f"module {module} ("]
    decls = [f"  input wire [0:{p.width - 1}] {p.name}" for p in inputs]
    decls += [f"  output wire [0:{p.width - 1}] {p.name}" for p in out_ports]
    lines.append(",\n".join(decls))
    lines.append(");")
    for p in driven:
        if p.name not in out_names:
            lines.append(f"  wire [0:{p.width - 1}] {p.name};")
    assignments = circuit.assignments()
    for bus_id in order:
        lines.append(f"  assign {names[bus_id]} = {_emit(assignments[bus_id], widths[bus_id], names, widths)};")
    lines.append("endmodule")
    return Netlist(module, "\n".join(lines) + "\n", inputs, out_ports, driven)


def vector_line(netlist: Netlist, values: dict[str, str]) -> str:
    """One line for $readmemb: the input bit texts concatenated in port order."""
    return "".join(values[p.bus_id] for p in netlist.inputs)
