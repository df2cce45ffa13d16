"""`nimbo check`: render a circuit only and print its size."""

from __future__ import annotations

import argparse
from typing import TextIO

from .common import EXIT_OK, load


def command_check(args: argparse.Namespace, out: TextIO) -> int:
    loaded = load(args.ir)
    circuit = loaded.circuit
    widest = circuit.widest_bus()
    print(f"component:     {circuit.id}", file=out)
    print(f"busses:        {len(circuit.busses)}", file=out)
    print(f"driven busses: {len(circuit.driven)}", file=out)
    print(f"gates:         {circuit.gate_count()}", file=out)
    if widest is None:
        print("widest bus:    none", file=out)
    else:
        print(f"widest bus:    {widest.id} ({widest.width} bits)", file=out)
    return EXIT_OK


def register(commands: argparse._SubParsersAction) -> None:
    parser = commands.add_parser("check", help="render a circuit only and print its size")
    parser.add_argument("ir", metavar="IR.json", help="the circuit's IR document")
    parser.set_defaults(handler=command_check)
