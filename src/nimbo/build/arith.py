"""Arithmetic on signals: adders, subtractors, comparisons, shifts, and the
helpers on lists of 1-bit signals.

Carries live in anonymous nets, one bus per bit, so an n-bit adder is O(n)
gates however its result is used.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import TYPE_CHECKING

from .signals import (
    BuildError,
    Const,
    Net,
    Operand,
    Signal,
    and_all,
    bit,
    bits_of,
    coerce,
    gate,
    invert,
    mux,
    net_of,
    or_all,
    pair,
    vector,
    xnor,
)

if TYPE_CHECKING:
    from .circuit import Bus, Circuit


def _shared_bits(signal: Signal) -> list[Signal]:
    """The bits of a value read several times per bit: an expression of more
    than one gate gets a net first, so that it is not copied."""
    return bits_of(signal if signal.depth <= 1 else net_of(signal))


def _carry_in(carry_in: Operand | None, op: str) -> Signal:
    if carry_in is None:
        return Const("0")
    carry = coerce(carry_in, 1, op)
    if carry.width != 1:
        raise BuildError(f"{op}: the carry in has {carry.width} bits, not 1")
    return carry if carry.depth <= 1 else net_of(carry)


def _carries(xs: list[Signal], ys: list[Signal], carry_in: Signal, op: str) -> tuple[list[Signal], list[Signal]]:
    """(carry into each position, carry out of each position) of xs + ys +
    carry_in; the carries out are the bits of one anonymous net."""
    carries = Net(len(xs), "$")
    into = [carry_in] + [bit(carries, i) for i in range(len(xs) - 1)]
    carries.driver = vector(
        [
            gate("or", gate("and", x, y, op), gate("and", gate("xor", x, y, op), c, op), op)
            for x, y, c in zip(xs, ys, into)
        ]
    )
    return into, bits_of(carries)


def add(a: Operand, b: Operand, carry_in: Operand | None = None, op: str = "add") -> tuple[Signal, Signal]:
    """(a + b + carry_in modulo 2**width, the carry out): both results are
    signals; the carry out is 1 when the sum does not fit in the width."""
    x, y = pair(a, b, op)
    xs, ys = _shared_bits(x), _shared_bits(y)
    into, out = _carries(xs, ys, _carry_in(carry_in, op), op)
    total = vector([gate("xor", gate("xor", xi, yi, op), ci, op) for xi, yi, ci in zip(xs, ys, into)])
    return total, out[-1]


def sub(a: Operand, b: Operand, op: str = "sub") -> tuple[Signal, Signal]:
    """(a - b modulo 2**width, the borrow): the borrow is 1 when b > a."""
    x, y = pair(a, b, op)
    difference, carry = add(x, invert(y), 1, op)
    return difference, invert(carry)


def less(a: Operand, b: Operand, op: str) -> Signal:
    """1 when a < b, unsigned: the borrow of a - b."""
    x, y = pair(a, b, op)
    _, out = _carries(_shared_bits(x), _shared_bits(invert(y)), Const("1"), op)
    return invert(out[-1])


def equal_words(a: Operand, b: Operand, op: str) -> Signal:
    x, y = pair(a, b, op)
    return and_all(gate("xnor", x, y, op))


def shift(signal: Signal, amount: int | Signal, left: bool) -> Signal:
    """A logical shift (zeros shifted in) by an int or by a signal (a barrel
    shifter: one stage per bit of the amount; amounts of the width or more
    give 0)."""
    op = "<<" if left else ">>"
    width = signal.width
    if isinstance(amount, bool) or not isinstance(amount, (int, Signal)):
        raise BuildError(f"{op} shifts by an int or a signal, not {type(amount).__name__}")
    if isinstance(amount, int):
        if amount < 0:
            raise BuildError(f"{op} by {amount}: a shift amount is not negative")
        if amount >= width:
            return Const("0" * width)
        if amount == 0:
            return signal
        items = bits_of(signal)
        zeros: list[Signal] = [Const("0")] * amount
        return vector(zeros + items[: width - amount] if left else items[amount:] + zeros)
    value = signal
    stage = 0
    while stage < amount.width and (1 << stage) < width:
        distance = 1 << stage
        items = _shared_bits(value)
        moved = [
            (items[i - distance] if i >= distance else Const("0"))
            if left
            else (items[i + distance] if i + distance < width else Const("0"))
            for i in range(width)
        ]
        value = net_of(vector([mux(bit(amount, stage), stay, move) for stay, move in zip(items, moved)]))
        stage += 1
    if stage < amount.width:  # amount bits worth the width or more: everything is shifted out
        value = mux(or_all(amount[stage:]), value, 0)
    return value


# ---------------------------------------------------------------- lists of 1-bit signals


def _bit_list(value: Sequence[Signal] | Signal, op: str) -> list[Signal]:
    if isinstance(value, Signal):
        return bits_of(value)
    items = list(value)
    for item in items:
        if not isinstance(item, Signal) or item.width != 1:
            raise BuildError(f"{op} takes signals or lists of 1-bit signals")
    return items


def full_adder(a: Signal, b: Signal, carry: Signal) -> tuple[Signal, Signal]:
    """(sum, carry out) of three equal-width signals, bit by bit."""
    p = a ^ b
    return p ^ carry, (a & b) | (p & carry)


def ripple_add(
    circuit: Circuit,
    name: str,
    a: Sequence[Signal] | Signal,
    b: Sequence[Signal] | Signal,
    carry_in: Signal | None = None,
) -> tuple[list[Bus], Bus]:
    """Adds two signals of one width, or two equal-length lists of 1-bit
    signals (element 0 least significant). Sum bits become busses name[i],
    carries name_c[i]; returns (sum busses, carry out)."""
    if isinstance(a, Signal) and isinstance(b, Signal):
        pair(a, b, "ripple_add")
    xs, ys = _bit_list(a, "ripple_add"), _bit_list(b, "ripple_add")
    if len(xs) != len(ys) or not xs:
        raise BuildError(f"ripple_add needs two lists of the same nonzero length, got {len(xs)} and {len(ys)}")
    carry: Signal = Const("0") if carry_in is None else carry_in
    sums: list[Bus] = []
    last: Bus | None = None
    for i, (x, y) in enumerate(zip(xs, ys)):
        s, c = full_adder(x, y, carry)
        sums.append(circuit.wire(f"{name}[{i}]", s))
        last = circuit.wire(f"{name}_c[{i}]", c)
        carry = last
    assert last is not None
    return sums, last


def equal(a: Sequence[Signal] | Signal, b: Sequence[Signal] | Signal) -> Signal:
    """1 when two signals of one width, or two equal-length lists of 1-bit
    signals, are equal (a balanced AND of XNORs)."""
    if isinstance(a, Signal) and isinstance(b, Signal):
        return equal_words(a, b, "equal")
    xs, ys = _bit_list(a, "equal"), _bit_list(b, "equal")
    if len(xs) != len(ys) or not xs:
        raise BuildError(f"equal needs two lists of the same nonzero length, got {len(xs)} and {len(ys)}")
    return and_all(vector([xnor(x, y) for x, y in zip(xs, ys)]))

