"""The type stub of the native module matches the module, passes mypy
--strict, and so does code that uses it."""
import os
import shutil
import subprocess
import sys

import pytest

pytest.importorskip("mypy")

HERE = os.path.dirname(os.path.abspath(__file__))


def test_stub_and_usage_pass_strict_mypy(tmp_path):
    # The stub is checked as the module mypy finds for velk._velkc (the
    # installed package, or the checkout on PYTHONPATH), not by file name,
    # which mypy would refuse inside site-packages.
    shutil.copy(os.path.join(HERE, "typing_usage.py"), str(tmp_path))
    proc = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-error-summary",
         "--cache-dir", str(tmp_path / "cache"),
         "-m", "velk._velkc", "-m", "typing_usage"],
        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True,
        cwd=str(tmp_path),
    )
    assert proc.returncode == 0, proc.stdout


def test_stub_matches_the_module(tmp_path):
    # stubtest imports the module and holds every name it has at run time
    # against the stub that mypy finds for it, wherever the package is
    # installed from. It runs outside the checkout, whose source folder has
    # no built module.
    env = dict(os.environ)
    if env.get("VELK_ASAN"):
        # Under tools/asan.sh, LeakSanitizer finds objects that stubtest's own
        # process loses at exit, whichever module it checks; the module's
        # leaks are the business of the other tests there.
        env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":detect_leaks=0"
    proc = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "velk._velkc"],
        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True,
        cwd=str(tmp_path), env=env,
    )
    assert proc.returncode == 0, proc.stdout


def test_the_modules_of_level_files_pass_strict_mypy(tmp_path):
    # Their functions are annotated throughout; the older modules they call
    # are not, so calls into those are let through untyped. mypy checks for
    # the version it runs on: on 3.8 the annotations must be 3.8's.
    root = os.path.dirname(HERE)
    modules = ["velk/level/atomic.py", "velk/level/save.py", "velk/level/listing.py",
               "velk/level/output.py", "velk/level/library.py", "velk/cli_levels.py"]
    proc = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--follow-imports=silent", "--cache-dir", str(tmp_path / "cache"),
         "--untyped-calls-exclude=velk.level", "--untyped-calls-exclude=velk.cli"]
        + [os.path.join(root, module) for module in modules],
        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True, cwd=root,
    )
    assert proc.returncode == 0, proc.stdout
