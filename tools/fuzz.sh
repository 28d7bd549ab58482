#!/usr/bin/env bash
# Coverage-guided fuzzing of velk._velkc: fuzz/fuzz_velkc.py under libFuzzer
# (atheris) against a build of the module with AddressSanitizer,
# UndefinedBehaviorSanitizer and libFuzzer's edge counters.
#
#   tools/fuzz.sh SECONDS          fuzz for about SECONDS seconds
#   tools/fuzz.sh 0 FILE...        run saved inputs (crash artifacts) once
#
# New inputs go to build/fuzz-corpus (fuzz/corpus holds the committed
# seeds), crash artifacts to fuzz/crashes/. Exits non-zero on a finding: a
# crash, a sanitizer report or a broken contract raised by the harness.
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/lib.sh

duration=${1:-60}
shift || true
venv=.venv-fuzz
build=build/fuzz
work_corpus=build/fuzz-corpus
artifacts=fuzz/crashes/
log=build/fuzz.log

# clang, for libFuzzer's instrumentation, and the symbolizer of its reports.
apt_install clang-14 llvm-14
export CXX=clang++-14
# libFuzzer starts the harness again by its own path when it merges
export PATH=$PWD/$venv/bin:$PATH
export ASAN_SYMBOLIZER_PATH=/usr/lib/llvm-14/bin/llvm-symbolizer

ensure_venv "$venv"
"$venv/bin/python" -c "import atheris" 2>/dev/null || quiet_pip "$venv" atheris==2.3.0
echo "== building the fuzzing build in $build"
VELK_SANITIZE=ON quiet_pip "$venv" . "-Cbuild-dir=$build" \
    "-Ccmake.define.CMAKE_CXX_COMPILER_LAUNCHER=$PWD/tools/fuzz-cxx"

atheris_dir=$("$venv/bin/python" -c "import atheris; print(atheris.path())")
mkdir -p "$work_corpus" "$artifacts"
# The sanitizer runtime that carries libFuzzer must come first; the
# interpreter's own allocator is bypassed so that ASan sees every object.
export LD_PRELOAD="$atheris_dir/asan_with_fuzzer.so"
export PYTHONMALLOC=malloc
# Leaks are tools/asan.sh's and tools/valgrind.sh's business: the
# interpreter's caches make libFuzzer's per-input leak check meaningless.
export ASAN_OPTIONS=detect_leaks=0:halt_on_error=1:allocator_may_return_null=1:detect_stack_use_after_return=1:strict_string_checks=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
fuzz=("$venv/bin/python" fuzz/fuzz_velkc.py -detect_leaks=0 -rss_limit_mb=6144
      -timeout=30 -max_len=2048 -len_control=10 "-artifact_prefix=$artifacts")

# line_coverage: "N of M (P%)", the lines of src/ that the corpus runs.
line_coverage() {
    local cov=build/fuzz-gcov pkg=build/fuzz-gcov/pkg
    "$venv/bin/python" -c "import cmake, ninja" 2>/dev/null || quiet_pip "$venv" cmake ninja
    env -u LD_PRELOAD -u CXX "$venv/bin/cmake" -S . -B "$cov" -G Ninja \
        -DCMAKE_MAKE_PROGRAM="$PWD/$venv/bin/ninja" -DCMAKE_BUILD_TYPE=Debug \
        -DCMAKE_CXX_FLAGS="--coverage -O0" -DPython_EXECUTABLE="$PWD/$venv/bin/python" >/dev/null 2>&1
    env -u LD_PRELOAD "$venv/bin/cmake" --build "$cov" >/dev/null
    rm -rf "$pkg" && mkdir -p "$pkg" && cp -r velk enums "$pkg/"
    rm -f "$pkg"/velk/_velkc*.so && cp "$cov"/_velkc*.so "$pkg/velk/"
    find "$cov" -name '*.gcda' -delete
    env -u LD_PRELOAD -u PYTHONMALLOC PYTHONPATH="$pkg" VELK_FUZZ_NATIVE_ONLY=1 \
        "$venv/bin/python" fuzz/replay.py "$work_corpus" fuzz/corpus >/dev/null
    find "$cov" -name '*.gcda' -print0 | xargs -0 -I{} sh -c 'gcov -n -o "$(dirname "$1")" "$1"' _ {} 2>/dev/null |
        awk -v src="$PWD/src/" '
            /^File / { f = $2; gsub("\047", "", f); keep = index(f, src) == 1 && f ~ /\.cpp$/ }
            /^Lines executed:/ && keep { sub(/.*:/, "", $2); n = $4; run += $2 * n / 100; all += n; keep = 0 }
            END { if (all) printf "%d of %d (%.0f%%)\n", run + 0.5, all, 100 * run / all }'
}

if [ "$duration" = 0 ]; then
    # Inputs given as files are run once each; the exit status tells.
    exec "${fuzz[@]}" "$@"
fi

echo "== fuzzing for ${duration}s (log: $log)"
status=0
"${fuzz[@]}" -max_total_time="$duration" -print_final_stats=1 \
    "$work_corpus" fuzz/corpus >"$log" 2>&1 || status=$?

# Coverage of the native module by the corpus, in two measures. Edges:
# the corpus runs once more under libFuzzer without the instrumentation of
# the Python modules, so that its count is the module's own edges (of all
# of them, initialisation and out-of-memory paths included). Lines: the
# corpus runs through the harness against a build with gcov counters.
native=$(VELK_FUZZ_NATIVE_ONLY=1 "${fuzz[@]}" -runs=0 "$work_corpus" fuzz/corpus 2>&1 |
    sed -n -e 's/.*Loaded 1 modules *(\([0-9]*\) inline 8-bit counters).*/total \1/p' \
           -e 's/.*INITED cov: \([0-9]*\) .*/covered \1/p' | tr '\n' ' ' || true)
lines=$(line_coverage 2>&1 | tail -1 || true)

executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
last=$(grep -E '^#[0-9]+' "$log" | tail -1 || true)
echo "== executions: ${executions:-?} (${rate:-?}/s)"
echo "== last status: ${last:-none}"
read -r _ total _ covered <<<"$native" || true
echo "== native module edges covered by the corpus: ${covered:-?} of ${total:-?}"
echo "== native module source lines run by the corpus: ${lines:-?}"
echo "== corpus: $(ls "$work_corpus" | wc -l) inputs in $work_corpus, $(ls fuzz/corpus | wc -l) seeds in fuzz/corpus"

if [ "$status" != 0 ]; then
    echo "== FINDING (libFuzzer exit status $status):"
    # the report: what the harness or the sanitizer said, up to the artifact
    # The report starts at the harness's uncaught exception or the
    # sanitizer's error, not at the tracebacks of errors the harness lets
    # the interpreter print and pass over. (head may leave the pipes early.)
    grep -v '^"' "$log" | sed -n '/ERROR\|Uncaught\|runtime error/,/Test unit written/p' | head -60 || true
    ls -t "$artifacts" | head -5 | sed "s|^|   artifact: $artifacts|" || true
    exit 1
fi
