import math
import operator
from fractions import Fraction

import numpy as np
import pytest

import pixalot

IMAGE = np.zeros((2, 2, 3), np.float32)
gray_or_color, sin_patern, color_levels = pixalot.gray_or_color, pixalot.sin_patern, pixalot.color_levels


def message_of(call):
    """The text of the exception `call` raises, in the interpreter's own words."""
    with pytest.raises(BaseException) as raised:
        call()
    return str(raised.value)


@pytest.mark.parametrize("call, message", [
    (lambda: gray_or_color(), "gray_or_color() missing 2 required positional arguments: 'input' and 'min'"),
    (lambda: sin_patern(IMAGE), "sin_patern() missing 4 required positional arguments: "
                                "'shape_sin', 'alpha', 'vertical', and 'bias'"),
    (lambda: color_levels(IMAGE, in_high=1, gamma=1),
     "color_levels() missing 3 required positional arguments: 'in_low', 'out_low', and 'out_high'"),
    (lambda: color_levels(IMAGE, 0, 1, 0, 1), "color_levels() missing 1 required positional argument: 'gamma'"),
    # Surplus positionals end binding before any keyword is looked at.
    (lambda: gray_or_color(IMAGE, 0.5, 1, mn=0), "gray_or_color() takes 2 positional arguments but 3 were given"),
    (lambda: sin_patern(IMAGE, 8, 0.5, True, 0.0, 1), "sin_patern() takes 5 positional arguments but 6 were given"),
    # Keywords are checked in the order given, and before anything is missing.
    (lambda: gray_or_color(IMAGE, input=IMAGE, mn=0), "gray_or_color() got multiple values for argument 'input'"),
    (lambda: gray_or_color(mn=0, input=IMAGE), "gray_or_color() got an unexpected keyword argument 'mn'"),
    # Nothing is converted before binding is complete.
    (lambda: gray_or_color([1.0]), "gray_or_color() missing 1 required positional argument: 'min'"),
])
def test_binding_errors_are_plain_type_errors_in_the_interpreters_words(call, message):
    with pytest.raises(TypeError) as raised:
        call()
    assert (type(raised.value), str(raised.value)) == (TypeError, message)


def test_a_keyword_name_that_cannot_be_encoded_is_still_shown_as_unexpected():
    shown = "\udcff".encode("utf-8", "surrogatepass").decode("utf-8", "replace")
    with pytest.raises(TypeError, match=f"^gray_or_color\\(\\) got an unexpected keyword argument '{shown}'$"):
        gray_or_color(IMAGE, **{"\udcff": 0.5})


def test_every_parameter_binds_by_keyword_in_any_order():
    assert gray_or_color(min=0.5, input=IMAGE) is True
    assert sin_patern(bias=0.0, vertical=True, alpha=0.5, shape_sin=True, input=IMAGE).shape == IMAGE.shape


@pytest.mark.parametrize("call, error, message", [
    (lambda: gray_or_color(IMAGE, "x"), TypeError, "argument 'min': " + message_of(lambda: math.copysign("x", 1))),
    (lambda: sin_patern(IMAGE, 8.0, 0.5, True, 0.0), TypeError,
     "argument 'shape_sin': " + message_of(lambda: operator.index(8.0))),
    (lambda: sin_patern(IMAGE, 2**32, 0.5, True, 0.0), OverflowError,
     "out of range integral type conversion attempted"),
    # The interpreter's own overflow errors carry no argument name.
    (lambda: sin_patern(IMAGE, -1, 0.5, True, 0.0), OverflowError, message_of(lambda: (-1).to_bytes(8))),
    (lambda: sin_patern(IMAGE, 2**64, 0.5, True, 0.0), OverflowError, message_of(lambda: (2**64).to_bytes(8))),
    (lambda: sin_patern(IMAGE, 8, 0.5, 1, 0.0), TypeError,
     "argument 'vertical': 'int' object cannot be converted to 'PyBool'"),
    (lambda: sin_patern(IMAGE, 8, 0.5, np.True_, 0.0), TypeError,
     f"argument 'vertical': '{type(np.True_).__qualname__}' object cannot be converted to 'PyBool'"),
])
def test_a_scalar_that_does_not_convert_is_refused_and_only_a_type_error_names_it(call, error, message):
    with pytest.raises(error) as raised:
        call()
    assert (type(raised.value), str(raised.value)) == (error, message)


def test_a_named_conversion_error_keeps_the_cause_of_the_original():
    root = ValueError("root")

    class Caused:
        def __float__(self):
            raise TypeError("inner") from root

    with pytest.raises(TypeError, match="^argument 'min': inner$") as raised:
        gray_or_color(IMAGE, Caused())
    assert raised.value.__cause__ is root
    with pytest.raises(TypeError) as uncaused:
        gray_or_color(IMAGE, "x")
    assert uncaused.value.__cause__ is None


class OwnTypeError(TypeError):
    pass


@pytest.mark.parametrize("error", [OwnTypeError("own"), ValueError("value"), OverflowError("big")])
def test_errors_other_than_exactly_type_error_pass_through_untouched(error):
    class Failing:
        def __float__(self):
            raise error

    with pytest.raises(type(error)) as raised:
        color_levels(IMAGE, 0, 1, 0, 1, Failing())
    assert raised.value is error


@pytest.mark.parametrize("make", [float, np.float64, Fraction], ids=["float", "float64", "Fraction"])
@pytest.mark.parametrize("tolerance, gray", [(1 - 2**-25, True), (1 - 2**-25 - 2**-50, False)])
def test_a_tolerance_is_rounded_to_the_nearest_float32_with_ties_to_even(make, tolerance, gray):
    # Means 0, 0 and 1 agree exactly when the float32 tolerance reaches 1.0; the halfway
    # value 1 - 2**-25 gets there only under ties-to-even.
    assert gray_or_color(np.array([[[0.0, 0.0, 1.0]]], np.float32), make(tolerance)) is gray


@pytest.mark.parametrize("tolerance, gray", [
    (1e300, True), (1e39, True), (float(np.finfo(np.float32).max), False), (-1, False), (3, True),
])
def test_a_tolerance_beyond_float32_is_infinite_and_minus_one_is_a_value_not_an_error(tolerance, gray):
    # Means -3e38, 0 and 3e38 agree only within an infinite tolerance.
    image = np.array([[[-3e38, 0.0, 3e38]]], np.float32) if abs(tolerance) > 3 else IMAGE
    assert gray_or_color(image, tolerance) is gray


@pytest.mark.parametrize("call, error", [
    (lambda later: color_levels(IMAGE, 0, "x", 0, "y", later), "argument 'in_high': "),
    (lambda later: sin_patern(IMAGE, -1, "x", 1, later), "can't convert negative"),
    (lambda later: gray_or_color([1.0], later), "argument 'input': "),
])
def test_conversion_stops_at_the_first_failing_argument_in_parameter_order(call, error):
    asked = []

    class Later:
        def __float__(self):
            asked.append(self)
            return 0.5

    with pytest.raises((TypeError, OverflowError), match=f"^{error}"):
        call(Later())
    assert not asked
