"""`byte_xor`: every byte of a bytes object combined with one key byte, the
outcome decoded as UTF-8 with invalid sequences dropped."""
import warnings

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from support import assert_no_leaks, native_frames, raising

INT_MIN = -(2 ** 31)
INT_MAX = 2 ** 31 - 1


def reference(stream, key):
    """What the module must compute, written the slow way."""
    k = key & 0xFF
    return bytes(b ^ k for b in stream).decode("utf-8", "ignore")


class Int(int):
    pass


class IntWithOwnInt(int):
    """An int subclass whose __int__ disagrees with its value."""

    def __int__(self):
        return 99


class HasInt:
    def __init__(self, result):
        self.result = result

    def __int__(self):
        return self.result


class HasIndexOnly:
    def __index__(self):
        return 1


class Bytes(bytes):
    pass


# ------------------------------------------------------------- results


@pytest.mark.parametrize("key", [0, 1, 65, 255, 256, -1, INT_MIN, INT_MAX])
def test_empty_stream(velkc, key):
    assert velkc.byte_xor(b"", key) == ""


@pytest.mark.parametrize("key", [0, 256, 512, -256, INT_MIN, 256 * 1000])
def test_multiple_of_256_leaves_the_bytes(velkc, key):
    assert velkc.byte_xor(b"abc", key) == "abc"


@pytest.mark.parametrize(
    "stream, key, expected",
    [
        (b"abc", 1, "`cb"),
        (b"abc", 257, "`cb"),
        (b"abc", -255, "`cb"),
        (b"\x9e", -1, "a"),
        (b"\x9e", INT_MAX, "a"),
        (b"\x9e", 255, "a"),
        (b"A", 32, "a"),
        (b"a", ord("a"), "\x00"),
        (b"aaa", ord("a"), "\x00\x00\x00"),
        # Zero bytes are bytes like any other: nothing stops at them.
        (b"ab\x00cd", 0, "ab\x00cd"),
        (b"ab\x00cd", 256, "ab\x00cd"),
        (b"\x00", 1, "\x01"),
        (b"\x00\x00", ord("z"), "zz"),
        (b"a\x00b", 1, "`\x01c"),
        (b"\x00abc", 0, "\x00abc"),
        (b"abc\x00", 0, "abc\x00"),
        # Valid UTF-8 becomes its characters, invalid sequences vanish.
        ("é".encode(), 0, "é"),
        (bytes(b ^ 5 for b in "é".encode()), 5, "é"),
        ("\u2603\U0001f600".encode(), 0, "\u2603\U0001f600"),
        (b"\xff", 0, ""),
        (b"\x80", 0, ""),
        (b"\xbf", 0, ""),
        (b"a\xffb", 0, "ab"),
        (b"\xc3", 0, ""),
        (b"x\xc3", 0, "x"),
        (b"\xe2\x98", 0, ""),
        (b"\xed\xa0\x80", 0, ""),
        (b"\xc0\xaf", 0, ""),
        (b"\xff", 0xFF, "\x00"),
    ],
)
def test_values(velkc, stream, key, expected):
    result = velkc.byte_xor(stream, key)
    assert type(result) is str
    assert result == expected
    assert result == reference(stream, key)


@settings(max_examples=300, deadline=None)
@given(stream=st.binary(max_size=64), key=st.integers(INT_MIN, INT_MAX))
def test_matches_reference(velkc, stream, key):
    assert velkc.byte_xor(stream, key) == reference(stream, key)


@settings(max_examples=150, deadline=None)
@given(stream=st.binary(max_size=64).map(lambda b: bytes(x & 0x7F for x in b)), key=st.integers(0, 127))
def test_involution_on_ascii(velkc, stream, key):
    once = velkc.byte_xor(stream, key)
    assert velkc.byte_xor(once.encode(), key) == stream.decode()


def test_key_byte_is_the_low_eight_bits(velkc):
    stream = bytes(range(256))
    for key in (7, 7 + 256, 7 - 256, 7 + 256 * 12345, INT_MIN + 7):
        assert velkc.byte_xor(stream, key) == velkc.byte_xor(stream, 7) == reference(stream, 7)


def test_large_input(velkc):
    stream = bytes(range(256)) * 4096 + b"tail"
    key = 0x2A
    table = bytes(i ^ key for i in range(256))
    expected = stream.translate(table).decode("utf-8", "ignore")
    assert velkc.byte_xor(stream, key) == expected
    plain = b"x" * (1 << 20)
    assert velkc.byte_xor(plain, 0) == "x" * (1 << 20)


def test_stream_is_not_modified(velkc):
    stream = b"abc\x00def"
    velkc.byte_xor(stream, 0x55)
    assert stream == b"abc\x00def"


def test_coder_byte_xor_behaves_alike(velkc):
    from velk.utils.crypto.coders import Coder

    for stream, key in [(b"abc", 1), (b"ab\x00c", 0), (b"\xff", 0)]:
        assert Coder.byte_xor(stream, key) == velkc.byte_xor(stream, key)
        assert Coder().byte_xor(key=key, stream=stream) == velkc.byte_xor(stream, key)


# ----------------------------------------------------------------- keys


@pytest.mark.parametrize(
    "key, same_as",
    [
        (True, 1),
        (False, 0),
        (Int(3), 3),
        # An int subclass gives its own value; its __int__ is not asked.
        (IntWithOwnInt(3), 3),
        (1.9, 1),
        (1.0, 1),
        (-0.9, 0),
        (-1.5, -1),
        (65.99, 65),
        (HasInt(5), 5),
        (HasInt(-1), -1),
        (HasInt(INT_MAX), INT_MAX),
    ],
)
def test_key_conversions(velkc, key, same_as):
    stream = bytes(range(1, 128))
    with warnings.catch_warnings():
        # Only an __int__ that returns a strict int subclass warns.
        warnings.simplefilter("error")
        assert velkc.byte_xor(stream, key) == velkc.byte_xor(stream, same_as)


DEPRECATION = (
    "__int__ returned non-int (type %s).  The ability to return an instance of a strict "
    "subclass of int is deprecated, and may be removed in a future version of Python."
)


@pytest.mark.parametrize(
    "result, type_name, same_as",
    [(True, "bool", 1), (False, "bool", 0), (Int(7), "Int", 7)],
)
def test_int_returning_int_subclass_warns(velkc, result, type_name, same_as):
    with pytest.warns(DeprecationWarning) as record:
        value = velkc.byte_xor(b"abc", HasInt(result))
    assert value == velkc.byte_xor(b"abc", same_as)
    assert [str(w.message) for w in record] == [DEPRECATION % type_name]


@pytest.mark.parametrize("result, type_name", [(True, "bool"), (Int(7), "Int")])
def test_int_subclass_warning_as_error(velkc, result, type_name):
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        with pytest.raises(DeprecationWarning) as excinfo:
            velkc.byte_xor(b"abc", HasInt(result))
    assert str(excinfo.value) == DEPRECATION % type_name
    assert native_frames(excinfo) == ["_velkc.byte_xor"]


@pytest.mark.parametrize(
    "key, exc_type, message",
    [
        (HasInt("1"), TypeError, "__int__ returned non-int (type str)"),
        (HasInt(1.5), TypeError, "__int__ returned non-int (type float)"),
        (HasInt(None), TypeError, "__int__ returned non-int (type NoneType)"),
        ("1", TypeError, "an integer is required"),
        (b"1", TypeError, "an integer is required"),
        (None, TypeError, "an integer is required"),
        ([1], TypeError, "an integer is required"),
        (object(), TypeError, "an integer is required"),
        (HasIndexOnly(), TypeError, "an integer is required"),
    ],
)
def test_bad_keys(velkc, key, exc_type, message):
    with pytest.raises(exc_type) as excinfo:
        velkc.byte_xor(b"abc", key)
    assert type(excinfo.value) is exc_type
    assert str(excinfo.value) == message
    assert native_frames(excinfo) == ["_velkc.byte_xor"]


def test_int_raising_propagates(velkc):
    class Raises:
        def __int__(self):
            raise LookupError("no number")

    with pytest.raises(LookupError) as excinfo:
        velkc.byte_xor(b"abc", Raises())
    assert str(excinfo.value) == "no number"
    assert native_frames(excinfo) == ["_velkc.byte_xor"]


@pytest.mark.parametrize("key", [INT_MIN, INT_MAX, Int(INT_MAX), float(INT_MIN), HasInt(INT_MIN)])
def test_range_limits_accepted(velkc, key):
    assert velkc.byte_xor(b"abc", key) == reference(b"abc", int(key))


@pytest.mark.parametrize(
    "key",
    [INT_MAX + 1, INT_MIN - 1, 2 ** 63, -(2 ** 64), 10 ** 30, Int(INT_MAX + 1), HasInt(INT_MAX + 1),
     float(2 ** 40)],
)
def test_range_limits_exceeded(velkc, key):
    with pytest.raises(OverflowError) as excinfo:
        velkc.byte_xor(b"abc", key)
    assert native_frames(excinfo) == ["_velkc.byte_xor"]


# --------------------------------------------------------------- streams


@pytest.mark.parametrize(
    "stream, type_name",
    [
        (bytearray(b"abc"), "bytearray"),
        (memoryview(b"abc"), "memoryview"),
        ("abc", "str"),
        (Bytes(b"abc"), "Bytes"),
        (1, "int"),
        ([97], "list"),
    ],
)
def test_stream_must_be_exactly_bytes(velkc, stream, type_name):
    with pytest.raises(TypeError) as excinfo:
        velkc.byte_xor(stream, 0)
    assert str(excinfo.value) == (
        "Argument 'stream' has incorrect type (expected bytes, got %s)" % type_name
    )
    assert native_frames(excinfo) == []


def test_none_stream(velkc):
    with pytest.raises(TypeError) as excinfo:
        velkc.byte_xor(None, 0)
    assert str(excinfo.value) == "expected bytes, NoneType found"
    assert native_frames(excinfo) == ["_velkc.byte_xor"]


@pytest.mark.parametrize("stream", [bytearray(b"a"), None, "a"])
@pytest.mark.parametrize(
    "key, exc_type, message",
    [
        ("k", TypeError, "an integer is required"),
        (HasInt("x"), TypeError, "__int__ returned non-int (type str)"),
        (INT_MAX + 1, OverflowError, None),
    ],
)
def test_key_is_converted_before_stream_is_checked(velkc, stream, key, exc_type, message):
    with pytest.raises(exc_type) as excinfo:
        velkc.byte_xor(stream, key)
    assert type(excinfo.value) is exc_type
    if message is not None:
        assert str(excinfo.value) == message


# ----------------------------------------------------------------- leaks


LEAK_CASES = [
    ("ascii", lambda v: v.byte_xor(b"hello world", 3)),
    ("zero-bytes", lambda v: v.byte_xor(b"a\x00b\x00c", 0)),
    ("invalid-utf8", lambda v: v.byte_xor(b"\xff\xfe\xc3a", 0)),
    ("multibyte", lambda v: v.byte_xor("\u2603é".encode() * 10, 0)),
    ("empty", lambda v: v.byte_xor(b"", 9)),
    ("keywords", lambda v: v.byte_xor(key=1, stream=b"abc")),
    ("float-key", lambda v: v.byte_xor(b"abc", 1.5)),
    ("int-key", lambda v: v.byte_xor(b"abc", HasInt(7))),
    ("bad-key", lambda v: raising(TypeError, v.byte_xor, b"abc", "k")()),
    ("non-int-key", lambda v: raising(TypeError, v.byte_xor, b"abc", HasInt("x"))()),
    ("overflow", lambda v: raising(OverflowError, v.byte_xor, b"abc", 2 ** 40)()),
    ("bytearray", lambda v: raising(TypeError, v.byte_xor, bytearray(b"a"), 1)()),
    ("none-stream", lambda v: raising(TypeError, v.byte_xor, None, 1)()),
    ("count", lambda v: raising(TypeError, v.byte_xor, b"a")()),
    ("keyword", lambda v: raising(TypeError, v.byte_xor, b"a", 1, x=1)()),
    ("multiple", lambda v: raising(TypeError, v.byte_xor, b"a", 1, key=1)()),
]


@pytest.mark.parametrize("case", [c[1] for c in LEAK_CASES], ids=[c[0] for c in LEAK_CASES])
def test_no_leaks(velkc, case):
    assert_no_leaks(lambda: case(velkc))


def test_no_leaks_with_deprecated_int(velkc):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        assert_no_leaks(lambda: velkc.byte_xor(b"abc", HasInt(True)))
