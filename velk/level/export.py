"""Level export files: XML property lists that hold levels.

    <?xml version="1.0"?><plist version="1.0"><dict>
      <k>k2</k><s>My level</s><k>k4</k><s>H4sIAAAAAAAA...</s><k>k5</k><i>3</i>
    </dict></plist>

or a bare ``<d>...</d>``. A dictionary (``<dict>`` or ``<d>``) holds
alternating ``<k>KEY</k>`` and value elements: ``<s>`` text, ``<i>`` integer,
``<r>`` real, ``<t/>`` true, a nested ``<d>``. A dictionary with the entry
"k4" is a level: "k4" holds its encoded level data and "k2" its name. A file
may hold several levels, in nested dictionaries.

Export files are passed around between players, so they are read with
defusedxml, which refuses entity declarations (and so the "billion laughs")
and external references; each level's dictionary is let go once it has been
handed out, so a file of many levels is read in the memory of one.
"""
from xml.etree.ElementTree import ParseError

from defusedxml import DefusedXmlException, EntitiesForbidden
from defusedxml.ElementTree import iterparse

from velk.level.errors import LevelError

__all__ = ["LEVEL_DATA_KEY", "NAME_KEY", "ExportLevel", "iter_export"]

LEVEL_DATA_KEY = "k4"
NAME_KEY = "k2"
_DICT_TAGS = frozenset(("d", "dict"))
_KEY_TAGS = frozenset(("k", "key"))


class ExportLevel:
    """One level of an export file: its `name` (None when it has none) and
    its `data`, the text of its "k4" entry."""

    __slots__ = ("name", "data")

    def __init__(self, name, data):
        self.name = name
        self.data = data


def _entries(element):
    """The dictionary element's entries, key text to value element."""
    entries = {}
    children = iter(element)
    for child in children:
        if child.tag in _KEY_TAGS:
            value = next(children, None)
            if value is not None:
                entries[child.text or ""] = value
    return entries


def _refusal(exc):
    if isinstance(exc, EntitiesForbidden):
        return "it declares the XML entity %r" % exc.name
    return "it refers to an outside resource (%s)" % type(exc).__name__


def iter_export(source):
    """The levels of an export file, in document order.

    `source` is a path or a binary file object. Raises LevelError for a file
    that is not well-formed XML, declares entities or refers to outside
    resources, and for a file with no level data."""
    found = False
    try:
        for _event, element in iterparse(source, events=("end",)):
            if element.tag not in _DICT_TAGS:
                continue
            entries = _entries(element)
            data = entries.get(LEVEL_DATA_KEY)
            if data is None:
                continue
            name = entries.get(NAME_KEY)
            found = True
            yield ExportLevel(None if name is None else name.text or "", data.text or "")
            element.clear()
    except DefusedXmlException as exc:
        raise LevelError("export file refused: %s" % _refusal(exc)) from None
    except ParseError as exc:
        raise LevelError("not a well-formed export file: %s" % exc) from None
    if not found:
        raise LevelError("no level data in the export file: no %r entry" % LEVEL_DATA_KEY)
