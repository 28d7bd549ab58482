"""Argument binding and type checks of the exported functions: the exact
messages, the order of the checks and the traceback entries they leave."""
import gc
from collections import OrderedDict, defaultdict

import pytest

from support import ONE_ARGUMENT_FUNCTIONS as ONE_ARGUMENT, native_frames


class Text(str):
    pass


class Bytes(bytes):
    pass


def call(velkc, name, args, kwargs):
    return getattr(velkc, name)(*args, **kwargs)


def type_error(velkc, name, args, kwargs):
    with pytest.raises(TypeError) as excinfo:
        call(velkc, name, args, kwargs)
    assert type(excinfo.value) is TypeError
    return excinfo


# ------------------------------------------------------ keyword-form count


@pytest.mark.parametrize(
    "name, args, kwargs, message",
    [
        ("_convert", (), {}, "_convert() takes at least 1 positional argument (0 given)"),
        ("_convert", (), {"delim": "_"}, "_convert() takes at least 1 positional argument (0 given)"),
        ("_convert", (), {"func": None, "delim": ","},
         "_convert() takes at least 1 positional argument (0 given)"),
        ("_convert", ("a", "_", None, 1), {},
         "_convert() takes at most 3 positional arguments (4 given)"),
        ("_convert", ("a", "_", None, 1, 2), {"func": None},
         "_convert() takes at most 3 positional arguments (5 given)"),
        ("_dump", (), {}, "_dump() takes at least 1 positional argument (0 given)"),
        ("_dump", (), {"additional": {}}, "_dump() takes at least 1 positional argument (0 given)"),
        ("_dump", ({}, {}, {}), {}, "_dump() takes at most 2 positional arguments (3 given)"),
        ("_collect", (), {}, "_collect() takes at least 1 positional argument (0 given)"),
        ("_collect", (), {"char": ","}, "_collect() takes at least 1 positional argument (0 given)"),
        ("_collect", ({}, "_", "_"), {}, "_collect() takes at most 2 positional arguments (3 given)"),
        ("byte_xor", (), {}, "byte_xor() takes exactly 2 positional arguments (0 given)"),
        ("byte_xor", (b"",), {}, "byte_xor() takes exactly 2 positional arguments (1 given)"),
        ("byte_xor", (b"", 1, 2), {}, "byte_xor() takes exactly 2 positional arguments (3 given)"),
        # A missing required parameter is reported by its position.
        ("byte_xor", (), {"stream": b""}, "byte_xor() takes exactly 2 positional arguments (1 given)"),
        ("byte_xor", (), {"key": 1}, "byte_xor() takes exactly 2 positional arguments (0 given)"),
        ("byte_xor", (b"", 1, 2), {"key": 1},
         "byte_xor() takes exactly 2 positional arguments (3 given)"),
    ],
)
def test_keyword_form_count(velkc, name, args, kwargs, message):
    excinfo = type_error(velkc, name, args, kwargs)
    assert str(excinfo.value) == message
    assert native_frames(excinfo) == ["_velkc." + name]


# --------------------------------------------------- keyword-form keywords


@pytest.mark.parametrize(
    "name, args, kwargs, message",
    [
        ("_convert", ("a",), {"bogus": 1}, "_convert() got an unexpected keyword argument 'bogus'"),
        ("_convert", (), {"string": "a", "delimiter": "_"},
         "_convert() got an unexpected keyword argument 'delimiter'"),
        ("_dump", ({},), {"extra": {}}, "_dump() got an unexpected keyword argument 'extra'"),
        ("_collect", ({},), {"delim": ","}, "_collect() got an unexpected keyword argument 'delim'"),
        ("byte_xor", (b"", 1), {"k": 1}, "byte_xor() got an unexpected keyword argument 'k'"),
        ("byte_xor", (), {"stream": b"", "key": 1, "x": 1},
         "byte_xor() got an unexpected keyword argument 'x'"),
        ("_convert", ("a",), {"string": "b"},
         "_convert() got multiple values for keyword argument 'string'"),
        ("_convert", ("a", ","), {"delim": ","},
         "_convert() got multiple values for keyword argument 'delim'"),
        ("_convert", ("a", ",", None), {"func": None},
         "_convert() got multiple values for keyword argument 'func'"),
        ("_dump", ({},), {"some_dict": {}}, "_dump() got multiple values for keyword argument 'some_dict'"),
        ("_dump", ({}, {}), {"additional": {}},
         "_dump() got multiple values for keyword argument 'additional'"),
        ("_collect", ({},), {"some_dict": {}},
         "_collect() got multiple values for keyword argument 'some_dict'"),
        ("_collect", ({}, ","), {"char": ","}, "_collect() got multiple values for keyword argument 'char'"),
        ("byte_xor", (b"", 1), {"key": 1}, "byte_xor() got multiple values for keyword argument 'key'"),
        ("byte_xor", (b"", 1), {"stream": b""},
         "byte_xor() got multiple values for keyword argument 'stream'"),
        ("_convert", ("a",), {1: 2}, "_convert() keywords must be strings"),
        ("_convert", (), {"string": "a", 1: 2}, "_convert() keywords must be strings"),
        ("_dump", ({},), {1: 2}, "_dump() keywords must be strings"),
        ("_collect", ({},), {(1,): 2}, "_collect() keywords must be strings"),
        ("byte_xor", (b"", 1), {b"key": 2}, "byte_xor() keywords must be strings"),
    ],
)
def test_keyword_form_keywords(velkc, name, args, kwargs, message):
    excinfo = type_error(velkc, name, args, kwargs)
    assert str(excinfo.value) == message
    assert native_frames(excinfo) == ["_velkc." + name]


@pytest.mark.parametrize(
    "name, calls, expected",
    [
        (
            "_convert",
            [(("1,2", ","), {}), (("1,2",), {"delim": ","}), ((), {"string": "1,2", "delim": ","}),
             ((), {"delim": ",", "string": "1,2"}), (("1,2", ",", None), {}),
             (("1,2",), {"func": None, "delim": ","})],
            {"1": "2"},
        ),
        ("_convert", [(("1_2",), {}), ((), {"string": "1_2"})], {"1": "2"}),
        (
            "_dump",
            [(({"1": True},), {}), ((), {"some_dict": {"1": True}}), (({"1": True}, {}), {}),
             ((), {"additional": {}, "some_dict": {"1": True}})],
            {"1": 1},
        ),
        (
            "_collect",
            [(({"1": 2}, ","), {}), (({"1": 2},), {"char": ","}), ((), {"char": ",", "some_dict": {"1": 2}})],
            "1,2",
        ),
        ("_collect", [(({"1": 2},), {}), ((), {"some_dict": {"1": 2}})], "1_2"),
        (
            "byte_xor",
            [((b"ab", 0), {}), ((b"ab",), {"key": 0}), ((), {"stream": b"ab", "key": 0}),
             ((), {"key": 0, "stream": b"ab"})],
            "ab",
        ),
    ],
)
def test_keyword_form_accepts_every_spelling(velkc, name, calls, expected):
    for args, kwargs in calls:
        assert call(velkc, name, args, kwargs) == expected


# ------------------------------------------------------- one-argument form


@pytest.mark.parametrize("name", ONE_ARGUMENT)
@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "%s() takes exactly one argument (0 given)"),
        (("1", "2"), {}, "%s() takes exactly one argument (2 given)"),
        ((), {"string": "1,2"}, "%s() takes no keyword arguments"),
        ((), {"some_dict": {}}, "%s() takes no keyword arguments"),
        (("1,2",), {"x": 1}, "%s() takes no keyword arguments"),
    ],
)
def test_one_argument_form(velkc, name, args, kwargs, message):
    excinfo = type_error(velkc, name, args, kwargs)
    assert str(excinfo.value) == message % name
    assert native_frames(excinfo) == []


@pytest.mark.parametrize(
    "name, argument, expected",
    [
        ("_object_convert", "1,2", {"1": 2}),
        ("_color_convert", "1_2", {"1": 2}),
        ("_object_collect", {"1": 2}, "1,2"),
        ("_color_collect", {"1": 2}, "1_2"),
        ("_color_dump", {"5": True}, {"5": 1}),
    ],
)
def test_one_argument_form_with_empty_keywords(velkc, name, argument, expected):
    assert getattr(velkc, name)(argument, **{}) == expected


# ------------------------------------------------------------- exact types


@pytest.mark.parametrize(
    "name, args, kwargs, parameter, expected, given",
    [
        ("_convert", (Text("1_2"),), {}, "string", "str", "Text"),
        ("_convert", (1,), {}, "string", "str", "int"),
        ("_convert", (b"1_2",), {}, "string", "str", "bytes"),
        ("_convert", ("1_2", Text("_")), {}, "delim", "str", "Text"),
        ("_convert", ("1_2",), {"delim": b"_"}, "delim", "str", "bytes"),
        # Parameters are checked in declared order, whatever the keyword order.
        ("_convert", (1, 2), {}, "string", "str", "int"),
        ("_convert", (), {"delim": 2, "string": 1}, "string", "str", "int"),
        ("_dump", (OrderedDict(),), {}, "some_dict", "dict", "collections.OrderedDict"),
        ("_dump", (defaultdict(int),), {}, "some_dict", "dict", "collections.defaultdict"),
        ("_dump", ([],), {}, "some_dict", "dict", "list"),
        ("_dump", ({}, OrderedDict()), {}, "additional", "dict", "collections.OrderedDict"),
        ("_dump", ({}, ()), {}, "additional", "dict", "tuple"),
        ("_dump", (), {"additional": [], "some_dict": []}, "some_dict", "dict", "list"),
        ("_collect", (OrderedDict(),), {}, "some_dict", "dict", "collections.OrderedDict"),
        ("_collect", ({}, Text(",")), {}, "char", "str", "Text"),
        ("_collect", ({}, 1), {}, "char", "str", "int"),
        ("_collect", (), {"char": 1, "some_dict": []}, "some_dict", "dict", "list"),
        ("byte_xor", (bytearray(b"a"), 1), {}, "stream", "bytes", "bytearray"),
        ("byte_xor", (Bytes(b"a"), 1), {}, "stream", "bytes", "Bytes"),
        ("byte_xor", (memoryview(b"a"), 1), {}, "stream", "bytes", "memoryview"),
        ("byte_xor", (), {"key": 1, "stream": "a"}, "stream", "bytes", "str"),
        ("_object_convert", (Text("1,2"),), {}, "string", "str", "Text"),
        ("_object_convert", (1,), {}, "string", "str", "int"),
        ("_color_convert", (Text("1_2"),), {}, "string", "str", "Text"),
        ("_color_convert", (b"1_2",), {}, "string", "str", "bytes"),
        ("_object_dump", (OrderedDict(),), {}, "some_dict", "dict", "collections.OrderedDict"),
        ("_object_dump", ([],), {}, "some_dict", "dict", "list"),
        ("_object_collect", (OrderedDict(),), {}, "some_dict", "dict", "collections.OrderedDict"),
        ("_object_collect", ("1,2",), {}, "some_dict", "dict", "str"),
        ("_color_dump", (OrderedDict(),), {}, "some_dict", "dict", "collections.OrderedDict"),
        ("_color_dump", ([],), {}, "some_dict", "dict", "list"),
        ("_color_collect", (defaultdict(int),), {}, "some_dict", "dict", "collections.defaultdict"),
        ("_color_collect", (1,), {}, "some_dict", "dict", "int"),
    ],
)
def test_exact_types(velkc, name, args, kwargs, parameter, expected, given):
    excinfo = type_error(velkc, name, args, kwargs)
    assert str(excinfo.value) == "Argument '%s' has incorrect type (expected %s, got %s)" % (
        parameter,
        expected,
        given,
    )
    # A refused argument leaves no entry of the module's own.
    assert native_frames(excinfo) == []


@pytest.mark.parametrize(
    "name, args, exc_type, message, frames",
    [
        ("_convert", (None,), AttributeError, "'NoneType' object has no attribute 'split'",
         ["_velkc._convert", "_velkc._prepare"]),
        ("_convert", ("1_2", None), TypeError, "must be str, not NoneType",
         ["_velkc._convert", "_velkc._prepare"]),
        ("_dump", (None,), AttributeError, "'NoneType' object has no attribute 'items'", ["_velkc._dump"]),
        ("_dump", ({"1": 1}, None), AttributeError, "'NoneType' object has no attribute 'get'",
         ["_velkc._dump"]),
        ("_collect", (None,), AttributeError, "'NoneType' object has no attribute 'items'",
         ["_velkc._collect"]),
        ("_collect", ({}, None), AttributeError, "'NoneType' object has no attribute 'join'",
         ["_velkc._collect"]),
        ("byte_xor", (None, 1), TypeError, "expected bytes, NoneType found", ["_velkc.byte_xor"]),
    ],
)
def test_none_passes_the_type_check(velkc, name, args, exc_type, message, frames):
    with pytest.raises(exc_type) as excinfo:
        getattr(velkc, name)(*args)
    assert type(excinfo.value) is exc_type
    assert str(excinfo.value) == message
    assert native_frames(excinfo) == frames


@pytest.mark.parametrize(
    "name, exc_type, attribute",
    [
        ("_object_convert", AttributeError, "split"),
        ("_color_convert", AttributeError, "split"),
        ("_object_dump", AttributeError, "items"),
        ("_object_collect", AttributeError, "items"),
        ("_color_dump", AttributeError, "items"),
        ("_color_collect", AttributeError, "items"),
    ],
)
def test_none_passes_the_one_argument_check(velkc, name, exc_type, attribute):
    with pytest.raises(exc_type) as excinfo:
        getattr(velkc, name)(None)
    assert str(excinfo.value) == "'NoneType' object has no attribute '%s'" % attribute
    assert native_frames(excinfo)[0] == "_velkc." + name


@pytest.mark.parametrize(
    "name, args, expected",
    [
        ("_dump", ({}, None), {}),
        ("_dump", (None, None), None),
        ("_convert", ("", "_", 1), {}),
        ("_convert", ("", "_", "not callable"), {}),
    ],
)
def test_none_and_any_func_are_accepted(velkc, name, args, expected):
    if expected is None:
        with pytest.raises(AttributeError) as excinfo:
            getattr(velkc, name)(*args)
        assert "'items'" in str(excinfo.value)
    else:
        assert getattr(velkc, name)(*args) == expected


# ------------------------------------------------------------- check order


@pytest.mark.parametrize(
    "name, args, kwargs, message",
    [
        # The count comes before the types.
        ("_convert", (1, 2, 3, 4), {}, "_convert() takes at most 3 positional arguments (4 given)"),
        ("_dump", ([], [], []), {}, "_dump() takes at most 2 positional arguments (3 given)"),
        ("_collect", (), {"char": 1}, "_collect() takes at least 1 positional argument (0 given)"),
        ("byte_xor", (bytearray(),), {}, "byte_xor() takes exactly 2 positional arguments (1 given)"),
        # So do the keywords.
        ("_convert", (1,), {"bogus": 1}, "_convert() got an unexpected keyword argument 'bogus'"),
        ("_dump", ([],), {"some_dict": []}, "_dump() got multiple values for keyword argument 'some_dict'"),
        ("_collect", ([],), {1: 1}, "_collect() keywords must be strings"),
        ("byte_xor", (bytearray(), "k"), {"x": 1}, "byte_xor() got an unexpected keyword argument 'x'"),
    ],
)
def test_binding_comes_before_types(velkc, name, args, kwargs, message):
    excinfo = type_error(velkc, name, args, kwargs)
    assert str(excinfo.value) == message
    assert native_frames(excinfo) == ["_velkc." + name]


def test_byte_xor_key_is_converted_before_stream_is_checked(velkc):
    excinfo = type_error(velkc, "byte_xor", (bytearray(b"a"), "k"), {})
    assert str(excinfo.value) == "an integer is required"
    assert native_frames(excinfo) == ["_velkc.byte_xor"]


def test_iter_to_str_has_no_declared_type(velkc):
    # `_iter_to_str` has no declared type: a non-iterable fails inside it,
    # with its own traceback entry, not with the incorrect-type message.
    with pytest.raises(TypeError) as excinfo:
        velkc._iter_to_str(5)
    assert "has incorrect type" not in str(excinfo.value)
    assert "_velkc._iter_to_str" in native_frames(excinfo)


# ------------------------------------------- keyword dicts emptied mid-call

# A lone **d hands the caller's own dict to the function; each case runs a
# callback that empties that dict and collects garbage halfway through the
# call. The arguments must live on: the result is that of the positional
# call.

def empty(target):
    if target:
        target.clear()
        gc.collect()


class ClearsOnInt:
    def __init__(self, target):
        self.target = target

    def __int__(self):
        empty(self.target)
        return 1


class ClearsOnStr:
    def __init__(self, target):
        self.target = target

    def __str__(self):
        empty(self.target)
        return "s"


def clearing(target):
    def callback(*args):
        empty(target)
        return args[-1]
    return callback


def keyword_case(name):
    # Arguments made afresh for each call, so that the caller's dict holds
    # their only references.
    d = {}
    record = "".join("%d_v%08d_" % (n, n) for n in range(1, 500))
    if name == "_convert":
        d.update(string=record, delim="_", func=clearing(d))
    elif name == "_dump":
        d.update(some_dict={"1": [1, 2], "2": "x" * 40}, additional={"1": clearing(d)})
    elif name == "_collect":
        d.update(some_dict={"k" * 40: ClearsOnStr(d), "2": "y" * 40}, char="," * 1)
    else:
        d.update(stream=bytes(range(48, 58)) * 400, key=ClearsOnInt(d))
    return d


@pytest.mark.parametrize("name", ["_convert", "_dump", "_collect", "byte_xor"])
def test_arguments_outlive_an_emptied_keyword_dict(velkc, name):
    expected = getattr(velkc, name)(*keyword_case(name).values())
    for _ in range(3):
        d = keyword_case(name)
        assert getattr(velkc, name)(**d) == expected
        assert d == {}
