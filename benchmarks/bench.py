"""Benchmarks of the native record codec `velk._velkc`.

Every workload is timed three ways:

- the module itself;
- the pure-Python model of the module (tests/model.py), which gives the same
  answers and is what the module is meant to beat by a wide margin;
- a floor: CPython's own builtins doing the untyped part of the same work
  (splitting and pairing a record into a dict of strings, joining a dict of
  plain values, decoding a buffer of the same size). A native codec that
  types every value cannot do much better than this; a ratio module/floor
  near 1 means the typing comes almost for free.

The end-to-end rows take a level as users have it: encoded level data of
90,000 objects shaped as saved levels have them (most with an HSV, decimal
coordinates, keys beyond the codec's tables). "load" decodes, decompresses,
splits and reads it into typed values (velk.level.load_level); "save" dumps,
joins, compresses and encodes it again (velk.level.save_level). The model
runs the same steps with tests/model.py's functions for the native ones; the
floor runs the same decoding and encoding around untyped records
(dict(zip(it, it)) per object on loading, joining plain values on saving).
The "grouped level" rows do the same on a level of 147,000 objects shaped
like a large editor build (nearly every object in a group, a third with an
HSV value), with the garbage collector on while timing, as a program that
loads a level runs: those records are what the collector would walk.

The save rows take the game's save of created levels: five levels of
150,000 objects in all (30,000 with --quick). "read" reads every level of
it into typed values (velk.level.read_file); its floor decodes the same
save with the standard library alone (XOR, base64, zlib, xml.etree, then
each level's data by base64 and zlib) and splits the records into untyped
dicts. "add" adds one level of the same size to it (velk.level.add_levels:
the new save written beside the old one, read back and verified, the old
one kept as a backup, then renamed into place); its floor decodes the save
with the standard library, inserts the level's element with xml.etree,
encodes it again and writes it in place (written, synced, renamed), with no
verification and no backup. Both rows are timed with the garbage collector
on, as the commands run, and show the peak memory of each side too,
measured apart from the timing.

Runs are interleaved (module, model, floor, module, ...) and each figure is
the median of many repeats, each repeat timing a batch of calls with
time.perf_counter, so that the ratios hold on a small, noisy machine. The
garbage collector is off while a batch runs (as timeit does), except in the
rows that say "gc on".

Before anything is timed, the module's and the model's results are compared,
types included, so that no figure is the time of a wrong answer.

Usage:
    python benchmarks/bench.py            # full run, under about three minutes
    python benchmarks/bench.py --quick    # smoke run, well under half a minute
    python benchmarks/bench.py --steps    # where loading the grouped level spends its time

It runs against whichever `velk` is importable: an installed package, or the
checkout with PYTHONPATH pointing at it (in-place build).
"""
import argparse
import base64
import functools
import gc
import glob
import io
import os
import platform
import random
import shutil
import statistics
import sys
import tempfile
import time
import timeit
import tracemalloc
import types
import zlib
from itertools import chain
from xml.etree import ElementTree

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# Size of the level (number of object records) and of the byte_xor buffers.
LEVEL_SIZE = 50000
# Objects of the level of the end-to-end rows, and the bound of its peak
# memory on loading, against the floor's.
LEVEL_OBJECTS = 90000
LEVEL_MEMORY_TARGET = 2.0
# Objects of the grouped level; a quick run takes a tenth of it.
GROUPED_OBJECTS = 147000
# Calls of each step of --steps; the least time is shown.
STEP_RUNS = 5
XOR_SIZE = 1 << 20
SEED = 20240607
# Objects of the save of the save rows, in all, and over how many levels;
# the save of a --quick run is smaller.
SAVE_OBJECTS = 150000
SAVE_OBJECTS_QUICK = 30000
SAVE_LEVELS = 5
# Timed runs of each side of a save row (interleaved), full and --quick.
SAVE_REPEATS = {"full": 5, "quick": 1}

# The key of saved game data, and the one the byte_xor rows use.
XOR_KEY = 11


# Loading ------------------------------------------------------------------------


def _import_native():
    try:
        import velk._velkc as native
    except ImportError:
        # A checkout with an in-place build, run without PYTHONPATH.
        if ROOT in sys.path:
            raise
        sys.path.append(ROOT)
        import velk._velkc as native
    return native


def _load_file(name, relative_path):
    """Import a Python file of the checkout by its path, under `name`."""
    module = sys.modules.get(name)
    if module is not None:
        return module
    path = os.path.join(ROOT, relative_path)
    module = types.ModuleType(name)
    module.__file__ = path
    sys.modules[name] = module
    try:
        with open(path, encoding="utf-8") as source:
            code = compile(source.read(), path, "exec")
        exec(code, module.__dict__)
    except BaseException:
        del sys.modules[name]
        raise
    return module


native = _import_native()
from velk import level as velk_level  # noqa: E402 (after the import path is settled)
from velk.level.data import iter_decode  # noqa: E402
from velk.level.text import join_header, join_level, split_level  # noqa: E402

model = _load_file("_velk_bench_model", os.path.join("tests", "model.py"))
generator = _load_file("_velk_bench_generate_records",
                       os.path.join("tools", "generate_records.py"))


# Results compared with their types ------------------------------------------------


def same(a, b):
    """True when `a` and `b` are equal values of equal types, dicts in the
    same order: True and 1, or 1 and 1.0, differ here."""
    kind = type(a)
    if kind is not type(b):
        return False
    if kind is dict:
        if len(a) != len(b):
            return False
        for (key_a, value_a), (key_b, value_b) in zip(a.items(), b.items()):
            if type(key_a) is not type(key_b) or key_a != key_b or not same(value_a, value_b):
                return False
        return True
    if kind is list or kind is tuple:
        return len(a) == len(b) and all(map(same, a, b))
    if kind is set or kind is frozenset:
        return {(type(x), x) for x in a} == {(type(x), x) for x in b}
    return a == b


# Workloads ------------------------------------------------------------------------


class Candidate:
    """One way of doing a workload: an expression and the names it uses."""

    def __init__(self, expression, **names):
        self.expression = expression
        self.names = names

    def run(self):
        return eval(self.expression, dict(self.names))

    def timer(self, gc_on=False):
        return timeit.Timer(self.expression, setup="gc.enable()" if gc_on else "pass",
                            globals=dict(self.names, gc=gc))


class Target:
    """A goal printed beside the ratios: module/floor at most `bound`
    (against "floor"), or model/module at least `bound` (against "model")."""

    def __init__(self, against, bound):
        self.against = against
        self.bound = bound

    def text(self):
        if self.against == "floor":
            return "<= %.1fx floor" % self.bound
        return ">= %gx model" % self.bound

    def met(self, figures):
        if self.against == "floor":
            ratio = figures.ratio_floor()
            return ratio is not None and ratio <= self.bound
        ratio = figures.ratio_model()
        return ratio is not None and ratio >= self.bound


class Workload:
    """`target` is a Target, a tuple of Targets, or None."""

    def __init__(self, name, module, model, floor=None, target=None, gc_on=False,
                 checked=True):
        self.name = name
        self.module = module
        self.model = model
        self.floor = floor
        if target is None:
            self.targets = ()
        else:
            self.targets = target if isinstance(target, tuple) else (target,)
        self.gc_on = gc_on
        # False for a workload whose answers another one already compares.
        self.checked = checked

    def candidates(self):
        found = [("module", self.module), ("model", self.model)]
        if self.floor is not None:
            found.append(("floor", self.floor))
        return found

    def check(self):
        """Fail unless the module and the model agree on this workload."""
        got = self.module.run()
        expected = self.model.run()
        assert same(got, expected), (
            "%s: module and model disagree\nmodule: %r\nmodel:  %r"
            % (self.name, got, expected))
        return got

    def run_once(self):
        """Evaluate every candidate once (the smoke test's entry)."""
        return {label: candidate.run() for label, candidate in self.candidates()}


def _record_with(rng, kind, key):
    """The first record of `kind` drawn from `rng` that holds `key`."""
    for _ in range(1000):
        record = generator.object_record(rng, kind)
        if key in record.split(",")[0::2]:
            return record
    raise RuntimeError("no %s record with key %s drawn" % (kind, key))


def _ascii_bytes(rng, size):
    """Text as saved game data holds it: URL-safe base64, here of random bytes."""
    import base64
    raw = bytes(rng.getrandbits(8) for _ in range(size * 3 // 4 + 3))
    return base64.urlsafe_b64encode(raw)[:size]


_SCRIPTS = ("Größe über Straße", "Ελληνικά γράμματα", "кириллица текст", "漢字かなカナ",
            "emoji \U0001f3ae\U0001f579", "plain ascii words")


def _non_ascii_bytes(rng, size):
    """UTF-8 text of several scripts, cut to `size` bytes."""
    pieces, length = [], 0
    while length < size:
        piece = rng.choice(_SCRIPTS).encode("utf-8") + b" "
        pieces.append(piece)
        length += len(piece)
    return b"".join(pieces)[:size]


def _xor(data, key):
    key &= 0xFF
    return bytes(byte ^ key for byte in data)


# End to end ------------------------------------------------------------------------


@functools.lru_cache(maxsize=2)
def level_data(objects, seed=SEED):
    """A level of `objects` objects: its level string and its encoded data."""
    text = generator.level_string(objects, seed)
    return text, velk_level.encode(text)


@functools.lru_cache(maxsize=2)
def grouped_level_data(objects, seed=SEED):
    """The grouped level of `objects` objects: its level string and its
    encoded data."""
    text = generator.grouped_level_string(objects, seed)
    return text, velk_level.encode(text)


def _read_level(pieces, read_colour, read_object):
    """The steps of velk.level.read_level, with the record readers given."""
    parts = split_level(pieces)
    objects = []
    for batch in parts.object_batches:
        objects += map(read_object, batch)
    return parts.header, list(map(read_colour, parts.colours)), objects


def _untyped(delim):
    def read(text):
        it = iter(text.split(delim))
        return dict(zip(it, it))
    return read


def load_module(data):
    level = velk_level.load_level(data)
    return level.header, level.colours, level.objects


def load_model(data):
    return _read_level(iter_decode((data,)), model._color_convert, model._object_convert)


def load_floor(data):
    return _read_level(iter_decode((data,)), _untyped("_"), _untyped(","))


def read_module(text):
    level = velk_level.read_level(text)
    return level.header, level.colours, level.objects


def read_model(text):
    return _read_level(text, model._color_convert, model._object_convert)


def read_floor(text):
    return _read_level(text, _untyped("_"), _untyped(","))


def _write_level(header, colours, objects, collect_colour, collect_object):
    """The steps of velk.level.save_level, with the record writers given."""
    header = join_header(header, list(map(collect_colour, colours)))
    return velk_level.encode(join_level(header, list(map(collect_object, objects))))


def save_model(level):
    return _write_level(
        level.header, level.colours, level.objects,
        lambda colour: model._color_collect(model._color_dump(colour)),
        lambda record: model._object_collect(model._object_dump(record)))


def save_floor(plain):
    """`plain` holds the level's records already dumped to plain values."""
    header, colours, objects = plain

    def join(delim):
        return lambda record: delim.join(map(str, chain.from_iterable(record.items())))

    return _write_level(header, colours, objects, join("_"), join(","))


def level_memory_table(data, objects, kind="level"):
    """Peak memory while loading the encoded level `data`, by each way."""
    rows = [("load a %s of %s objects" % (kind, "{:,}".format(objects)),
             "retained", "peak", "peak vs floor")]
    results = [(label, peak_memory(load, data)) for label, load in
               (("module", load_module), ("model", load_model), ("floor", load_floor))]
    floor_peak = results[-1][1][1]
    for label, (current, peak) in results:
        rows.append((label, "%.1f MiB" % (current / (1 << 20)), "%.1f MiB" % (peak / (1 << 20)),
                     "%.2fx" % (peak / floor_peak)))
    ratio = results[0][1][1] / floor_peak
    met = "yes" if ratio <= LEVEL_MEMORY_TARGET else "NO"
    return (_aligned(rows) + "\ntarget: module peak <= %.1fx floor's: %s (%.2fx)"
            % (LEVEL_MEMORY_TARGET, met, ratio))


@functools.lru_cache(maxsize=2)
def level_records(size, seed=SEED):
    """A level: `size` object records, mostly typical, some rich."""
    return generator.object_records(size, seed)


def samples(seed=SEED):
    """The sample records the single-record workloads use."""
    rng = random.Random(seed)
    return {
        "typical": _record_with(rng, "typical", "57"),
        "rich": generator.object_record(rng, "rich"),
        "long": generator.object_record(rng, "long"),
        "colour": generator.colour_record(rng),
    }


def level_workloads(name, encoded, load_targets, gc_on=False):
    """The load and save workloads of the level of encoded data `encoded`,
    and the level loaded."""
    suffix = ", gc on" if gc_on else ""
    loaded = velk_level.load_level(encoded)
    plain = (loaded.header, [native._color_dump(colour) for colour in loaded.colours],
             [native._object_dump(record) for record in loaded.objects])
    load = Workload(
        "%s load%s" % (name, suffix),
        Candidate("f(data)", f=load_module, data=encoded),
        Candidate("f(data)", f=load_model, data=encoded),
        Candidate("f(data)", f=load_floor, data=encoded),
        load_targets, gc_on=gc_on)
    save = Workload(
        "%s save%s" % (name, suffix),
        Candidate("f(level)", f=velk_level.save_level, level=loaded),
        Candidate("f(level)", f=save_model, level=loaded),
        Candidate("f(plain)", f=save_floor, plain=plain), gc_on=gc_on)
    return load, save, loaded


def workloads(level_size=LEVEL_SIZE, xor_size=XOR_SIZE, seed=SEED, level_objects=LEVEL_OBJECTS,
              grouped_objects=GROUPED_OBJECTS):
    """All workloads, each checked (module against model) and ready to time."""
    n, m = native, model
    found = []
    recs = samples(seed)
    typical = recs["typical"]

    # The floors, written inline so that they pay no call of their own.
    parse_floor = "dict(zip(it := iter(s.split(delim)), it))"
    join_floor = "delim.join(map(str, chain.from_iterable(d.items())))"

    def parse(name, func, string, delim, target=None):
        found.append(Workload(
            name,
            Candidate("f(s)", f=getattr(n, func), s=string),
            Candidate("f(s)", f=getattr(m, func), s=string),
            Candidate(parse_floor, s=string, delim=delim),
            target))

    parse("_object_convert typical", "_object_convert", typical, ",", Target("floor", 1.0))
    parsed = n._object_convert(typical)
    found.append(Workload(
        "_object_dump typical",
        Candidate("f(d)", f=n._object_dump, d=parsed),
        Candidate("f(d)", f=m._object_dump, d=parsed),
        None, Target("model", 6)))
    dumped = n._object_dump(parsed)
    found.append(Workload(
        "_object_collect typical",
        Candidate("f(d)", f=n._object_collect, d=dumped),
        Candidate("f(d)", f=m._object_collect, d=dumped),
        Candidate(join_floor, d=dumped, delim=",", chain=chain),
        Target("floor", 0.8)))
    parse("_object_convert rich", "_object_convert", recs["rich"], ",")
    parse("_object_convert long (1,000 pairs)", "_object_convert", recs["long"], ",")
    parse("_color_convert typical", "_color_convert", recs["colour"], "_",
          Target("floor", 1.0))

    found.append(Workload(
        "_convert(s, \",\") typical",
        Candidate("f(s, delim)", f=n._convert, s=typical, delim=","),
        Candidate("f(s, delim)", f=m._convert, s=typical, delim=","),
        Candidate(parse_floor, s=typical, delim=","),
        Target("floor", 0.9)))

    def keep_value(key, value):
        return value

    found.append(Workload(
        "_convert(s, \",\", func) typical",
        Candidate("f(s, delim, func)", f=n._convert, s=typical, delim=",", func=keep_value),
        Candidate("f(s, delim, func)", f=m._convert, s=typical, delim=",", func=keep_value),
        Candidate(parse_floor, s=typical, delim=",")))

    # A level: many records parsed one by one and kept.
    level = level_records(level_size, seed)
    size = "{:,}".format(level_size)
    level_parse = "[f(r) for r in records]"
    level_floor = "[dict(zip(it := iter(r.split(delim)), it)) for r in records]"
    for gc_on in (False, True):
        found.append(Workload(
            "level %s records parse%s" % (size, ", gc on" if gc_on else ""),
            Candidate(level_parse, f=n._object_convert, records=level),
            Candidate(level_parse, f=m._object_convert, records=level),
            Candidate(level_floor, records=level, delim=","),
            gc_on=gc_on, checked=not gc_on))
    level_parsed = [n._object_convert(r) for r in level]
    level_dumped = [n._object_dump(d) for d in level_parsed]
    level_write = "[c(d(x)) for x in parsed]"
    found.append(Workload(
        "level %s records dump+collect" % size,
        Candidate(level_write, d=n._object_dump, c=n._object_collect, parsed=level_parsed),
        Candidate(level_write, d=m._object_dump, c=m._object_collect, parsed=level_parsed),
        Candidate("[delim.join(map(str, chain.from_iterable(x.items()))) for x in dumped]",
                  dumped=level_dumped, delim=",", chain=chain)))

    # End to end: a level as users have it, loaded and saved.
    text, encoded = level_data(level_objects, seed)
    objects = "{:,}".format(level_objects)
    load, save, loaded = level_workloads("level %s objects" % objects, encoded,
                                         (Target("floor", 1.5), Target("model", 5)))
    found.append(load)
    found.append(Workload(
        "level %s objects read, decoded already" % objects,
        Candidate("f(text)", f=read_module, text=text),
        Candidate("f(text)", f=read_model, text=text),
        Candidate("f(text)", f=read_floor, text=text),
        checked=False))
    found.append(save)

    # The grouped level, loaded and saved with the collector on.
    grouped_text, grouped_encoded = grouped_level_data(grouped_objects, seed)
    load, save, grouped = level_workloads(
        "grouped level %s objects" % "{:,}".format(grouped_objects), grouped_encoded,
        (Target("floor", 0.5), Target("model", 5)), gc_on=True)
    found += [load, save]

    # byte_xor; the floor decodes the very bytes that the module decodes.
    rng = random.Random(seed)
    mib = "%g MiB" % (xor_size / (1 << 20)) if xor_size >= 1 << 16 else "%d B" % xor_size
    buffers = [
        ("byte_xor %s ASCII" % mib, _ascii_bytes(rng, xor_size), Target("floor", 1.2)),
        ("byte_xor %s non-ASCII UTF-8" % mib, _non_ascii_bytes(rng, xor_size), None),
        ("byte_xor %s random bytes" % mib,
         bytes(rng.getrandbits(8) for _ in range(xor_size)), None),
    ]
    for name, data, target in buffers:
        found.append(Workload(
            name,
            Candidate("f(data, key)", f=n.byte_xor, data=data, key=XOR_KEY),
            Candidate("f(data, key)", f=m.byte_xor, data=data, key=XOR_KEY),
            Candidate('buf.decode("utf-8", "ignore")', buf=_xor(data, XOR_KEY)),
            target))

    for workload in found:
        if workload.checked:
            workload.check()
    # The round trips of the levels, too: canonical records come back unchanged.
    assert [n._object_collect(d) for d in level_dumped] == level, "level round trip"
    assert velk_level.decode(velk_level.save_level(loaded)) == text, "level save round trip"
    assert velk_level.decode(velk_level.save_level(grouped)) == grouped_text, \
        "grouped level save round trip"
    return found


# Timing ---------------------------------------------------------------------------


class Figures:
    """The times of a workload's candidates, repeat by repeat.

    Times are medians per evaluation. Ratios are medians of the ratios
    within each repeat: the candidates of one repeat ran right after one
    another, so a slow spell of the machine hits both sides of a ratio."""

    def __init__(self, workload, times, repeats):
        self.workload = workload
        self.times = times  # label -> list of seconds per evaluation
        self.repeats = repeats

    def median(self, label):
        values = self.times.get(label)
        return statistics.median(values) if values else None

    def _ratios(self, top, bottom):
        if top not in self.times or bottom not in self.times:
            return None
        return [t / b for t, b in zip(self.times[top], self.times[bottom])]

    def ratio_floor(self):
        ratios = self._ratios("module", "floor")
        return None if ratios is None else statistics.median(ratios)

    def ratio_model(self):
        return statistics.median(self._ratios("model", "module"))

    def spread(self):
        """The interquartile range of the headline ratio (module/floor where
        there is a floor, else model/module) relative to its median."""
        ratios = self._ratios("module", "floor") or self._ratios("model", "module")
        if len(ratios) < 4:
            return None
        q = statistics.quantiles(ratios, n=4)
        return (q[2] - q[0]) / statistics.median(ratios)


def _per_call(timer, least):
    """A first estimate of the seconds one evaluation takes; the first
    evaluation also warms caches and free lists up."""
    number = 1
    while True:
        elapsed = timer.timeit(number)
        if elapsed >= least or number >= 1 << 22:
            return elapsed / number
        number *= 4 if elapsed < least / 8 else 2


def measure(workload, batch, repeats, least_repeats, budget):
    """Time `workload`'s candidates interleaved; returns its Figures.

    Each repeat runs a batch of about `batch` seconds per candidate (at least
    one evaluation); the number of repeats is what fits in `budget` seconds,
    between `least_repeats` and `repeats`."""
    timers = []
    for label, candidate in workload.candidates():
        timer = candidate.timer(workload.gc_on)
        per_call = _per_call(timer, least=min(batch, 0.002))
        number = max(1, int(batch / per_call))
        timers.append((label, timer, number, number * per_call))
    per_repeat = sum(cost for _, _, _, cost in timers)
    count = max(least_repeats, min(repeats, int(budget / per_repeat)))
    times = {label: [] for label, _, _, _ in timers}
    for _ in range(count):
        for label, timer, number, _ in timers:
            times[label].append(timer.timeit(number) / number)
    return Figures(workload, times, count)


def peak_memory(func, argument):
    """tracemalloc's current and peak bytes while running func(argument) and
    keeping its result."""
    gc.collect()
    tracemalloc.start()
    try:
        kept = func(argument)
        current, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    del kept
    return current, peak


def _parse_all(parse):
    return lambda records: [parse(record) for record in records]


def _floor_parse(record):
    it = iter(record.split(","))
    return dict(zip(it, it))


# The game's saves ----------------------------------------------------------------


@functools.lru_cache(maxsize=2)
def save_data(objects, seed=SEED):
    """A save of created levels of SAVE_LEVELS levels and `objects` objects
    in all, and an export file holding one more level of their size."""
    each = max(1, objects // SAVE_LEVELS)
    levels = [("Level %d" % (index + 1), generator.encoded_level(each, seed + index))
              for index in range(SAVE_LEVELS)]
    added = generator.export_file([("Added", generator.encoded_level(each, seed + SAVE_LEVELS))])
    return generator.save_file(levels, "created", seed), added.encode("utf-8")


_XOR_TABLE = bytes(byte ^ XOR_KEY for byte in range(256))


def _stdlib_encode(xml):
    return base64.urlsafe_b64encode(zlib.compress(xml)).translate(_XOR_TABLE)


def _stdlib_root(data):
    """The top dictionary element of a save, decoded by the standard library."""
    xml = zlib.decompress(base64.urlsafe_b64decode(data.translate(_XOR_TABLE)), 47)
    return ElementTree.fromstring(xml)


def _pairs(element):
    children = list(element)
    return zip(children[0::2], children[1::2])


def _created_list(root):
    for key, value in _pairs(root.find("dict")):
        if key.text == "LLM_01":
            return value
    raise ValueError("no list of created levels")


def read_save_by(read_colour, read_object):
    """Every level of a save, decoded by the standard library alone, read
    with the record readers given."""
    def read(data):
        levels = []
        for _key, entries in _pairs(_created_list(_stdlib_root(data))):
            if entries.tag != "d":
                continue
            text = dict((key.text, value.text) for key, value in _pairs(entries))["k4"]
            level = zlib.decompress(base64.urlsafe_b64decode(text), 47).decode("utf-8")
            levels.append(_read_level(level, read_colour, read_object))
        return levels
    return read


read_save_floor = read_save_by(_untyped("_"), _untyped(","))


def read_save_module(data):
    return [(level.header, level.colours, level.objects)
            for level in velk_level.read_file(io.BytesIO(data))]


class SaveCopy:
    """A save file in a temporary folder, put back as it was before each
    level is added to it, its backups removed."""

    def __init__(self, data):
        self.folder = tempfile.mkdtemp(prefix="velk-bench-")
        self.path = os.path.join(self.folder, "created.dat")
        self.data = data
        self.reset()

    def reset(self):
        with open(self.path, "wb") as out:
            out.write(self.data)
        for backup in glob.glob(self.path + ".bak*"):
            os.unlink(backup)

    def close(self):
        shutil.rmtree(self.folder, ignore_errors=True)


def add_module(copy, level):
    copy.reset()
    return velk_level.add_levels(copy.path, [level]).levels


def add_floor(copy, added):
    """Add the level of the export file `added` with the standard library:
    its element inserted first, the others renumbered, written in place."""
    copy.reset()
    with open(copy.path, "rb") as stream:
        root = _stdlib_root(stream.read())
    listed = _created_list(root)
    children = list(listed)
    first = next(index for index, child in enumerate(children) if child.tag == "k"
                 and child.text.startswith("k_"))
    for key in children[first::2]:
        key.text = "k_%d" % (int(key.text[2:]) + 1)
    key = ElementTree.Element("k")
    key.text = "k_0"
    listed.insert(first, ElementTree.fromstring(added).find("dict"))
    listed.insert(first, key)
    listed[first + 1].tag = "d"
    temporary = copy.path + ".part"
    with open(temporary, "wb") as out:
        out.write(_stdlib_encode(ElementTree.tostring(root)))
        out.flush()
        os.fsync(out.fileno())
    os.replace(temporary, copy.path)
    return sum(1 for child in listed if child.tag == "d")


def _timed(func, argument):
    gc.collect()
    started = time.perf_counter()
    func(argument)
    return time.perf_counter() - started


def save_table(objects, repeats, seed=SEED):
    """The save rows: time and peak memory of velk and of the standard
    library's floor, each side run `repeats` times interleaved."""
    data, added = save_data(objects, seed)
    (level,) = velk_level.read_file(io.BytesIO(added))
    copy = SaveCopy(data)
    try:
        rows = [
            ("read every level", read_save_module, read_save_floor, data),
            ("add one level of %s objects, verified" % "{:,}".format(len(level)),
             functools.partial(add_module, level=level),
             functools.partial(add_floor, added=added), copy),
        ]
        _check_save_rows(data, level, copy, rows)
        table = [("a save of %s objects (%d levels, %.1f MB), gc on"
                  % ("{:,}".format(objects), SAVE_LEVELS, len(data) / 1e6),
                  "velk", "floor", "velk/floor", "velk peak", "floor peak", "peak vs floor")]
        for name, velk, floor, argument in rows:
            times = {"velk": [], "floor": []}
            for _ in range(repeats):
                times["velk"].append(_timed(velk, argument))
                times["floor"].append(_timed(floor, argument))
            ratio = statistics.median(v / f for v, f in zip(times["velk"], times["floor"]))
            peaks = [peak_memory(func, argument)[1] for func in (velk, floor)]
            table.append((name, _duration(statistics.median(times["velk"])),
                          _duration(statistics.median(times["floor"])), _ratio(ratio),
                          "%.1f MiB" % (peaks[0] / (1 << 20)), "%.1f MiB" % (peaks[1] / (1 << 20)),
                          _ratio(peaks[0] / peaks[1])))
        return _aligned(table)
    finally:
        copy.close()


def _check_save_rows(data, level, copy, rows):
    """Fail unless both sides of each save row do the same work: the same
    levels read, split alike; the same levels after adding one."""
    module, floor = read_save_module(data), read_save_floor(data)
    assert len(module) == len(floor) == SAVE_LEVELS, "save read"
    for (header, colours, objects), (f_header, f_colours, f_objects) in zip(module, floor):
        assert header == f_header and len(colours) == len(f_colours), "save read"
        assert [list(d) for d in objects] == [list(d) for d in f_objects], "save read"
    _, add_velk, add_stdlib, _ = rows[1]
    assert add_velk(copy) == SAVE_LEVELS + 1, "save add"
    by_velk = [(lv.name, lv.objects) for lv in velk_level.read_file(copy.path)]
    assert add_stdlib(copy) == SAVE_LEVELS + 1, "save add"
    by_floor = [(lv.name, lv.objects) for lv in velk_level.read_file(copy.path)]
    assert by_velk == by_floor and by_velk[0] == (level.name, level.objects), "save add"


# Output ---------------------------------------------------------------------------


def _duration(seconds):
    if seconds is None:
        return "-"
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6)):
        if seconds >= scale:
            return "%.3g %s" % (seconds / scale, unit)
    return "%.0f ns" % (seconds / 1e-9)


def _ratio(value):
    return "-" if value is None else "%.2fx" % value


COLUMNS = ("workload", "module", "model", "floor", "module/floor", "model/module",
           "target", "met?", "spread", "repeats")


def table(all_figures):
    rows = [COLUMNS]
    for figures in all_figures:
        workload = figures.workload
        targets = workload.targets
        rows.append((
            workload.name,
            _duration(figures.median("module")),
            _duration(figures.median("model")),
            _duration(figures.median("floor")),
            _ratio(figures.ratio_floor()),
            _ratio(figures.ratio_model()),
            ", ".join(target.text() for target in targets),
            ", ".join("yes" if target.met(figures) else "NO" for target in targets),
            "-" if figures.spread() is None else "%.0f%%" % (100 * figures.spread()),
            str(figures.repeats),
        ))
    widths = [max(len(row[i]) for row in rows) for i in range(len(COLUMNS))]
    lines = []
    for index, row in enumerate(rows):
        cells = [row[0].ljust(widths[0])] + [cell.rjust(w) for cell, w in zip(row[1:], widths[1:])]
        lines.append("  ".join(cells).rstrip())
        if index == 0:
            lines.append("  ".join("-" * w for w in widths))
    return "\n".join(lines)


def memory_table(records):
    rows = [("parse and keep %s records" % "{:,}".format(len(records)),
             "retained", "peak", "peak/record", "peak vs module")]
    results = []
    for label, parse in (("module", native._object_convert),
                         ("model", model._object_convert),
                         ("floor", _floor_parse)):
        current, peak = peak_memory(_parse_all(parse), records)
        results.append((label, current, peak))
    module_peak = results[0][2]
    for label, current, peak in results:
        rows.append((label, "%.1f MiB" % (current / (1 << 20)), "%.1f MiB" % (peak / (1 << 20)),
                     "%.0f B" % (peak / len(records)), "%.2fx" % (peak / module_peak)))
    return _aligned(rows)


def _aligned(rows):
    """Rows as a table: the first column to the left, the rest to the right."""
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    lines = ["  ".join([row[0].ljust(widths[0])] + [c.rjust(w) for c, w in zip(row[1:], widths[1:])])
             for row in rows]
    lines.insert(1, "  ".join("-" * w for w in widths))
    return "\n".join(lines)


# Where loading the grouped level spends its time ----------------------------------


def least_time(func, argument, runs, gc_on=True):
    """The least processor time of `runs` calls of func(argument), each after
    a full collection, with the collector on or off while it runs. Processor
    time, not wall time: on a shared machine the process waits its turn."""
    enabled = gc.isenabled()
    times = []
    try:
        for _ in range(runs):
            gc.collect()
            if gc_on:
                gc.enable()
            else:
                gc.disable()
            start = time.process_time()
            kept = func(argument)
            times.append(time.process_time() - start)
            del kept
    finally:
        if enabled:
            gc.enable()
        else:
            gc.disable()
    return min(times)


def _split_records(text):
    return text.split(";")


def _convert_all(records):
    return list(map(native._object_convert, records))


def _load_unpaused(data):
    pausing = velk_level.collector.pause_during_reads
    velk_level.collector.pause_during_reads = False
    try:
        return load_module(data)
    finally:
        velk_level.collector.pause_during_reads = pausing


def steps_table(objects, runs=STEP_RUNS):
    """The steps of loading the grouped level of `objects` objects, timed
    apart, beside load_level, the floor and the model."""
    text, encoded = grouped_level_data(objects)
    records = text.split(";")[1:-1]
    steps = (
        ("decode (base64, inflate, UTF-8)", velk_level.decode, encoded, True),
        ('split on ";"', _split_records, text, True),
        ("_object_convert of every object, gc on", _convert_all, records, True),
        ("_object_convert of every object, gc off", _convert_all, records, False),
        ("load_level", load_module, encoded, True),
        ("load_level, gc disabled by the caller", load_module, encoded, False),
        ("load_level, pause_during_reads = False", _load_unpaused, encoded, True),
        ("untyped floor", load_floor, encoded, True),
        ("pure-Python model", load_model, encoded, True),
    )
    times = [(name, least_time(func, argument, runs, gc_on))
             for name, func, argument, gc_on in steps]
    floor = dict(times)["untyped floor"]
    rows = [("step", "least time", "vs floor")]
    for name, seconds in times:
        rows.append((name, "%.0f ms" % (seconds * 1e3),
                     "%.2fx" % (seconds / floor) if name.startswith(("load", "untyped")) else ""))
    model_ratio = dict(times)["pure-Python model"] / dict(times)["load_level"]
    return ("grouped level of %s objects: %.1f MB level string, %.1f MB encoded; least"
            " processor time of %d in one process, collector on unless noted\n"
            % ("{:,}".format(objects), len(text) / 1e6, len(encoded) / 1e6, runs)
            + _aligned(rows) + "\nmodel / load_level: %.1fx" % model_ratio)


def run(found, batch, repeats, least_repeats, budget, out=None):
    """Time every workload and print the table; returns the Figures."""
    out = sys.stdout if out is None else out
    all_figures = []
    for workload in found:
        all_figures.append(measure(workload, batch, repeats, least_repeats, budget))
    print(table(all_figures), file=out)
    missed = ["%s (%s)" % (f.workload.name, target.text())
              for f in all_figures for target in f.workload.targets if not target.met(f)]
    print("", file=out)
    print("targets missed: %s" % (", ".join(missed) if missed else "none"), file=out)
    return all_figures


MODES = {
    # batch seconds per candidate, most repeats, fewest repeats, seconds per workload
    "quick": (0.002, 9, 1, 0.5),
    "full": (0.001, 301, 7, 5.0),
}


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true",
                        help="fewer repeats: a smoke run rather than figures to quote")
    parser.add_argument("--level-size", type=int, default=LEVEL_SIZE, help=argparse.SUPPRESS)
    parser.add_argument("--xor-size", type=int, default=XOR_SIZE, help=argparse.SUPPRESS)
    parser.add_argument("--level-objects", type=int, default=LEVEL_OBJECTS, help=argparse.SUPPRESS)
    parser.add_argument("--save-objects", type=int, default=None, help=argparse.SUPPRESS)
    parser.add_argument("--grouped-objects", type=int, default=None, help=argparse.SUPPRESS)
    parser.add_argument("--steps", action="store_true",
                        help="time the steps of loading the grouped level instead")
    args = parser.parse_args(argv)
    mode = "quick" if args.quick else "full"
    save_objects = args.save_objects or (SAVE_OBJECTS_QUICK if args.quick else SAVE_OBJECTS)
    batch, repeats, least_repeats, budget = MODES[mode]
    grouped_objects = args.grouped_objects
    if grouped_objects is None:
        grouped_objects = GROUPED_OBJECTS // 10 if args.quick else GROUPED_OBJECTS
    if args.steps:
        print("velk._velkc %s" % native.__file__)
        print("Python %s on %s" % (platform.python_version(), platform.machine()))
        print(steps_table(grouped_objects, 1 if args.quick else STEP_RUNS))
        return 0

    started = time.perf_counter()
    print("velk._velkc %s" % native.__file__)
    print("Python %s on %s, %s cores; %s run, gc off while timing unless noted"
          % (platform.python_version(), platform.machine(), os.cpu_count(), mode))
    for kind, record in samples().items():
        if kind != "long":
            print("  %-8s %s" % (kind, record))
    print("times: medians per evaluation (a level row: the whole level); ratios: medians of")
    print("the ratios within each repeat; spread: interquartile range / median of the first ratio")
    print("")
    sys.stdout.flush()
    found = workloads(args.level_size, args.xor_size, level_objects=args.level_objects,
                      grouped_objects=grouped_objects)
    run(found, batch, repeats, least_repeats, budget)
    print("")
    print(memory_table(level_records(args.level_size, SEED)))
    print("")
    print(level_memory_table(level_data(args.level_objects, SEED)[1], args.level_objects))
    print("")
    print(level_memory_table(grouped_level_data(grouped_objects, SEED)[1], grouped_objects,
                             "grouped level"))
    print("")
    print(save_table(save_objects, SAVE_REPEATS[mode]))
    print("")
    print("total %.0f s" % (time.perf_counter() - started))
    return 0


if __name__ == "__main__":
    sys.exit(main())
