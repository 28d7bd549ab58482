#!/usr/bin/env bash
# The whole test suite against a build of velk._velkc with AddressSanitizer
# and UndefinedBehaviorSanitizer (VELK_SANITIZE=ON), in a virtual environment
# and build directory of the interpreter's version (.venv-asan-3.X,
# build/asan-3.X), so that runs on several versions can share the checkout.
#
# Every object is a malloc block of its own (PYTHONMALLOC=malloc), so ASan
# sees each use after free and overflow of a Python object, and LeakSanitizer
# each object whose last reference is lost; tools/lsan.supp lists the
# interpreter's own losses, tools/lsan-immortal.supp those of 3.12 and
# later. Reports of every process, the subprocesses that some tests start
# included, go to build/asan-reports-3.X/; any report, and any failing
# test, fails the script.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/lib.sh

root=$PWD
version=$("$(find_python)" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
venv=.venv-asan-$version
build=build/asan-$version
reports=build/asan-reports-$version

ensure_venv "$venv"
echo "== building and installing the sanitizer build ($build)"
VELK_SANITIZE=ON quiet_pip "$venv" '.[test]' "-Cbuild-dir=$build"

libasan=$(gcc -print-file-name=libasan.so)
libstdcxx=$(gcc -print-file-name=libstdc++.so)
[ -e "$libasan" ] || { echo "gcc has no libasan.so ($libasan)"; exit 2; }
rm -rf "$reports"
mkdir -p "$reports"
reports=$(cd "$reports" && pwd)
# LeakSanitizer reads one file: the entries of every version, then those of
# the versions that leave their interned strings at exit.
supp=$PWD/$build/lsan.supp
cat tools/lsan.supp >"$supp"
if "$venv/bin/python" -c 'import sys; sys.exit(sys.version_info < (3, 12))'; then
    cat tools/lsan-immortal.supp >>"$supp"
fi

# The ASan runtime must be the first library of the process; libstdc++ is
# loaded with it so that its operator new and delete are the ones ASan
# intercepts from the start.
run_sanitized() {
    LD_PRELOAD="$libasan $libstdcxx" \
    PYTHONMALLOC=malloc \
    VELK_ASAN=1 \
    ASAN_OPTIONS="halt_on_error=1:detect_leaks=1:detect_stack_use_after_return=1:strict_string_checks=1:check_initialization_order=1:log_path=$reports/asan" \
    LSAN_OPTIONS="suppressions=$supp:print_suppressions=0" \
    UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$reports/ubsan" \
    "$@"
}

# First make sure that the checks bite: an object made by the module and
# then given an extra reference must be reported as leaked.
canary=$reports/canary
mkdir -p "$canary"
(cd "$canary" && LD_PRELOAD="$libasan $libstdcxx" PYTHONMALLOC=malloc \
    ASAN_OPTIONS="detect_leaks=1:log_path=$canary/asan" \
    LSAN_OPTIONS="suppressions=$supp:print_suppressions=0" \
    "$root/$venv/bin/python" -c '
import ctypes, velk._velkc as m
ctypes.pythonapi.Py_IncRef(ctypes.py_object(m._convert("1_2_3_4")))
') >/dev/null 2>&1 || true
if ! grep -qs "LeakSanitizer: detected memory leaks" "$canary"/asan.*; then
    echo "LeakSanitizer did not report a deliberate leak; the run would prove nothing"
    exit 2
fi
rm -rf "$canary"

echo "== running the test suite under the sanitizers"
status=0
(cd tests && run_sanitized "../$venv/bin/python" -m pytest -q -p no:cacheprovider "$@") || status=$?

if compgen -G "$reports/*" >/dev/null; then
    echo "== sanitizer reports:"
    for report in "$reports"/*; do
        echo "--- $report"
        head -60 "$report"
    done
    exit 1
fi
if [ "$status" != 0 ]; then
    echo "== the test suite failed under the sanitizers (status $status)"
    exit "$status"
fi
echo "== no sanitizer reports"
