import pytest


def test_counter8_counts_wraps_and_resets(nimbo_design):
    counter = nimbo_design("counter8.v")
    assert counter.clocks == ("clk",) and counter.inputs == {"rst": 1, "en": 1}
    for cycle in range(1, 300):                   # one step = one clock cycle
        assert counter.step(en=1)["count"] == cycle % 256
    assert counter.step(en=0)["count"] == 299 % 256
    assert counter.step(rst=1, en=1) == {"count": 0, "wrap": 0}
    with pytest.raises(ValueError, match="clock"):
        counter.step(clk=1)
