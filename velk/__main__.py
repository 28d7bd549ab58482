"""`python -m velk`: the same command as `velk`.

`python -m` puts the current directory first on the module path, so run
from the root of a checkout it finds the source folder velk/, which holds
no built native module (unless `make dev` built one there) and comes ahead
of the installed package. That case gets one line that says so, not a
failure on the first record."""
import importlib.util
import os
import sys
from typing import Optional

import velk


def _why_not_runnable() -> Optional[str]:
    """None when the native module can be imported from where velk was
    found; else the one line that tells why not and what to do."""
    if importlib.util.find_spec("velk._velkc") is not None:
        return None
    folder = os.path.dirname(os.path.abspath(velk.__file__))
    parent = os.path.dirname(folder)
    if parent == os.path.abspath(os.getcwd()):
        found = "the current directory comes first on the module path"
    else:
        found = "%s is on the module path" % parent
    return (
        "velk: %s has no native module built for Python %d.%d: it is a source "
        "folder, found ahead of any installed velk because %s; run from another "
        "directory, or build the module in place with `make dev`"
        % (folder, sys.version_info[0], sys.version_info[1], found)
    )


def main() -> int:
    reason = _why_not_runnable()
    if reason is not None:
        sys.stderr.write(reason + "\n")
        return 2
    from velk.cli import main as command

    return command()


sys.exit(main())
