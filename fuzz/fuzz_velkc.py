#!/usr/bin/env python
"""Coverage-guided fuzzing of the native module ``velk._velkc``.

tools/fuzz.sh runs this file under libFuzzer (through atheris) against a
build of the module with AddressSanitizer, UndefinedBehaviorSanitizer and
libFuzzer's edge counters. Each input is a byte string from which one case
is built: a call, or a short chain of calls, of the module's eleven exported
functions with structured arguments. Record strings lean on the real
property keys and on the value texts where conversions have edges; typed
dictionaries mix every class that dumping treats specially; calls vary
their argument counts and keywords.

Most cases are differential: the same call goes to the pure-Python model of
the module in tests/model.py, on a deep copy of the arguments, and both must
agree on the result (compared type by type) or on the type and message of
the exception. Cases with hostile objects (dunders that raise or change the
container being walked) or with very deep values only check the contracts.

A finding is raised as `Finding`, which libFuzzer reports as a crash and
saves as an artifact:
- a result of the wrong type (`_convert`, `_dump` and the record readers
  and dumpers return exactly a dict; `_collect`, `_iter_to_str`, the record
  joiners and `byte_xor` exactly a str);
- an exception outside the ones the module documents (`ERRORS`);
- an argument changed by a call that has no business changing it;
- a disagreement with the model;
- and, outside Python's view, any sanitizer report or crash of the process.

Run one saved input again with
    tools/fuzz.sh 0 fuzz/crashes/crash-...
or, in a shell set up like fuzz.sh's, ``python fuzz/fuzz_velkc.py FILE``.
"""
import base64
import builtins
import gc
import math
import os
import sys
import warnings

import atheris

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests"))

# libFuzzer sees the native module's edges through its own instrumentation;
# the companion modules in Python are instrumented here, so that paths
# through HSV, Coder and the enumerations count as coverage too.
if os.environ.get("VELK_FUZZ_NATIVE_ONLY"):
    import velk._velkc as velkc
else:
    with atheris.instrument_imports(include=["velk", "enums"]):
        import velk._velkc as velkc

from enums import Enum  # noqa: E402
from velk.api import enums as velk_enums  # noqa: E402
from velk.api.guidelines import Guidelines  # noqa: E402
from velk.api.hsv import HSV  # noqa: E402
from velk.utils.crypto.coders import Coder  # noqa: E402

import model  # noqa: E402  (tests/model.py)

warnings.simplefilter("ignore")


class Finding(AssertionError):
    """A broken contract of the module."""


class Hostile(Exception):
    """Raised by the hostile objects of this harness."""


class Interrupt(BaseException):
    """A BaseException that is no Exception, raised through the coder."""


# The exceptions that the module documents for its failures: argument
# binding and type checks, non-iterables, wrong element and dumper types,
# str() that fails (TypeError); int()/float() of bad text, unknown members,
# bad HSV text, an empty delimiter (ValueError); None arguments and failed
# attribute reads of __class__, __mro__ or `value` (AttributeError); a
# dictionary changing size while it is walked, and the RecursionError
# subclass for deep or self-referential values (RuntimeError); a companion
# name bound nowhere (NameError); a byte_xor key outside 32 bits, or a float
# key too large to be an int (OverflowError). KeyError is not among them:
# the module's lookups report a missing key by its result, never by raising,
# and the companions turn their own KeyErrors into ValueError.
ERRORS = (TypeError, ValueError, AttributeError, RuntimeError, NameError,
          OverflowError)

PARAMS = {
    "_convert": ("string", "delim", "func"),
    "_dump": ("some_dict", "additional"),
    "_collect": ("some_dict", "char"),
    "byte_xor": ("stream", "key"),
}
DICT_RESULT = {"_convert", "_dump", "_object_convert", "_object_dump",
               "_color_convert", "_color_dump"}
STR_RESULT = {"_collect", "_iter_to_str", "_object_collect", "_color_collect",
              "byte_xor"}
RECORD_FUNCTIONS = ["_object_convert", "_color_convert", "_object_dump",
                    "_color_dump", "_object_collect", "_color_collect"]

# ----------------------------------------------------------------- vocabulary

KEYS = [str(n) for n in range(1, 109)]
ODD_KEYS = ["", "0", "01", " 1", "1 ", "+1", "-1", "109", "999", "٣", "1.0",
            "a", "31 ", "057"]
ENUM_CLASSES = [velk_enums.ZLayer, velk_enums.Easing, velk_enums.PulseMode,
                velk_enums.PulseType, velk_enums.PickupItemMode,
                velk_enums.TouchToggleMode, velk_enums.InstantCountComparison,
                velk_enums.TargetPosCoordinates, velk_enums.PlayerColor]
MEMBERS = [member for cls in ENUM_CLASSES for member in cls]


def _hsv_texts():
    texts = [HSV().dump(), HSV(-20, 0.5, 1.0, True, False).dump(),
             HSV(180, 0.0, 2.25, False, True).dump(),
             HSV(-360, 1e-7, 12345.5, True, True).dump()]
    texts += ["1a2a3a1", "1a2a3a1a0a0", "1a2a3a2a0", "xa1a1a0a0", "1.5a1a1a0a0",
              "1a1e400a1a0a0", "1anana1a0a0", "a" * 4, "", "1a2a3a1a0 "]
    return texts


HSV_TEXTS = _hsv_texts()
B64_TEXTS = [base64.urlsafe_b64encode(t.encode()).decode()
             for t in ["hello", "", "a,b_c|d", "ünï", "✓ ok", "x" * 40]]
B64_TEXTS += [t.rstrip("=") for t in B64_TEXTS] + ["!!!", "QQ", "Q", "-_-_",
                                                    "/+/+", "gA", "4pyT", "4py"]
VALUE_TEXTS = [
    "", "0", "1", "2", "-1", "+5", "015", " 7 ", "1_0", "1__0", "_1", "٣", "١٢",
    "15", "15.0", "15.50", "5.", ".5", ".", "-.5", "-0", "-0.0", "1e5", "1e5.",
    "1.5e3", "nan", "nan.", "inf", "inf.", "-inf.0", "0x10", "1..2", "1.", ".1",
    "1.2.2", "3.1.3", "-3.4", "1. 2", " 1.2 ", "true", "None", "  ", "\t1\n",
    "9" * 30, "9" * 400, "1" + "0" * 1500, "0." + "1" * 400, "a", "ü", "1\x00",
    "2147483648", "-2147483649", "18446744073709551616",
] + HSV_TEXTS + B64_TEXTS
ODD_DELIMS = ["_", ",", "", "--", "|", "a", "1", "__", ",_", "\x00", "٣"]


class StrSub(str):
    pass


class IntSub(int):
    pass


class FloatSub(float):
    pass


class ListSub(list):
    pass


class TupleSub(tuple):
    pass


class SetSub(set):
    pass


class DictSub(dict):
    pass


class BytesSub(bytes):
    pass


class MyEnum(Enum):
    ONE = 1
    TEXT = "t"


class OneShot:
    """An iterator over fixed items: a collection that cannot be walked twice."""

    def __init__(self, items):
        self.items = list(items)

    def __iter__(self):
        return self

    def __next__(self):
        if not self.items:
            raise StopIteration
        return self.items.pop(0)

    def __repr__(self):
        return "OneShot(%d left)" % len(self.items)


class Opaque:
    """An object that no table knows: it dumps as itself."""

    def __init__(self, tag):
        self.tag = tag

    def __repr__(self):
        return "Opaque(%r)" % self.tag

    def __eq__(self, other):
        return type(other) is Opaque and other.tag == self.tag

    def __hash__(self):
        return hash(self.tag)


# --------------------------------------------------------------- comparison


def canon(obj, memo=None):
    """A comparable form of `obj` that tells types apart (1, 1.0 and True
    differ), compares NaN equal to itself and survives cycles."""
    if memo is None:
        memo = {}
    cls = type(obj)
    if cls in (int, str, bytes, bool) or obj is None:
        return (cls.__name__, obj)
    if cls is float:
        return ("float", "nan" if math.isnan(obj) else obj)
    if cls is complex:
        return ("complex", repr(obj))
    if id(obj) in memo:
        return ("cycle", memo[id(obj)])
    memo[id(obj)] = len(memo)
    try:
        if isinstance(obj, Enum):
            return ("member", cls.__name__, canon(obj.value, memo))
        if cls is HSV:
            return ("HSV",) + tuple(canon(v, memo) for v in obj._key())
        if cls is Guidelines:
            return ("Guidelines", obj.points)
        if isinstance(obj, dict):
            return (cls.__name__, tuple((canon(k, memo), canon(v, memo))
                                        for k, v in obj.items()))
        if isinstance(obj, (list, tuple)):
            return (cls.__name__, tuple(canon(v, memo) for v in obj))
        if isinstance(obj, (set, frozenset)):
            return (cls.__name__, frozenset(canon(v, memo) for v in obj))
        if isinstance(obj, (str, int, float, bytes)):
            return (cls.__name__, canon(cls.__mro__[-2](obj), memo))
        if cls is OneShot:
            return ("OneShot",)
        if cls is Opaque:
            return ("Opaque", obj.tag)
        return (cls.__name__, id(obj))
    finally:
        del memo[id(obj)]


def clone(obj, memo=None):
    """What the model is given in place of `obj`: fresh copies of what a
    call uses up (one-shot iterators, recording converters) and of the
    lists, tuples and dictionaries that lead to them; everything else is
    shared, so that a set is iterated in the very same order by both."""
    if memo is None:
        memo = {}
    if id(obj) in memo:
        return memo[id(obj)]
    cls = type(obj)
    if cls is OneShot:
        copied = memo[id(obj)] = OneShot([])
        copied.items = [clone(item, memo) for item in obj.items]
        return copied
    if cls is Recorder:
        return Recorder()
    if cls is list:
        copied = memo[id(obj)] = []
        copied.extend(clone(item, memo) for item in obj)
        return copied
    if cls is dict:
        copied = memo[id(obj)] = {}
        for key, value in obj.items():
            copied[key] = clone(value, memo)
        return copied
    if cls is tuple:
        return tuple(clone(item, memo) for item in obj)
    return obj


def outcome(func, args, kwargs):
    """('ok', result) or ('raised', exception) of one call."""
    try:
        return "ok", func(*args, **kwargs)
    except Finding:
        raise
    except BaseException as exc:  # noqa: B902 - every outcome is judged
        return "raised", exc


def describe(name, args, kwargs):
    try:
        shown = ", ".join([repr(a)[:300] for a in args] +
                          ["%s=%s" % (k, repr(v)[:300]) for k, v in kwargs.items()])
    except BaseException:  # noqa: B902 - a hostile repr
        shown = "<arguments without a repr>"
    return "%s(%s)" % (name, shown)


def check_contract(name, args, kwargs, result, extra_errors=()):
    """The type of what a call of `name` gave: its documented result type,
    or one of the documented exceptions."""
    kind, value = result
    if kind == "raised":
        if isinstance(value, ERRORS + tuple(extra_errors)):
            return
        raise Finding("%s raised the undocumented %s: %r"
                      % (describe(name, args, kwargs), type(value).__name__, value))
    expected = dict if name in DICT_RESULT else str
    if type(value) is not expected:
        raise Finding("%s returned %s, not exactly %s"
                      % (describe(name, args, kwargs), type(value).__name__,
                         expected.__name__))


def differential(src, name, args, kwargs, extra_errors=()):
    """Call `name` of the module and of the model on equal arguments; both
    must agree and the module's arguments must stay as they were.

    A value nested deeper than the model's recursion can follow is only
    checked against the contract: the module raises RecursionError where
    Python code does, but not at the same depth."""
    if src.deep:
        native = outcome(getattr(velkc, name), args, kwargs)
        check_contract(name, args, kwargs, native, extra_errors)
        return native
    model_args = clone((args, kwargs))
    before = canon((args, kwargs))
    native = outcome(getattr(velkc, name), args, kwargs)
    check_contract(name, args, kwargs, native, extra_errors)
    if canon((args, kwargs)) != before:
        raise Finding("%s changed its arguments" % describe(name, args, kwargs))
    expected = outcome(getattr(model, name), *model_args)
    if native[0] != expected[0]:
        raise Finding("%s: the module gave %s %r, the model %s %r"
                      % (describe(name, args, kwargs), native[0], native[1],
                         expected[0], expected[1]))
    if native[0] == "ok":
        if canon(native[1]) != canon(expected[1]):
            raise Finding("%s: the module gave %r, the model %r"
                          % (describe(name, args, kwargs), native[1], expected[1]))
    else:
        got, want = native[1], expected[1]
        if type(got) is not type(want):
            raise Finding("%s: the module raised %s %r, the model %s %r"
                          % (describe(name, args, kwargs), type(got).__name__, got,
                             type(want).__name__, want))
        if (type(got) is not RecursionError and name not in BINDING_ONLY_MESSAGES
                and str(got) != str(want) and not binding_message(got)):
            raise Finding("%s: the module raised %r, the model %r"
                          % (describe(name, args, kwargs), got, want))
    return native


# Messages of argument binding come from the interpreter for the model and
# are worded differently; their types are compared, not their words.
BINDING_ONLY_MESSAGES = set()
BINDING_WORDS = ("positional argument", "keyword argument", "takes no keyword",
                 "takes exactly one argument", "required positional",
                 "were given", "was given", "positional-only")


def binding_message(exc):
    return type(exc) is TypeError and any(w in str(exc) for w in BINDING_WORDS)


# ------------------------------------------------------------------ builders


class Source:
    """Choices drawn from the fuzzer's bytes."""

    def __init__(self, data):
        self.fdp = atheris.FuzzedDataProvider(data)
        self.deep = False      # a value too deep for the model's recursion
        self.hostile = False   # objects that act on what is being walked

    def int(self, low, high):
        return self.fdp.ConsumeIntInRange(low, high)

    def pick(self, seq):
        return seq[self.fdp.ConsumeIntInRange(0, len(seq) - 1)]

    def chance(self, percent):
        return self.fdp.ConsumeIntInRange(0, 99) < percent

    def text(self, size=8):
        return self.fdp.ConsumeUnicodeNoSurrogates(self.int(0, size))

    def any_text(self, size=8):
        # surrogates included: they cannot be encoded as UTF-8
        return self.fdp.ConsumeUnicode(self.int(0, size))


def gen_key(src, colour=False):
    roll = src.int(0, 9)
    if roll < 6:
        if colour:
            return str(src.int(1, 19))
        return src.pick(KEYS)
    if roll < 8:
        return src.pick(ODD_KEYS)
    return src.text(4)


def gen_value_text(src):
    roll = src.int(0, 11)
    if roll < 5:
        return src.pick(VALUE_TEXTS)
    if roll == 5:
        return src.text(10)
    if roll == 6:
        return str(src.fdp.ConsumeInt(src.int(1, 12)))
    if roll == 7:
        return repr(src.fdp.ConsumeFloat())
    if roll == 8:
        return ".".join(str(src.int(-5, 300)) for _ in range(src.int(0, 6)))
    if roll == 9:
        hsv = HSV(src.int(-400, 400), src.fdp.ConsumeRegularFloat(),
                  src.fdp.ConsumeRegularFloat(), src.chance(50), src.chance(50))
        return hsv.dump()
    if roll == 10:
        encoded = base64.urlsafe_b64encode(src.any_text(12).encode("utf-8", "replace"))
        return encoded.decode().rstrip("=" if src.chance(50) else "")
    return src.any_text(6)


def gen_record(src, delim, colour=False):
    pieces = []
    for _ in range(src.int(0, 10)):
        pieces.append(gen_key(src, colour))
        pieces.append(gen_value_text(src))
    if src.chance(15):
        pieces.append(gen_key(src, colour))  # an unpaired last piece
    if src.chance(10) and pieces:
        pieces[src.int(0, len(pieces) - 1)] += src.pick([",", "_", "|", ",_"])
    return delim.join(pieces)


def gen_hsv(src):
    return HSV(src.int(-400, 400), src.fdp.ConsumeRegularFloat(),
               src.fdp.ConsumeRegularFloat(), src.chance(50), src.chance(50))


def gen_guidelines(src):
    points = [(abs(src.fdp.ConsumeRegularFloat()), src.pick(["orange", "yellow", "green"]))
              for _ in range(src.int(0, 3))]
    return Guidelines(points)


def gen_scalar(src):
    roll = src.int(0, 15)
    if roll == 0:
        return src.int(-1000, 1000)
    if roll == 1:
        return src.fdp.ConsumeInt(src.int(1, 20))
    if roll == 2:
        return src.pick([0.0, -0.0, 0.5, 1e16, 1e-7, math.inf, -math.inf, math.nan,
                         src.fdp.ConsumeFloat()])
    if roll == 3:
        return src.chance(50)
    if roll == 4:
        return None
    if roll in (5, 6):
        return src.pick(VALUE_TEXTS)
    if roll == 7:
        return src.any_text(6)
    if roll == 8:
        return src.fdp.ConsumeBytes(src.int(0, 6))
    if roll == 9:
        return src.pick(MEMBERS + [MyEnum.ONE, MyEnum.TEXT])
    if roll == 10:
        return gen_hsv(src)
    if roll == 11:
        return gen_guidelines(src)
    if roll == 12:
        return src.pick([StrSub(src.pick(VALUE_TEXTS)), IntSub(src.int(-9, 9)),
                         FloatSub(src.fdp.ConsumeRegularFloat()), BytesSub(b"ab")])
    if roll == 13:
        return Opaque(src.int(0, 9))
    if roll == 14:
        return complex(src.int(-3, 3), 1)
    return src.pick(KEYS)


def gen_hashable(src):
    value = gen_scalar(src)
    if isinstance(value, (HSV, Guidelines)) or value.__hash__ is None:
        return src.int(0, 50)
    return value


def gen_dict_key(src):
    if src.chance(80):
        return gen_key(src)
    return src.pick([src.int(0, 120), 31, 57, None, 1.5, ("1", 2), StrSub("31"),
                     StrSub("1"), IntSub(31), MyEnum.ONE, frozenset({1}), True,
                     b"31", Opaque(3)])


def gen_value(src, depth=0):
    """A typed value for a record dictionary or a collection."""
    if depth > 3:
        return gen_scalar(src)
    roll = src.int(0, 19)
    if roll < 9:
        return gen_scalar(src)
    if roll == 9:
        return [gen_value(src, depth + 1) for _ in range(src.int(0, 4))]
    if roll == 10:
        return tuple(gen_value(src, depth + 1) for _ in range(src.int(0, 4)))
    if roll == 11:
        return {gen_hashable(src) for _ in range(src.int(0, 4))}
    if roll == 12:
        return frozenset(gen_hashable(src) for _ in range(src.int(0, 3)))
    if roll == 13:
        return gen_typed_dict(src, depth + 1, size=3)
    if roll in (14, 15):
        return gen_records(src, depth + 1)
    if roll == 16:
        items = [gen_value(src, depth + 1) for _ in range(src.int(0, 3))]
        return src.pick([ListSub(items), TupleSub(items), DictSub({"1": 2}),
                         SetSub({1, 2})])
    if roll == 17:
        return OneShot(gen_records(src, depth + 1) if src.chance(50)
                       else [gen_scalar(src) for _ in range(src.int(0, 4))])
    if roll == 18:
        return gen_cyclic(src)
    return gen_deep(src)


def gen_records(src, depth):
    """A list of dictionaries, sometimes with a stray element after the first."""
    records = [gen_typed_dict(src, depth, size=3) for _ in range(src.int(1, 3))]
    if src.chance(20):
        records.insert(src.int(1, len(records)),
                       src.pick([None, 7, "x", DictSub({"1": 2}), [], {"1": 2}]))
    if src.chance(20):
        return tuple(records)
    return records


def gen_typed_dict(src, depth=0, size=8):
    return {gen_dict_key(src): gen_value(src, depth) for _ in range(src.int(0, size))}


def gen_cyclic(src):
    """A value that holds itself: through a dictionary the module recurses
    into it, through lists alone str() stops at the cycle."""
    roll = src.int(0, 3)
    if roll == 0:
        outer = []
        outer.append(outer)
        return outer
    if roll == 1:
        record = {"1": None}
        record["1"] = [record]
        return [record]
    if roll == 2:
        record = {}
        record["57"] = record
        return record
    record = {"1": 2}
    holder = [record, {"2": None}]
    holder[1]["2"] = (holder,)
    return holder


def gen_deep(src):
    """Values nested far deeper than the recursion limit allows."""
    src.deep = True
    depth = src.pick([1200, 1200, 5000, 30000])
    if src.chance(50):
        value = {"1": 2}
        for _ in range(depth):
            value = [{"1": value}]
    else:
        value = []
        for _ in range(depth):
            value = [value]
    return value


# ---------------------------------------------------------------- arguments


def call_forms(src, name, values, required):
    """(args, kwargs) for a call of the keywords-form function `name` with
    the parameter values `values`: usually all by position, sometimes by
    keyword, mixed, short, long, or with a stray or repeated keyword."""
    params = PARAMS[name][:len(values)]
    roll = src.int(0, 16)
    if roll < 8:
        return list(values), {}
    if roll < 10:
        return [], dict(zip(params, values))
    if roll < 12:
        cut = src.int(0, len(values))
        return list(values[:cut]), dict(zip(params[cut:], values[cut:]))
    if roll == 12:
        return list(values[:src.int(0, max(0, required - 1))]), {}
    if roll == 13:
        return list(values) + [None] * src.int(1, 2), {}
    if roll == 14:
        return list(values), {src.pick(["x", "strin", "Key", "_"]): 1}
    if roll == 15:
        return list(values), {src.pick([1, None, b"key"]): 1}  # not a str
    return list(values), {src.pick(PARAMS[name]): None}


def one_arg_forms(src, value):
    roll = src.int(0, 11)
    if roll < 9:
        return [value], {}
    if roll == 9:
        return [], {}
    if roll == 10:
        return [value, value], {}
    return [], {"string": value}


# -------------------------------------------------------------------- cases


def case_object_record(src):
    text = gen_record(src, ",") if src.chance(90) else gen_record(src, "_")
    round_trip(src, text, "_object_convert", "_object_dump", "_object_collect")


def case_colour_record(src):
    text = gen_record(src, "_", colour=True) if src.chance(90) else gen_record(src, ",")
    round_trip(src, text, "_color_convert", "_color_dump", "_color_collect")


def round_trip(src, text, convert, dump, collect):
    """Read, dump, join and read again, each step against the model. What a
    record reads as must dump and join without error; read back, it gives
    the same dictionary, unless a float came out in exponent form ("1e+16"),
    which the readers refuse without a "."."""
    status, record = differential(src, convert, [text], {})
    if status != "ok":
        return
    status, dumped = differential(src, dump, [record], {})
    if status != "ok":
        raise Finding("%s(%s(%r)) failed: %r" % (dump, convert, text, dumped))
    status, written = differential(src, collect, [dumped], {})
    if status != "ok":
        raise Finding("%s of a dumped record failed: %r" % (collect, written))
    status, again = outcome(getattr(velkc, convert), [written], {})
    if status == "ok" and canon(again) != canon(record):
        raise Finding("%r reads as %r, written back as %r, which reads as %r"
                      % (text, record, written, again))


def case_convert(src):
    string = src.pick([gen_record(src, src.pick(ODD_DELIMS))] * 6 +
                      [None, 5, StrSub("1_2"), b"1_2", src.text(6)])
    delim = src.pick(ODD_DELIMS * 3 + [None, 5, StrSub("_"), b"_"])
    roll = src.int(0, 6)
    if roll == 0:
        func = None
    elif roll == 1:
        func = model._from_str
    elif roll == 2:
        func = model._parse_color
    elif roll == 3:
        func = pair_function(src.int(0, 4))
    elif roll == 4:
        func = src.pick([5, "x", None, len])
    else:
        func = Recorder()
    values = [string, delim, func][:src.int(1, 3)]
    args, kwargs = call_forms(src, "_convert", values, 1)
    differential(src, "_convert", args, kwargs)


class Recorder:
    """A converter that keeps the pairs it was called with."""

    def __init__(self):
        self.calls = []

    def __call__(self, key, value):
        self.calls.append((key, value))
        return (key, len(self.calls))


def pair_function(kind):
    if kind == 0:
        return lambda key, value: value + key
    if kind == 1:
        return lambda key, value: int(value)
    if kind == 2:
        return lambda key: key  # takes too few arguments
    if kind == 3:
        return lambda *pair: pair
    return lambda key, value: {key: [value]}


def gen_dumpers(src, keys):
    table = {}
    for _ in range(src.int(0, 3)):
        key = src.pick(keys) if keys and src.chance(70) else gen_dict_key(src)
        table[key] = src.pick([str, int, repr, len, type, 5, None, bool,
                               model._text_dumper, model._iter_to_str,
                               model._convert_type])
    return table


def case_dump(src):
    some_dict = gen_typed_dict(src) if src.chance(90) else src.pick(
        [None, DictSub({"1": 2}), [("1", 2)], "1_2"])
    keys = list(some_dict) if type(some_dict) is dict else []
    additional = src.pick([gen_dumpers(src, keys)] * 4 +
                          [{}, None, DictSub(), model._OBJECT_ADDITIONAL, 5])
    values = [some_dict, additional][:src.int(1, 2)]
    args, kwargs = call_forms(src, "_dump", values, 1)
    differential(src, "_dump", args, kwargs)


def case_collect(src):
    some_dict = gen_typed_dict(src) if src.chance(90) else src.pick(
        [None, DictSub({"1": 2}), [("1", 2)]])
    char = src.pick(ODD_DELIMS * 2 + [None, 5, StrSub(",")])
    values = [some_dict, char][:src.int(1, 2)]
    args, kwargs = call_forms(src, "_collect", values, 1)
    differential(src, "_collect", args, kwargs)


def case_iter_to_str(src):
    roll = src.int(0, 9)
    if roll < 6:
        collection = gen_value(src)
    elif roll == 6:
        collection = gen_records(src, 1)
    elif roll == 7:
        collection = OneShot(gen_records(src, 1))
    elif roll == 8:
        collection = iter([gen_scalar(src) for _ in range(src.int(0, 4))])
        collection = OneShot(collection)
    else:
        collection = src.pick([src.any_text(5), b"ab", range(src.int(0, 5)),
                               {"7": 1, "8": 2}.keys(), 5, None])
    args, kwargs = one_arg_forms(src, collection)
    differential(src, "_iter_to_str", args, kwargs)


def case_record_functions(src):
    name = src.pick(RECORD_FUNCTIONS)
    if name.endswith("convert"):
        value = src.pick([gen_record(src, ","), gen_record(src, "_", True), None, 5,
                          StrSub("1,2"), src.any_text(10)])
    else:
        value = gen_typed_dict(src) if src.chance(85) else src.pick(
            [None, DictSub({"31": "x"}), {"31": src.pick([5, None, "x", StrSub("y"),
                                                          b"z", ["a"]])}, "x"])
    args, kwargs = one_arg_forms(src, value)
    differential(src, name, args, kwargs)


class HasInt:
    def __init__(self, result):
        self.result = result

    def __int__(self):
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result


def gen_xor_key(src):
    roll = src.int(0, 9)
    if roll < 3:
        return src.int(-300, 300)
    if roll < 5:
        return src.pick([2**31 - 1, -2**31, 2**31, -2**31 - 1, 2**32, 2**63,
                         -2**63 - 1, 2**64 + 7, 256, 255, -256, -1, 0])
    if roll == 5:
        return src.fdp.ConsumeInt(src.int(1, 10))
    if roll == 6:
        return src.pick([True, False, IntSub(-5), IntSub(2**40), 3.9, -3.9,
                         2.0**31, -2.0**31, 2.0**40, math.nan, math.inf])
    if roll == 7:
        return HasInt(src.pick([7, True, IntSub(3), 2**31, "7", 3.5, None,
                                Hostile("int")]))
    return src.pick(["7", None, b"\x07", [7], complex(1, 0), Opaque(7)])


def case_byte_xor(src):
    roll = src.int(0, 9)
    if roll < 7:
        stream = src.fdp.ConsumeBytes(src.int(0, 40))
    else:
        stream = src.pick([None, bytearray(b"ab"), memoryview(b"ab"), "ab",
                           BytesSub(b"ab"), b"\x00" * 9, bytes(range(256))])
    key = gen_xor_key(src)
    values = [stream, key][:2 if src.chance(90) else src.int(0, 1)]
    args, kwargs = call_forms(src, "byte_xor", values, 2)
    if src.chance(10):
        # with the deprecation turned into an error
        with warnings.catch_warnings():
            warnings.simplefilter("error", DeprecationWarning)
            differential(src, "byte_xor", args, kwargs, extra_errors=(DeprecationWarning, Hostile))
        return
    native = differential(src, "byte_xor", args, kwargs, extra_errors=(Hostile,))
    if native[0] == "ok" and outcome(Coder.byte_xor, args, kwargs) != native:
        raise Finding("Coder.byte_xor differs from byte_xor for %s"
                      % describe("byte_xor", args, kwargs))


# ------------------------------------------------------- rebound companions


class CoderRaising:
    @staticmethod
    def do_base64(text, encode=True):
        raise Hostile("coder")


class CoderInterrupted:
    @staticmethod
    def do_base64(text, encode=True):
        raise Interrupt()


def make_coder(result):
    class OddCoder:
        @staticmethod
        def do_base64(text, encode=True):
            return result
    return OddCoder


class HSVOdd:
    @staticmethod
    def from_string(text):
        return [text]


class HSVRaising:
    @staticmethod
    def from_string(text):
        raise Hostile("hsv")


class ChainOdd:
    @staticmethod
    def from_iterable(items):
        return ["x", 1, None]


class ChainRaising:
    @staticmethod
    def from_iterable(items):
        raise Hostile("chain")


class ChainFailingMidway:
    @staticmethod
    def from_iterable(items):
        yield "first"
        raise Hostile("chain midway")


class EqRaising:
    def __eq__(self, other):
        raise Hostile("eq")

    __hash__ = object.__hash__


MISSING = object()
REBINDINGS = {
    "Coder": [MISSING, None, 5, CoderRaising, CoderInterrupted, make_coder(b"x"),
              make_coder(None), make_coder(StrSub("s")), make_coder("fixed")],
    "HSV": [MISSING, None, HSVOdd, HSVRaising, object],
    "PlayerColor": [MISSING, None, str, velk_enums.Easing, lambda n: n * 2, HSVRaising],
    "chain": [MISSING, None, ChainOdd, ChainRaising, ChainFailingMidway, 5],
    "Enum": [MISSING, None, 5, int, object, EqRaising(), MyEnum],
}


def case_rebound_name(src):
    """A companion name rebound (or removed, or moved to the builtins) in
    the module and in the model alike, for one call."""
    name = src.pick(sorted(REBINDINGS))
    replacement = src.pick(REBINDINGS[name])
    in_builtins = src.chance(25)
    saved = {(module, name): module.__dict__.get(name, MISSING)
             for module in (velkc, model, builtins)}
    try:
        for module in (velkc, model):
            if replacement is MISSING or in_builtins:
                module.__dict__.pop(name, None)
            else:
                setattr(module, name, replacement)
        if in_builtins and replacement is not MISSING:
            setattr(builtins, name, replacement)
        extra = (Hostile, Interrupt)
        roll = src.int(0, 4)
        if name == "Coder":
            # the companion coder is only asked for the text key
            text = gen_record(src, ",") + ",31," + gen_value_text(src)
            differential(src, "_object_convert", [text], {}, extra_errors=extra)
            value = gen_typed_dict(src, size=3)
            value["31"] = src.pick([gen_value_text(src), None, 5, StrSub("x")])
            differential(src, "_object_dump", [value], {}, extra_errors=extra)
        elif roll == 0:
            differential(src, "_object_convert", [gen_record(src, ",")], {}, extra_errors=extra)
        elif roll == 1:
            differential(src, "_color_convert", [gen_record(src, "_", True)], {},
                         extra_errors=extra)
        elif roll == 2:
            name2 = src.pick(["_object_dump", "_color_dump", "_dump", "_iter_to_str"])
            value = gen_typed_dict(src) if name2 != "_iter_to_str" else gen_value(src)
            differential(src, name2, [value], {}, extra_errors=extra)
        else:
            name2 = src.pick(["_collect", "_object_collect", "_color_collect"])
            value = gen_typed_dict(src) if src.chance(90) else None
            differential(src, name2, [value], {}, extra_errors=extra)
    finally:
        for (module, key), value in saved.items():
            if value is MISSING:
                module.__dict__.pop(key, None)
            else:
                setattr(module, key, value)


# ---------------------------------------------------------- hostile objects


class Mutator:
    """Acts on `target` (the dictionary or list being walked) the first time
    one of its dunders runs, or raises, as `action` says."""

    def __init__(self, target, action, text="m"):
        self.target = target
        self.action = action
        self.text = text
        self.done = False

    def act(self):
        if self.done:
            return
        self.done = True
        target, action = self.target, self.action
        if action == "raise":
            raise Hostile("mutator")
        if action == "clear":
            target.clear()
        elif action == "add":
            if isinstance(target, dict):
                target["added-%d" % len(target)] = [{"1": 2}]
            else:
                target.append({"1": 2})
        elif action == "drop":
            if target:
                if isinstance(target, dict):
                    del target[next(iter(target))]
                else:
                    target.pop()
        elif action == "swap":
            # one key out, another in: the size stays
            if target:
                if isinstance(target, dict):
                    del target[next(iter(target))]
                    target["swapped-in"] = 1
                else:
                    target[0] = "swapped"
        elif action == "replace":
            if isinstance(target, dict):
                for key in list(target):
                    target[key] = Opaque(0)
            else:
                target[:] = [7, 8]

    def __str__(self):
        self.act()
        return self.text

    def __eq__(self, other):
        self.act()
        return False

    def __hash__(self):
        return 31  # collides with nothing in particular, often with small ints


class ClassProperty:
    """An object whose __class__ attribute acts on the container first."""

    def __init__(self, mutator, claim):
        self.mutator = mutator
        self.claim = claim

    @property
    def __class__(self):
        self.mutator.act()
        return self.claim

    def __str__(self):
        return "cp"


class FakeEnumClass:
    """Claims to be an enumeration class; its __mro__ and its members'
    `value` may misbehave."""

    def __init__(self, mro):
        self._mro = mro

    @property
    def __mro__(self):
        if isinstance(self._mro, BaseException):
            raise self._mro
        return self._mro


class ValueRaising:
    def __init__(self, claim):
        self.claim = claim

    @property
    def __class__(self):
        return self.claim

    @property
    def value(self):
        raise Hostile("value")


class StrOdd:
    def __init__(self, result):
        self.result = result

    def __str__(self):
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result


class RaisingIterator:
    def __init__(self, items, fail_at):
        self.items = list(items)
        self.fail_at = fail_at

    def __iter__(self):
        return self

    def __next__(self):
        if self.fail_at == 0:
            raise Hostile("next")
        self.fail_at -= 1
        if not self.items:
            raise StopIteration
        return self.items.pop(0)


class OddIterable:
    def __init__(self, result):
        self.result = result

    def __iter__(self):
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result


class EndsAtOnce(StopIteration):
    pass


class EndsIterator:
    """An iterator that ends with a subclass of StopIteration."""

    def __iter__(self):
        return self

    def __next__(self):
        raise EndsAtOnce()


def hostile_object(src, target):
    roll = src.int(0, 11)
    action = src.pick(["raise", "clear", "add", "drop", "swap", "replace", "none"])
    if roll == 0:
        return Mutator(target, action)
    if roll == 1:
        return ClassProperty(Mutator(target, action),
                             src.pick([list, dict, int, 5, None, HSV, FakeEnumClass((Enum,))]))
    if roll == 2:
        return ValueRaising(FakeEnumClass(src.pick([(Enum,), [Enum], (object,), 5, None,
                                                    Hostile("mro"), (EqRaising(),)])))
    if roll == 3:
        return StrOdd(src.pick([Hostile("str"), 5, None, b"x", StrSub("s"), "ok"]))
    if roll == 4:
        return RaisingIterator([{"1": 2}, {"3": 4}, 5], src.int(0, 3))
    if roll == 5:
        return OddIterable(src.pick([Hostile("iter"), 5, iter([1]), iter([{"1": 2}, 3])]))
    if roll == 6:
        return EndsIterator()
    if roll == 7:
        return [Mutator(target, action), {"1": Mutator(target, action)}]
    if roll == 8:
        return [{"1": 2}, Mutator(target, action)]
    if roll == 9:
        return {"1": StrOdd(Hostile("inner"))}
    if roll == 10:
        return ClassProperty(Mutator(target, "raise"), bool)
    return Mutator(target, action)


def case_hostile(src):
    """Hostile keys, values, dumpers and iterables: the process survives and
    every outcome is a documented one, or the hostile object's own error."""
    src.hostile = True
    target = {}
    for _ in range(src.int(0, 4)):
        target[gen_key(src)] = gen_value(src)
    for _ in range(src.int(1, 3)):
        obj = hostile_object(src, target)
        if src.chance(25):
            try:
                target[Mutator(target, src.pick(["raise", "none", "clear"]))] = obj
            except Hostile:
                pass
        else:
            target[gen_key(src)] = obj
    name = src.pick(["_dump", "_collect", "_iter_to_str", "_object_dump",
                     "_color_dump", "_object_collect", "_color_collect", "_convert"])
    if name == "_dump":
        additional = {}
        for key in list(target)[:2]:
            additional[key] = src.pick([str, lambda v, t=target: t.clear(),
                                        lambda v, t=target: t.update({"new": 1}),
                                        lambda v, t=target: t and t.pop(next(iter(t))),
                                        Mutator(target, "raise")])
        if src.chance(30):
            try:
                additional[Mutator(target, src.pick(["raise", "add", "none"]))] = str
            except Hostile:
                pass
        args = [target, additional]
    elif name == "_collect":
        args = [target, src.pick(["_", ",", ""])]
    elif name == "_iter_to_str":
        items = list(target.values())
        args = [src.pick([items, tuple(items), target, OneShot(items),
                          hostile_object(src, items)])]
    elif name == "_convert":
        args = [gen_record(src, "_"), "_", lambda key, value, t=target: [t.clear(), value]]
    else:
        args = [target]
    native = outcome(getattr(velkc, name), args, {})
    check_contract(name, args, {}, native, extra_errors=(Hostile,))


# ------------------------------------------------ keyword dicts mutated mid-call


class DictEditor:
    """Edits the keyword dict of the call it is an argument of, the first
    time the module calls back into it (as converter, dumper, __str__ or
    __int__), and collects garbage so that what the edit freed is gone."""

    def __init__(self, action):
        self.target = None
        self.action = action

    def edit(self):
        target, self.target = self.target, None
        if not target:
            return
        if self.action == "clear":
            target.clear()
        elif self.action == "pop":
            target.pop(next(iter(target)))
        elif self.action == "replace":
            for key in target:
                target[key] = Opaque(0)
        else:
            target["added"] = [{"1": 2}]
        gc.collect()

    def __call__(self, *args):
        self.edit()
        return args[-1]

    def __str__(self):
        self.edit()
        return "e"

    def __int__(self):
        self.edit()
        return 7


def keyword_arguments(src, name, editor):
    """Fresh parameter values of `name`, made at run time so that the dict
    they are put in holds their only references."""
    if name == "_convert":
        return {"string": gen_record(src, "_") + "_" + "x" * src.int(0, 3),
                "delim": "_", "func": editor}
    if name == "_dump":
        some_dict = gen_typed_dict(src)
        some_dict["edited"] = [src.int(0, 9)]
        return {"some_dict": some_dict, "additional": {"edited": editor}}
    if name == "_collect":
        some_dict = gen_typed_dict(src)
        some_dict["edited"] = editor
        return {"some_dict": some_dict, "char": src.pick([",", "_", "--"])}
    return {"stream": bytes(src.fdp.ConsumeBytes(src.int(1, 40))) + b"!", "key": editor}


def case_keyword_dict(src):
    """A lone **d hands the caller's own dict to the function; a callback
    that empties or edits it must not free the arguments: the call gives
    what the same positional call gives."""
    name = src.pick(["_convert", "_dump", "_collect", "byte_xor"])
    action = src.pick(["clear", "pop", "replace", "add"])
    seed = src.fdp.ConsumeBytes(64)
    outcomes = []
    for by_keyword in (False, True):
        editor = DictEditor(action)
        made = Source(seed)
        d = keyword_arguments(made, name, editor)
        # a value too deep to compare is compared by its type
        deep = made.deep
        editor.target = d
        if by_keyword:
            outcomes.append(outcome(getattr(velkc, name), [], d))
        else:
            outcomes.append(outcome(getattr(velkc, name), list(d.values()), {}))
    for result in outcomes:
        check_contract(name, [], {}, result)
    positional, keyword = [
        (kind, type(value) if deep else canon(value)) if kind == "ok" else
        (kind, type(value), str(value)) for kind, value in outcomes]
    if positional != keyword:
        raise Finding("%s(**d) with d edited by a callback (%s) gave %r, the "
                      "positional call %r" % (name, action, keyword, positional))


# --------------------------------------------------- calls near the recursion limit


def at_depth(levels, call):
    """call() made `levels` Python frames further down."""
    if levels > 0:
        return at_depth(levels - 1, call)
    return call()


class RetryingStr:
    """An element whose str() calls the module with a deep value, catches
    the RecursionError and calls again."""

    def __init__(self, call):
        self.call = call

    def __str__(self):
        try:
            self.call()
        except RecursionError:
            self.call()
        return "retried"


def case_near_limit(src):
    """Calls made a few frames below the recursion limit, again from the
    handler of the RecursionError they raised, from inside a callback that
    does the same, or with a garbage-collector callback that runs Python
    code deep inside the module's recursion: RecursionError or a result,
    never an abort."""
    src.deep = True
    value = gen_deep(src) if src.chance(70) else gen_value(src)
    name = src.pick(["_iter_to_str", "_dump", "_object_dump", "_color_dump"])
    args = [value] if name == "_iter_to_str" else [{"9": value}]
    call = getattr(velkc, name)
    if src.chance(30):
        inner, inner_args = call, args
        name, call = "_iter_to_str", velkc._iter_to_str
        args = [[RetryingStr(lambda: inner(*inner_args))]]

    def again():
        try:
            return call(*args)
        except RecursionError:
            return call(*args)

    limit = sys.getrecursionlimit()
    levels = limit - src.int(5, 120)
    wrapped = again if src.chance(50) else (lambda: call(*args))
    callback = (lambda phase, info: sum(range(3))) if src.chance(40) else None
    threshold = gc.get_threshold()
    if callback:
        gc.callbacks.append(callback)
        gc.set_threshold(src.int(100, 1500))
    try:
        result = outcome(lambda: at_depth(levels, wrapped), [], {})
    finally:
        if callback:
            gc.callbacks.remove(callback)
            gc.set_threshold(*threshold)
    check_contract(name, args, {}, result)


# ----------------------------------------------------------------- the loop

CASES = [case_object_record] * 4 + [case_colour_record] * 3 + [
    case_convert, case_convert, case_dump, case_dump, case_collect,
    case_iter_to_str, case_iter_to_str, case_record_functions,
    case_record_functions, case_byte_xor, case_byte_xor, case_rebound_name,
    case_rebound_name, case_hostile, case_hostile, case_hostile,
    case_keyword_dict, case_keyword_dict, case_near_limit]


def TestOneInput(data):
    src = Source(data)
    src.pick(CASES)(src)


def main():
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
