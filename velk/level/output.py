"""One level written as a file of the form a user asks for.

- "export": an export file (``velk.level.export``), with every property of
  the level; a level read from a save or export file and left unchanged
  keeps its level data byte for byte;
- "encoded": its encoded level data ("H4sI..."), on one line;
- "level": its level string, on one line.

    from velk.level.output import write_level_file
    write_level_file(level, "my-level.xml")              # an export file
    write_level_file(level, "my-level.txt", "encoded")

Every form goes through the writers that check what they write reads back
to equal values (`write_level`, `save_level`, `export_xml`).
"""
from typing import IO, Tuple, Union

from velk.level.atomic import write_to
from velk.level.export import export_xml
from velk.level.level import Level, save_level, write_level
from velk.level.values import PathName

__all__ = ["OUTPUT_FORMS", "level_bytes", "write_level_file"]

OUTPUT_FORMS: Tuple[str, ...] = ("export", "encoded", "level")


def level_bytes(level: Level, form: str = "export") -> bytes:
    """The bytes of a file holding `level` in `form`, one of OUTPUT_FORMS.
    Encoded data keep the compression the level was read with (gzip for a
    level that had none)."""
    if form == "export":
        xml: bytes = export_xml(level)
        return xml
    if form == "encoded":
        compression = getattr(level.origin, "compression", None) or "gzip"
        data: str = save_level(level, compression)
        return (data + "\n").encode("ascii")
    if form == "level":
        text: str = write_level(level)
        return (text + "\n").encode("utf-8")
    raise ValueError("unknown form %r (choose from %s)" % (form, ", ".join(OUTPUT_FORMS)))


def write_level_file(level: Level, target: Union[PathName, IO[bytes], IO[str]],
                     form: str = "export") -> None:
    """Write `level` in `form` (see `level_bytes`) to `target`: a path,
    replaced whole or not at all, or a file object open for writing, binary
    or text."""
    write_to(target, level_bytes(level, form))
