"""The pytest fixture ``nimbo_design``, registered through the ``pytest11``
entry point: it loads a design for a test from an IR file or Verilog sources::

    def test_add(nimbo_design):
        alu = nimbo_design("alu.v", top="alu")
        assert alu.step(a=2, b=3, op=0)["y"] == 5

Relative paths (sources and include folders) are taken from the test file's
directory. Verilog is imported through Yosys once and kept in pytest's cache
directory (``.pytest_cache``; with the cache provider off, or a cache that
cannot be written, in a directory of the session), so repeated runs do not
import again. What nimbo simulates otherwise than Verilog is a
``SimulationWarning`` (pytest lists them), or with ``strict=True`` a
failure. A design that cannot be loaded fails the test with one line saying
why (a missing Yosys: what to install).

With ``pytest --nimbo-waves DIR``, every design the fixture gives is traced
(``Design.trace``) into DIR, one VCD per design, named after the test; the
VCDs of a test that fails are kept and named in its report, the others
removed.

Only pytest is imported when pytest starts; nimbo's engine is loaded by the
first test that uses the fixture.
"""

from __future__ import annotations

import os
import re
import tempfile
import warnings
from collections.abc import Callable, Generator, Iterator, Mapping, Sequence
from pathlib import Path
from typing import TYPE_CHECKING, Any

import pytest

if TYPE_CHECKING:
    from .design import Design

VERILOG_SUFFIXES = (".v", ".sv", ".vh", ".svh")
CACHE_NAME = "nimbo-designs"

DesignFactory = Callable[..., "Design"]

# The VCDs of the designs a test traces, and whether its call failed.
_TRACED = pytest.StashKey[list[Path]]()
_FAILED = pytest.StashKey[bool]()


def pytest_addoption(parser: pytest.Parser) -> None:
    parser.getgroup("nimbo").addoption(
        "--nimbo-waves", metavar="DIR", default=None,
        help="trace every design of the nimbo_design fixture into DIR; keep the VCDs of failing tests",
    )  # fmt: skip


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item: pytest.Item, call: pytest.CallInfo[None]) -> Generator[None, Any, None]:
    """Names the VCDs of a failing test's designs in its report."""
    outcome = yield
    report = outcome.get_result()
    traced = item.stash.get(_TRACED, [])
    if traced and report.failed:
        item.stash[_FAILED] = True
        report.sections.append(("nimbo waves", "\n".join(f"waveform: {path}" for path in traced)))


def _wave_path(folder: Path, nodeid: str, taken: Sequence[Path]) -> Path:
    """A file name for a test's design: its node id with the characters that
    are unsafe in a file name replaced, numbered after the first."""
    stem = re.sub(r"[^A-Za-z0-9_.\[\]-]+", "_", nodeid).strip("_.") or "test"
    return folder / (f"{stem}.vcd" if not taken else f"{stem}-{len(taken) + 1}.vcd")


@pytest.fixture(scope="session")
def nimbo_design_cache(request: pytest.FixtureRequest, tmp_path_factory: pytest.TempPathFactory) -> Path:
    """Where ``nimbo_design`` keeps imported Verilog: pytest's cache directory,
    or a directory of the session when the cache provider is off or its
    directory cannot be written (with one warning)."""
    cache = getattr(request.config, "cache", None)
    if cache is not None:
        try:
            folder = Path(cache.mkdir(CACHE_NAME))
            with tempfile.TemporaryFile(dir=folder):
                pass
            return folder
        except OSError as exc:
            where = exc.filename or "pytest's cache directory"
            warnings.warn(pytest.PytestCacheWarning(
                f"nimbo_design: cannot write to {where} ({exc.strerror or exc}): designs are imported into a "
                "directory of this session instead"
            ))  # fmt: skip
    return tmp_path_factory.mktemp(CACHE_NAME)


@pytest.fixture
def nimbo_design(request: pytest.FixtureRequest, nimbo_design_cache: Path) -> Iterator[DesignFactory]:
    """A factory of :class:`nimbo.Design`: ``nimbo_design("alu.v", top="alu")``
    (more Verilog sources as further arguments; ``flow``, ``yosys``,
    ``memories``, ``defines``, ``include_dirs``, ``parameters``, ``sv``,
    ``strict`` and ``recode_fsm`` as for ``Design.from_verilog``) or
    ``nimbo_design("alu.json")`` for an IR file. Each call gives a fresh
    design in its initial state (traced with ``--nimbo-waves``)."""
    folder = request.path.parent
    waves = request.config.getoption("nimbo_waves")
    traced: list[tuple[Design, Path]] = []

    def trace(design: Design) -> Design:
        if waves:
            wave_folder = Path(waves)
            wave_folder.mkdir(parents=True, exist_ok=True)
            path = _wave_path(wave_folder, request.node.nodeid, [p for _, p in traced])
            design.trace(path)
            traced.append((design, path))
            request.node.stash[_TRACED] = [p for _, p in traced]
        return design

    def load(
        source: str | os.PathLike[str],
        *more: str | os.PathLike[str],
        top: str | None = None,
        flow: str = "auto",
        yosys: str | None = None,
        memories: str = "map",
        defines: Mapping[str, str | int | None] | None = None,
        include_dirs: Sequence[str | os.PathLike[str]] | None = None,
        parameters: Mapping[str, str | int] | None = None,
        sv: bool = False,
        strict: bool = False,
        recode_fsm: bool = False,
    ) -> Design:
        from .design import Design
        from .verilog.yosys import ImportFailure

        paths = [folder / os.fspath(p) for p in (source, *more)]
        verilog = [p for p in paths if p.suffix.lower() in VERILOG_SUFFIXES]
        if verilog and len(verilog) != len(paths):
            pytest.fail("nimbo_design: give either Verilog sources or one IR file, not both", pytrace=False)
        options = (memories, defines, include_dirs, parameters, sv, strict, recode_fsm)
        if not verilog and (more or top is not None or options != ("map", None, None, None, False, False, False)):
            pytest.fail("nimbo_design: an IR file is one design: give it alone, without top or import options",
                        pytrace=False)  # fmt: skip
        folders = None if include_dirs is None else [folder / os.fspath(d) for d in include_dirs]
        # The failure is reported outside the except clause, so that pytest shows it once, unchained.
        failure = ""
        try:
            if not verilog:
                return trace(Design.load(paths[0]))
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                design = Design.from_verilog(
                    paths, top, flow=flow, yosys=yosys, cache_dir=nimbo_design_cache, memories=memories,
                    defines=defines, include_dirs=folders, parameters=parameters, sv=sv, strict=strict,
                    recode_fsm=recode_fsm,
                )  # fmt: skip
            for warning in caught:  # told where the test called the fixture
                warnings.warn(warning.message, stacklevel=2)
            return trace(design)
        except ImportFailure as exc:  # names the source already
            findings = getattr(exc, "findings", [])
            failure = f"nimbo_design: {exc}" + "".join(f"\n  {finding}" for finding in findings[1:])
        except OSError as exc:
            failure = f"nimbo_design: {exc.filename or paths[0]}: {exc.strerror or exc}"
        except (ValueError, RuntimeError) as exc:  # an IR the simulator refuses
            failure = f"nimbo_design: {paths[0]}: {exc}"
        pytest.fail(failure, pytrace=False)

    yield load
    failed = request.node.stash.get(_FAILED, False)
    for design, path in traced:
        design.trace(None)
        if not failed:
            path.unlink(missing_ok=True)
