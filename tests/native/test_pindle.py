import inspect
import traceback

import pytest

from tolvane.core import pindle


class TextSubclass(str):
    pass


@pytest.mark.parametrize(
    ("text", "expected"),
    [
        ("", b""),
        ("abc", bytes([97, 98, 99])),
        ("\u00e9", bytes([233])),  # the code point, not its UTF-8 form
        ("\x00\xff", bytes([0, 255])),
    ],
)
def test_one_byte_per_code_point(text, expected):
    result = pindle.str_to_bytearray(text)
    assert type(result) is bytearray
    assert result == expected


def test_keyword_form_and_fresh_result():
    first = pindle.str_to_bytearray(text="ab")
    second = pindle.str_to_bytearray(text="ab")
    assert first == bytearray(b"ab")
    assert first is not second


def test_code_point_above_255_raises_the_interpreters_value_error():
    with pytest.raises(ValueError) as native:
        bytearray([8364])
    with pytest.raises(ValueError) as ours:
        pindle.str_to_bytearray("a\u20acb")
    assert str(ours.value) == str(native.value)


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda: pindle.str_to_bytearray(), "str_to_bytearray() takes exactly 1 positional argument (0 given)"),
        (lambda: pindle.str_to_bytearray("a", "b"), "str_to_bytearray() takes exactly 1 positional argument (2 given)"),
        (lambda: pindle.str_to_bytearray("a", txt="b"), "str_to_bytearray() got an unexpected keyword argument 'txt'"),
        (
            lambda: pindle.str_to_bytearray("a", text="b"),
            "str_to_bytearray() got multiple values for keyword argument 'text'",
        ),
        (lambda: pindle.str_to_bytearray("a", **{1: "b"}), "str_to_bytearray() keywords must be strings"),
        (lambda: pindle.str_to_bytearray(b"abc"), "Argument 'text' has incorrect type (expected str, got bytes)"),
        (
            lambda: pindle.str_to_bytearray(TextSubclass("a")),
            "Argument 'text' has incorrect type (expected str, got TextSubclass)",
        ),
        (lambda: pindle.str_to_bytearray(["a"]), "Argument 'text' has incorrect type (expected str, got list)"),
        (lambda: pindle.str_to_bytearray(None), "'NoneType' is not iterable"),
    ],
)
def test_type_errors(call, message):
    with pytest.raises(TypeError) as error:
        call()
    assert str(error.value) == message


@pytest.mark.parametrize("bad", [None, b"x", "\u20ac"])
def test_failures_carry_a_traceback_entry(bad):
    with pytest.raises((TypeError, ValueError)) as error:
        pindle.str_to_bytearray(bad)
    formatted = "".join(traceback.format_exception(error.value))
    assert "in tolvane.core.pindle.str_to_bytearray" in formatted


def test_namespace_holds_only_the_function():
    own = {name for name in vars(pindle) if not (name.startswith("__") and name.endswith("__"))}
    assert own == {"str_to_bytearray"}
    assert pindle.str_to_bytearray.__module__ == "tolvane.core.pindle"


def test_signature():
    assert list(inspect.signature(pindle.str_to_bytearray).parameters) == ["text"]
