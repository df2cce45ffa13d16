"""Running a Verilog module with ports under Icarus Verilog.

Used to check imported netlists against the original design: the same port
values (nimbo's port form: element 0 = bit 0, the least significant bit)
go to the module through a generated testbench, and the output ports come
back in the same form.
"""

from __future__ import annotations

import subprocess
import time
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from pathlib import Path

from .ports import Port


@dataclass
class IcarusRun:
    outputs: list[dict[str, str]]  # the first `shown` vectors' output port values
    seconds: float  # wall time of the vector loop (between the START and DONE lines)


def testbench(module: str, ports: Sequence[Port], vector_file: str, count: int, shown: int) -> str:
    """A testbench that applies `count` lines of `vector_file` ($readmemb,
    input ports concatenated in order, most significant bit first) one by
    one and prints the output ports of the first `shown` as ``V k bits...``."""
    ins = [p for p in ports if p.direction == "input"]
    outs = [p for p in ports if p.direction == "output"]
    total = max(1, sum(len(p.bits) for p in ins))
    lines = ["`timescale 1ns/1ns", "module nimbo_tb;", f"  reg [{total - 1}:0] mem [0:{max(count, 1) - 1}];", "  integer n, k;"]
    lines += [f"  reg [{len(p.bits) - 1}:0] i_{p.name};" for p in ins]
    lines += [f"  wire [{len(p.bits) - 1}:0] o_{p.name};" for p in outs]
    conns = [f".{p.name}(i_{p.name})" for p in ins] + [f".{p.name}(o_{p.name})" for p in outs]
    lines.append(f"  {module} dut ({', '.join(conns)});")
    fmt = " ".join(["%b"] * len(outs))
    show = f'$display("V %0d {fmt}", k, {", ".join("o_" + p.name for p in outs)});' if outs else '$display("V %0d", k);'
    apply = "{" + ", ".join(f"i_{p.name}" for p in ins) + "} = mem[k];" if ins else ""
    lines += [
        "  initial begin",
        f"    n = {count};",
        f'    if (n > 0) $readmemb("{vector_file}", mem, 0, n - 1);',
        '    $display("START"); $fflush;',
        "    for (k = 0; k < n; k = k + 1) begin",
        f"      {apply}",
        "      #1;",
        f"      if (k < {shown}) {show}",
        "    end",
        '    $display("DONE"); $fflush;',
        "    $finish;",
        "  end",
        "endmodule",
    ]
    return "\n".join(lines) + "\n"


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
) -> IcarusRun:
    """Compiles `sources` with a testbench for `module` and applies `vectors`
    (port name to port value); returns the output port values per vector."""
    order = list(ports.values())
    shown = len(vectors) if shown is None else shown
    (workdir / "vectors.mem").write_text("".join(vector_line(order, v) + "\n" for v in vectors))
    (workdir / "nimbo_tb.v").write_text(testbench(module, order, "vectors.mem", len(vectors), shown))
    binary = workdir / "nimbo_tb.vvp"
    compiled = subprocess.run(
        ["iverilog", "-g2012", "-o", str(binary), str(workdir / "nimbo_tb.v"), *[str(s) for s in sources]],
        capture_output=True,
        text=True,
    )
    if compiled.returncode != 0:
        raise RuntimeError(f"iverilog failed: {compiled.stderr.strip()}")
    start = time.perf_counter()
    proc = subprocess.Popen(["vvp", "-n", str(binary)], cwd=workdir, stdout=subprocess.PIPE, text=True)
    assert proc.stdout is not None
    marks: dict[str, float] = {}
    rows: list[list[str]] = []
    for line in proc.stdout:
        word = line.strip()
        if word in ("START", "DONE"):
            marks[word] = time.perf_counter()
        elif word.startswith("V "):
            rows.append(word.split()[2:])
    if proc.wait() != 0:
        raise RuntimeError(f"vvp failed with status {proc.returncode}")
    outs = [p for p in order if p.direction == "output"]
    values = [{p.name: bits[::-1] for p, bits in zip(outs, row)} for row in rows]
    return IcarusRun(values, marks.get("DONE", 0.0) - marks.get("START", 0.0))
