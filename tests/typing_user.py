"""A user of velk's public API, checked by mypy --strict and pyright (strict).

Every public function is called here as a user calls it, and every result
is used as its type says. The lines marked `# type: ignore[...]` are
mistakes a user can make: each must be reported, with that code, or the
checkers say the comment is unused, so an annotation that loosens fails
the check.
"""
import io
from pathlib import Path
from typing import Dict, Iterator, List, Optional, Set, Union

from velk import archive, cli, level, survey
from velk.api.enums import Easing, PlayerColor, ZLayer
from velk.api.guidelines import Guidelines
from velk.api.hsv import HSV
from velk.level import (Level, LevelError, Levels, LevelSummary, Properties, PropertyValue,
                        Record, RecordError, RecordValue, SaveChange)
from velk.utils.crypto.coders import Coder


def levels_of(path: Path) -> Levels:
    levels = level.read_file(path)
    with open(path, "rb") as binary:
        levels += level.read_file(binary, "export", max_size=1 << 20)
    with open(path, encoding="utf-8") as text:
        levels += level.read_file(text, keep_going=True)
    levels += level.read_file(str(path), form=None)
    for failure in levels.failures:
        where: Optional[int] = failure.level
        print(where, failure.path, failure.level_name, failure.kind, failure.index,
              failure.key, failure.reason, failure.where)
    return levels


def one_level(text: str, data: bytes) -> Level:
    read = level.read_level(text)
    read = level.read_level(text.encode("utf-8"), "name", keep_going=True)
    read = level.read_level(iter([text]))
    loaded = level.load_level(data, max_size=1 << 20, name="n", keep_going=False)
    loaded = level.load_level(data.decode("ascii"))
    if read == loaded and len(read) == len(loaded):
        return read
    return loaded


def first_object(found: Level) -> Record:
    for record in found:
        return record
    return found.objects[0]


def values_of(record: Record) -> List[RecordValue]:
    shown: List[RecordValue] = []
    for key, value in record.items():
        if isinstance(value, HSV):
            shown.append(value.hue)
            shown.append(value.saturation_checked)
        elif isinstance(value, set):
            groups: Set[int] = value
            shown.append(groups)
        elif isinstance(value, PlayerColor):
            shown.append(value.value)
        else:
            shown.append(key)
    return shown


def written(found: Level) -> str:
    found.objects.append({"1": 1, "2": 15.5, "57": {1, 2}, "43": HSV(0, 1.0), "30": Easing.NONE,
                          "31": "text", "4": True})
    found.colours.append({"1": 255, "4": PlayerColor.UNSET})
    found.header["kA13"] = "0"
    text = level.write_level(found)
    data = level.save_level(found, "zlib")
    return text + data + level.encode(level.decode(data), "gzip")


def streamed(text: str) -> int:
    records = level.iter_objects(text, keep_going=True)
    count = sum(1 for _ in records)
    failures: List[LevelError] = records.failures
    records.close()
    parts = level.split_level(text)
    pieces: Iterator[str] = level.iter_decode([b"H4sI", "AAAA"], level.MAX_SIZE)
    return count + len(failures) + len(parts.header) + len(list(pieces))


def codec(text: str) -> str:
    objects = level.RecordCodec(level.OBJECT)
    colours = level.RecordCodec("color")
    record: Record = objects.read(text)
    kinds: List[str] = list(level.KINDS) + [level.COLOUR]
    return objects.write(record) + colours.write_checked({"1": 1}) + kinds[0]


def the_files(path: Path, out: Path) -> SaveChange:
    form: str = level.detect_form(path.read_bytes()[:100])
    assert form in level.FORMS
    with level.Input(path) as found:
        print(found.name, found.size, found.form())
    summaries: List[LevelSummary] = list(level.list_levels(path))
    chosen = level.find_level(path, summaries[0].index)
    chosen = level.find_level(str(path), "My level", form=None)
    level.write_level_file(chosen, out, "encoded")
    level.write_level_file(chosen, io.BytesIO())
    assert "level" in level.OUTPUT_FORMS
    xml: bytes = level.export_xml([chosen])
    level.write_export(chosen, out)
    level.write_export([chosen], io.StringIO())
    changed = level.add_levels(path, [chosen])
    changed = level.replace_level(path, 1, level.Level(name=xml.decode()))
    indexes: List[int] = changed.changed
    print(changed.path, changed.backup, changed.levels, indexes)
    return changed


def properties_of(found: Level) -> Dict[str, PropertyValue]:
    properties: Properties = found.properties
    name: Optional[str] = found.name
    level_id: Optional[PropertyValue] = found.id
    print(name, level_id, found.creator)
    return properties


def where_it_failed(error: LevelError) -> Dict[str, object]:
    if isinstance(error, RecordError):
        print(error.cause, error.writing)
    error.locate(path="file.xml", level=1)
    return error.as_dict()


def reports(path: str) -> int:
    report = survey.survey_file(path, kind="colour", keys=True, keep_going=True)
    with level.Input(path) as found:
        report = survey.survey_input(found, on_level=lambda done: print(done.index))
    first: Optional[survey.Failure] = None
    for kind, tally in report.totals.items():
        print(kind, tally.identical, tally.normalised, tally.changed, tally.failed)
        first = tally.failures[0] if tally.failures else first
    if first is not None:
        print(first.where, first.key, first.message(), first.as_dict())
    return report.status + len(report.as_dict()) + len(report.summary(timings=True))


def companions() -> str:
    hsv = HSV.from_string("0a1a1a0a0")
    other = HSV(-20, 0.5, 1, True, False)
    guidelines = Guidelines([(0.5, "orange"), (1, 0.9)])
    again = Guidelines.from_string(guidelines.dump())
    layer = ZLayer(1)
    values: List[int] = PlayerColor.values()
    encoded = Coder.do_base64("text") + Coder.do_base64("dGV4dA==", encode=False)
    return "%s %s %s %s %s %s" % (hsv.dump(), other == hsv, again.points, layer.name, values,
                                  encoded)


def command(argv: List[str]) -> int:
    return cli.main(argv) + cli.main()


# Mistakes a user can make, each of which must be reported.


def archives(folder: Path, out: Path) -> int:
    paths: List[str] = level.find_inputs([folder, "-"], glob="*.xml")
    for path, levels in level.read_files(paths, keep_going=True):
        print(path, len(levels), len(levels.failures))
    done = archive.write_table([folder], out, glob="*.dat", jobs=2, format="jsonl",
                               replace=True)
    record: Record = archive.record_of({"object_id": 1, "x": 15.0, "properties": {}})
    print(record, done.levels, done.objects, done.failures, done.kept)
    return done.status


def mistakes(data: str, found: Level, path: Path) -> None:
    level.load_level(data, max_size="big")  # type: ignore[arg-type]
    level.read_file(found)  # type: ignore[arg-type]
    level.read_level(data, keep_going="yes")  # type: ignore[arg-type]
    level.write_level(found.objects)  # type: ignore[arg-type]
    found.objects.append("1,1,2,15")  # type: ignore[arg-type]
    found.objects[0]["57"] = [1, 2]  # type: ignore[assignment]
    found.header["kA13"] = 0  # type: ignore[assignment]
    level.list_levels(path, max_size=1.5)  # type: ignore[arg-type]
    survey.survey_file(path, kind=1)  # type: ignore[arg-type]
    HSV(0, 1, 1, saturation_checked="yes")  # type: ignore[arg-type]
    Coder.do_base64(b"bytes")  # type: ignore[arg-type]
    cli.main(["check"], "--json")  # type: ignore[call-arg]
    level.find_inputs(path)  # type: ignore[arg-type]
    archive.write_table([path], path, jobs="2")  # type: ignore[arg-type]


def name_length(found: Level) -> int:
    return found.name  # type: ignore[return-value]


def failed_level(levels: Levels) -> int:
    return levels.failures[0].level + 1  # type: ignore[operator]


def changed_count(change: SaveChange) -> str:
    return change.levels  # type: ignore[return-value]


def hue_text(record: Record) -> Union[int, float]:
    return record["43"].hue  # type: ignore[union-attr]
