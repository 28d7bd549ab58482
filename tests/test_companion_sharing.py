"""Companion values as they travel: the HSV value that every record with the
same text shares, the memory its cache may hold, and pickles and copies of
every value a record holds, within a process and across processes."""
import copy
import gc
import pickle
import tracemalloc
from pathlib import Path

import pytest

import enums
from support import run_python
from velk.api import enums as velk_enums
from velk.api import hsv as hsv_module
from velk.api.guidelines import Guidelines
from velk.api.hsv import HSV


class Mood(enums.Enum):
    CALM = 0
    ANGRY = 1


Weather = enums.Enum("Weather", "SUN RAIN", module=__name__)

PROTOCOLS = range(pickle.HIGHEST_PROTOCOL + 1)

# Read through every road a level takes: the companion itself, an object
# record (key 43) and a colour record (key 10).
READERS = {
    "from_string": lambda velkc, text: HSV.from_string(text),
    "object": lambda velkc, text: velkc._object_convert("1,1,43," + text)["43"],
    "colour": lambda velkc, text: velkc._color_convert("1_255_10_" + text)["10"],
}

FIELDS = ("hue", "saturation", "value", "saturation_checked", "value_checked")
# The slots, the public fields, the names the fields had before, and a name
# that was never there.
NAMES = HSV.__slots__ + FIELDS + ("_hue", "_saturation_checked", "tint")


def _changes():
    yield "__init__ again", lambda value: value.__init__(90)
    yield "__init__ again, no arguments", lambda value: value.__init__()
    yield "HSV.__init__", lambda value: HSV.__init__(value, 90, 0.5)
    yield "setattr __class__", lambda value: setattr(value, "__class__", HSV)
    for name in NAMES:
        yield "setattr " + name, lambda value, name=name: setattr(value, name, 90)
        yield "delattr " + name, lambda value, name=name: delattr(value, name)
        yield ("object.__setattr__ " + name,
               lambda value, name=name: object.__setattr__(value, name, 90))
        yield ("object.__delattr__ " + name,
               lambda value, name=name: object.__delattr__(value, name))


CHANGES = dict(_changes())


@pytest.mark.parametrize("reader", sorted(READERS))
@pytest.mark.parametrize("change", sorted(CHANGES))
def test_a_shared_hsv_cannot_be_changed(velkc, reader, change):
    text = "0a1a1a0a0"
    value = READERS[reader](velkc, text)
    before = tuple(getattr(value, field) for field in FIELDS)
    with pytest.raises(AttributeError):
        CHANGES[change](value)
    assert tuple(getattr(value, field) for field in FIELDS) == before
    assert [type(getattr(value, field)) for field in FIELDS] == [int, int, int, bool, bool]
    for read in READERS.values():
        again = read(velkc, text)
        assert again is value and again.dump() == text
    assert velkc._object_collect(velkc._object_dump(velkc._object_convert("43," + text))) == \
        "43," + text
    assert velkc._color_collect(velkc._color_dump(velkc._color_convert("10_" + text))) == \
        "10_" + text


def test_hsv_has_no_dict_and_subclasses_inherit_the_refusal():
    assert not hasattr(HSV(), "__dict__")

    class Tinted(HSV):
        __slots__ = ()

    tinted = Tinted(5)
    with pytest.raises(AttributeError, match="cannot be changed"):
        tinted.__init__(6)
    with pytest.raises(AttributeError, match="cannot be changed"):
        tinted.hue = 6
    assert tinted.dump() == "5a1.0a1.0a0a0"


def test_a_failed_construction_leaves_no_value_half_made():
    with pytest.raises(ValueError, match="HSV value is not a number"):
        HSV(1, 0.5, "x")
    value = HSV.__new__(HSV)
    with pytest.raises(ValueError, match="finite"):
        value.__init__(float("nan"))
    # nothing was written, so the value can still be made once
    value.__init__(1)
    assert value.dump() == "1a1.0a1.0a0a0"


def _long_text(digits, index):
    return "0.%s%da1a1a0a0" % ("0" * digits, index)


@pytest.mark.parametrize("reader", sorted(READERS))
def test_long_texts_read_and_dropped_do_not_stay_alive(velkc, reader):
    read = READERS[reader]
    digits = 256 * 1024
    read(velkc, _long_text(10, 0))  # first use of the reader outside the tally
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        for index in range(40):
            text = _long_text(digits, index)
            assert read(velkc, text).dump() == text
        del text
        gc.collect()
        kept = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    # 40 texts of 256 KiB were read; less than one of them may remain
    assert kept < digits


@pytest.mark.parametrize("extra, shared", [(0, True), (1, False)])
def test_texts_up_to_the_limit_are_shared_and_longer_ones_equal(velkc, extra, shared):
    tail = "a1a1a0a0"
    text = "0." + "7" * (hsv_module.CACHED_TEXT_LIMIT - len(tail) - 2 + extra) + tail
    assert len(text) == hsv_module.CACHED_TEXT_LIMIT + extra
    first, second = HSV.from_string(text), READERS["object"](velkc, text)
    assert (first is second) is shared
    assert first == second and second.dump() == text


def _members():
    classes = [getattr(velk_enums, name) for name in velk_enums.__all__] + [Mood, Weather]
    return [member for cls in classes for member in cls]


MEMBERS = _members()

# Values of each kind a record holds, with spellings Python would not write.
VALUES = [
    HSV.from_string("-0a0.50a1E-05a1a0"),
    HSV.from_string("71.99999999999994a0.13698630136986292a0.28627450980392155a0a0"),
    HSV(hue=-20, saturation=0.5, saturation_checked=True),
    Guidelines.from_string("0.50~orange~-0~0.90~1e2~1"),
    Guidelines([(1.25, "green"), (2, 0.5)]),
    Guidelines(),
]

RECORD = "1,1,2,15.5,43,-0a1a1a0a0,44,0a0.50a1.0a0a1,30,3,57,1.3,24,2"


@pytest.mark.parametrize("protocol", PROTOCOLS)
@pytest.mark.parametrize("value", VALUES, ids=repr)
def test_companion_values_pickle_equal_and_write_the_same_text(protocol, value):
    again = pickle.loads(pickle.dumps(value, protocol))
    assert type(again) is type(value)
    assert again == value and hash(again) == hash(value)
    assert again.dump() == value.dump()


@pytest.mark.parametrize("protocol", PROTOCOLS)
def test_a_pickled_hsv_comes_back_through_from_string(protocol):
    value = HSV.from_string("12a0.50a1a0a1")
    assert pickle.loads(pickle.dumps(value, protocol)) is value

    class Tinted(HSV):
        __slots__ = ()

    again = pickle.loads(pickle.dumps(Tinted(12, "0.50", 1, False, True), protocol))
    assert type(again) is HSV and again == value and again.dump() == "12a0.5a1a0a1"


@pytest.mark.parametrize("protocol", PROTOCOLS)
def test_every_enumeration_member_pickles_as_itself(protocol):
    assert [pickle.loads(pickle.dumps(member, protocol)) for member in MEMBERS] == MEMBERS
    assert all(pickle.loads(pickle.dumps(member, protocol)) is member for member in MEMBERS)


@pytest.mark.parametrize("protocol", PROTOCOLS)
def test_a_read_record_pickles_and_writes_back_the_same_text(velkc, protocol):
    record = velkc._object_convert(RECORD)
    again = pickle.loads(pickle.dumps(record, protocol))
    assert again == record
    assert [type(value) for value in again.values()] == [type(value) for value in record.values()]
    assert velkc._object_collect(velkc._object_dump(again)) == RECORD


@pytest.mark.parametrize("duplicate", [copy.copy, copy.deepcopy])
def test_copies_are_equal_and_immutable_values_are_themselves(velkc, duplicate):
    for value in VALUES + MEMBERS:
        again = duplicate(value)
        assert again == value
        assert getattr(again, "dump", str)() == getattr(value, "dump", str)()
        if not isinstance(value, Guidelines):
            assert again is value
    record = velkc._object_convert(RECORD)
    again = duplicate(record)
    assert again == record and again is not record
    assert velkc._object_collect(velkc._object_dump(again)) == RECORD


def test_values_pickled_here_unpickle_equal_in_another_process(velkc):
    values = VALUES + MEMBERS + [velkc._object_convert(RECORD), velkc._color_convert(
        "1_255_4_-1_10_-0a1.00a1a0a0")]
    texts = [value.dump() for value in VALUES]
    for protocol in (0, pickle.HIGHEST_PROTOCOL):
        proc = run_python("""
            import pickle
            values = pickle.loads(bytes.fromhex(%r))
            texts = [value.dump() for value in values[:%d]]
            print(pickle.dumps((values, texts), %d).hex())
            """ % (pickle.dumps(values, protocol).hex(), len(VALUES), protocol),
            path=[Path(__file__).parent])
        again, written = pickle.loads(bytes.fromhex(proc.stdout))
        assert again == values
        assert written == texts
