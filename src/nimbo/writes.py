"""What a write may name, in words: the messages of a write that names no
input, and of a poke that names no register's state. One wording for every
surface that writes (nimbo run, regressions, Design).

The simulator decides what each name is (Simulator.read_inputs and
run_jsonl with ``input_ports``: a refused name raises VectorError of kind
'input', its detail the name's role: 'output', 'logic' or 'state'); these
functions only word it.
"""

from __future__ import annotations

from .text import show_name

ROLES = ("output", "logic", "state")
_WHAT = {
    "output": "an output",
    "logic": "driven by logic",
    "state": "a register's state",
    "input": "an input",
}


def not_an_input(kind: str, name: str, role: str, poke: str = "--poke NAME=VALUE") -> str:
    """`kind` ('port', 'bus' or 'net') `name`, written where only inputs are,
    is `role`: "port count is not an input: a register's state; only inputs
    are written (--poke NAME=VALUE sets a register's state)".
    `poke` names the operation that sets state on that surface."""
    text = f"{kind} {show_name(name)} is not an input: {_WHAT.get(role, role)}; only inputs are written"
    if role == "state":
        text += f" ({poke} sets a register's state)"
    return text


def not_state(kind: str, name: str, role: str, set_option: str = "--set") -> str:
    """`kind` `name`, poked, is no register's state but `role` ('input',
    'output' or 'logic')."""
    hint = f"; {set_option} writes inputs" if role == "input" else ""
    return f"{kind} {show_name(name)} is not a register's state: {_WHAT.get(role, role)}; only registers are poked{hint}"
