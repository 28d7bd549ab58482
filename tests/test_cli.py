"""The `velk` command (velk.cli) and the record generator (tools/)."""
import base64
import gzip
import io
import json
import os
import random
import re
import subprocess
import sys
from importlib import metadata
from pathlib import Path

import pytest

from velk import cli, level
from velk.api.guidelines import Guidelines

ROOT = Path(__file__).resolve().parent.parent


# The generator is a script beside the package, not part of it.
sys.path.insert(0, str(ROOT / "tools"))
import generate_records as gen  # noqa: E402
from support import run  # noqa: E402


def b64(text):
    return base64.urlsafe_b64encode(text.encode("utf-8")).decode("ascii")


def write_lines(path, lines, ending="\n"):
    path.write_bytes("".join(line + ending for line in lines).encode("utf-8"))
    return str(path)


def shown(out):
    return [json.loads(line) for line in out.splitlines()]


def records(out):
    """The records that `show` printed, without where each one is."""
    return [line["record"] for line in shown(out)]


def report_of(out):
    """The report of the one file of a run of `check --json` or `stats --json`."""
    (found,) = json.loads(out)["files"]
    return found


@pytest.fixture
def records_file(tmp_path):
    """A file of 60 canonical object records, typical and rich."""
    lines = gen.object_records(60, seed=11)
    return write_lines(tmp_path / "objects.txt", lines), lines


# show ----------------------------------------------------------------------------


@pytest.mark.parametrize("kind, line, expected", [
    ("object", "1,1,2,15,3,15.5,57,3.1.3,4,1",
     {"1": 1, "2": 15, "3": 15.5, "57": [1, 3], "4": True}),
    ("object", "57,900.20.7", {"57": [7, 20, 900]}),
    ("object", "57,", {"57": []}),
    ("object", "30,2,101,1,24,3", {"30": "Easing.EASE_IN", "101": "TargetPosCoordinates.X_ONLY",
                                   "24": 3}),
    ("object", "43,-20a0.5a1.0a1a0", {"43": "-20a0.5a1.0a1a0"}),
    # an HSV value shows the text it was read from, spelt as it was
    ("object", "43,-20a0.50a1a1a0", {"43": "-20a0.50a1a1a0"}),
    ("object", "31," + b64("jump here"), {"31": "jump here"}),
    ("object", "31," + b64("caf\u00e9 \u2603"), {"31": "caf\u00e9 \u2603"}),
    ("object", "31,not base64!", {"31": "not base64!"}),
    ("object", "999,abc,18,0.5,4,0", {"999": "abc", "18": "0.5", "4": False}),
    ("object", "1,5,1,6,2,7", {"1": 6, "2": 7}),
    ("object", "", {}),
    ("colour", "1_255_4_1_5_1_7_0.5_10_5a1.0a1.0a0a0_14_x",
     {"1": 255, "4": "PlayerColor.PLAYER_1", "5": True, "7": 0.5, "10": "5a1.0a1.0a0a0",
      "14": "x"}),
    ("colour", "4_0_8_0", {"4": "PlayerColor.NONE", "8": False}),
])
def test_show_prints_typed_values_as_json(capsys, tmp_path, kind, line, expected):
    path = write_lines(tmp_path / "r.txt", [line])
    # Forced: a file of one empty line is told from no content.
    status, out, err = run(capsys, "show", path, "--kind", kind, "--format", "records")
    assert (status, err) == (0, "")
    assert records(out) == [expected]


def test_show_keeps_the_record_order_of_keys(capsys, tmp_path):
    path = write_lines(tmp_path / "r.txt", ["3,1.5,1,2,57,4,2,8"])
    status, out, _ = run(capsys, "show", path)
    assert list(json.loads(out)["record"]) == ["3", "1", "57", "2"]


def test_show_writes_strict_json_for_infinite_floats(capsys, tmp_path):
    path = write_lines(tmp_path / "r.txt", ["2,1.5e999,3,-1.5e999"])
    status, out, _ = run(capsys, "show", path)

    def refuse(constant):
        raise AssertionError("non-JSON constant %s" % constant)

    assert status == 0
    assert json.loads(out, parse_constant=refuse)["record"] == {"2": "inf", "3": "-inf"}


def test_json_form_of_other_values():
    from velk.api.enums import Easing, PlayerColor
    from velk.api.guidelines import Guidelines
    from velk.api.hsv import HSV

    form = cli.JsonForm()
    value = {
        "g": Guidelines([(0.5, "orange"), (1.25, "green")]),
        "h": HSV(10, 0.5),
        "f": frozenset({3, 1, 2}),
        "t": (Easing.BOUNCE_IN, [PlayerColor.PLAYER_2, {5, 4}]),
        "o": object,
        "n": None,
    }
    assert json.loads(json.dumps(form(value))) == {
        "g": "0.5~orange~1.25~green",
        "h": "10a0.5a1.0a0a0",
        "f": [1, 2, 3],
        "t": ["Easing.BOUNCE_IN", ["PlayerColor.PLAYER_2", [4, 5]]],
        "o": "<class 'object'>",
        "n": None,
    }


def test_show_one_line_per_record_of_a_generated_file(capsys, records_file):
    path, lines = records_file
    status, out, err = run(capsys, "show", path)
    assert (status, err) == (0, "")
    assert len(shown(out)) == len(lines)


def test_show_reports_malformed_records_and_goes_on(capsys, tmp_path):
    path = write_lines(tmp_path / "r.txt", ["1,1", "1,abc", "1,2", "2,", "30,99", "1,3"])
    status, out, err = run(capsys, "show", path)
    assert status == 1
    assert records(out) == [{"1": 1}, {"1": 2}, {"1": 3}]
    messages = err.splitlines()
    assert len(messages) == 3
    # each names the key whose value fails
    assert messages[0] == (
        "%s: line 2: key 1: ValueError: invalid literal for int() with base 10: 'abc'" % path)
    assert messages[1].startswith("%s: line 4: key 2: ValueError: " % path)
    assert messages[2].startswith("%s: line 5: key 30: ValueError: " % path)
    assert "Easing" in messages[2]


@pytest.mark.parametrize("limit, count", [("0", 0), ("1", 1), ("7", 7), ("1000", 60)])
def test_show_limit(capsys, records_file, limit, count):
    path, lines = records_file
    status, out, _ = run(capsys, "show", "--limit", limit, path)
    assert status == 0
    assert len(out.splitlines()) == count


def test_show_limit_counts_malformed_records_too(capsys, tmp_path):
    path = write_lines(tmp_path / "r.txt", ["1,abc", "1,1", "1,2"])
    status, out, err = run(capsys, "show", "--limit", "2", path)
    assert status == 1
    assert records(out) == [{"1": 1}]
    assert "line 2" not in err and "line 1:" in err


def test_kind_color_is_colour(capsys, tmp_path):
    path = write_lines(tmp_path / "c.txt", gen.colour_records(20, seed=3))
    results = [run(capsys, "show", "--kind", kind, path) for kind in ("colour", "color", "Colour")]
    assert results[0][0] == 0
    assert results[0] == results[1] == results[2]


def test_kind_decides_the_delimiter(capsys, tmp_path):
    path = write_lines(tmp_path / "r.txt", ["1_255_2_7"])
    status, out, err = run(capsys, "show", path)
    # As an object record the whole line is one unpaired field.
    assert (status, records(out)) == (0, [{}])
    status, out, err = run(capsys, "show", "--kind", "colour", path)
    assert (status, records(out)) == (0, [{"1": 255, "2": 7}])


# Reading lines ----------------------------------------------------------------------


def test_only_the_line_ending_is_taken_off(capsys, tmp_path):
    path = tmp_path / "r.txt"
    path.write_bytes(b"1,5\r\n1,5 \n1,6\n\n18,\tx\r\n1,7")
    status, out, err = run(capsys, "show", str(path))
    assert (status, err) == (0, "")
    assert records(out) == [{"1": 5}, {"1": 5}, {"1": 6}, {}, {"18": "\tx"}, {"1": 7}]

    status, out, _ = run(capsys, "check", str(path))
    assert status == 0
    assert re.search(r"identical: +5\n", out)
    assert re.search(r"normalised: +1\n", out)
    assert "line 2\n" in out


def test_a_lone_carriage_return_does_not_end_a_line(capsys, tmp_path):
    path = tmp_path / "r.txt"
    path.write_bytes(b"18,a\rb,c\n")
    status, out, _ = run(capsys, "show", str(path))
    assert records(out) == [{"18": "a\rb"}]


def test_a_line_that_is_not_utf8_is_a_malformed_record(capsys, tmp_path):
    path = tmp_path / "r.txt"
    path.write_bytes(b"1,1\n18,\xff\xfe\n1,2\n")
    status, out, err = run(capsys, "show", str(path))
    assert status == 1
    assert records(out) == [{"1": 1}, {"1": 2}]
    assert "line 2: UnicodeDecodeError" in err


# stats ---------------------------------------------------------------------------------


def stats_rows(out):
    """The key table of `velk stats` as {key: (records, types, example)}."""
    rows = {}
    lines = out.splitlines()
    assert lines[0].split() == ["key", "records", "types", "example"]
    for line in lines[1:]:
        if not line:
            break
        match = re.match(r"(\S+) +(\d+)  (.+?)  +(.*)$", line)
        assert match, line
        rows[match.group(1)] = (int(match.group(2)), match.group(3), match.group(4))
    return rows


def test_stats_counts_every_key(capsys, records_file):
    path, lines = records_file
    status, out, err = run(capsys, "stats", path)
    assert (status, err) == (0, "")
    rows = stats_rows(out)

    holders = {}
    for line in lines:
        fields = line.split(",")
        for key in set(fields[0::2]):
            holders[key] = holders.get(key, 0) + 1
    assert {key: row[0] for key, row in rows.items()} == holders
    # numeric order of the keys
    assert list(rows) == sorted(holders, key=int)
    assert rows["1"][1] == "int"
    assert rows["4"][1] == "bool"
    assert rows["57"][1] == "set"
    assert rows["43"][1] == "HSV"
    assert rows["31"][1] == "str"
    assert "records:    60\n" in out
    assert "malformed:  0\n" in out
    # how long it took only on request: the same input gives the same output
    assert "throughput" not in out
    status, timed, _ = run(capsys, "stats", "--timings", path)
    assert timed.startswith(out)
    assert re.search(r"throughput: \d+ records/s, \d+\.\d\d MB/s \(%d bytes in "
                     % os.path.getsize(path), timed)


def test_stats_types_and_examples(capsys, tmp_path):
    path = write_lines(tmp_path / "r.txt", [
        "2,15,57,1.2,30,3,999,x",
        "2,15.5,57,,010,1",
        "2,-3,30,0",
    ])
    status, out, _ = run(capsys, "stats", path)
    rows = stats_rows(out)
    # "010" is a key of its own, placed by its number
    assert list(rows) == ["2", "010", "30", "57", "999"]
    assert rows["2"] == (3, "int 2, float 1", "15")
    assert rows["30"] == (2, "Easing", '"Easing.EASE_OUT"')
    assert rows["57"] == (2, "set", "[1, 2]")
    assert rows["999"] == (1, "str", '"x"')
    assert rows["010"] == (1, "str", '"1"')


def test_stats_reports_the_first_malformed_record(capsys, tmp_path):
    path = write_lines(tmp_path / "r.txt", ["1,1", "1,2", "3,1.2.3", "1,x", "1,4"])
    status, out, _ = run(capsys, "stats", path)
    assert status == 1
    assert "records:    5\n" in out
    assert ("malformed:  2 (first at line 3: key 3: ValueError: could not convert string to "
            "float: '1.2.3')\n") in out
    assert stats_rows(out)["1"][0] == 3


def test_stats_of_an_empty_file(capsys, tmp_path):
    path = write_lines(tmp_path / "r.txt", [])
    status, out, err = run(capsys, "stats", path)
    assert (status, out) == (2, "")
    assert err == "velk: error: %s: not a form velk reads: it is empty\n" % path
    status, out, _ = run(capsys, "stats", path, "--format", "records")
    assert status == 0
    assert "records:    0\n" in out


# check ---------------------------------------------------------------------------------


def test_check_canonical_records_come_back_identical(capsys, records_file):
    path, lines = records_file
    status, out, err = run(capsys, "check", path)
    assert (status, err) == (0, "")
    assert out.startswith("%s: 60 object records\n" % path)
    assert "identical:  60\n" in out
    assert "normalised:  0\n" in out
    assert "failed:      0\n" in out


def test_check_shows_normalised_and_failing_records(capsys, tmp_path):
    path = write_lines(tmp_path / "r.txt", ["1,5", "1,+5,2,15.50", "1,abc", "57,3.1.3", "2,"])
    status, out, _ = run(capsys, "check", path)
    assert status == 1
    assert "identical:  1\n" in out
    assert "normalised: 2\n" in out
    assert "failed:     2\n" in out
    assert ("  line 2\n"
            "    original:     1,+5,2,15.50\n"
            "    written back: 1,5,2,15.5\n") in out
    assert ("  line 4\n"
            "    original:     57,3.1.3\n"
            "    written back: 57,1.3\n") in out
    assert ("  line 3: cannot read: key 1: ValueError: invalid literal for int() with base 10: "
            "'abc'\n") in out
    assert "  line 5: cannot read: key 2: ValueError: " in out


def test_check_lists_a_few_differences_and_counts_all(capsys, tmp_path):
    path = write_lines(tmp_path / "r.txt", ["1,0%d" % i for i in range(1, 30)])
    status, out, _ = run(capsys, "check", path)
    assert status == 0
    assert "normalised: 29\n" in out
    assert out.count("written back:") == cli.SHOWN_DIFFERENCES


def test_check_lists_failures_up_to_a_limit(capsys, tmp_path):
    count = cli.SHOWN_FAILURES + 7
    path = write_lines(tmp_path / "r.txt", ["1,x"] * count)
    status, out, _ = run(capsys, "check", path)
    assert status == 1
    assert "failed:     %d\n" % count in out
    assert out.count("cannot read") == cli.SHOWN_FAILURES
    assert "  ... and 7 more\n" in out


def test_check_cuts_long_records_around_the_difference(capsys, tmp_path):
    record = gen.object_record(random.Random(5), kind="long")
    fields = record.split(",")
    at = fields[0::2].index("107") * 2 + 1
    value = fields[at]
    fields[at] = value + "0" if "." in value else value + ".00"
    noisy = ",".join(fields)
    path = write_lines(tmp_path / "r.txt", [record, noisy])
    status, out, _ = run(capsys, "check", path)
    assert status == 0
    assert "identical:  1\n" in out
    # each side is cut to a window, and says how much of it follows
    cut = r"\.\.\.(.{%d})\.\.\. \(([0-9,]+) more characters\)\n" % cli.EXCERPT
    original, original_left = re.search(r"original:     " + cut, out).groups()
    back, back_left = re.search(r"written back: " + cut, out).groups()
    assert ",107,%s," % fields[at] in original
    assert ",107,%r," % float(fields[at]) in back
    start = noisy.index(original)
    assert start + len(original) + int(original_left.replace(",", "")) == len(noisy)
    written = level.RecordCodec("object").write(level.RecordCodec("object").read(noisy))
    assert written[start:start + len(back)] == back
    assert start + len(back) + int(back_left.replace(",", "")) == len(written)


def test_check_colour_records(capsys, tmp_path):
    lines = gen.colour_records(40, seed=8) + ["1_+7_2_3", "1_x"]
    path = write_lines(tmp_path / "c.txt", lines)
    status, out, _ = run(capsys, "check", "--kind", "colour", path)
    assert status == 1
    assert out.startswith("%s: 42 colour records\n" % path)
    assert "identical:  40\n" in out
    assert "    written back: 1_7_2_3\n" in out
    assert "  line 42: cannot read: key 1: ValueError" in out


def test_check_reports_records_that_fail_to_write_back(capsys, tmp_path, monkeypatch, velkc):
    collect = velkc._object_collect

    def refusing(some_dict):
        if "43" in some_dict:
            raise RuntimeError("cannot join")
        return collect(some_dict)

    monkeypatch.setattr(velkc, "_object_collect", refusing)
    path = write_lines(tmp_path / "r.txt", ["1,1", "43,1a1.0a1.0a0a0", "1,2"])
    status, out, _ = run(capsys, "check", path)
    assert status == 1
    assert "identical:  2\n" in out
    assert "  line 2: cannot write back: RuntimeError: cannot join\n" in out


# usage and exit statuses ----------------------------------------------------------------


@pytest.mark.parametrize("argv, message", [
    ([], "required"),
    (["frobnicate", "x"], "invalid choice"),
    (["show"], "required"),
    (["show", "F", "--kind", "sprite"], "invalid kind 'sprite'"),
    (["stats", "F", "--kind"], "expected one argument"),
    (["show", "F", "--limit", "-1"], "invalid limit '-1'"),
    (["show", "F", "--limit", "ten"], "invalid limit 'ten'"),
    (["check", "F", "--limit", "3"], "unrecognized arguments"),
])
def test_wrong_usage_exits_2(capsys, tmp_path, argv, message):
    argv = [str(tmp_path / "r.txt") if arg == "F" else arg for arg in argv]
    write_lines(tmp_path / "r.txt", ["1,1"])
    status, out, err = run(capsys, *argv)
    assert status == 2
    assert out == ""
    assert message in err
    assert err.startswith("usage: velk")


@pytest.mark.parametrize("command", ["show", "stats", "check"])
def test_a_missing_file_exits_2(capsys, tmp_path, command):
    missing = str(tmp_path / "nope.txt")
    status, out, err = run(capsys, command, missing)
    assert status == 2
    assert out == ""
    assert err == "velk: error: cannot open %s: No such file or directory\n" % missing


def test_a_directory_without_files_exits_2(capsys, tmp_path):
    # A folder stands for the files below it: one that holds none is an
    # input that cannot be read.
    status, out, err = run(capsys, "stats", str(tmp_path))
    assert status == 2
    assert err == "velk: error: %s holds no file\n" % tmp_path


def test_help_exits_0(capsys):
    status, out, _ = run(capsys, "--help")
    assert status == 0
    assert "show" in out and "stats" in out and "check" in out


# through the interpreter, on standard input -------------------------------------------------


def _run_module(argv, data):
    import velk

    env = dict(os.environ)
    # The package as this test run sees it, whether installed or a checkout.
    env["PYTHONPATH"] = os.pathsep.join(
        [os.path.dirname(os.path.dirname(os.path.abspath(velk.__file__)))]
        + ([env["PYTHONPATH"]] if env.get("PYTHONPATH") else []))
    return subprocess.run([sys.executable, "-m", "velk"] + argv, input=data,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env,
                          timeout=120)


def test_python_m_velk_reads_standard_input():
    lines = gen.object_records(30, seed=4) + ["1,+2", "1,abc"]
    data = "".join(line + "\r\n" for line in lines).encode("utf-8")
    proc = _run_module(["check", "-"], data)
    out = proc.stdout.decode()
    assert proc.returncode == 1, proc.stderr.decode()
    assert out.startswith("<stdin>: 32 object records\n")
    assert "identical:  30\n" in out
    assert "normalised:  1\n" in out
    assert "  line 32: cannot read: key 1: ValueError" in out

    proc = _run_module(["show", "--kind", "colour", "-"], b"1_255_4_2\n5_1\n")
    assert proc.returncode == 0, proc.stderr.decode()
    assert records(proc.stdout.decode()) == [{"1": 255, "4": "PlayerColor.PLAYER_2"},
                                              {"5": True}]


# the generator -----------------------------------------------------------------------------------


@pytest.mark.parametrize("kind", gen.OBJECT_KINDS)
def test_generated_object_records_are_canonical(velkc, kind):
    rng = random.Random(kind)
    for _ in range(3 if kind == "long" else 200):
        record = gen.object_record(rng, kind)
        assert velkc._object_collect(velkc._object_dump(velkc._object_convert(record))) == record


def test_generated_colour_records_are_canonical(velkc):
    rng = random.Random(1)
    for _ in range(200):
        record = gen.colour_record(rng)
        assert velkc._color_collect(velkc._color_dump(velkc._color_convert(record))) == record


def test_generated_record_kinds(velkc):
    from velk.api.hsv import HSV

    rng = random.Random(2)
    typical = [velkc._object_convert(gen.object_record(rng)) for _ in range(100)]
    assert all(len(d) == 12 for d in typical)
    assert all(any(key in gen.UNKNOWN_KEYS for key in d) for d in typical)
    rich = [velkc._object_convert(gen.object_record(rng, "rich")) for _ in range(50)]
    for d in rich:
        assert type(d["43"]) is HSV
        assert isinstance(d["31"], str) and d["31"].replace(" ", "").isalpha()
        assert any(key in gen.ENUM_KEYS for key in d)
    long_record = gen.object_record(rng, "long")
    assert len(long_record.split(",")) == 2 * gen.LONG_PAIRS
    assert len(velkc._object_convert(long_record)) == gen.LONG_PAIRS
    with pytest.raises(ValueError):
        gen.object_record(rng, "huge")


def test_generated_records_repeat_for_a_seed():
    assert gen.object_records(50, seed=9) == gen.object_records(50, seed=9)
    assert gen.object_records(50, seed=9) != gen.object_records(50, seed=10)
    assert gen.colour_records(50, seed=9, noise=0.2) == gen.colour_records(50, seed=9, noise=0.2)


@pytest.mark.parametrize("kind", ["object", "colour"])
def test_generated_noise_and_malformed_shares(velkc, kind):
    if kind == "object":
        records = gen.object_records(1000, seed=3, noise=0.1, malformed=0.05)
        convert, dump, collect = velkc._object_convert, velkc._object_dump, velkc._object_collect
    else:
        records = gen.colour_records(1000, seed=3, noise=0.1, malformed=0.05)
        convert, dump, collect = velkc._color_convert, velkc._color_dump, velkc._color_collect
    changed = failed = 0
    for record in records:
        try:
            d = convert(record)
        except ValueError:
            failed += 1
            continue
        changed += collect(dump(d)) != record
    assert 25 <= failed <= 80
    assert 60 <= changed <= 140


@pytest.mark.parametrize("argv, form, levels", [
    (["--form", "save", "--levels", "3"], "save", 3),
    (["--form", "save", "--save", "state", "--levels", "2"], "save", 2),
    (["--form", "server"], "server", 1),
])
def test_generator_writes_the_games_files(tmp_path, velkc, argv, form, levels):
    out = tmp_path / "game-file"
    assert gen.main(argv + ["--count", "20", "--seed", "3", "--out", str(out)]) == 0
    assert level.detect_form(out.read_bytes()) == form
    read = level.read_file(str(out))
    assert [one.name for one in read] == ["Generated level %d" % (n + 1) for n in range(levels)]
    assert all(len(one) == 20 and isinstance(one.id, int) for one in read)


def test_generator_writes_server_data_of_one_level(capsys):
    with pytest.raises(SystemExit) as caught:
        gen.main(["--form", "server", "--levels", "2", "--count", "1", "--out", "-"])
    assert caught.value.code == 2
    assert "server data hold one level" in capsys.readouterr().err


def test_generator_command_line(tmp_path, velkc):
    out = tmp_path / "o.txt"
    assert gen.main(["--kind", "object", "--count", "300", "--seed", "5", "--noise",
                     "--out", str(out)]) == 0
    data = out.read_bytes()
    assert data.endswith(b"\n") and b"\r" not in data
    lines = data.decode().split("\n")[:-1]
    assert lines == gen.object_records(300, 5, noise=gen.NOISE_SHARE,
                                       malformed=gen.MALFORMED_SHARE)
    out = tmp_path / "c.txt"
    assert gen.main(["--kind", "colour", "--count", "10", "--seed", "5", "--out", str(out)]) == 0
    assert out.read_text().splitlines() == gen.colour_records(10, 5)


def test_bundled_samples(capsys):
    """Readable records only, some of them normalised and some changed (a
    repeated key or a dropped last field loses data, hence status 1); the
    noisy sample holds the malformed ones. The demo runs `check` on the
    export file, whose records all come back identical."""
    examples = ROOT / "examples"
    total = 0
    for name, kind, status in [("objects.txt", "object", 1), ("colours.txt", "colour", 1),
                               ("objects-noisy.txt", "object", 1)]:
        path = examples / name
        total += path.stat().st_size
        code, out, _ = run(capsys, "check", "--kind", kind, str(path))
        assert code == status, out
        assert not re.search(r"normalised: +0\n", out)
        assert not re.search(r"changed: +0\n", out)
        assert re.search(r"failed: +0\n", out) or name == "objects-noisy.txt"
    for name, status in [("level.txt", 1), ("level-encoded.txt", 0),
                         ("levels-export.xml", 0)]:
        path = examples / name
        total += path.stat().st_size
        code, out, _ = run(capsys, "check", "--json", str(path))
        assert code == status, out
        objects = report_of(out)["object"]
        assert 2500 <= objects["records"] <= 5000
        assert (objects["identical"] == objects["records"]) == (status == 0)
    for name, form, levels in [("created-levels.dat", "save", 3), ("game-state.dat", "save", 2),
                               ("level-server.txt", "server", 1)]:
        path = examples / name
        total += path.stat().st_size
        code, out, _ = run(capsys, "check", "--json", str(path))
        report = report_of(out)
        assert (code, report["form"], len(report["levels"])) == (0, form, levels)
        assert report["object"]["identical"] == report["object"]["records"] > 0
    assert total < 1000000


# levels: every form ------------------------------------------------------------------------


LEVEL = ("kS38,1_40_2_125_3_255_4_-1_6_1000|1_255_2_255_3_255_4_1_6_1004|,kA13,0;"
         "1,1,2,15,3,15;1,8,2,45.5,3,15.25,43,71.99999999999994a0.5a1a0a0,128,0.5;")


LEVEL_FORMS = ["level", "encoded", "export", "save", "server"]


def level_files(tmp_path, text=LEVEL):
    """The level `text` in every level form: {form: path}."""
    encoded = level.encode(text)
    files = {"level": text + "\n", "encoded": encoded + "\n",
             "export": gen.export_file([("My level", encoded)]),
             "save": gen.save_file([("My level", encoded)]),
             "server": gen.server_data("My level", encoded)}
    paths = {}
    for form, content in files.items():
        path = tmp_path / ("level-" + form)
        path.write_bytes(content if isinstance(content, bytes) else content.encode())
        paths[form] = str(path)
    return paths


@pytest.mark.parametrize("form", LEVEL_FORMS)
def test_check_reads_every_level_form(capsys, tmp_path, form):
    path = level_files(tmp_path)[form]
    status, out, err = run(capsys, "check", path)
    assert (status, err) == (0, "")
    assert out.startswith("%s: level 1" % path)
    assert ", header identical\n" in out
    assert "  2 object records\n    identical:  2\n" in out
    assert "  2 colour records\n    identical:  2\n" in out
    assert ('level 1 "My level" (%s)' % cli.FORM_NAMES[form] in out) == (
        form in ("export", "save", "server"))

    status, forced, _ = run(capsys, "check", "--format", form, path)
    assert (status, forced) == (0, out)


@pytest.mark.parametrize("form", LEVEL_FORMS)
def test_show_prints_colours_then_objects(capsys, tmp_path, form):
    path = level_files(tmp_path)[form]
    status, out, err = run(capsys, "show", path)
    assert (status, err) == (0, "")
    lines = shown(out)
    assert [(line["level"], line["kind"], line["index"]) for line in lines] == [
        (1, "colour", 0), (1, "colour", 1), (1, "object", 0), (1, "object", 1)]
    assert lines[0]["record"]["4"] == "PlayerColor.UNSET"
    assert lines[3]["record"] == {"1": 8, "2": 45.5, "3": 15.25, "128": "0.5",
                                  "43": "71.99999999999994a0.5a1a0a0"}
    status, out, _ = run(capsys, "show", "--limit", "3", path)
    assert [line["kind"] for line in shown(out)] == ["colour", "colour", "object"]


@pytest.mark.parametrize("form, level_name", [("encoded", ""), ("save", ' "My level"')])
def test_show_reports_the_unreadable_records_of_a_level(capsys, tmp_path, form, level_name):
    path = level_files(tmp_path, LEVEL + "1,2,51,4.0;1,3;")[form]
    status, out, err = run(capsys, "show", path)
    assert status == 1
    assert len(shown(out)) == 5
    assert err == ("%s: level 1%s: object 2: key 51: ValueError: invalid literal for int() "
                   "with base 10: '4.0'\n" % (path, level_name))


@pytest.mark.parametrize("given, forced, message", [
    ("level", "export", "not a well-formed export file: "),
    ("export", "save", "save data is not base64: "),
    ("save", "server", "server data hold the key "),
    ("encoded", "server", "server data end with the key "),
])
def test_a_wrong_forced_format_is_one_error(capsys, tmp_path, given, forced, message):
    path = level_files(tmp_path)[given]
    status, out, err = run(capsys, "check", "--format", forced, path)
    assert (status, out) == (2, "")
    assert err.startswith("velk: error: %s: %s" % (path, message))
    assert err.count("\n") == 1


def test_check_counts_honestly(capsys, tmp_path):
    objects = ["1,1,2,15",          # identical
               "1,+5,2,15.50",      # normalised: reads back to the same values
               "1,5,1,6",           # changed: a repeated key keeps its last value only
               "1,5,2,3,57",        # changed: a last key without a value is dropped
               "1,5,2,",            # failed: key 2 holds no number
               "1,5,"]              # normalised: an empty last field holds nothing
    path = level_files(tmp_path, "kS38,1_1_2_01|,kA1,0;" + "".join(o + ";" for o in objects))
    status, out, err = run(capsys, "check", "--json", path["level"])
    assert status == 1
    result = report_of(out)
    counts = {key: result["object"][key]
              for key in ("records", "identical", "normalised", "changed", "failed")}
    assert counts == {"records": 6, "identical": 1, "normalised": 2, "changed": 2, "failed": 1}
    assert {key: result["colour"][key] for key in ("records", "normalised")} == \
        {"records": 1, "normalised": 1}
    assert [(d["kind"], d["index"]) for d in result["object"]["differences"]] == \
        [("object", 1), ("object", 2), ("object", 3), ("object", 5)]
    # an error is an object that says where, not a sentence
    assert result["object"]["failures"] == [{
        "path": path["level"], "level": 1, "level_name": None, "kind": "object", "index": 4,
        "key": "2", "message": "ValueError: invalid literal for int() with base 10: ''",
        "stage": "cannot read"}]

    status, text, _ = run(capsys, "check", path["level"])
    assert "    changed:    2\n" in text
    assert ("  changed records (first 2):\n"
            "    object 2\n"
            "      original:     1,5,1,6\n"
            "      written back: 1,6\n") in text
    assert "    object 4: cannot read: key 2: ValueError: " in text


def test_a_level_with_only_normalised_records_passes(capsys, tmp_path):
    path = level_files(tmp_path, "kA1,0;1,+5;1,2,2,15.50;")["encoded"]
    status, out, _ = run(capsys, "check", path)
    assert status == 0
    assert "normalised: 2\n" in out


def test_a_header_that_loses_a_pair_is_changed(capsys, tmp_path):
    path = level_files(tmp_path, "kA1,0,kA1,1;1,1;")["level"]
    status, out, _ = run(capsys, "check", path)
    assert status == 1
    assert ", header changed\n" in out


def test_check_json_sums_the_levels_of_a_file(capsys, tmp_path):
    path = tmp_path / "two.xml"
    path.write_text(gen.export_file([("A", level.encode(LEVEL)),
                                     ("B", level.encode(LEVEL + "1,x;", "zlib"))]))
    status, out, err = run(capsys, "check", "--json", str(path))
    assert (status, err) == (1, "")
    result = report_of(out)
    assert (result["file"], result["form"], result["status"]) == (str(path), "export", 1)
    assert [(one["index"], one["name"], one["header"]) for one in result["levels"]] == \
        [(1, "A", "identical"), (2, "B", "identical")]
    assert [one["object"]["records"] for one in result["levels"]] == [2, 3]
    assert result["object"]["records"] == 5 and result["object"]["failed"] == 1
    assert result["colour"]["identical"] == 4
    for kind in ("object", "colour"):
        assert sum(one[kind]["identical"] for one in result["levels"]) == \
            result[kind]["identical"]

    status, text, _ = run(capsys, "check", str(path))
    assert '%s: level 2 "B" (export file), header identical\n' % path in text
    assert "%s: 2 levels in all\n" % path in text
    assert "  5 object records: 4 identical, 0 normalised, 0 changed, 1 failed\n" in text


def test_stats_of_a_level(capsys, tmp_path):
    path = level_files(tmp_path)["export"]
    status, out, err = run(capsys, "stats", path)
    assert (status, err) == (0, "")
    assert ('%s: level 1 "My level" (export file): 2 colour records, 2 object records, '
            'header identical\n' % path) in out
    colours, objects = out.split("\ncolour records\n")[1].split("\nobject records\n")
    assert stats_rows(colours)["4"] == (2, "PlayerColor", '"PlayerColor.UNSET"')
    rows = stats_rows(objects)
    assert rows["2"] == (2, "int 1, float 1", "15")
    assert rows["43"][:2] == (1, "HSV") and rows["128"][:2] == (1, "str")
    assert "written back: 2 identical, 0 normalised, 0 changed\n" in objects

    status, out, _ = run(capsys, "stats", "--json", path)
    result = report_of(out)
    assert result["object"]["keys"]["43"] == {
        "records": 1, "types": {"HSV": 1}, "example": "71.99999999999994a0.5a1a0a0"}
    assert result["levels"][0]["colour"]["keys"]["4"]["records"] == 2


def test_stats_json_of_a_record_file(capsys, tmp_path):
    path = write_lines(tmp_path / "r.txt", ["1,1", "1,x", "1,05"])
    status, out, _ = run(capsys, "stats", "--json", path)
    assert status == 1
    result = report_of(out)
    assert (result["form"], result["levels"]) == ("records", [])
    assert {key: result["object"][key] for key in ("records", "identical", "normalised",
                                                   "failed")} == \
        {"records": 3, "identical": 1, "normalised": 1, "failed": 1}
    assert result["colour"]["records"] == 0
    assert {key: result["object"]["failures"][0][key] for key in ("level", "kind", "index")} \
        == {"level": None, "kind": "object", "index": 2}


@pytest.mark.parametrize("command", ["show", "check"])
def test_records_of_the_wrong_kind_get_one_warning(capsys, tmp_path, command):
    path = write_lines(tmp_path / "c.txt", gen.colour_records(10, seed=1))
    status, out, err = run(capsys, command, path)
    assert err == ("velk: warning: most lines of %s give no pairs as object records; are "
                   "they colour records? (try --kind colour)\n" % path)
    assert status == (0 if command == "show" else 1)   # check: every record loses its text
    path = write_lines(tmp_path / "o.txt", gen.object_records(10, seed=1))
    status, out, err = run(capsys, "check", "--kind", "colour", path)
    assert "are they object records? (try --kind object)" in err


# hostile input: one line, status 2 --------------------------------------------------------


def _hostile(tmp_path, name):
    from test_levels import bomb

    encoded = level.encode(LEVEL)
    contents = {
        "bomb": bomb(1),
        "deflate bomb": bomb(1, "deflate"),
        "entities": '<?xml version="1.0"?><!DOCTYPE d [<!ENTITY a "aaaa"><!ENTITY b "&a;&a;">]>'
                    '<d><k>k4</k><s>&b;</s></d>',
        "truncated base64": encoded[:-3],
        "truncated data": encoded[:len(encoded) // 2],
        # whole base64 bytes: text that ends inside a byte is refused first
        "corrupt data": "H4sIAAAAAAAAA" + "z" * 39,
        "no level data": '<?xml version="1.0"?><plist><dict><k>k2</k><s>x</s></dict></plist>',
        "empty level": gen.export_file([("empty", level.encode(""))]),
        "empty level string": level.encode("\n"),
        "not utf-8": base64.urlsafe_b64encode(gzip.compress(b"kA1,\xff;")).decode(),
    }
    path = tmp_path / name.replace(" ", "-")
    path.write_text(contents[name])
    return str(path)


@pytest.mark.parametrize("name, message", [
    ("bomb", "level data decode to more than 256 MiB, the limit"),
    # raw deflate has no header to tell it by: forced with --format
    ("deflate bomb", "level data decode to more than 256 MiB, the limit"),
    ("entities", "export file refused: it declares the XML entity 'a'"),
    ("truncated base64", "level data is truncated"),
    ("truncated data", "level data is truncated: the compressed data end early"),
    ("corrupt data", "level data is corrupt: "),
    ("no level data", "no level data in the export file: no 'k4' entry"),
    ("empty level", 'level 1 "empty": the level is empty'),
    ("empty level string", "the level is empty"),
    ("not utf-8", "level data is not UTF-8 text"),
])
@pytest.mark.parametrize("command", ["show", "stats", "check"])
def test_hostile_level_data_is_one_line_and_status_2(capsys, tmp_path, name, message, command):
    path = _hostile(tmp_path, name)
    forced = ["--format", "encoded"] if name == "deflate bomb" else []
    status, out, err = run(capsys, command, path, *forced)
    assert status == 2
    # show prints the records it could read before the data went wrong
    assert out == "" or command == "show"
    assert err.startswith("velk: error: %s: " % path)
    assert message in err
    assert err.count("\n") == 1


def test_max_size_bounds_decoded_data(capsys, tmp_path):
    paths = level_files(tmp_path, "kA1,0;" + "1,1;" * 300)
    status, _, err = run(capsys, "check", "--max-size", "1K", paths["encoded"])
    assert (status, err.strip()) == (
        2, "velk: error: %s: level 1: level data decode to more than 1 KiB, the limit "
        "(--max-size)" % paths["encoded"])
    assert run(capsys, "check", "--max-size", "2k", paths["encoded"])[0] == 0
    assert run(capsys, "check", "--max-size", "1MiB", paths["export"])[0] == 0


@pytest.mark.parametrize("argv, message", [
    (["check", "F", "--max-size", "0"], "invalid size '0'"),
    (["check", "F", "--max-size", "lots"], "invalid size 'lots'"),
    (["check", "F", "--format", "zip"], "invalid choice: 'zip'"),
    (["show", "F", "--json"], "unrecognized arguments: --json"),
])
def test_wrong_level_options_exit_2(capsys, tmp_path, argv, message):
    test_wrong_usage_exits_2(capsys, tmp_path, argv, message)


def test_version(capsys):
    import velk

    status, out, _ = run(capsys, "--version")
    assert status == 0
    assert re.fullmatch(r"velk \d+\.\d+\.\d+\S*\n", out)
    assert out.split()[1] in (velk.__version__, metadata.version("velk"))


class Terminal(io.StringIO):
    def isatty(self):
        return True


@pytest.mark.parametrize("quiet, stream, shown_bar", [
    ([], Terminal, True), (["--quiet"], Terminal, False), ([], io.StringIO, False)])
def test_progress_only_on_a_terminal_without_quiet(tmp_path, quiet, stream, shown_bar):
    path = level_files(tmp_path)["encoded"]
    args = cli._parser().parse_args(["check", path] + quiet)
    err = stream()
    progress = cli.Progress(args, err)
    assert (progress.bar is not None) == shown_bar
    progress.expect(100)
    progress.update(60)
    progress.close()
    progress.close()


def test_progress_hears_every_byte_read(tmp_path):
    path = level_files(tmp_path, gen.level_string(300, seed=2))["export"]
    counted = []
    level.read_file(path)
    from velk.survey import survey_file

    report = survey_file(path, on_read=counted.append)
    assert sum(counted) == report.size == os.path.getsize(path)
    assert report.totals["object"].identical == 300


# the generator's levels ------------------------------------------------------------------------


def test_generator_help_runs(capsys):
    with pytest.raises(SystemExit) as excinfo:
        gen.main(["--help"])
    assert excinfo.value.code == 0
    assert "spell 5% of the records" in capsys.readouterr().out


def test_generated_levels_hold_the_real_value_forms():
    text = gen.level_string(400, seed=7)
    assert text == gen.level_string(400, seed=7) != gen.level_string(400, seed=8)
    read = level.read_level(text)
    assert level.write_level(read) == text
    assert len(read.colours) == 11
    assert sum(colour["4"].value == -1 for colour in read.colours) >= 5
    hsvs = [record["43"] for record in read.objects if "43" in record]
    assert len(hsvs) > 200 and any(isinstance(hsv.hue, float) for hsv in hsvs)
    assert any(isinstance(record["2"], float) for record in read.objects)
    assert any("128" in record for record in read.objects)
    guidelines = Guidelines.from_string(read.header[gen.GUIDELINES_KEY])
    assert guidelines.dump() == read.header[gen.GUIDELINES_KEY] and len(guidelines) == 6


def test_generated_level_noise_and_malformed_objects():
    read_ok = failed = 0
    for text in level.split_level(gen.level_string(1000, seed=2, noise=0.1,
                                                   malformed=0.05)).objects:
        try:
            level.RecordCodec("object").read(text)
            read_ok += 1
        except ValueError:
            failed += 1
    assert 25 <= failed <= 80 and read_ok + failed == 1000


@pytest.mark.parametrize("form, compression", [
    ("level", "gzip"), ("encoded", "gzip"), ("encoded", "deflate"), ("export", "zlib")])
def test_generator_writes_every_level_form(tmp_path, form, compression):
    out = tmp_path / "level"
    argv = ["--form", form, "--count", "50", "--seed", "3", "--colours", "4",
            "--compression", compression, "--out", str(out)]
    if form == "export":
        argv += ["--levels", "2"]
    assert gen.main(argv) == 0
    levels = level.read_file(str(out))
    assert [len(one.objects) for one in levels] == [50] * (2 if form == "export" else 1)
    assert levels[0].objects == level.read_level(gen.level_string(50, 3, colours=4)).objects
    assert [len(one.colours) for one in levels] == [4] * len(levels)


@pytest.mark.parametrize("argv, message", [
    (["--colours", "17"], "--colours must be from 0 to 16"),
    (["--levels", "0"], "--levels must be 1 or more"),
])
def test_generator_refuses_bad_level_options(capsys, argv, message):
    with pytest.raises(SystemExit):
        gen.main(["--form", "export", "--count", "1", "--out", "-"] + argv)
    assert message in capsys.readouterr().err
