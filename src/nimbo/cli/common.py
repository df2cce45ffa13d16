"""What every command of the command line shares: errors, warnings, loading."""

from __future__ import annotations

import argparse
import json
import sys
from dataclasses import dataclass
from typing import NoReturn

from ..ir import Circuit, IRFormatError, circuit_from_text

EXIT_OK, EXIT_FAILURE, EXIT_USAGE = 0, 1, 2
PROG = "nimbo"


class CliError(Exception):
    """A failure to report as one line; `status` is the exit status."""

    def __init__(self, message: str, status: int = EXIT_FAILURE):
        super().__init__(message)
        self.status = status


class Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        raise CliError(f"{message} (see '{PROG} --help')", EXIT_USAGE)


def one_line(text: str) -> str:
    return " ".join(str(text).split("\n"))


def warn(message: str) -> None:
    print(f"{PROG}: warning: {one_line(message)}", file=sys.stderr)


# ---------------------------------------------------------------- loading


def read_text(path: str) -> str:
    try:
        with open(path, encoding="utf-8") as stream:
            return stream.read()
    except FileNotFoundError:
        raise CliError(f"{path}: no such file") from None
    except IsADirectoryError:
        raise CliError(f"{path}: is a directory") from None
    except UnicodeDecodeError as exc:
        raise CliError(f"{path}: not UTF-8 text ({exc.reason} at byte {exc.start})") from None
    except OSError as exc:
        raise CliError(f"{path}: {exc.strerror}") from None


def _core():
    try:
        from .. import core
    except ImportError as exc:
        raise CliError(f"the native module nimbo.core cannot be loaded: {exc}") from None
    return core


@dataclass
class Loaded:
    circuit: Circuit
    component: object


def load(path: str) -> Loaded:
    """Renders the IR in `path`; render errors are reported as the renderer words them."""
    text = read_text(path)
    core = _core()
    try:
        component = core.Renderer(text).component
    except RuntimeError as exc:
        raise CliError(f"{path}: {exc}") from None
    try:
        circuit = circuit_from_text(text)
    except (ValueError, IRFormatError, RecursionError) as exc:
        raise CliError(f"{path}: {exc}") from None
    return Loaded(circuit, component)


def parse_assignment(text: str) -> tuple[str, str]:
    bus_id, sep, bits = text.rpartition("=")
    if not sep or not bus_id:
        raise CliError(f"--set expects ID=BITS, got '{text}'", EXIT_USAGE)
    return bus_id, bits


def read_vectors(path: str) -> list[tuple[int, dict[str, str]]]:
    """The steps of a JSON Lines file, each with its line number; blank lines are skipped."""
    steps = []
    for number, line in enumerate(read_text(path).splitlines(), start=1):
        if not line.strip():
            continue
        try:
            step = json.loads(line)
        except json.JSONDecodeError as exc:
            raise CliError(f"{path}:{number}: invalid JSON: {exc.msg} (column {exc.colno})") from None
        if not isinstance(step, dict):
            raise CliError(f"{path}:{number}: expected an object of bus id to bit string")
        for bus_id, bits in step.items():
            if not isinstance(bits, str):
                raise CliError(f"{path}:{number}: the value of '{bus_id}' must be a bit string in quotes")
        steps.append((number, step))
    return steps


