from collections.abc import Collection, Iterable, Mapping, Sequence
from typing import Final, final, overload

from typing_extensions import Buffer

class PanicException(BaseException):
    """Raised when nimbo meets an internal fault it cannot recover from."""

class VectorError(RuntimeError):
    """A vector of a batch was refused or failed."""

    index: int
    line: int | None
    bus: str | None
    port: bool
    reason: str
    results: object
    sequence: int | None
    kind: str
    value: str | int | None
    detail: str | None
    number: bool
    unknown: list[tuple[int, str]]

def parse_value(value: str | int, width: int) -> str:
    """The bit string (element 0 first) of a value for a bus or port of width bits."""

def format_value(bits: str, radix: str) -> str:
    """A bit string (element 0 first) as a number in radix 'bin', 'hex' or 'dec'."""

@final
class Simulator:
    """A circuit rendered from an IR text, simulated one update or many vectors at a time."""

    def __new__(cls, ir: str, *, x_initial: str = "zero", seed: int | None = None) -> Simulator: ...
    @property
    def id(self) -> str: ...
    @property
    def bus_ids(self) -> tuple[str, ...]: ...
    @property
    def driven(self) -> tuple[bool, ...]: ...
    @property
    def one_pass(self) -> bool: ...
    @property
    def feedback(self) -> bool: ...
    @property
    def clocks(self) -> tuple[str, ...]: ...
    @property
    def memories(self) -> dict[str, tuple[int, int, int]]: ...
    @property
    def next_line(self) -> int: ...
    @property
    def bit_strings(self) -> list[tuple[int, str, str]]: ...
    def widths(self) -> tuple[int, ...]: ...
    def stats(self) -> dict[str, int]: ...
    def update(self, inputs: dict[str, str], *, allow_unknown: bool = False, resets: bool = True) -> None:
        """Writes the inputs and lets the circuit settle, without a clock edge; with
        registers, the asynchronous resets that are 1 then act (resets=False: the plain
        update of nimbo.core's update_signals)."""
    def step(self, inputs: dict[str, str] | None = None, *, allow_unknown: bool = False) -> None: ...
    def values(self, ids: Sequence[str] | None = None) -> dict[str, str]: ...
    def port_widths(self, ports: dict[str, Sequence[str]]) -> dict[str, int]: ...
    def read_inputs(
        self,
        inputs: dict[str, str | int],
        *,
        ports: dict[str, Sequence[str]] | None = None,
        allow_unknown: bool = False,
        input_ports: Collection[str] | None = None,
    ) -> dict[str, str]: ...
    def reset(self) -> None:
        """Back to the initial state: the rendered values settled with every clock at 0
        and the asynchronous resets applied; every memory back to its initial words."""
    def memory(self, name: str) -> list[int]: ...
    def load_memory(self, name: str, words: Sequence[int]) -> None: ...
    def run(
        self, vectors: Iterable[dict[str, str]], show: Sequence[str] | None = None, *, allow_unknown: bool = False
    ) -> list[dict[str, str]]: ...
    def run_bits(self, inputs: Sequence[str], data: Buffer, outputs: Sequence[str]) -> memoryview: ...
    def run_sequences(
        self, inputs: Sequence[str], data: Buffer, outputs: Sequence[str], *, threads: int = 1
    ) -> memoryview: ...
    def run_sequences_jsonl(
        self,
        blocks: Sequence[Buffer],
        show: Sequence[str] | None = None,
        *,
        ports: dict[str, Sequence[str]] | None = None,
        input_ports: Collection[str] | None = None,
        threads: int = 1,
    ) -> list[tuple[list[tuple[str, ...]], list[tuple[int, str]], VectorError | None]]: ...
    @overload
    def run_jsonl(
        self,
        data: Buffer,
        show: Sequence[str] | None = None,
        first_line: int = 1,
        *,
        layout: None = None,
        threads: int = 1,
        ports: dict[str, Sequence[str]] | None = None,
        input_ports: Collection[str] | None = None,
    ) -> tuple[list[tuple[str, ...]], list[tuple[int, str]]]: ...
    @overload
    def run_jsonl(
        self,
        data: Buffer,
        show: Sequence[str] | None = None,
        first_line: int = 1,
        *,
        layout: tuple[int, int, Sequence[str]] | tuple[int, int, Sequence[str], Sequence[tuple[int, str | None, int]]],
        threads: int = 1,
        ports: dict[str, Sequence[str]] | None = None,
        input_ports: Collection[str] | None = None,
    ) -> tuple[str, list[tuple[int, str]]]: ...

@final
class Testbench:
    """A Simulator driven through named ports with ints (nimbo.Design's native path)."""

    def __new__(cls, simulator: Simulator) -> Testbench: ...
    def add(self, entries: Sequence[tuple[str, Sequence[str], str, bool]], /) -> None: ...
    def set_outputs(self, names: Sequence[str], /) -> None: ...
    def step(self, values: dict[str, int | str] | None, named: dict[str, int | str], /) -> dict[str, int]: ...
    def settle(self, values: dict[str, int | str] | None, named: dict[str, int | str], /) -> dict[str, int]: ...
    def poke(self, values: dict[str, int | str] | None, named: dict[str, int | str], /) -> None: ...
    def read(self, name: str, signed: bool = False, /) -> int: ...
    def read_all(self, names: Sequence[str], /) -> list[int]: ...
    def role(self, name: str, /) -> int | None: ...
    def width(self, name: str, /) -> int: ...
    def bus_roles(self) -> bytes: ...

@final
class Lanes:
    """Copies of a Testbench's design side by side, one per lane."""

    def __new__(cls, testbench: Testbench, count: int, array: object = None) -> Lanes: ...
    @property
    def count(self) -> int: ...
    def step(self, values: dict[str, object] | None, named: dict[str, object], hold: object, /) -> dict[str, object]: ...
    def settle(
        self, values: dict[str, object] | None, named: dict[str, object], hold: object, /
    ) -> dict[str, object]: ...
    def poke(self, values: dict[str, object] | None, named: dict[str, object], hold: object, /) -> None: ...
    def reset(self, lanes: object, /) -> None: ...
    def read(self, name: str, signed: bool = False, /) -> object: ...
    def read_lane(self, names: Sequence[str], lane: int, /) -> list[int]: ...
