"""The `velk` command: look at, summarise and check levels and record files.

It reads the level data users have, told apart by their content (or forced
with --format): the game's save files (created or downloaded levels),
server data ("1:ID:2:NAME:...:4:DATA"), export files (XML holding levels),
encoded level data ("H4sI..."), level strings ("header;object;object;...;")
and record files (one object or colour record per line; --kind says which).
A file that is none of them is refused. Inputs are streamed, so their size
does not matter; "-" reads standard input. Of a save file only the levels
are shown, never the player's settings or identifiers.

What velk holds of an input is bounded by --max-size (a level string, a
line of a record file, level data once decoded), and so is what its
reports keep: a report of many levels is written to a spool file as the
levels complete and printed whole at the end, so a refusal halfway prints
no half report.

    velk show  FILE... [--limit N]      each record as a line of JSON
    velk stats FILE... [--json]         every key: how often, which types, an example
    velk check FILE... [--json]         write every record back and compare
    velk list FILE...                   the levels of each file, a line each
    velk export FILE --level N|NAME -o OUT     one level to a file of its own
    velk import SAVE FILE...            levels added to the game's save of created levels
    velk table INPUT... -o OUT          objects, levels and failures as tables to query

Each subcommand is a module of ``velk.commands``; this one parses the
command line, runs the subcommand and turns what can go wrong outside of
it (Ctrl-C, output that cannot be written, a native module that does not
load) into one line and an exit status. Several files in one run give one
exit status, the worst of theirs.

Exit status: 0 when every record reads and comes back identical or
normalised, 1 when some are changed or fail, 2 on wrong usage, on input
that cannot be read at all (a missing file, corrupt or hostile level data)
and on output that cannot be written, 130 on Ctrl-C.

The work is done by functions users can call themselves: ``velk.survey``
gathers the counts, ``velk.level`` reads the levels; the commands show them.
"""
import argparse
import sys
from importlib import metadata
from typing import IO, Callable, Dict, List, Optional, Sequence

import velk
from velk.commands import levels, report, show, table
from velk.commands.common import (FORM_NAMES, Output, Progress, ReaderGone, WriteError,
                                  empty_folder_line, kind, reader_gone, size)
from velk.level.inputs import find_inputs
from velk.commands.report import EXCERPT, SHOWN_DIFFERENCES, SHOWN_FAILURES
from velk.json_form import JsonForm
from velk.level.source import FORMS

__all__ = ["main", "JsonForm", "FORM_NAMES", "Progress", "EXCERPT", "SHOWN_DIFFERENCES",
           "SHOWN_FAILURES"]

Runner = Callable[[argparse.Namespace, Output, IO[str]], int]
_RUN: Dict[str, Runner] = {"show": show.run, "stats": report.run, "check": report.run,
                           "list": levels.run, "export": levels.run, "import": levels.run,
                           "table": table.run}


def _version() -> str:
    try:
        return metadata.version("velk")
    except metadata.PackageNotFoundError:  # run from a checkout
        return velk.__version__


def _reading_options(sub: argparse.ArgumentParser) -> None:
    """The arguments and options of the commands that read records: show,
    stats and check."""
    sub.add_argument("files", metavar="FILE", nargs="+",
                     help='an input file, a folder (every file below it), or "-" for standard '
                     "input")
    sub.add_argument("--glob", metavar="PATTERN", default=None,
                     help="of the files in folders, only those whose names match PATTERN "
                     "('*.xml')")
    sub.add_argument("--format", choices=FORMS, default=None,
                     help="the inputs' form (default: told from each one's content)")
    sub.add_argument("--kind", type=kind, default="object", metavar="object|colour",
                     help="record files only: the kind of record (default: object; \"color\" "
                     "is accepted too)")
    sub.add_argument("--max-size", type=size, default=None, metavar="SIZE",
                     help="refuse a level string, a line of a record file or level data (once "
                     "decoded) larger than SIZE bytes (K, M, G allowed; default: 256M)")
    sub.add_argument("--keep-going", action="store_true",
                     help="go on past a level that cannot be read, and report what could be "
                     "read of a file that breaks off (exit status 1, or 2 for a file)")
    sub.add_argument("--quiet", "-q", action="store_true",
                     help="no progress line on standard error")


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="velk",
        description="Look at, summarise and check levels (save files, server data, export "
        "files, encoded level data, level strings) and files of object or colour records.",
        epilog="Exit status: 0 when every record reads and comes back identical or "
        "normalised, 1 when some are changed or fail, 2 on wrong usage, input that cannot be "
        "read at all or output that cannot be written; with several files, the worst of "
        "theirs. `velk COMMAND --help` gives each command's options and examples.",
    )
    parser.add_argument("--version", action="version", version="velk " + _version())
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True
    show.add(commands, _reading_options)
    report.add(commands, _reading_options)
    levels.add(commands)
    table.add(commands)
    return parser


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run the command line `argv` (default: sys.argv[1:]); return the exit status."""
    try:
        return _main(argv)
    except KeyboardInterrupt:
        # Ctrl-C, wherever it came: while the first bytes were awaited on
        # standard input, or while a report was written.
        return 130


def _expand_folders(args: argparse.Namespace, err: IO[str]) -> int:
    """Put the files of the folders among `args.files` in their place; a
    folder that holds none is an input that cannot be read: named on
    standard error, it makes the exit status 2."""
    glob = getattr(args, "glob", None)
    empty: List[str] = []
    args.files = find_inputs(args.files, glob, empty)
    for folder in empty:
        err.write(empty_folder_line(folder, glob))
    return 2 if empty else 0


def _main(argv: Optional[Sequence[str]]) -> int:
    parser = _parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as exc:
        return exc.code if isinstance(exc.code, int) else (0 if exc.code is None else 2)
    out, err = Output(sys.stdout), sys.stderr
    inputs_status = _expand_folders(args, err) if getattr(args, "files", None) else 0
    try:
        status = max(inputs_status, _RUN[args.command](args, out, err))
        out.flush()
        return status
    except ImportError as exc:
        err.write("velk: error: cannot load the native module: %s\n" % exc)
        return 2
    except ReaderGone:
        reader_gone()
        return 0
    except WriteError as exc:
        if exc.target == out.name:
            # What standard output still holds would fail again at exit.
            reader_gone()
        err.write("velk: error: %s\n" % exc)
        return 2


if __name__ == "__main__":
    sys.exit(main())
