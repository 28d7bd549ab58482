"""The value forms real levels hold, through the companion classes: HSV and
guidelines numbers in their own form, player colour -1."""
import pytest

from velk.api import hsv as hsv_module
from velk.api.enums import PlayerColor
from velk.api.guidelines import Guidelines
from velk.api.hsv import HSV


@pytest.mark.parametrize("text", [
    "0a1a1a0a0",
    "71.99999999999994a0.13698630136986292a0.28627450980392155a0a0",
    "-20a0.5a1.0a1a0",
    "180a0a2a1a1",
    "1e-05a1.5a-0.25a0a1",
    # spellings that Python would write otherwise
    "-0a1a1a0a0",
    "0a-0a1a0a0",
    "-0.0a0.0a-0.00a1a1",
    "0a1.00a1a0a0",
    "-0.50a0.50a1.000a0a0",
    "+5a1a1a0a0",
    "1E-05a1e5a2.5e+3a0a0",
    "007a.5a5.a0a0",
])
def test_hsv_text_comes_back_byte_identical(velkc, text):
    assert HSV.from_string(text).dump() == text
    record = "1,1,43,%s,44,%s" % (text, text)
    assert velkc._object_collect(velkc._object_dump(velkc._object_convert(record))) == record
    colour = "1_255_10_" + text
    assert velkc._color_collect(velkc._color_dump(velkc._color_convert(colour))) == colour


@pytest.mark.parametrize("text, written", [
    ("0a1.00a1a0a0", "0a1.0a1a0a0"),
    ("-0.50a1a1a0a0", "-0.5a1a1a0a0"),
    ("+5a1a1a0a0", "5a1a1a0a0"),
    ("-0a-0a1a0a0", "0a0a1a0a0"),
    ("-0.0a1a1a0a0", "-0.0a1a1a0a0"),
    ("1E+02a1a1a0a0", "100.0a1a1a0a0"),
])
def test_hsv_spelling_python_would_not_write_is_kept_and_equal(text, written):
    value = HSV.from_string(text)
    assert value.dump() == text
    assert HSV.from_string(written) == value
    assert hash(HSV.from_string(written)) == hash(value)
    # the same numbers made in Python are written as Python writes them
    assert HSV(value.hue, value.saturation, value.value, value.saturation_checked,
               value.value_checked).dump() == written


@pytest.mark.parametrize("args, written", [
    (dict(hue=-20, saturation=0.5, saturation_checked=True), "-20a0.5a1.0a1a0"),
    (dict(hue="-0", saturation="0.50", value="1E-05"), "0a0.5a1e-05a0a0"),
    (dict(hue=-0.0, value=True), "-0.0a1.0a1a0a0"),
    (dict(hue=1e22, saturation=0, value_checked=1), "1e+22a0a1.0a0a1"),
    (dict(), "0a1.0a1.0a0a0"),
])
def test_hsv_made_in_python_is_written_in_python_form(args, written):
    value = HSV(**args)
    assert value.dump() == written
    assert HSV.from_string(written) == value


def test_hsv_numbers_keep_their_type():
    value = HSV.from_string("72.5a1a1.0a0a1")
    assert (value.hue, value.saturation, value.value) == (72.5, 1, 1.0)
    assert [type(n) for n in (value.hue, value.saturation, value.value)] == [float, int, float]
    assert (value.saturation_checked, value.value_checked) == (False, True)
    # equal numbers are equal values, whatever their form
    assert value == HSV(72.5, 1.0, 1, False, True)
    assert hash(value) == hash(HSV(72.5, 1.0, 1, False, True))
    assert HSV(10, 0.5).dump() == "10a0.5a1.0a0a0"
    assert HSV("-3", "0.25").dump() == "-3a0.25a1.0a0a0"


@pytest.mark.parametrize("text, message", [
    ("", "5 fields"),
    ("1a1a1a0", "5 fields"),
    ("1a1a1a0a0a0", "5 fields"),
    ("xa1a1a0a0", "HSV hue is not a number: 'x'"),
    ("1a1..0a1a0a0", "HSV saturation is not a number"),
    ("1a1ainfa0a0", "HSV value is not a number: 'inf'"),
    ("1e999a1a1a0a0", "HSV hue must be finite"),
    ("1a1a1a2a0", "flags must be '0' or '1'"),
    ("1a1a1a0a", "flags must be '0' or '1'"),
])
def test_hsv_refuses_bad_text(velkc, text, message):
    for read in (HSV.from_string, lambda t: velkc._object_convert("43," + t)):
        with pytest.raises(ValueError, match=message.replace(".", r"\.").replace("(", r"\(")):
            read(text)


@pytest.mark.parametrize("args", [(float("nan"),), (0, float("inf")), (0, 1, "nan")])
def test_hsv_refuses_non_finite_numbers(args):
    with pytest.raises(ValueError, match="finite|not a number"):
        HSV(*args)


def test_hsv_from_string_shares_one_value_per_text(velkc):
    text = "33.5a0.25a1a0a0"
    first = velkc._object_convert("43," + text)["43"]
    assert velkc._color_convert("10_" + text)["10"] is first
    assert HSV.from_string(text) is first

    class Tinted(HSV):
        __slots__ = ()

    # The native dump side finds only this exact class in its mapping.
    assert type(Tinted.from_string(text)) is HSV


def test_hsv_cache_stays_bounded(monkeypatch):
    monkeypatch.setattr(hsv_module, "CACHE_LIMIT", 8)
    values = [HSV.from_string("%da1a1a0a0" % hue) for hue in range(100)]
    table = HSV.from_string.__self__
    assert 0 < len(table) <= 8
    # a value made again after the table started over is equal, not lost
    assert HSV.from_string("0a1a1a0a0") == values[0]
    with pytest.raises(TypeError):
        HSV.from_string(["unhashable"])


def test_hsv_refuses_a_text_that_is_not_str():
    with pytest.raises(AttributeError):
        HSV.from_string(5)


@pytest.mark.parametrize("text, points", [
    ("0.5~0~0.7~0.9~1~1", ((0.5, 0), (0.7, 0.9), (1, 1))),
    ("0.5~orange~1.25~green", ((0.5, "orange"), (1.25, "green"))),
    ("0~0.8", ((0, 0.8),)),
    ("", ()),
    # spellings that Python would write otherwise
    ("-0~-0~0.50~0.90~1.0~1.00", ((0, 0), (0.5, 0.9), (1.0, 1.0))),
    ("-0.0~yellow~1E+01~+2", ((-0.0, "yellow"), (10.0, 2))),
    ("2.5e-3~1e2", ((0.0025, 100.0),)),
])
def test_guidelines_real_forms_round_trip(text, points):
    value = Guidelines.from_string(text)
    assert value.points == points
    assert [type(n) for point in value for n in point] == [type(n) for p in points for n in p]
    assert value.dump() == text


@pytest.mark.parametrize("text", ["0.5~0~0.7~0.9~1~1", "0.50~orange~-0~0.90"])
def test_guidelines_dump_through_the_native_module(velkc, text):
    value = Guidelines.from_string(text)
    assert velkc._object_collect(velkc._object_dump({"1": 1, "9": value})) == "1,1,9," + text


@pytest.mark.parametrize("points, written", [
    ([(0.5, 0), (1, "orange")], "0.5~0~1~orange"),
    ([("0.50", "0.90"), ("-0", 1.0)], "0.5~0.9~0~1.0"),
    ([(1e-05, "green")], "1e-05~green"),
    ([], ""),
])
def test_guidelines_made_in_python_are_written_in_python_form(points, written):
    value = Guidelines(points)
    assert value.dump() == written
    assert Guidelines.from_string(written) == value


@pytest.mark.parametrize("text, message", [
    ("1~", "unknown guideline colour ''"),
    ("0.5", "pairs"),
    ("-1~0", "must not be negative"),
    ("x~0", "guideline time is not a number"),
    ("1~purple", "unknown guideline colour 'purple'"),
    ("1~nan", "unknown guideline colour 'nan'"),
])
def test_guidelines_refuse_bad_text(text, message):
    with pytest.raises(ValueError, match=message):
        Guidelines.from_string(text)


def test_guidelines_refuse_a_colour_of_another_type():
    with pytest.raises(ValueError, match="unknown guideline colour None"):
        Guidelines([(1, None)])


@pytest.mark.parametrize("text, member", [
    ("4_-1", PlayerColor.UNSET), ("4_0", PlayerColor.NONE), ("4_1", PlayerColor.PLAYER_1),
    ("4_2", PlayerColor.PLAYER_2),
])
def test_player_colour_values_real_levels_hold(velkc, text, member):
    assert velkc._color_convert(text) == {"4": member}
    assert velkc._color_collect(velkc._color_dump({"4": member})) == text


def test_player_colour_keeps_its_earlier_members():
    assert [(m.name, m.value) for m in PlayerColor][1:] == [
        ("NONE", 0), ("PLAYER_1", 1), ("PLAYER_2", 2)]
    with pytest.raises(ValueError):
        PlayerColor(3)
