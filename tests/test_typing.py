"""The type stub of the native module passes mypy --strict, and so does
code that uses it."""
import os
import subprocess
import sys

import pytest

pytest.importorskip("mypy")

HERE = os.path.dirname(os.path.abspath(__file__))


def test_stub_and_usage_pass_strict_mypy(tmp_path):
    import velk

    stub = os.path.join(os.path.dirname(velk.__file__), "_velkc.pyi")
    proc = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-error-summary",
         "--cache-dir", str(tmp_path), stub, os.path.join(HERE, "typing_usage.py")],
        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True,
    )
    assert proc.returncode == 0, proc.stdout
