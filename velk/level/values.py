"""The types of what levels hold, for annotations.

A record is a dictionary from its keys (numbers as text: "1", "57") to
typed values, as the native codec reads them (see the README's table of
keys): integers, flags (bool), numbers (int or float), group lists (a set
of int), HSV values, enumeration members and texts. Writing takes these
and guidelines too.

A level's properties are the entries of its dictionary in an export or
save file: text, integers, reals, true, and nested dictionaries of the
same.
"""
import os
from typing import IO, Dict, Set, Union

import enums
from velk.api.guidelines import Guidelines
from velk.api.hsv import HSV
from velk.level.text import LevelTextInput

__all__ = ["RecordValue", "Record", "PropertyValue", "Properties", "PathName", "Source",
           "LevelTextInput"]

RecordValue = Union[bool, int, float, str, Set[int], HSV, Guidelines, enums.Enum]
Record = Dict[str, RecordValue]

PropertyValue = Union[str, int, float, bool, Dict[str, "PropertyValue"]]
Properties = Dict[str, PropertyValue]

PathName = Union[str, "os.PathLike[str]"]
# Where a file is read from: a path, "-" for standard input, or a file
# object open for reading, in binary or in text.
Source = Union[PathName, IO[bytes], IO[str]]
