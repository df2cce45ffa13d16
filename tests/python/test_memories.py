"""Memories: the plain model (clocked_model.py) against the same memories
mapped to registers and logic by Yosys's memory_map (the importer's form
without kept memories), cycle by cycle on every output, word and register;
the ROM of $readmemh, a processor's memories, and the importer's choices
(test_imported_designs.py runs designs with kept memories against Icarus)."""

import io
import json
import random
import shutil
import subprocess
from pathlib import Path

import pytest

from clocked_model import ClockedModel, word_bits

from nimbo.ir import build_document, gate, init_runs, initial_words, ref
from nimbo.ports import expand_inputs, port_values
from nimbo.verilog.yosys import ImportFailure, import_netlist, import_text, run_yosys, synthesize
from nimbo.verilog.yosys_log import Message

DESIGNS = Path(__file__).resolve().parent / "designs"
needs_yosys = pytest.mark.skipif(shutil.which("yosys") is None, reason="yosys is not installed")


# ---------------------------------------------------------------- random memory cells


class Netlist:
    """A Yosys JSON module of input and output ports around one $mem_v2 cell."""

    def __init__(self) -> None:
        self.next_net = 2
        self.ports: dict[str, dict] = {}
        self.inputs: dict[str, int] = {}  # input port -> width

    def port(self, name: str, width: int, direction: str = "input") -> list[int]:
        bits = list(range(self.next_net, self.next_net + width))
        self.next_net += width
        self.ports[name] = {"direction": direction, "bits": bits}
        if direction == "input":
            self.inputs[name] = width
        return bits


def bits_param(flags: list[int]) -> str:
    """A packed parameter from its bits, element 0 first."""
    return "".join(str(f) for f in reversed(flags)) or "0"


def random_memory(rng: random.Random) -> tuple[dict, dict]:
    """A Yosys JSON netlist with one random memory cell, and what the
    stimulus needs: {"inputs", "read_ranges" (address range per read
    address port), "clocks"}. Only what memory_map can map exactly: write
    ports of one clock and edge, read ports with one kind of reset at most,
    read addresses inside the memory."""
    net = Netlist()
    abits = rng.randint(1, 4)
    size = rng.choice([1 << abits, rng.randint((1 << (abits - 1)) + 1, 1 << abits)])
    offset = rng.choice([0, 0, rng.randint(1, 5)])
    abits = max(abits, (offset + size - 1).bit_length())
    width = rng.choice([1, 3, 8, 13])
    clocks = {"clk": net.port("clk", 1)[0]}
    if rng.randrange(2):
        clocks["clk2"] = net.port("clk2", 1)[0]
    write_clock, write_posedge = rng.choice(list(clocks)), rng.randrange(3) > 0
    n_writes = rng.randint(0, 3)
    n_reads = rng.randint(1, 3)
    params: dict[str, object] = {
        "MEMID": "\\mem", "SIZE": size, "OFFSET": offset, "ABITS": abits, "WIDTH": width,
        "RD_PORTS": n_reads, "WR_PORTS": n_writes,
        "INIT": "".join(rng.choice("01") if rng.randrange(6) else "x" for _ in range(size * width)),
    }  # fmt: skip
    conn: dict[str, list] = {k: [] for k in ("RD_CLK", "RD_EN", "RD_ARST", "RD_SRST", "RD_ADDR", "RD_DATA",
                                             "WR_CLK", "WR_EN", "WR_ADDR", "WR_DATA")}  # fmt: skip
    writes = []
    for w in range(n_writes):
        conn["WR_CLK"].append(clocks[write_clock])
        conn["WR_ADDR"] += net.port(f"wa{w}", abits)
        conn["WR_DATA"] += net.port(f"wd{w}", width)
        kind = rng.choice(["one", "groups", "bits", "const"])
        if kind == "const":
            conn["WR_EN"] += ["1"] * width
        else:
            groups = {"one": 1, "groups": max(1, width // 4), "bits": width}[kind]
            enables = net.port(f"we{w}", groups)
            conn["WR_EN"] += [enables[b * groups // width] for b in range(width)]
        writes.append((write_clock, write_posedge))
    priority = [int(j > i and rng.randrange(4) > 0) for j in range(n_writes) for i in range(n_writes)]
    params.update(WR_CLK_ENABLE=bits_param([1] * n_writes), WR_CLK_POLARITY=bits_param([int(write_posedge)] * n_writes),
                  WR_PRIORITY_MASK=bits_param(priority), WR_WIDE_CONTINUATION=bits_param([0] * n_writes))  # fmt: skip
    read = {k: [] for k in ("clk", "pol", "ce_over", "trans", "arst_v", "srst_v", "init_v")}
    ranges = {}
    for r in range(n_reads):
        synchronous = rng.randrange(3) > 0
        clock, posedge = rng.choice(list(clocks)), rng.randrange(3) > 0
        conn["RD_ADDR"] += net.port(f"ra{r}", abits)
        ranges[f"ra{r}"] = (offset, offset + size - 1)
        conn["RD_DATA"] += net.port(f"rd{r}", width, "output")
        one = lambda name: net.port(name, 1)[0]  # noqa: E731
        enable = one(f"re{r}") if synchronous and rng.randrange(2) else "1"
        reset = rng.choice(["none", "arst", "srst"]) if synchronous else "none"
        conn["RD_CLK"].append(clocks[clock] if synchronous else "x")
        conn["RD_EN"].append(enable)
        conn["RD_ARST"].append(one(f"rr{r}") if reset == "arst" else "0")
        conn["RD_SRST"].append(one(f"rs{r}") if reset == "srst" else "0")
        read["clk"].append(int(synchronous))
        read["pol"].append(int(posedge))
        read["ce_over"].append(int(reset == "srst" and enable != "1" and rng.randrange(2) == 0))
        same_domain = synchronous and (clock, posedge) == (write_clock, write_posedge)
        read["trans"] += [int(same_domain and rng.randrange(2) == 0) for _ in range(n_writes)]
        for key in ("arst_v", "srst_v"):
            read[key] += [rng.randrange(2) for _ in range(width)]
        init = [rng.randrange(2) for _ in range(width)] if rng.randrange(2) else ["x"] * width
        read["init_v"] += init
    params.update(
        RD_CLK_ENABLE=bits_param(read["clk"]), RD_CLK_POLARITY=bits_param(read["pol"]),
        RD_CE_OVER_SRST=bits_param(read["ce_over"]), RD_TRANSPARENCY_MASK=bits_param(read["trans"]),
        RD_COLLISION_X_MASK=bits_param([0] * (n_reads * n_writes)),
        RD_WIDE_CONTINUATION=bits_param([0] * n_reads), RD_ARST_VALUE=bits_param(read["arst_v"]),
        RD_SRST_VALUE=bits_param(read["srst_v"]), RD_INIT_VALUE=bits_param(read["init_v"]),
    )  # fmt: skip
    parameters = {k: (format(v, "032b") if isinstance(v, int) else v) for k, v in params.items()}
    cell = {"type": "$mem_v2", "parameters": parameters, "connections": conn}
    netnames = {name: {"bits": port["bits"]} for name, port in net.ports.items()}
    module = {"attributes": {"top": "1"}, "ports": net.ports, "cells": {"mem": cell}, "netnames": netnames}
    return {"modules": {"top": module}}, {"inputs": net.inputs, "read_ranges": ranges, "clocks": set(clocks)}


def through_yosys(netlist: dict, commands: str, tmp_path: Path) -> str:
    (tmp_path / "in.json").write_text(json.dumps(netlist))
    script = f"read_json in.json; hierarchy -top top; {commands}; opt_clean; write_json out.json"
    subprocess.run(["yosys", "-q", "-p", script], cwd=tmp_path, check=True, capture_output=True)
    return (tmp_path / "out.json").read_text()


def stimulus(rng: random.Random, shape: dict) -> dict[str, str]:
    vector = {}
    for name, width in shape["inputs"].items():
        if name in shape["clocks"]:
            continue
        if name in shape["read_ranges"]:
            low, high = shape["read_ranges"][name]
            value = rng.randint(low, high)
        elif name.startswith(("rr", "rs")):  # resets now and then
            value = int(rng.random() < 0.15)
        else:
            value = rng.getrandbits(width)
        vector[name] = format(value, f"0{width}b")[::-1]
    return vector


def word_busses(values: dict[str, str], address: int, width: int) -> str | None:
    """A word of the mapped memory as its register busses show it, or None."""
    if width == 1:
        return values.get(f"mem[{address}]")
    bits = [values.get(f"mem[{address}][{b}]") for b in range(width)]
    return None if None in bits else "".join(bits)  # type: ignore[arg-type]


@needs_yosys
@pytest.mark.parametrize("seed", range(80))
def test_kept_memories_step_like_their_mapped_form(seed, tmp_path):
    from nimbo import Simulator

    rng = random.Random(seed)
    netlist, shape = random_memory(rng)
    kept = import_text(through_yosys(netlist, "techmap", tmp_path), memories="keep")
    mapped = import_text(through_yosys(netlist, "memory_map; techmap", tmp_path))
    assert len(kept.memories) == 1 and not mapped.memories
    model = ClockedModel(kept.text())
    simulator = Simulator(mapped.text())
    engine = Simulator(kept.text())
    memory = model.memories[0]
    outputs = {n: p for n, p in kept.ports.items() if p.direction == "output"}
    for cycle in range(40):
        vector = stimulus(rng, shape)
        got = port_values(outputs, model.step(expand_inputs(kept.ports, vector)))
        simulator.step(expand_inputs(mapped.ports, vector))
        engine.step(expand_inputs(kept.ports, vector))
        values = simulator.values()
        assert got == port_values(outputs, values), f"cycle {cycle}: {vector}"
        assert engine.values() == model.values(), f"cycle {cycle}: {vector}"
        assert engine.memory(memory.name) == memory.contents
        for index, word in enumerate(memory.contents):
            shown = word_busses(values, memory.offset + index, memory.width)
            assert shown in (None, word_bits(word, memory.width)), f"cycle {cycle}: word {index}"


# ---------------------------------------------------------------- imported designs with kept memories

ROM_WORDS = [0x3F, 0x00, 0xA7, 0x11, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x42]


def readmemh_rom(folder: Path) -> Path:
    """A ROM of 16 words of 8 bits filled by $readmemh (the words past the
    file start at x), read synchronously and asynchronously."""
    (folder / "rom.hex").write_text("".join(f"{word:02x}\n" for word in ROM_WORDS))
    source = folder / "rom.v"
    source.write_text(f"""module rom(input clk, input [3:0] addr, output reg [7:0] q, output [7:0] peek);
  reg [7:0] words [0:15];
  initial begin
    $readmemh("{folder / 'rom.hex'}", words);
    q = 8'd0;
  end
  always @(posedge clk) q <= words[addr];
  assign peek = words[addr];
endmodule
""")
    return source


def agrees(got: dict[str, str], expected: dict[str, str]) -> bool:
    """Port values equal, where Verilog's x reads as nimbo's 0 (memory words
    without an initial value)."""
    return got.keys() == expected.keys() and all(
        len(got[k]) == len(expected[k]) and all(g == e or (e == "x" and g == "0") for g, e in zip(got[k], expected[k]))
        for k in got
    )


@needs_yosys
def test_a_processor_with_kept_memories_runs_like_its_mapped_form():
    """risc16 of the clocked benchmark: its data RAM and program ROM kept
    (the full flow) against both mapped (the light flow, quicker), from
    power-up, its program running."""
    from nimbo import Simulator

    folder = Path(__file__).resolve().parents[2] / "bench" / "clocked" / "designs"
    sources = [str(folder / "risc16.v"), str(folder / "risc16_rom.v")]
    kept = import_text(synthesize(sources, "risc16", flow="full", memories="keep"), memories="keep")
    mapped = import_text(synthesize(sources, "risc16", flow="light"))
    assert sorted((m["words"], m["width"], len(m["write_ports"])) for m in kept.memories) == [(128, 16, 0), (256, 16, 1)]
    model = ClockedModel(kept.text())
    simulator = Simulator(mapped.text())
    engine = Simulator(kept.text())
    outputs = {n: p for n, p in kept.ports.items() if p.direction == "output"}
    rng = random.Random(16)
    steps = []
    for cycle in range(300):
        vector = {"rst": "0", "run": "1", "in_port": format(rng.getrandbits(16), "016b")}
        steps.append(expand_inputs(kept.ports, vector))
        got = port_values(outputs, model.step(steps[-1]))
        simulator.step(expand_inputs(mapped.ports, vector))
        engine.step(steps[-1])
        assert got == port_values(outputs, simulator.values()), f"cycle {cycle}"
        assert engine.values() == model.values(), f"cycle {cycle}"
    (ram,) = [memory for memory in model.memories if memory.write_ports]
    assert sum(word != 0 for word in ram.contents) > 10  # the program stored words
    assert engine.memory(ram.name) == ram.contents
    # The same cycles in lanes, each lane with its own words.
    engine.reset()
    show = [bit for port in outputs.values() for bit in port.bits]
    lines = "\n".join(json.dumps(step) for step in steps).encode()
    engine_rows = [port_values(outputs, row) for row in engine.run(steps, show)]
    engine.reset()
    for values, unknown, error in engine.run_sequences_jsonl([lines] * 65, show):
        assert (unknown, error) == ([], None)
        assert [port_values(outputs, dict(zip(show, row))) for row in values] == engine_rows


@needs_yosys
def test_a_readmemh_rom_keeps_its_words_compactly(tmp_path):
    imported = import_text(synthesize([str(readmemh_rom(tmp_path))], "rom", memories="keep"), memories="keep")
    (memory,) = imported.memories
    assert memory["init"] == [
        {"word": 0, "values": ["3f", "0", "a7", "11"]},
        {"word": 4, "values": ["ff"], "repeat": 5},
        {"word": 9, "values": ["42"]},
    ]
    assert initial_words(memory) == ROM_WORDS + [0] * 6
    (finding,) = [f for f in imported.findings if "memor" in f.text]
    assert finding.text.startswith("1 memory without initial contents starts at 0 in every word (nimbo is two-state; "
                                   "Verilog starts it at x): 'words' (")


# ---------------------------------------------------------------- the importer's choices


def small_memory(**parameters: str) -> dict:
    """A netlist of 4 words of 2 bits: a synchronous read port and a write
    port on clk, with `parameters` replacing the cell's."""
    net = Netlist()
    clk = net.port("clk", 1)
    conn = {"RD_CLK": clk, "RD_EN": ["1"], "RD_ARST": ["0"], "RD_SRST": ["0"], "RD_ADDR": net.port("ra", 2),
            "RD_DATA": net.port("q", 2, "output"), "WR_CLK": clk, "WR_EN": net.port("we", 1) * 2,
            "WR_ADDR": net.port("wa", 2), "WR_DATA": net.port("wd", 2)}  # fmt: skip
    params = {"MEMID": "\\ram", "SIZE": format(4, "032b"), "OFFSET": "0" * 32, "ABITS": format(2, "032b"),
              "WIDTH": format(2, "032b"), "INIT": "xxxxxxxx", "RD_PORTS": format(1, "032b"),
              "WR_PORTS": format(1, "032b"), "RD_CLK_ENABLE": "1", "RD_CLK_POLARITY": "1", "RD_CE_OVER_SRST": "0",
              "RD_TRANSPARENCY_MASK": "0", "RD_COLLISION_X_MASK": "0", "RD_WIDE_CONTINUATION": "0",
              "RD_ARST_VALUE": "00", "RD_SRST_VALUE": "00", "RD_INIT_VALUE": "xx", "WR_CLK_ENABLE": "1",
              "WR_CLK_POLARITY": "1", "WR_PRIORITY_MASK": "0", "WR_WIDE_CONTINUATION": "0"}  # fmt: skip
    params.update(parameters)
    cell = {"type": "$mem_v2", "parameters": params, "connections": conn, "attributes": {"src": "top.v:3.3-3.20"}}
    return {"modules": {"top": {"ports": net.ports, "cells": {"ram": cell}, "netnames": {}}}}


@pytest.mark.parametrize(
    "parameters, reason",
    [
        ({}, None),
        ({"WR_CLK_ENABLE": "0"}, "its write port 0 has no clock"),
        ({"RD_COLLISION_X_MASK": "1"}, "its read port 0 returns x when write port 0 writes the same address"),
        ({"RD_WIDE_CONTINUATION": "1"}, "it has wide ports"),
        ({"WIDTH": format(3, "032b")}, "its RD_DATA connection does not have 3 bits"),
    ],
)
def test_memory_cells_that_cannot_stay_memories_are_refused_from_a_netlist(parameters, reason):
    netlist = small_memory(**parameters)
    if reason is None:
        (memory,) = import_netlist(netlist, memories="keep").memories
        assert memory["read_ports"][0]["clock"] == "clk" and memory["write_ports"][0]["enable"] == ["we", "we"]
        unmapped = r"memory 'ram' \(top.v:3\) \(type \$mem_v2\) is a memory left unmapped"
        with pytest.raises(ImportFailure, match=unmapped):
            import_netlist(netlist, memories="map")  # memory cells are refused as before
        return
    with pytest.raises(ImportFailure) as refused:
        import_netlist(netlist, memories="keep")
    assert str(refused.value).startswith(f"memory 'ram' (top.v:3) cannot be kept as a memory: {reason}")
    assert str(refused.value).endswith("(memory_map, or import the Verilog with --memories map)")


def test_the_memories_mode_is_one_of_two():
    with pytest.raises(ImportFailure, match=r"unknown memories mode 'kept' \(choose from map, keep\)"):
        import_netlist(small_memory(), memories="kept")
    with pytest.raises(ImportFailure, match="unknown memories mode"):
        run_yosys([str(DESIGNS / "ram.v")], memories="")


@needs_yosys
def test_only_the_memories_that_cannot_stay_are_mapped_with_a_note(tmp_path):
    source = tmp_path / "two.v"
    source.write_text("""module two(input clk, input we, input [3:0] a, input [7:0] d,
           output reg [7:0] q, output [7:0] p);
  (* no_rw_check *) reg [7:0] loose [0:15];
  reg [7:0] kept [0:15];
  always @(posedge clk) begin
    if (we) loose[a] <= d;
    if (we) kept[a] <= d;
    q <= loose[a];
  end
  assign p = kept[a];
endmodule
""")
    synthesis = run_yosys([str(source)], memories="keep")
    assert [f for f in synthesis.findings if f.note] == [Message(
        f"{source}:3", "memory 'loose' is imported as registers and logic: its read port 0 returns x when write port 0 "
        "writes the same address at the same edge (no_rw_check)", note=True,
    )]  # fmt: skip
    imported = import_text(synthesis.netlist, memories="keep")
    assert [m["name"] for m in imported.memories] == ["kept"]
    assert len(imported.registers) >= 16 * 8  # the words of 'loose'


@needs_yosys
@pytest.mark.parametrize(
    "declaration, body, reads, mapped",
    [
        # Every read at a fixed address, written on one clock: mapped.
        ("reg [3:0] mem [0:3];", "always @(posedge clk) if (we) mem[a] <= d;", "mem[0] ^ mem[3]", True),
        ("reg [3:0] mem [0:3];", "always @(posedge clk) if (we) mem[a] <= d;", "mem[1] ^ mem[a]", False),
        ("reg [63:0] mem [0:127];", "always @(posedge clk) if (we) mem[a] <= {16{d}};", "mem[5][3:0]", False),
        ("reg [3:0] mem [0:3];", "always @(posedge clk) if (we) mem[a] <= d;\n  always @(negedge clk) "
         "if (!we) mem[~a] <= d;", "mem[2]", False),
        ("reg [3:0] mem [0:3]; reg [3:0] r;", "always @(posedge clk) begin if (we) mem[a] <= d; r <= mem[2]; end",
         "r", False),
    ],
    ids=["fixed reads", "one read by address", "too large", "two edges", "registered read"],
)
def test_memories_read_only_at_fixed_addresses_are_mapped_with_a_note(declaration, body, reads, mapped, tmp_path):
    source = tmp_path / "bank.v"
    source.write_text(f"""module bank(input clk, input we, input [1:0] a, input [3:0] d, output [3:0] q);
  {declaration}
  {body}
  assign q = {reads};
endmodule
""")
    synthesis = run_yosys([str(source)], memories="keep")
    notes = [f.text for f in synthesis.findings if f.note]
    kept = [m["name"] for m in import_text(synthesis.netlist, memories="keep").memories]
    if mapped:
        assert notes == ["memory 'mem' is imported as registers and logic: every read port reads a fixed address, so "
                         "its words are registers read directly"]
        assert kept == []
    else:
        assert (notes, kept) == ([], ["mem"])


@needs_yosys
@pytest.mark.parametrize(
    "body, message",
    [
        ("reg div; always @(posedge clk) div <= ~div; always @(posedge div) if (we) mem[a] <= d;",
         "memory 'mem' (m.v:2) is clocked by 'div', which is not an input port; nimbo clocks memories only from "
         "input ports"),
        ("always @(posedge clk) if (clk ^ we) mem[a] <= d;",
         "memory 'mem' (m.v:2) takes the clock 'clk' into the enable of its write port 0: at the edge Verilog "
         "sees the clock's new value"),
    ],
)
def test_memories_a_step_cannot_reproduce_are_refused(body, message, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)  # messages name the source as given
    (tmp_path / "m.v").write_text(f"""module m(input clk, input we, input [1:0] a, input [3:0] d, output [3:0] q);
  reg [3:0] mem [0:3];
  {body}
  assign q = mem[a];
endmodule
""")
    netlist = synthesize(["m.v"], memories="keep")
    with pytest.raises(ImportFailure) as refused:
        import_text(netlist, memories="keep")
    assert str(refused.value).startswith(message)


# ---------------------------------------------------------------- the records, the simulator and nimbo.core

MEMORY_BUSSES = [("clk", "0", None), ("we", "0", None), ("a", "00", None), ("d", "101", None), ("q", "000", None),
                 ("n", "000", gate("not", ref("q")))]  # fmt: skip
GOOD_MEMORY = {
    "name": "ram", "words": 4, "width": 3, "init": [{"word": 1, "values": ["5"]}],
    "read_ports": [{"address": ["a"], "data": ["q"]}],
    "write_ports": [{"clock": "clk", "address": ["a"], "data": ["d"], "enable": ["we", "we", "we"]}],
}  # fmt: skip


def memory_ir(memory: dict) -> str:
    return json.dumps(build_document("m", MEMORY_BUSSES, memories=[memory]))


@pytest.mark.parametrize(
    "change, message",
    [
        ({"words": 0}, "Failed to render circuit: memories[0] (name 'ram'): 'words' must be from 1 to 16777216"),
        ({"write_ports": [{"clock": "clk", "address": ["a"], "data": ["n", "n", "we"]}]},  # n has 3 bits
         "Failed to render circuit: memories[0] (name 'ram'): write_ports[0]: data 'n' has 3 bits; a list of "
         "several busses takes one bit from each"),
    ],
)
def test_the_simulator_checks_memories_while_nimbo_core_ignores_them(change, message):
    from nimbo import Simulator
    from nimbo.core import Renderer

    ir = memory_ir({**GOOD_MEMORY, **change})
    with pytest.raises(RuntimeError) as refused:
        Simulator(ir)
    assert str(refused.value).startswith(message)
    bare = json.loads(ir)
    del bare["component"]["memories"]
    with_memories, without = Renderer(ir).component, Renderer(json.dumps(bare)).component
    assert with_memories.update_and_get({"we": "1"}) == without.update_and_get({"we": "1"})


def test_the_model_and_the_simulator_step_the_hand_written_memory():
    from nimbo import Simulator

    for stepper in (ClockedModel(memory_ir(GOOD_MEMORY)), Simulator(memory_ir(GOOD_MEMORY))):
        assert stepper.values()["q"] == "000"
        stepper.step({"a": "10"})
        assert stepper.values()["q"] == "101"  # word 1, read asynchronously
        stepper.step({"we": "1", "a": "00", "d": "011"})
        assert stepper.values()["q"] == "011"  # written at the edge, then read
        words = stepper.memories[0].contents if isinstance(stepper, ClockedModel) else stepper.memory("ram")
        assert words == [6, 5, 0, 0]


@pytest.mark.parametrize("words, settles", [([1, 1], True), ([0, 1], False)])
def test_a_read_whose_address_follows_its_data_settles_or_fails_in_rounds(words, settles):
    # address = not data: from data 0 the port reads word 1, then word (not word 1)
    busses = [("a", "0", gate("not", ref("q"))), ("q", "0", None)]
    memory = {"name": "loop", "words": 2, "width": 1, "init": init_runs(words),
              "read_ports": [{"address": ["a"], "data": ["q"]}], "write_ports": []}  # fmt: skip
    ir = json.dumps(build_document("loop", busses, memories=[memory]))
    from nimbo import Simulator

    for stepper in (ClockedModel, Simulator):
        if settles:
            assert stepper(ir).values() == {"a": "0", "q": "1"}
        else:
            with pytest.raises(RuntimeError, match="^Asynchronous resets or memory reads did not settle$"):
                stepper(ir)


@pytest.mark.parametrize(
    "words, runs",
    [
        ([], []),
        ([0, 0, 0], []),
        ([7, 0, 12, 0, 0], [{"word": 0, "values": ["7", "0", "c"]}]),
        ([0, 0, 0, 0, 0, 1, 1, 1, 1, 2], [{"word": 5, "values": ["1"], "repeat": 4}, {"word": 9, "values": ["2"]}]),
        ([3, 3, 3, 9], [{"word": 0, "values": ["3", "3", "3", "9"]}]),
        ([5, 0, 0, 0, 0, 5], [{"word": 0, "values": ["5"]}, {"word": 5, "values": ["5"]}]),
    ],
)
def test_initial_words_are_written_as_runs(words, runs):
    assert init_runs(words) == runs
    assert initial_words({"name": "m", "words": len(words), "width": 8, "init": runs, "read_ports": [],
                          "write_ports": []}) == words  # fmt: skip


def test_runs_give_back_random_contents():
    rng = random.Random(7)
    for _ in range(200):
        words = [rng.choice([0, 0, 1, 0xFFFF, rng.getrandbits(16)]) for _ in range(rng.randint(1, 40))]
        record = {"name": "m", "words": len(words), "width": 16, "init": init_runs(words), "read_ports": [],
                  "write_ports": []}  # fmt: skip
        assert initial_words(record) == words  # type: ignore[arg-type]


# ---------------------------------------------------------------- the command line and Design


@needs_yosys
def test_nimbo_import_keeps_memories_by_default_and_nimbo_run_runs_them(tmp_path):
    from nimbo.cli import main

    out = tmp_path / "ram.json"
    report = io.StringIO()
    assert main(["import", str(DESIGNS / "ram.v"), "-o", str(out)], out=report) == 0
    assert ", 2 memories; Yosys flow full (synth -flatten -nofsm -top ram -run :fine; memory_narrow;" in report.getvalue()
    assert [m["name"] for m in json.loads(out.read_text())["component"]["memories"]] == ["mem", "rom"]
    assert main(["run", str(out)], out=io.StringIO()) == 0
    assert main(["import", str(DESIGNS / "ram.v"), "--memories", "map", "-o", str(out)], out=io.StringIO()) == 0
    assert "memories" not in json.loads(out.read_text())["component"]


@needs_yosys
def test_design_from_verilog_caches_each_memories_mode_apart(tmp_path):
    from nimbo import Design

    mapped = Design.from_verilog(DESIGNS / "ram.v", cache_dir=tmp_path, memories="map")
    assert mapped.step(we=1, waddr=2, wdata=9, raddr=2)["async_q"] == 9
    kept = Design.from_verilog(DESIGNS / "ram.v", cache_dir=tmp_path)
    assert kept.step(we=1, waddr=2, wdata=9, raddr=2)["async_q"] == 9
    assert kept.memory("mem")[2] == 9 and len(list(tmp_path.glob("*/*.json"))) == 2
    assert Design.from_verilog(DESIGNS / "ram.v", cache_dir=tmp_path, memories="keep").memory("mem")[2] == 6
    assert len(list(tmp_path.glob("*/*.json"))) == 2  # keep is the default: the same entry
