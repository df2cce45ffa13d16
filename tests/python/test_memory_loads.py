"""Memories by name: Simulator.memory / load_memory, Design.memory /
load_memory with word files, and nimbo run --load-memory."""

import io
import json

import pytest

from nimbo import Design, Simulator
from nimbo.ir import build_document, gate, ref
from nimbo.memory_words import MemoryFileError, read_words

BUSSES = [("clk", "0", None), ("we", "0", None), ("a", "000", None), ("d", "000", None), ("q", "000", None),
          ("s", "000", None), ("n", "000", gate("not", ref("q")))]  # fmt: skip
RAM = {
    "name": "ram", "words": 4, "width": 3, "offset": 4, "init": [{"word": 1, "values": ["5"]}],
    "read_ports": [{"address": ["a"], "data": ["q"]},
                   {"clock": "clk", "address": ["a"], "data": ["s"]}],
    "write_ports": [{"clock": "clk", "address": ["a"], "data": ["d"], "enable": ["we", "we", "we"]}],
}  # fmt: skip
WIDE = {"name": "wide", "words": 2, "width": 70, "read_ports": [], "write_ports": []}


def ir(*memories: dict) -> str:
    return json.dumps(build_document("m", BUSSES, memories=list(memories)))


def test_a_load_replaces_the_words_now_and_for_reset():
    sim = Simulator(ir(RAM))
    assert sim.memories == {"ram": (4, 3, 4)}
    assert sim.memory("ram") == [0, 5, 0, 0]
    sim.update({"a": "111"}, resets=False)  # address 7: word 3
    assert sim.values(["q"]) == {"q": "000"}
    sim.load_memory("ram", [1, 2, 3, 6])
    assert sim.memory("ram") == [1, 2, 3, 6]
    assert sim.values(["q", "s"]) == {"q": "011", "s": "000"}  # the asynchronous read follows at once
    sim.step({"we": "1", "d": "111"})
    assert sim.memory("ram") == [1, 2, 3, 7] and sim.values(["s"]) == {"s": "011"}
    sim.reset()
    assert sim.memory("ram") == [1, 2, 3, 6]  # the loaded words, not the IR's
    assert sim.values(["a", "q"]) == {"a": "000", "q": "000"}  # address 0 is outside: 0
    sim.load_memory("ram", [7])
    assert sim.memory("ram") == [7, 0, 0, 0]  # the words not given are 0


def test_words_wider_than_64_bits_go_both_ways():
    sim = Simulator(ir(WIDE))
    words = [(1 << 69) | 0xDEADBEEF, (1 << 64) + 1]
    sim.load_memory("wide", words)
    assert sim.memory("wide") == words


@pytest.mark.parametrize(
    "name, words, error, message",
    [
        ("rom", [1], ValueError, "no memory named 'rom' (memories: ram, wide)"),
        (3, [1], TypeError, "argument 'name': expected a str, got 'int'"),
        ("ram", [1, 2, 3, 4, 5], ValueError, "memory 'ram' has 4 words; 5 given"),
        ("ram", [1, 8], ValueError, "memory 'ram': word 1 (8) does not fit in 3 bits (0 to 7)"),
        ("ram", [-1], ValueError, "memory 'ram': word 0 (-1) does not fit in 3 bits (0 to 7)"),
        ("ram", [1, "2"], TypeError, "memory 'ram': word 1 is a str, not an int"),
        ("ram", "12", TypeError, "memory 'ram': expected a sequence of ints, not str"),
        ("wide", [1 << 70], ValueError, "memory 'wide': word 0 (1180591620717411303424) does not fit in 70 bits"),
        ("wide", [-(1 << 65)], ValueError, "memory 'wide': word 0 (-36893488147419103232) does not fit in 70 bits"),
    ],
)
def test_bad_loads_are_refused_and_change_nothing(name, words, error, message):
    sim = Simulator(ir(RAM, WIDE))
    with pytest.raises(error) as refused:
        sim.load_memory(name, words)
    assert str(refused.value).startswith(message)
    assert sim.memory("ram") == [0, 5, 0, 0] and sim.memory("wide") == [0, 0]


def test_a_load_whose_reads_do_not_settle_fails_and_keeps_the_words():
    # address = not data: words [0, 1] never settle
    busses = [("a", "0", gate("not", ref("q"))), ("q", "0", None)]
    memory = {"name": "loop", "words": 2, "width": 1, "init": [{"word": 0, "values": ["1", "1"]}],
              "read_ports": [{"address": ["a"], "data": ["q"]}], "write_ports": []}  # fmt: skip
    sim = Simulator(json.dumps(build_document("loop", busses, memories=[memory])))
    with pytest.raises(RuntimeError, match="^memory 'loop': Asynchronous resets or memory reads did not settle$"):
        sim.load_memory("loop", [0, 1])
    assert sim.memory("loop") == [1, 1] and sim.values() == {"a": "0", "q": "1"}
    sim.reset()
    assert sim.memory("loop") == [1, 1]


@pytest.mark.parametrize(
    "text, words",
    [
        ("1 2\n3", [1, 2, 3, 0]),
        ("// a comment 9\n@6 7 /* 5\n 5 */ 1", [0, 0, 7, 1]),
        ("@0005 6_0\n", [0, 0x60, 0, 0]),
        ("x z 3", [0, 0, 3, 0]),
        ("", [0, 0, 0, 0]),
    ],
)
def test_word_files_read_as_readmemh_does(text, words):
    assert read_words(text, name="ram", words=4, width=8, offset=4, where="f.hex") == words


@pytest.mark.parametrize(
    "text, message",
    [
        ("1\n2\ng7", "memory 'ram': f.hex line 3: 'g7' is not a hex word"),
        ("@ 1", "memory 'ram': f.hex line 1: '@' is not an address (@ and hex digits)"),
        ("\n100", "memory 'ram': f.hex line 2: word '100' does not fit in 8 bits"),
        ("@3 1", "memory 'ram': f.hex line 1: word '1' is at address 0x3, outside the memory (0x4 to 0x7)"),
        ("1 2 3 4\n5", "memory 'ram': f.hex line 2: word '5' is at address 0x8, outside the memory (0x4 to 0x7)"),
        ("1 /* 2", "memory 'ram': f.hex line 1: a comment is not closed"),
    ],
)
def test_bad_word_files_name_the_memory_and_the_line(text, message):
    with pytest.raises(MemoryFileError) as refused:
        read_words(text, name="ram", words=4, width=8, offset=4, where="f.hex")
    assert str(refused.value) == message


def test_a_design_loads_words_from_a_file_or_a_list(tmp_path):
    design = Design(ir(RAM))
    (tmp_path / "ram.hex").write_text("@7 6 // the last word\n")
    design.load_memory("ram", tmp_path / "ram.hex")
    assert design.memory("ram") == [0, 0, 0, 6]
    design.settle(a=7)
    assert design["q"] == 6
    design.load_memory("ram", [1, 2])
    design.reset()
    assert design.memory("ram") == [1, 2, 0, 0]
    with pytest.raises(ValueError, match="no memory named 'rom'"):
        design.load_memory("rom", tmp_path / "ram.hex")


def test_nimbo_run_loads_memories_before_step_zero(tmp_path, capsys):
    from nimbo.cli import main

    (tmp_path / "m.json").write_text(ir(RAM))
    (tmp_path / "ram.hex").write_text("1 2 3 4\n")
    (tmp_path / "bad.hex").write_text("1\n9\n")
    out = io.StringIO()
    args = ["run", str(tmp_path / "m.json"), "--set", "a=0b110", "--format", "json", "--show", "q,s"]
    assert main([*args, "--load-memory", f"ram={tmp_path / 'ram.hex'}", "--cycles", "1"], out=out) == 0
    rows = [json.loads(line)["values"] for line in out.getvalue().splitlines()]
    assert rows == [{"q": "0x3", "s": "0x0"}, {"q": "0x3", "s": "0x3"}]
    assert main([*args, "--load-memory", f"ram={tmp_path / 'bad.hex'}"], out=io.StringIO()) != 0
    assert capsys.readouterr().err.strip() == f"nimbo: error: memory 'ram': {tmp_path / 'bad.hex'} line 2: word '9' does not fit in 3 bits"
    assert main([*args, "--load-memory", f"rom={tmp_path / 'ram.hex'}"], out=io.StringIO()) != 0
    assert "--load-memory: no memory named \"rom\" (ram)" in capsys.readouterr().err
    assert main([*args, "--load-memory", "ram"], out=io.StringIO()) != 0
    assert "--load-memory expects NAME=FILE, got \"ram\"" in capsys.readouterr().err
