"""Calls of every exported function of velk._velkc, for tools/valgrind.sh.

Each case runs ROUNDS times, on success and on failure paths alike: reading
and writing both kinds of record, the codec functions with their optional
arguments, collections of records, hostile values and dumpers, deep values,
rebound companion names and byte_xor with every kind of key. A reference
that the module loses on some path then shows in valgrind's leak summary
as ROUNDS blocks lost from the same place, and a read or write outside an
object as an error at its first occurrence.

Prints the number of calls made; exits non-zero when a call does not give
its documented outcome, so that a wrong build is noticed too.
"""
import builtins
import sys
import warnings

import velk._velkc as velkc
from velk.api.enums import Easing, PlayerColor, ZLayer
from velk.api.guidelines import Guidelines
from velk.api.hsv import HSV

ROUNDS = int(sys.argv[1]) if len(sys.argv) > 1 else 50


class Hostile(Exception):
    pass


class StrRaises:
    def __str__(self):
        raise Hostile("str")


class ClassRaises:
    @property
    def __class__(self):
        raise Hostile("class")


class ClassEdits:
    def __init__(self, target):
        self.target = target

    @property
    def __class__(self):
        self.target.pop("1", None)
        return ClassEdits


class HasInt:
    def __init__(self, result):
        self.result = result

    def __int__(self):
        return self.result


class IntSub(int):
    pass


def failing_generator():
    yield {"1": 2}
    raise Hostile("generator")


def deep(depth):
    value = {"1": 2}
    for _ in range(depth):
        value = [{"1": value}]
    return value


def edited_while_dumped():
    some_dict = {}
    some_dict["2"] = ClassEdits(some_dict)
    some_dict["1"] = [{"3": 4}]
    return velkc._dump(some_dict)


def dumper_that_clears():
    some_dict = {"1": 1, "2": 2}
    return velkc._dump(some_dict, {"1": lambda value: some_dict.clear()})


HSV_TEXT = HSV(-20, 0.5, 1.0, True, False).dump()
DEEP = deep(3000)
SELF = [{"1": None}]
SELF[0]["1"] = SELF

CASES = [
    # records, read and written
    (lambda: velkc._object_convert("1,1,2,15,3,15.5,57,3.1.3,4,1,24,3,30,2,43,%s,31,aGVsbG8,999,x"
                                   % HSV_TEXT), dict),
    (lambda: velkc._object_collect(velkc._object_dump(velkc._object_convert(
        "1,5,4,0,57,1.2,31,YWJj,101,1,82,2"))), str),
    (lambda: velkc._color_convert("1_255_2_3_5_1_7_0.5_10_%s_4_1_14_x" % HSV_TEXT), dict),
    (lambda: velkc._color_collect(velkc._color_dump({"1": 255, "5": True, "10": HSV(5),
                                                     "4": PlayerColor(1)})), str),
    (lambda: velkc._object_dump({"1": [{"1": 2}, {"3": [4, 5]}], "2": (1, 2), "3": {1, 2},
                                 "4": {"a": 1}, "5": Guidelines([(0.5, "green")]),
                                 "6": Easing.EASE_IN, "31": "text", "7": None}), dict),
    # codec functions with their optional arguments
    (lambda: velkc._convert("1_2_3_4"), dict),
    (lambda: velkc._convert("1--2", "--", lambda key, value: [key, value]), dict),
    (lambda: velkc._convert(string="a,b", delim=","), dict),
    (lambda: velkc._dump({"1": True, "2": ZLayer.T1}, {"1": str}), dict),
    (lambda: velkc._collect({"1": 2, 3: None}, ""), str),
    (lambda: velkc._iter_to_str(iter([{"1": 2}, {"3": 4}])), str),
    (lambda: velkc._iter_to_str(x for x in (1, 2, 3)), str),
    (lambda: velkc.byte_xor(b"hello\x00world\xff", 0x20), str),
    (lambda: velkc.byte_xor(key=-1, stream=bytes(range(256))), str),
    (lambda: velkc.byte_xor(b"abc", HasInt(IntSub(3))), str),
    # failures
    (lambda: velkc._object_convert("1,x"), ValueError),
    (lambda: velkc._object_convert("57,1..2"), ValueError),
    (lambda: velkc._object_convert("43,nonsense"), ValueError),
    (lambda: velkc._object_convert("30,99"), ValueError),
    (lambda: velkc._color_convert("4,9"), dict),
    (lambda: velkc._color_convert("4_9"), ValueError),
    (lambda: velkc._object_convert(None), AttributeError),
    (lambda: velkc._object_dump({"31": 5}), TypeError),
    (lambda: velkc._dump({"1": 1}, None), AttributeError),
    (lambda: velkc._collect({"1": 2}, None), AttributeError),
    (lambda: velkc._convert("1_2", ""), ValueError),
    (lambda: velkc._convert("1_2", "_", lambda k, v: 1 / 0), ZeroDivisionError),
    (lambda: velkc._convert(), TypeError),
    (lambda: velkc._dump({}, {}, {}), TypeError),
    (lambda: velkc._collect({}, nope=1), TypeError),
    (lambda: velkc._dump({}, **{1: 2}), TypeError),
    (lambda: velkc._object_dump([]), TypeError),
    (lambda: velkc._iter_to_str(5), TypeError),
    (lambda: velkc._iter_to_str([{"1": 2}, 7]), TypeError),
    (lambda: velkc.byte_xor(b"abc", 2**31), OverflowError),
    (lambda: velkc.byte_xor(bytearray(b"abc"), 1), TypeError),
    (lambda: velkc.byte_xor(b"abc", HasInt("x")), TypeError),
    (lambda: velkc.byte_xor(None, 1), TypeError),
    # hostile values, dumpers and iterators
    (lambda: velkc._collect({"1": StrRaises()}), Hostile),
    (lambda: velkc._object_dump({"1": ClassRaises()}), Hostile),
    (edited_while_dumped, RuntimeError),
    (dumper_that_clears, RuntimeError),
    (lambda: velkc._iter_to_str(failing_generator()), Hostile),
    (lambda: velkc._iter_to_str([{"1": StrRaises()}]), Hostile),
    (lambda: velkc._iter_to_str(DEEP), RecursionError),
    (lambda: velkc._object_dump({"1": SELF}), RecursionError),
]


def rebound(name, value, call, expected):
    """`call` with the module's `name` bound to `value` (or removed)."""
    saved = getattr(velkc, name)
    try:
        if value is None:
            delattr(velkc, name)
        else:
            setattr(velkc, name, value)
        return run(call, expected)
    finally:
        setattr(velkc, name, saved)


class HSVRaises:
    @staticmethod
    def from_string(text):
        raise Hostile("hsv")


class CoderBytes:
    @staticmethod
    def do_base64(text, encode=True):
        return b"bytes"


REBOUND = [
    ("HSV", None, lambda: velkc._color_convert("10_x"), NameError),
    ("HSV", HSVRaises, lambda: velkc._object_convert("43,x"), Hostile),
    ("Coder", None, lambda: velkc._object_convert("31,YWJj"), dict),
    ("Coder", CoderBytes, lambda: velkc._object_dump({"31": "abc"}), dict),
    ("PlayerColor", None, lambda: velkc._color_convert("4_1"), NameError),
    ("chain", None, lambda: velkc._collect({"1": 2}), NameError),
    ("chain", 5, lambda: velkc._iter_to_str([{"1": 2}]), AttributeError),
    ("Enum", None, lambda: velkc._color_dump({"1": 5}), NameError),
]


def run(call, expected):
    try:
        result = call()
    except expected if isinstance(expected, type) and issubclass(expected, BaseException) else ():
        return
    if type(result) is not expected:
        raise SystemExit("%r gave %r, not a %s" % (call, result, expected))


def main():
    warnings.simplefilter("ignore")
    calls = 0
    for _ in range(ROUNDS):
        for call, expected in CASES:
            run(call, expected)
            calls += 1
        for name, value, call, expected in REBOUND:
            rebound(name, value, call, expected)
            calls += 1
        builtins.HSV = HSVRaises  # found in the builtins when the module has none
        try:
            rebound("HSV", None, lambda: velkc._color_convert("10_x"), Hostile)
        finally:
            del builtins.HSV
        calls += 1
    print("%d calls" % calls)


if __name__ == "__main__":
    main()
