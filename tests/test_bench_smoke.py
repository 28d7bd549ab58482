"""The benchmark script, run on tiny inputs so that it cannot rot: every
workload builds, the module and the model agree on it, every candidate runs,
and the table and the memory report print. Nothing here looks at a time."""
import gc
import io
import os
import sys

import pytest

BENCHMARKS = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                          "benchmarks")

LEVEL = 12
XOR = 64
OBJECTS = 40
GROUPED = 30


@pytest.fixture(scope="module")
def bench():
    sys.path.insert(0, BENCHMARKS)
    try:
        import bench
    finally:
        sys.path.remove(BENCHMARKS)
    return bench


@pytest.fixture(scope="module")
def found(bench):
    # Building the workloads compares the module with the model on each.
    return {workload.name: workload
            for workload in bench.workloads(LEVEL, XOR, level_objects=OBJECTS,
                                            grouped_objects=GROUPED)}


def test_every_row_is_there(found):
    expected = {
        "_object_convert typical", "_object_dump typical", "_object_collect typical",
        "_object_convert rich", "_object_convert long (1,000 pairs)", "_color_convert typical",
        '_convert(s, ",") typical', '_convert(s, ",", func) typical',
        "level 12 records parse", "level 12 records parse, gc on",
        "level 12 records dump+collect",
        "byte_xor 64 B ASCII", "byte_xor 64 B non-ASCII UTF-8", "byte_xor 64 B random bytes",
        "level 40 objects load", "level 40 objects read, decoded already",
        "level 40 objects save",
        "grouped level 30 objects load, gc on", "grouped level 30 objects save, gc on",
    }
    assert set(found) == expected


def test_every_candidate_runs(found):
    for name, workload in found.items():
        results = workload.run_once()
        assert set(results) >= {"module", "model"}, name
        assert workload.check() is not None, name


@pytest.mark.parametrize("name, same_as", [
    ('_convert(s, ",") typical', "module"),
    ("_object_collect typical", "module"),
    ("byte_xor 64 B ASCII", "module"),
    ("byte_xor 64 B non-ASCII UTF-8", "module"),
    ("byte_xor 64 B random bytes", "module"),
    ("level 12 records dump+collect", "module"),
    ("level 40 objects save", "module"),
    ("grouped level 30 objects save, gc on", "module"),
])
def test_floor_does_the_same_untyped_work(found, name, same_as):
    # Where the work has no typing at all, the floor's answer is the module's:
    # the floor stands for the same work, not for something easier.
    results = found[name].run_once()
    assert results["floor"] == results[same_as]


def test_parse_floors_split_the_same_pairs(found):
    for name in ("_object_convert typical", "_color_convert typical",
                 "_object_convert long (1,000 pairs)", "level 12 records parse"):
        results = found[name].run_once()
        floor, module = results["floor"], results["module"]
        if isinstance(module, dict):
            floor, module = [floor], [module]
        assert [list(d) for d in floor] == [list(d) for d in module], name


@pytest.mark.parametrize("got, expected", [
    (True, 1),
    (1, 1.0),
    ({"1": 1, "2": 2}, {"2": 2, "1": 1}),
    ({"57": {1, 2}}, {"57": {1, 2.0}}),
    ({"4": True}, {"4": 1}),
    ([{"1": "a"}], [{"1": "b"}]),
    ("1,2", "1,2,"),
])
def test_check_refuses_a_wrong_answer(bench, got, expected):
    workload = bench.Workload("disagreeing", bench.Candidate("x", x=got),
                              bench.Candidate("x", x=expected))
    with pytest.raises(AssertionError, match="disagreeing"):
        workload.check()


@pytest.mark.parametrize("value", [
    {"1": 1, "4": True, "3": 1.5, "57": {3, 1}, "18": "x"},
    [{"1": 2}, {}],
    "1,2",
])
def test_check_accepts_an_equal_answer(bench, value):
    copy = eval(repr(value))
    bench.Workload("agreeing", bench.Candidate("x", x=value), bench.Candidate("x", x=copy)).check()


def test_table_prints_every_row(bench, found):
    out = io.StringIO()
    # One repeat of a tiny batch: this exercises the timing and the table,
    # not the machine.
    figures = bench.run(list(found.values()), batch=1e-5, repeats=1, least_repeats=1,
                        budget=0.0, out=out)
    text = out.getvalue()
    for name in found:
        assert name in text
    assert "module/floor" in text and "targets missed:" in text
    for figure in figures:
        assert all(len(times) == 1 and times[0] > 0 for times in figure.times.values())


def test_memory_report(bench):
    records = bench.level_records(LEVEL)
    text = bench.memory_table(records)
    assert "parse and keep 12 records" in text
    for label in ("module", "model", "floor"):
        assert "\n" + label in text


def test_main_quick(bench, capsys):
    assert bench.main(["--quick", "--level-size", str(LEVEL), "--xor-size", str(XOR),
                       "--level-objects", str(OBJECTS), "--save-objects", str(SAVE),
                       "--grouped-objects", str(GROUPED)]) == 0
    out = capsys.readouterr().out
    assert "targets missed:" in out and "parse and keep 12 records" in out
    assert "load a level of 40 objects" in out and "target: module peak <= 2.0x" in out
    assert "a save of 50 objects (5 levels" in out
    assert "load a grouped level of 30 objects" in out


SAVE = 50


def test_save_rows_print_time_and_memory_of_both_sides(bench):
    text = bench.save_table(SAVE, repeats=1)
    rows = text.splitlines()
    assert all(column in rows[0] for column in ("velk/floor", "velk peak", "floor peak"))
    assert rows[2].startswith("read every level")
    assert rows[3].startswith("add one level of 10 objects, verified")
    assert all(row.count("MiB") == 2 for row in rows[2:])


@pytest.mark.parametrize("spoil, message", [
    (lambda levels: levels[:-1], "save read"),
    (lambda levels: [(header, colours, objects[1:]) for header, colours, objects in levels],
     "save read"),
])
def test_save_rows_refuse_a_floor_that_does_other_work(bench, monkeypatch, spoil, message):
    floor = bench.read_save_floor
    monkeypatch.setattr(bench, "read_save_floor", lambda data: spoil(floor(data)))
    with pytest.raises(AssertionError, match=message):
        bench.save_table(SAVE, repeats=1)


def test_the_floor_adds_the_level_velk_adds(bench, tmp_path):
    data, added = bench.save_data(SAVE)
    (level,) = bench.velk_level.read_file(io.BytesIO(added))
    copy = bench.SaveCopy(data)
    try:
        assert bench.add_floor(copy, added) == 6
        assert [lv.name for lv in bench.velk_level.read_file(copy.path)] == [
            "Added"] + ["Level %d" % number for number in range(1, 6)]
        assert bench.velk_level.read_file(copy.path)[0].objects == level.objects
    finally:
        copy.close()


def test_steps_of_loading_the_grouped_level(bench, capsys):
    assert bench.main(["--steps", "--quick", "--grouped-objects", str(GROUPED)]) == 0
    out = capsys.readouterr().out
    for step in ("decode", "split", "gc on", "gc off", "load_level", "pause_during_reads",
                 "untyped floor", "pure-Python model", "model / load_level"):
        assert step in out, step


def test_steps_leave_the_collector_as_they_found_it(bench):
    for enabled in (False, True):
        (gc.enable if enabled else gc.disable)()
        bench.least_time(len, "text", 2, gc_on=not enabled)
        assert gc.isenabled() is enabled


def test_level_rows_load_and_save_the_same_level(bench, found):
    # The model and the floor run the same steps as the module around their
    # own record codecs: the same header and record texts, the same data.
    load = found["level 40 objects load"].run_once()
    module_header, module_colours, module_objects = load["module"]
    floor_header, floor_colours, floor_objects = load["floor"]
    assert floor_header == module_header
    assert [list(d) for d in floor_objects] == [list(d) for d in module_objects]
    assert [list(d) for d in floor_colours] == [list(d) for d in module_colours]
    text, encoded = bench.level_data(OBJECTS)
    assert bench.velk_level.decode(found["level 40 objects save"].run_once()["module"]) == text


def test_several_targets_of_a_row_each_count(bench):
    workload = bench.Workload("both", bench.Candidate("1"), bench.Candidate("1"),
                              bench.Candidate("1"),
                              (bench.Target("floor", 1.5), bench.Target("model", 5)))
    figures = bench.Figures(workload, {"module": [1.0], "model": [3.0], "floor": [1.0]}, 1)
    assert [target.met(figures) for target in workload.targets] == [True, False]
    row = bench.table([figures]).splitlines()[-1]
    assert "<= 1.5x floor, >= 5x model" in row and "yes, NO" in row
