"""Tables in Parquet (the `velk[table]` extra): the same bytes for any
number of processes, values that read back with pyarrow, DuckDB and
Polars to what velk.level reads, and row groups that bound memory."""
import os

import pytest

pq = pytest.importorskip("pyarrow.parquet")
dataset = pytest.importorskip("pyarrow.dataset")

from velk import cli  # noqa: E402
from velk.archive import record_of  # noqa: E402

from archives import folder_bytes, jsonl_rows, make_archive, velk_records  # noqa: E402


@pytest.fixture(scope="module")
def archive(tmp_path_factory):
    return make_archive(tmp_path_factory.mktemp("archive"))


@pytest.fixture(scope="module")
def tables(archive, tmp_path_factory):
    """The archive's tables in Parquet, written by two processes, and the
    same written by one."""
    top = tmp_path_factory.mktemp("tables")
    for jobs in ("1", "2"):
        status = cli.main(["table", archive, "-o", str(top / jobs), "--jobs", jobs, "--quiet",
                           "--task-size", "32K", "--row-group", "100"])
        assert status == 2
    return top


def test_the_same_bytes_for_one_process_and_for_two(tables):
    one = folder_bytes(str(tables / "1"))
    assert all(name.endswith(".parquet") for name in one)
    assert one == folder_bytes(str(tables / "2"))


def _rows_by_pyarrow(folder):
    return dataset.dataset(os.path.join(folder, "objects"), format="parquet").to_table() \
        .to_pylist()


def _rows_by_duckdb(folder):
    duckdb = pytest.importorskip("duckdb")
    query = duckdb.sql("SELECT * FROM '%s' ORDER BY file, level, index"
                       % os.path.join(folder, "objects", "*.parquet"))
    return [dict(zip(query.columns, values)) for values in query.fetchall()]


def _rows_by_polars(folder):
    polars = pytest.importorskip("polars")
    frame = polars.read_parquet(os.path.join(folder, "objects", "*.parquet"))
    rows = frame.to_dicts()
    for row in rows:
        # Polars before its Map type gives a map as a list of {"key",
        # "value"} structs.
        if isinstance(row["properties"], list):
            row["properties"] = [(pair["key"], pair["value"]) for pair in row["properties"]]
    return rows


@pytest.mark.parametrize("reader", [_rows_by_pyarrow, _rows_by_duckdb, _rows_by_polars])
def test_values_read_back_to_what_velk_reads(tables, archive, reader):
    rows = reader(str(tables / "2"))
    found = {(row["file"], row["level"], row["index"]): record_of(row)
             for row in rows if row["level"] is not None}
    assert found == velk_records(archive)
    assert all(type(row["x"]) is float for row in rows if row["x"] is not None)


def test_parquet_holds_what_json_lines_hold(tables, archive, tmp_path):
    assert cli.main(["table", archive, "-o", str(tmp_path / "j"), "--output-format", "jsonl",
                     "--quiet", "--task-size", "32K"]) == 2
    for name in ("levels", "failures"):
        table = dataset.dataset(str(tables / "1" / name)).to_table().to_pylist()
        for row in table:
            for key, value in row.items():
                if key in ("header", "properties"):
                    row[key] = dict(value)
                elif key == "colours":
                    row[key] = [dict(colour) for colour in value]
        assert table == jsonl_rows(str(tmp_path / "j"), name)


def test_row_groups_hold_at_most_the_rows_asked_for(tables):
    folder = tables / "1" / "objects"
    sizes = [pq.ParquetFile(str(folder / part)).metadata.row_group(group).num_rows
             for part in sorted(os.listdir(str(folder)))
             for group in range(pq.ParquetFile(str(folder / part)).metadata.num_row_groups)]
    assert max(sizes) == 100 and len(sizes) > len(os.listdir(str(folder)))
    metadata = pq.ParquetFile(str(folder / sorted(os.listdir(str(folder)))[0])).metadata
    assert metadata.row_group(0).column(0).compression == "ZSTD"


def test_every_part_has_the_whole_schema_even_when_empty(tables):
    schemas = {name: {str(pq.read_schema(str(tables / "1" / name / part)))
                      for part in os.listdir(str(tables / "1" / name))}
               for name in ("objects", "levels", "failures")}
    assert all(len(found) == 1 for found in schemas.values())
