"""What Yosys's log of reading Verilog tells about the design.

Yosys reads some Verilog with a warning or silently where the design most
likely says something else than it means: an identifier that is used but
never declared (Yosys declares it implicitly, and nothing drives it), a port
connected to a signal of another width ("Resizing cell port"), a value
assigned to a narrower signal. :func:`read_check` finds them in the log of
``read_verilog -dump_ast2`` and ``hierarchy``: the syntax tree after
simplification gives every declaration's width and every assignment, the
warnings give the rest. An undeclared identifier is a mistake, which the
import refuses; a cut or a resized connection is simulated as Verilog
defines it, and the import warns (a strict import refuses it).

Widths follow Verilog's rules for self-determined expressions, except that
a constant counts with the bits its value needs (Yosys folds constant
expressions, and an unsized literal has 32 bits), so that only a value that
does not fit is judged. An expression whose width is not known for sure (a
variable part-select, a function Yosys left as a call) is not judged. A
module's tree is dumped with its default parameters, so the assignments of a
module that the design uses only with other parameters are not judged.
"""

from __future__ import annotations

import gc
import re
from collections.abc import Callable, Iterable, Iterator
from contextlib import contextmanager
from dataclasses import dataclass, field

from ..ports import plural

_WARNING = re.compile(r"(?:(?P<file>.+?):(?P<line>\d+): )?Warning: (?P<text>.*?)(?: \((?P<at>[^()]+:\d+)\))?")
_RESIZE = re.compile(r"Resizing cell port (?P<path>\S+) from (?P<given>\d+) bits to (?P<port>\d+) bits\.")
_IMPLICIT = re.compile(r"Identifier `\\(?P<name>\S+)' is implicitly declared\.")
_NAME = re.compile(r" str='(.*?)'(?= |$)")
_RANGE = re.compile(r" range=\[(-?\d+):(-?\d+)\]")
_BITS = re.compile(r" bits='([01xz]*)'\((\d+)\)")
_LOCATION = re.compile(r"(.*):(\d+)\.\d+-\d+\.\d+")
_MEMWR = re.compile(r"\$memwr\$\\(?P<memory>.*)\$(?P<where>[^$]*:\d+)\$\d+_DATA")


@dataclass(frozen=True)
class Message:
    """A warning or a mistake, with "file:line" when it has one. A `note` is
    information, no warning: an import's findings may hold notes (a memory
    mapped although memories are kept), which are shown as notes, neither
    warned about nor refused by a strict import."""

    where: str
    text: str
    note: bool = False

    def __str__(self) -> str:
        return f"{self.where}: {self.text}" if self.where else self.text


def warnings(log: str) -> list[Message]:
    """Every warning of a Yosys log, once each, in order."""
    found: dict[Message, None] = {}
    for line in log.splitlines():
        if "Warning: " in line:
            match = _WARNING.fullmatch(line.strip())
            if match:
                where = f"{match['file']}:{match['line']}" if match["file"] else (match["at"] or "")
                found[Message(where, match["text"])] = None
    return list(found)


class Node:
    """A node of a dumped syntax tree; `ref` is the declaration an identifier names."""

    __slots__ = ("type", "location", "ptr", "ref", "rest", "children")

    def __init__(self, type: str, location: str, ptr: str, ref: str, rest: str):
        self.type = type
        self.location = location  # "file:line.column-line.column"
        self.ptr = ptr
        self.ref = ref
        self.rest = rest  # the attributes as printed
        self.children: list[Node] = []

    @property
    def where(self) -> str:
        """ "file:line", or "" for a node Yosys made."""
        match = _LOCATION.fullmatch(self.location)
        return f"{match[1]}:{match[2]}" if match and match[2] != "0" else ""

    @property
    def name(self) -> str:
        match = _NAME.search(self.rest)
        return match[1] if match else ""

    def literal(self) -> str | None:
        """A constant's bits as a Verilog literal ("4'b1x0z"), or None."""
        bits = _BITS.search(self.rest)
        return f"{bits[2]}'b{bits[1]}" if bits and bits[1] else None

    def range_width(self) -> int | None:
        match = _RANGE.search(self.rest)
        return abs(int(match[1]) - int(match[2])) + 1 if match else None

    def walk(self) -> Iterator[Node]:
        stack = [self]
        while stack:
            node = stack.pop()
            yield node
            stack.extend(reversed(node.children))


def syntax_trees(log: str) -> Iterator[Node]:
    """The modules of every ``-dump_ast2`` dump in a log, one tree each."""
    lines = iter(log.splitlines())
    for line in lines:
        if line.startswith("Dumping AST after simplification"):
            yield from _parse_dump(lines)


def _parse_dump(lines: Iterator[str]) -> Iterator[Node]:
    # A line: indentation, the type, then "<location>", "[0xNODE]" or
    # "[0xNODE -> 0xDECLARATION]" and the attributes, each part optional.
    root: Node | None = None
    stack: list[tuple[int, Node]] = []  # (indentation, node) from the root down
    for line in lines:
        if line.startswith("--- END OF AST DUMP"):
            break
        text = line.lstrip(" ")
        if not text.startswith(("AST_", "ATTR")):
            continue
        depth = len(line) - len(text)
        kind, _, rest = text.partition(" ")
        location = ptr = ref = ""
        if rest.startswith("<"):
            location, _, rest = rest[1:].partition(">")
            rest = rest[1:] if rest.startswith(" ") else rest
        if rest.startswith("["):
            inside, _, rest = rest[1:].partition("]")
            ptr, _, ref = inside.partition(" -> ")
        node = Node(kind, location, ptr, ref, " " + rest)
        while stack and stack[-1][0] >= depth:
            stack.pop()
        if stack:
            stack[-1][1].children.append(node)
        else:
            if root is not None:
                yield root
            root = node
        stack.append((depth, node))
    if root is not None:
        yield root


class _Module:
    """Declarations and uses of one module's tree."""

    def __init__(self, root: Node):
        self.root = root
        self.widths: dict[str, int] = {}  # declaration -> width (a memory: its word)
        self.autowires: dict[str, str] = {}  # implicitly declared name -> declaration
        self.assignments: list[Node] = []
        self.cells: list[Node] = []
        for node in root.walk():
            kind = node.type
            if kind in ("AST_WIRE", "AST_AUTOWIRE"):
                self.widths[node.ptr] = node.range_width() or 1
                if kind == "AST_AUTOWIRE":
                    self.autowires[node.name.lstrip("\\")] = node.ptr
            elif kind == "AST_MEMORY":
                ranges = [child.range_width() for child in node.children if child.type == "AST_RANGE"]
                if ranges and ranges[0] is not None:
                    self.widths[node.ptr] = ranges[0]
            elif kind in ("AST_ASSIGN", "AST_ASSIGN_EQ", "AST_ASSIGN_LE") and len(node.children) == 2:
                self.assignments.append(node)
            elif kind == "AST_CELL":
                self.cells.append(node)

    def driven(self) -> set[str]:
        """Declarations written by an assignment or connected to an instance."""
        found: set[str] = set()
        for node in self.assignments:
            found.update(n.ref for n in node.children[0].walk() if n.ref)
        for cell in self.cells:
            found.update(n.ref for n in cell.walk() if n.ref)
        return found

    def width(self, node: Node) -> int | None:
        """The self-determined width of an expression, or None when unsure."""
        kind = node.type
        kids = node.children
        if kind == "AST_IDENTIFIER":
            if not kids:
                return self.widths.get(node.ref)
            if kids[0].type != "AST_RANGE" or len(kids) != 1:
                return None
            return kids[0].range_width() or (1 if len(kids[0].children) == 1 else None)
        if kind == "AST_CONSTANT":
            # Yosys folds constant expressions and gives unsized literals 32
            # bits: a constant counts with the bits its value needs.
            bits = _BITS.search(node.rest)
            if bits is None or not bits[1]:
                return None
            if "x" in bits[1] or "z" in bits[1]:
                return int(bits[2])
            if " signed" in node.rest and bits[1].startswith("1"):
                return None  # a negative number
            return max(1, int(bits[1], 2).bit_length())
        if kind == "AST_MEMRD":
            return self.widths.get(node.ref)
        if kind == "AST_REPLICATE" and len(kids) == 2 and kids[0].type == "AST_CONSTANT":
            count = re.search(r" int=(\d+)", kids[0].rest)
            inner = self.width(kids[1])
            return int(count[1]) * inner if count and inner is not None else None
        rule = _RULES.get(kind)
        if rule is None:
            return None
        widths = [self.width(kid) for kid in kids] if rule is not _one else []
        if any(w is None for w in widths):
            return None
        return rule([w for w in widths if w is not None])

    def undeclared(self, implicit: dict[str, str]) -> Iterator[Message]:
        """Identifiers that are used but never declared, and that nothing drives."""
        driven = self.driven()
        for name, ptr in self.autowires.items():
            if ptr not in driven and name in implicit:
                yield Message(
                    implicit[name],
                    f"'{name}' is not declared: declare it, or correct the name (as an implicit net nothing would "
                    "drive it)",
                )

    def cuts(self) -> Iterator[Message]:
        """Assignments of a value wider than their target."""
        for node in self.assignments:
            target, value = node.children
            try:
                have, want = self.width(value), self.width(target)
            except RecursionError:  # an expression nested deeper than Python recurses: not judged
                continue
            if have is None or want is None or have <= want:
                continue
            memwr = _MEMWR.fullmatch(target.name) if target.type == "AST_IDENTIFIER" else None
            if memwr is not None:
                what, where = f"memory '{memwr['memory']}' has {want}-bit words but", memwr["where"]
            elif target.name.startswith("$"):
                continue  # a signal Yosys made
            else:
                what, where = f"'{shown(target)}' has {want} bits but", node.where
            yield Message(
                where,
                f"{what} is assigned a {have}-bit value, which is cut to its low {want} bits: select the bits "
                "you mean to say so",
            )


def shown(node: Node) -> str:
    """An identifier with its constant select, or a concatenation of them, as written."""
    if node.type == "AST_IDENTIFIER":
        select = _RANGE.search(node.children[0].rest) if node.children else None
        if select is None:
            return node.name.lstrip("\\") + ("[...]" if node.children else "")
        bits = select[1] if select[1] == select[2] else f"{select[1]}:{select[2]}"
        return f"{node.name.lstrip(chr(92))}[{bits}]"
    return "{" + ", ".join(shown(kid) for kid in reversed(node.children)) + "}"  # dumped last part first


def _one(widths: list[int]) -> int:
    return 1


_RULES: dict[str, Callable[[list[int]], int]] = {
    **{kind: max for kind in ("AST_BIT_AND", "AST_BIT_OR", "AST_BIT_XOR", "AST_BIT_XNOR", "AST_ADD", "AST_SUB",
                              "AST_MUL", "AST_DIV", "AST_MOD")},
    **{kind: (lambda widths: widths[0]) for kind in ("AST_BIT_NOT", "AST_NEG", "AST_POS", "AST_TO_SIGNED",
                                                     "AST_TO_UNSIGNED", "AST_SELFSZ")},
    **{kind: (lambda widths: widths[0]) for kind in ("AST_SHIFT_LEFT", "AST_SHIFT_RIGHT", "AST_SHIFT_SLEFT",
                                                     "AST_SHIFT_SRIGHT", "AST_POW")},
    **{kind: _one for kind in ("AST_EQ", "AST_NE", "AST_EQX", "AST_NEX", "AST_LT", "AST_LE", "AST_GT", "AST_GE",
                               "AST_LOGIC_AND", "AST_LOGIC_OR", "AST_LOGIC_NOT", "AST_REDUCE_AND", "AST_REDUCE_OR",
                               "AST_REDUCE_XOR", "AST_REDUCE_XNOR", "AST_REDUCE_BOOL")},
    "AST_CONCAT": sum,
    "AST_TERNARY": lambda widths: max(widths[1:]),
}  # fmt: skip


@contextmanager
def paused_gc() -> Iterator[None]:
    """Pauses Python's cycle collector while building large acyclic
    structures (a syntax tree, a parsed netlist): each of its passes would
    otherwise walk every object built so far."""
    enabled = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if enabled:
            gc.enable()


@dataclass
class ReadCheck:
    """What the log of reading the design says: `mistakes` the import
    refuses, `cuts` it warns about (values cut to a narrower target, port
    connections of another width), and `roots` the syntax trees of the
    design's modules."""

    mistakes: list[Message] = field(default_factory=list)
    cuts: list[Message] = field(default_factory=list)
    roots: list[Node] = field(default_factory=list)


def read_check(log: str, used_modules: Iterable[str], unjudged: Iterable[str] = ()) -> ReadCheck:
    """The mistakes and cuts of the design in a log of ``read_verilog
    -dump_ast2`` and ``hierarchy``. `used_modules` are the modules of the
    design after ``hierarchy`` (derived ones included); the widths of those
    in `unjudged` (a top module whose parameters were set), and of modules
    used only with other parameters, are not judged, as their tree has the
    default parameters. The roots are those of the modules used, with any
    parameters."""
    check = ReadCheck()
    implicit: dict[str, str] = {}
    resized: list[tuple[str, str, str, int, int]] = []  # (module, cell, port, given, port width)
    for warning in warnings(log):
        match = _IMPLICIT.fullmatch(warning.text)
        if match:
            implicit.setdefault(match["name"], warning.where)
        match = _RESIZE.fullmatch(warning.text)
        if match:
            module, _, rest = match["path"].partition(".")
            cell, _, port = rest.rpartition(".")
            resized.append((module, cell, port, int(match["given"]), int(match["port"])))
    used = set(used_modules)
    # A module used only with other parameters is used as "$paramod\\NAME\\..." or "$paramod$HASH\\NAME".
    derived = {name.split("\\")[1] for name in used if name.startswith("$paramod") and "\\" in name}
    skipped = set(unjudged)
    cells: dict[tuple[str, str], Node] = {}
    with paused_gc():
        for root in syntax_trees(log):
            module_name = root.name.lstrip("\\")
            module = _Module(root)
            for cell in module.cells:
                cells[(module_name, cell.name.lstrip("\\"))] = cell
            if module_name in used or module_name in derived:
                check.roots.append(root)
            if module_name in used:
                check.mistakes.extend(module.undeclared(implicit))
                if module_name not in skipped:
                    check.cuts.extend(module.cuts())
    for module_name, cell_name, port, given, width in resized:
        cell = cells.get((module_name, cell_name))
        where, signal, kind = "", "", ""
        if cell is not None:
            where = cell.where
            for child in cell.children:
                if child.type == "AST_CELLTYPE":
                    kind = f" of '{child.name.lstrip(chr(92))}'"
                if child.type == "AST_ARGUMENT" and child.name.lstrip("\\") == port and child.children:
                    signal = f" ('{shown(child.children[0])}')" if child.children[0].type in (
                        "AST_IDENTIFIER", "AST_CONCAT") else ""
        how = f"cut to its low {width}" if given > width else f"extended to {width}"
        check.cuts.append(Message(
            where,
            f"instance '{cell_name}'{kind} connects {plural(given, 'bit')}{signal} to its {width}-bit port '{port}', "
            f"which is {how} bits: make the widths equal to say so",
        ))  # fmt: skip
    check.mistakes.sort(key=_position)
    check.cuts.sort(key=_position)
    return check


def _position(message: Message) -> tuple[bool, str, int]:
    """Messages with a place first, by file and line."""
    path, _, line = message.where.rpartition(":")
    return (not message.where, path, int(line) if line.isdigit() else 0)
