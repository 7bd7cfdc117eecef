"""The decimal zero counter."""

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from tessaly import quillvane

count = quillvane.count_zeros_before_non_zero


class Indexable:
    def __index__(self):
        return 7


class Floatable:
    def __float__(self):
        return 0.0003


@pytest.mark.parametrize(
    "number, zeros",
    [
        (0.001, 2),
        (0.0001, 3),
        (0.5, 0),
        (0.05, 1),
        (-0.005, 2),
        (100.05, 1),
        (0.10000000149011612, 0),
        (1.0, 0),
        (100.0, 0),
        (0.0, 0),
        (-0.0, 0),
        (1e16, 0),
        (1.5e16, 0),
        (1e300, 0),
        (float("nan"), 0),
        (float("inf"), 0),
        (float("-inf"), 0),
        (5, 0),
        (True, 0),
        (np.float32(0.01), 2),
        (np.float32(0.1), 0),
        (np.float64(0.0123), 1),
        (Indexable(), 0),
        (Floatable(), 3),
        # Below 1e-4 the text is in exponent notation; the count is that of the positional form.
        (1e-05, 4),
        (1.5e-05, 4),
        (1.05e-05, 4),
        (-2.5e-07, 6),
        (9.99e-05, 4),
        (5e-324, 323),
    ],
)
def test_counts(number, zeros):
    result = count(number)
    assert type(result) is int and result == zeros


def positional_zeros(x):
    """Zeros after the point of the shortest text written out in positional form."""
    from decimal import Decimal

    digits = format(Decimal(repr(abs(x))), "f").split(".")
    if len(digits) == 1 or digits[0] != "0":
        return None
    return len(digits[1]) - len(digits[1].lstrip("0"))


@pytest.mark.parametrize("exponent", range(-320, -4, 7))
@pytest.mark.parametrize("mantissa", [1.0, 1.25, 3.0, 9.875])
def test_small_magnitudes_match_positional_form(mantissa, exponent):
    x = mantissa * 10.0**exponent
    assert count(x) == positional_zeros(x)


@pytest.mark.parametrize("bad", ["0.001", b"1", None, [0.1], 1j])
def test_non_numbers_are_rejected_before_the_body(bad):
    with pytest.raises(TypeError, match="must be real number"):
        count(bad)


def count_from_repr(number):
    """The rule on the interpreter's own text of the number."""
    text = repr(float(number))
    if "e-" in text:
        return int(text.split("e-")[1]) - 1
    if "." not in text:
        return 0
    decimal_part = text.split(".")[1]
    stripped = decimal_part.lstrip("0")
    return 0 if not stripped else len(decimal_part) - len(stripped)


@given(st.floats(allow_nan=True, allow_infinity=True) | st.floats(min_value=-1e-3, max_value=1e-3))
@settings(max_examples=3000, deadline=None)
def test_any_double_agrees_with_its_text(number):
    assert count(number) == count_from_repr(number)
