"""Named vectors of a design beside its ports: the record ``component.nets``
that the importer writes for the signals a Verilog design names inside
(the renderer ignores keys it does not know)::

    "nets": {"state": ["state[0]", "state[1]", "state[2]"], "u.count": [...]}

A net's ``bits`` list bus ids, least significant first, as a port's do; its
value is read the same way (element 0 = bit 0). See docs/ir.md.

Where a name is taken (``nimbo run``'s --set, --poke, --show and vector
lines, a regression's lines, shown names and expected values;
nimbo.stepping.Names), it is looked up among the ports, then the nets,
then the bus ids: the first that has it wins.
"""

from __future__ import annotations

import json


class NetError(ValueError):
    """A malformed ``nets`` record."""


def nets_from_document(doc: object) -> dict[str, tuple[str, ...]]:
    """The nets recorded in an IR document, in their order; {} when it has none."""
    component = doc.get("component") if isinstance(doc, dict) else None
    raw = component.get("nets") if isinstance(component, dict) else None
    if raw is None:
        return {}
    if not isinstance(raw, dict):
        raise NetError("'nets' must be an object of net name to its bus ids")
    nets: dict[str, tuple[str, ...]] = {}
    for name, bits in raw.items():
        if not isinstance(bits, list) or not bits or not all(isinstance(b, str) for b in bits):
            raise NetError(f"net '{name}' must list its bus ids, least significant first")
        nets[name] = tuple(bits)
    return nets


def nets_from_text(text: str) -> dict[str, tuple[str, ...]]:
    """Like nets_from_document, on IR text."""
    return nets_from_document(json.loads(text))
