"""Waveforms of a run: :mod:`.vcd` records a Value Change Dump for a viewer,
:mod:`.svg` draws a picture."""
