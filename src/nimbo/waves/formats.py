"""The formats a waveform picture is written in, named by the file's
extension: ``.svg`` as drawn, ``.png`` converted with CairoSVG (the ``png``
extra; it needs the Cairo library, Debian's libcairo2)."""

from __future__ import annotations

import os

from ..extras import install_hint
from .svg import WaveUnavailable

FORMATS = (".svg", ".png")


def picture_format(path: str) -> str:
    """The format of a picture file (".svg" or ".png"); refuses other
    extensions, and PNG when its converter cannot be loaded."""
    suffix = os.path.splitext(path)[1].lower()
    if suffix not in FORMATS:
        shown = f"'{suffix}'" if suffix else "no extension"
        raise WaveUnavailable(f"{path}: a waveform picture is .svg or .png, not {shown}")
    if suffix == ".png":
        _converter()
    return suffix


def _converter() -> object:
    try:
        import cairosvg  # type: ignore[import-untyped]
    except ImportError:
        hint = install_hint("png", "cairosvg>=2.7")
        raise WaveUnavailable(f"PNG pictures need the cairosvg package: {hint}; or write .svg") from None
    except OSError as exc:  # the package is there, the Cairo library it loads is not
        raise WaveUnavailable(f"PNG pictures need the Cairo library (Debian: apt-get install libcairo2): {exc}; "
                              "or write .svg") from None
    return cairosvg


def encode(svg: str, suffix: str) -> bytes:
    """The bytes of the picture `svg` in the format `suffix`."""
    if suffix == ".png":
        data: bytes = _converter().svg2png(bytestring=svg.encode("utf-8"))  # type: ignore[attr-defined]
        return data
    return svg.encode("utf-8")
