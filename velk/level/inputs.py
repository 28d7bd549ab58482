"""Many inputs at once: files, folders and standard input.

    from velk.level.inputs import find_inputs, read_files
    find_inputs(["levels/", "extra.xml", "-"], glob="*.gmd")
    for path, levels in read_files(["archive/"], keep_going=True):
        print(path, len(levels), len(levels.failures))

An input is a file, "-" for standard input, or a folder: a folder stands
for every file below it, at any depth, whose name matches the glob
pattern (every file without one). Files and folders whose names start
with "." are passed over inside a folder, as version control and
operating systems keep their own files there; folders are not followed
through links, so a link back up cannot make the walk endless. The files
of a folder come sorted by their path, so a run over the same folder
reads the same files in the same order on every machine.

A file named as an input is taken whatever its name: the pattern chooses
among the files of folders only. A path that does not exist is kept, for
the reader to report as a file that cannot be opened.
"""
import fnmatch
import os
from typing import Iterable, Iterator, List, Optional, Tuple

from velk.level.data import MAX_SIZE
from velk.level.errors import LevelError
from velk.level.level import Levels
from velk.level.source import read_file
from velk.level.values import PathName

__all__ = ["STANDARD_INPUT", "find_inputs", "files_of", "read_files"]

STANDARD_INPUT = "-"


def _matches(relative: str, name: str, glob: Optional[str]) -> bool:
    # A pattern with a "/" is matched against the path below the folder
    # ("2024/*.xml"), any other against the file's name.
    if glob is None:
        return True
    return fnmatch.fnmatchcase(relative if "/" in glob else name, glob)


def files_of(folder: str, glob: Optional[str] = None) -> List[str]:
    """The files below `folder` whose names match `glob`, sorted by path,
    each as `folder` joined with its path below it."""
    found = []
    for top, folders, names in os.walk(folder):
        folders[:] = sorted(name for name in folders if not name.startswith("."))
        for name in names:
            if name.startswith("."):
                continue
            path = os.path.join(top, name)
            if _matches(os.path.relpath(path, folder).replace(os.sep, "/"), name, glob):
                found.append(path)
    return sorted(found, key=lambda path: path.split(os.sep))


def find_inputs(inputs: Iterable[PathName], glob: Optional[str] = None,
                empty: Optional[List[str]] = None) -> List[str]:
    """The files the inputs stand for, in the order given: a folder's
    files where the folder stands (see the module's text), files and "-"
    as they are. The folders that hold no matching file are added to the
    list `empty` when one is given."""
    found: List[str] = []
    for given in inputs:
        path = os.fspath(given)
        if path != STANDARD_INPUT and os.path.isdir(path):
            files = files_of(path, glob)
            if not files and empty is not None:
                empty.append(path)
            found += files
        else:
            found.append(path)
    return found


def read_files(inputs: Iterable[PathName], glob: Optional[str] = None,
               form: Optional[str] = None, max_size: int = MAX_SIZE,
               keep_going: bool = False) -> Iterator[Tuple[str, Levels]]:
    """(path, Levels) for every file the inputs stand for (see
    `find_inputs`), read one after the other with `read_file`.

    All or nothing by default: the first file, level or record that cannot
    be read raises, naming where. With `keep_going`, nothing stops the
    run: a file that cannot even be opened gives no levels and its error
    (a LevelError "cannot open: ...") in its `failures`, and the rest is as
    `read_file` keeps going."""
    for path in find_inputs(inputs, glob):
        try:
            levels = read_file(path, form, max_size, keep_going)
        except OSError as exc:
            if not keep_going:
                raise
            reason = str(exc.strerror or exc)
            levels = Levels(failures=[LevelError("cannot open: " + reason, path=path)])
        yield path, levels
