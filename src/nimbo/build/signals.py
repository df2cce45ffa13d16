"""Signals: expressions of a fixed width over the busses of a circuit.

A signal is a tree of nodes: constants, nets (named busses, and the
anonymous nets the operators make for values they read more than once),
bitwise gates and inverters over equal widths, and vectors that pick bits
apart (indexing, slicing, concatenation, and every operator that works bit
by bit). The circuit turns the trees into IR when it writes it
(:mod:`nimbo.build.lower`).

Bit i of a signal is its bit of weight 2**i: element i of its bit string.
"""

from __future__ import annotations

import operator
from collections.abc import Iterator, Sequence
from typing import TYPE_CHECKING, Union

from ..ir import GateType

if TYPE_CHECKING:
    from .circuit import Circuit

# An expression deeper than this many gates gets a net of its own, so that the
# IR stays well inside the renderer's nesting limit.
MAX_DEPTH = 32


class BuildError(ValueError):
    """A circuit that cannot be built as asked (width mismatch, repeated name, ...)."""


Operand = Union["Signal", int]


def article(width: int) -> str:
    """'a 4-bit', 'an 8-bit', 'an 11-bit'."""
    text = str(width)
    vowel = text.startswith("8") or (len(text) % 3 == 2 and text[:2] in ("11", "18"))
    return f"{'an' if vowel else 'a'} {width}-bit"


def int_bits(value: int, width: int, what: str) -> str:
    """`value` as a bit string of `width` bits, element 0 least significant;
    a negative value is taken in two's complement."""
    if isinstance(value, bool):
        value = int(value)
    if not -(1 << (width - 1)) <= value < (1 << width):
        raise BuildError(f"{what}: {value} does not fit in {width} bit{'s' if width != 1 else ''}")
    return format(value % (1 << width), f"0{width}b")[::-1]


def check_bits(bits: str) -> str:
    if not bits or any(ch not in "01" for ch in bits):
        raise BuildError(f"'{bits}' is not a bit string of 0 and 1")
    return bits


class Signal:
    """An expression of a fixed width.

    Operators: ``& | ^ ~`` bit by bit; ``+ -`` modulo 2**width; ``== != < <= >
    >=`` unsigned, giving a 1-bit signal; ``<< >>`` logical shifts by an int
    or by a signal; ``s[i]`` bit i, ``s[lo:hi]`` bits lo to hi-1 (Python
    slicing, bit 0 least significant). An int operand becomes a constant of
    the other operand's width. Signals have no Python truth value.
    """

    __slots__ = ("width", "depth")

    def __init__(self, width: int, depth: int):
        self.width = width
        self.depth = depth  # gates on the longest path to a net or constant

    __hash__ = object.__hash__

    def __bool__(self) -> bool:
        raise BuildError(
            "a signal has no truth value in Python: it is a circuit, not a value. "
            "To choose between signals use mux(condition, when_0, when_1)"
        )

    def __len__(self) -> int:
        return self.width

    def __iter__(self) -> Iterator[Signal]:
        return (bit(self, i) for i in range(self.width))

    def __getitem__(self, index: int | slice) -> Signal:
        if isinstance(index, slice):
            for bound in (index.start, index.stop):
                if bound is not None and not -self.width <= _integer(bound, "a slice bound is an int") <= self.width:
                    raise BuildError(
                        f"[{_slice_text(index)}] of {article(self.width)} signal: its bits are 0 to {self.width - 1}"
                    )
            if index.step is not None and _integer(index.step, "a slice step is an int") == 0:
                raise BuildError(f"[{_slice_text(index)}]: a slice step is not 0")
            positions = range(self.width)[index]
            if not positions:
                hint = ""
                if index.step is None and index.start is not None and index.stop is not None and index.start > index.stop:
                    hint = (
                        f": slices count up from bit 0, the least significant, as in Python; "
                        f"Verilog's [{index.start}:{index.stop}] is [{index.stop}:{index.start + 1}] here"
                    )
                raise BuildError(f"[{_slice_text(index)}] of {article(self.width)} signal selects no bits{hint}")
            return vector([bit(self, i) for i in positions])
        if isinstance(index, Signal):
            raise BuildError("a signal cannot index a signal; use select(index, options) or a shift")
        index = _integer(index, "a signal is indexed by an int or a slice")
        if not -self.width <= index < self.width:
            raise BuildError(f"bit {index} of {article(self.width)} signal: bits are 0 to {self.width - 1}")
        return bit(self, index % self.width)

    # bitwise
    def __and__(self, other: Operand) -> Signal:
        return gate("and", self, other, "and")

    def __rand__(self, other: Operand) -> Signal:
        return gate("and", other, self, "and")

    def __or__(self, other: Operand) -> Signal:
        return gate("or", self, other, "or")

    def __ror__(self, other: Operand) -> Signal:
        return gate("or", other, self, "or")

    def __xor__(self, other: Operand) -> Signal:
        return gate("xor", self, other, "xor")

    def __rxor__(self, other: Operand) -> Signal:
        return gate("xor", other, self, "xor")

    def __invert__(self) -> Signal:
        return invert(self)

    # arithmetic (nimbo.build.arith)
    def __add__(self, other: Operand) -> Signal:
        from .arith import add

        return add(self, other, op="+")[0]

    def __radd__(self, other: Operand) -> Signal:
        from .arith import add

        return add(other, self, op="+")[0]

    def __sub__(self, other: Operand) -> Signal:
        from .arith import sub

        return sub(self, other, op="-")[0]

    def __rsub__(self, other: Operand) -> Signal:
        from .arith import sub

        return sub(other, self, op="-")[0]

    def __neg__(self) -> Signal:
        from .arith import sub

        return sub(0, self, op="-")[0]

    # comparisons: 1-bit signals
    def __eq__(self, other: object) -> Signal:  # type: ignore[override]
        from .arith import equal_words

        return equal_words(self, _comparand(other, "=="), "==")

    def __ne__(self, other: object) -> Signal:  # type: ignore[override]
        from .arith import equal_words

        return invert(equal_words(self, _comparand(other, "!="), "!="))

    def __lt__(self, other: Operand) -> Signal:
        from .arith import less

        return less(self, other, "<")

    def __gt__(self, other: Operand) -> Signal:
        from .arith import less

        x, y = pair(self, other, ">")
        return less(y, x, ">")

    def __le__(self, other: Operand) -> Signal:
        from .arith import less

        x, y = pair(self, other, "<=")
        return invert(less(y, x, "<="))

    def __ge__(self, other: Operand) -> Signal:
        from .arith import less

        return invert(less(self, other, ">="))

    # shifts
    def __lshift__(self, amount: int | Signal) -> Signal:
        from .arith import shift

        return shift(self, amount, left=True)

    def __rshift__(self, amount: int | Signal) -> Signal:
        from .arith import shift

        return shift(self, amount, left=False)

    def __repr__(self) -> str:
        return f"<{type(self).__name__} of {self.width} bit{'s' if self.width != 1 else ''}>"


def _slice_text(index: slice) -> str:
    parts = ["" if p is None else str(p) for p in (index.start, index.stop, index.step)]
    return ":".join(parts if index.step is not None else parts[:2])


def _comparand(other: object, op: str) -> Operand:
    if isinstance(other, Signal):
        return other
    return _integer(other, f"{op} compares a signal with a signal or an int")


class Const(Signal):
    __slots__ = ("bits",)

    def __init__(self, bits: str):
        super().__init__(len(bits), 0)
        self.bits = bits


class Gate(Signal):
    __slots__ = ("kind", "left", "right")

    def __init__(self, kind: GateType, left: Signal, right: Signal):
        super().__init__(left.width, 1 + max(left.depth, right.depth))
        self.kind = kind
        self.left = left
        self.right = right


class Not(Signal):
    __slots__ = ("operand",)

    def __init__(self, operand: Signal):
        super().__init__(operand.width, 1 + operand.depth)
        self.operand = operand


class Vector(Signal):
    """Signals of one bit side by side, element 0 first."""

    __slots__ = ("items",)

    def __init__(self, items: tuple[Signal, ...]):
        super().__init__(len(items), max(item.depth for item in items))
        self.items = items


class Pick(Signal):
    """Bit `index` of a multi-bit net, gate or inverter."""

    __slots__ = ("source", "index")

    def __init__(self, source: Signal, index: int):
        super().__init__(1, source.depth)
        self.source = source
        self.index = index


class Net(Signal):
    """A bus of the IR. Anonymous nets (no circuit) are named when the IR is
    written; `hint` is the name they get when it is free."""

    __slots__ = ("id", "driver", "init", "circuit")

    def __init__(self, width: int, bus_id: str, init: str | None = None, circuit: Circuit | None = None):
        super().__init__(width, 0)
        self.id = bus_id
        self.driver: Signal | None = None
        self.init = "0" * width if init is None else init
        self.circuit = circuit


def net_of(signal: Signal, hint: str = "$") -> Signal:
    """`signal` itself when reading it costs no gate, else an anonymous net
    driven by it (for values read more than once)."""
    if signal.depth == 0:
        return signal
    net = Net(signal.width, hint)
    net.driver = signal
    return net


def bit(signal: Signal, index: int) -> Signal:
    """Bit `index` (0 <= index < width) of `signal`, as a 1-bit signal."""
    if signal.width == 1:
        return signal
    if isinstance(signal, Vector):
        return signal.items[index]
    if isinstance(signal, Const):
        return Const(signal.bits[index])
    return Pick(signal, index)


def bits_of(signal: Signal) -> list[Signal]:
    return [bit(signal, i) for i in range(signal.width)]


def vector(items: Sequence[Signal]) -> Signal:
    """1-bit signals side by side (element 0 first), as simple as it gets: the
    bits of one whole signal in order give that signal back."""
    if not items:
        raise BuildError("a signal needs at least one bit")
    flat = tuple(items)
    if len(flat) == 1:
        return flat[0]
    if all(isinstance(item, Const) for item in flat):
        return Const("".join(item.bits for item in flat if isinstance(item, Const)))
    first = flat[0]
    if isinstance(first, Pick) and first.index == 0 and first.source.width == len(flat):
        source = first.source
        if all(isinstance(item, Pick) and item.source is source and item.index == i for i, item in enumerate(flat)):
            return source
    return Vector(flat)


def _deep(signal: Signal) -> Signal:
    return net_of(signal) if signal.depth >= MAX_DEPTH else signal


def _integer(value: object, what: str) -> int:
    """An int, or an integer of another type (NumPy's) as an int."""
    if isinstance(value, int):
        return int(value)
    try:
        return operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise BuildError(f"{what}, not {type(value).__name__}") from None


def coerce(value: Operand, width: int, op: str) -> Signal:
    """A signal operand as it is, an int as a constant of `width` bits."""
    if isinstance(value, Signal):
        return value
    number = _integer(value, f"{op} takes signals and ints")
    return Const(int_bits(number, width, f"{op} with {number}"))


def pair(a: Operand, b: Operand, op: str) -> tuple[Signal, Signal]:
    """Two operands of one width (an int takes the other's width)."""
    if not isinstance(a, Signal) and not isinstance(b, Signal):
        raise BuildError(f"{op} needs at least one signal operand to know its width")
    left = coerce(a, b.width if isinstance(b, Signal) else 0, op)
    right = coerce(b, left.width, op)
    if left.width != right.width:
        raise BuildError(
            f"{op} of {article(left.width)} and {article(right.width)} signal: "
            "widths must be equal (zero_extend or sign_extend widen a signal, slicing narrows it)"
        )
    return left, right


def gate(kind: GateType, a: Operand, b: Operand, op: str) -> Signal:
    left, right = pair(a, b, op)
    return Gate(kind, _deep(left), _deep(right))


def invert(signal: Signal) -> Signal:
    if isinstance(signal, Not):
        return signal.operand
    return Not(_deep(signal))


def const(value: int | str, width: int | None = None) -> Signal:
    """A constant: ``const(5, 8)`` is 5 in 8 bits (negative values in two's
    complement), ``const(5)`` takes the fewest bits that hold 5, and
    ``const("1010")`` is a bit string, element 0 (bit 0) first."""
    if isinstance(value, str):
        bits = check_bits(value)
        if width is not None and width != len(bits):
            raise BuildError(f"const('{value}', {width}): the bit string has {len(bits)} bits")
        return Const(bits)
    if not isinstance(value, int):
        raise BuildError(f"const takes an int or a bit string, not {type(value).__name__}")
    if width is None:
        if value < 0:
            raise BuildError(f"const({value}) needs a width: const({value}, 8) is {value} in 8 bits")
        width = max(1, int(value).bit_length())
    if not isinstance(width, int) or width < 1:
        raise BuildError(f"const({value}, {width}): a width is a positive int")
    return Const(int_bits(value, width, f"const({value}, {width})"))


def nand(a: Operand, b: Operand) -> Signal:
    return gate("nand", a, b, "nand")


def nor(a: Operand, b: Operand) -> Signal:
    return gate("nor", a, b, "nor")


def xnor(a: Operand, b: Operand) -> Signal:
    return gate("xnor", a, b, "xnor")


def cat(*parts: Signal) -> Signal:
    """The parts side by side, the FIRST in the least significant bits:
    ``cat(lo, hi)`` is Verilog's ``{hi, lo}``."""
    if not parts:
        raise BuildError("cat needs at least one signal")
    items: list[Signal] = []
    for part in parts:
        if not isinstance(part, Signal):
            raise BuildError(f"cat takes signals, not {type(part).__name__} (const(value, width) makes one)")
        items.extend(bits_of(part))
    return vector(items)


def repeat(signal: Signal, count: int) -> Signal:
    """`count` copies of `signal` side by side (Verilog's ``{count{signal}}``)."""
    if count < 1:
        raise BuildError(f"repeat needs a count of at least 1, got {count}")
    return vector(bits_of(signal) * count)


def zero_extend(signal: Signal, width: int) -> Signal:
    """`signal` widened to `width` bits with zeros above it."""
    if width < signal.width:
        raise BuildError(f"zero_extend of {article(signal.width)} signal to {width} bits: that narrows it; slice instead")
    return signal if width == signal.width else cat(signal, Const("0" * (width - signal.width)))


def sign_extend(signal: Signal, width: int) -> Signal:
    """`signal` widened to `width` bits with copies of its top bit above it."""
    if width < signal.width:
        raise BuildError(f"sign_extend of {article(signal.width)} signal to {width} bits: that narrows it; slice instead")
    return signal if width == signal.width else cat(signal, repeat(bit(signal, signal.width - 1), width - signal.width))


def mux(select: Signal, when_0: Operand, when_1: Operand) -> Signal:
    """`when_1` where `select` is 1, `when_0` where it is 0. A 1-bit select
    picks whole values of any width; a select as wide as the values picks bit
    by bit."""
    zero, one = pair(when_0, when_1, "mux")
    if not isinstance(select, Signal):
        raise BuildError(f"mux needs a signal as its select, not {type(select).__name__}")
    if select.width == 1 and zero.width > 1:
        chosen = select if select.depth <= 1 else net_of(select)
        spread = vector([chosen] * zero.width)
        return gate("or", gate("and", zero, invert(spread), "mux"), gate("and", one, spread, "mux"), "mux")
    if select.width != zero.width:
        raise BuildError(
            f"mux with {article(select.width)} select between {zero.width}-bit values: "
            f"the select has 1 bit, or one per bit of the values"
        )
    chosen = net_of(select) if select.depth > 1 else select
    return gate("or", gate("and", zero, invert(chosen), "mux"), gate("and", one, chosen, "mux"), "mux")


def select(index: Signal, options: Sequence[Operand], default: Operand | None = None) -> Signal:
    """``options[index]``: a tree of muxes over the bits of `index`. With
    fewer than 2**width(index) options, `default` is taken for the rest."""
    if not isinstance(index, Signal):
        raise BuildError(f"select needs a signal as its index, not {type(index).__name__}")
    count = 1 << index.width
    if not options or len(options) > count:
        raise BuildError(f"select with {article(index.width)} index takes 1 to {count} options, got {len(options)}")
    widths = {o.width for o in options if isinstance(o, Signal)}
    if default is not None and isinstance(default, Signal):
        widths.add(default.width)
    if not widths:
        raise BuildError("select needs at least one signal among its options to know their width")
    if len(widths) > 1:
        low, high = sorted(widths)[:2]
        raise BuildError(f"select between {article(low)} and {article(high)} signal: options must have one width")
    width = widths.pop()
    values = [coerce(o, width, "select") for o in options]
    if len(values) < count and default is None:
        raise BuildError(f"select with {article(index.width)} index has {len(values)} of {count} options: give default=")
    fill = coerce(default, width, "select") if default is not None else values[0]
    levels = min(index.width, max(1, (len(values) - 1).bit_length()))  # index bits the options need
    values += [fill] * ((1 << levels) - len(values))
    for level in range(levels):
        choose = bit(index, level)
        values = [mux(choose, values[i], values[i + 1]) for i in range(0, len(values), 2)]
    if levels < index.width:  # an index beyond the options
        return mux(or_all(index[levels:]), values[0], fill)
    return values[0]


def _reduce(kind: GateType, signal: Signal, op: str) -> Signal:
    if not isinstance(signal, Signal):
        raise BuildError(f"{op} takes a signal, not {type(signal).__name__}")
    terms = bits_of(signal)
    while len(terms) > 1:
        paired = [gate(kind, terms[i], terms[i + 1], op) for i in range(0, len(terms) - 1, 2)]
        terms = paired + terms[len(terms) - len(terms) % 2 :]
    return terms[0]


def and_all(signal: Signal) -> Signal:
    """1 when every bit of `signal` is 1."""
    return _reduce("and", signal, "and_all")


def or_all(signal: Signal) -> Signal:
    """1 when some bit of `signal` is 1."""
    return _reduce("or", signal, "or_all")


def xor_all(signal: Signal) -> Signal:
    """1 when an odd number of bits of `signal` are 1 (the parity)."""
    return _reduce("xor", signal, "xor_all")
