"""The clocked benchmark designs: their sources, ports and random inputs.

Each design has one clock input, ``clk``, which no vector names: every
simulator cycles it once per vector (inputs are applied, then the rising
edge, then the falling edge, then the outputs are read). An input's bits
are drawn each cycle with probability ``p_one`` of being 1 (per bit, or one
probability per bit, least significant first); during the first
``RESET_CYCLES`` cycles of every sequence an input with a ``start`` value
holds it instead, so that every sequence begins with the design's resets
asserted and all simulators start from the same state whatever they
assumed before. An input with ``hold`` is drawn once per sequence and kept
for all its cycles (a processor's seed, read by its program).

``flavour`` says how the design is simulated: "registers" for a design
whose flip-flops stay flip-flops (nimbo steps it: registers in the IR),
"nand" for one whose flip-flops are rebuilt from NAND gates after synthesis
(synth.two_phase): a master and a slave latch on two non-overlapping clock
phases, PHASES, which replace the clock. There the phases are ordinary
inputs of a circuit with feedback; one cycle is four changes (phi1 1 with
the inputs, phi1 0, phi2 1, phi2 0), in nimbo four updates.
"""

from __future__ import annotations

from dataclasses import dataclass
from pathlib import Path

HERE = Path(__file__).resolve().parent
DESIGN_DIR = HERE / "designs"
RESET_CYCLES = 2
CLOCK = "clk"
PHASES = ("phi1", "phi2")  # a "nand" design's clock phases, in place of CLOCK


@dataclass(frozen=True)
class Input:
    name: str
    width: int
    p_one: float | tuple[float, ...] = 0.5
    start: int | None = None  # value held during the first RESET_CYCLES cycles
    hold: bool = False  # one value for the whole sequence

    def probabilities(self) -> tuple[float, ...]:
        if isinstance(self.p_one, tuple):
            if len(self.p_one) != self.width:
                raise ValueError(f"input {self.name}: {len(self.p_one)} probabilities for {self.width} bits")
            return self.p_one
        return (self.p_one,) * self.width


@dataclass(frozen=True)
class Output:
    name: str
    width: int


@dataclass(frozen=True)
class Design:
    name: str
    top: str
    sources: tuple[str, ...]  # file names in designs/
    inputs: tuple[Input, ...]  # every input port but the clock, in declaration order
    outputs: tuple[Output, ...]  # every output port, in declaration order
    about: str
    flavour: str = "registers"  # or "nand"
    negedge: bool = False  # has registers on the falling edge
    icarus_cycles: int | None = None  # at most this many cycles under Icarus (None: all)
    data: tuple[str, ...] = ()  # files in designs/ the sources read ($readmemh), by name in the working directory

    @property
    def data_paths(self) -> list[Path]:
        return [DESIGN_DIR / d for d in self.data]

    @property
    def paths(self) -> list[Path]:
        return [DESIGN_DIR / s for s in self.sources]

    @property
    def input_bits(self) -> int:
        return sum(i.width for i in self.inputs)

    @property
    def output_bits(self) -> int:
        return sum(o.width for o in self.outputs)


def _bits(low: float, high: float, split: int, width: int) -> tuple[float, ...]:
    """Probabilities `low` for bits below `split`, `high` for the rest."""
    return tuple(low if i < split else high for i in range(width))


RV32SYS_ABOUT = (
    "multi-cycle RV32IM core (regs[0:31], 33x33 `*`, serial divider) with a 1024-word ROM ($readmemh) and a "
    "1024-word RAM with byte writes; program: programs/rv32/main.c (gcc -O2), rounds of random words from the "
    "seed port, insertion sort, CRC-32, sieve, products, divisions, writing 11 checksums a round to `out`; "
    "under Icarus they equal the host build of main.c (test_clocked.py)"
)

DESIGNS: dict[str, Design] = {
    d.name: d
    for d in (
        Design(
            "risc16",
            "risc16",
            ("risc16.v", "risc16_rom.v"),
            (Input("rst", 1, 0.0002, start=1), Input("run", 1, 0.9), Input("in_port", 16)),
            (Output("out_port", 16), Output("out_strobe", 1), Output("pc_out", 8), Output("halted", 1),
             Output("wb_data", 16), Output("wb_en", 1)),
            "16-bit RISC, 256-word RAM, program: sieve, insertion sort, CRC-16 (programs/sortcrc.s)",
        ),
        Design(
            "rv32sys",
            "rv32sys",
            ("rv32sys.v", "rv32_core.v"),
            (Input("rst", 1, 0.0, start=1), Input("seed", 32, hold=True)),
            (Output("out", 32), Output("out_valid", 1), Output("pc", 32), Output("trap", 1)),
            RV32SYS_ABOUT,
            data=("rv32sys_rom.hex",),
        ),
        Design(
            "periph",
            "periph",
            ("periph.v",),
            (Input("rst_n", 1, 0.9995, start=0), Input("arst", 1, 0.0005, start=1),
             Input("tx_srst_n", 1, 0.995, start=0), Input("ch_en", 20, 0.8),
             Input("ch_srst", 20, 0.005, start=(1 << 20) - 1), Input("din", 20),
             Input("wr", 1, 0.3), Input("addr", 8, _bits(0.5, 0.3, 6, 8)),
             Input("wdata", 16, _bits(0.5, 0.1, 6, 16)), Input("raddr", 8, _bits(0.5, 0.35, 5, 8))),
            (Output("pwm", 20), Output("match", 20), Output("wrap", 20), Output("rdata", 16),
             Output("tx", 1), Output("tx_busy", 1)),
            "20 timer/PWM/CRC channels and a serial transmitter: clock enables, sync and async resets "
            "(active low and high), falling-edge registers",
            negedge=True,
        ),
        Design(
            "fir",
            "fir",
            ("fir.v",),
            (Input("rst", 1, 0.0002, start=1), Input("clear", 1, 0.01), Input("in_valid", 1, 0.9),
             Input("sample", 16), Input("coef_we", 1, 0.1), Input("coef_addr", 3), Input("coef_data", 16)),
            (Output("out", 16), Output("out_valid", 1), Output("saturated", 1), Output("energy", 32)),
            "8-tap pipelined FIR filter, 16-bit samples and coefficients, registered adder tree",
        ),
        Design(
            "mac4_nand",
            "mac4",
            ("mac4.v",),
            (Input("rst", 1, 0.001, start=1), Input("en", 1, 0.9), Input("clr", 4, 0.02),
             Input("a", 32), Input("b", 32)),
            (Output("sum", 32), Output("state", 256)),
            "4 multiply-accumulate lanes, each flip-flop two latches of 4 NAND gates on two clock phases "
            "(state: every flip-flop)",
            flavour="nand",
            icarus_cycles=2000,
        ),
        Design(
            "mac4",
            "mac4",
            ("mac4.v",),
            (Input("rst", 1, 0.001, start=1), Input("en", 1, 0.9), Input("clr", 4, 0.02),
             Input("a", 32), Input("b", 32)),
            (Output("sum", 32), Output("state", 256)),
            "mac4_nand with its flip-flops kept as registers",
        ),
    )
}

DEFAULT = ("mac4_nand", "risc16", "rv32sys", "periph", "fir")
