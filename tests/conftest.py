import sys

import pytest


@pytest.fixture(scope="session")
def velkc():
    import velk._velkc

    return velk._velkc


@pytest.fixture(scope="session", autouse=True)
def no_thread_outlives_the_tests():
    # A progress bar starts a monitor thread that runs until the process
    # exits. A daemon thread still running then is ended without unwinding,
    # so the objects its frames held are lost, and under tools/asan.sh
    # LeakSanitizer reports them, or not, as the race goes; so it is
    # stopped first.
    yield
    tqdm = sys.modules.get("tqdm")
    if tqdm is not None and tqdm.tqdm.monitor is not None:
        tqdm.tqdm.monitor.exit()
