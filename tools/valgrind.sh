#!/usr/bin/env bash
# velk._velkc under valgrind's memcheck: tools/valgrind_driver.py, which
# calls every exported function on success and failure paths many times,
# and the hostile-object tests, run by the interpreter of VENV (which has
# the package installed, as `make valgrind` does it).
#
#   tools/valgrind.sh VENV
#
# The interpreter allocates with plain malloc (PYTHONMALLOC=malloc), so that
# memcheck sees each object. Fails on any memory error and on any block
# definitely lost with a frame of _velkc in its allocation stack; losses of
# the interpreter alone are listed but do not fail. Logs: build/valgrind/.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/lib.sh

venv=${1:?usage: tools/valgrind.sh VENV}
python=$PWD/$venv/bin/python
[ -x "$python" ] || python=$venv/bin/python
logs=build/valgrind
supp=$PWD/tools/valgrind-python.supp

command -v valgrind >/dev/null || apt_install valgrind
"$python" -c "import velk._velkc" || { echo "velk is not installed in $venv"; exit 2; }
rm -rf "$logs"
mkdir -p "$logs"
logs=$(cd "$logs" && pwd)

# memcheck NAME ARGS...: one run, its log in $logs/NAME.log.
memcheck() {
    local name=$1
    shift
    echo "== valgrind: $name"
    # from a neutral directory, so that the installed package is the one used
    (cd "$logs" && PYTHONMALLOC=malloc valgrind --tool=memcheck --error-exitcode=99 \
        --errors-for-leak-kinds=none --leak-check=full --show-leak-kinds=definite \
        --num-callers=40 --suppressions="$supp" --log-file="$logs/$name.log" \
        "$python" "$@")
}

# lost_from_velkc LOG: prints each "definitely lost" record whose stack
# passes through the module; fails when there is one.
lost_from_velkc() {
    awk '
        /definitely lost in loss record/ { record = $0; body = ""; inside = 1; next }
        inside && /^==[0-9]+== *$/ {
            if (body ~ /_velkc/) { print "--- " FILENAME ": " record; print body; lost = 1 }
            else others++
            inside = 0; next
        }
        inside { body = body "\n" $0 }
        END {
            if (others) printf "(%d definitely lost records of the interpreter alone in %s)\n", others, FILENAME
            exit lost
        }' "$1"
}

# First make sure that the check bites: objects made by the module and
# then given an extra reference must be reported as lost from _velkc.
memcheck canary -c '
import ctypes, velk._velkc as m
for _ in range(20):
    ctypes.pythonapi.Py_IncRef(ctypes.py_object(m._convert("1_2_3_4")))
' || true
if lost_from_velkc "$logs/canary.log" >/dev/null; then
    echo "memcheck did not report a deliberate loss; the run would prove nothing"
    exit 2
fi
rm "$logs/canary.log"

status=0
memcheck driver "$PWD/tools/valgrind_driver.py" 30 || status=$?
memcheck hostile -m pytest -q -p no:cacheprovider -x "$PWD/tests/test_hostile.py" \
    -k "not raised_recursion_limit" || status=$?
if [ "$status" != 0 ]; then
    echo "== memcheck found errors (status $status):"
    grep -h -A25 "Invalid\|uninitialised\|Mismatched\|overlap" "$logs"/*.log | head -80
    exit 1
fi

# Each "definitely lost" record with its stack; those that pass through
# the module fail the run.
found=0
for log in "$logs"/*.log; do
    lost_from_velkc "$log" || found=1
done
grep -h "definitely lost:" "$logs"/*.log | sed 's/^==[0-9]*==/   /'
if [ "$found" != 0 ]; then
    echo "== blocks definitely lost from _velkc (above)"
    exit 1
fi
echo "== no memory errors, nothing lost from _velkc"
