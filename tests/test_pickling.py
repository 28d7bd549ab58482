"""Every value velk returns or raises pickles, with every protocol, and
comes back equal, also from another process: what a worker of a pool or a
cluster hands back reaches its caller whole, errors with their location."""
import io
import multiprocessing
import pickle
from pathlib import Path

import pytest

import enums
from velk import level, survey
from velk.api import enums as velk_enums
from velk.api.guidelines import Guidelines
from velk.api.hsv import HSV
from velk.archive import Task, TableSettings
from velk.archive.reading import Found
from velk.archive.table import FolderExists, TableSummary
from velk.archive.tasks import PartSummary, file_rows
from velk.commands.common import ReaderGone, WriteError
from velk.commands.report import FileRun, Options
from velk.commands.show import ShowRun
from velk.level.checks import Refusal
from velk.level.data import TooLarge
from velk.level.export import ExportLevel
from velk.level.library import SaveChange
from velk.level.listing import LevelSummary
from velk.plain import Plain

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
# A generous bound on a pool's answer: a guard against a hang, not a measure.
POOL_TIMEOUT = 120

LEVEL_TEXT = ("kS38,1_255_4_-1_7_0.5|,kA13,0;1,1,2,15.5,3,15,57,3.1,43,0a1a1a0a0,30,2,31,aGk=;"
              "1,x;1,3,4,1;")


def _errors():
    located = dict(path="levels.xml", level=2, level_name="Stereo", kind="object", index=15,
                   key="1")
    return [
        level.LevelError("level data is truncated", **located),
        level.RecordError("object", 15, ValueError("invalid literal"), key="1", writing=True,
                          path="levels.xml", level=2, level_name="Stereo"),
        TooLarge("the level string is larger than 1 MiB", 1 << 20).locate(path="big.txt"),
        Refusal("the text holds ';'"),
        FolderExists("tables exists"),
        WriteError("standard output", OSError(28, "No space left on device")),
        ReaderGone(),
    ]


def _values():
    read = level.read_level(LEVEL_TEXT, "Stereo", keep_going=True)
    read.id, read.creator, read.properties = 7, "maker", {"k2": "Stereo", "kI1": 1.5}
    summary = PartSummary(3)
    summary.count_failure(_errors()[0])
    return [
        read, level.Levels([read], read.failures), read.objects[0], read.colours[0],
        HSV(-20, 0.5), HSV.from_string("-0a0.50a1a0a0"), Guidelines.from_string("0~0.5~1.5~1"),
        *list(velk_enums.Easing), *list(velk_enums.PlayerColor), *list(velk_enums.ZLayer),
        LevelSummary(1, "Stereo", "maker", 7, 400, "save"),
        SaveChange("a.dat", "a.dat.bak", 4, [1]),
        ExportLevel("Stereo", "H4sI", 7, "maker"),
        Options("check", json=True), FileRun("a.xml", 1, True, 2),
        ShowRun("a.xml", 0, 3),
        Task(2, ["a.xml", "b.dat"], 1, 3), TableSettings("out", "jsonl"), summary,
        TableSummary("out", "parquet", 4, ["empty/"]),
        Found("a.txt", "level", read, 1, failures=list(read.failures)),
    ]


def _same(one, other):
    """Equal, and of the same type; errors, which compare by identity, by
    their class, arguments, attributes and message, also inside values."""
    if type(one) is not type(other):
        return False
    if isinstance(one, BaseException):
        return _same(one.args, other.args) and str(one) == str(other) and _same(
            vars(one), vars(other))
    if isinstance(one, Plain):
        return _same(one._state(), other._state())
    if isinstance(one, dict):
        return one.keys() == other.keys() and all(_same(one[key], other[key]) for key in one)
    if isinstance(one, (list, tuple)):
        return len(one) == len(other) and all(map(_same, one, other))
    return one == other


VALUES = _values()
ERRORS = _errors()


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
@pytest.mark.parametrize("value", VALUES + ERRORS, ids=lambda value: type(value).__name__)
def test_every_value_comes_back_equal(value, protocol):
    back = pickle.loads(pickle.dumps(value, protocol))
    assert _same(value, back)
    if isinstance(value, level.Level):
        assert [str(error) for error in back.failures] == [str(e) for e in value.failures]


def test_an_error_keeps_its_location_and_message():
    for error in ERRORS[:3]:
        back = pickle.loads(pickle.dumps(error))
        assert back.location() == error.location() and str(back) == str(error)


def test_reports_and_rows_come_back_with_the_same_content():
    report = survey.survey_file(str(EXAMPLES / "level.txt"), keep_going=True)
    assert pickle.loads(pickle.dumps(report)).as_dict() == report.as_dict()
    rows = file_rows(str(EXAMPLES / "levels-export.xml"))
    back = pickle.loads(pickle.dumps(rows))
    assert list(back.objects.dicts()) == list(rows.objects.dicts())
    assert (back.levels, back.failures) == (rows.levels, rows.failures)


def _echo(value):
    return value


def _raise(error):
    raise error


def _read(data):
    return level.read_file(io.BytesIO(data))


@pytest.fixture(scope="module")
def pool():
    with multiprocessing.get_context("spawn").Pool(2) as workers:
        yield workers


def test_values_come_back_from_another_process(pool):
    back = pool.map_async(_echo, VALUES).get(POOL_TIMEOUT)
    assert all(_same(one, other) for one, other in zip(VALUES, back))


@pytest.mark.parametrize("error", ERRORS, ids=lambda error: type(error).__name__)
def test_an_error_raised_in_a_worker_is_raised_to_the_caller(pool, error):
    with pytest.raises(type(error)) as caught:
        pool.apply_async(_raise, (error,)).get(POOL_TIMEOUT)
    assert _same(error, caught.value)


def test_a_read_that_fails_in_a_worker_says_where(pool):
    data = b"kA13,0;1,1;1,x;"
    with pytest.raises(level.RecordError) as caught:
        pool.apply_async(_read, (data,)).get(POOL_TIMEOUT)
    assert (caught.value.level, caught.value.kind, caught.value.index, caught.value.key) == (
        1, "object", 1, "1")
    # and the pool goes on
    (read,) = pool.apply_async(_read, (b"kA13,0;1,1;",)).get(POOL_TIMEOUT)
    assert read.objects == [{"1": 1}]


def test_the_members_of_the_top_level_enumerations_pickle():
    for member in (member for cls in vars(velk_enums).values()
                   if isinstance(cls, type) and issubclass(cls, enums.Enum) and cls is not
                   enums.Enum for member in cls):
        assert pickle.loads(pickle.dumps(member)) is member
