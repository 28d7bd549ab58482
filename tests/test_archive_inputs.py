"""Many inputs at once: folders walked for their files, glob patterns,
standard input, and the commands and velk.level taking them."""
import io
import json
import os
import sys

import pytest

from velk import cli, level
from velk.level.errors import LevelError

LEVEL = "kA13,0;1,1,2,15;1,2,2,30;"


@pytest.fixture
def tree(tmp_path):
    """A folder of levels at several depths, with hidden files and folders."""
    for relative in ("b.txt", "a.xml.txt", "sub/c.txt", "sub/deeper/d.dat", "z/e.txt",
                     ".hidden.txt", ".git/f.txt", "sub/.cache/g.txt"):
        path = tmp_path / relative
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(LEVEL)
    return tmp_path


def relative(paths, top):
    return [os.path.relpath(path, str(top)) for path in paths]


@pytest.mark.parametrize("glob, expected", [
    (None, ["a.xml.txt", "b.txt", "sub/c.txt", "sub/deeper/d.dat", "z/e.txt"]),
    ("*.dat", ["sub/deeper/d.dat"]),
    ("[ab]*", ["a.xml.txt", "b.txt"]),
    ("sub/*.txt", ["sub/c.txt"]),          # with a "/": the path below the folder
    ("*.gmd", []),
])
def test_a_folder_stands_for_its_files_sorted_without_hidden_ones(tree, glob, expected):
    assert relative(level.find_inputs([str(tree)], glob), tree) == expected


def test_files_and_standard_input_stay_as_given_among_folders(tree):
    missing = str(tree / "missing.txt")
    empty = []
    found = level.find_inputs([str(tree / "z"), "-", missing, str(tree / "b.txt"),
                               str(tree / "sub" / ".cache" / "g.txt")], "*.dat", empty)
    # A named file is taken whatever the pattern; a folder of no match is noted.
    assert found == ["-", missing, str(tree / "b.txt"), str(tree / "sub" / ".cache" / "g.txt")]
    assert empty == [str(tree / "z")]


def test_read_files_keeps_going_past_a_file_that_cannot_be_opened(tree):
    (tree / "broken.txt").write_text("kA13,0;1,x;1,3;")
    found = dict(level.read_files([str(tree), str(tree / "gone.txt")], "*.txt",
                                  keep_going=True))
    assert len(found[str(tree / "b.txt")]) == 1
    (error,) = found[str(tree / "broken.txt")].failures
    assert (error.path, error.level, error.kind, error.index, error.key) == (
        str(tree / "broken.txt"), 1, "object", 0, "1")
    (gone,) = found[str(tree / "gone.txt")].failures
    assert isinstance(gone, LevelError) and gone.path == str(tree / "gone.txt")
    assert "cannot open" in str(gone)


def test_read_files_is_all_or_nothing_by_default(tree):
    with pytest.raises(OSError):
        list(level.read_files([str(tree / "gone.txt")]))


@pytest.mark.parametrize("command", ["stats", "check", "list"])
def test_commands_read_every_file_of_a_folder(capsys, tree, command):
    status = cli.main([command, "--json", str(tree), "--glob", "*.txt"])
    report = json.loads(capsys.readouterr().out)
    assert status == 0
    assert relative([entry["file"] for entry in report["files"]], tree) == [
        "a.xml.txt", "b.txt", "sub/c.txt", "z/e.txt"]


def test_a_folder_without_a_matching_file_exits_2_and_the_others_are_read(capsys, tree):
    status = cli.main(["check", str(tree / "z"), str(tree / "sub"), "--glob", "*.dat"])
    out, err = capsys.readouterr()
    assert status == 2
    assert err == "velk: error: %s holds no file matching *.dat\n" % (tree / "z")
    assert "d.dat: level 1" in out


def test_standard_input_among_files(capsys, tree, monkeypatch):
    monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(LEVEL.encode())))
    status = cli.main(["list", "--json", "-", str(tree / "b.txt")])
    report = json.loads(capsys.readouterr().out)
    assert status == 0
    assert [entry["file"] for entry in report["files"]] == ["-", str(tree / "b.txt")]


EXAMPLES = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "examples")


@pytest.mark.parametrize("command", ["stats", "check"])
@pytest.mark.parametrize("as_json", [[], ["--json"]])
def test_reports_are_the_same_for_one_process_and_for_two(capsys, command, as_json):
    inputs = [EXAMPLES, os.path.join(EXAMPLES, "missing.txt"),
              os.path.join(EXAMPLES, "level.txt")]
    found = []
    for jobs in ("1", "2"):
        status = cli.main([command, "--keep-going", "--jobs", jobs] + as_json + inputs)
        out, err = capsys.readouterr()
        found.append((status, out, err))
    assert found[0] == found[1]
    status, out, err = found[0]
    assert status == 2 and "cannot open %s" % inputs[1] in err
    if as_json:
        assert len(json.loads(out)["files"]) == len(level.find_inputs(inputs))
