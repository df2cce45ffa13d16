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

