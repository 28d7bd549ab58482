"""The record functions called from several threads at once, on shared
inputs: every thread must get the results that one thread alone gets, and
the process must come through.

The module holds the interpreter's lock throughout and keeps no state
between calls, but it calls back into Python (str(), the companions'
converters, dumpers), where the lock changes hands; the switch interval is
made tiny so that it does so as often as possible. The tests run for
two seconds and one second each.

Deep values are written up to what the thread's C stack holds, in a thread
of the default size and in a small one alike.
"""
import json
import sys
import threading
import time

import pytest

from support import run_python

from velk.api.enums import Easing, PlayerColor, ZLayer
from velk.api.guidelines import Guidelines
from velk.api.hsv import HSV

THREADS = 4
SECONDS = 2.0

HSV_TEXT = HSV(-20, 0.5, 1.0, True, False).dump()
OBJECT_RECORDS = [
    "1,1,2,15,3,15.5,57,3.1.3,4,1",
    "1,7,4,0,24,3,30,2,31,aGVsbG8sIHdvcmxk,43,%s,101,1,999,x,57," % HSV_TEXT,
    "1,+5,2,015,3,5.,6, 7 ,57,1.2.2.10,82,2,88,1,48,0,52,1,79,2",
    "31,!!!,31,4pyT,1,1,1,2,",
    "",
]
COLOUR_RECORDS = [
    "1_255_2_3_3_4_5_1_7_0.5_10_%s_4_1_14_text" % HSV_TEXT,
    "1_0_5_0_8_1_15_1_17_0_18_1_7_2_4_2",
    "_1_255",
]
TYPED = {
    "1": 5, "2": 1.5, "4": True, "5": False, "57": {3, 1, 2},
    "31": "free text, with commas", "43": HSV(10, 0.25, 1.5, False, True),
    "30": Easing.BOUNCE_IN, "24": ZLayer.T2, "8": None,
    "9": [{"1": 2, "4": True}, {"57": {7, 8}, "3": (1, 2)}],
    "10": (1, "a", 2.5), "11": Guidelines([(0.5, "green"), (1.25, "orange")]),
    "12": {"a": 1, "b": [1]},
}
COLOURS = {"1": 255, "5": True, "7": 0.5, "10": HSV(5), "4": PlayerColor(2), "14": "x"}
NESTED = [{"1": [{"2": [{"3": (4, 5)}]}], "4": True}, {"57": {9}}]


def calls(velkc):
    """The calls every thread makes, each as (name, zero-argument callable)."""
    result = []
    for text in OBJECT_RECORDS:
        result.append(("object record %r" % text, lambda t=text: velkc._object_collect(
            velkc._object_dump(velkc._object_convert(t)))))
        result.append(("object read %r" % text, lambda t=text: velkc._object_convert(t)))
    for text in COLOUR_RECORDS:
        result.append(("colour record %r" % text, lambda t=text: velkc._color_collect(
            velkc._color_dump(velkc._color_convert(t)))))
    result += [
        ("object dump", lambda: velkc._object_dump(TYPED)),
        ("object collect", lambda: velkc._object_collect(velkc._object_dump(TYPED))),
        ("colour dump", lambda: velkc._color_dump(COLOURS)),
        ("dump with dumpers", lambda: velkc._dump(TYPED, {"1": str, "57": len})),
        ("collect", lambda: velkc._collect(TYPED, "|")),
        ("convert with converter", lambda: velkc._convert(
            "a_1_b_2_c_3", "_", lambda key, value: (key, int(value) * 2))),
        ("iter_to_str", lambda: velkc._iter_to_str(NESTED)),
        ("iter_to_str of a generator", lambda: velkc._iter_to_str(
            {"%d" % n: n} for n in range(5))),
        ("byte_xor", lambda: velkc.byte_xor(bytes(range(256)), 0x5A)),
        ("failing read", lambda: outcome(velkc._object_convert, "1,x")),
        ("failing dump", lambda: outcome(velkc._object_dump, {"31": 5})),
    ]
    return result


def outcome(func, *args):
    try:
        return func(*args)
    except Exception as exc:
        return (type(exc).__name__, str(exc))


@pytest.fixture
def busy_switching():
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(interval)


def hammer(work, extra=None, seconds=SECONDS):
    """Runs `work()` in THREADS threads until `seconds` have passed (and
    `extra()`, if given, in one more); returns the failures and the number
    of rounds done."""
    failures = []
    rounds = [0] * THREADS
    deadline = time.monotonic() + seconds
    start = threading.Barrier(THREADS + (1 if extra else 0))

    def run(index, body):
        start.wait()
        try:
            while time.monotonic() < deadline:
                body()
                if index is not None:
                    rounds[index] += 1
        except BaseException as exc:  # noqa: B902 - reported below
            failures.append(exc)

    threads = [threading.Thread(target=run, args=(i, work)) for i in range(THREADS)]
    if extra:
        threads.append(threading.Thread(target=run, args=(None, extra)))
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(seconds * 30)
        assert not thread.is_alive(), "a thread did not finish"
    return failures, rounds


def test_threads_get_the_single_thread_results(velkc, busy_switching):
    work = calls(velkc)
    expected = [(name, call()) for name, call in work]

    def body():
        for (name, call), (_, want) in zip(work, expected):
            got = call()
            if got != want:
                raise AssertionError("%s gave %r, alone %r" % (name, got, want))

    failures, rounds = hammer(body)
    assert not failures, failures[:3]
    assert all(rounds), rounds
    # and still the same afterwards
    assert [(name, call()) for name, call in work] == expected


def test_threads_while_companion_names_are_rebound(velkc, busy_switching, monkeypatch):
    # One more thread keeps rebinding HSV, Coder and chain to equivalent
    # objects; the others must never see a stale or half-made binding.
    import itertools
    from velk.utils.crypto.coders import Coder

    class SameHSV:
        from_string = staticmethod(HSV.from_string)

    class SameCoder:
        do_base64 = staticmethod(Coder.do_base64)

    class SameChain:
        from_iterable = staticmethod(itertools.chain.from_iterable)

    work = calls(velkc)
    expected = [(name, call()) for name, call in work]
    swaps = [("HSV", HSV, SameHSV), ("Coder", Coder, SameCoder),
             ("chain", itertools.chain, SameChain)]
    for name, original, _ in swaps:
        monkeypatch.setattr(velkc, name, original)  # restored at the end

    def rebind():
        for name, original, same in swaps:
            setattr(velkc, name, same)
            setattr(velkc, name, original)

    def body():
        for (name, call), (_, want) in zip(work, expected):
            got = call()
            if got != want:
                raise AssertionError("%s gave %r, alone %r" % (name, got, want))

    failures, rounds = hammer(body, extra=rebind, seconds=SECONDS / 2)
    assert not failures, failures[:3]
    assert all(rounds), rounds


def test_threads_with_deep_values_in_one_of_them(velkc, busy_switching):
    # The nesting depth is counted per thread: one thread failing again and
    # again on a value too deep to write must not change what the others
    # write, nor what it writes itself afterwards.
    deep = {"1": 2}
    for _ in range(3000):
        deep = [{"1": deep}]
    shallow = {"1": 2}
    for _ in range(200):
        shallow = [{"1": shallow}]
    shallow_text = velkc._iter_to_str(shallow)
    work = calls(velkc)
    expected = [(name, call()) for name, call in work]

    def body():
        for (name, call), (_, want) in zip(work, expected):
            got = call()
            if got != want:
                raise AssertionError("%s gave %r, alone %r" % (name, got, want))
        if velkc._iter_to_str(shallow) != shallow_text:
            raise AssertionError("a shallow value was written differently")

    def too_deep():
        try:
            velkc._iter_to_str(deep)
        except RecursionError:
            pass
        else:
            raise AssertionError("no RecursionError")
        if velkc._iter_to_str(shallow) != shallow_text:
            raise AssertionError("a shallow value was written differently after a RecursionError")

    failures, rounds = hammer(body, extra=too_deep, seconds=SECONDS / 2)
    assert not failures, failures[:3]
    assert all(rounds), rounds


# ----------------------------------------------------- the thread's C stack

DEEP_VALUES = """
    import json, sys, threading
    import velk._velkc as m

    def deep_records(depth):
        value = {"1": 2}
        for _ in range(depth):
            value = [{"1": value}]
        return value

    CALLS = {
        "iter_to_str": m._iter_to_str,
        "dump": lambda value: m._dump({"1": value}),
        "object_dump": lambda value: m._object_dump({"9": value}),
        "color_dump": lambda value: m._color_dump({"1": value}),
    }

    def deepest():
        # The depth of the deepest value written, found by bisection.
        low, high = 0, 4000
        while high - low > 1:
            middle = (low + high) // 2
            try:
                m._iter_to_str(deep_records(middle))
                low = middle
            except RecursionError:
                high = middle
        return low

    def in_thread(work, stack_size=0):
        threading.stack_size(stack_size)
        outcome = []
        thread = threading.Thread(target=lambda: outcome.append(work()))
        thread.start()
        thread.join()
        return outcome[0]
"""


def test_deep_values_in_a_small_stack_thread_raise_recursion_error():
    # A thread of 512 KiB holds far fewer levels than the interpreter's
    # recursion counters allow (1,500 C levels on 3.12, 10,000 on 3.13): the
    # module must stop while the stack still has room, where the interpreter
    # raises RecursionError for a value as deep. In a fresh interpreter, so
    # that a crash shows as a failed test.
    code = DEEP_VALUES + """
    VALUES = {depth: deep_records(depth) for depth in (1298, 3000, 100000)}

    def calls():
        outcomes = {}
        for depth, value in VALUES.items():
            for name, call in CALLS.items():
                try:
                    call(value)
                    outcomes["%s %d" % (name, depth)] = "written"
                except RecursionError as exc:
                    outcomes["%s %d" % (name, depth)] = str(exc)
        # and what fits is written, in the same thread, afterwards
        outcomes["shallow"] = m._iter_to_str(deep_records(50))
        return outcomes

    outcomes = in_thread(calls, 512 * 1024)
    # the main thread's stack holds what the small one could not (and its
    # work outlasts the small thread's exit, see below)
    outcomes["main"] = m._iter_to_str(deep_records(900))
    print(json.dumps(outcomes))
    """
    proc = run_python(code, check=False)
    assert proc.returncode == 0, proc.stdout + proc.stderr[-2000:]
    outcomes = json.loads(proc.stdout.splitlines()[-1])
    assert outcomes.pop("shallow") == "1_" * 50 + "1"
    assert outcomes.pop("main") == "1_" * 900 + "1"
    assert len(outcomes) == 12
    assert set(outcomes.values()) == {
        "maximum recursion depth exceeded while writing a collection"}, outcomes


def test_main_and_default_threads_reach_the_depth_the_counters_allow():
    # The stack of the main thread and of a thread of the default size
    # holds every level the counters allow: the deepest value written is
    # bounded by the recursion limit (up to 3.11), the interpreter's C
    # recursion limit (1,500 on 3.12) or the module's own bound of 2,000.
    code = DEEP_VALUES + """
    # The thread first: under tools/asan.sh a thread that has just ended may
    # still be tearing down its stacks when Python's join returns (up to
    # 3.12), and LeakSanitizer's check at exit crashes on such a thread; the
    # main thread's work outlasts that.
    depths = {"thread": in_thread(deepest)}
    depths["main"] = deepest()
    depths["limit"] = sys.getrecursionlimit()
    print(json.dumps(depths))
    """
    depths = json.loads(run_python(code).stdout.splitlines()[-1])
    if sys.version_info < (3, 12):
        counted = depths["limit"]
    elif sys.version_info < (3, 13):
        counted = 1500
    else:
        counted = 2000
    # a few levels go to the frames that make the call
    assert counted - 20 <= depths["main"] < counted
    assert abs(depths["thread"] - depths["main"]) <= 10, depths
