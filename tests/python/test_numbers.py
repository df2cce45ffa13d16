"""Values written as numbers: one rule for every surface, read in C++."""

import random

import pytest

from nimbo._engine import format_value, parse_value

# Every form and reason of the rule is checked in tests/cpp/test_number_text.cpp;
# here the ways into it from Python: texts, ints and what is neither.
READ = [
    ("0101", 4, "0101"),  # a bit string keeps its meaning: element 0 first
    ("0b1010", 4, "0101"),  # ten, most significant bit first
    (10, 4, "0101"),
    ("10'd5", 10, "1010000000"),
    ("8'sb1000_0001", 8, "10000001"),
    ("0x1_f", 8, "11111000"),
    (-128, 8, "00000001"),
]


@pytest.mark.parametrize("value, width, bits", READ)
def test_numbers_in_every_form(value, width, bits):
    assert parse_value(value, width) == bits


REFUSED = [
    ("-129", 8, ValueError, '"-129" does not fit in 8 bits'),
    (2**8, 8, ValueError, "does not fit in 8 bits"),
    ("high", 1, ValueError, "neither a bit string nor a number"),
    (True, 1, TypeError, "not 'bool'"),
    (1.5, 1, TypeError, "not 'float'"),
]


@pytest.mark.parametrize("value, width, error, message", REFUSED)
def test_what_is_not_a_value_of_that_width(value, width, error, message):
    with pytest.raises(error, match=message.replace("(", r"\(").replace(")", r"\)").replace(".", r"\.")):
        parse_value(value, width)


@pytest.mark.parametrize("width", [2, 3, 8, 63, 64, 65, 130])
def test_every_radix_reads_back(width):
    rng = random.Random(width)
    for _ in range(50):
        number = rng.randrange(2**width)
        bits = "".join("1" if number >> i & 1 else "0" for i in range(width))
        assert parse_value(number, width) == bits
        assert int(format_value(bits, "dec")) == number
        assert int(format_value(bits, "hex"), 16) == number
        assert int(format_value(bits, "bin"), 2) == number
        for radix in ("bin", "hex", "dec"):  # decimal digits are fewer than the width: never bits
            assert parse_value(format_value(bits, radix), width) == bits
    assert format_value("1", "hex") == "1"  # one bit reads the same in every radix
    assert format_value("0" * width, "hex") == "0x" + "0" * ((width + 3) // 4)
