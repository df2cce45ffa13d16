"""Verilog in and out: designs imported through Yosys, and IR written back as
Verilog to run under Icarus Verilog for comparisons.

- :mod:`.yosys` runs Yosys and maps its netlist to the IR (``import_text``);
  :mod:`.yosys_log` reads Yosys's messages;
- :mod:`.cache` keeps imported designs under a key of their sources;
- :mod:`.netlist` writes an IR as a Verilog netlist;
- :mod:`.icarus` runs a module or such a netlist under Icarus Verilog.
"""

from __future__ import annotations

from .yosys import ImportFailure, import_text

__all__ = ["ImportFailure", "import_text"]
