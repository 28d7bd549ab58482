"""`python -m velk` run where a source folder velk/ comes first on the path,
as from the root of a checkout: one line that says why it cannot run while
the folder has no built module, the command itself once it has one.

The folder is a copy of the package in a temporary directory, run from
there by an interpreter without site-packages (-S), so that no installed
or editable package can answer instead; the package's dependencies are
given on PYTHONPATH."""
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest


@pytest.fixture
def source_folder(tmp_path):
    """A directory laid out as a checkout's root: the packages velk and
    enums, velk without its built module."""
    import enums
    import velk

    for package in (velk, enums):
        shutil.copytree(
            str(Path(package.__file__).resolve().parent), str(tmp_path / package.__name__),
            ignore=shutil.ignore_patterns("__pycache__", "_velkc*.so"),
        )
    return tmp_path


def dependency_folders():
    import defusedxml
    import tqdm

    return [str(Path(module.__file__).resolve().parent.parent) for module in (defusedxml, tqdm)]


def run_module(folder, *argv):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(dependency_folders()))
    return subprocess.run(
        [sys.executable, "-S", "-m", "velk"] + list(argv),
        cwd=str(folder), input="1_255_5_1\n", env=env,
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True,
        timeout=120,
    )


def test_without_built_module_says_why_in_one_line(source_folder):
    proc = run_module(source_folder, "show", "--kind", "colour", "-")
    assert proc.returncode == 2
    assert proc.stdout == ""
    assert proc.stderr.count("\n") == 1, proc.stderr
    assert proc.stderr.startswith(
        "velk: %s has no native module built for Python %d.%d: it is a source folder"
        % (source_folder / "velk", sys.version_info[0], sys.version_info[1])
    )
    assert "current directory comes first on the module path" in proc.stderr
    assert "make dev" in proc.stderr


def test_with_module_built_in_place_runs_the_command(source_folder):
    import velk._velkc

    shutil.copy2(velk._velkc.__file__, str(source_folder / "velk"))
    proc = run_module(source_folder, "show", "--kind", "colour", "-")
    assert proc.returncode == 0, proc.stderr
    assert '"1": 255' in proc.stdout
