"""The cyclic garbage collector, paused while levels are read and written.

Reading a level makes a dictionary per object and, on most objects, a set
of group numbers. CPython starts a full collection whenever the containers
that survived younger collections have grown by a quarter, and each full
collection walks every tracked container of the process: reading a large
level walked the records read so far again and again, more than half the
time of reading it. The native module hands out untracked what can be no
part of a cycle (sets of ints, and records holding only such values), and
`velk.level` pauses the collector for the rest while it reads, and while it
writes a level, which reads every record back:

    with collector.paused():
        ...                          # no automatic collection in here

The collector is switched off for the duration only, and put back as the
outermost read found it, whatever ends the read: an exception, a
KeyboardInterrupt, a generator closed or dropped. A pause never lasts over
a `yield`, so a generator left unfinished cannot leave the collector off.
Reads in several threads share one pause, which ends with the last of them;
a collector disabled by the program stays disabled.

The switch is process-wide: while any thread reads a level, no thread's
garbage cycles are collected; they are at the first collection after. A
program that cannot have that sets ``collector.pause_during_reads = False``.
A program that calls ``gc.disable()`` in one thread while another thread is
reading a level gets the collector back enabled when that read ends.
"""
import gc
import os
import threading
from typing import Any, Set

__all__ = ["pause_during_reads", "paused"]

# False: velk.level leaves the collector alone, when reading and when writing.
pause_during_reads = True


class _Pauses:
    """The reads in progress that hold the collector off, and whether it
    was enabled before the first of them."""

    def __init__(self) -> None:
        self.lock = threading.Lock()
        self.holders: Set[object] = set()
        self.enable_after = False

    def begin(self, holder: object) -> None:
        try:
            with self.lock:
                if not self.holders:
                    self.enable_after = gc.isenabled()
                self.holders.add(holder)
                gc.disable()
        except BaseException:
            # An interrupt between the two steps: undo what was done.
            self.end(holder)
            raise

    def end(self, holder: object) -> None:
        with self.lock:
            try:
                self.holders.discard(holder)
            finally:
                if not self.holders and self.enable_after:
                    gc.enable()

    def forget_other_threads(self) -> None:
        """In a child process made by fork, where only the forking thread
        lives on: the reads of the others never end there, so the pause
        ends at once (a read of the forking thread goes on without it)."""
        self.lock = threading.Lock()
        held = bool(self.holders)
        self.holders = set()
        if held and self.enable_after:
            gc.enable()


_pauses = _Pauses()
if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_pauses.forget_other_threads)


class paused:
    """A context manager: no automatic collection while it is entered,
    unless `pause_during_reads` is False. Each use is a new object."""

    __slots__ = ("_holding",)

    def __init__(self) -> None:
        self._holding = False

    def __enter__(self) -> "paused":
        if pause_during_reads:
            self._holding = True
            _pauses.begin(self)
        return self

    def __exit__(self, *exc_info: Any) -> None:
        if self._holding:
            _pauses.end(self)
