"""Drawing a run as a waveform picture (SVG), through the WaveDrom renderer.

One row per shown bus or port, one column per step. A 1-bit signal is drawn
as a level; a wider one as a band of boxes labelled with its value (its bit
string, or the text a label function makes of it), a new box wherever the
value changes. A clock is drawn low in step 0 and as one period in every
step after it, rising where the step begins. With clocks, the inputs (the
names a testbench writes) are drawn half a column early: a step's inputs
change half a cycle before the edge that samples them, as in the VCD.
Zero-width busses are left out.
"""

from __future__ import annotations

import io
import json
from collections.abc import Callable, Collection, Mapping, Sequence

from ..extras import install_hint

MAX_LABEL = 16  # longer values are shortened to their first characters and "…"


class WaveUnavailable(RuntimeError):
    """The WaveDrom renderer is not installed."""


def _label(value: str) -> str:
    return value if len(value) <= MAX_LABEL else value[: MAX_LABEL - 1] + "…"


def _shifted(signal: dict[str, object], early: bool) -> dict[str, object]:
    """`signal` drawn half a column early (its last value held to the end)."""
    if early:
        signal["wave"] = f"{signal['wave']}."
        signal["phase"] = 0.5
    return signal


def wave_source(
    order: Sequence[str], steps: Sequence[Mapping[str, str]], title: str = "",
    label: Callable[[str], str] | None = None, clocks: Collection[str] = (), inputs: Collection[str] = (),
) -> dict[str, object]:
    """The WaveDrom description of `steps` (the values after each step);
    `label` gives the text of a multi-bit value, `clocks` names the clocks,
    `inputs` the names drawn half a column early when there are clocks."""
    signals: list[dict[str, object]] = []
    widest = 1
    early = {name for name in inputs if name not in clocks} if any(name in clocks for name in order) else set()
    for name in order:
        if name in clocks:
            signals.append({"name": name, "wave": "0" + "P" * (len(steps) - 1)})
            continue
        values = [step[name] for step in steps]
        if not values or all(len(v) == 0 for v in values):
            continue
        if all(len(v) == 1 for v in values):
            wave = "".join("." if i and v == values[i - 1] else v for i, v in enumerate(values))
            signals.append(_shifted({"name": name, "wave": wave}, name in early))
            continue
        data: list[str] = []
        wave_chars: list[str] = []
        for i, value in enumerate(values):
            if i and value == values[i - 1]:
                wave_chars.append(".")
            else:
                wave_chars.append("=")
                data.append(_label(label(value) if label else value))
                widest = max(widest, len(data[-1]))
        signals.append(_shifted({"name": name, "wave": "".join(wave_chars), "data": data}, name in early))
    source: dict[str, object] = {
        "signal": signals,
        "config": {"hscale": max(1, (widest * 10 + 20 + 39) // 40)},
    }
    # Step numbers under the columns; WaveDrom's renderer fails on them with
    # fewer than three columns, which go without.
    if len(steps) >= 3:
        source["foot"] = {"tock": 0}
    if title:
        source["head"] = {"text": title}
    return source


def wave_svg(
    order: Sequence[str], steps: Sequence[Mapping[str, str]], title: str = "",
    label: Callable[[str], str] | None = None, clocks: Collection[str] = (), inputs: Collection[str] = (),
) -> str:
    """The SVG picture of `steps`, as text."""
    try:
        import wavedrom  # type: ignore[import-untyped]
    except ImportError:
        hint = install_hint("wave", "wavedrom>=2.0.3")
        raise WaveUnavailable(f"drawing needs the wavedrom package: {hint}") from None
    drawing = wavedrom.render(json.dumps(wave_source(order, steps, title, label, clocks, inputs)))
    text = io.StringIO()
    drawing.write(text)
    return text.getvalue()
