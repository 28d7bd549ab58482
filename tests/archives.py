"""Archives for the tests of many files at once: a small generated one of
every form with broken files, and what a table folder holds."""
import json
import os
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent

# The generator is a script beside the package, not part of it.
sys.path.insert(0, str(ROOT / "tools"))
import generate_records as gen  # noqa: E402

# Values whose columns cannot hold them: they stay in the properties.
WIDE_LEVEL = ("kA13,0;1,99999999999999999999,2,9007199254740993,3,1.5,57,1.99999999999999999999;"
              "1,4,2,7,3,1.0e300,57,,43,0a1a1a0a0;1,5,2,-3,3,2.25,6,1.0e999;")


def make_archive(folder):
    """A small archive of every form in `folder`: about 40 levels in
    export files, saves, server data, encoded data and level strings, a
    record file, broken files, and a level of values past what the
    columns hold. Returns the folder as text."""
    gen.write_archive(str(folder), levels=40, objects=120, seed=11)
    (Path(folder) / "wide").mkdir()
    (Path(folder) / "wide" / "wide.txt").write_text(WIDE_LEVEL + "\n")
    return str(folder)


def folder_bytes(folder):
    """Every file below `folder` by its path below it, with its bytes."""
    found = {}
    for top, _, names in os.walk(folder):
        for name in names:
            path = os.path.join(top, name)
            found[os.path.relpath(path, folder)] = Path(path).read_bytes()
    return found


def object_indexes(count, failures):
    """The indexes in the file of the `count` objects of a level read
    keeping going, whose `failures` name the object records passed over."""
    skipped = {failure.index for failure in failures if failure.kind == "object"}
    indexes = [index for index in range(count + len(skipped)) if index not in skipped]
    return indexes[:count]


def velk_records(archive):
    """{(file, level, index): record} of every object of the archive's
    levels as velk.level reads them."""
    from velk import level

    found = {}
    for path, levels in level.read_files([archive], keep_going=True):
        for number, read in enumerate(levels, 1):
            for index, record in zip(object_indexes(len(read.objects), read.failures),
                                     read.objects):
                found[path, number, index] = record
    return found


def jsonl_rows(folder, table):
    """The rows of a table written as JSON lines, in the order of its parts."""
    rows = []
    parts = sorted(os.listdir(os.path.join(folder, table)))
    for part in parts:
        with open(os.path.join(folder, table, part), encoding="utf-8") as lines:
            rows += [json.loads(line) for line in lines]
    return rows
