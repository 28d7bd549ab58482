"""Writing a file whole or not at all.

A file is written beside its target under a temporary name, flushed to the
disk, and renamed over the target: a reader sees the old file or the new
one, never a part, and a failure (an exception, a full disk, a crash)
leaves the old file as it was.

    with atomic_output("levels.xml") as out:
        out.write(data)
"""
import os
import tempfile
from contextlib import contextmanager

__all__ = ["atomic_output", "write_atomic"]


def _new_file_mode():
    # A new file gets the mode open() would give it. The mask can only be
    # read by setting it, so it is set back at once.
    mask = os.umask(0o022)
    os.umask(mask)
    return 0o666 & ~mask


def _sync_directory(directory):
    # The rename is only durable once the directory is on the disk too.
    try:
        handle = os.open(directory, os.O_RDONLY)
    except OSError:
        return
    try:
        os.fsync(handle)
    except OSError:
        pass
    finally:
        os.close(handle)


@contextmanager
def atomic_output(path):
    """A binary file object whose bytes replace the file `path` when the
    block ends without an exception; on an exception nothing is replaced.
    The file keeps the mode of the file it replaces."""
    path = os.path.abspath(os.fspath(path))
    directory, name = os.path.split(path)
    handle, temporary = tempfile.mkstemp(prefix="." + name + ".", suffix=".part", dir=directory)
    try:
        with os.fdopen(handle, "wb") as out:
            yield out
            out.flush()
            os.fsync(out.fileno())
        try:
            mode = os.stat(path).st_mode & 0o7777
        except FileNotFoundError:
            mode = _new_file_mode()
        os.chmod(temporary, mode)
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise
    _sync_directory(directory)


def write_atomic(path, data):
    """Replace the file `path` by the bytes `data`, whole or not at all."""
    with atomic_output(path) as out:
        out.write(data)
