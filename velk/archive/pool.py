"""Tasks spread over worker processes, their results taken in the order of
the tasks.

    for summary in ordered_map(write_part, tasks, settings, jobs=2):
        ...                                  # task 0's, then task 1's, ...

The standard library's process pool does the work, started with
forkserver where the platform has it (else spawn): a worker is a fresh
process that shares no state with the caller, so what it runs must be a
module's function of picklable arguments, as the map functions of
``velk.archive.tasks`` are. Forking the caller itself could copy a lock
held by one of its threads (a progress line's, a logger's) into a child
that then waits on it forever.

Only a few tasks more than there are workers are handed out ahead of the
one whose result is awaited, so results waiting for their turn stay few
whatever the number of tasks. A task that reads standard input runs in
this process, in its turn: a worker has no standard input.

An error raised by a task reaches the caller as the same error, with its
location (velk's errors pickle whole); a worker that dies (killed, out of
memory) raises BrokenProcessPool instead of leaving the caller waiting.
Either way, and on Ctrl-C, the tasks not yet started are cancelled and
the pool is shut down before the error goes on.
"""
import multiprocessing
import os
from collections import deque
from concurrent.futures import Future, ProcessPoolExecutor
from typing import Any, Callable, Deque, Iterator, Optional, Sequence, TypeVar

from velk.archive.plan import Task

__all__ = ["usable_cores", "start_method", "ordered_map"]

Result = TypeVar("Result")
# Tasks handed out per worker beyond the one it runs.
_AHEAD = 2


def usable_cores() -> int:
    """The processors this process may run on (its affinity, which a
    container or `taskset` narrows), at least 1."""
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except AttributeError:  # platforms without affinity
        return os.cpu_count() or 1


def start_method() -> str:
    methods = multiprocessing.get_all_start_methods()
    return "forkserver" if "forkserver" in methods else "spawn"


def ordered_map(function: Callable[[Task, Any], Result], tasks: Sequence[Task], argument: Any,
                jobs: Optional[int] = None) -> Iterator[Result]:
    """`function(task, argument)` for every task, in `jobs` worker
    processes (default: the usable cores; 1 runs every task in this
    process), yielded in the tasks' order."""
    jobs = usable_cores() if jobs is None else jobs
    remote = [task for task in tasks if not task.local]
    workers = min(jobs, len(remote))
    if workers <= 1:
        for task in tasks:
            yield function(task, argument)
        return
    context = multiprocessing.get_context(start_method())
    pool = ProcessPoolExecutor(workers, mp_context=context)
    pending: Deque[Optional["Future[Result]"]] = deque()
    upcoming = iter(tasks)
    local: Deque[Task] = deque()
    try:
        while True:
            while len(pending) < workers * (_AHEAD + 1):
                following = next(upcoming, None)
                if following is None:
                    break
                if following.local:
                    local.append(following)
                    pending.append(None)
                else:
                    pending.append(pool.submit(function, following, argument))
            if not pending:
                break
            future = pending.popleft()
            yield function(local.popleft(), argument) if future is None else future.result()
    finally:
        for future in pending:
            if future is not None:
                future.cancel()
        pool.shutdown(wait=True)
