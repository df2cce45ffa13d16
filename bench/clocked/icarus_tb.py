"""An Icarus Verilog testbench for a clocked design, with the cycle of the
other simulators: per vector, set the inputs (the clock is 0), #5 clock 1,
#5 clock 0, #1 read the outputs. A "nand" design's phases: set the inputs
and phi1 1, #5 phi1 0, #5 phi2 1, #5 phi2 0, #1 read the outputs.

The testbench reads the vectors with $readmemb (stimulus.readmemb_lines),
runs them all once printing ``V <output>...`` (``%b``, most significant bit
first) after each cycle, then prints START, runs them all again without
printing, and prints DONE; the reader times the second pass between the two
marks. The design's state carries over from the first pass to the second,
whose first cycles reset it again.
"""

from __future__ import annotations

from designs import CLOCK, PHASES, Design


def _connect(port: str, width: int, signal: str, split: bool) -> list[str]:
    if not split or width == 1:
        return [f".{port}({signal})"]
    return [f".{port}_{i}({signal}[{i}])" for i in range(width)]


def testbench(design: Design, vector_file: str, cycles: int, split: bool = False) -> str:
    """The testbench; `split`: the netlist's ports are split into bits
    (``splitnets -ports -format _``: port a[3] is a_3)."""
    width = max(1, design.input_bits)
    clocks = list(PHASES) if design.flavour == "nand" else [CLOCK]
    lines = ["`timescale 1ns/1ns", "module clocked_tb;", f"  reg [{width - 1}:0] mem [0:{max(cycles, 1) - 1}];",
             "  integer k;", f"  reg {', '.join(clocks)};"]
    lines += [f"  reg [{p.width - 1}:0] i_{p.name};" for p in design.inputs]
    lines += [f"  wire [{p.width - 1}:0] o_{p.name};" for p in design.outputs]
    connections = [f".{c}({c})" for c in clocks]
    for port, prefix in [(i, "i_") for i in design.inputs] + [(o, "o_") for o in design.outputs]:
        connections += _connect(port.name, port.width, prefix + port.name, split)
    lines.append(f"  {design.top} dut ({', '.join(connections)});")
    apply = "{" + ", ".join(f"i_{p.name}" for p in design.inputs) + "} = mem[k];"
    show = f'$display("V {" ".join(["%b"] * len(design.outputs))}", {", ".join("o_" + p.name for p in design.outputs)});'
    if design.flavour == "nand":
        cycle = [f"{PHASES[0]} = 1;", f"#5 {PHASES[0]} = 0;", f"#5 {PHASES[1]} = 1;", f"#5 {PHASES[1]} = 0;", "#1;"]
    else:
        cycle = [f"#5 {CLOCK} = 1;", f"#5 {CLOCK} = 0;", "#1;"]
    body = [f"      {apply}"] + [f"      {line}" for line in cycle]
    lines += [
        "  initial begin",
        f'    $readmemb("{vector_file}", mem, 0, {cycles - 1});',
        f"    {' = 0; '.join(clocks)} = 0;",
        f"    for (k = 0; k < {cycles}; k = k + 1) begin",
        *body,
        f"      {show}",
        "    end",
        '    $display("START"); $fflush;',
        f"    for (k = 0; k < {cycles}; k = k + 1) begin",
        *body,
        "    end",
        '    $display("DONE"); $fflush;',
        "    $finish;",
        "  end",
        "endmodule",
    ]
    return "\n".join(lines) + "\n"


def trace(stdout: str, design: Design) -> bytes:
    """The ``V`` lines as trace rows (one byte per output bit, least
    significant first); a bit that is x or z becomes 2, which matches nothing."""
    rows = bytearray()
    for line in stdout.splitlines():
        if not line.startswith("V "):
            continue
        fields = line.split()[1:]
        if len(fields) != len(design.outputs):
            raise ValueError(f"testbench line has {len(fields)} outputs, expected {len(design.outputs)}: {line[:80]}")
        for text, port in zip(fields, design.outputs):
            text = text.rjust(port.width, "0")[-port.width:]
            rows += bytes(1 if ch == "1" else 0 if ch == "0" else 2 for ch in reversed(text))
    return bytes(rows)
