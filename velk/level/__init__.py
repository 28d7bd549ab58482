"""Levels as users have them: level strings, encoded level data, export
files, the game's save files and server data, read into typed values and
written back.

    from velk import level
    levels = level.read_file("my-level.xml")      # any form, told from the content
    first = levels[0]
    first.name, first.header["kA13"], first.colours[0], first.objects[0]
    level.write_level(first)                      # the level string again
    level.save_level(first)                       # encoded level data ("H4sI...")
    first.id, first.creator, first.properties["k21"]  # what the file says of it
    level.write_export(levels, "copy.xml")        # an export file, written whole
    for path, levels in level.read_files(["archive/"], glob="*.xml", keep_going=True):
        ...                                       # every file below archive/
    level.list_levels("created-levels.dat")       # index, name, creator, objects of each
    level.add_levels("created-levels.dat", levels)   # into the game's save, with a backup

The parts, each usable on its own:

- ``velk.level.data``: encoded level data (base64 of gzip, zlib or deflate
  data), decoded with a bound on the decoded size;
- ``velk.level.text``: a level string split into its header, colour records
  and object records, and joined again; streaming;
- ``velk.level.level``: a level in typed values (`Level`), read and written
  through the native record codec, every error naming the record; written
  only as it reads back;
- ``velk.level.checks``: why a value would not read back, and the repair of
  floats in exponent form;
- ``velk.level.plist``: the game's XML property lists, read as a stream
  with the byte span of every entry, and written back;
- ``velk.level.export``: the levels of an export file (XML, read safely),
  and export files written;
- ``velk.level.save``: the game's save files, decoded and encoded, and
  where their levels lie, to splice new ones in;
- ``velk.level.server``: a level as the game's server sends it;
- ``velk.level.atomic``: files replaced whole or not at all, and with a
  backup kept;
- ``velk.level.source``: telling the form of a file and reading its levels;
- ``velk.level.inputs``: many inputs at once: files, folders (every file
  below them, chosen by a glob pattern) and standard input, and the
  levels of each;
- ``velk.level.listing``: the levels of a file listed, and one chosen by
  index or name;
- ``velk.level.output``: one level written as an export file, encoded data
  or a level string;
- ``velk.level.library``: levels added to the game's save of created
  levels, or a level of a save replaced, verified and with a backup;
- ``velk.level.collector``: the garbage collector, paused while levels are
  read and written;
- ``velk.level.values``: the types of what levels hold, for annotations
  (`Record`, `RecordValue`, `Properties`).

Every reading function reads all or nothing unless given
``keep_going=True``: then what cannot be read is passed over and its
error kept beside what was read (`Level.failures`, `Levels.failures`).
"""
from velk.level.data import MAX_SIZE, decode, encode, iter_decode
from velk.level.errors import LevelError, RecordError
from velk.level.export import export_xml, write_export
from velk.level.level import (COLOUR, KINDS, OBJECT, Level, Levels, RecordCodec, RecordIterator,
                              iter_objects, load_level, read_level, save_level, write_level)
from velk.level.values import PropertyValue, Properties, Record, RecordValue
from velk.level.source import FORMS, Input, detect_form, read_file
from velk.level.text import split_level
from velk.level.inputs import find_inputs, read_files
from velk.level.listing import LevelSummary, find_level, list_levels
from velk.level.output import OUTPUT_FORMS, write_level_file
from velk.level.library import SaveChange, add_levels, replace_level

__all__ = [
    "MAX_SIZE", "decode", "encode", "iter_decode",
    "LevelError", "RecordError",
    "OBJECT", "COLOUR", "KINDS", "Level", "Levels", "RecordCodec", "RecordIterator", "read_level",
    "write_level", "load_level", "save_level", "iter_objects",
    "Record", "RecordValue", "Properties", "PropertyValue",
    "export_xml", "write_export",
    "FORMS", "Input", "detect_form", "read_file",
    "split_level",
    "find_inputs", "read_files",
    "LevelSummary", "list_levels", "find_level", "OUTPUT_FORMS", "write_level_file",
    "SaveChange", "add_levels", "replace_level",
]
