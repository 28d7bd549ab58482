"""The commands list, export and import: what they print, what they write,
their refusals in one line, and their exit statuses."""
import io
import json
import os
import sys
from pathlib import Path

import pytest

from velk import cli, level
from velk.level import save

ROOT = Path(__file__).resolve().parent.parent
EXAMPLES = ROOT / "examples"
sys.path.insert(0, str(ROOT / "tools"))
import generate_records as gen  # noqa: E402
from support import run  # noqa: E402

DATA = level.encode(gen.level_string(30, seed=41))


@pytest.fixture
def created(tmp_path):
    path = tmp_path / "created.dat"
    path.write_bytes(gen.save_file([("Twin", DATA), ("Twin", None), ("Solo", DATA)], "created",
                                   seed=2))
    return path


@pytest.fixture
def state(tmp_path):
    path = tmp_path / "state.dat"
    path.write_bytes(gen.save_file([("Downloaded", DATA)], "state", seed=3))
    return path


# list ----------------------------------------------------------------------------------------


def test_list_prints_a_line_for_each_level_of_each_file(capsys, created):
    export = EXAMPLES / "levels-export.xml"
    status, out, err = run(capsys, "list", created, export, EXAMPLES / "level-encoded.txt")
    assert status == 0 and err == ""
    creator = level.read_file(created)[0].creator
    assert out.splitlines() == [
        '%s: level 1 "Twin" by "%s": 30 objects (save file)' % (created, creator),
        '%s: level 2 "Twin" by "%s": 0 objects (save file)' % (created, creator),
        '%s: level 3 "Solo" by "%s": 30 objects (save file)' % (created, creator),
        '%s: level 1 "Generated level 1": 1500 objects (export file)' % export,
        '%s: level 2 "Generated level 2": 1500 objects (export file)' % export,
        "%s: level 1: 3000 objects (encoded level)" % (EXAMPLES / "level-encoded.txt"),
    ]


def test_list_json_and_a_file_that_cannot_be_read(capsys, created, tmp_path):
    broken = tmp_path / "broken.dat"
    broken.write_bytes(gen.save_file([("ok", DATA), ("cut", DATA[:30])]))
    status, out, err = run(capsys, "list", "--json", created, tmp_path / "missing.xml", broken)
    assert status == 2
    report = json.loads(out)["files"]
    assert [entry["form"] for entry in report] == ["save", None, "save"]
    assert report[0]["levels"][2] == {"index": 3, "name": "Solo", "creator": report[0][
        "levels"][0]["creator"], "id": level.read_file(created)[2].id, "objects": 30,
        "error": None}
    # errors are objects that say where
    assert report[1]["error"] == {
        "path": str(tmp_path / "missing.xml"), "level": None, "level_name": None, "kind": None,
        "index": None, "key": None, "message": "cannot open it: No such file or directory"}
    assert report[2]["levels"][1]["objects"] is None
    error = report[2]["levels"][1]["error"]
    assert (error["path"], error["level"], error["level_name"]) == (str(broken), 2, "cut")
    assert error["message"].startswith("level data is truncated")
    lines = err.splitlines()
    assert len(lines) == 2 and all(line.startswith("velk: error: ") for line in lines)


def test_list_of_a_level_that_cannot_be_read_exits_with_1(capsys, tmp_path):
    broken = tmp_path / "broken.dat"
    broken.write_bytes(gen.save_file([("ok", DATA), ("cut", DATA[:30])]))
    status, out, err = run(capsys, "list", broken)
    assert status == 1
    assert out.splitlines()[1].startswith('%s: level 2 "cut" by ' % broken)
    assert out.splitlines()[1].endswith(": cannot be read (save file)")
    assert err.startswith('velk: error: %s: level 2 "cut": level data is truncated' % broken)


def test_list_never_shows_the_players_settings(capsys, state):
    xml = save.decode(state.read_bytes()).decode()
    status, out, _ = run(capsys, "list", "--json", state)
    assert status == 0
    for secret in ("playerName", "playerUDID", "secretNumber"):
        value = xml.split("<k>%s</k>" % secret)[1].split(">")[1].split("<")[0]
        assert value not in out


# export --------------------------------------------------------------------------------------


@pytest.mark.parametrize("form", ["export", "encoded", "level"])
def test_export_writes_the_level_chosen_in_the_form_asked(capsys, created, tmp_path, form):
    target = tmp_path / "out"
    status, out, err = run(capsys, "export", created, "--level", "Solo", "-o", target,
                           "--format", form)
    assert status == 0 and err == ""
    assert out == 'wrote level "Solo" (30 objects) of %s to %s as %s\n' % (
        created, target, {"export": "an export file", "encoded": "encoded level data",
                          "level": "a level string"}[form])
    (back,) = level.read_file(target)
    chosen = level.read_file(created)[2]
    assert back.objects == chosen.objects and back.header == chosen.header
    if form == "export":
        assert (back.name, back.creator, back.properties) == (
            chosen.name, chosen.creator, chosen.properties)


def test_export_to_standard_output(capsys, created):
    status, out, err = run(capsys, "export", created, "--level", "3", "-o", "-", "--format",
                           "level")
    assert status == 0 and err == ""
    assert level.read_level(out).objects == level.read_file(created)[2].objects


def test_export_json(capsys, created, tmp_path):
    status, out, _ = run(capsys, "export", created, "-l", "1", "-o", tmp_path / "x.xml",
                         "--json")
    assert status == 0
    report = json.loads(out)
    assert report["level"]["name"] == "Twin" and report["level"]["objects"] == 30
    assert report["format"] == "export"


@pytest.mark.parametrize("argv, message", [
    (["--level", "Twin"], '2 levels are named "Twin": levels 1, 2; choose one by its index'),
    (["--level", "Nobody"], 'no level is named "Nobody" (the names: "Twin", "Solo")'),
    (["--level", "4"], "there is no level 4: the file holds 3 levels"),
    (["--level", "1", "--json", "-o", "-"], "--json reports on a file written"),
    (["--level", "1", "-o", "SAME"], "velk does not write a level over the file it reads"),
])
def test_export_refusals_are_one_line(capsys, created, tmp_path, argv, message):
    if "-o" not in argv:
        argv = argv + ["-o", str(tmp_path / "out.xml")]
    argv = [str(created) if arg == "SAME" else arg for arg in argv]
    before = created.read_bytes()
    status, out, err = run(capsys, "export", created, *argv)
    assert status == 2 and out == ""
    assert err.startswith("velk: error: ") and message in err and err.count("\n") == 1
    assert created.read_bytes() == before and not (tmp_path / "out.xml").exists()


def test_export_of_a_level_that_cannot_be_read_exits_with_1(capsys, tmp_path):
    noisy = EXAMPLES / "level.txt"    # a few malformed records
    status, _, err = run(capsys, "export", noisy, "--level", "1", "-o", tmp_path / "out.xml")
    assert status == 1
    assert err.startswith("velk: error: %s: level 1: object " % noisy)
    assert not (tmp_path / "out.xml").exists()


# import --------------------------------------------------------------------------------------


def test_import_adds_the_levels_first_and_says_what_it_did(capsys, created, tmp_path):
    text = tmp_path / "plain.txt"
    text.write_text(gen.level_string(7, seed=5) + "\n")
    export = EXAMPLES / "levels-export.xml"
    before = created.read_bytes()
    status, out, err = run(capsys, "import", created, export, text)
    assert status == 0 and err == ""
    assert out.splitlines() == [
        "added 3 levels to %s, which now holds 6:" % created,
        '  level 1 "Generated level 1": 1500 objects (from %s)' % export,
        '  level 2 "Generated level 2": 1500 objects (from %s)' % export,
        '  level 3 "plain": 7 objects (from %s)' % text,
        "the save before is kept as %s.bak" % created,
    ]
    assert Path(str(created) + ".bak").read_bytes() == before
    assert [found.name for found in level.read_file(created)] == [
        "Generated level 1", "Generated level 2", "plain", "Twin", "Twin", "Solo"]


def test_import_json_and_a_second_backup(capsys, created):
    assert run(capsys, "import", created, EXAMPLES / "level-server.txt")[0] == 0
    status, out, _ = run(capsys, "import", "--json", created, EXAMPLES / "level-server.txt")
    assert status == 0
    report = json.loads(out)
    assert report["backup"] == str(created) + ".bak.1" and report["levels"] == 5
    assert report["added"] == [{"index": 1, "name": "Generated level 1", "creator": None,
                                "objects": 600, "file": str(EXAMPLES / "level-server.txt")}]


def test_import_from_standard_input_names_the_level(capsys, created, monkeypatch):
    monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(DATA.encode())))
    assert run(capsys, "import", created, "-")[0] == 0
    assert level.read_file(created)[0].name == "Imported level"


@pytest.mark.parametrize("inputs, status, message", [
    (["STATE"], 2, "it is the save of the game's state (downloaded levels); levels are added "
                   "to the save of created levels; the save was not changed"),
    (["MISSING"], 2, "No such file or directory; the save was not changed"),
    ([str(EXAMPLES / "level.txt")], 1, "level 1: object "),
    ([str(EXAMPLES / "objects.txt")], 2, "it is a record file"),
])
def test_import_refusals_change_nothing(capsys, created, state, tmp_path, inputs, status,
                                        message):
    # The save of the game's state is refused as the save to import into;
    # the other inputs are levels that cannot be read.
    save_path = state if inputs == ["STATE"] else created
    files = [str(EXAMPLES / "levels-export.xml") if arg == "STATE" else
             str(tmp_path / "missing.xml") if arg == "MISSING" else arg for arg in inputs]
    before = save_path.read_bytes()
    got, out, err = run(capsys, "import", save_path, *files)
    assert got == status and out == ""
    assert err.startswith("velk: error: ") and message in err and err.count("\n") == 1
    assert save_path.read_bytes() == before
    assert sorted(os.listdir(str(tmp_path))) == ["created.dat", "state.dat"]


def test_the_help_of_import_says_to_close_the_game(capsys):
    with pytest.raises(SystemExit):
        cli._parser().parse_args(["import", "--help"])
    assert "Close the game first" in capsys.readouterr().out


def test_every_command_is_listed_in_the_help(capsys):
    with pytest.raises(SystemExit):
        cli._parser().parse_args(["--help"])
    out = capsys.readouterr().out
    for command in ("list", "export", "import"):
        assert "    %s " % command in out


@pytest.mark.parametrize("argv", [["list", "SAVE"], ["import", "SAVE", "LEVELS"],
                                  ["export", "SAVE", "--level", "1", "-o", "-"]])
def test_a_native_module_that_does_not_load_is_one_line(capsys, created, monkeypatch, argv):
    monkeypatch.setitem(sys.modules, "velk._velkc", None)
    argv = [str(created) if arg == "SAVE" else str(EXAMPLES / "levels-export.xml")
            if arg == "LEVELS" else arg for arg in argv]
    before = created.read_bytes()
    status, out, err = run(capsys, *argv)
    assert status == 2 and out == ""
    assert err.startswith("velk: error: cannot load the native module: ")
    assert err.count("\n") == 1 and created.read_bytes() == before
