"""Ports of a circuit: named groups of busses recorded beside the IR.

The importer and the builder record a circuit's interface in the IR under
``component.ports`` (the renderer ignores keys it does not know)::

    "ports": {"a": {"direction": "input", "bits": ["a[0]", "a[1]", "a[2]"]},
              "y": {"direction": "output", "bits": ["y"]}}

``bits`` lists bus ids, least significant first. A port value is one bit
string with one character per bit, element 0 = bit 0 (the least
significant bit, ``bits[0]``). A port whose ``bits`` name a single bus
takes the whole value as that bus's value, whatever its width.
"""

from __future__ import annotations

import json
import re
from json.decoder import scanstring  # type: ignore[attr-defined]
from collections.abc import Iterable, Mapping
from dataclasses import dataclass
from typing import get_args

from .ir import Direction, PortRecord

DIRECTIONS: tuple[Direction, ...] = get_args(Direction)


class PortError(ValueError):
    """A port value that does not fit its port, or malformed port records."""


@dataclass(frozen=True)
class Port:
    name: str
    direction: Direction
    bits: tuple[str, ...]

    @property
    def width(self) -> int:
        return len(self.bits)

    def split(self, value: str) -> dict[str, str]:
        """The bus inputs that write `value` (element 0 = bits[0]) to the port."""
        if len(self.bits) == 1:
            return {self.bits[0]: value}
        if len(value) != len(self.bits):
            raise PortError(
                f"port '{self.name}' has {plural(len(self.bits), 'bit')}, the value has {plural(len(value), 'bit')}"
            )
        return dict(zip(self.bits, value))

    def join(self, values: Mapping[str, str]) -> str:
        """The port's value, read from the values of its busses."""
        return "".join(values[bus_id] for bus_id in self.bits)

    def to_json(self) -> PortRecord:
        return {"direction": self.direction, "bits": list(self.bits)}


def plural(count: int, unit: str, units: str | None = None) -> str:
    """'1 bit', '2 bits', '0 bits'; `units` when the plural is not unit + 's'."""
    return f"{count} {unit}" if count == 1 else f"{count} {units or unit + 's'}"


def ports_from_document(doc: object) -> dict[str, Port]:
    """The ports recorded in an IR document, in their order; {} when it has none."""
    component = doc.get("component") if isinstance(doc, dict) else None
    raw = component.get("ports") if isinstance(component, dict) else None
    if raw is None:
        return {}
    if not isinstance(raw, dict):
        raise PortError("'ports' must be an object of port name to port")
    ports: dict[str, Port] = {}
    for name, entry in raw.items():
        if not isinstance(entry, dict):
            raise PortError(f"port '{name}' must be an object")
        direction = entry.get("direction")
        bits = entry.get("bits")
        if direction not in DIRECTIONS:
            raise PortError(f"port '{name}' has no direction input, output or inout")
        if not isinstance(bits, list) or not bits or not all(isinstance(b, str) for b in bits):
            raise PortError(f"port '{name}' must list its bus ids in 'bits'")
        ports[name] = Port(name, direction, tuple(bits))
    return ports


_SPACE = re.compile(r"[ \t\n\r]*")
_COLON = re.compile(r"[ \t\n\r]*:")
# An escaped ASCII letter (\u0070 is "p"): a key spelled with one may be "ports".
_ESCAPED_LETTER = re.compile(r"\\u00[67][0-9a-fA-F]")


def ports_from_text(text: str) -> dict[str, Port]:
    """Like ports_from_document, on IR text: the ports of the component,
    never a "ports" key nested elsewhere.

    The text is read only as far as the component's "ports" member, and
    what comes after it (the busses, where the builder and the importer put
    the ports first) is only searched for another "component" or "ports" key
    that would take its place; when there is one, the whole text is parsed."""
    if '"ports"' not in text and not _escaped_letter(text, 0):
        return {}
    try:
        raw, end = _component_ports(text)
    except (ValueError, IndexError, RecursionError):  # not laid out as expected: parse it all
        return ports_from_document(_parse_whole(text))
    if _key_from(text, end, '"ports"') or _key_from(text, end, '"component"') or _escaped_letter(text, end):
        return ports_from_document(_parse_whole(text))
    return ports_from_document({"component": {"ports": raw}})


def _parse_whole(text: str) -> object:
    return json.loads(text)


def _decode(text: str, position: int) -> tuple[object, int]:
    """One JSON value at `position`, and where it ends."""
    return _DECODER.raw_decode(text, position)


_DECODER = json.JSONDecoder()


def _escaped_letter(text: str, start: int) -> bool:
    return text.find("\\u00", start) >= 0 and _ESCAPED_LETTER.search(text, start) is not None


def _key_from(text: str, start: int, quoted: str) -> bool:
    """Whether `quoted` (a name in quotes) occurs as a key from `start` on."""
    position = text.find(quoted, start)
    while position >= 0:
        if _COLON.match(text, position + len(quoted)):
            return True
        position = text.find(quoted, position + 1)
    return False


def _space(text: str, position: int) -> int:
    match = _SPACE.match(text, position)
    assert match is not None  # the pattern matches the empty string
    return match.end()


def _member(text: str, start: int, name: str) -> tuple[bool, int]:
    """Looks for the first member `name` of the object at `start`, decoding
    the values before it to step over them: (True, where its value starts),
    or (False, where the object ends) when there is none."""
    if text[start] != "{":
        raise ValueError("not an object")
    position = _space(text, start + 1)
    if text[position] == "}":
        return False, position + 1
    while True:
        if text[position] != '"':
            raise ValueError("expected a key")
        key, position = scanstring(text, position + 1)
        position = _space(text, position)
        if text[position] != ":":
            raise ValueError("expected ':'")
        position = _space(text, position + 1)
        if key == name:
            return True, position
        position = _space(text, _decode(text, position)[1])
        if text[position] == "}":
            return False, position + 1
        if text[position] != ",":
            raise ValueError("expected ',' or '}'")
        position = _space(text, position + 1)


def _component_ports(text: str) -> tuple[object, int]:
    """The value of the first "ports" member of the first "component" member
    (None when there is none, or the component is no object) and where the
    text was read up to."""
    found, position = _member(text, _space(text, 0), "component")
    if not found:
        return None, position
    if text[position] != "{":
        return None, position
    found, position = _member(text, position, "ports")
    if not found:
        return None, position
    return _decode(text, position)


def expand_inputs(ports: Mapping[str, Port], inputs: Mapping[str, str], bus_ids: Iterable[str] = ()) -> dict[str, str]:
    """Bus inputs from a mapping whose keys are bus ids or port names.

    A key that is a bus id stays as it is; a key that names a port (and no
    bus) is split into the port's busses. Other keys pass through unchanged.
    """
    known = bus_ids if isinstance(bus_ids, (set, frozenset)) else set(bus_ids)
    out: dict[str, str] = {}
    for key, value in inputs.items():
        port = ports.get(key)
        if port is None or key in known:
            out[key] = value
        else:
            out.update(port.split(value))
    return out


def port_values(ports: Mapping[str, Port], values: Mapping[str, str]) -> dict[str, str]:
    """Every port's value, joined from the bus values, in port order."""
    return {name: port.join(values) for name, port in ports.items()}


class PortView:
    """What `nimbo run` shows of a circuit with ports: inputs may name ports,
    and results are port values in port order. Without ports it passes bus
    values through."""

    def __init__(self, ports: Mapping[str, Port], bus_ids: Iterable[str]):
        self.ports = dict(ports)
        self.bus_ids = list(bus_ids)
        self._known = set(self.bus_ids)

    @property
    def order(self) -> list[str]:
        return list(self.ports) if self.ports else self.bus_ids

    def inputs(self, given: Mapping[str, str]) -> dict[str, str]:
        return expand_inputs(self.ports, given, self._known) if self.ports else dict(given)

    def values(self, values: Mapping[str, str]) -> dict[str, str]:
        return port_values(self.ports, values) if self.ports else dict(values)
