"""The machine output of the commands: one shape per command, the one the
README documents (held against real output, key for key and type for
type), the same bytes for the same input, and errors as objects."""
import hashlib
import json
import re
import shutil
import sys
from pathlib import Path

import pytest

from velk import cli, level

ROOT = Path(__file__).resolve().parent.parent
EXAMPLES = ROOT / "examples"
sys.path.insert(0, str(ROOT / "tools"))
import generate_records as gen  # noqa: E402
from support import run  # noqa: E402

# Objects whose keys are data (record keys, type names), not a schema: each
# of their entries has the shape of the README's first one.
MAPS = ("keys", "types")
# Values of any JSON type, and objects of such values.
FREE = ("example", "record")


def readme_shapes():
    text = (ROOT / "README.md").read_text(encoding="utf-8")
    found = re.findall(r"<!-- json: (\w+) -->\n```json\n(.*?)```", text, re.S)
    return {name: json.loads(body) for name, body in found}


def mismatches(documented, real, where="$"):
    """Where `real` departs from the shape of `documented`: a key missing or
    not documented, or a value of another JSON type (null passes)."""
    if documented is None or real is None:
        return []
    if isinstance(documented, dict) and isinstance(real, dict):
        if where.rsplit(".", 1)[-1] in MAPS:
            entries = list(documented.values())[:1]
            return [problem for key, value in real.items() for model in entries
                    for problem in mismatches(model, value, "%s[%s]" % (where, key))]
        if list(documented) != list(real):
            return ["%s: keys %s, documented %s" % (where, list(real), list(documented))]
        return [problem for key in documented
                for problem in ([] if key in FREE else
                                mismatches(documented[key], real[key], where + "." + key))]
    if isinstance(documented, list) and isinstance(real, list):
        return [problem for model in documented[:1] for index, value in enumerate(real)
                for problem in mismatches(model, value, "%s[%d]" % (where, index))]
    kinds = (bool, (int, float), str, list, dict)
    same = any(isinstance(documented, kind) and isinstance(real, kind) for kind in kinds) and \
        isinstance(documented, bool) == isinstance(real, bool)
    return [] if same else ["%s: %r, documented as %r" % (where, real, documented)]


@pytest.fixture(scope="module")
def shapes():
    found = readme_shapes()
    assert sorted(found) == ["check", "error", "export", "import", "list", "show", "stats"]
    return found


@pytest.fixture
def files(tmp_path):
    levels = tmp_path / "levels.xml"
    levels.write_text(gen.export_file([
        ("good", level.encode("kS38,1_255_4_-1|,kA13,0;1,1,2,15.50,57,1.2;1,x;")),
        ("cut", level.encode(gen.level_string(3, seed=1))[:30]),
        ("noisy", gen.encoded_level(40, seed=2, noise=0.3, malformed=0.2))]))
    save = tmp_path / "created.dat"
    shutil.copy(str(EXAMPLES / "created-levels.dat"), str(save))
    return {"levels": levels, "save": save, "records": EXAMPLES / "objects-noisy.txt",
            "missing": tmp_path / "missing.xml", "out": tmp_path / "one.xml"}


@pytest.mark.parametrize("command", ["check", "stats"])
@pytest.mark.parametrize("options", [[], ["--keep-going"], ["--keep-going", "--timings"]])
def test_check_and_stats_have_the_documented_shape(capsys, shapes, files, command, options):
    status, out, _ = run(capsys, command, "--json", *options, files["levels"], files["records"],
                         files["missing"], EXAMPLES / "levels-export.xml")
    report = json.loads(out)
    if "--timings" in options:
        # the one key that only --timings adds, after "bytes"
        for entry in report["files"]:
            assert list(entry)[-2:] == ["bytes", "seconds"]
            del entry["seconds"]
    assert mismatches(shapes[command], report) == []
    assert status == report["status"] == 2
    assert [entry["status"] for entry in report["files"]] == [
        1 if options else 2, 1, 2, 0]


def test_errors_have_the_documented_shape(capsys, shapes, files):
    status, out, _ = run(capsys, "check", "--json", "--keep-going", files["levels"],
                         files["missing"])
    report = json.loads(out)
    errors = report["files"][0]["level_failures"] + [report["files"][1]["error"]]
    errors += report["files"][0]["object"]["failures"]
    for error in errors:
        error.pop("stage", None)
        assert mismatches(shapes["error"], error) == []
    assert errors[0]["level_name"] == "cut" and errors[1]["path"] == str(files["missing"])


def test_show_has_one_documented_shape_for_every_form(capsys, shapes, files):
    status, out, _ = run(capsys, "show", "--keep-going", files["levels"], files["records"],
                         EXAMPLES / "created-levels.dat", EXAMPLES / "level-server.txt")
    lines = [json.loads(line) for line in out.splitlines()]
    assert {line["path"] for line in lines} == {str(files["levels"]), str(files["records"]),
                                                str(EXAMPLES / "created-levels.dat"),
                                                str(EXAMPLES / "level-server.txt")}
    for line in lines:
        assert mismatches(shapes["show"], line) == []
    record_lines = [line for line in lines if line["path"] == str(files["records"])]
    assert record_lines[0]["level"] is None and record_lines[0]["index"] == 1


def test_list_export_and_import_have_the_documented_shapes(capsys, shapes, files):
    status, out, _ = run(capsys, "list", "--json", files["save"], files["levels"],
                         files["missing"])
    assert mismatches(shapes["list"], json.loads(out)) == []
    assert status == 2
    status, out, _ = run(capsys, "export", "--json", files["save"], "--level", "2", "-o",
                         files["out"])
    assert status == 0 and mismatches(shapes["export"], json.loads(out)) == []
    status, out, _ = run(capsys, "import", "--json", files["save"], files["out"])
    assert status == 0 and mismatches(shapes["import"], json.loads(out)) == []


def test_the_comparison_finds_what_departs():
    documented = {"a": 1, "b": [{"c": "x"}], "keys": {"1": {"n": 1}}}
    assert mismatches(documented, {"a": 2, "b": [], "keys": {"5": {"n": 3}}}) == []
    assert mismatches(documented, {"a": "2", "b": [], "keys": {}}) == \
        ["$.a: '2', documented as 1"]
    assert mismatches(documented, {"a": 1, "b": [{"c": "y", "d": 1}], "keys": {}}) == \
        ["$.b[0]: keys ['c', 'd'], documented ['c']"]
    assert mismatches(documented, {"a": True, "b": [], "keys": {"2": {"n": "x"}}}) == \
        ["$.a: True, documented as 1", "$.keys[2].n: 'x', documented as 1"]


@pytest.mark.parametrize("argv", [["check", "--json"], ["stats", "--json"], ["check"],
                                  ["stats"], ["show"], ["list", "--json"]])
def test_the_same_input_gives_the_same_bytes(capfd, files, argv):
    digests = []
    for _ in range(2):
        cli.main(argv + [str(files["levels"]), str(EXAMPLES / "level.txt")])
        digests.append(hashlib.md5(capfd.readouterr().out.encode("utf-8")).hexdigest())
    assert digests[0] == digests[1]
