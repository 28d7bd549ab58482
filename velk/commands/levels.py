"""The `velk` commands that move levels between files.

    velk list FILE... [--json]                        every level of each file, a line each
    velk export FILE --level N|NAME -o OUT [--format export|encoded|level]
    velk import SAVE FILE... [--json]                 levels added to the save of created levels

Each is a thin layer over functions users can call themselves:
``velk.level.listing`` (`list_levels`, `find_level`), ``velk.level.output``
(`write_level_file`) and ``velk.level.library`` (`add_levels`). Exit status
as for the other commands: 0 when all went well, 1 when records fail (a
level that cannot be read or written back), 2 on wrong usage and on input
that cannot be read at all; `import` changes nothing unless it exits with 0.
"""
import argparse
import json
import os
from typing import IO, Any, Callable, Dict, List, Tuple, Union

from velk.commands.common import (FORM_NAMES, HelpFormatter, Output, TextSink, WriteError,
                                  epilog, one_line, size)
from velk.level import MAX_SIZE, LevelError, RecordError, read_file
from velk.level.level import Level
from velk.level.library import add_levels
from velk.level.listing import LevelSummary, find_level, list_levels
from velk.level.atomic import write_atomic
from velk.level.output import OUTPUT_FORMS, level_bytes
from velk.level.source import FORMS

__all__ = ["COMMANDS", "add", "run"]

COMMANDS = ("list", "export", "import")
# The forms that hold levels (a record file holds none).
LEVEL_FORMS = tuple(form for form in FORMS if form != "records")
OUTPUT_NAMES = {"export": "an export file", "encoded": "encoded level data",
                "level": "a level string"}
# What an imported level without a name is called when it comes from
# standard input.
UNNAMED = "Imported level"

CLOSE_THE_GAME = ("Close the game first: a save changed while the game runs may be written "
                  "over by the game.")


def _which(text: str) -> Union[int, str]:
    """A level chosen on the command line: a number is an index, anything
    else a name."""
    return int(text) if text.isdigit() else text


EXAMPLES = {
    "list": (("velk list created-levels.dat", "a line for each level of the save"),
             ("velk list --json a.xml b.dat", "the levels of two files as one JSON object")),
    "export": (("velk export game-state.dat --level 2 -o mine.xml", "level 2 as an export file"),
               ('velk export levels.xml -l "My level" -o - --format level',
                "its level string on standard output")),
    "import": (("velk import created-levels.dat mine.xml", "add the levels of mine.xml"),
               ("velk import --json created-levels.dat a.xml b.txt", "and say what was done "
                "in JSON")),
}


def add(commands: "argparse._SubParsersAction[argparse.ArgumentParser]") -> None:
    """Add the commands list, export and import to the subcommands of the
    command's parser."""
    def add(name: str, help_text: str, description: str = "") -> argparse.ArgumentParser:
        sub: argparse.ArgumentParser = commands.add_parser(
            name, help=help_text, description=help_text + (" " + description if description
                                                           else ""),
            epilog=epilog(EXAMPLES[name]), formatter_class=HelpFormatter)
        return sub

    listing = add("list", "list the levels of each file: index, name, creator, objects, form")
    listing.add_argument("files", metavar="FILE", nargs="+",
                         help='a file of levels, a folder (every file below it), or "-" for '
                         "standard input")
    listing.add_argument("--format", choices=LEVEL_FORMS, default=None,
                         help="the input's form (default: told from its content)")

    export = add("export", "write one level of a file to a file of its own",
                 "A level whose name is a number is chosen by its index.")
    export.add_argument("file", metavar="FILE", help='a file of levels, or "-" for standard '
                        "input")
    export.add_argument("--level", "-l", dest="which", type=_which, required=True,
                        metavar="N|NAME", help="the level: its index (from 1, as `velk list` "
                        "shows it) or its name")
    export.add_argument("-o", "--output", required=True, metavar="OUT",
                        help='the file to write, or "-" for standard output')
    export.add_argument("--format", choices=OUTPUT_FORMS, default="export",
                        help="the form written: an export file with the level's properties "
                        "(default), encoded level data, or the level string")

    importing = add(
        "import", "add the levels of files to the game's save of created levels (close the "
        "game first)",
        CLOSE_THE_GAME + " The levels go first, newest first as the game lists them, in the "
        "order given. The new save is verified before it replaces the old one, which is kept "
        "as SAVE.bak (SAVE.bak.1, ... when that exists). The save of the game's state "
        "(downloaded levels) is refused.")
    importing.add_argument("save", metavar="SAVE", help="the save file of created levels")
    importing.add_argument("files", metavar="FILE", nargs="+",
                           help='a file of levels, a folder (every file below it), or "-" for '
                           "standard input")

    for sub in (listing, importing):
        sub.add_argument("--glob", metavar="PATTERN", default=None,
                         help="of the files in folders, only those whose names match PATTERN "
                         "('*.xml')")

    for sub in (listing, export, importing):
        sub.add_argument("--max-size", type=size, default=MAX_SIZE, metavar="SIZE",
                         help="refuse level data that decode to more than SIZE bytes (K, M, G "
                         "allowed; default: 256M)")
        sub.add_argument("--json", action="store_true",
                         help="print one JSON object instead of text")


def _error(err: TextSink, text: str) -> None:
    err.write("velk: error: %s\n" % one_line(text))


def _status(exc: LevelError) -> int:
    # A record that cannot be read or written back is a failed record; any
    # other level error is input that cannot be read at all.
    return 1 if isinstance(exc, RecordError) else 2


def _title(name: object) -> str:
    return "" if name is None else " " + json.dumps(name)


# list --------------------------------------------------------------------------------


def _summary_line(name: str, found: LevelSummary) -> str:
    creator = "" if found.creator is None else " by %s" % json.dumps(found.creator)
    objects = "cannot be read" if found.objects is None else "%d object%s" % (
        found.objects, "" if found.objects == 1 else "s")
    return "%s: level %d%s%s: %s (%s)" % (name, found.index, _title(found.name), creator,
                                          objects, FORM_NAMES[found.form])


def _summary_dict(found: LevelSummary) -> Dict[str, Any]:
    return {"index": found.index, "name": found.name, "creator": found.creator,
            "id": found.id, "objects": found.objects,
            "error": None if found.error is None else found.error.as_dict()}


def _list_file(args: argparse.Namespace, path: str, out: TextSink,
               err: TextSink) -> Tuple[int, Dict[str, Any]]:
    """List the levels of one file; returns its status and its JSON form."""
    report: Dict[str, Any] = {"file": path, "form": None, "status": 0, "error": None,
                              "levels": []}
    try:
        for found in list_levels(path, args.format, args.max_size):
            report["form"] = found.form
            report["levels"].append(_summary_dict(found))
            if not args.json:
                out.write(_summary_line(path, found) + "\n")
            if found.error is not None:
                report["status"] = 1
                _error(err, str(found.error))
    except OSError as exc:
        report["status"] = 2
        report["error"] = LevelError("cannot open it: %s" % (exc.strerror or exc),
                                     path=path).as_dict()
        _error(err, "cannot open %s: %s" % (path, exc.strerror or exc))
    except LevelError as exc:
        report["status"] = 2
        report["error"] = exc.locate(path=path).as_dict()
        _error(err, str(exc))
    return report["status"], report


def _list(args: argparse.Namespace, out: TextSink, err: TextSink) -> int:
    status = 0
    reports = []
    for path in args.files:
        done, report = _list_file(args, path, out, err)
        status = max(status, done)
        reports.append(report)
    if args.json:
        json.dump({"files": reports, "status": status}, out, indent=2)
        out.write("\n")
    return status


# export ------------------------------------------------------------------------------


def _same_file(one: str, other: str) -> bool:
    try:
        return os.path.samefile(one, other)
    except OSError:
        return False


def _export(args: argparse.Namespace, out: Output, err: TextSink) -> int:
    to_stdout = args.output == "-"
    if to_stdout and args.json:
        _error(err, "--json reports on a file written; with -o - the level itself is the "
               "output")
        return 2
    if not to_stdout and args.file != "-" and _same_file(args.file, args.output):
        _error(err, "%s: velk does not write a level over the file it reads it from"
               % args.output)
        return 2
    try:
        level = find_level(args.file, args.which, None, args.max_size)
        if to_stdout:
            out.write_bytes(level_bytes(level, args.format))
            return 0
        data = level_bytes(level, args.format)
    except LevelError as exc:
        _error(err, str(exc))
        return _status(exc)
    except OSError as exc:
        _error(err, "cannot open %s: %s" % (exc.filename or args.file, exc.strerror or exc))
        return 2
    except (TypeError, ValueError) as exc:
        # A property that the form cannot hold (export files).
        _error(err, "%s: cannot write it: %s" % (args.file, exc))
        return 1
    try:
        write_atomic(args.output, data)
    except OSError as exc:
        raise WriteError(args.output, exc) from None
    if args.json:
        json.dump({"file": args.file, "level": _level_dict(level), "output": args.output,
                   "format": args.format}, out, indent=2)
        out.write("\n")
    else:
        out.write("wrote level%s (%d objects) of %s to %s as %s\n"
                  % (_title(level.name), len(level.objects), args.file, args.output,
                     OUTPUT_NAMES[args.format]))
    return 0


def _level_dict(level: Level) -> Dict[str, Any]:
    return {"name": level.name, "creator": level.creator, "objects": len(level.objects)}


# import ------------------------------------------------------------------------------


def _unnamed(path: str) -> str:
    if path == "-":
        return UNNAMED
    return os.path.splitext(os.path.basename(path))[0] or UNNAMED


def _levels_to_import(paths: List[str], max_size: int) -> List[Tuple[str, Level]]:
    """Every level of the files `paths`, in order, with the file it comes
    from; a level without a name is named after its file."""
    found = []
    for path in paths:
        for level in read_file(path, None, max_size):
            if level.name is None:
                level.name = _unnamed(path)
            found.append((path, level))
    return found


def _import(args: argparse.Namespace, out: TextSink, err: TextSink) -> int:
    try:
        found = _levels_to_import(args.files, args.max_size)
        done = add_levels(args.save, [level for _, level in found], args.max_size)
    except LevelError as exc:
        _error(err, "%s; the save was not changed" % exc)
        return _status(exc)
    except OSError as exc:
        _error(err, "%s: %s; the save was not changed"
               % (exc.filename or args.save, exc.strerror or exc))
        return 2
    added = [dict(_level_dict(level), index=index, file=path)
             for index, (path, level) in zip(done.changed, found)]
    # The files as the user named them, unless the save is reached through
    # a link: then the file changed and its backup are elsewhere.
    shown, backup = done.path, done.backup
    if os.path.abspath(args.save) == done.path:
        shown, backup = args.save, args.save + done.backup[len(done.path):]
    if args.json:
        json.dump({"save": shown, "backup": backup, "levels": done.levels, "added": added},
                  out, indent=2)
        out.write("\n")
        return 0
    out.write("added %d level%s to %s, which now holds %d:\n"
              % (len(added), "" if len(added) == 1 else "s", shown, done.levels))
    for entry in added:
        out.write("  level %d%s: %d objects (from %s)\n"
                  % (entry["index"], _title(entry["name"]), entry["objects"], entry["file"]))
    out.write("the save before is kept as %s\n" % backup)
    return 0


_RUN: Dict[str, Callable[[argparse.Namespace, Output, IO[str]], int]] = {
    "list": _list, "export": _export, "import": _import}


def run(args: argparse.Namespace, out: Output, err: IO[str]) -> int:
    """Run the command `args.command` (one of COMMANDS); return the exit status."""
    return _RUN[args.command](args, out, err)
