"""Tests of the clocked benchmark: its program, its designs against models,
the NAND rebuild of flip-flops, and the drivers' cycle.

    build/venv/bin/python -m pytest -q bench/clocked
"""

from __future__ import annotations

import binascii
import json
import random
import shutil
import subprocess
import sys
from dataclasses import replace
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE / "programs" / "rv32"))

import asm  # noqa: E402
import build as rv32_build  # noqa: E402  (programs/rv32/build.py)
import icarus_tb  # noqa: E402
import stimulus  # noqa: E402
import synth  # noqa: E402
import verilator  # noqa: E402
from designs import DESIGNS, RESET_CYCLES, Design, Input, Output  # noqa: E402
from run import compare  # noqa: E402

needs_icarus = pytest.mark.skipif(shutil.which("iverilog") is None, reason="needs Icarus Verilog")
needs_yosys = pytest.mark.skipif(shutil.which("yosys") is None, reason="needs Yosys")
needs_verilator = pytest.mark.skipif(shutil.which("verilator") is None, reason="needs Verilator")
needs_host_cc = pytest.mark.skipif(shutil.which("cc") is None and shutil.which("gcc") is None,
                                   reason="needs a C compiler")

# ---------------------------------------------------------------- the program


def test_committed_rom_is_the_assembled_program() -> None:
    words = asm.assemble(asm.PROGRAM.read_text())
    assert asm.ROM.read_text() == asm.rom_verilog(words, "programs/sortcrc.s")


@pytest.mark.parametrize(
    "source, message",
    [
        ("x: nop\nx: nop", "label 'x' defined twice"),
        ("beq r1, r2, nowhere", "no label 'nowhere'"),
        ("add r1, r2, r8", "'r8' is not a register"),
        ("frob r1", "unknown instruction 'frob'"),
        ("addi r1, r1, 32", "32 does not fit 6 signed bits"),
        ("li r1, 0x10000", "65536 does not fit 16 bits"),
        ("ld r1, 4(r2", "not a memory operand"),
        ("add r1, r2", "'add' takes 3 operands"),
        ("far: nop\n" + "nop\n" * 40 + "beq r0, r0, far", "is -42 words away, beyond 6 signed bits"),
        ("nop\n" * 257, "the program has 257 words"),
        (".equ N\nnop", ".equ takes a name and a value"),
    ],
)
def test_assembler_refuses(source: str, message: str) -> None:
    with pytest.raises(asm.AsmError, match=message.replace("(", r"\(")):
        asm.assemble(source)


def _is_in(machine: asm.Machine) -> bool:
    insn = machine.rom[machine.pc]
    return insn >> 12 == 0xD and insn & 7 == 3


def _primes_below(n: int) -> set[int]:
    return {p for p in range(2, n) if all(p % d for d in range(2, p))}


@pytest.mark.parametrize("seed", [1, 2])
def test_program_sorts_checks_and_halts(seed: int) -> None:
    """The instruction-set model runs the program: each round's outputs are
    what Python computes from the words the program read (CRC-16-CCITT from
    binascii, not from the program's own algorithm)."""
    rounds = 3
    machine = asm.Machine(asm.assemble(asm.PROGRAM.read_text(), {"ROUNDS": rounds}))
    rng = random.Random(seed)
    machine.cycle(1, 1, 0)
    read: list[int] = []
    sent: list[int] = []
    for _ in range(200_000):
        run, word = int(rng.random() < 0.8), rng.getrandbits(16)
        if run and _is_in(machine):
            read.append(word)
        out = machine.cycle(0, run, word)
        if out["out_strobe"]:
            sent.append(out["out_port"])
        if out["halted"]:
            break
    assert machine.halted and len(read) == 16 * rounds
    primes = _primes_below(128)
    expected = []
    for r in range(rounds):
        words = sorted(read[16 * r:16 * (r + 1)])
        crc = binascii.crc_hqx(b"".join(w.to_bytes(2, "big") for w in words), 0xFFFF)
        expected += [r + 1, words[0], words[-1], crc, sum((w & 127) in primes for w in words)]
    assert sent == expected


# ---------------------------------------------------------------- inputs


def test_stimulus_holds_resets_and_matches_the_readmemb_lines() -> None:
    design = DESIGNS["periph"]
    data = stimulus.generate(design, 3, 50, seed=5)
    assert data == stimulus.generate(design, 3, 50, seed=5) != stimulus.generate(design, 3, 50, seed=6)
    ports = [(p.name, p.width) for p in design.inputs]
    width = design.input_bits
    for s in range(3):
        block = stimulus.sequence(data, design, 50, s)
        lines = stimulus.readmemb_lines(block, design, 50)
        for c in range(50):
            values = stimulus.port_values(block[c * width:(c + 1) * width], ports)
            line, pos = lines[c], 0
            for port in design.inputs:  # each port's field, most significant bit first
                assert int(line[pos:pos + port.width], 2) == values[port.name]
                pos += port.width
                if port.start is not None and c < RESET_CYCLES:
                    assert values[port.name] == port.start


def test_held_inputs_keep_one_value_per_sequence() -> None:
    design = DESIGNS["rv32sys"]
    sequences, cycles = 40, 30
    data = stimulus.generate(design, sequences, cycles, seed=3)
    ports, width = [(p.name, p.width) for p in design.inputs], design.input_bits
    seeds = []
    for s in range(sequences):
        block = stimulus.sequence(data, design, cycles, s)
        values = [stimulus.port_values(block[c * width:(c + 1) * width], ports) for c in range(cycles)]
        assert [v["rst"] for v in values] == [1] * RESET_CYCLES + [0] * (cycles - RESET_CYCLES)
        assert len({v["seed"] for v in values}) == 1
        seeds.append(values[0]["seed"])
    assert len(set(seeds)) == sequences


def test_draw_follows_its_probability() -> None:
    rng = random.Random(3)
    for p in (0.0, 0.0002, 0.3, 0.5, 0.995, 1.0):
        bits = stimulus.draw(rng, 200_000, p)
        assert set(bits) <= {0, 1}
        assert abs(sum(bits) / len(bits) - p) < 0.005


def test_compare_names_the_first_difference() -> None:
    design = Design("t", "t", (), (), (Output("a", 2), Output("b", 3)), "")
    reference = bytes([0, 1, 1, 1, 0] * 4)
    got = bytearray(reference)
    got[2 * 5 + 4] = 1  # cycle 2, b's bit 2
    assert compare(reference, reference, design, 4) is None
    assert compare(reference, bytes(got), design, 4) == "cycle 2, b: 111 where the reference has 011"
    assert compare(reference, bytes(got), design, 2) is None
    assert compare(reference, reference[:10], design, 4) == "only 2 of 4 cycles"


# ---------------------------------------------------------------- designs against models


@needs_icarus
@pytest.mark.parametrize("rounds", [1, 1000])
def test_risc16_rtl_follows_the_instruction_set_model(tmp_path: Path, rounds: int) -> None:
    """The RTL under the benchmark's Icarus testbench, cycle by cycle, against
    asm.Machine on the same inputs (rounds=1 reaches HALT)."""
    words = asm.assemble(asm.PROGRAM.read_text(), {"ROUNDS": rounds})
    (tmp_path / "rom.v").write_text(asm.rom_verilog(words, "test"))
    design = replace(DESIGNS["risc16"], sources=(str(HERE / "designs" / "risc16.v"), str(tmp_path / "rom.v")))
    cycles = 6000
    data = stimulus.generate(design, 1, cycles, seed=rounds)
    trace = _icarus(design, data, cycles, tmp_path)
    machine = asm.Machine(words)
    ports = [(p.name, p.width) for p in design.inputs]
    width = design.input_bits
    expected = bytearray()
    halted_at = None
    for c in range(cycles):
        v = stimulus.port_values(data[c * width:(c + 1) * width], ports)
        out = machine.cycle(v["rst"], v["run"], v["in_port"])
        if out["halted"] and halted_at is None:
            halted_at = c
        for port in design.outputs:
            expected += bytes((out[port.name] >> i) & 1 for i in range(port.width))
    assert compare(bytes(expected), trace, design, cycles) is None
    assert (halted_at is not None) == (rounds == 1)


# ---------------------------------------------------------------- rv32sys


def _with_seed(design: Design, data: bytes, cycles: int, seed: int) -> bytes:
    """One sequence of `data` with the input seed set to `seed` in every cycle."""
    width, column = design.input_bits, 0
    for port in design.inputs:
        if port.name == "seed":
            break
        column += port.width
    rows = bytearray(data)
    for c in range(cycles):
        rows[c * width + column:c * width + column + 32] = bytes((seed >> i) & 1 for i in range(32))
    return bytes(rows)


def _rv32_run(tmp_path: Path, seed: int, cycles: int, rom: list[int] | None = None) -> list[dict[str, int]]:
    """rv32sys's RTL under the benchmark's Icarus testbench: the outputs of every cycle."""
    design = DESIGNS["rv32sys"]
    if rom is None:
        shutil.copy(design.data_paths[0], tmp_path / "rv32sys_rom.hex")
    else:
        (tmp_path / "rv32sys_rom.hex").write_text(rv32_build.hex_text(rom + [0] * (1024 - len(rom))))
    data = _with_seed(design, stimulus.generate(design, 1, cycles, seed=1), cycles, seed)
    trace = _icarus(design, data, cycles, tmp_path)
    width = design.output_bits
    assert len(trace) == cycles * width and set(trace) <= {0, 1}  # no x or z after the reset
    outs = [(p.name, p.width) for p in design.outputs]
    return [stimulus.port_values(trace[c * width:(c + 1) * width], outs) for c in range(cycles)]


@needs_icarus
@needs_host_cc
@pytest.mark.parametrize("seed", [0xDE453231, 0, 0x80000000])
def test_rv32sys_writes_what_the_program_computes_on_the_host(tmp_path: Path, seed: int) -> None:
    """The committed ROM under Icarus writes, round after round, the words
    that main.c compiled for this machine prints (11 a round: the round,
    the smallest and largest word, CRC-32, primes, sieve sum, signed sums,
    comparisons, products, divisions, all of them mixed)."""
    cycles = 30_000
    rows = _rv32_run(tmp_path, seed, cycles)
    assert not any(r["trap"] for r in rows)
    written = [r["out"] for r in rows if r["out_valid"]]
    assert len(written) >= 22  # two rounds
    assert written == rv32_build.host_outputs(seed, len(written) // 11 + 1, tmp_path)[:len(written)]


# Hand-encoded RV32I words for the trap test.
_LUI_X2_IO = 0x80000137  # lui x2, 0x80000 (the output register)
_ADDI_X1_42 = 0x02A00093  # addi x1, x0, 42
_ADDI_X1_7 = 0x00700093  # addi x1, x0, 7
_SW_X1_X2 = 0x00112023  # sw x1, 0(x2)
_FENCE = 0x0FF0000F  # fence iorw, iorw


@needs_icarus
@pytest.mark.parametrize("word", [0x00000073, 0x00100073, 0x30001073, 0x40001033, 0x00000000, 0x00006003,
                                  0x02001013, 0x00003067])
def test_rv32sys_traps_on_what_it_does_not_execute(tmp_path: Path, word: int) -> None:
    """ecall, ebreak, csrrw, sll with funct7 0100000, a word whose low bits
    are not 11, a load with funct3 110, slli with funct7 1, jalr with funct3
    3: the core stops at that word's address with trap 1; what comes before
    it (a fence among them) has run, nothing after."""
    rom = [_LUI_X2_IO, _ADDI_X1_42, _FENCE, _SW_X1_X2, word, _ADDI_X1_7, _SW_X1_X2]
    rows = _rv32_run(tmp_path, 5, 40, rom)
    assert [r["out"] for r in rows if r["out_valid"]] == [42]
    first = next(c for c, r in enumerate(rows) if r["trap"])
    assert all(r["trap"] and r["pc"] == 16 for r in rows[first:])
    assert first < 20 and rows[-1]["out"] == 42


needs_cross = pytest.mark.skipif(shutil.which(rv32_build.CROSS + "gcc") is None,
                                 reason="needs gcc-riscv64-unknown-elf")


@needs_cross
def test_committed_rv32sys_rom_is_the_built_program(tmp_path: Path) -> None:
    words, _ = rv32_build.build(tmp_path)
    assert rv32_build.HEX.read_text() == rv32_build.hex_text(words)


def _icarus(design: Design, data: bytes, cycles: int, work: Path, sources: list[Path] | None = None,
            split: bool = False) -> bytes:
    (work / "stim.mem").write_text("\n".join(stimulus.readmemb_lines(data, design, cycles)) + "\n")
    (work / "tb.v").write_text(icarus_tb.testbench(design, "stim.mem", cycles, split))
    subprocess.run(["iverilog", "-o", "tb.vvp", "tb.v", *map(str, sources or design.paths)], cwd=work, check=True,
                   timeout=900)
    # A netlist that never settles keeps vvp in one time step for ever: the timeout ends that.
    done = subprocess.run(["vvp", "-n", "tb.vvp"], cwd=work, capture_output=True, text=True, check=True, timeout=900)
    return icarus_tb.trace(done.stdout, design)


# A small design with everything a driver has to get right: an asynchronous
# active-low reset, an enable, a falling-edge register, and an output wider
# than 64 bits.
_COUNTER = """
module counter (input clk, input rst_n, input en, input [3:0] d, output reg [7:0] q, output reg [7:0] low,
                output [69:0] wide);
  always @(posedge clk or negedge rst_n)
    if (!rst_n) q <= 8'd0;
    else if (en) q <= q + {4'd0, d};
  always @(negedge clk) low <= q ^ 8'h5a;
  assign wide = {q, 54'd0, low};
endmodule
"""


def _counter(path: Path) -> Design:
    path.write_text(_COUNTER)
    return Design("counter", "counter", (str(path),),
                  (Input("rst_n", 1, 0.9, start=0), Input("en", 1, 0.7), Input("d", 4)),
                  (Output("q", 8), Output("low", 8), Output("wide", 70)), "", negedge=True)


def _counter_model(design: Design, data: bytes, cycles: int) -> bytes:
    ports, width = [(p.name, p.width) for p in design.inputs], design.input_bits
    q, low, rows = 0, 0, bytearray()
    for c in range(cycles):
        v = stimulus.port_values(data[c * width:(c + 1) * width], ports)
        q = 0 if not v["rst_n"] else (q + v["d"]) & 0xFF if v["en"] else q
        low = q ^ 0x5A
        for value, bits in ((q, 8), (low, 8), ((q << 62) | low, 70)):
            rows += bytes((value >> i) & 1 for i in range(bits))
    return bytes(rows)


@needs_icarus
@needs_verilator
def test_drivers_cycle_like_the_model(tmp_path: Path) -> None:
    """Verilator's driver (two sequences one after the other) and Icarus's
    testbench give the model's outputs on every cycle."""
    design = _counter(tmp_path / "counter.v")
    cycles = 300
    data = stimulus.generate(design, 2, cycles, seed=9)
    model = _counter_model(design, data[:cycles * design.input_bits], cycles) + \
        _counter_model(design, data[cycles * design.input_bits:], cycles)
    made = verilator.build(design, "rtl", design.paths, tmp_path / "out", verilator.FLAGS, 900)
    assert made.binary is not None, made.error
    (tmp_path / "stim.bin").write_bytes(data)
    ran = subprocess.run([str(made.binary), "stim.bin", "2", str(cycles), "trace.bin", "0"], cwd=tmp_path,
                         capture_output=True, text=True, check=True, timeout=900)
    assert ran.stdout.split()[:2] == ["T", str(2 * cycles)]
    assert compare(model, (tmp_path / "trace.bin").read_bytes(), design, 2 * cycles) is None
    assert compare(model, _icarus(design, data, cycles, tmp_path), design, cycles) is None
    again = verilator.build(design, "rtl", design.paths, tmp_path / "out", verilator.FLAGS, 900)
    assert again.cached and again.binary == made.binary


# ---------------------------------------------------------------- flip-flops of NAND gates


_MAC = """
module mac (input clk, input rst, input en, input [3:0] a, output reg [7:0] acc, output reg [3:0] last);
  always @(posedge clk) begin
    if (rst) begin acc <= 8'd0; last <= 4'd0; end
    else if (en) begin acc <= acc + {4'd0, a} * {4'd0, last}; last <= a; end
  end
endmodule
"""


def _mac(tmp_path: Path, text: str = _MAC, flavour: str = "nand") -> Design:
    (tmp_path / "mac.v").write_text(text)
    return Design("mac", "mac", (str(tmp_path / "mac.v"),),
                  (Input("rst", 1, 0.05, start=1), Input("en", 1, 0.8), Input("a", 4)),
                  (Output("acc", 8), Output("last", 4)), "", flavour=flavour)


def _mac_model(design: Design, data: bytes, cycles: int) -> bytes:
    ports, width = [(p.name, p.width) for p in design.inputs], design.input_bits
    acc = last = 0
    rows = bytearray()
    for c in range(cycles):
        v = stimulus.port_values(data[c * width:(c + 1) * width], ports)
        if v["rst"]:
            acc = last = 0
        elif v["en"]:
            acc, last = (acc + v["a"] * last) & 0xFF, v["a"]
        rows += bytes((acc >> i) & 1 for i in range(8)) + bytes((last >> i) & 1 for i in range(4))
    return bytes(rows)


def _shuffled(ir_text: str, seed: int) -> str:
    doc = json.loads(ir_text)
    random.Random(seed).shuffle(doc["component"]["busses"])
    return json.dumps(doc)


@needs_yosys
@pytest.mark.parametrize("order", [None, 1, 2, 3])
def test_nand_latches_give_the_registers_in_any_evaluation_order(tmp_path: Path, order: int | None) -> None:
    """The rebuilt netlist, imported into nimbo with its busses in the
    importer's order or shuffled (another evaluation order), four updates per
    cycle, gives what the flip-flops would on every cycle."""
    from nimbo import Simulator
    from nimbo.ports import ports_from_text
    from nimbo.verilog.yosys import import_text

    design = _mac(tmp_path)
    netlist = synth.synthesize(design, tmp_path / "out")
    assert netlist.flip_flops == 12 and netlist.split_path is not None
    assert netlist.cell_types.get("$_NAND_", 0) >= 8 * 12 and synth.flip_flops(netlist.cell_types) == 0
    text = import_text(netlist.json_path.read_text(), design.top).text()
    ports = ports_from_text(text)
    sim = Simulator(text if order is None else _shuffled(text, order))
    cycles = 300
    data = stimulus.generate(design, 1, cycles, seed=4)
    in_ids = [b for p in design.inputs for b in ports[p.name].bits]
    out_ids = [b for p in design.outputs for b in ports[p.name].bits]
    width, trace = design.input_bits, bytearray()
    for c in range(cycles):
        row = data[c * width:(c + 1) * width]
        sim.update({**{i: str(b) for i, b in zip(in_ids, row)}, "phi1": "1"})
        for change in ({"phi1": "0"}, {"phi2": "1"}, {"phi2": "0"}):
            sim.update(change)
        values = sim.values(out_ids)
        trace += bytes(int(values[i]) for i in out_ids)
    assert compare(_mac_model(design, data, cycles), bytes(trace), design, cycles) is None


@needs_yosys
@needs_icarus
def test_icarus_runs_the_split_nand_netlist_like_the_model(tmp_path: Path) -> None:
    design = _mac(tmp_path)
    netlist = synth.synthesize(design, tmp_path / "out")
    cycles = 200
    data = stimulus.generate(design, 1, cycles, seed=8)
    assert netlist.split_path is not None
    got = _icarus(design, data, cycles, tmp_path, [netlist.split_path], split=True)
    assert compare(_mac_model(design, data, cycles), got, design, cycles) is None


@needs_yosys
def test_two_phase_refuses_a_flip_flop_on_the_falling_edge(tmp_path: Path) -> None:
    design = _mac(tmp_path, _MAC.replace("posedge clk", "negedge clk"))
    with pytest.raises(synth.ConversionError, match=r"is not a \$_DFF_P_ on clk"):
        synth.synthesize(design, tmp_path / "out")


# ---------------------------------------------------------------- nimbo's side


def _job(tmp_path: Path, design: Design, mode: str, ir: Path, data: bytes, sequences: int, cycles: int) -> dict:
    (tmp_path / "stim.bin").write_bytes(data)
    return {"mode": mode, "ir": str(ir), "phases": ["phi1", "phi2"] if design.flavour == "nand" else [],
            "inputs": [p.name for p in design.inputs], "outputs": [p.name for p in design.outputs],
            "stimulus": str(tmp_path / "stim.bin"), "sequences": sequences, "cycles": cycles,
            "trace": str(tmp_path / f"{mode}.bin"), "min_seconds": 0.0, "max_seconds": 1.0}


@needs_yosys
@pytest.mark.parametrize("mode", ["update4", "bits4"])
def test_nimbo_side_runs_the_nand_netlist(tmp_path: Path, mode: str) -> None:
    import nimbo_side

    design = _mac(tmp_path)
    netlist = synth.synthesize(design, tmp_path / "out")
    error, _ = nimbo_side.import_ir([netlist.json_path], design.top, tmp_path / "ir.json")
    assert error is None
    cycles = 120
    data = stimulus.generate(design, 1, cycles, seed=2)
    figures = nimbo_side.run_job(_job(tmp_path, design, mode, tmp_path / "ir.json", data, 1, cycles))
    assert figures["cycles"] >= cycles
    got = (tmp_path / f"{mode}.bin").read_bytes()
    assert compare(_mac_model(design, data, cycles), got, design, cycles) is None


class _SteppedMac:
    """The mac design behind the stepping calls nimbo_side makes (step,
    values, run_bits, run_jsonl, run_sequences), each vector one cycle."""

    def __init__(self, text: str) -> None:
        self.acc = self.last = 0

    def _cycle(self, bits: dict[str, str]) -> None:
        a = sum(int(bits[f"a[{i}]"]) << i for i in range(4))
        if bits["rst"] == "1":
            self.acc = self.last = 0
        elif bits["en"] == "1":
            self.acc, self.last = (self.acc + a * self.last) & 0xFF, a

    def step(self, inputs: dict[str, str]) -> None:
        self._cycle(inputs)

    def values(self, ids: list[str]) -> dict[str, str]:
        bits = {f"acc[{i}]": (self.acc >> i) & 1 for i in range(8)} | {f"last[{i}]": (self.last >> i) & 1 for i in range(4)}
        return {i: str(bits[i]) for i in ids}

    def _rows(self, inputs: list[str], rows: list[bytes], outputs: list[str]) -> bytes:
        out = bytearray()
        for row in rows:
            self._cycle({i: str(b) for i, b in zip(inputs, row)})
            out += bytes(int(v) for v in self.values(outputs).values())
        return bytes(out)

    def run_bits(self, inputs: list[str], data: memoryview, outputs: list[str]) -> memoryview:
        rows = [bytes(r) for r in data.tolist()]
        return memoryview(self._rows(inputs, rows, outputs)).cast("B", (len(rows), len(outputs)))

    def run_jsonl(self, block: bytes, show: list[str]) -> tuple[list[tuple[str, ...]], list]:
        values = []
        for line in block.decode().splitlines():
            self._cycle(json.loads(line))
            values.append(tuple(self.values(show).values()))
        return values, []

    def run_sequences(self, inputs: list[str], data: memoryview, outputs: list[str]) -> memoryview:
        saved, out = (self.acc, self.last), bytearray()
        for sequence in data.tolist():
            self.acc, self.last = saved
            out += self._rows(inputs, [bytes(r) for r in sequence], outputs)
        self.acc, self.last = saved
        return memoryview(bytes(out)).cast("B", (data.shape[0], data.shape[1], len(outputs)))


@pytest.mark.parametrize("mode, sequences", [("step", 1), ("run_bits", 1), ("run_jsonl", 1), ("lanes", 3)])
def test_nimbo_side_writes_the_trace_of_each_stepping_mode(tmp_path: Path, monkeypatch, mode: str,
                                                           sequences: int) -> None:
    """The stepping calls' results (here from a stand-in for nimbo.Simulator)
    become trace rows in the order the other simulators write them."""
    import nimbo
    import nimbo_side

    design = _mac(tmp_path, flavour="registers")
    ports = {p.name: {"direction": "input", "bits": [f"{p.name}[{i}]" for i in range(p.width)] if p.width > 1
                      else [p.name]} for p in design.inputs}
    ports |= {p.name: {"direction": "output", "bits": [f"{p.name}[{i}]" for i in range(p.width)]}
              for p in design.outputs}
    (tmp_path / "ir.json").write_text(json.dumps({"component": {"id": "mac", "busses": [], "ports": ports}}))
    monkeypatch.setattr(nimbo, "Simulator", _SteppedMac, raising=False)
    cycles = 40
    data = stimulus.generate(design, sequences, cycles, seed=6)
    figures = nimbo_side.run_job(_job(tmp_path, design, mode, tmp_path / "ir.json", data, sequences, cycles))
    assert "error" not in figures
    size = cycles * design.input_bits
    expected = b"".join(_mac_model(design, data[s * size:(s + 1) * size], cycles) for s in range(sequences))
    assert compare(expected, (tmp_path / f"{mode}.bin").read_bytes(), design, sequences * cycles) is None


def test_nimbo_side_says_which_stepping_call_is_missing(tmp_path: Path, monkeypatch) -> None:
    import nimbo
    import nimbo_side

    class Plain:  # a Simulator without the stepping calls
        def __init__(self, text: str) -> None:
            pass

    monkeypatch.setattr(nimbo, "Simulator", Plain, raising=False)
    design = _mac(tmp_path, flavour="registers")
    for mode, missing in (("step", "step"), ("lanes", "run_sequences")):
        job = _job(tmp_path, design, mode, tmp_path / "ir.json", b"", 1, 1)
        assert nimbo_side.run_job(job) == {"error": f"nimbo.Simulator has no {missing}() yet"}
