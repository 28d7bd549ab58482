"""Parts of an archive's tables written as the rows stream: Apache Parquet
through pyarrow (``pip install 'velk[table]'``), or JSON lines, which need
nothing.

A table is a folder of parts, one per task ("objects/part-00003.parquet"),
as Spark and Dask write them and as DuckDB, Polars and pyarrow read them
("objects/*.parquet"). A part is written under a temporary name and
renamed into place once whole, so a part that is there is whole.

Parquet parts are compressed with zstd and written a row group at a time:
each level's rows become columns at once, which take a fraction of the
memory of the rows as Python values, and are held until a row group is
full (ROW_GROUP_ROWS); so the memory a part takes is bounded by a row
group and a level, not by the archive. Every value
that Parquet holds is written as it is; the schema is the same for every
part, empty ones included, so a folder reads as one table.

JSON lines hold one JSON object per line with the same columns: the maps
are JSON objects and the lists arrays; a float that JSON cannot spell
(an infinity) is written as Python's json module spells it.
"""
import json
import os
from typing import IO, Any, Dict, Iterable, List

from velk.archive.rows import ObjectRows

__all__ = ["FORMATS", "TABLES", "ROW_GROUP_ROWS", "default_format", "part_name", "JsonSink",
           "PartWriter"]

FORMATS = ("parquet", "jsonl")
TABLES = ("objects", "levels", "failures")
# Rows of a Parquet row group: enough for good compression and fast scans,
# few enough that a worker holds a row group in tens of megabytes.
ROW_GROUP_ROWS = 128 * 1024
_SUFFIX = {"parquet": ".parquet", "jsonl": ".jsonl"}


def default_format() -> str:
    """Parquet when pyarrow is installed, else JSON lines."""
    try:
        import pyarrow.parquet  # noqa: F401
    except ImportError:
        return "jsonl"
    return "parquet"


def part_name(number: int, format: str) -> str:
    return "part-%05d%s" % (number, _SUFFIX[format])


class JsonSink:
    """One JSON lines file of one of the tables, written as rows come."""

    def __init__(self, path: str) -> None:
        self.out = open(path, "w", encoding="utf-8")

    def add_objects(self, rows: ObjectRows) -> None:
        _write_lines(self.out, rows.dicts())

    def add_rows(self, rows: List[Dict[str, Any]]) -> None:
        _write_lines(self.out, rows)

    def close(self) -> None:
        self.out.close()


def _write_lines(out: IO[str], rows: Iterable[Dict[str, Any]]) -> None:
    out.writelines(json.dumps(row) + "\n" for row in rows)


class PartWriter:
    """One part of each table, written in `folder` (which holds a folder
    per table) as part `number`, in `format`. Add rows with `add_objects`,
    `add_level` and `add_failure`; `close()` completes the parts, and
    `discard()` removes what was written of them."""

    def __init__(self, folder: str, number: int, format: str,
                 row_group_rows: int = ROW_GROUP_ROWS) -> None:
        if format not in FORMATS:
            raise ValueError("unknown table format %r (choose from %s)"
                             % (format, ", ".join(FORMATS)))
        self.row_group_rows = row_group_rows
        self.paths = {table: os.path.join(folder, table, part_name(number, format))
                      for table in TABLES}
        self._temporary = {table: "%s.%d.tmp" % (path, os.getpid())
                           for table, path in self.paths.items()}
        # Levels and failures are few: held as dicts until a row group is
        # full, then handed on together.
        self._held: Dict[str, List[Dict[str, Any]]] = {"levels": [], "failures": []}
        self._sinks: Dict[str, Any] = {}
        try:
            for table in TABLES:
                if format == "parquet":
                    from velk.archive.arrow import ParquetSink

                    self._sinks[table] = ParquetSink(self._temporary[table], table,
                                                     row_group_rows)
                else:
                    self._sinks[table] = JsonSink(self._temporary[table])
        except BaseException:
            self.discard()
            raise

    def add_objects(self, rows: ObjectRows) -> None:
        if len(rows):
            self._sinks["objects"].add_objects(rows)

    def add_level(self, row: Dict[str, Any]) -> None:
        self._hold("levels", row)

    def add_failure(self, row: Dict[str, Any]) -> None:
        self._hold("failures", row)

    def _hold(self, table: str, row: Dict[str, Any]) -> None:
        held = self._held[table]
        held.append(row)
        if len(held) >= self.row_group_rows:
            self._pass_on(table)

    def _pass_on(self, table: str) -> None:
        held = self._held[table]
        if held:
            self._sinks[table].add_rows(held)
            self._held[table] = []

    def close(self) -> None:
        """Write what is held and move every part into place."""
        try:
            for table in self._held:
                self._pass_on(table)
            for table in TABLES:
                self._sinks.pop(table).close()
            for table in TABLES:
                os.replace(self._temporary[table], self.paths[table])
        except BaseException:
            self.discard()
            raise

    def discard(self) -> None:
        """Close and remove what was written: nothing of the parts stays."""
        for sink in self._sinks.values():
            try:
                sink.close()
            except Exception:
                pass
        self._sinks.clear()
        for path in self._temporary.values():
            try:
                os.unlink(path)
            except OSError:
                pass
