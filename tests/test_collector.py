"""The cyclic garbage collector and levels: records that can be no part of a
cycle come out of the native module untracked, and reading a level pauses
the collector and leaves it as it found it, however the read ends, in one
thread or in several.

Reads are stopped and held at a known point by the level string's own
pieces: a generator that runs a hook between two pieces, inside the read.
"""
import ctypes
import gc
import io
import os
import signal
import sys
import threading
import warnings
import weakref
from pathlib import Path

import pytest

from velk import level
from velk.api.hsv import HSV
from velk.level import RecordError, collector

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tools"))
import generate_records as gen  # noqa: E402

LEVEL = gen.grouped_level_string(400, seed=3)
BROKEN_LEVEL = LEVEL + "1,abc;"
# How long a thread may take to reach the point a test waits for: a bound
# that only a hung test reaches, never a measure of speed.
HANG = 60


class Node:
    """An object that can close a cycle and be watched by a weak reference."""


@pytest.fixture(params=[True, False], ids=["gc enabled", "gc disabled"])
def found(request):
    """The collector's state before the test, set both ways; put back after."""
    was = gc.isenabled()
    (gc.enable if request.param else gc.disable)()
    yield request.param
    (gc.enable if was else gc.disable)()


@pytest.fixture
def velkc():
    from velk import _velkc

    return _velkc


def pieces(hook, text=LEVEL):
    """`text` in two pieces, with hook() run between them."""
    middle = len(text) // 2
    yield text[:middle]
    hook()
    yield text[middle:]


class HookedFile(io.RawIOBase):
    """A binary file of `text` in two reads, with hook() run between them."""

    def __init__(self, text, hook):
        super().__init__()
        data = text.encode()
        self.parts = [data[:len(data) // 2], data[len(data) // 2:]]
        self.hook = hook

    def readable(self):
        return True

    def readinto(self, buffer):
        if not self.parts:
            return 0
        if len(self.parts) == 1 and self.hook is not None:
            hook, self.hook = self.hook, None
            hook()
        part = self.parts[0][:len(buffer)]
        buffer[:len(part)] = part
        self.parts[0] = self.parts[0][len(part):]
        if not self.parts[0]:
            self.parts.pop(0)
        return len(part)


def read_level(hook, text=LEVEL):
    return level.read_level(pieces(hook, text))


def read_objects(hook, text=LEVEL):
    return list(level.iter_objects(pieces(hook, text)))


def read_file(hook, text=LEVEL):
    return level.read_file(HookedFile(text, hook), form="level")


READS = [read_level, read_objects, read_file]


def no_hook():
    pass


def raise_value_error():
    raise ValueError("stopped")


def raise_keyboard_interrupt():
    raise KeyboardInterrupt


def send_sigint():
    # The interpreter runs the handler, and raises there, at its next
    # instruction: within the read.
    signal.raise_signal(signal.SIGINT)


ENDINGS = [
    (no_hook, LEVEL, None),
    (no_hook, BROKEN_LEVEL, RecordError),
    (raise_value_error, LEVEL, ValueError),
    (raise_keyboard_interrupt, LEVEL, KeyboardInterrupt),
    (send_sigint, LEVEL, KeyboardInterrupt),
]


@pytest.fixture
def sigint_raises():
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    yield
    signal.signal(signal.SIGINT, previous)


# Records handed out untracked ----------------------------------------------------


@pytest.mark.parametrize("convert, text", [
    ("_object_convert", "1,1,2,15.5,3,15,4,1,57,3.1.3,18,text"),
    ("_object_convert", "1,1,57,"),
    ("_object_convert", "31,aGVsbG8=,1,1"),
    ("_color_convert", "1_255_2_0_3_0_5_1_7_0.5"),
    ("_object_convert", "1,1,57,1.2,\u0101,x"),  # not one byte a character
])
def test_records_of_plain_values_and_groups_are_untracked(velkc, convert, text):
    record = getattr(velkc, convert)(text)
    assert not gc.is_tracked(record)
    for value in record.values():
        assert not gc.is_tracked(value)


@pytest.mark.parametrize("convert, text", [
    ("_object_convert", "1,1,57,3.1,43,0a1a1a0a0"),
    ("_object_convert", "43,0a1a1a0a0,1,1"),
    ("_object_convert", "1,1,30,2,88,1"),
    ("_color_convert", "1_255_10_0a1a1a0a0"),
    ("_color_convert", "4_2"),
])
def test_records_of_hsv_values_and_members_are_untracked(velkc, convert, text):
    # An HSV value cannot be changed and holds only numbers and text; a member
    # lives as long as its class: neither can lead back to the record.
    record = getattr(velkc, convert)(text)
    assert not gc.is_tracked(record)
    assert any(gc.is_tracked(value) for value in record.values())


class MutableHSV(HSV):
    """An HSV subclass whose instances could hold anything."""


@pytest.mark.parametrize("binding", [
    # a replacement class, and a subclass of the companion's: neither is the
    # class whose values are known to hold no record
    lambda text: Node(),
    lambda text: object.__new__(MutableHSV),
])
def test_records_of_other_hsv_classes_stay_tracked(velkc, monkeypatch, binding):
    class Replacement:
        from_string = staticmethod(binding)

    monkeypatch.setattr(velkc, "HSV", Replacement)
    assert gc.is_tracked(velkc._object_convert("1,1,43,0a1a1a0a0"))


@pytest.mark.parametrize("func, tracked", [
    (lambda key, value: int(value), False),
    (lambda key, value: [value], True),
    (lambda key, value: Node(), True),
    # CPython tracks a new tuple until a collection finds nothing in it to follow.
    (lambda key, value: (value,), True),
])
def test_converted_records_are_tracked_by_what_they_hold(velkc, func, tracked):
    assert gc.is_tracked(velkc._convert("1_2_3_4", "_", func)) is tracked


def test_groups_are_an_untracked_set(velkc):
    for text, expected in (("5.1.5", {1, 5}), ("", set()), ("+1.02", {1, 2})):
        groups = velkc._object_convert("57," + text)["57"]
        assert groups == expected and type(groups) is set and not gc.is_tracked(groups)


def test_a_cycle_through_an_untracked_record_is_collected_once_it_holds_an_object(velkc):
    record = velkc._object_convert("1,1,57,3.1")
    node = Node()
    node.record = record
    # Storing an object in the record makes CPython track it again.
    record["node"] = node
    assert gc.is_tracked(record)
    watched = weakref.ref(node)
    del node, record
    gc.collect()
    assert watched() is None


def test_a_cycle_through_an_untracked_set_stays_in_memory(velkc):
    # The price of the untracked set, as documented: the collector does not
    # see the set's reference, so it takes the node for referred to from
    # outside. Nothing crashes; breaking the cycle by hand frees both.
    groups = velkc._object_convert("57,1.2")["57"]
    node = Node()
    node.groups = groups
    groups.add(node)
    watched = weakref.ref(node)
    del node, groups
    gc.collect()
    assert watched() is not None
    watched().groups.clear()
    assert watched() is None


def test_the_collector_walks_untracked_records_held_by_tracked_ones(velkc):
    # A tracked container holding untracked records: a collection visits the
    # records through it and frees the garbage around them.
    holder = Node()
    holder.records = [velkc._object_convert("1,%d,57,1.2" % i) for i in range(1000)]
    holder.itself = holder
    watched = weakref.ref(holder)
    del holder
    gc.collect()
    assert watched() is None


# The collector paused while a level is read ------------------------------------


@pytest.mark.parametrize("read", READS)
@pytest.mark.parametrize("hook, text, raises", ENDINGS)
def test_a_read_leaves_the_collector_as_it_found_it(found, sigint_raises, read, hook, text,
                                                    raises):
    if raises is None:
        read(hook, text)
    else:
        with pytest.raises(raises):
            read(hook, text)
    assert gc.isenabled() is found


class Hooked:
    """A value whose text is written after hook() has run."""

    def __init__(self, hook):
        self.hook = hook

    def __str__(self):
        self.hook()
        return "written"


@pytest.mark.parametrize("write", [level.write_level, level.save_level])
@pytest.mark.parametrize("hook, raises", [
    # A value with no record form is refused, also when its str() fails.
    (no_hook, RecordError),
    (raise_value_error, RecordError),
    (raise_keyboard_interrupt, KeyboardInterrupt),
    (send_sigint, KeyboardInterrupt),
])
def test_a_write_leaves_the_collector_as_it_found_it(found, sigint_raises, write, hook, raises):
    written = level.read_level(LEVEL)
    inside = []

    def watched():
        inside.append(gc.isenabled())
        hook()

    written.objects[7]["999"] = Hooked(watched)
    with pytest.raises(raises):
        write(written)
    assert inside[0] is False
    assert gc.isenabled() is found


@pytest.mark.parametrize("read", [read_level, read_file])
def test_the_collector_is_paused_while_a_level_is_read(found, read):
    inside = []
    read(lambda: inside.append(gc.isenabled()))
    assert inside == [False]


def test_reading_objects_one_by_one_pauses_only_while_a_batch_is_read(found):
    inside = []
    records = level.iter_objects(pieces(lambda: inside.append(gc.isenabled())))
    for _ in records:
        inside.append(gc.isenabled())
    assert set(inside) == {found}


def test_with_the_switch_off_the_collector_is_left_alone(found, monkeypatch):
    monkeypatch.setattr(collector, "pause_during_reads", False)
    inside = []
    read_level(lambda: inside.append(gc.isenabled()))
    with collector.paused():
        inside.append(gc.isenabled())
    assert inside == [found, found]


@pytest.mark.parametrize("leave", ["close", "drop", "drop in a cycle", "keep"])
def test_an_unfinished_generator_leaves_the_collector_alone(found, leave):
    records = level.iter_objects(LEVEL)
    next(records)
    assert gc.isenabled() is found
    if leave == "close":
        records.close()
    elif leave == "drop":
        del records
    elif leave == "drop in a cycle":
        holder = Node()
        holder.records, holder.itself = records, holder
        del holder, records
        gc.collect()
    assert gc.isenabled() is found


def test_nested_pauses_end_with_the_outermost(found):
    with collector.paused():
        read_level(no_hook)
        assert not gc.isenabled()
        with pytest.raises(ValueError):
            with collector.paused():
                raise ValueError
        assert not gc.isenabled()
    assert gc.isenabled() is found


def test_the_program_enabling_the_collector_during_a_read_keeps_it_enabled():
    gc.disable()
    try:
        read_level(gc.enable)
        assert gc.isenabled()
    finally:
        gc.enable()


# Reads in several threads --------------------------------------------------------


class HeldRead(threading.Thread):
    """A thread reading a level, held inside the read until released, or
    interrupted there with an exception sent to it."""

    def __init__(self, read=read_level):
        super().__init__(daemon=True)
        self.read = read
        self.inside = threading.Event()
        self.release, self._wake = os.pipe()
        self.outcome = None

    def hold(self):
        self.inside.set()
        # Blocks outside the interpreter: an exception sent to the thread is
        # raised when it runs Python code again, here inside the read.
        os.read(self.release, 1)

    def run(self):
        try:
            self.read(self.hold)
            self.outcome = "finished"
        except BaseException as exc:  # the thread's result, whatever it is
            self.outcome = type(exc)
        finally:
            os.close(self.release)

    def start_and_wait_inside(self):
        self.start()
        assert self.inside.wait(HANG)

    def finish(self):
        os.write(self._wake, b"x")
        os.close(self._wake)
        self.join(HANG)
        assert not self.is_alive()

    def interrupt(self):
        sent = ctypes.pythonapi.PyThreadState_SetAsyncExc(
            ctypes.c_ulong(self.ident), ctypes.py_object(KeyboardInterrupt))
        assert sent == 1
        self.finish()


@pytest.mark.parametrize("order", [(0, 1, 2, 3), (3, 2, 1, 0), (1, 3, 0, 2)])
def test_reads_in_several_threads_share_one_pause(found, order):
    reads = [HeldRead(read) for read in (read_level, read_file, read_level, read_file)]
    for read in reads:
        read.start_and_wait_inside()
    assert not gc.isenabled()
    for count, index in enumerate(order, 1):
        reads[index].finish()
        assert reads[index].outcome == "finished"
        # Paused until the last read ends, then as found.
        assert gc.isenabled() is (found and count == len(reads))


@pytest.mark.parametrize("read", [read_level, read_file])
def test_a_thread_interrupted_while_reading(found, read):
    interrupted, other = HeldRead(read), HeldRead(read)
    interrupted.start_and_wait_inside()
    other.start_and_wait_inside()
    interrupted.interrupt()
    assert interrupted.outcome is KeyboardInterrupt
    assert not gc.isenabled()
    other.finish()
    assert other.outcome == "finished"
    assert gc.isenabled() is found


def test_the_main_thread_interrupted_while_another_reads(found, sigint_raises):
    other = HeldRead()
    other.start_and_wait_inside()
    with pytest.raises(KeyboardInterrupt):
        read_level(send_sigint)
    assert not gc.isenabled()
    other.finish()
    assert gc.isenabled() is found


@pytest.mark.skipif(not hasattr(os, "fork"), reason="no fork here")
def test_a_child_forked_while_another_thread_reads_gets_the_collector_back(found):
    other = HeldRead()
    other.start_and_wait_inside()
    with warnings.catch_warnings():
        # 3.12 and later warn of forking a process with threads.
        warnings.simplefilter("ignore", DeprecationWarning)
        child = os.fork()
    if child == 0:
        os._exit(0 if gc.isenabled() is found else 1)
    _, status = os.waitpid(child, 0)
    other.finish()
    assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0
    assert gc.isenabled() is found
