"""The commands behave like the tools users know: several files in one
run with a total and the worst exit status, help that ends with examples
and exit statuses, errors of writing that say so, and a bare `make` that
lists the targets."""
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from velk import cli, level
from support import run

ROOT = Path(__file__).resolve().parent.parent
EXAMPLES = ROOT / "examples"
COMMANDS = ("show", "stats", "check", "list", "export", "import")


def run_module(argv, stdout=subprocess.PIPE):
    import velk

    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        [os.path.dirname(os.path.dirname(os.path.abspath(velk.__file__)))]
        + ([env["PYTHONPATH"]] if env.get("PYTHONPATH") else []))
    return subprocess.run([sys.executable, "-m", "velk"] + argv, stdout=stdout,
                          stderr=subprocess.PIPE, env=env, timeout=120,
                          universal_newlines=True)


@pytest.fixture
def mixed(tmp_path):
    """A file that passes, one with changed and failing records, one that
    is no form velk reads."""
    good = tmp_path / "good.txt"
    good.write_text(level.write_level(level.read_level("kA13,0;1,1,2,15;")) + "\n")
    binary = tmp_path / "photo.png"
    binary.write_bytes(b"\x89PNG\r\n\x1a\n\x00\x00")
    return [good, EXAMPLES / "level.txt", binary]


@pytest.mark.parametrize("command", ["check", "stats"])
def test_several_files_give_each_report_then_a_total(capsys, mixed, command):
    status, out, err = run(capsys, command, *mixed)
    assert status == 2
    assert err == "velk: error: %s: not a form velk reads: it looks like binary data\n" \
        % mixed[2]
    total = out[out.rindex("\ntotal of "):]
    assert total == (
        "\ntotal of 3 files: 2 levels; could not be read: 1 file\n"
        "  3001 object records: 2861 identical, 87 normalised, 48 changed, 5 failed\n"
        "  11 colour records: 11 identical, 0 normalised, 0 changed, 0 failed\n")
    # each file alone gives its own report, as it is within the run
    alone = [run(capsys, command, path)[1] for path in mixed[:2]]
    assert out.startswith("".join(alone))


@pytest.mark.parametrize("files, status", [([0], 0), ([0, 1], 1), ([1, 0], 1), ([0, 2], 2),
                                           ([2, 1, 0], 2)])
def test_the_exit_status_of_a_run_is_the_worst_of_its_files(capsys, mixed, files, status):
    for command in ("check", "show"):
        assert run(capsys, command, *[mixed[index] for index in files])[0] == status


def test_show_of_several_files_totals_on_standard_error(capsys, mixed):
    status, out, err = run(capsys, "show", "--limit", "2", *mixed)
    assert status == 2 and len(out.splitlines()) == 3
    assert err.splitlines()[-1] == "velk: total of 3 files: 3 records shown, 0 that cannot be read"
    assert run(capsys, "show", mixed[0])[2] == ""


@pytest.mark.parametrize("command", COMMANDS)
def test_help_ends_with_examples_and_exit_statuses(capsys, command):
    with pytest.raises(SystemExit) as exited:
        cli._parser().parse_args([command, "--help"])
    assert exited.value.code == 0
    out = capsys.readouterr().out
    examples, statuses = out.split("\nexamples:\n")[1].split("\nexit status:\n")
    examples = examples.rstrip("\n").splitlines()
    assert 2 <= len(examples) <= 3
    assert all(line.startswith("  velk %s " % command) for line in examples)
    assert [line.split()[0] for line in statuses.splitlines() if line[2:3] != " "] == \
        ["0", "1", "2", "130"]
    assert max(map(len, out.splitlines())) <= 100


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="no /dev/full here")
@pytest.mark.parametrize("argv", [["show", str(EXAMPLES / "levels-export.xml")],
                                  ["check", str(EXAMPLES / "level.txt")],
                                  ["stats", "--json", str(EXAMPLES / "objects.txt")]])
def test_output_that_cannot_be_written_says_writing(argv):
    with open("/dev/full", "w") as full:
        proc = run_module(argv, stdout=full)
    assert proc.returncode == 2
    assert proc.stderr == "velk: error: writing standard output: No space left on device\n"


def test_a_level_that_cannot_be_written_out_says_writing(capsys, tmp_path):
    target = tmp_path / "no-such-folder" / "out.xml"
    status, out, err = run(capsys, "export", EXAMPLES / "levels-export.xml", "--level", "1",
                           "-o", target)
    assert (status, out) == (2, "")
    assert err == "velk: error: writing %s: No such file or directory\n" % target


@pytest.mark.parametrize("command", ["show", "stats", "check"])
def test_a_native_module_that_does_not_load_is_one_line(command):
    import velk

    code = ("import sys; sys.modules['velk._velkc'] = None; from velk.cli import main; "
            "sys.exit(main([%r, %r]))" % (command, str(EXAMPLES / "objects.txt")))
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(velk.__file__)))
    proc = subprocess.run([sys.executable, "-c", code], stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, universal_newlines=True, env=env, timeout=120)
    assert (proc.returncode, proc.stdout) == (2, "")
    assert proc.stderr.startswith("velk: error: cannot load the native module: ")
    assert proc.stderr.count("\n") == 1


@pytest.mark.skipif(shutil.which("make") is None, reason="no make here")
def test_a_bare_make_lists_the_targets():
    # make itself is no part of what the sanitizer suite checks: without the
    # runtime that tools/asan.sh preloads into every process, whose strict
    # string checks report make's own reads.
    env = {name: value for name, value in os.environ.items() if name != "LD_PRELOAD"}

    def make(*argv):
        return subprocess.run(["make", "--no-print-directory", "-s"] + list(argv), cwd=str(ROOT),
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              universal_newlines=True, timeout=60, env=env)

    bare, helped = make(), make("help")
    assert bare.returncode == helped.returncode == 0, bare.stderr
    assert bare.stdout == helped.stdout
    rows = [re.match(r"  ([a-z][a-z0-9-]*) +(\S.*)$", line) for line in bare.stdout.splitlines()]
    assert all(rows), bare.stdout
    targets = [row.group(1) for row in rows]
    makefile = (ROOT / "Makefile").read_text()
    for target in ("help", "test", "test-lowest", "typecheck", "demo", "bench", "wheels"):
        assert target in targets
    assert set(targets) <= set(re.findall(r"^([a-z][a-z0-9-]*):", makefile, re.M))


@pytest.mark.parametrize("as_json", [False, True])
def test_one_file_is_surveyed_by_itself_into_a_picklable_summary(as_json):
    # What a worker process would do for a later --jobs: survey one file
    # into its own output, and hand back a summary the run merges.
    import io
    import json
    import pickle

    from velk.commands import report

    options = pickle.loads(pickle.dumps(report.Options("check", json=as_json)))
    out = io.StringIO()
    done = pickle.loads(pickle.dumps(report.survey_path(options, str(EXAMPLES / "level.txt"),
                                                        out)))
    assert (done.status, done.read, done.levels, done.counts["object"]["failed"]) == \
        (1, True, 1, 5)
    if as_json:
        assert json.loads(out.getvalue())["file"] == str(EXAMPLES / "level.txt")
    else:
        assert out.getvalue().startswith("%s: level 1 (level string)" % (EXAMPLES / "level.txt"))
    missing = report.survey_path(options, "no-such-file", io.StringIO())
    assert (missing.status, missing.read, missing.messages) == (
        2, False, ["velk: error: cannot open no-such-file: No such file or directory\n"])
