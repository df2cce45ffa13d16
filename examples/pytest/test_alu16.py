import random

import pytest

OPS = {0: lambda a, b: a + b, 1: lambda a, b: a - b, 2: lambda a, b: a & b, 3: lambda a, b: a ^ b}


@pytest.mark.parametrize("op", OPS)
def test_alu16_matches_python(nimbo_design, op):
    alu = nimbo_design("alu16.v", top="alu16")   # imported once, then from .pytest_cache
    rng = random.Random(op)
    for _ in range(500):
        a, b = rng.randrange(1 << 16), rng.randrange(1 << 16)
        y = OPS[op](a, b) & 0xFFFF
        assert alu.step(a=a, b=b, op=op) == {"y": y, "zero": int(y == 0)}


def test_alu16_values(nimbo_design):
    alu = nimbo_design("alu16.v", top="alu16")
    assert alu.inputs == {"a": 16, "b": 16, "op": 2} and alu.outputs == {"y": 16, "zero": 1}
    assert alu.step(a=-1, b=1, op=0) == {"y": 0, "zero": 1}      # -1 is 0xffff
    assert alu.step(a="16'h00ff", b="0x0f00", op=3)["y"] == 0x0FFF
    alu.step(a=3, b=5, op=1)
    assert alu["y"] == 0xFFFE and alu.read("y", signed=True) == -2
    with pytest.raises(ValueError, match="port 'op' has 2 bits: 4 does not fit"):
        alu.step(op=4)
