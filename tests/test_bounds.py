"""Hostile sizes: what velk holds of an input stays within --max-size in every
form, reports keep a bounded amount whatever the records, refusals come
before the records are read, and Ctrl-C ends the command quietly."""
import base64
import gc
import gzip
import io
import json
import os
import platform
import signal
import subprocess
import sys
import time
import zlib
from pathlib import Path

import pytest

from velk import cli, survey
from velk.level import LevelError, data, source
from velk.level.data import TooLarge
from velk.level.level import RecordCodec
from velk.level.text import iter_pairs

from support import peak_memory

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tools"))
import generate_records as gen  # noqa: E402

KIB = 1 << 10


def encoded(raw):
    return base64.urlsafe_b64encode(raw).decode("ascii")


def gzip_of(pieces):
    """gzip data of the byte strings `pieces`, compressed as they come."""
    compressor = zlib.compressobj(9, zlib.DEFLATED, 31)
    return b"".join([compressor.compress(piece) for piece in pieces] + [compressor.flush()])


def run(tmp_path, *argv):
    """Run the command with standard output in a file: (status, out, err)."""
    out_path = tmp_path / "out.txt"
    err = io.StringIO()
    with open(str(out_path), "w") as out:
        saved = sys.stdout, sys.stderr
        sys.stdout, sys.stderr = out, err
        try:
            status = cli.main(list(argv))
        finally:
            sys.stdout, sys.stderr = saved
    return status, out_path.read_text(), err.getvalue()


class Pipe(io.RawIOBase):
    """Standard input as a pipe gives it: no size, no name, and reads
    counted."""

    def __init__(self, content):
        super().__init__()
        self._content = io.BytesIO(content)
        self.read_bytes = 0

    def readable(self):
        return True

    def readinto(self, buffer):
        count = self._content.readinto(buffer)
        self.read_bytes += count
        return count


# One memory budget for every form ---------------------------------------------------------

# Larger than what an Input reads ahead and at a time, so that reading it
# all would show.
BIG = 4 << 20
LIMIT = 4 * KIB


@pytest.mark.parametrize("name, content, form, message", [pytest.param(*case, id=case[0]) for case in [
    ("level string", b"kA1,0," * (BIG // 6), None, "the level string is larger than 4 KiB"),
    ("level string after whitespace", b"\n" * 100 + b"kA1,0;" + b"1,1;" * (BIG // 4), None,
     "the level string is larger than 4 KiB"),
    ("one long line", b"1,1," * (BIG // 4), "records", "line 1 is larger than 4 KiB"),
    ("a long third line", b"1,1\n1,2\n" + b"1,1," * (BIG // 4), "records",
     "line 3 is larger than 4 KiB"),
    ("zeros", bytes(BIG), "records", "line 1 is larger than 4 KiB"),
    ("level data", (encoded(gzip.compress(b"kA1,0;" + b"1,1;" * (BIG // 16))) + "\n").encode(),
     None,
     "level data decode to more than 4 KiB"),
    ("incompressible level data", encoded(os.urandom(BIG)).encode(), "encoded",
     "level data decode to more than 4 KiB"),
    ("server data", b"1:1:2:big:4:" + b"A" * BIG, "server", "server data of more than 4 KiB"),
    ("export file", gen.export_file([("big", "A" * BIG)]).encode(), "export",
     "holds a value of more than 4 KiB"),
]])
@pytest.mark.parametrize("as_pipe", [False, True])
def test_every_form_is_refused_past_the_limit(tmp_path, name, content, form, message, as_pipe):
    path = tmp_path / "big.txt"
    path.write_bytes(content)
    pipe = Pipe(content)
    with source.Input(io.BufferedReader(pipe) if as_pipe else str(path)) as found:
        with pytest.raises(TooLarge, match=message) as excinfo:
            survey.survey_input(found, form=form, max_size=LIMIT)
        # refused once the limit was passed, not at the end of the input
        assert found.bytes_read <= source.HEAD_SIZE + source.READ_SIZE
    assert excinfo.value.limit == LIMIT

    status, out, err = run(tmp_path, "check", "--max-size", "4K", str(path),
                           *(["--format", form] if form else []))
    assert (status, out) == (2, "")
    assert err.startswith("velk: error: %s: " % path)
    assert err.endswith("%s, the limit (--max-size)\n" % message)
    assert err.count("\n") == 1


def test_a_level_string_file_larger_than_the_limit_is_refused_before_reading(tmp_path):
    path = tmp_path / "big.txt"
    path.write_bytes(b"kA1,0;" + b"1,1;" * (source.READ_SIZE // 2))
    with source.Input(str(path)) as found:
        with pytest.raises(TooLarge):
            next(next(found.levels(max_size=LIMIT)).pieces)
        assert found.bytes_read == 0


@pytest.mark.parametrize("ending", [b"\n", b"\r\n", b""])
@pytest.mark.parametrize("extra, refused", [(0, False), (1, True)])
def test_a_record_line_may_be_as_long_as_the_limit(ending, extra, refused):
    line = b"1,1," * (LIMIT // 4 - 1) + b"1,1" + b"1" * (extra + 1)
    assert len(line) == LIMIT + extra
    content = b"2,2\n" + line + ending + (b"3,3\n" if ending else b"")
    found = source.Input(io.BufferedReader(Pipe(content)))
    lines = found.lines(LIMIT)
    assert next(lines)[1] == "2,2"
    if refused:
        with pytest.raises(TooLarge, match="line 2 is larger than 4 KiB"):
            next(lines)
    else:
        assert next(lines)[1] == line.decode()
        assert [text for _, text, _ in lines] == (["3,3"] if ending else [])


def test_the_limit_is_the_api_s_too(tmp_path):
    text = "kA1,0;" + "1,1;" * 2000
    with pytest.raises(TooLarge, match="more than 4 KiB"):
        data.decode(data.encode(text), max_size=LIMIT)
    assert data.decode(data.encode(text), max_size=len(text)) == text
    path = tmp_path / "level.txt"
    path.write_text(text)
    from velk.level import read_file

    with pytest.raises(TooLarge, match="level.txt: level 1: the level string is larger than 4 KiB"):
        read_file(str(path), max_size=LIMIT)
    assert len(read_file(str(path), max_size=len(text))[0].objects) == 2000


# Refusal before the records ------------------------------------------------------------------


def _count_calls(monkeypatch, owner, name):
    calls = []
    original = getattr(owner, name)

    def counted(*args, **kwargs):
        calls.append(args)
        return original(*args, **kwargs)

    monkeypatch.setattr(owner, name, counted)
    return calls


def _lying_trailer(raw, size):
    return raw[:-4] + size.to_bytes(4, "little")


@pytest.mark.parametrize("name, raw, inflated", [pytest.param(*case, id=case[0]) for case in [
    # the trailer gives the size: nothing is decompressed
    ("gzip", gzip_of([b"1,1;" * (1 << 16)] * 32), False),
    # a trailer that hides the size, and data without one, are counted first
    ("gzip with a small trailer", _lying_trailer(gzip_of([b"1,1;" * (1 << 16)] * 32), 10), True),
    ("zlib", zlib.compress(b"1,1;" * (1 << 21), 9), True),
]])
def test_a_bomb_is_refused_before_any_record_is_read(tmp_path, monkeypatch, name, raw, inflated):
    path = tmp_path / "bomb.txt"
    path.write_text(encoded(raw))
    classified = _count_calls(monkeypatch, survey, "classify")
    inflations = _count_calls(monkeypatch, data, "_inflate")
    with pytest.raises(TooLarge, match="level data decode to more than 1 MiB"):
        survey.survey_file(str(path), max_size=1 << 20)
    assert classified == []
    assert bool(inflations) == inflated


@pytest.mark.parametrize("raw, message", [
    # cut short: the last four bytes claim more than the data could hold
    (gzip.compress(b"kA1,0;" + b"1,1;" * 5000)[:-20], "truncated: the compressed data end early"),
    (gzip.compress(b"kA1,0;1,1;")[:-8] + bytes(8), "corrupt"),
], ids=["cut short", "checksum zeroed"])
def test_a_broken_trailer_is_not_taken_for_a_size(raw, message):
    with pytest.raises(LevelError, match=message) as excinfo:
        data.decode(encoded(raw), max_size=1 << 20)
    assert not isinstance(excinfo.value, TooLarge)


# Reports in bounded memory ------------------------------------------------------------------


LONG = 4 * KIB


def _long_record(number, changed):
    # normalised: "+n" is written "n"; changed: a last key loses its value
    return "1,+%d,999,%s%s" % (number, "A" * LONG, ",5" if changed else "")


def _export(tmp_path, levels):
    texts = []
    for index in range(levels):
        text = "kA1,0;" + "".join(_long_record(index * 10 + i, i % 2) + ";" for i in range(10))
        texts.append(("L%d" % index, data.encode(text)))
    path = tmp_path / ("levels-%d.xml" % levels)
    path.write_text(gen.export_file(texts))
    return str(path)


@pytest.mark.parametrize("argv", [["check"], ["check", "--json"], ["stats"],
                                  ["stats", "--json"]])
def test_memory_does_not_grow_with_the_number_of_levels(tmp_path, argv):
    few, many = _export(tmp_path, 10), _export(tmp_path, 100)
    run(tmp_path, *argv, few)  # imports and caches out of the way
    peaks = {}
    for path in (few, many):
        peaks[path] = peak_memory(lambda: run(tmp_path, *argv, path))
    # before, each level kept ten records whole: 40 KiB and more each
    assert peaks[many] - peaks[few] < 256 * KIB, peaks
    status, out, _ = run(tmp_path, *argv, many)
    assert status == 1
    if "--json" in argv:
        (found,) = json.loads(out)["files"]
        assert [level["index"] for level in found["levels"]] == list(range(1, 101))
        assert found["object"]["records"] == 1000


def test_long_records_are_kept_cut_and_say_so(tmp_path):
    path = tmp_path / "records.txt"
    path.write_text("\n".join([_long_record(1, False), _long_record(2, True)]))
    report = survey.survey_file(str(path), keys=True)
    tally = report.totals["object"]
    assert (tally.normalised, tally.changed) == (1, 1)
    for difference in tally.differences:
        assert len(difference.original) == len(difference.written) == survey.KEPT_TEXT
        assert difference.original_length > LONG
        assert difference.original != difference.written
    example = tally.keys.example("999")
    assert example.startswith("AAAA") and example.endswith(
        "... (%s more characters)" % format(LONG - survey.KEPT_TEXT, ","))

    status, out, _ = run(tmp_path, "check", str(path))
    assert status == 1
    assert "written back: 1,1,999,AAAA" in out
    # two records and what they were written as
    assert out.count("more characters)") == 4
    assert len(max(out.splitlines(), key=len)) < cli.EXCERPT + 100


def test_a_failure_keeps_its_message_cut_and_not_the_exception():
    error = ValueError("could not read " + "x" * LONG)
    failure = survey.Failure("object", 1, survey.READING, "k" * LONG, error)
    assert failure.error.startswith("ValueError: could not read xxx")
    assert failure.error.endswith("... (%s more characters)"
                                  % format(LONG + 27 - survey.KEPT_TEXT, ","))
    assert len(failure.key) < survey.KEPT_TEXT + 40
    assert error not in gc.get_referents(failure)


@pytest.mark.parametrize("values, expected", [
    ([1, 2, 3], {"int": 3}),
    ([1, "x", 2, "y", 0.5], {"int": 2, "str": 2, "float": 1}),
    (["x", 1], {"str": 1, "int": 1}),
])
def test_key_stats_count_types_and_merge(values, expected):
    one, other, whole = survey.KeyStats(), survey.KeyStats(), survey.KeyStats()
    for at, value in enumerate(values):
        (one if at % 2 else other).add({"7": value})
        whole.add({"7": value})
    other.merge(one)
    for stats in (whole, other):
        assert stats.types("7") == expected
        assert stats.records("7") == len(values)
    assert whole.example("7") == values[0]


# Honest counts --------------------------------------------------------------------------------


@pytest.mark.parametrize("kind, text, outcome", [
    # written by the game itself: a key repeated with the same value
    ("object", "1,1,51,520,71,517,51,520,71,517,2,15", survey.NORMALISED),
    ("object", "1,5,1,+5", survey.NORMALISED),
    ("object", "1,5,1,6", survey.CHANGED),
    ("object", "1,5,1,5,2", survey.CHANGED),
    ("object", "1,5,1,x", survey.FAILED),
    ("colour", "1_255_1_255_2_0", survey.NORMALISED),
    ("colour", "1_255_1_254", survey.CHANGED),
])
def test_a_key_repeated_with_an_equal_value_loses_nothing(kind, text, outcome):
    assert survey.classify(RecordCodec(kind), text)[0] == outcome


@pytest.mark.parametrize("header, outcome, status", [
    ("kA1,0,kA2,1", "identical", 0),
    ("kA1,0,kA1,0", "normalised", 0),
    ("kA1,0,", "normalised", 0),
    ("kA1,0,kA1,1", "changed", 1),
    ("kA1,0,kA2", "changed", 1),
])
def test_header_outcomes(tmp_path, header, outcome, status):
    path = tmp_path / "level.txt"
    path.write_text(header + ";1,1;")
    got, out, _ = run(tmp_path, "check", str(path))
    assert got == status
    assert ", header %s\n" % outcome in out


@pytest.mark.parametrize("text", ["", "a", "a,b", "a,b,c", "a,b,", ",,", "a,,b,", ",a",
                                  "1,2\n,3,4", "k,v," * 3])
def test_pairs_are_those_of_splitting(text):
    pieces = iter(text.split(","))
    assert list(iter_pairs(text, ",")) == list(zip(pieces, pieces))


# Ctrl-C ---------------------------------------------------------------------------------------

# The system call number of read(2), by machine.
_READ_CALLS = {"x86_64": "0", "aarch64": "63"}


def _ctrl_c_at_its_default():
    signal.signal(signal.SIGINT, signal.SIG_DFL)


def _blocked_reading_stdin(pid):
    """Whether the process waits in read(2) on its standard input."""
    try:
        with open("/proc/%d/syscall" % pid) as status:
            fields = status.read().split()
    except OSError:
        return False
    return fields[:2] == [_READ_CALLS[platform.machine()], "0x0"]


@pytest.mark.skipif(platform.machine() not in _READ_CALLS
                    or not os.path.exists("/proc/self/syscall"),
                    reason="needs /proc/PID/syscall to see the command wait on its input")
@pytest.mark.parametrize("written", [
    b"",                                          # waiting for the first bytes
    b"kA1,0;" + b"1,1;" * (source.HEAD_SIZE // 2),  # waiting in the middle of a level
], ids=["first bytes", "within a level"])
def test_ctrl_c_while_waiting_on_standard_input_exits_130_quietly(written):
    # The command starts with Ctrl-C at its default, as on a terminal: a
    # process started in the background of a script (as CI's lanes are)
    # inherits it ignored, and so would its children.
    proc = subprocess.Popen([sys.executable, "-m", "velk", "check", "-"],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            preexec_fn=_ctrl_c_at_its_default)
    try:
        proc.stdin.write(written)
        proc.stdin.flush()
        # The pipe is held open and nothing more is written: the command waits
        # on it until it is interrupted. The deadline only keeps a broken
        # command from hanging the test run.
        deadline = time.monotonic() + 120
        while not _blocked_reading_stdin(proc.pid):
            assert proc.poll() is None, proc.communicate()
            assert time.monotonic() < deadline, "the command never waited on its input"
            time.sleep(0.01)
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=120)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.communicate()
    assert (proc.returncode, out, err) == (130, b"", b"")
