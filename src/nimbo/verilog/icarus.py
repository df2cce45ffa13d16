"""Running a Verilog module under Icarus Verilog through a generated testbench.

The testbench reads the input vectors from a file ($readmemb), applies them
one by one and prints the outputs of the first vectors. A vector line is the
input ports' bits concatenated, each port's leftmost (first declared) bit
first, and an output comes back the same way.

A design with clocks is driven one cycle per vector, as nimbo steps it: the
clocks start at 0; per vector the testbench sets the inputs, waits 5, raises
every clock, waits 5, lowers every clock, waits 1 and reads the outputs.

:func:`run` speaks nimbo's port form (element 0 = bit 0, the least
significant bit): it checks imported netlists against the original design.
The tests and the benchmarks also run the netlists of :mod:`nimbo.verilog.netlist`
through :func:`run_lines`.
"""

from __future__ import annotations

import subprocess
import time
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Protocol

from ..ports import Port


class PortShape(Protocol):
    """A port of the module under test: its name and its number of bits."""

    @property
    def name(self) -> str: ...

    @property
    def width(self) -> int: ...


@dataclass
class IcarusRun:
    outputs: list[dict[str, str]]  # the first `shown` vectors' output port values
    seconds: float  # wall time of the vector loop (between the START and DONE lines)


def testbench(
    module: str,
    inputs: Sequence[PortShape],
    outputs: Sequence[PortShape],
    vector_file: str,
    count: int,
    shown: int,
    clocks: Sequence[str] = (),
    probes: Sequence[PortShape] = (),
) -> str:
    """A testbench that reads `count` lines from `vector_file`, applies them
    one by one and prints the outputs of the first `shown` as lines
    ``V <k> <bits>...``. It prints ``START`` before the first vector and
    ``DONE`` after the last, flushing both, so a reader can time the loop.
    `clocks` names 1-bit input ports that the testbench toggles, one cycle
    per vector; the vectors leave them out. `probes` are signals inside the
    module (hierarchical names below it, "state" or "u.count"), printed
    after the outputs as $display shows them."""
    total = max(1, sum(p.width for p in inputs))
    lines = ["`timescale 1ns/1ns", "module nimbo_tb;", f"  reg [{total - 1}:0] mem [0:{max(count, 1) - 1}];", "  integer n, k;"]
    # A clock starts at 0 without an event (a declaration's initial value, -g2012),
    # so no register sees a falling edge at time 0.
    lines += [f"  reg c_{name} = 1'b0;" for name in clocks]
    lines += [f"  reg [{p.width - 1}:0] i_{p.name};" for p in inputs]
    lines += [f"  wire [{p.width - 1}:0] o_{p.name};" for p in outputs]
    conns = [f".{name}(c_{name})" for name in clocks]
    conns += [f".{p.name}(i_{p.name})" for p in inputs] + [f".{p.name}(o_{p.name})" for p in outputs]
    lines.append(f"  {module} dut ({', '.join(conns)});")
    fmt = " ".join(["%b"] * (len(outputs) + len(probes)))
    shown_signals = [f"o_{p.name}" for p in outputs] + [f"dut.{p.name}" for p in probes]
    show = f'$display("V %0d {fmt}", k, {", ".join(shown_signals)});' if shown_signals else '$display("V %0d", k);'
    apply = "{" + ", ".join(f"i_{p.name}" for p in inputs) + "} = mem[k];" if inputs else ""
    if clocks:
        rise = " ".join(f"c_{name} = 1'b1;" for name in clocks)
        fall = " ".join(f"c_{name} = 1'b0;" for name in clocks)
        wait = f"#5; {rise} #5; {fall} #1;"
    else:
        wait = "#1;"
    lines += [
        "  initial begin",
        f"    n = {count};",
        f'    if (n > 0) $readmemb("{vector_file}", mem, 0, n - 1);',
        '    $display("START"); $fflush;',
        "    for (k = 0; k < n; k = k + 1) begin",
        f"      {apply}",
        f"      {wait}",
        f"      if (k < {shown}) {show}",
        "    end",
        '    $display("DONE"); $fflush;',
        "    $finish;",
        "  end",
        "endmodule",
    ]
    return "\n".join(lines) + "\n"


def run_lines(
    sources: Sequence[str | Path],
    module: str,
    inputs: Sequence[PortShape],
    outputs: Sequence[PortShape],
    lines: Sequence[str],
    workdir: Path,
    shown: int | None = None,
    clocks: Sequence[str] = (),
    probes: Sequence[PortShape] = (),
) -> tuple[list[list[str]], float]:
    """Compiles `sources` with a testbench for `module` and applies the vector
    `lines`; returns the output bits of the first `shown` vectors (all by
    default), one text per output and probe, and the wall time of the vector
    loop. `clocks` are input ports the testbench toggles, `probes` signals
    inside the module it prints (see :func:`testbench`)."""
    shown = len(lines) if shown is None else shown
    (workdir / "vectors.mem").write_text("".join(line + "\n" for line in lines))
    bench = testbench(module, inputs, outputs, "vectors.mem", len(lines), shown, clocks, probes)
    (workdir / "nimbo_tb.v").write_text(bench)
    binary = workdir / "nimbo_tb.vvp"
    compiled = subprocess.run(
        ["iverilog", "-g2012", "-o", str(binary), str(workdir / "nimbo_tb.v"), *[str(s) for s in sources]],
        capture_output=True,
        text=True,
    )
    if compiled.returncode != 0:
        raise RuntimeError(f"iverilog failed: {compiled.stderr.strip()}")
    marks: dict[str, float] = {}
    rows: list[list[str]] = []
    # The block waits for vvp, and stops it when reading fails or is interrupted.
    with subprocess.Popen(["vvp", "-n", str(binary)], cwd=workdir, stdout=subprocess.PIPE, text=True) as proc:
        assert proc.stdout is not None
        try:
            for line in proc.stdout:
                word = line.strip()
                if word in ("START", "DONE"):
                    marks[word] = time.perf_counter()
                elif word.startswith("V "):
                    rows.append(word.split()[2:])
        except BaseException:
            proc.kill()
            raise
    if proc.returncode != 0:
        raise RuntimeError(f"vvp failed with status {proc.returncode}")
    return rows, marks.get("DONE", 0.0) - marks.get("START", 0.0)


def vector_line(ports: Sequence[Port], values: Mapping[str, str]) -> str:
    """One $readmemb line: the input port values, each most significant bit first."""
    return "".join(values[p.name][::-1] for p in ports if p.direction == "input")


def run(
    sources: Sequence[str | Path],
    module: str,
    ports: Mapping[str, Port],
    vectors: Sequence[Mapping[str, str]],
    workdir: Path,
    shown: int | None = None,
    clocks: Sequence[str] = (),
    probes: Sequence[PortShape] = (),
) -> IcarusRun:
    """Compiles `sources` with a testbench for `module` and applies `vectors`
    (port name to port value); returns the output port values per vector,
    and those of the `probes` (signals inside the module, by name, as
    :func:`testbench` prints them). With `clocks` (names of 1-bit input
    ports), each vector is one cycle of every clock, applied as
    :func:`testbench` says."""
    order = list(ports.values())
    ins = [p for p in order if p.direction == "input" and p.name not in clocks]
    outs = [p for p in order if p.direction == "output"]
    lines = [vector_line(ins, v) or "0" for v in vectors]  # "0" fills the lines of a design without inputs
    rows, seconds = run_lines(sources, module, ins, outs, lines, workdir, shown, clocks, probes)
    named = [*outs, *probes]
    return IcarusRun([{p.name: bits[::-1] for p, bits in zip(named, row)} for row in rows], seconds)
