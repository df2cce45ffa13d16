"""Verilog in and out: designs imported through Yosys, and IR written back as
Verilog to run under Icarus Verilog for comparisons.

- :mod:`.yosys` runs Yosys and maps its netlist to the IR (``import_text``,
  ``import_verilog``); :mod:`.yosys_log` reads Yosys's messages,
  :mod:`.elaborated` the design as Yosys elaborated it, :mod:`.memory_cells`
  the memory cells kept as memories (``--memories keep``);
- :mod:`.options` the import options (macros, include folders, parameters);
- :mod:`.differences` what nimbo simulates otherwise than Verilog, which an
  import warns about (:class:`SimulationWarning`) or refuses when strict
  (:class:`StrictFailure`); :mod:`.errors` these classes;
- :mod:`.cache` keeps imported designs under a key of their sources;
- :mod:`.netlist` writes an IR as a Verilog netlist;
- :mod:`.icarus` runs a module or such a netlist under Icarus Verilog.
"""

from __future__ import annotations

from .errors import ImportFailure, SimulationWarning, StrictFailure
from .yosys import import_text

__all__ = ["ImportFailure", "SimulationWarning", "StrictFailure", "import_text"]
