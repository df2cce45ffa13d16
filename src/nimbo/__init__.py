"""nimbo: the native simulation core of a Python hardware-description language.

`nimbo.core` is the extension module with the fixed surface (`Renderer`,
`Component`); `nimbo.Simulator` runs a circuit one update or many vectors at
a time. Both raise `nimbo.PanicException` on an internal fault.
"""

from ._engine import PanicException, Simulator, VectorError

__all__ = ["PanicException", "Simulator", "VectorError"]
