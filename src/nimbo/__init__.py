"""nimbo: the native simulation core of a Python hardware-description language.

`nimbo.core` is the extension module with the fixed surface (`Renderer`,
`Component`); `nimbo.Simulator` runs a circuit one update or many vectors at
a time. Both raise `nimbo.PanicException` on an internal fault.
"""

__version__ = "0.5.0"

from ._engine import PanicException, Simulator, VectorError  # noqa: E402

__all__ = ["PanicException", "Simulator", "VectorError", "__version__"]
