"""Helpers shared by the test modules: leak checks, traceback names,
fresh interpreters and runs of the command."""
import gc
import os
import subprocess
import sys
import textwrap
import tracemalloc
import traceback

import pytest

# The module's exported functions, in the order of its method table, and
# those of them that take exactly one positional argument.
EXPORTED_FUNCTIONS = (
    "_convert",
    "_dump",
    "_collect",
    "_iter_to_str",
    "_object_convert",
    "_object_dump",
    "_object_collect",
    "_color_convert",
    "_color_dump",
    "_color_collect",
    "byte_xor",
)
ONE_ARGUMENT_FUNCTIONS = EXPORTED_FUNCTIONS[3:10]

# Running a call this many times makes a leak of one block per call stand out
# far above the noise of caches and free lists.
LEAK_CALLS = 2000
LEAK_SLACK = 40


def assert_no_leaks(call, calls=LEAK_CALLS):
    """Fail when repeated calls of `call()` leave allocated blocks behind.

    `call` takes no arguments; a call that is meant to fail should catch its
    expected exception itself (see `raising`).

    Under tools/asan.sh (VELK_ASAN=1) the interpreter allocates with plain
    malloc, which sys.getallocatedblocks() does not count; LeakSanitizer
    checks for lost objects there instead."""
    if os.environ.get("VELK_ASAN"):
        pytest.skip("block counts are meaningless with PYTHONMALLOC=malloc")
    for _ in range(100):
        call()
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(calls):
        call()
    gc.collect()
    grown = sys.getallocatedblocks() - before
    assert grown < LEAK_SLACK, "%d blocks left behind by %d calls" % (grown, calls)


def peak_memory(call):
    """The most memory Python allocated at once while `call()` ran, in bytes."""
    tracemalloc.start()
    try:
        call()
        return tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()


def raising(exc_type, func, *args, **kwargs):
    """A zero-argument call of func that must raise exc_type."""

    def call():
        try:
            func(*args, **kwargs)
        except exc_type:
            return
        raise AssertionError("%r did not raise %s" % (func, exc_type.__name__))

    return call


def native_frames(excinfo):
    """Names of the module's own traceback entries, outermost first."""
    exc = excinfo.value if hasattr(excinfo, "value") else excinfo
    names = [frame.name for frame in traceback.extract_tb(exc.__traceback__)]
    return [n for n in names if n.startswith("_velkc.") or n == "init _velkc"]


def run_python(code, path=(), check=True, site=True):
    """Run `code` in a fresh interpreter, with `path` ahead of sys.path.

    With site=False the interpreter starts without the site module (-S): no
    site-packages, so no installed package, editable or not, is importable.

    Returns the completed process; stdout and stderr are text."""
    env = dict(os.environ)
    parts = [str(p) for p in path]
    if env.get("PYTHONPATH"):
        parts.append(env["PYTHONPATH"])
    env["PYTHONPATH"] = os.pathsep.join(parts)
    proc = subprocess.run(
        [sys.executable] + ([] if site else ["-S"]) + ["-c", textwrap.dedent(code)],
        env=env,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        universal_newlines=True,
        timeout=120,
    )
    if check and proc.returncode != 0:
        pytest.fail("subprocess failed:\n" + proc.stdout + proc.stderr)
    return proc


def run(capsys, *argv):
    """Run the command with the arguments `argv` (paths allowed); return
    (status, stdout, stderr)."""
    from velk import cli

    status = cli.main([str(arg) for arg in argv])
    out, err = capsys.readouterr()
    return status, out, err
