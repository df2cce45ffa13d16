"""Waveform pictures of a run (`nimbo run --wave`)."""

import io
import pathlib
import sys
import xml.etree.ElementTree as ET

import pytest

from nimbo.wave import wave_source

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"


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


def run_cli(*argv):
    pytest.importorskip("nimbo.core")
    from nimbo.cli import main

    return main([str(a) for a in argv], out=io.StringIO())


def test_run_draws_every_shown_bus_over_the_steps(tmp_path):
    pytest.importorskip("wavedrom")
    svg = tmp_path / "latch.svg"
    assert run_cli("run", EXAMPLES / "sr_latch.json", "--vectors", EXAMPLES / "sr_latch.vectors.jsonl", "--wave", svg) == 0
    root = ET.parse(svg).getroot()
    texts = {t.text for t in root.iter("{http://www.w3.org/2000/svg}text")} | {
        s.text for s in root.iter("{http://www.w3.org/2000/svg}tspan")}
    assert {"s_n", "r_n", "q", "q_n"} <= texts


def test_missing_renderer_is_one_line(tmp_path, monkeypatch, capsys):
    monkeypatch.setitem(sys.modules, "wavedrom", None)
    assert run_cli("run", EXAMPLES / "full_adder.json", "--wave", tmp_path / "w.svg") == 1
    assert capsys.readouterr().err == "nimbo: error: drawing needs the wavedrom package: pip install 'nimbo[wave]'\n"
