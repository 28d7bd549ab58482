"""Run saved fuzzing inputs through the harness, without libFuzzer.

    python fuzz/replay.py PATH...

Each PATH is an input file or a directory of them (a corpus). Every input
goes once through fuzz_velkc.TestOneInput; the first finding ends the run
with its traceback, as it would under libFuzzer. tools/fuzz.sh uses this to
measure which lines of the module the corpus runs, on a build with gcov
counters; with the in-place build of `make dev` it replays a crash
artifact outside the sanitizers:

    PYTHONPATH=. .venv-fuzz/bin/python fuzz/replay.py fuzz/crashes/crash-...
"""
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def inputs(paths):
    for path in paths:
        if os.path.isdir(path):
            for name in sorted(os.listdir(path)):
                yield os.path.join(path, name)
        else:
            yield path


def main(paths):
    sys.path.insert(0, HERE)
    import fuzz_velkc

    count = 0
    for path in inputs(paths):
        with open(path, "rb") as stream:
            data = stream.read()
        try:
            fuzz_velkc.TestOneInput(data)
        except BaseException:
            print("finding with input %s" % path, file=sys.stderr)
            raise
        count += 1
    print("replayed %d inputs" % count)


if __name__ == "__main__":
    main(sys.argv[1:])
