"""Names that must exist: the hint that suggests the closest existing names
for one that names nothing, worded the same on every surface."""

from __future__ import annotations

import difflib
from collections.abc import Callable, Iterable


def did_you_mean(name: str, candidates: Iterable[str], show: Callable[[str], str] = repr) -> str:
    """" (did you mean x, y or z?)" for the up to three candidates closest to
    `name`, each written with `show`; "" when none is close."""
    close = [show(c) for c in difflib.get_close_matches(name, list(candidates), n=3)]
    if not close:
        return ""
    listed = close[0] if len(close) == 1 else ", ".join(close[:-1]) + " or " + close[-1]
    return f" (did you mean {listed}?)"
