"""Building circuits in Python: signals, operators, registers, ports.

A :class:`Circuit` collects busses; a :class:`Signal` is an expression over
them. Multi-bit signals support ``& | ^ ~``, ``+ -`` (modulo 2**width),
unsigned comparisons giving 1-bit signals, shifts by ints and by signals,
indexing and slicing (bit 0 is the least significant: ``a[0:4]`` is
Verilog's ``a[3:0]``) and :func:`cat` (first argument in the low bits).
Registers are declared with :meth:`Circuit.register` and given their next
value with ``reg.next = ...``. ``to_ir()`` writes the IR: busses in
dependency order with every influence list filled, ports and register
records::

    from nimbo.build import Circuit

    c = Circuit("full_adder")
    a, b, cin = c.input("a"), c.input("b"), c.input("cin")
    p = c.wire("p", a ^ b)
    c.output("sum", p ^ cin)
    c.output("cout", (a & b) | (p & cin))
    ir_text = c.to_ir()

Operands must have the same width (an int takes the other operand's).
Feedback is declared explicitly: :meth:`Circuit.feedback` makes a bus that
can be read before :meth:`Bus.drive` gives it its assignment.
"""

from .arith import add, equal, full_adder, ripple_add, sub
from .circuit import Bus, Circuit, Register
from .signals import (
    BuildError,
    Signal,
    and_all,
    cat,
    const,
    mux,
    nand,
    nor,
    or_all,
    repeat,
    select,
    sign_extend,
    xnor,
    xor_all,
    zero_extend,
)

__all__ = [
    "BuildError",
    "Bus",
    "Circuit",
    "Register",
    "Signal",
    "add",
    "and_all",
    "cat",
    "const",
    "equal",
    "full_adder",
    "mux",
    "nand",
    "nor",
    "or_all",
    "repeat",
    "ripple_add",
    "select",
    "sign_extend",
    "sub",
    "xnor",
    "xor_all",
    "zero_extend",
]
