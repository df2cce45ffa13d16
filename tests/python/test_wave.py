"""Waveform pictures of a run (`nimbo run --wave`)."""

import sys
import xml.etree.ElementTree as ET

import pytest

from conftest import EXAMPLES, run_cli

from nimbo.waves.svg import wave_source



def test_levels_boxes_and_labels():
    steps = [{"a": "0", "y": "0011", "e": "", "w": "0" * 20},
             {"a": "0", "y": "0011", "e": "", "w": "1" * 20},
             {"a": "1", "y": "1111", "e": "", "w": "1" * 20}]
    signals = wave_source(["a", "y", "e", "w"], steps, "t")["signal"]
    assert signals == [
        {"name": "a", "wave": "0.1"},
        {"name": "y", "wave": "=.=", "data": ["0011", "1111"]},
        {"name": "w", "wave": "==.", "data": ["0" * 15 + "…", "1" * 15 + "…"]},
    ]  # the zero-width bus is left out


@pytest.mark.parametrize("clocks", [{"clk"}, set()])
def test_inputs_are_drawn_half_a_cycle_before_the_edge(clocks):
    steps = [{"clk": "0", "en": "0", "q": "00"}, {"clk": "0", "en": "1", "q": "01"}, {"clk": "0", "en": "1", "q": "10"}]
    signals = {s["name"]: s for s in wave_source(["clk", "en", "q"], steps, clocks=clocks, inputs={"en"})["signal"]}
    if clocks:
        assert signals["en"] == {"name": "en", "wave": "01..", "phase": 0.5}  # held to the end
    else:
        assert signals["en"] == {"name": "en", "wave": "01."}  # no edge to be before
    assert "phase" not in signals["q"]


def test_run_draws_every_shown_bus_over_the_steps(tmp_path):
    pytest.importorskip("wavedrom")
    svg = tmp_path / "latch.svg"
    assert run_cli("run", EXAMPLES / "sr_latch.json", "--vectors", EXAMPLES / "sr_latch.vectors.jsonl", "--wave", svg)[0] == 0
    root = ET.parse(svg).getroot()
    texts = {t.text for t in root.iter("{http://www.w3.org/2000/svg}text")} | {
        s.text for s in root.iter("{http://www.w3.org/2000/svg}tspan")}
    assert {"s_n", "r_n", "q", "q_n"} <= texts


def test_clocks_and_labels_in_a_radix():
    steps = [{"clk": "0", "q": "0101"}, {"clk": "0", "q": "1101"}, {"clk": "0", "q": "1101"}]
    source = wave_source(["clk", "q"], steps, label=lambda bits: f"<{bits}>", clocks={"clk"})
    assert source["signal"] == [{"name": "clk", "wave": "0PP"}, {"name": "q", "wave": "==.", "data": ["<0101>", "<1101>"]}]


def svg_texts(path):
    root = ET.parse(path).getroot()
    return [t.text for t in root.iter("{http://www.w3.org/2000/svg}text")] + [
        s.text for s in root.iter("{http://www.w3.org/2000/svg}tspan")]


@pytest.mark.parametrize("cycles", [None, 0, 1, 2, 5])
def test_a_picture_of_any_number_of_steps(cycles, tmp_path):
    pytest.importorskip("wavedrom")
    svg = tmp_path / "c.svg"
    argv = ["run", EXAMPLES / "counter.json", "--set", "en=1", "--show", "value,clk", "--radix", "dec", "--wave", svg]
    assert run_cli(*argv, *(["--cycles", cycles] if cycles is not None else []))[0] == 0
    texts = svg_texts(svg)
    assert {"value", "clk"} <= set(texts)
    assert {str(n) for n in range((cycles or 0) + 1)} <= set(texts)  # the labels, in decimal


def test_a_png_is_a_png_of_the_same_picture(tmp_path):
    pytest.importorskip("wavedrom")
    try:
        import cairosvg  # noqa: F401
    except (ImportError, OSError) as exc:  # OSError: the package is there, the Cairo library is not
        pytest.skip(f"cairosvg cannot be loaded: {exc}")
    argv = ["run", EXAMPLES / "counter.json", "--set", "en=1", "--cycles", "3"]
    assert run_cli(*argv, "--wave", tmp_path / "c.png")[0] == 0
    assert run_cli(*argv, "--wave", tmp_path / "c.SVG")[0] == 0
    png = (tmp_path / "c.png").read_bytes()
    assert png.startswith(b"\x89PNG\r\n\x1a\n") and ET.parse(tmp_path / "c.SVG").getroot().tag.endswith("svg")


@pytest.mark.parametrize(
    "name, missing, needle",
    [
        ("w.gif", None, "w.gif: a waveform picture is .svg or .png, not '.gif'"),
        ("w", None, "w: a waveform picture is .svg or .png, not no extension"),
        ("w.png", "cairosvg", "PNG pictures need the cairosvg package: pip install "),
        ("w.svg", "wavedrom", "drawing needs the wavedrom package: pip install "),
    ],
)
def test_a_picture_format_that_cannot_be_written_is_one_line(tmp_path, monkeypatch, capsys, name, missing, needle):
    if missing != "wavedrom":
        pytest.importorskip("wavedrom")
    if missing:
        monkeypatch.setitem(sys.modules, missing, None)
    (tmp_path / name).write_text("kept")
    assert run_cli("run", EXAMPLES / "full_adder.json", "--wave", tmp_path / name)[0] == 1
    err = capsys.readouterr().err
    assert err.startswith("nimbo: error: ") and needle in err and err.count("\n") == 1, err
    assert (tmp_path / name).read_text() == "kept"  # an existing file stays as it was
