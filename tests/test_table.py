"""`velk table` and velk.archive as JSON lines, which need no extra: the
same bytes for any number of processes, rows that read back to what
velk.level reads, failures that say where, and a folder written whole."""
import gc
import io
import os
import sys
from concurrent.futures.process import BrokenProcessPool

import pytest

from velk import level
from velk.archive import Task, record_of, write_table
from velk.archive.pool import ordered_map
from velk.archive.rows import ObjectRows
from velk.archive.tasks import file_levels, task_levels

from archives import WIDE_LEVEL, folder_bytes, jsonl_rows, make_archive, velk_records
from support import run


@pytest.fixture(scope="module")
def archive(tmp_path_factory):
    return make_archive(tmp_path_factory.mktemp("archive"))


def table(capsys, archive, out, *options):
    return run(capsys, "table", archive, "-o", str(out), "--output-format", "jsonl",
               "--task-size", "32K", *options)


def test_the_same_bytes_for_one_process_and_for_two(capsys, archive, tmp_path):
    one = table(capsys, archive, tmp_path / "one", "--jobs", "1")
    two = table(capsys, archive, tmp_path / "two", "--jobs", "2")
    assert one[0] == two[0] == 2       # broken files in the archive
    named = str(tmp_path / "one"), str(tmp_path / "two")
    assert one[1].replace(*named) == two[1]
    assert one[2].replace(*named) == two[2]
    written = folder_bytes(str(tmp_path / "one"))
    assert len(written) > 3 * 4        # several parts of each table
    assert written == folder_bytes(str(tmp_path / "two"))


def test_rows_read_back_to_the_records_velk_reads(capsys, archive, tmp_path):
    table(capsys, archive, tmp_path / "t", "--jobs", "2")
    rows = jsonl_rows(str(tmp_path / "t"), "objects")
    in_levels = {(row["file"], row["level"], row["index"]): record_of(row)
                 for row in rows if row["level"] is not None}
    # Files that break off keep the levels read before the break.
    assert in_levels == velk_records(archive)
    wide = [row for row in rows if row["file"].endswith("wide.txt")]
    assert [row["object_id"] for row in wide] == [None, 4, 5]
    assert wide[0]["properties"]["1"] == "99999999999999999999"
    assert wide[0]["x"] is None and wide[0]["properties"]["2"] == "9007199254740993"
    assert wide[0]["groups"] is None and wide[1]["groups"] == []
    # The text as the file holds it: an infinity velk would not write.
    assert wide[1]["y"] == 1e300 and wide[2]["properties"]["6"] == "1.0e999"


def test_every_failure_is_a_row_that_says_where(capsys, archive, tmp_path):
    status, out, err = table(capsys, archive, tmp_path / "t")
    failures = jsonl_rows(str(tmp_path / "t"), "failures")
    by_file = {}
    for row in failures:
        by_file.setdefault(os.path.basename(row["file"]), []).append(row)
    assert by_file["empty.txt"] == [{"file": os.path.join(archive, "broken", "empty.txt"),
                                     "level": None, "level_name": None, "kind": None,
                                     "index": None, "key": None,
                                     "message": "not a form velk reads: it is empty"}]
    assert by_file["truncated.txt"][0]["level"] == 1
    assert by_file["cut-short.xml"][-1]["message"].startswith("not a well-formed export file")
    objects = by_file["objects.txt"]
    assert objects and all(row["kind"] == "object" and row["level"] is None for row in objects)
    assert "%s failures" % format(len(failures), ",") in out
    assert err.count("velk: left out: ") == 10 and "more in %s" % (tmp_path / "t") in err
    levels = jsonl_rows(str(tmp_path / "t"), "levels")
    assert sum(row["failed_records"] for row in levels) == len(
        [row for row in failures if row["kind"] == "object" and row["level"] is not None])


@pytest.mark.parametrize("text, status", [
    ("kA13,0;1,1,2,15;", 0),
    ("kA13,0;1,1;1,x;", 1),
    ("\x89PNG\r\n\x1a\n\x00", 2),
])
def test_the_exit_status_says_what_failed(capsys, tmp_path, text, status):
    source = tmp_path / "in"
    source.mkdir()
    (source / "level.txt").write_bytes(text.encode("latin-1"))
    assert table(capsys, str(source), tmp_path / "t")[0] == status


def test_a_large_file_cut_into_parts_gives_the_rows_of_the_whole(capsys, tmp_path):
    export = tmp_path / "many.xml"
    export.write_text(level_export(30))
    whole = table(capsys, str(export), tmp_path / "whole")
    cut = table(capsys, str(export), tmp_path / "cut", "--task-size", "4K", "--jobs", "2")
    assert whole[0] == cut[0] == 0
    assert len(os.listdir(str(tmp_path / "cut" / "objects"))) > 3
    for name in ("objects", "levels"):
        assert jsonl_rows(str(tmp_path / "cut"), name) == jsonl_rows(str(tmp_path / "whole"), name)
    assert [row["level"] for row in jsonl_rows(str(tmp_path / "cut"), "levels")] == list(
        range(1, 31))


def level_export(count):
    from archives import gen

    return gen.export_file([("Level %d" % index, gen.encoded_level(20, index))
                            for index in range(count)])


def test_an_existing_folder_is_kept_unless_replaced(capsys, tmp_path):
    source = tmp_path / "level.txt"
    source.write_text("kA13,0;1,1,2,15;")
    out = tmp_path / "t"
    out.mkdir()
    (out / "mine").write_text("keep")
    status, _, err = table(capsys, str(source), out)
    assert status == 2 and err == "velk: error: %s exists (give --replace to replace it)\n" % out
    assert (out / "mine").read_text() == "keep"
    assert table(capsys, str(source), out, "--replace")[0] == 0
    assert sorted(os.listdir(str(out))) == ["failures", "levels", "objects"]
    assert [name for name in os.listdir(str(tmp_path)) if name.startswith(".")] == []


def test_a_folder_that_cannot_be_written_is_one_line(capsys, tmp_path):
    source = tmp_path / "level.txt"
    source.write_text("kA13,0;1,1,2,15;")
    (tmp_path / "file").write_text("")
    status, out, err = table(capsys, str(source), tmp_path / "file" / "t")
    assert (status, out) == (2, "")
    assert err.startswith("velk: error: writing %s: " % (tmp_path / "file" / "t"))
    assert len(err.splitlines()) == 1


def test_standard_input_is_read_beside_files_in_worker_processes(capsys, tmp_path,
                                                                 monkeypatch):
    source = tmp_path / "level.txt"
    source.write_text("kA13,0;1,1,2,15;")
    monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(b"kA13,0;1,7;1,8;")))
    status, out, _ = run(capsys, "table", str(source), "-", str(source), "-o",
                         str(tmp_path / "t"), "--output-format", "jsonl", "--jobs", "2")
    assert status == 0
    rows = jsonl_rows(str(tmp_path / "t"), "objects")
    assert [(row["file"], row["object_id"]) for row in rows] == [
        (str(source), 1), ("<stdin>", 7), ("<stdin>", 8), (str(source), 1)]


def test_a_workers_error_reaches_the_caller_with_its_location(tmp_path):
    good, broken = tmp_path / "good.txt", tmp_path / "broken.txt"
    good.write_text("kA13,0;1,1;")
    broken.write_text("kA13,0;1,1;1,x;")
    tasks = [Task(0, [str(good)]), Task(1, [str(broken)])]
    with pytest.raises(level.RecordError) as caught:
        list(ordered_map(task_levels, tasks, None, jobs=2))
    assert (caught.value.path, caught.value.level, caught.value.index) == (str(broken), 1, 1)


def _die(task, argument):
    os._exit(3)


def test_a_worker_that_dies_ends_the_run_without_hanging(tmp_path):
    tasks = [Task(number, [str(tmp_path / name)]) for number, name in enumerate("ab")]
    with pytest.raises(BrokenProcessPool):
        list(ordered_map(_die, tasks, None, jobs=2))


def test_the_api_writes_the_same_folder_and_sums(tmp_path, archive):
    done = write_table([archive], str(tmp_path / "api"), format="jsonl", jobs=1,
                       task_bytes=32 << 10)
    assert (done.files, done.status) == (len(level.find_inputs([archive])), 2)
    assert done.objects == len(jsonl_rows(str(tmp_path / "api"), "objects"))
    assert done.levels == len(jsonl_rows(str(tmp_path / "api"), "levels"))
    assert done.failures == len(jsonl_rows(str(tmp_path / "api"), "failures"))


def test_file_levels_are_those_read_file_reads(archive):
    path = os.path.join(archive, "wide", "wide.txt")
    ((name, index, found),) = file_levels(path)
    assert (name, index, found) == (path, 1, level.read_level(WIDE_LEVEL))
    assert file_levels(os.path.join(archive, "records", "objects.txt"), keep_going=True) == []


def test_rows_gathered_from_several_levels_keep_their_properties():
    records = [{"1": n, "150": str(n)} for n in range(5)]
    rows = ObjectRows()
    for first, end in ((0, 2), (2, 2), (2, 5)):
        more = ObjectRows()
        more.add(("f", first, None, None, None),
                 [(n, "1,%d,150,%d" % (n, n), records[n]) for n in range(first, end)])
        rows.extend(more)
    assert [record_of(row) for row in rows.dicts()] == records
    assert len(rows) == 5 and rows.offsets == [0, 1, 2, 3, 4, 5]


def test_records_passed_over_leave_no_cycles_for_the_collector():
    # A kept error that held the error handled would hold the frames of
    # the batch read, and the records, until the collector came by.
    text = "kA13,0;1,1;1,x;1,3;"
    gc.collect()
    read = level.read_level(text, keep_going=True)
    del read
    assert gc.collect() == 0


@pytest.mark.parametrize("options, message", [
    (["--jobs", "0"], "argument --jobs/-j: invalid number of jobs '0' (1 or more)"),
    (["--row-group", "x"], "argument --row-group: invalid number of rows 'x' (1 or more)"),
    (["--output-format", "csv"], "argument --output-format: invalid choice: 'csv'"),
])
def test_wrong_usage_exits_2_with_one_line(capsys, tmp_path, options, message):
    status, out, err = run(capsys, "table", str(tmp_path), "-o", str(tmp_path / "t"), *options)
    assert (status, out) == (2, "")
    assert message in err and "Traceback" not in err


def test_parquet_without_pyarrow_is_one_line(capsys, tmp_path):
    try:
        import pyarrow  # noqa: F401
    except ImportError:
        pass
    else:
        pytest.skip("pyarrow is installed")
    status, out, err = run(capsys, "table", str(tmp_path), "-o", str(tmp_path / "t"),
                           "--output-format", "parquet")
    assert (status, out) == (2, "")
    assert err == ("velk: error: Parquet needs pyarrow: pip install 'velk[table]' "
                   "(or --output-format jsonl)\n")
    assert not (tmp_path / "t").exists()


def test_the_summary_in_json_is_the_same_for_any_number_of_processes(capsys, archive,
                                                                     tmp_path):
    import json

    found = []
    for jobs in ("1", "2"):
        status, out, _ = table(capsys, archive, tmp_path / jobs, "--jobs", jobs, "--json")
        summary = json.loads(out)
        assert summary.pop("output") == str(tmp_path / jobs)
        found.append((status, summary))
    assert found[0] == found[1]
    status, summary = found[0]
    assert summary["status"] == status == 2
    assert len(summary["first_failures"]) == 10
    assert set(summary["first_failures"][0]) == {"path", "level", "level_name", "kind", "index",
                                                 "key", "message"}
