"""The package passes mypy --strict, its native module's stub matches the
module, and a user's script that calls every public function passes mypy
--strict and pyright (strict) while the mistakes it holds are caught."""
import json
import os
import shutil
import subprocess
import sys

import pytest

pytest.importorskip("mypy")

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)


def _run(argv, cwd, env=None):
    return subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          universal_newlines=True, cwd=str(cwd), env=env)


def _mypy(tmp_path, *args, cwd):
    # mypy checks for the interpreter it runs on, so on 3.8 the annotations
    # must be 3.8's; --strict holds unused ignores as errors.
    return _run([sys.executable, "-m", "mypy", "--strict", "--no-error-summary",
                 "--cache-dir", str(tmp_path / "cache")] + list(args), cwd)


@pytest.mark.parametrize("script", ["typing_usage.py", "typing_user.py"])
def test_scripts_of_users_pass_strict_mypy(tmp_path, script):
    # Checked outside the checkout, against the package as it is installed
    # (or on PYTHONPATH), with its py.typed and the native module's stub,
    # as a user's code is. Each deliberate mistake of typing_user.py
    # carries an ignore with its error code: a mistake no longer reported
    # makes the ignore unused, which fails here.
    shutil.copy(os.path.join(HERE, script), str(tmp_path))
    proc = _mypy(tmp_path, "-m", "velk._velkc", "-m", script[:-3], cwd=tmp_path)
    assert proc.returncode == 0, proc.stdout


def test_the_package_passes_strict_mypy(tmp_path):
    proc = _mypy(tmp_path, "-p", "velk", "-p", "enums", cwd=ROOT)
    assert proc.returncode == 0, proc.stdout


def test_the_user_script_passes_strict_pyright(tmp_path):
    checker = shutil.which("basedpyright", path=os.path.dirname(sys.executable))
    if checker is None:
        pytest.skip("basedpyright is not installed: make typecheck installs it")
    shutil.copy(os.path.join(HERE, "typing_user.py"), str(tmp_path))
    config = {"typeCheckingMode": "strict", "reportUnnecessaryTypeIgnoreComment": "error",
              "pythonVersion": "%d.%d" % sys.version_info[:2]}
    (tmp_path / "pyrightconfig.json").write_text(json.dumps(config))
    proc = _run([checker, "--pythonpath", sys.executable, "typing_user.py"], tmp_path)
    assert proc.returncode == 0, proc.stdout
    assert "0 errors, 0 warnings" in proc.stdout


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
    proc = _run([sys.executable, "-m", "mypy.stubtest", "velk._velkc"], tmp_path, env)
    assert proc.returncode == 0, proc.stdout
