"""The importer's former place: ``nimbo.yosys`` is :mod:`nimbo.verilog.yosys`
(``nimbo.yosys.ImportFailure`` and ``import_text`` stay importable here)."""

import sys

from .verilog import yosys

sys.modules[__name__] = yosys
