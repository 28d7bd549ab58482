"""The archive's tables in Apache Arrow and Parquet (needs pyarrow: ``pip
install 'velk[table]'``).

Imported only where Parquet is written or read, so that the rest of velk
never needs pyarrow. Columns are built from the gathered lists in one call
each, the map of properties from its flat keys, values and offsets, which
is much faster than building it row by row.
"""
from typing import Any, Dict, List

import pyarrow as pa
import pyarrow.parquet as pq

from velk.archive.rows import OBJECT_COLUMNS, ObjectRows

__all__ = ["SCHEMAS", "COMPRESSION", "ParquetSink", "objects_table", "rows_table"]

COMPRESSION = "zstd"
# A tenth smaller than zstd's fastest level, for a few percent more time.
COMPRESSION_LEVEL = 3

_TEXT_MAP = pa.map_(pa.string(), pa.string())
_IDENTITY = [("file", pa.string()), ("level", pa.int32()), ("level_name", pa.string()),
             ("level_id", pa.int64()), ("creator", pa.string())]

SCHEMAS = {
    "objects": pa.schema(_IDENTITY + [
        ("index", pa.int64()), ("object_id", pa.int64()), ("x", pa.float64()),
        ("y", pa.float64()), ("groups", pa.list_(pa.int64())), ("properties", _TEXT_MAP)]),
    "levels": pa.schema(_IDENTITY + [
        ("form", pa.string()), ("objects", pa.int64()), ("failed_records", pa.int64()),
        ("header", _TEXT_MAP), ("colours", pa.list_(_TEXT_MAP)), ("properties", _TEXT_MAP)]),
    "failures": pa.schema([
        ("file", pa.string()), ("level", pa.int32()), ("level_name", pa.string()),
        ("kind", pa.string()), ("index", pa.int64()), ("key", pa.string()),
        ("message", pa.string())]),
}


def objects_table(rows: ObjectRows) -> pa.Table:
    """The objects table of gathered rows."""
    schema = SCHEMAS["objects"]
    arrays = [pa.array(rows.columns[name], schema.field(name).type)
              for name in OBJECT_COLUMNS[:-1]]
    arrays.append(pa.MapArray.from_arrays(pa.array(rows.offsets, pa.int32()),
                                          pa.array(rows.keys, pa.string()),
                                          pa.array(rows.values, pa.string())))
    return pa.Table.from_arrays(arrays, schema=schema)


def _map_form(value: Any) -> Any:
    # A dict is a map's value in Python; pyarrow takes it as its pairs.
    if isinstance(value, dict):
        return list(value.items())
    if isinstance(value, list):
        return [_map_form(item) for item in value]
    return value


def rows_table(table: str, rows: List[Dict[str, Any]]) -> pa.Table:
    """The levels or failures table of rows given as dicts."""
    schema = SCHEMAS[table]
    return pa.Table.from_arrays(
        [pa.array([_map_form(row[name]) for row in rows], schema.field(name).type)
         for name in schema.names], schema=schema)


class ParquetSink:
    """One Parquet file of one of the tables, written a row group of
    `row_group_rows` at a time: what is added becomes Arrow columns at once
    and is held until a row group is full."""

    def __init__(self, path: str, table: str, row_group_rows: int) -> None:
        self.table = table
        self.row_group_rows = row_group_rows
        self.writer = pq.ParquetWriter(path, SCHEMAS[table], compression=COMPRESSION,
                                       compression_level=COMPRESSION_LEVEL)
        self._held: List[pa.Table] = []
        self._rows = 0

    def add_objects(self, rows: ObjectRows) -> None:
        self._add(objects_table(rows))

    def add_rows(self, rows: List[Dict[str, Any]]) -> None:
        self._add(rows_table(self.table, rows))

    def _add(self, table: pa.Table) -> None:
        self._held.append(table)
        self._rows += table.num_rows
        if self._rows >= self.row_group_rows:
            held = pa.concat_tables(self._held)
            whole = self._rows - self._rows % self.row_group_rows
            self.writer.write_table(held.slice(0, whole), row_group_size=self.row_group_rows)
            rest = held.slice(whole)
            self._held, self._rows = [rest], rest.num_rows

    def close(self) -> None:
        if self._rows:
            self.writer.write_table(pa.concat_tables(self._held),
                                    row_group_size=self.row_group_rows)
        self._held = []
        self.writer.close()
