"""nimbo: the native simulation core of a Python hardware-description language.

The simulation itself lives in the extension module :mod:`nimbo.core`.
"""
