"""Writing a file whole or not at all, and replacing one while keeping a backup.

A file is written beside its target under a temporary name, flushed to the
disk, and renamed over the target: a reader sees the old file or the new
one, never a part, and a failure (an exception, a full disk, a crash)
leaves the old file as it was.

    with atomic_output("levels.xml") as out:
        out.write(data)

`replace_keeping_backup` does the same for a file that must not be lost,
such as a game's save: the new file is checked once it is on the disk, the
old one is kept under a name of its own ("SAVE.bak", or "SAVE.bak.1", ...
when that is taken; an existing backup is never overwritten), and only then
is the file replaced. A crash at any step leaves the old file or the new
one in place, and the backup whole; at worst a temporary ".SAVE.*.part"
file is left beside them.
"""
import errno
import io
import os
import shutil
import tempfile
from contextlib import contextmanager
from itertools import count
from typing import IO, Any, BinaryIO, Callable, Iterator, Tuple, Union

__all__ = ["atomic_output", "write_atomic", "write_to", "replace_keeping_backup",
           "backup_names"]

PathLike = Union[str, "os.PathLike[str]"]

# What os.link raises on a file system without hard links.
_NO_LINKS = frozenset((errno.EPERM, errno.EOPNOTSUPP, errno.ENOTSUP, errno.EXDEV, errno.ENOSYS,
                       errno.EMLINK))


def _new_file_mode() -> int:
    # A new file gets the mode open() would give it. The mask can only be
    # read by setting it, so it is set back at once.
    mask = os.umask(0o022)
    os.umask(mask)
    return 0o666 & ~mask


def _sync_directory(directory: str) -> None:
    # A rename or a new link is only durable once the directory is on the
    # disk too.
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


def _unlink_quietly(path: str) -> None:
    try:
        os.unlink(path)
    except OSError:
        pass


@contextmanager
def _temporary_beside(path: str, mode: int) -> Iterator[Tuple[BinaryIO, str]]:
    """A new file beside `path`, named ".NAME.*.part", open for writing, and
    its path; on leaving the block it is flushed to the disk and given
    `mode`. On an exception it is removed."""
    directory, name = os.path.split(path)
    handle, temporary = tempfile.mkstemp(prefix="." + name + ".", suffix=".part", dir=directory)
    try:
        with os.fdopen(handle, "wb") as out:
            yield out, temporary
            out.flush()
            os.fsync(out.fileno())
        os.chmod(temporary, mode)
    except BaseException:
        _unlink_quietly(temporary)
        raise


def _mode_of(path: str) -> int:
    try:
        return os.stat(path).st_mode & 0o7777
    except FileNotFoundError:
        return _new_file_mode()


@contextmanager
def atomic_output(path: PathLike) -> Iterator[BinaryIO]:
    """A binary file object whose bytes replace the file `path` when the
    block ends without an exception; on an exception nothing is replaced.
    The file keeps the mode of the file it replaces."""
    target = os.path.abspath(os.fspath(path))
    with _temporary_beside(target, _mode_of(target)) as (out, temporary):
        yield out
    try:
        os.replace(temporary, target)
    except BaseException:
        _unlink_quietly(temporary)
        raise
    _sync_directory(os.path.dirname(target))


def write_atomic(path: PathLike, data: bytes) -> None:
    """Replace the file `path` by the bytes `data`, whole or not at all."""
    with atomic_output(path) as out:
        out.write(data)


def write_to(target: Union[PathLike, IO[bytes], IO[str]], data: bytes) -> None:
    """Write `data` to `target`: a path, replaced whole or not at all, or
    a file object open for writing, binary or text (given the text of the
    UTF-8 bytes `data`)."""
    if isinstance(target, (str, os.PathLike)):
        write_atomic(target, data)
        return
    stream: Any = target
    if not callable(getattr(stream, "write", None)):
        raise TypeError("velk writes to a path or a file object open for writing, not %s"
                        % type(target).__name__)
    if isinstance(stream, io.TextIOBase):
        stream.write(data.decode("utf-8"))
    else:
        stream.write(data)


def backup_names(path: str) -> Iterator[str]:
    """The names a backup of `path` may take, in the order they are tried:
    "PATH.bak", then "PATH.bak.1", "PATH.bak.2", ..."""
    yield path + ".bak"
    for number in count(1):
        yield "%s.bak.%d" % (path, number)


def _keep_backup(path: str) -> str:
    """Keep the file `path` as it is under the first free backup name, and
    return that name. A hard link keeps the very bytes without copying them
    and never takes a name that exists; where the file system has no links
    the file is copied and synced first, then renamed to a free name."""
    names = backup_names(path)
    while True:
        backup = next(names)
        try:
            os.link(path, backup)
        except FileExistsError:
            continue
        except OSError as exc:
            if exc.errno not in _NO_LINKS:
                raise
            return _copy_backup(path)
        return backup


def _copy_backup(path: str) -> str:
    with _temporary_beside(path, _mode_of(path)) as (out, temporary), \
            open(path, "rb") as original:
        shutil.copyfileobj(original, out)
    names = backup_names(path)
    try:
        backup = next(names)
        while os.path.lexists(backup):
            backup = next(names)
        os.rename(temporary, backup)
    except BaseException:
        _unlink_quietly(temporary)
        raise
    return backup


def replace_keeping_backup(path: PathLike, data: bytes, check: Callable[[str], None]) -> str:
    """Replace the file `path` by `data`, keeping the file it replaces as a
    backup; return the backup's path.

    The new file is written beside `path` and synced; `check(temporary)`
    then reads it from the disk and raises to refuse it, in which case
    nothing is replaced and no backup is made. Then the old file is kept
    under the first free backup name (see `backup_names`), the directory is
    synced, the new file renamed over the old one, and the directory synced
    again. A link `path` is followed: the file it names is replaced. The new
    file keeps the old one's mode."""
    target = os.path.realpath(os.fspath(path))
    directory = os.path.dirname(target)
    with _temporary_beside(target, _mode_of(target)) as (out, temporary):
        out.write(data)
    try:
        check(temporary)
        backup = _keep_backup(target)
        try:
            _sync_directory(directory)
            os.replace(temporary, target)
        except BaseException:
            # Once the new file has its place it has no temporary name: the
            # replacement happened, whatever interrupted this after it, and
            # the backup stays. Before that, the backup is a mere copy.
            if os.path.lexists(temporary):
                _unlink_quietly(backup)
            raise
    except BaseException:
        _unlink_quietly(temporary)
        raise
    _sync_directory(directory)
    return backup
