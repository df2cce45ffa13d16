"""Where nimbo simulates Verilog otherwise than the language does, and says so.

nimbo is cycle-based and two-state: a step applies the inputs, then one
clock cycle, with no time between; every bit is 0 or 1. An import warns
(and a strict import refuses) where that changes what the design does:

- delays (``#10``): ignored; an initial block's values all hold at step 0;
- system tasks that print, stop or read the time (``$display``,
  ``$finish``, ``$time``...): not run;
- x and z: constants with x or z bits, nets that nothing drives, registers
  and memories without an initial value (which start at 0);
- combinational loops: settled by re-evaluation, like a latch;
- logic on a clock: a step reads it with the clock low.

Delays and system tasks are found in the text Yosys preprocessed (its
``read_verilog -ppdump``, so macros and conditional code are as Yosys read
them), with the syntax tree telling which block and which signals a line
belongs to; constants with x or z in the syntax tree. The rest is found in
the netlist (see :mod:`nimbo.verilog.yosys`), and its messages are made here
too, so that every text of this kind has one place.
"""

from __future__ import annotations

import bisect
import re
from collections.abc import Callable, Iterable, Iterator, Sequence
from dataclasses import dataclass

from ..ports import plural
from .yosys_log import Message, Node, shown

PREPROCESSED = "-- Verilog code after preprocessor --"
_END = "-- END OF DUMP --"
_LOCATION = re.compile(r"(.*):(\d+)\.\d+-(\d+)\.\d+")
_COMMENT_OR_STRING = re.compile(r'/\*.*?\*/|//[^\n]*|"(?:\\.|[^"\\\n])*"', re.S)
_MARK = re.compile(r"[#$]")
_FILE_MARK = re.compile(r'^`file_(?:push "([^"\n]*)"|pop)', re.M)
_DELAY = re.compile(r"#\s*(\d[\w.']*|[A-Za-z_][\w$]*|\((?:[^()]|\([^()]*\))*\))")
_TASK = re.compile(r"\$([A-Za-z_][\w$]*)")
_WORD_BEFORE = re.compile(r"[\w$]+$")
_UNKNOWN_BITS = re.compile(r"AST_CONSTANT [^\n]*bits='[01xz?]*[xz]")

# Words after which a '#' is a delay; after any other word it starts the
# parameters of a module or an instance.
_KEYWORDS = frozenset(
    "assign deassign force release wire wand wor tri tri0 tri1 triand trior trireg supply0 supply1 uwire reg logic "
    "begin end else fork join join_any join_none initial always always_comb always_ff always_latch final forever "
    "repeat while do for if and nand or nor xor xnor buf not bufif0 bufif1 notif0 notif1 nmos pmos cmos rnmos "
    "rpmos rcmos tran rtran tranif0 tranif1 rtranif0 rtranif1 pullup pulldown return".split()
)
_PRINTING = frozenset(
    f"{stem}{suffix}" for stem in ("display", "write", "strobe", "monitor", "fdisplay", "fwrite", "fstrobe",
                                   "fmonitor") for suffix in ("", "b", "h", "o")
) | {"monitoron", "monitoroff", "error", "warning", "info"}
_STOPPING = frozenset({"finish", "stop", "fatal", "exit"})
_TIMING = frozenset({"time", "stime", "realtime", "printtimescale", "timeformat"})
_FILES = frozenset({"fopen", "fclose", "fflush", "dumpfile", "dumpvars", "dumpon", "dumpoff", "dumpall",
                    "dumpflush", "dumplimit", "dumpports", "random", "urandom", "urandom_range"})
_WHAT_TASKS_DO = [
    (_PRINTING, "nimbo prints nothing"),
    (_STOPPING, "nimbo does not stop the run"),
    (_TIMING, "nimbo has no simulation time"),
    (_FILES, "nimbo runs no file, dump or random number tasks"),
]
# A warning of Yosys's that a finding here says better, with its line.
YOSYS_SAYS_BETTER = re.compile(
    r"System task `\$\w+' outside initial block is unsupported\.|found logic loop in module .*"
)

TWO_STATE = "nimbo is two-state"


@dataclass(frozen=True)
class Mark:
    """A delay or a system task call, where it is."""

    file: str
    line: int
    text: str  # "#5", "$display"


@dataclass(frozen=True)
class _Span:
    file: str
    first: int
    last: int
    kind: str  # "initial", "always", "function", "task", "module"


def preprocessed_texts(log: str) -> Iterator[str]:
    """The texts ``read_verilog -ppdump`` wrote to a log, one per source."""
    start = log.find(PREPROCESSED)
    while start >= 0:
        begin = log.find("\n", start) + 1
        end = log.find(_END, begin)
        if begin <= 0 or end < 0:
            return
        yield log[begin:end]
        start = log.find(PREPROCESSED, end)


def _blank(match: re.Match[str]) -> str:
    """A comment or string as spaces, its line breaks kept."""
    return re.sub(r"[^\n]", " ", match[0])


def scan(text: str) -> list[Mark]:
    """Delays and system task calls in one preprocessed text, with the file
    and line each comes from (Yosys marks included files with `file_push
    and `file_pop and keeps every file's lines)."""
    code = _COMMENT_OR_STRING.sub(_blank, text)
    starts = [0] + [m.end() for m in re.finditer("\n", code)]
    # (first row, file, its line at that row) wherever the file changes.
    segments: list[tuple[int, str, int]] = []
    stack: list[tuple[str, int]] = []  # the files included, each with its line after the include
    for marker in _FILE_MARK.finditer(text):  # the names are strings, blanked in code
        row = bisect.bisect_right(starts, marker.start()) - 1
        if marker[1] is not None:
            if stack and segments:
                first, name, line = segments[-1]
                stack[-1] = (name, line + row - first)
            stack.append((marker[1], 1))
            segments.append((row + 1, marker[1], 1))
        elif stack:
            stack.pop()
            segments.append((row + 1, *stack[-1]) if stack else (row + 1, "", 0))
    firsts = [first for first, _, _ in segments]
    found: list[Mark] = []
    for match in _MARK.finditer(code):
        position = match.start()
        row = bisect.bisect_right(starts, position) - 1
        at = bisect.bisect_right(firsts, row) - 1
        if at < 0 or not segments[at][1]:
            continue
        first, name, number = segments[at]
        line = number + row - first
        previous = code[position - 1] if position else " "
        if match[0] == "$":
            task = _TASK.match(code, position)
            if not (previous.isalnum() or previous in "_$") and task is not None and _task_effect(task[1]):
                found.append(Mark(name, line, "$" + task[1]))
            continue
        if previous == "#" or code.startswith("##", position):
            continue  # a cycle delay of a sequence, not a time
        end = position
        while end > 0 and code[end - 1].isspace():
            end -= 1
        word = _WORD_BEFORE.search(code, max(0, end - 64), end)
        if word is not None and word[0] not in _KEYWORDS and not word[0][0].isdigit():
            continue  # the parameters of a module or an instance
        delay = _DELAY.match(code, position)
        if delay is not None:
            found.append(Mark(name, line, "#" + re.sub(r"\s+", "", delay[1])))
    return found


def _task_effect(name: str) -> str:
    for names, effect in _WHAT_TASKS_DO:
        if name in names:
            return effect
    return ""


def _place(node: Node) -> tuple[str, int, int] | None:
    match = _LOCATION.fullmatch(node.location)
    if match is None or match[2] == "0":
        return None
    return match[1], int(match[2]), int(match[3])


def _span(node: Node, kind: str) -> _Span | None:
    """The lines a block covers: its own place, else those of what it holds."""
    own = _place(node)
    if own is not None:
        return _Span(own[0], own[1], own[2], kind)
    places = [p for p in (_place(n) for n in node.walk()) if p is not None]
    if not places:
        return None
    file = places[0][0]
    lines = [p for p in places if p[0] == file]
    return _Span(file, min(p[1] for p in lines), max(p[2] for p in lines), kind)


_BLOCKS = {"AST_INITIAL": "initial", "AST_ALWAYS": "always", "AST_FUNCTION": "function", "AST_TASK": "task"}


class _Lines:
    """What the syntax trees of the design's modules say of its lines: the
    modules' spans, and (read when first asked, as only a design with delays
    or system tasks needs them) the blocks that cover the lines and the
    signals assigned on them."""

    def __init__(self, roots: Sequence[Node]):
        self.roots = roots
        self.modules = [span for span in (_span(root, "module") for root in roots) if span is not None]
        self._blocks: list[_Span] | None = None
        self.assigned: dict[tuple[str, int], list[str]] = {}

    def in_design(self, mark: Mark) -> bool:
        return any(s.file == mark.file and s.first <= mark.line <= s.last for s in self.modules)

    @property
    def blocks(self) -> list[_Span]:
        if self._blocks is None:
            self._blocks = []
            for root in self.roots:
                for node in root.walk():
                    kind = _BLOCKS.get(node.type)
                    if kind is not None:
                        span = _span(node, kind)
                        if span is not None:
                            self._blocks.append(span)
                    elif node.type in ("AST_ASSIGN", "AST_ASSIGN_EQ", "AST_ASSIGN_LE") and node.children:
                        place = _place(node)
                        target = node.children[0]
                        if place is not None and not target.name.startswith("$"):
                            names = self.assigned.setdefault((place[0], place[1]), [])
                            name = shown(target)
                            if name not in names:
                                names.append(name)
        return self._blocks

    def block(self, mark: Mark) -> str:
        """The kind of the innermost block around a line, or ""."""
        around = [s for s in self.blocks if s.file == mark.file and s.first <= mark.line <= s.last]
        return min(around, key=lambda s: s.last - s.first).kind if around else ""

    def targets(self, mark: Mark) -> list[str]:
        """The signals assigned on the line, else on the next one."""
        _ = self.blocks
        return self.assigned.get((mark.file, mark.line)) or self.assigned.get((mark.file, mark.line + 1)) or []


def source_findings(log: str, roots: Sequence[Node]) -> list[Message]:
    """The delays and system tasks of the sources Yosys read (in a log of
    ``read_verilog -ppdump -dump_ast2``) that lie in the modules `roots`,
    the syntax trees of the design's modules; and the constants with x or z
    bits of those modules."""
    lines = _Lines(roots)
    found: dict[Message, None] = {}
    for text in preprocessed_texts(log):
        for mark in scan(text):
            if lines.in_design(mark):
                found[_mark_message(mark, lines)] = None
    if _UNKNOWN_BITS.search(log):  # a tree is walked for them only when some constant has them
        for root in roots:
            for message in _unknown_constants(root):
                found[message] = None
    return list(found)


def _mark_message(mark: Mark, lines: _Lines) -> Message:
    where = f"{mark.file}:{mark.line}"
    block = lines.block(mark)
    inside = {"initial": " in an initial block", "always": " in an always block", "function": " in a function",
              "task": " in a task"}.get(block, "")
    if mark.text.startswith("$"):
        return Message(where, f"{mark.text}{inside} is not run: {_task_effect(mark.text[1:])}")
    targets = lines.targets(mark)
    if targets:
        names = ", ".join(f"'{t}'" for t in targets)
        what = f"{names} {'is' if len(targets) == 1 else 'are'} assigned after a delay ({mark.text}){inside}"
    else:
        what = f"a delay ({mark.text}){inside}"
    if block == "initial":
        effect = "an initial block's assignments all take effect at step 0, and delays are ignored"
    else:
        effect = "delays are ignored"
    return Message(where, f"{what}: nimbo is cycle-based: {effect}")


def _unknown_constants(root: Node) -> Iterator[Message]:
    """Constants with x or z bits that the design's code writes (not the
    wildcards of casez and casex labels), named by the signal they go to."""
    stack: list[tuple[Node, str]] = [(root, "")]
    while stack:
        node, target = stack.pop()
        if node.type in ("AST_ASSIGN", "AST_ASSIGN_EQ", "AST_ASSIGN_LE") and node.children:
            name = shown(node.children[0])
            target = "" if name.startswith("$") else f"'{name}'"
        if node.type == "AST_CONSTANT":
            literal = node.literal()
            place = _place(node)
            if literal is not None and place is not None and ("x" in literal or "z" in literal):
                subject = f"the value of {target}" if target else "a constant"
                yield Message(
                    f"{place[0]}:{place[1]}",
                    f"{subject} has x or z bits ({literal}): {TWO_STATE}: the import gives x and z bits the value "
                    "0 or 1",
                )
            continue
        children = node.children
        if node.type in ("AST_CONDZ", "AST_CONDX"):
            children = [kid for kid in children if kid.type == "AST_BLOCK"]  # the labels are wildcards
        stack.extend((kid, target) for kid in reversed(children))


# ---------------------------------------------------------------- the netlist's findings


def strong_loops(count: int, reads: Callable[[int], Sequence[int]]) -> list[list[int]]:
    """The loops of a graph of `count` nodes where node i reads `reads(i)`:
    each strongly connected component of more than one node, or of one node
    that reads itself (Tarjan's algorithm, without recursion)."""
    index: list[int] = [-1] * count
    low = [0] * count
    on_stack = [False] * count
    stack: list[int] = []
    loops: list[list[int]] = []
    counter = 0
    for root in range(count):
        if index[root] >= 0:
            continue
        work = [(root, iter(reads(root)))]
        index[root] = low[root] = counter
        counter += 1
        stack.append(root)
        on_stack[root] = True
        while work:
            node, pending = work[-1]
            for child in pending:
                if index[child] < 0:
                    index[child] = low[child] = counter
                    counter += 1
                    stack.append(child)
                    on_stack[child] = True
                    work.append((child, iter(reads(child))))
                    break
                if on_stack[child]:
                    low[node] = min(low[node], index[child])
            else:
                work.pop()
                if work:
                    parent = work[-1][0]
                    low[parent] = min(low[parent], low[node])
                if low[node] == index[node]:
                    component = []
                    while True:
                        member = stack.pop()
                        on_stack[member] = False
                        component.append(member)
                        if member == node:
                            break
                    if len(component) > 1 or node in reads(node):
                        loops.append(component)
    return loops


def _names(names: Sequence[str], limit: int = 8) -> str:
    shown_names = ", ".join(f"'{n}'" for n in names[:limit])
    return shown_names + (f" and {len(names) - limit} more" if len(names) > limit else "")


def loop_finding(where: str, signals: Sequence[str]) -> Message:
    what = f"through {_names(signals)}" if signals else "through nets without a name"
    return Message(where, f"combinational loop {what}: nimbo re-evaluates it until no value changes (it holds a "
                          "value like a latch), and an update fails when it does not settle")


def clock_logic_finding(clock: str, signals: Sequence[str]) -> Message:
    return Message("", f"clock '{clock}' drives logic ({_names(signals)}): a step raises and lowers every clock "
                       "and reads the values after it, so logic on a clock shows its value with the clock low; "
                       "use clocks only to clock registers (for a gated clock, a clock enable)")


def uninitialised_findings(
    registers: Sequence[tuple[str, str]], latches: Sequence[tuple[str, str]], memories: Sequence[tuple[str, str]]
) -> list[Message]:
    """Registers, latches and memories, each (name, file:line or ""), without an initial value."""
    found = []
    for items, what, how, other in (
        (registers, plural(len(registers), "register") + " without an initial value", "", True),
        (latches, plural(len(latches), "latch", "latches") + " without an initial value", "", False),
        (memories, plural(len(memories), "memory", "memories") + " without initial contents", " in every word", True),
    ):
        if not items:
            continue
        listed = ", ".join(f"'{name}'" + (f" ({where})" if where else "") for name, where in items[:8])
        more = f" and {len(items) - 8} more" if len(items) > 8 else ""
        verb, them = ("starts", "it") if len(items) == 1 else ("start", "them")
        # The IR marks registers and memories: --x-initial (x_initial= of Simulator and Design) starts
        # them otherwise.
        hint = f"; --x-initial ones or random (x_initial= in Python) starts {them} otherwise" if other else ""
        found.append(Message("", f"{what} {verb} at 0{how} ({TWO_STATE}; Verilog starts {them} at x): {listed}"
                                 f"{more}; give {them} an initial value, or reset {them} before reading{hint}"))
    return found


def undriven_finding(signals: Sequence[str], count: int) -> Message:
    named = f": {_names(signals)}" if signals else ""
    return Message("", f"{plural(count, 'net bit')} that nothing drives read as 0 ({TWO_STATE}; Verilog "
                       f"reads them as z){named}")


def constant_bits_finding(places: Sequence[str], count: int) -> Message:
    at = f" (at {', '.join(places[:8])}{' and more' if len(places) > 8 else ''})" if places else ""
    return Message("", f"{plural(count, 'constant bit')} x or z read as 0{at}: {TWO_STATE}")
