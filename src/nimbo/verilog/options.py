"""What an import of Verilog sources takes besides the sources: macro
definitions, include folders, overrides of the top module's parameters,
whether every source is SystemVerilog, and whether Yosys may re-encode state
machines.

:class:`ImportOptions` checks each of them once, where it is given, and says
how Yosys receives it:

- definitions go into a header that Yosys reads before the sources (a value
  may hold spaces and quotes, which Yosys's command line cannot carry);
  ``NAME`` alone is defined as 1;
- include folders are ``read_verilog -I`` arguments;
- parameters are set on the top module with ``chparam -set`` before the
  design is elaborated: a value is a Verilog number (``42``, ``8'h2a``,
  ``'b101``) or a string in double quotes; from Python an int is a number;
- ``sv`` reads every source with ``-sv`` (files ending in ``.sv`` are read
  so anyway).

Everything here is part of the import cache's key (:meth:`key`).
"""

from __future__ import annotations

import os
import re
from collections.abc import Iterable, Mapping
from dataclasses import dataclass

from .errors import ImportFailure

_IDENTIFIER = re.compile(r"[A-Za-z_][A-Za-z0-9_$]*")
# A Verilog number as chparam decodes it: decimal digits, or a based literal with an optional size.
_NUMBER = re.compile(r"[0-9][0-9_]*|(?:[0-9][0-9_]*)?'[sS]?(?:[bB][01xXzZ?_]+|[oO][0-7xXzZ?_]+|[dD][0-9_]+|"
                     r"[hH][0-9a-fA-FxXzZ?_]+)")
_STRING = re.compile(r'"[^"\\\n;]*"')

DefineValue = str | int | None
ParameterValue = str | int


class OptionError(ImportFailure):
    """An import option that cannot be given to Yosys; the message says which and why."""


@dataclass(frozen=True)
class ImportOptions:
    defines: tuple[tuple[str, str], ...] = ()  # (name, value), in the order given
    include_dirs: tuple[str, ...] = ()
    parameters: tuple[tuple[str, str], ...] = ()  # (name, Verilog constant), in the order given
    sv: bool = False
    recode_fsm: bool = False

    @classmethod
    def make(
        cls,
        defines: Mapping[str, DefineValue] | Iterable[str] | None = None,
        include_dirs: Iterable[str | os.PathLike[str]] | None = None,
        parameters: Mapping[str, ParameterValue] | None = None,
        sv: bool = False,
        recode_fsm: bool = False,
    ) -> ImportOptions:
        """Checked options. `defines` maps a name to its value (None: 1),
        or lists ``NAME`` / ``NAME=VALUE`` texts; `parameters` maps a
        parameter of the top module to a Verilog constant (an int, or the
        text of a number or a quoted string)."""
        for flag, name in ((sv, "sv"), (recode_fsm, "recode_fsm")):
            if not isinstance(flag, bool):
                raise TypeError(f"{name} is True or False, not {type(flag).__name__}")
        return cls(_defines(defines), _folders(include_dirs), _parameters(parameters), sv, recode_fsm)

    def key(self) -> list[object]:
        """What the cache key takes of the options."""
        return [list(map(list, self.defines)), list(self.include_dirs), list(map(list, self.parameters)), self.sv,
                self.recode_fsm]

    def header(self) -> str:
        """The Verilog header that defines the macros."""
        return "".join(f"`define {name} {value}\n" for name, value in self.defines)

    def read_flags(self, source: str) -> str:
        """The read_verilog flags of a source (with a space before each)."""
        flags = " -sv" if self.sv or source.lower().endswith((".sv", ".svh")) else ""
        return flags + "".join(f" -I{folder}" for folder in self.include_dirs)


def _defines(given: Mapping[str, DefineValue] | Iterable[str] | None) -> tuple[tuple[str, str], ...]:
    if given is None:
        return ()
    if isinstance(given, str):
        raise TypeError("defines is a mapping of name to value (or a list of NAME=VALUE texts), not a str")
    pairs: list[tuple[object, object]] = []
    if isinstance(given, Mapping):
        pairs = list(given.items())
    else:
        for item in given:
            if not isinstance(item, str):
                raise TypeError(f"a define is a NAME or NAME=VALUE text, not {type(item).__name__}")
            text, equals, rest = item.partition("=")
            pairs.append((text, rest if equals else None))
    found: dict[str, str] = {}
    for key, value in pairs:
        if not isinstance(key, str) or not _IDENTIFIER.fullmatch(key):
            raise OptionError(f"define {key!r}: a macro name is a Verilog identifier")
        name = key
        if value is None:
            text = "1"
        elif isinstance(value, bool) or not isinstance(value, (str, int)):
            raise TypeError(f"define {name}: a value is a str, an int or None, not {type(value).__name__}")
        else:
            text = str(value)
        if "\n" in text or "\r" in text or "\\" in text:
            raise OptionError(f"define {name}: a value is one line, without backslashes")
        found[name] = text
    return tuple(found.items())


def _folders(given: Iterable[str | os.PathLike[str]] | None) -> tuple[str, ...]:
    if given is None:
        return ()
    if isinstance(given, (str, os.PathLike)):
        raise TypeError("include_dirs is a list of folders, not one")
    folders: list[str] = []
    for item in given:
        if not isinstance(item, (str, os.PathLike)):
            raise TypeError(f"an include folder is a path, not {type(item).__name__}")
        folder = os.fspath(item)
        if not isinstance(folder, str):
            raise TypeError("an include folder is a text path, not bytes")
        if not folder or any(ch.isspace() or ch in "\"';" for ch in folder):
            raise OptionError(f"include folder '{folder}': Yosys cannot take a folder whose name is empty or has "
                              "a space, quote or semicolon: name it through a link without them")
        if not os.path.isdir(folder):
            what = "is not a folder" if os.path.exists(folder) else "does not exist"
            raise OptionError(f"include folder '{folder}' {what}")
        folders.append(folder)
    return tuple(dict.fromkeys(folders))


def _parameters(given: Mapping[str, ParameterValue] | None) -> tuple[tuple[str, str], ...]:
    if given is None:
        return ()
    if not isinstance(given, Mapping):
        raise TypeError(f"parameters is a mapping of name to value, not {type(given).__name__}")
    found: list[tuple[str, str]] = []
    for name, value in given.items():
        if not isinstance(name, str) or not _IDENTIFIER.fullmatch(name):
            raise OptionError(f"parameter {name!r}: a parameter name is a Verilog identifier")
        found.append((name, parameter_value(name, value)))
    return tuple(found)


def parameter_value(name: str, value: object) -> str:
    """The Verilog constant that sets parameter `name` to `value`."""
    if isinstance(value, bool) or not isinstance(value, (int, str)):
        raise TypeError(f"parameter {name}: a value is an int or a str, not {type(value).__name__}")
    if isinstance(value, int):
        if value >= 0:
            return str(value)
        width = max(32, value.bit_length() + 1)  # a negative number in two's complement, signed
        return f"{width}'sh{value & ((1 << width) - 1):x}"
    text = value.strip()
    if _NUMBER.fullmatch(text) or _STRING.fullmatch(text):
        return text
    raise OptionError(
        f"parameter {name}: '{value}' is no Verilog number (42, 8'h2a, 'b101) or string in double quotes "
        "(without quotes, backslashes or semicolons inside)"
    )


def parse_assignments(items: Iterable[str], option: str) -> dict[str, str]:
    """NAME=VALUE texts of a command-line option, each name once."""
    found: dict[str, str] = {}
    for item in items:
        name, equals, value = item.partition("=")
        if not equals or not name:
            raise OptionError(f"{option} {item}: write NAME=VALUE")
        if name in found:
            raise OptionError(f"{option} {name} is given twice")
        found[name] = value
    return found
