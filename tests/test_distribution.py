"""The release files install and work in fresh virtual environments: the
repaired wheel of the running interpreter, and the sdist, built from source
there as pip builds it for a user.

`make test-dist` builds the files as `make wheels` does and names their
folder in VELK_DIST. Without VELK_DIST these tests are skipped, since the
build takes a minute, too long for every run of the suite; with it, a
missing file fails them."""
import json
import os
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

DIST = os.environ.get("VELK_DIST")
pytestmark = pytest.mark.skipif(not DIST, reason="no release files: make test-dist builds them")

TAG = "cp%d%d" % sys.version_info[:2]

# Run by the fresh environment's interpreter in isolated mode and outside
# the checkout, so that neither PYTHONPATH nor a source folder can stand in
# for the installed package.
PROBE = """
import json, sys
import velk, velk._velkc
from importlib import metadata
from pathlib import Path
from velk.utils.crypto.coders import Coder
installed = Path(velk._velkc.__file__).parent
print(json.dumps({
    "in_environment": Path(sys.prefix).resolve() in installed.resolve().parents,
    "typed": sorted(p.name for p in installed.iterdir() if p.suffix in (".pyi", ".typed")),
    "version": [metadata.version("velk"), velk.__version__],
    "record": velk._velkc._object_convert("1,1,4,1,57,3.1"),
    "coder": Coder.byte_xor is velk._velkc.byte_xor,
}, default=sorted))
"""


def run(*command, cwd=None):
    proc = subprocess.run(
        [str(part) for part in command], cwd=cwd and str(cwd),
        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True,
        timeout=900,
    )
    if proc.returncode != 0:
        pytest.fail("%s failed:\n%s" % (" ".join(map(str, command)), proc.stdout))
    return proc.stdout


def only(pattern):
    found = sorted(Path(DIST).glob(pattern))
    assert len(found) == 1, "want one %s in %s, found %s" % (pattern, DIST, found)
    return found[0]


@pytest.fixture(scope="module")
def wheel():
    return only("velk-*-%s-%s-*.whl" % (TAG, TAG))


@pytest.fixture(scope="module")
def sdist():
    return only("velk-*.tar.gz")


def test_wheel_is_repaired_to_manylinux(wheel):
    platforms = wheel.name[:-len(".whl")].split("-")[-1].split(".")
    assert all(p.startswith("manylinux") for p in platforms), wheel.name


def test_wheel_carries_the_licence(wheel):
    with zipfile.ZipFile(str(wheel)) as archive:
        names = archive.namelist()
    assert any(n.endswith(".dist-info/licenses/LICENSE") for n in names), names


@pytest.mark.parametrize("kind", ["wheel", "sdist"])
def test_installs_and_imports_in_a_fresh_environment(kind, request, tmp_path):
    release = request.getfixturevalue(kind)
    env = tmp_path / "env"
    run(sys.executable, "-m", "venv", env)
    python = env / "bin" / "python"
    run(python, "-m", "pip", "install", "--disable-pip-version-check", "--quiet", release)
    result = json.loads(run(python, "-I", "-c", PROBE, cwd=tmp_path))
    distribution_version, package_version = result.pop("version")
    assert result == {
        "in_environment": True,
        "typed": ["_velkc.pyi", "py.typed"],
        "record": {"1": 1, "4": True, "57": [1, 3]},
        "coder": True,
    }
    assert distribution_version == package_version
    assert release.name.startswith("velk-%s" % package_version)
    assert "usage:" in run(env / "bin" / "velk", "--help", cwd=tmp_path)
