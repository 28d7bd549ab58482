"""velk.dask on a LocalCluster of two worker processes (the `velk[dask]`
extra), bound to loopback only: levels as a bag, objects as a dataframe,
tables written a part per task, and errors from workers with their
location."""
import os

import pytest

pytest.importorskip("dask.bag")
distributed = pytest.importorskip("dask.distributed")
pytest.importorskip("pyarrow")
pytest.importorskip("pandas")

from velk import cli, level  # noqa: E402
from velk import dask as velk_dask  # noqa: E402

from archives import folder_bytes, make_archive  # noqa: E402

TASK_BYTES = 32 << 10


@pytest.fixture(scope="module")
def archive(tmp_path_factory):
    return make_archive(tmp_path_factory.mktemp("archive"))


@pytest.fixture(scope="module")
def client():
    # Loopback only, the dashboards too: some versions bind a dashboard to
    # every interface unless told otherwise.
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  host="127.0.0.1", dashboard_address="127.0.0.1:0",
                                  worker_dashboard_address="127.0.0.1:0") as cluster, \
            distributed.Client(cluster) as connected:
        yield connected


def test_the_cluster_listens_on_loopback_only(client):
    info = client.scheduler_info()
    assert len(info["workers"]) == 2
    addresses = [client.scheduler.address] + list(info["workers"])
    assert all(address.startswith("tcp://127.0.0.1:") for address in addresses)


def test_levels_are_those_velk_reads_in_order(client, archive):
    found = velk_dask.read_levels([archive], keep_going=True, task_bytes=TASK_BYTES)
    assert found.npartitions > 2
    expected = [(path, index, read) for path, levels in level.read_files([archive],
                                                                          keep_going=True)
                for index, read in enumerate(levels, 1)]
    assert found.compute() == expected


def test_a_workers_error_is_raised_with_its_location(client, archive):
    with pytest.raises(level.LevelError) as caught:
        velk_dask.read_levels([archive], task_bytes=TASK_BYTES).compute()
    assert caught.value.path is not None and caught.value.path.startswith(archive)
    assert str(caught.value).startswith(caught.value.path + ": ")


def test_objects_as_a_dataframe(client, archive, tmp_path):
    import pyarrow.dataset

    frame = velk_dask.read_objects([archive], task_bytes=TASK_BYTES)
    assert frame.npartitions > 2
    counts = frame.object_id.value_counts().compute().to_dict()
    cli.main(["table", archive, "-o", str(tmp_path / "t"), "--quiet", "--jobs", "1"])
    ids = pyarrow.dataset.dataset(str(tmp_path / "t" / "objects")).to_table(
        columns=["object_id"]).column("object_id").to_pylist()
    expected = {}
    for found in ids:
        if found is not None:
            expected[found] = expected.get(found, 0) + 1
    assert counts == expected


def test_the_table_written_on_the_cluster_is_the_one_velk_table_writes(client, archive,
                                                                      tmp_path):
    done = velk_dask.write_table([archive], str(tmp_path / "cluster"), task_bytes=TASK_BYTES)
    assert cli.main(["table", archive, "-o", str(tmp_path / "local"), "--quiet", "--jobs", "2",
                     "--task-size", "32K"]) == done.status == 2
    assert folder_bytes(str(tmp_path / "cluster")) == folder_bytes(str(tmp_path / "local"))
    assert done.objects and done.levels and done.failures


def test_standard_input_is_refused_on_a_cluster(client, archive):
    with pytest.raises(ValueError, match="standard input"):
        velk_dask.read_levels(["-"])
    assert not os.path.exists("-")
