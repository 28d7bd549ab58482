"""The module reads plain records in place and writes plain values straight
into the output; every other input takes the general road through the host's
split, int(), float() and str(). These tests pit the two roads against each
other, and against the Python model, where they could part."""
import pytest

import model

# Texts at the edges of what is read straight from the record: digit counts
# around the 18 read directly, signs, spaces, underscores, other digits,
# floats around the short-text buffer and around the exact decimals, and
# texts that are no number at all.
VALUE_TEXTS = [
    "0", "7", "-0", "-", "", "+5", "-+5", "--5", " 7", "7 ", "1_0", "٣", "00",
    "015", "9" * 18, "9" * 19, "-" + "9" * 18, "-" + "9" * 19, "1" + "0" * 18,
    "0" * 40 + "1", "1.", ".5", "-.5", "+.5", "5.", ".", "-.", "1.2.3", "1e5",
    "1.5e3", "1.5e+3", "1.5E-3", "1.5e", "e5", ".e5", "1e400", "1.5e400",
    "-1.5e-400", "0." + "5" * 62, "0." + "5" * 63, "0." + "5" * 80, "inf",
    "nan", "1.5\x00", "1\x00", "1.0\x00", "15.50", "0.1", "1..2", ".1", "1.",
    "1.x", "12a", "é", "1é",
    # around the exact decimals read with one division: 2**53 as the whole
    # number written, 22 digits after the point, 19 digits in all
    "900719925474099.2", "900719925474099.3", "-900719925474099.3",
    "0." + "1" * 22, "0." + "1" * 23, "1234567890123456789.5", "-0.0",
    "0.30000000000000004", "123456789012345678.9",
]

# One key of every reading: integer, flag, float, group list and text.
OBJECT_KEYS = ["1", "4", "2", "57", "999"]
COLOUR_KEYS = ["1", "5", "7", "14"]


def outcome(function, *args):
    """What a call gives: its result with the result's type, or its error."""
    try:
        result = function(*args)
    except Exception as error:  # the exception is what is compared
        return ("raises", type(error), str(error))
    return ("returns", result, {k: type(v) for k, v in result.items()})


@pytest.mark.parametrize("text", VALUE_TEXTS)
@pytest.mark.parametrize("key", OBJECT_KEYS)
def test_object_values_read_as_the_model_reads_them(velkc, key, text):
    record = key + "," + text
    assert outcome(velkc._object_convert, record) == outcome(
        model._object_convert, record
    )


@pytest.mark.parametrize("text", VALUE_TEXTS)
@pytest.mark.parametrize("key", COLOUR_KEYS)
def test_colour_values_read_as_the_model_reads_them(velkc, key, text):
    record = key + "_" + text
    assert outcome(velkc._color_convert, record) == outcome(
        model._color_convert, record
    )


def without_marker(result):
    if result[0] == "returns":
        values = dict(result[1])
        del values["999"]
        types = dict(result[2])
        del types["999"]
        return ("returns", values, types)
    return result


@pytest.mark.parametrize("text", VALUE_TEXTS)
@pytest.mark.parametrize("key", OBJECT_KEYS[:-1])
@pytest.mark.parametrize("marker", ["€", "😀"])
def test_in_place_reading_matches_the_split_road(velkc, key, text, marker):
    # A character beyond Latin-1 anywhere in the record sends the whole
    # record down the general road; the value read must not change.
    plain = key + "," + text
    wide = plain + ",999," + marker
    assert without_marker(outcome(velkc._object_convert, wide)) == outcome(
        velkc._object_convert, plain
    )


@pytest.mark.parametrize(
    "record",
    [
        "",
        ",",
        ",,",
        "1",
        "1,",
        "1,5,",
        "1,5,2",
        "1,5,1,6,1,7",
        "999,a,999,b,4,1",
        "é,ü,1,5",
        "1,5,ÿ,þ",
        ",1,5",
        "01,5,1 ,6, 1,7,109,8,0,9,108,10",
        "57,,1,1",
        "57,1.2.2.3,57,4",
        "57,-1.-0.10",
        "57,1..2",
        "57,٣.1",
        "57," + ".".join(["9" * 19] * 3),
    ],
)
@pytest.mark.parametrize("suffix", ["", ",999,€"])
def test_records_split_as_the_model_splits_them(velkc, record, suffix):
    assert outcome(velkc._object_convert, record + suffix) == outcome(
        model._object_convert, record + suffix
    )


@pytest.mark.parametrize(
    "string, delim",
    [
        ("1,2,3,4", ","),
        ("1,2,3,4", "_"),
        ("1--2--3", "--"),
        ("1--2--3--4", "--"),
        ("1ÿ2ÿ3ÿ4", "ÿ"),
        ("1€2€3€4", "€"),
        ("a,b", "€"),
        ("1,2,é,ü", ","),
        ("1,2,€,ü", ","),
        ("", ","),
        ("_", "_"),
        ("1__2", "_"),
    ],
)
@pytest.mark.parametrize("converted", [False, True])
def test_convert_matches_the_host_split(velkc, string, delim, converted):
    calls = []

    def func(key, value):
        calls.append((key, value))
        return value

    if converted:
        got = velkc._convert(string, delim, func)
    else:
        got = velkc._convert(string, delim)
    pieces = string.split(delim)
    expected = {}
    for key, value in zip(pieces[::2], pieces[1::2]):
        expected[key] = value
    assert got == expected
    assert list(got) == list(expected)
    assert all(type(k) is str and type(v) is str for k, v in got.items())
    if converted:
        assert calls == list(zip(pieces[::2], pieces[1::2]))


class Text(str):
    def __str__(self):
        return "text:" + self


class Number(int):
    def __str__(self):
        return "number:" + repr(int(self))


class Real(float):
    def __str__(self):
        return "real"


@pytest.mark.parametrize(
    "value",
    [
        0, -1, 10 ** 30, -(10 ** 30), 0.5, -0.0, 1e300, 1e-300, 1e16, 1e15,
        float("inf"), float("nan"), 2.5e-5, "", "x", "é", "€", "😀", True, None,
        Text("a"), Number(5), Real(1.5), [1, 2], (3,), b"b", 3j,
    ],
)
@pytest.mark.parametrize("delim", [",", "_", "", "€€"])
def test_collect_writes_what_str_writes(velkc, value, delim):
    record = {"1": value, value if isinstance(value, str) else "2": "v"}
    expected = delim.join(str(piece) for item in record.items() for piece in item)
    assert velkc._collect(record, delim) == expected
    assert model._collect(record, delim) == expected


@pytest.mark.parametrize(
    "collection",
    [
        [0, -5, 10 ** 20, 1.5, -0.0, 1e22, "a", "é", "€", True, None],
        (Text("a"), Number(5), Real(2.5)),
        {"x": 1, "€": 2},
        [[1, 2], (3,)],
    ],
)
def test_joined_collections_write_what_str_writes(velkc, collection):
    assert velkc._iter_to_str(collection) == ".".join(map(str, collection))


@pytest.mark.parametrize("key", [0, 11, 0x7F, 0x80, 0xFF, -1, 256 + 0x41])
@pytest.mark.parametrize(
    "stream",
    [b"", b"plain ascii text" * 100, bytes(range(256)) * 5, b"\xc3\xa9" * 50,
     b"abc\xff"],
)
def test_xor_writes_what_decoding_writes(velkc, stream, key):
    # ASCII outcomes are written straight into the result; everything else
    # is decoded. Both must give what decoding the XORed bytes gives.
    low = key & 0xFF
    expected = bytes(b ^ low for b in stream).decode("utf-8", "ignore")
    assert velkc.byte_xor(stream, key) == expected
