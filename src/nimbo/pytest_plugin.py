"""The pytest fixture ``nimbo_design``, registered through the ``pytest11``
entry point: it loads a design for a test from an IR file or Verilog sources::

    def test_add(nimbo_design):
        alu = nimbo_design("alu.v", top="alu")
        assert alu.step(a=2, b=3, op=0)["y"] == 5

Relative paths are taken from the test file's directory. Verilog is imported
through Yosys once and kept in pytest's cache directory (``.pytest_cache``;
with the cache provider off, in a directory of the session), so repeated runs
do not import again. A design that cannot be loaded fails the test with one
line saying why (a missing Yosys: what to install).

Only pytest is imported when pytest starts; nimbo's engine is loaded by the
first test that uses the fixture.
"""

from __future__ import annotations

import os
from collections.abc import Callable
from pathlib import Path
from typing import TYPE_CHECKING

import pytest

if TYPE_CHECKING:
    from .design import Design

VERILOG_SUFFIXES = (".v", ".sv", ".vh", ".svh")
CACHE_NAME = "nimbo-designs"

DesignFactory = Callable[..., "Design"]


@pytest.fixture(scope="session")
def nimbo_design_cache(request: pytest.FixtureRequest, tmp_path_factory: pytest.TempPathFactory) -> Path:
    """Where ``nimbo_design`` keeps imported Verilog: pytest's cache directory,
    or a directory of the session when the cache provider is off."""
    cache = getattr(request.config, "cache", None)
    if cache is not None:
        return Path(cache.mkdir(CACHE_NAME))
    return tmp_path_factory.mktemp(CACHE_NAME)


@pytest.fixture
def nimbo_design(request: pytest.FixtureRequest, nimbo_design_cache: Path) -> DesignFactory:
    """A factory of :class:`nimbo.Design`: ``nimbo_design("alu.v", top="alu")``
    (more Verilog sources as further arguments; ``flow``, ``yosys`` and
    ``memories`` as for ``Design.from_verilog``) or ``nimbo_design("alu.json")`` for an IR file.
    Each call gives a fresh design in its initial state."""
    folder = request.path.parent

    def load(
        source: str | os.PathLike[str],
        *more: str | os.PathLike[str],
        top: str | None = None,
        flow: str = "auto",
        yosys: str | None = None,
        memories: str = "map",
    ) -> Design:
        from .design import Design
        from .verilog.yosys import ImportFailure

        paths = [folder / os.fspath(p) for p in (source, *more)]
        verilog = [p for p in paths if p.suffix.lower() in VERILOG_SUFFIXES]
        if verilog and len(verilog) != len(paths):
            pytest.fail("nimbo_design: give either Verilog sources or one IR file, not both", pytrace=False)
        if not verilog and (more or top is not None):
            pytest.fail("nimbo_design: an IR file is one design: give it alone, without top", pytrace=False)
        try:
            if verilog:
                return Design.from_verilog(
                    paths, top, flow=flow, yosys=yosys, cache_dir=nimbo_design_cache, memories=memories
                )
            return Design.load(paths[0])
        except ImportFailure as exc:  # names the source already
            pytest.fail(f"nimbo_design: {exc}", pytrace=False)
        except OSError as exc:
            pytest.fail(f"nimbo_design: {exc.filename or paths[0]}: {exc.strerror or exc}", pytrace=False)
        except (ValueError, RuntimeError) as exc:  # an IR the simulator refuses
            pytest.fail(f"nimbo_design: {paths[0]}: {exc}", pytrace=False)

    return load
