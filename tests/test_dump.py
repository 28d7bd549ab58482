"""Dumping typed values to plain ones: `_dump`, the conversion by class that
it applies to every value, `_iter_to_str`, and the text dumper that object
records put under key "31"."""
import collections
import importlib

import pytest

import model
from support import assert_no_leaks, native_frames, raising, run_python


def companion(module, name):
    return getattr(importlib.import_module(module), name)


def hsv_class():
    return companion("velk.api.hsv", "HSV")


def guidelines_class():
    return companion("velk.api.guidelines", "Guidelines")


def coder_class():
    return companion("velk.utils.crypto.coders", "Coder")


def hsv_sample():
    hsv = hsv_class()
    for args in [(10, 0.5, 1.0), (0, 0, 0), ()]:
        try:
            return hsv(*args)
        except TypeError:
            continue
    raise AssertionError("no HSV value could be made")


def guidelines_sample():
    guidelines = guidelines_class()
    for args in [([(0.5, "orange"), (1.25, "green")],), ()]:
        try:
            return guidelines(*args)
        except TypeError:
            continue
    raise AssertionError("no Guidelines value could be made")


def encoded(text):
    """What the text dumper makes of `text` with the companion coder."""
    try:
        result = coder_class().do_base64(text, encode=True)
    except Exception:
        return text
    return result if result is None or type(result) is str else text


class ListSub(list):
    pass


class DictSub(dict):
    pass


class TupleSub(tuple):
    pass


class SetSub(set):
    pass


class StrSub(str):
    pass


class IntSub(int):
    pass


# --- conversion by class --------------------------------------------------

@pytest.mark.parametrize(
    "value,expected",
    [
        (True, 1),
        (False, 0),
        ([1, 2], "1.2"),
        ((1, 2, 3), "1.2.3"),
        ({7}, "7"),
        ({"a": 1, "b": 2}, "a.b"),
        ([], ""),
        ((), ""),
        (set(), ""),
        ({}, ""),
        ([1.5, True, None, "x"], "1.5.True.None.x"),
        ([{"1": 2}, {"3": True}], "1_2|3_1"),
        ((["a", "b"],), "['a', 'b']"),
    ],
    ids=lambda v: type(v).__name__,
)
def test_values_dump_by_class(velkc, value, expected):
    for dump in (velkc._dump, velkc._color_dump, velkc._object_dump):
        got = dump({"9": value})["9"]
        assert type(got) is type(expected)
        assert got == expected


def test_bool_dumps_as_plain_int(velkc):
    got = velkc._dump({"1": True, "2": False})
    assert [type(v) for v in got.values()] == [int, int]
    assert got == {"1": 1, "2": 0}


@pytest.mark.parametrize(
    "value",
    [
        5, 10 ** 40, -2.5, float("nan"), "x" * 30, None, b"ab", 3j,
        frozenset({1, 2}), ListSub([1, 2]), DictSub(a=1), TupleSub((1,)),
        SetSub({1}), StrSub("s"), IntSub(3), object(), range(3),
        collections.OrderedDict(a=1), iter([1]),
    ],
    ids=lambda v: type(v).__name__,
)
def test_other_classes_pass_through_unchanged(velkc, value):
    for dump in (velkc._dump, velkc._color_dump, velkc._object_dump):
        assert dump({"9": value})["9"] is value


def test_hsv_and_guidelines_dump_through_their_class(velkc):
    hsv = hsv_sample()
    guidelines = guidelines_sample()
    got = velkc._dump({"43": hsv, "g": guidelines})
    assert got == {
        "43": hsv_class().dump(hsv),
        "g": guidelines_class().dump(guidelines),
    }


def test_enumeration_members_dump_as_value(velkc):
    enums = importlib.import_module("velk.api.enums")
    names = [
        "ZLayer", "Easing", "PulseMode", "PulseType", "PickupItemMode",
        "TouchToggleMode", "InstantCountComparison", "TargetPosCoordinates",
        "PlayerColor",
    ]
    for name in names:
        for member in getattr(enums, name):
            got = velkc._dump({"1": member})["1"]
            assert got is member.value, (name, member)


def test_members_of_any_enum_subclass_dump_as_value(velkc):
    base = companion("enums", "Enum")
    spare = object()
    custom = base("Custom", {"A": 7, "B": "text", "C": spare})
    assert velkc._dump({"1": custom.A, "2": custom.B, "3": custom.C}) == {
        "1": 7, "2": "text", "3": spare,
    }


def test_class_is_taken_from_the_class_attribute(velkc):
    # An object that claims to be a list is dumped as one.
    class Pretender:
        @property
        def __class__(self):
            return list

        def __iter__(self):
            return iter([4, 5])

    assert velkc._dump({"1": Pretender()}) == {"1": "4.5"}


def test_claimed_enum_class_without_value(velkc):
    easing = companion("velk.api.enums", "Easing")

    class Pretender:
        @property
        def __class__(self):
            return easing

    with pytest.raises(AttributeError) as excinfo:
        velkc._dump({"1": Pretender()})
    assert "value" in str(excinfo.value)
    assert native_frames(excinfo) == ["_velkc._dump", "_velkc._convert_type"]


def test_class_without_mro(velkc):
    class Pretender:
        @property
        def __class__(self):
            return 42

    with pytest.raises(AttributeError) as excinfo:
        velkc._dump({"1": Pretender()})
    assert str(excinfo.value) == "'int' object has no attribute '__mro__'"
    assert native_frames(excinfo) == ["_velkc._dump", "_velkc._convert_type"]


def test_class_attribute_that_raises(velkc):
    error = LookupError("no class today")

    class Pretender:
        @property
        def __class__(self):
            raise error

    with pytest.raises(LookupError) as excinfo:
        velkc._object_dump({"1": 1, "2": Pretender()})
    assert excinfo.value is error
    assert native_frames(excinfo) == [
        "_velkc._object_dump", "_velkc._dump", "_velkc._convert_type",
    ]


def test_companion_dump_errors_propagate(velkc):
    # An HSV instance without its state cannot be written; the dump fails
    # with what the class's dump raises.
    broken = object.__new__(hsv_class())
    with pytest.raises(Exception) as expected:
        hsv_class().dump(broken)
    with pytest.raises(expected.type) as excinfo:
        velkc._dump({"1": broken})
    assert str(excinfo.value) == str(expected.value)
    assert native_frames(excinfo) == ["_velkc._dump", "_velkc._convert_type"]


# --- _dump ----------------------------------------------------------------

def test_dump_makes_a_new_dict_and_leaves_the_input(velkc):
    inner = [1, 2]
    some = {"1": 1, "2": 3.5, "3": True, "4": "x", 5: inner}
    copy = dict(some)
    got = velkc._dump(some)
    assert got == {"1": 1, "2": 3.5, "3": 1, "4": "x", 5: "1.2"}
    assert got is not some
    assert some == copy and list(some) == list(copy)
    assert some[5] is inner and inner == [1, 2]


def test_dump_keeps_key_order(velkc):
    keys = ["9", 1, "1", (2,), "100", None, 2.5, "0"]
    some = {k: i for i, k in enumerate(keys)}
    assert list(velkc._dump(some)) == keys
    assert list(velkc._object_dump(some)) == keys


def test_dump_keeps_the_key_objects(velkc):
    key = "".join(["k", "e", "y"])
    got = velkc._dump({key: 1})
    assert next(iter(got)) is key


def test_additional_dumpers_by_key(velkc):
    seen = []

    def dumper(value):
        seen.append(value)
        return ("dumped", value)

    got = velkc._dump(
        {"3": True, "31": [1, 2], 31: "n", "x": 5}, {"3": dumper, "31": dumper}
    )
    assert got == {"3": ("dumped", 1), "31": ("dumped", "1.2"), 31: "n", "x": 5}
    # The dumper sees the normalised value, not the stored one.
    assert seen == [1, "1.2"] and type(seen[0]) is int


def test_additional_by_keyword(velkc):
    got = velkc._dump(some_dict={"1": "a"}, additional={"1": str.upper})
    assert got == {"1": "A"}
    assert velkc._dump({"1": "a"}, additional={"1": str.upper}) == {"1": "A"}


def test_default_table_does_not_accumulate(velkc):
    value = "a" * 20
    assert velkc._dump({"1": value})["1"] is value
    assert velkc._dump({"1": value}, {"1": str.upper}) == {"1": "A" * 20}
    assert velkc._dump({"1": value}, {}) == {"1": value}
    assert velkc._dump({"1": value})["1"] is value
    assert velkc._dump({"31": value})["31"] is value


def test_empty_dict_with_none_table(velkc):
    assert velkc._dump({}, None) == {}
    assert velkc._dump({}) == {}


def test_none_table_fails_only_with_entries(velkc):
    with pytest.raises(AttributeError) as excinfo:
        velkc._dump({"1": 1}, None)
    assert str(excinfo.value) == "'NoneType' object has no attribute 'get'"
    assert native_frames(excinfo) == ["_velkc._dump"]


@pytest.mark.parametrize("func", ["_dump", "_object_dump", "_color_dump"])
def test_none_dict(velkc, func):
    with pytest.raises(AttributeError) as excinfo:
        getattr(velkc, func)(None)
    assert str(excinfo.value) == "'NoneType' object has no attribute 'items'"
    assert native_frames(excinfo)[-1] == "_velkc._dump"


def test_dumper_that_raises(velkc):
    error = ValueError("no dumping")

    def dumper(value):
        raise error

    with pytest.raises(ValueError) as excinfo:
        velkc._dump({"1": 1, "2": 2}, {"2": dumper})
    assert excinfo.value is error
    assert native_frames(excinfo) == ["_velkc._dump"]


def test_dumper_that_is_not_callable(velkc):
    with pytest.raises(TypeError) as excinfo:
        velkc._dump({"1": 1}, {"1": 5})
    assert "not callable" in str(excinfo.value)


def test_table_lookup_that_raises(velkc):
    class Key:
        def __init__(self, name):
            self.name = name

        def __hash__(self):
            return 7

        def __eq__(self, other):
            raise ArithmeticError("cannot compare " + self.name)

    with pytest.raises(ArithmeticError) as excinfo:
        velkc._dump({Key("a"): 1}, {Key("b"): str})
    assert "cannot compare" in str(excinfo.value)
    assert native_frames(excinfo) == ["_velkc._dump"]


@pytest.mark.parametrize(
    "mutate",
    [
        lambda d: d.__setitem__("new", 1),
        lambda d: d.pop("2"),
        lambda d: d.clear(),
    ],
    ids=["add", "remove", "clear"],
)
@pytest.mark.parametrize("where", ["first", "last"])
def test_dumper_changing_the_dict_size(velkc, mutate, where):
    some = {"1": 1, "2": 2}
    key = "1" if where == "first" else "2"
    done = []

    def dumper(value):
        if not done:
            done.append(1)
            mutate(some)
        return value

    with pytest.raises(RuntimeError) as excinfo:
        velkc._dump(some, {key: dumper})
    assert str(excinfo.value) == "dictionary changed size during iteration"
    assert native_frames(excinfo) == ["_velkc._dump"]


def test_class_attribute_changing_the_dict_size(velkc):
    some = {}

    class Meddler:
        @property
        def __class__(self):
            some["other"] = 1
            return int

    some["1"] = Meddler()
    some["2"] = 2
    with pytest.raises(RuntimeError) as excinfo:
        velkc._object_dump(some)
    assert str(excinfo.value) == "dictionary changed size during iteration"
    assert native_frames(excinfo) == ["_velkc._object_dump", "_velkc._dump"]


def test_mutations_that_drop_the_last_references(velkc):
    # Dumpers and class lookups that clear the dictionary while its key and
    # value are in use; the module must hold its own references. Run in a
    # fresh interpreter, so that a crash is reported, not suffered.
    code = """
        import velk._velkc as m

        def fresh(text):
            return "".join(list(text))

        class Meddler:
            def __init__(self, d):
                self.d = d
            @property
            def __class__(self):
                self.d.clear()
                return int

        results = []
        for round in range(50):
            d = {fresh("key1"): fresh("value1" * 10)}
            try:
                m._dump(d, {"key1": lambda v: (d.clear(), v)[1]})
            except RuntimeError as exc:
                results.append(str(exc))
            d = {fresh("key2"): None}
            d["key2"] = Meddler(d)
            try:
                r = m._dump(d)
            except RuntimeError as exc:
                results.append(str(exc))
            d = {fresh("a"): 1, fresh("b"): 2}
            def swap(v):
                d.pop("a"); d[fresh("c")] = 3
                return v
            try:
                r = m._dump(d, {"a": swap})
                assert isinstance(r, dict)
            except RuntimeError as exc:
                pass
        print(sorted(set(results)))
    """
    proc = run_python(code, check=False)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "['dictionary changed size during iteration']"


def test_value_replaced_without_size_change(velkc):
    some = {"1": "a", "2": "b"}

    def dumper(value):
        some["2"] = "replaced"
        return value

    assert velkc._dump(some, {"1": dumper}) == {"1": "a", "2": "replaced"}


@pytest.mark.parametrize(
    "args,kwargs,message",
    [
        ((), {}, "_dump() takes at least 1 positional argument (0 given)"),
        (({}, {}, {}), {}, "_dump() takes at most 2 positional arguments (3 given)"),
        (({},), {"x": 1}, "_dump() got an unexpected keyword argument 'x'"),
        (({},), {"some_dict": {}},
         "_dump() got multiple values for keyword argument 'some_dict'"),
        (((),), {}, "Argument 'some_dict' has incorrect type (expected dict, got tuple)"),
        ((DictSub(),), {},
         "Argument 'some_dict' has incorrect type (expected dict, got DictSub)"),
        (({}, []), {}, "Argument 'additional' has incorrect type (expected dict, got list)"),
        (([], []), {}, "Argument 'some_dict' has incorrect type (expected dict, got list)"),
        ((), {"additional": {}},
         "_dump() takes at least 1 positional argument (0 given)"),
    ],
)
def test_dump_arguments(velkc, args, kwargs, message):
    with pytest.raises(TypeError) as excinfo:
        velkc._dump(*args, **kwargs)
    assert str(excinfo.value) == message
    if message.startswith("Argument"):
        assert native_frames(excinfo) == []
    else:
        assert native_frames(excinfo) == ["_velkc._dump"]


def test_dump_keywords_must_be_strings(velkc):
    with pytest.raises(TypeError) as excinfo:
        velkc._dump({}, **{1: 2})
    assert str(excinfo.value) == "_dump() keywords must be strings"
    assert native_frames(excinfo) == ["_velkc._dump"]


# --- _iter_to_str ---------------------------------------------------------

def gen(*items):
    yield from items


@pytest.mark.parametrize(
    "collection,expected",
    [
        ([], ""),
        ((), ""),
        (set(), ""),
        ({}, ""),
        ("", ""),
        ([1, 2, 3], "1.2.3"),
        ([1.5, True], "1.5.True"),
        (["a"], "a"),
        ("abc", "a.b.c"),
        ({"7": 1, "8": 2}, "7.8"),
        ([0.1, 1e22, -0.0, 1e-7], "0.1.1e+22.-0.0.1e-07"),
        ([None, b"x", (1, 2)], "None.b'x'.(1, 2)"),
        ([{}, {}], "|"),
        ([{}], ""),
        ([{"1": 2}, {"3": [4, 5]}], "1_2|3_4.5"),
        ([{"1": True, "2": [{"5": 6}, {"7": 8}]}], "1_1_2_5_6|7_8"),
        (({"a": "b"},), "a_b"),
        ([7, {"1": 2}], "7.{'1': 2}"),
        ([DictSub(a=1), {"b": 2}], "{'a': 1}.{'b': 2}"),
        (range(4), "0.1.2.3"),
        (frozenset([5]), "5"),
        (ListSub([1, ListSub([2])]), "1.[2]"),
        (gen(1, 2, 3), "1.2.3"),
        (gen("x"), "x"),
        (gen(), ""),
        (iter([4, 5, 6]), "4.5.6"),
        (map(str.upper, "ab"), "A.B"),
        (gen({"1": 2}, {"3": 4}, {"5": True}), "1_2|3_4|5_1"),
        (iter([{"1": [1, 2]}]), "1_1.2"),
        ((x for x in [{}, {}]), "|"),
    ],
    ids=lambda v: type(v).__name__,
)
def test_iter_to_str(velkc, collection, expected):
    got = velkc._iter_to_str(collection)
    assert type(got) is str
    assert got == expected


def test_iter_to_str_of_enum_members_uses_their_str(velkc):
    easing = companion("velk.api.enums", "Easing")
    members = list(easing)[:3]
    assert velkc._iter_to_str(members) == ".".join(map(str, members))


def test_iter_to_str_records_are_dumped_without_the_text_dumper(velkc):
    assert velkc._iter_to_str([{"31": "abc"}]) == "31_abc"


@pytest.mark.parametrize(
    "collection,exc,message",
    [
        (5, TypeError, "'int' object is not iterable"),
        (None, TypeError, "'NoneType' object is not iterable"),
        ([{"1": 2}, 7], TypeError, "Expected dict, got int"),
        ([{"1": 2}, DictSub()], TypeError, "Expected dict, got DictSub"),
        (gen({"1": 2}, "x"), TypeError, "Expected dict, got str"),
        ([{"1": 2}, None], AttributeError, "'NoneType' object has no attribute 'items'"),
    ],
    ids=["int", "None", "dict-then-int", "dict-then-subclass", "gen", "dict-then-None"],
)
def test_iter_to_str_failures(velkc, collection, exc, message):
    with pytest.raises(exc) as excinfo:
        velkc._iter_to_str(collection)
    assert str(excinfo.value) == message
    assert native_frames(excinfo)[0] == "_velkc._iter_to_str"


def test_iter_to_str_element_str_that_raises(velkc):
    class Unprintable:
        def __str__(self):
            raise error

    for collection in ([1, Unprintable()], gen(Unprintable())):
        error = UnicodeError("unprintable")
        with pytest.raises(UnicodeError) as excinfo:
            velkc._iter_to_str(collection)
        assert excinfo.value is error
        assert native_frames(excinfo) == ["_velkc._iter_to_str"]


def test_iter_to_str_iteration_that_raises(velkc):
    error = OSError("broken stream")

    def broken():
        yield 1
        raise error

    class BadIter:
        def __iter__(self):
            raise error

    for collection in (broken(), BadIter()):
        with pytest.raises(OSError) as excinfo:
            velkc._iter_to_str(collection)
        assert excinfo.value is error


class Loud:
    """An element that logs when it is printed."""

    def __init__(self, log, name):
        self.log, self.name = log, name

    def __str__(self):
        self.log.append("str " + self.name)
        return self.name


def drawn(log, items):
    for item in items:
        log.append("draw")
        yield item


@pytest.mark.parametrize("records", [False, True], ids=["values", "records"])
def test_iter_to_str_writes_a_generator_as_it_draws(velkc, records):
    # Each element is checked, dumped and printed as soon as it is drawn,
    # in the module as in the Python model.
    def elements(log):
        names = ("a", "b", "c")
        if records:
            return [{"1": Loud(log, name)} for name in names]
        return [Loud(log, name) for name in names]

    logs = []
    for implementation in (velkc, model):
        log = []
        implementation._iter_to_str(drawn(log, elements(log)))
        logs.append(log)
    assert logs[0] == logs[1] == ["draw", "str a", "draw", "str b", "draw", "str c"]


@pytest.mark.parametrize("chain", ["kept", "rebound"])
def test_iter_to_str_fails_on_an_element_before_drawing_the_next(velkc, monkeypatch, chain):
    # The generator would raise ValueError on its third draw; the second
    # element (or, with `chain` rebound, writing the first) fails first.
    def generator():
        yield {}
        yield 0
        raise ValueError("drawn too far")

    expected = (TypeError, "Expected dict, got int")
    if chain == "rebound":
        expected = (AttributeError, "'int' object has no attribute 'from_iterable'")
    for implementation in (velkc, model):
        if chain == "rebound":
            monkeypatch.setattr(implementation, "chain", 5)
        with pytest.raises(Exception) as excinfo:
            implementation._iter_to_str(generator())
        assert (type(excinfo.value), str(excinfo.value)) == expected


def test_iter_to_str_stop_iteration_subclass_ends_at_once(velkc):
    class Done(StopIteration):
        pass

    class Empty:
        def __iter__(self):
            return self

        def __next__(self):
            raise Done

    assert velkc._iter_to_str(Empty()) == ""


def test_iter_to_str_reiterates_a_collection(velkc):
    # A collection that hands out a fresh iterator each time is read from
    # its start every time.
    class Again:
        def __iter__(self):
            return iter([{"1": 2}, {"3": 4}])

    assert velkc._iter_to_str(Again()) == "1_2|3_4"


class Shifting:
    """A collection that holds something else each time it is iterated."""

    def __init__(self, *contents):
        self.contents = list(contents)
        self.rounds = 0

    def __iter__(self):
        self.rounds += 1
        return iter(self.contents[min(self.rounds, len(self.contents)) - 1])


@pytest.mark.parametrize(
    "contents,expected",
    [
        (([1], [7, 8]), "7.8"),
        (([{"1": 2}], [{"3": 4}]), "3_4"),
        (([{"1": 2}], [7, {"3": 4}]), TypeError("Expected dict, got int")),
        (([1], []), ""),
        (([], [1, 2]), "1.2"),
    ],
)
def test_iter_to_str_reads_a_collection_afresh_after_the_probe(velkc, contents, expected):
    # Only the first element of the first iteration is looked at; what is
    # written comes from iterating the collection again.
    collection = Shifting(*contents)
    if isinstance(expected, Exception):
        with pytest.raises(type(expected)) as excinfo:
            velkc._iter_to_str(collection)
        assert str(excinfo.value) == str(expected)
    else:
        assert velkc._iter_to_str(collection) == expected
    assert collection.rounds == 2


def test_iter_to_str_nested_records_fail_inside(velkc):
    with pytest.raises(TypeError) as excinfo:
        velkc._iter_to_str([{"1": [{"2": 3}, 4]}])
    assert str(excinfo.value) == "Expected dict, got int"
    frames = native_frames(excinfo)
    assert frames[0] == "_velkc._iter_to_str"
    assert "_velkc._dump" in frames


@pytest.mark.parametrize(
    "args,kwargs,message",
    [
        ((), {}, "_iter_to_str() takes exactly one argument (0 given)"),
        (([], []), {}, "_iter_to_str() takes exactly one argument (2 given)"),
        ((), {"collection": []}, "_iter_to_str() takes no keyword arguments"),
    ],
)
def test_iter_to_str_arguments(velkc, args, kwargs, message):
    with pytest.raises(TypeError) as excinfo:
        velkc._iter_to_str(*args, **kwargs)
    assert str(excinfo.value) == message


# --- the text dumper of object records ------------------------------------

@pytest.mark.parametrize("text", ["abc", "", "ünï", "x" * 300])
def test_text_is_encoded_by_object_dump_only(velkc, text):
    assert velkc._object_dump({"31": text}) == {"31": encoded(text)}
    assert velkc._dump({"31": text})["31"] is text
    assert velkc._color_dump({"31": text})["31"] is text


def test_text_dumper_gets_the_normalised_value(velkc):
    assert velkc._object_dump({"31": ["a", "b"]}) == {"31": encoded("a.b")}
    assert velkc._object_dump({"31": None}) == {"31": encoded(None)}


def test_text_key_must_be_the_string_31(velkc):
    got = velkc._object_dump({31: "abc", "031": "abc", "31 ": "abc"})
    assert got == {31: "abc", "031": "abc", "31 ": "abc"}


@pytest.mark.parametrize(
    "value,name",
    [(5, "int"), (True, "int"), (1.5, "float"), (b"x", "bytes"),
     (StrSub("x"), "StrSub"), (frozenset(), "frozenset")],
    ids=lambda v: repr(v)[:12],
)
def test_text_dumper_refuses_non_text(velkc, value, name):
    with pytest.raises(TypeError) as excinfo:
        velkc._object_dump({"1": 1, "31": value})
    assert str(excinfo.value) == "Expected unicode, got " + name
    assert native_frames(excinfo) == [
        "_velkc._object_dump", "_velkc._dump", "_velkc.lambda",
    ]


# --- deep and self-referential values -------------------------------------

def test_deep_and_cyclic_values_raise_recursion_error(velkc):
    # Each case runs in the same fresh interpreter; a crash would end it.
    code = """
        import velk._velkc as m

        def deep_list(n):
            x = []
            for _ in range(n):
                x = [x]
            return x

        def deep_records(n):
            x = {}
            for _ in range(n):
                x = {"1": [x]}
            return x

        def cyclic_list():
            a = []
            a.append({"1": a})
            return a

        def cyclic_dict():
            d = {}
            d["1"] = [d]
            return d

        cases = [
            ("iter deep list", lambda: m._iter_to_str(deep_list(100000))),
            ("dump deep list", lambda: m._dump({"1": deep_list(100000)})),
            ("iter deep records", lambda: m._iter_to_str([deep_records(100000)])),
            ("dump deep records", lambda: m._dump(deep_records(100000))),
            ("object deep records", lambda: m._object_dump(deep_records(100000))),
            ("color deep records", lambda: m._color_dump(deep_records(100000))),
            ("iter cyclic list", lambda: m._iter_to_str(cyclic_list())),
            ("dump cyclic list", lambda: m._dump({"1": cyclic_list()})),
            ("dump cyclic dict", lambda: m._dump(cyclic_dict())),
            ("object cyclic dict", lambda: m._object_dump(cyclic_dict())),
            ("iter cyclic gen", lambda: m._iter_to_str(iter(cyclic_list()))),
        ]
        for name, case in cases:
            try:
                case()
            except RecursionError:
                print(name, "RecursionError")
            except BaseException as exc:
                print(name, type(exc).__name__, exc)
            else:
                print(name, "no error")
        # The interpreter is still sound afterwards.
        print(m._object_dump({"1": [{"2": [3, 4]}]}))
    """
    proc = run_python(code, check=False)
    assert proc.returncode == 0, "crashed:\n" + proc.stdout + proc.stderr
    lines = proc.stdout.splitlines()
    assert lines[-1] == "{'1': '2_3.4'}"
    bad = [line for line in lines[:-1] if not line.endswith(" RecursionError")]
    assert not bad, bad
    assert len(lines) == 12


# --- references -----------------------------------------------------------

@pytest.mark.parametrize(
    "name,call",
    [
        ("plain", lambda m: m._dump({"1": 1, "2": True, "3": [1, {2}], "4": "x"})),
        ("table", lambda m: m._dump({"1": "a", "2": 2}, {"1": str.upper})),
        ("object", lambda m: m._object_dump({"31": "abc", "4": True, "57": {1, 2}})),
        ("colour", lambda m: m._color_dump({"5": True, "1": 255})),
        ("records", lambda m: m._iter_to_str([{"1": [1, 2]}, {"3": (4,)}])),
        ("gen", lambda m: m._iter_to_str(gen(1, 2.5, "x"))),
        ("gen-records", lambda m: m._iter_to_str(gen({"1": 2}, {"3": 4}))),
        ("empty", lambda m: m._iter_to_str(gen())),
        ("keywords", lambda m: m._dump(some_dict={"1": 1}, additional={})),
    ],
)
def test_no_leaks_on_success(velkc, name, call):
    assert_no_leaks(lambda: call(velkc))


def _raiser(value):
    raise ValueError("dumper")


@pytest.mark.parametrize(
    "name,exc,call",
    [
        ("none-table", AttributeError, lambda m: m._dump({"1": [1]}, None)),
        ("none-dict", AttributeError, lambda m: m._dump(None)),
        ("dumper", ValueError, lambda m: m._dump({"1": [1], "2": 2}, {"2": _raiser})),
        ("text", TypeError, lambda m: m._object_dump({"1": [1], "31": 5})),
        ("type", TypeError, lambda m: m._dump([])),
        ("count", TypeError, lambda m: m._dump({}, {}, {})),
        ("keyword", TypeError, lambda m: m._dump({}, x=1)),
        ("not-iterable", TypeError, lambda m: m._iter_to_str(5)),
        ("mixed", TypeError, lambda m: m._iter_to_str([{"1": 2}, {"3": 4}, 7])),
        ("mixed-gen", TypeError, lambda m: m._iter_to_str(gen({"1": 2}, 7))),
        ("inner-none", AttributeError, lambda m: m._iter_to_str([{"1": [{}, None]}])),
    ],
)
def test_no_leaks_on_failure(velkc, name, exc, call):
    assert_no_leaks(raising(exc, call, velkc))


def test_size_change_does_not_leak(velkc):
    def call():
        some = {"1": [1, 2], "2": "x" * 10}
        try:
            velkc._dump(some, {"1": lambda v: some.pop("2")})
        except RuntimeError:
            return
        raise AssertionError("no RuntimeError")

    assert_no_leaks(call)
