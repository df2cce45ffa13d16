"""Drawing a run as a waveform picture (SVG), through the WaveDrom renderer.

One row per shown bus or port, one column per step. A 1-bit signal is drawn
as a level; a wider one as a band of boxes labelled with its bit string,
a new box wherever the value changes. Zero-width busses are left out.
"""

from __future__ import annotations

import io
import json
from collections.abc import Mapping, Sequence

MAX_LABEL = 16  # longer values are shortened to their first characters and "…"


class WaveUnavailable(RuntimeError):
    """The WaveDrom renderer is not installed."""


def _label(value: str) -> str:
    return value if len(value) <= MAX_LABEL else value[: MAX_LABEL - 1] + "…"


def wave_source(order: Sequence[str], steps: Sequence[Mapping[str, str]], title: str = "") -> dict[str, object]:
    """The WaveDrom description of `steps` (the values after each step)."""
    signals: list[dict[str, object]] = []
    widest = 1
    for name in order:
        values = [step[name] for step in steps]
        if not values or all(len(v) == 0 for v in values):
            continue
        if all(len(v) == 1 for v in values):
            wave = "".join("." if i and v == values[i - 1] else v for i, v in enumerate(values))
            signals.append({"name": name, "wave": wave})
            continue
        data: list[str] = []
        wave_chars: list[str] = []
        for i, value in enumerate(values):
            if i and value == values[i - 1]:
                wave_chars.append(".")
            else:
                wave_chars.append("=")
                data.append(_label(value))
                widest = max(widest, len(data[-1]))
        signals.append({"name": name, "wave": "".join(wave_chars), "data": data})
    source: dict[str, object] = {
        "signal": signals,
        "config": {"hscale": max(1, (widest * 10 + 20 + 39) // 40)},
        "foot": {"tock": 0},
    }
    if title:
        source["head"] = {"text": title}
    return source


def wave_svg(order: Sequence[str], steps: Sequence[Mapping[str, str]], title: str = "") -> str:
    """The SVG picture of `steps`, as text."""
    try:
        import wavedrom  # type: ignore[import-untyped]
    except ImportError:
        raise WaveUnavailable("drawing needs the wavedrom package: pip install 'nimbo[wave]'") from None
    drawing = wavedrom.render(json.dumps(wave_source(order, steps, title)))
    text = io.StringIO()
    drawing.write(text)
    return text.getvalue()
