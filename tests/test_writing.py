"""Writing levels: what velk writes reads back to equal values, or velk
refuses to write it, naming the record and key and saying why."""
import math
import pickle
import re

import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

import model
from support import assert_no_leaks, raising
from test_hostile import ClassClaims, ClassRaises, Hostile, StrRaises, StrReturns
from velk import level, survey
from velk.api import enums
from velk.api.guidelines import Guidelines
from velk.api.hsv import HSV
from velk.level import RecordError
from velk.level.text import COLOURS_KEY, join_header, join_level

OBJECT_KEYS = sorted(model._INT | model._BOOL | model._FLOAT | model._HSV | set(model._ENUMS)
                     | {model._GROUPS, model._TEXT}, key=int) + ["18", "128"]
COLOUR_KEYS = sorted(model._COLOR_INT | model._COLOR_BOOL | {
    model._COLOR_FLOAT, model._COLOR_HSV, model._COLOR_PLAYER}, key=int) + ["14", "16"]
MEMBERS = [member for name in enums.__all__ for member in getattr(enums, name)]
GOOD = {"1": 1, "2": 15.5}


def written_alone(kind, record, at=1):
    """The level whose records of `kind` are a good one and then `record`
    (at index `at`)."""
    records = [dict(GOOD) if kind == level.OBJECT else {"1": 1}] * at + [record]
    if kind == level.OBJECT:
        return level.Level({"kA1": "0"}, [], records)
    return level.Level({"kA1": "0"}, records, [])


# Refusals --------------------------------------------------------------------------


@pytest.mark.parametrize("kind, record, key, message", [
    (level.OBJECT, {"99": "a;2,7"}, "99", "the text 'a;2,7' holds ';', which ends a record"),
    (level.OBJECT, {"128": "a,b"}, "128",
     "the text 'a,b' holds ',', which separates the pairs of an object record"),
    (level.OBJECT, {"2": None}, "2", "None has no record form; leave the key out"),
    (level.OBJECT, {"2": object()}, "2",
     r"the object <object object at 0x\w+> is written '<object object at 0x\w+>', which "
     r"does not read back \(invalid literal for int\(\) with base 10: .*\); "
     r"give an int or a float"),
    (level.OBJECT, {"1": 2.0}, "1",
     r"the float 2.0 is written '2.0', which does not read back \(invalid literal for int\(\) "
     r"with base 10: '2.0'\); give an int"),
    (level.OBJECT, {"2": math.inf}, "2",
     "the float inf is not a finite number: only finite numbers can be written"),
    (level.OBJECT, {"1": "5"}, "1", "the str '5' reads back as the int 5; give an int"),
    (level.OBJECT, {"57": [1, 2]}, "57", r"the list \[1, 2\] reads back as the set \{1, 2\}; "
                                         "give a set"),
    (level.OBJECT, {"57": {1.0}}, "57", r"the set \{1.0\} reads back as the set \{0, 1\}"),
    (level.OBJECT, {"30": 2}, "30", "the int 2 reads back as Easing.EASE_IN; give an Easing"),
    (level.OBJECT, {"43": "0a1a1a0a0"}, "43", r"the str '0a1a1a0a0' reads back as HSV\(.*; "
                                              "give an HSV"),
    (level.OBJECT, {"128": True}, "128", "the bool True reads back as the str '1'; give a str"),
    (level.OBJECT, {"31": 5}, "31",
     r"the int 5 cannot be written \(Expected unicode, got int\); give a str"),
    (level.OBJECT, {"128": Guidelines([(0.5, 1)])}, "128",
     r"Guidelines\(\[\(0.5, 1\)\]\) reads back as the str '0.5~1'; give a str"),
    (level.OBJECT, {1: 5}, 1, "the key 1 is an int; give a str"),
    (level.OBJECT, {"1;2": 5}, "1;2", "the key '1;2' holds ';', which ends a record"),
    (level.COLOUR, {"14": "a|b"}, "14", r"the text 'a\|b' holds '\|', which ends a colour record"),
    (level.COLOUR, {"14": "a_b"}, "14",
     "the text 'a_b' holds '_', which separates the pairs of a colour record"),
    (level.COLOUR, {"14": "a,b"}, "14", "the text 'a,b' holds ',', which separates the pairs "
                                        "of the header, which holds the colour records"),
    (level.COLOUR, {"7": math.nan}, "7",
     "the float nan is not a finite number: only finite numbers can be written"),
    (level.COLOUR, {"4": 0}, "4", "the int 0 reads back as PlayerColor.NONE; give a PlayerColor"),
    (level.COLOUR, {"10": [1]}, "10", r"the list \[1\] is written '1', which does not read back "
                                      r"\(HSV text needs 5 fields .*\); give an HSV"),
])
def test_a_value_that_would_not_come_back_is_refused(kind, record, key, message):
    with pytest.raises(RecordError) as excinfo:
        level.write_level(written_alone(kind, record))
    error = excinfo.value
    assert (error.kind, error.index, error.key, error.writing) == (kind, 1, key, True)
    assert error.reason == str(error.cause)
    assert re.fullmatch(message, error.reason), error.reason
    assert str(error).startswith("%s 1: key %s: " % (kind, key))
    # The error travels whole, as errors of reading do.
    assert str(pickle.loads(pickle.dumps(error))) == str(error)


@pytest.mark.parametrize("header, key, message", [
    ({"kA1": "a,b"}, "kA1", "the text 'a,b' holds ',', which separates the pairs of the header"),
    ({"kA1": "0", "kA2": "a;b"}, "kA2", "the text 'a;b' holds ';', which ends a record"),
    ({"kA1": 0}, "kA1", "the int 0 is not a text: the header holds texts; give a str"),
    ({"kA1": None}, "kA1", "None has no record form; leave the key out"),
    ({"k,1": "0"}, "k,1", "the key 'k,1' holds ',', which separates the pairs of the header"),
    ({1: "0"}, 1, "the key 1 is an int; give a str"),
])
def test_a_header_pair_that_would_not_come_back_is_refused(header, key, message):
    with pytest.raises(RecordError) as excinfo:
        level.write_level(level.Level(header, [{"1": 1}], [GOOD]))
    error = excinfo.value
    assert (error.kind, error.index, error.key, error.reason) == ("header", None, key, message)
    assert str(error) == "header: key %s: %s" % (key, message)


def test_the_colours_value_of_the_header_is_not_checked_but_written_from_the_colours():
    read = level.read_level(level.write_level(
        level.Level({COLOURS_KEY: None, "kA1": "0"}, [{"1": 1}], [])))
    assert read.header == {COLOURS_KEY: "1_1|", "kA1": "0"}


@pytest.mark.parametrize("record, message", [
    ([("1", 1)], "the record is a list; give a dict"),
    (None, "the record is a NoneType; give a dict"),
])
def test_a_record_that_is_no_dict_is_refused(record, message):
    with pytest.raises(RecordError) as excinfo:
        level.write_level(written_alone(level.OBJECT, record))
    assert (excinfo.value.index, excinfo.value.key) == (1, None)
    assert excinfo.value.reason == message


def test_the_first_record_that_fails_is_named_across_batches():
    objects = [dict(GOOD, **{"2": float(n)}) for n in range(3000)]
    objects[2100]["128"] = None
    objects[2900]["1"] = "x"
    with pytest.raises(RecordError, match="^object 2100: key 128: None"):
        level.write_level(level.Level({}, [], objects))
    codec = level.RecordCodec(level.OBJECT)
    with pytest.raises(RecordError, match="^object 2107: key 128: None"):
        codec.write_many(objects, start=7)
    with pytest.raises(RecordError, match="^object 5: key 128: None"):
        codec.write_checked(objects[2100], 5)


# Floats ----------------------------------------------------------------------------


@pytest.mark.parametrize("value, text", [
    # an exponent without a "." reads as a malformed int: written positionally
    (1e-05, "0.00001"),
    (-1e-07, "-0.0000001"),
    (1e16, "10000000000000000.0"),
    (5e-324, "0." + "0" * 323 + "5"),                      # the smallest subnormal
    (1e308, "1" + "0" * 308 + ".0"),
    # the rest read back as the native codec writes them
    (-2.5e-07, "-2.5e-07"),
    (1.7976931348623157e308, "1.7976931348623157e+308"),
    (0.1, "0.1"),
    (-0.0, "-0.0"),
])
@pytest.mark.parametrize("kind, key", [(level.OBJECT, "2"), (level.COLOUR, "7")])
def test_a_float_is_written_so_that_it_reads_back_the_same(kind, key, value, text):
    record = {"1": 1, key: value}
    written = level.write_level(written_alone(kind, record))
    delim = "," if kind == level.OBJECT else "_"
    assert "%s%s%s" % (key, delim, text) in written
    read = level.read_level(written)
    back = (read.objects if kind == level.OBJECT else read.colours)[1][key]
    assert type(back) is float and back == value
    assert math.copysign(1, back) == math.copysign(1, value)


def test_exponent_floats_everywhere_are_all_written_positionally():
    objects = [{"1": n, "2": n * 1e-09, "3": 1e20 + n} for n in range(1, 1200)]
    read = level.read_level(level.write_level(level.Level({}, [], objects)))
    assert read.objects == objects


def test_values_of_another_type_that_read_back_equal_are_written():
    # dict equality is the measure: True reads back as 1, which equals it
    record = {"1": True, "2": 3, "4": 1, "57": {2, 1}, "43": HSV(10, 0.5, 1)}
    text = level.write_level(level.Level({}, [], [record]))
    assert text == ";1,1,2,3,4,1,57,1.2,43,10a0.5a1a0a0;"
    assert level.read_level(text).objects == [record]


# The unchecked write --------------------------------------------------------------


def test_the_codec_write_stays_unchecked_for_the_survey():
    codec = level.RecordCodec(level.OBJECT)
    assert codec.write({"99": "a;b", "2": 1e-05}) == "99,a;b,2,1e-05"
    # the survey measures what the native codec does, so this is a change
    outcome, record, written, _ = survey.classify(codec, "2,0.00001")
    assert (outcome, written) == (survey.CHANGED, "2,1e-05")
    assert codec.write_checked(record) == "2,0.00001"


# UTF-8 --------------------------------------------------------------------------


@pytest.mark.parametrize("where, kind, index, key", [
    (lambda lv: lv.header.update(kA2="a\ud800"), "header", None, "kA2"),
    (lambda lv: lv.header.update({"k\ud800": "0"}), "header", None, None),
    (lambda lv: lv.colours[1].update({"14": "\udfff"}), level.COLOUR, 1, "14"),
    (lambda lv: lv.objects[2].update({"128": "\u00e9\ud800y"}), level.OBJECT, 2, "128"),
    (lambda lv: lv.objects[1].update({"31": "\ud800"}), level.OBJECT, 1, "31"),
])
def test_a_text_that_utf8_cannot_encode_is_refused(where, kind, index, key):
    # Every file keeps level strings as UTF-8.
    lv = level.Level({"kA1": "\u00e9"}, [{"1": 1}, {"1": 2, "14": "x"}],
                     [dict(GOOD) for _ in range(3)])
    where(lv)
    for write in (level.write_level, level.save_level, level.export_xml):
        with pytest.raises(RecordError, match="UTF-8 cannot encode") as excinfo:
            write(lv)
        error = excinfo.value
        assert (error.kind, error.index, error.key) == (kind, index, key)
        assert isinstance(error.__cause__, UnicodeEncodeError)


# Values whose own code misbehaves ------------------------------------------------


class _NoRepr(StrReturns):
    def __repr__(self):
        raise Hostile("repr")


class _NoEq(StrReturns):
    __hash__ = None

    def __eq__(self, other):
        raise Hostile("eq")


@pytest.mark.parametrize("value, message", [
    (StrRaises(), r"the StrRaises <.*> cannot be written \(str\); give an int or a float"),
    (ClassRaises(), r"the ClassRaises <.*> cannot be written \(class\); give an int or a float"),
    (ClassClaims(float), "the ClassClaims <.*> is written 'claims', which does not read back .*"),
    (_NoRepr("7"), "a _NoRepr reads back as the int 7; give an int"),
    (_NoEq("7"), r"the _NoEq <.*> cannot be compared with what it reads back as \(eq\)"),
], ids=["str", "class", "claimed class", "repr", "eq"])
def test_values_whose_own_code_fails_are_refused_with_a_record_error(value, message):
    with pytest.raises(RecordError) as excinfo:
        level.write_level(written_alone(level.OBJECT, {"2": value}))
    assert excinfo.value.key == "2"
    assert re.fullmatch(message, excinfo.value.reason), excinfo.value.reason


# References ------------------------------------------------------------------------


def test_writing_leaves_nothing_behind():
    refused = written_alone(level.OBJECT, {"57": [1, 2]})
    assert_no_leaks(raising(RecordError, level.write_level, refused), calls=300)
    unencodable = level.Level({"kA1": "\ud800"})
    assert_no_leaks(raising(RecordError, level.write_level, unencodable), calls=300)
    mended = written_alone(level.OBJECT, {"2": 1e-05, "3": 1e30})
    assert_no_leaks(lambda: level.write_level(mended), calls=300)


# Random levels with hostile values ----------------------------------------------

DELIMITERS = ",;_|."
texts = st.text(st.sampled_from(DELIMITERS + "a1 -~\u00e9"), max_size=6)
clean_texts = st.text(st.sampled_from("ab1 -~\u00e9"), max_size=6)
finite_floats = st.one_of(
    st.floats(allow_nan=False, allow_infinity=False, allow_subnormal=True),
    st.sampled_from([1e-05, 1e16, -0.0, 5e-324, 1.7976931348623157e308, 2.0, 0.1, -1e-300]),
)
floats = st.one_of(finite_floats, st.sampled_from([math.inf, -math.inf, math.nan]))
ints = st.one_of(st.integers(-10 ** 6, 10 ** 6), st.integers(-10 ** 40, 10 ** 40))
hsv_values = st.builds(HSV, st.integers(-360, 360), st.floats(-10, 10, allow_nan=False),
                       st.floats(-10, 10, allow_nan=False), st.booleans(), st.booleans())
small_ints = st.lists(st.integers(-5, 50), max_size=4)
hostile_values = st.one_of(
    texts, floats, ints, st.just(10 ** 4400), st.booleans(), st.none(), st.builds(object),
    hsv_values, st.sampled_from(MEMBERS), small_ints.map(set), small_ints, small_ints.map(tuple),
    small_ints.map(frozenset), st.builds(Guidelines),
    st.dictionaries(st.sampled_from(["1", "2"]), st.integers(0, 3), max_size=2),
)
hostile_keys = st.one_of(st.sampled_from(["", "1,2", "1;", "4_5", "7|", "01", "kA1"]),
                         st.integers(0, 110), texts)
ENUMS = tuple(getattr(enums, name) for name in enums.__all__)


def well_typed(reads):
    """Values of the type of `reads`, a value as a key reads it."""
    if isinstance(reads, bool):
        return st.booleans()
    if isinstance(reads, ENUMS):
        return st.sampled_from(list(type(reads)))
    if isinstance(reads, int):
        return ints
    if isinstance(reads, float):
        return finite_floats
    if isinstance(reads, set):
        return small_ints.map(set)
    if isinstance(reads, HSV):
        return hsv_values
    return clean_texts


def typed_values(kind, keys):
    """For each key of `keys`, values of the type it reads, found by reading."""
    codec = level.RecordCodec(kind)
    found = {}
    for key in keys:
        for probe in ("1", "0.5", HSV().dump()):
            try:
                found[key] = well_typed(codec.read(key + codec.delim + probe)[key])
                break
            except ValueError:
                continue
    return found


def records(kind, keys):
    typed = typed_values(kind, keys)
    return st.lists(st.sampled_from(sorted(typed)), max_size=5, unique=True).flatmap(
        lambda chosen: st.fixed_dictionaries({key: typed[key] for key in chosen}))


@st.composite
def levels(draw):
    """A level of well-typed values, with up to three hostile keys or values
    put in anywhere."""
    lv = level.Level(
        draw(st.dictionaries(st.sampled_from(["kA1", "kA13", "kA14", COLOURS_KEY]), clean_texts,
                             max_size=3)),
        draw(st.lists(records(level.COLOUR, COLOUR_KEYS), max_size=3)),
        draw(st.lists(records(level.OBJECT, OBJECT_KEYS), max_size=4)))
    for _ in range(draw(st.integers(0, 3))):
        target = draw(st.sampled_from([lv.header] + lv.colours + lv.objects))
        key = draw(st.one_of(st.sampled_from(list(target) or ["1"]), hostile_keys))
        target[key] = draw(hostile_values)
    return lv


def written_naively(kind, pair):
    """Whether the level string that the unchecked writers make of `pair` (a
    one-pair dict) reads back to it."""
    try:
        if kind == "header":
            return level.read_level(join_level(join_header(pair), [])).header == pair
        text = level.RecordCodec(kind).write(pair)
        if kind == level.OBJECT:
            return level.read_level(join_level(join_header({}), [text])).objects == [pair]
        return level.read_level(join_level(join_header({}, [text]), [])).colours == [pair]
    except Exception:
        return False


def reads_floats(kind, key):
    try:
        back = level.RecordCodec(kind).read(key + ("," if kind == level.OBJECT else "_") + "0.5")
    except ValueError:
        return False
    return type(back.get(key)) is float


def assert_names_a_pair_that_does_not_come_back(lv, error):
    assert error.writing
    if error.kind == "header":
        value = lv.header[error.key]
    else:
        records = lv.objects if error.kind == level.OBJECT else lv.colours
        record = records[error.index]
        if error.key is None:
            assert type(record) is not dict
            return
        value = record[error.key]
    # No false refusal: the plain writers lose the pair, and a float is
    # refused only under a key that reads no floats.
    assert not written_naively(error.kind, {error.key: value})
    if type(value) is float and math.isfinite(value) and isinstance(error.key, str):
        assert not reads_floats(error.kind, error.key)


def without_colours(header):
    return {key: value for key, value in header.items() if key != COLOURS_KEY}


@settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(levels())
def test_a_level_reads_back_equal_or_is_refused_naming_record_and_key(lv):
    try:
        text = level.write_level(lv)
    except RecordError as error:
        event("refused: %s" % error.kind)
        assert_names_a_pair_that_does_not_come_back(lv, error)
        with pytest.raises(RecordError) as again:
            level.save_level(lv)
        assert again.value.location() == error.location()
        return
    event("written")
    back = level.read_level(text)
    assert back.objects == lv.objects
    assert back.colours == lv.colours
    assert without_colours(back.header) == without_colours(lv.header)
    assert level.load_level(level.save_level(lv, "deflate")) == back
