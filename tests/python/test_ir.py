"""nimbo.ir reads assignments as the renderer does."""

import pytest

from conftest import bus, make_ir, ref
from nimbo.ir import IRFormatError, expression

@pytest.mark.parametrize(
    "assignment",
    [
        {"type": "const", "args": {"value": "01"}},
        {"type": "const", "args": {"value": ""}},
        {"type": "const", "args": {"value": "012"}},
        {"type": "const", "args": {"value": [1, True, "x"]}},
        {"type": "const", "args": {"value": 5}},
        {"type": "const"},
        {"type": "bus_ref", "args": {"id": "a"}, "note": "keys the renderer does not know"},
        {"type": "ref", "args": {"id": 3}},
        {"type": "not", "args": []},
        {"type": "not", "args": {"expr": ref("a")}},
        {"type": "xnor", "args": {"l_expr": ref("a")}},
        {"type": "and", "args": {"l_expr": ref("a"), "r_expr": {"type": "not", "args": {"expr": {"type": "AND"}}}}},
        {"type": "nand"},
        {"type": 7},
        "ref",
    ],
)
def test_expressions_are_read_as_the_renderer_reads_them(assignment):
    core = pytest.importorskip("nimbo.core")
    try:
        core.Renderer(make_ir([bus("a", "0"), bus("y", "0", assignment)]))
        rendered = True
    except RuntimeError:
        rendered = False
    try:
        read = expression(assignment) is assignment
    except IRFormatError:
        read = False
    assert read == rendered
