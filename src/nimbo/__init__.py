"""nimbo: the native simulation core of a Python hardware-description language.

`nimbo.core` is the extension module with the fixed surface (`Renderer`,
`Component`); `nimbo.Simulator` runs a circuit one update or many vectors at
a time. Both raise `nimbo.PanicException` on an internal fault.

The native classes are imported on first use, so that `import nimbo` (and
with it the command line, which reports a missing or broken native module
as one error line) works before the native engine is loaded.

`nimbo.Design` drives a design through its ports with integers, for
testbenches (see also the pytest fixture ``nimbo_design``).

`nimbo.regress` runs many vector sets on a Dask cluster (the optional
`distributed` extra); it is imported on first use too, and loads Dask and the
native engine only when called.
"""

from __future__ import annotations

from importlib import import_module
from typing import TYPE_CHECKING

__version__ = "0.5.0"

if TYPE_CHECKING:
    from ._engine import PanicException, Simulator, VectorError
    from .design import Design
    from .lanes import DesignLanes
    from .regression import regress

__all__ = ["Design", "DesignLanes", "PanicException", "Simulator", "VectorError", "__version__", "regress"]

# Names imported on first use, and their modules.
_LAZY = {
    "Design": "design",
    "DesignLanes": "lanes",
    "PanicException": "_engine", "Simulator": "_engine", "VectorError": "_engine",
    "regress": "regression",
}


def __getattr__(name: str) -> object:
    module = _LAZY.get(name)
    if module is not None:
        # import_module names the missing module; "from . import" would not.
        value: object = getattr(import_module(f"{__name__}.{module}"), name)
        globals()[name] = value
        return value
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted({*globals(), *_LAZY})
