"""Reading that keeps going: what can be read is returned, every failure
beside it with where it happened; the default stays all or nothing. The
API (keep_going=True) and the commands (--keep-going) alike."""
import json
import pickle
import sys
from pathlib import Path

import pytest

from velk import level, survey
from velk.level import LevelError, RecordError

ROOT = Path(__file__).resolve().parent.parent
EXAMPLES = ROOT / "examples"
sys.path.insert(0, str(ROOT / "tools"))
import generate_records as gen  # noqa: E402
from support import run  # noqa: E402

GOOD = "kA13,0;1,1,2,15;1,2,2,30;"
# Level 2's object 1 holds "x" under key 1, which reads integers.
BAD_RECORD = "kA13,0;1,1;1,x;1,3;"


@pytest.fixture
def three_levels(tmp_path):
    """An export file of three levels, one bad record in level 2."""
    path = tmp_path / "three.xml"
    path.write_text(gen.export_file([("one", level.encode(GOOD)), ("two", level.encode(BAD_RECORD)),
                                     ("three", level.encode(GOOD))]))
    return path


@pytest.fixture
def broken_level(tmp_path):
    """An export file of three levels, level 2's data cut short."""
    path = tmp_path / "broken.xml"
    path.write_text(gen.export_file([("one", level.encode(GOOD)),
                                     ("two", level.encode(GOOD)[:30]),
                                     ("three", level.encode(GOOD))]))
    return path


def test_the_default_is_all_or_nothing(three_levels):
    with pytest.raises(RecordError) as caught:
        level.read_file(three_levels)
    assert str(caught.value) == (
        "%s: level 2 \"two\": object 1: key 1: invalid literal for int() with base 10: 'x'"
        % three_levels)


def test_a_bad_record_is_passed_over_and_named(three_levels):
    levels = level.read_file(three_levels, keep_going=True)
    assert [(found.name, len(found)) for found in levels] == [("one", 2), ("two", 2),
                                                              ("three", 2)]
    assert levels[1].objects == [{"1": 1}, {"1": 3}]
    (failure,) = levels.failures
    assert levels[1].failures == [failure] and not levels[0].failures
    assert isinstance(failure, RecordError)
    assert failure.location() == {"path": str(three_levels), "level": 2, "level_name": "two",
                                  "kind": "object", "index": 1, "key": "1"}
    assert failure.as_dict() == dict(failure.location(),
                                     message="invalid literal for int() with base 10: 'x'")
    # kept without the traceback that would hold what was read
    assert failure.__traceback__ is None and failure.cause.__traceback__ is None


def test_a_level_that_cannot_be_read_is_left_out(broken_level):
    with pytest.raises(LevelError, match="level 2 \"two\": level data is truncated"):
        level.read_file(broken_level)
    levels = level.read_file(broken_level, keep_going=True)
    assert [found.name for found in levels] == ["one", "three"]
    (failure,) = levels.failures
    assert (failure.level, failure.level_name, failure.kind) == (2, "two", None)


@pytest.mark.parametrize("content, message", [
    (b"\x00\x01binary", "not a form velk reads"),
    (b'<?xml version="1.0"?><plist><dict><k>k4</k><s>', "not a well-formed export file"),
])
def test_a_file_that_breaks_off_ends_the_levels(tmp_path, content, message):
    path = tmp_path / "cut.xml"
    path.write_bytes(content)
    levels = level.read_file(path, keep_going=True)
    assert list(levels) == []
    (failure,) = levels.failures
    assert (failure.path, failure.level) == (str(path), None)
    assert message in failure.reason


def test_the_bundled_level_with_malformed_records_loads(tmp_path):
    path = EXAMPLES / "level.txt"
    with pytest.raises(RecordError):
        level.read_file(path)
    (read,) = level.read_file(path, keep_going=True)
    assert len(read) + len(read.failures) == 3000 and read.failures
    assert all(failure.kind == "object" and failure.key is not None
               for failure in read.failures)
    indexes = [failure.index for failure in read.failures]
    assert indexes == sorted(indexes)


@pytest.mark.parametrize("read", [
    lambda text: level.read_level(text, keep_going=True),
    lambda text: level.load_level(level.encode(text), keep_going=True),
    lambda text: level.read_level([text[:7].encode(), text[7:]], keep_going=True),
])
def test_every_reader_of_a_level_keeps_going(read):
    found = read(BAD_RECORD)
    assert found.objects == [{"1": 1}, {"1": 3}]
    assert [(failure.kind, failure.index, failure.key) for failure in found.failures] == \
        [("object", 1, "1")]


def test_objects_one_at_a_time_keep_going():
    records = level.iter_objects(BAD_RECORD, keep_going=True)
    assert (list(records), len(records.failures)) == ([{"1": 1}, {"1": 3}], 1)
    with pytest.raises(RecordError, match="object 1: key 1"):
        list(level.iter_objects(BAD_RECORD))


def test_failures_are_no_part_of_a_level_value_and_pickle_with_it():
    kept = level.read_level(BAD_RECORD, keep_going=True)
    assert kept == level.Level(kept.header, [], [{"1": 1}, {"1": 3}])
    back = pickle.loads(pickle.dumps(kept))
    assert [failure.location() for failure in back.failures] == \
        [failure.location() for failure in kept.failures]
    levels = level.Levels([kept], kept.failures)
    again = pickle.loads(pickle.dumps(levels))
    assert again == [kept] and len(again.failures) == 1


# The commands ---------------------------------------------------------------------------


@pytest.mark.parametrize("command", ["check", "stats", "show"])
def test_a_level_that_cannot_be_read_stops_the_file_unless_asked(capsys, broken_level,
                                                                 command):
    status, out, err = run(capsys, command, broken_level)
    assert status == 2
    assert err.startswith('velk: error: %s: level 2 "two": level data is truncated'
                          % broken_level)
    status, out, err = run(capsys, command, "--keep-going", broken_level)
    assert status == 1
    if command == "show":
        assert [line["level"] for line in map(json.loads, out.splitlines())] == [1, 1, 3, 3]
        assert err.count("\n") == 1 and 'level 2 "two"' in err
    else:
        assert err == ""
        assert ('1 level could not be read:\n  level 2 "two": level data is truncated' in out)


def test_check_json_keeps_going_with_the_failures_as_objects(capsys, broken_level):
    status, out, err = run(capsys, "check", "--json", "--keep-going", broken_level)
    assert (status, err) == (1, "")
    (report,) = json.loads(out)["files"]
    assert [found["index"] for found in report["levels"]] == [1, 3]
    assert report["failed_levels"] == 1
    (failure,) = report["level_failures"]
    assert {key: failure[key] for key in ("path", "level", "level_name", "kind", "index",
                                          "key")} == {
        "path": str(broken_level), "level": 2, "level_name": "two", "kind": None,
        "index": None, "key": None}
    assert failure["message"].startswith("level data is truncated")


def test_a_file_that_breaks_off_reports_what_was_read(capsys, tmp_path):
    path = tmp_path / "cut.xml"
    whole = gen.export_file([("one", level.encode(GOOD)), ("two", level.encode(GOOD))])
    path.write_text(whole[:whole.index("<k>two") if "<k>two" in whole else len(whole) - 40])
    status, out, err = run(capsys, "check", "--json", path)
    assert status == 2 and json.loads(out)["files"][0]["levels"] == []
    status, out, err = run(capsys, "check", "--json", "--keep-going", path)
    assert status == 2 and err.startswith("velk: error: %s: " % path)
    (report,) = json.loads(out)["files"]
    assert [found["name"] for found in report["levels"]] == ["one"]
    assert report["error"]["path"] == str(path) and report["error"]["level"] is None


def test_survey_keeps_going_as_the_api_does(broken_level):
    with pytest.raises(LevelError):
        survey.survey_file(broken_level)
    report = survey.survey_file(broken_level, keep_going=True)
    assert (report.level_count, report.failed_levels, report.status) == (2, 1, 1)
    assert report.level_failures[0].level == 2
