"""`velk table`: every level of many files written as tables to query.

    velk table INPUT... -o OUT [--glob PATTERN] [--jobs N] [--output-format parquet|jsonl]

A thin layer over ``velk.archive.write_table``: the inputs are files,
folders (every file below them that matches --glob) and "-"; OUT becomes
a folder of three tables, objects, levels and failures, each a folder of
parts. Nothing stops the run: what cannot be read is a row of failures,
and the first few are named on standard error. The summary on standard
output is the same for the same inputs, whatever --jobs.

Exit status: 0 when everything was read, 1 when levels or records could
not be, 2 when a file could not be read (at all, or to its end), on wrong
usage and when the tables cannot be written; 130 on Ctrl-C.
"""
import argparse
import json
from concurrent.futures.process import BrokenProcessPool
from typing import IO, Any, Dict, List, Optional

from velk.archive.parts import FORMATS
from velk.archive.plan import TASK_BYTES, Task
from velk.archive.table import FolderExists, TableSummary, write_table
from velk.archive.tasks import PartSummary
from velk.commands.common import (PROGRESS_DELAY, HelpFormatter, Output, TextSink,
                                  empty_folder_line, epilog, one_line, positive, size)
from velk.level.data import MAX_SIZE
from velk.level.source import FORMS

__all__ = ["add", "run", "EXAMPLES"]

EXAMPLES = (
    ("velk table archive/ -o tables", "every file below archive/, on every core"),
    ("velk table saves/ --glob '*.dat' -o tables --jobs 2", "the .dat files, two processes"),
    ("velk table a.xml b.txt - -o tables --output-format jsonl", "JSON lines, without pyarrow"),
)


def add(commands: "argparse._SubParsersAction[argparse.ArgumentParser]") -> None:
    help_text = "write the objects, levels and failures of many files as tables to query"
    sub = commands.add_parser(
        "table", help=help_text, formatter_class=HelpFormatter, epilog=epilog(EXAMPLES),
        description=help_text + ". OUT becomes a folder of three tables (objects, levels, "
        "failures), each a folder of Parquet or JSON lines parts: query "
        "'OUT/objects/*.parquet' with DuckDB, Polars or pyarrow. Nothing stops the run: what "
        "cannot be read is a row of the failures table.")
    sub.add_argument("inputs", metavar="INPUT", nargs="+",
                     help='a file, a folder (every file below it), or "-" for standard input')
    sub.add_argument("-o", "--output", required=True, metavar="OUT",
                     help="the folder to write the tables into")
    sub.add_argument("--glob", metavar="PATTERN", default=None,
                     help="of the files in folders, only those whose names match PATTERN "
                     "('*.xml'; with a '/', the path below the folder: '2024/*.dat')")
    sub.add_argument("--jobs", "-j", type=positive("jobs"), default=None, metavar="N",
                     help="worker processes (default: the usable cores); the tables are the "
                     "same for any N")
    sub.add_argument("--output-format", choices=FORMATS, default=None,
                     help="Parquet (default when pyarrow is installed: pip install "
                     "'velk[table]') or JSON lines")
    sub.add_argument("--format", choices=FORMS, default=None,
                     help="the inputs' form (default: told from each one's content)")
    sub.add_argument("--max-size", type=size, default=MAX_SIZE, metavar="SIZE",
                     help="refuse level data that decode to more than SIZE bytes (K, M, G "
                     "allowed; default: 256M)")
    sub.add_argument("--replace", action="store_true",
                     help="replace OUT when it exists (once the new tables are complete)")
    sub.add_argument("--row-group", type=positive("rows"), default=None, metavar="ROWS",
                     help="rows of a Parquet row group, which bounds the memory of a worker "
                     "(default: 131072)")
    sub.add_argument("--task-size", type=size, default=TASK_BYTES, metavar="SIZE",
                     help="input bytes a task reads (default: 4M); the parts follow it")
    sub.add_argument("--json", action="store_true",
                     help="print what was written as one JSON object")
    sub.add_argument("--quiet", "-q", action="store_true",
                     help="no progress line on standard error")


class _Progress:
    """Files, levels and objects done, on a terminal's standard error."""

    def __init__(self, args: argparse.Namespace, err: IO[str]) -> None:
        self.bar: Any = None
        self.levels = self.objects = 0
        self._quiet = args.quiet or not err.isatty()
        self._err = err

    def planned(self, tasks: List[Task]) -> None:
        if self._quiet:
            return
        from tqdm import tqdm

        files = sum(len(task.files) for task in tasks if task.part == 0)
        self.bar = tqdm(total=files, unit=" files", file=self._err, leave=False,
                        delay=PROGRESS_DELAY, desc="reading")

    def part(self, done: PartSummary) -> None:
        if self.bar is None:
            return
        self.levels += done.levels
        self.objects += done.objects
        self.bar.set_postfix_str("%s levels, %s objects" % (format(self.levels, ","),
                                                          format(self.objects, ",")),
                                 refresh=False)
        self.bar.update(done.files)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


def _summary_dict(done: TableSummary) -> Dict[str, Any]:
    return {"output": done.folder, "format": done.format, "parts": done.tasks,
            "files": done.files, "unreadable_files": done.unreadable_files,
            "levels": done.levels, "objects": done.objects, "failures": done.failures,
            "first_failures": [error.as_dict() for error in done.kept],
            "status": done.status}


def _write_text(out: TextSink, err: TextSink, done: TableSummary) -> None:
    for error in done.kept:
        err.write("velk: left out: %s\n" % one_line(str(error)))
    if done.failures > len(done.kept):
        err.write("velk: %s more in %s/failures\n" % (format(done.failures - len(done.kept), ","),
                                                    done.folder))
    out.write("wrote %s (%s, %s of each table): %s, %s from %s%s\n" % (
        done.folder, done.format, _counted(done.tasks, "part"),
        _counted(done.levels, "level"), _counted(done.objects, "object"),
        _counted(done.files, "file"),
        "; %s" % _counted(done.failures, "failure") if done.failures else ""))


def _counted(count: int, noun: str) -> str:
    return "%s %s%s" % (format(count, ","), noun, "" if count == 1 else "s")


def run(args: argparse.Namespace, out: Output, err: IO[str]) -> int:
    output_format: Optional[str] = args.output_format
    if output_format == "parquet":
        try:
            import pyarrow.parquet  # noqa: F401
        except ImportError:
            err.write("velk: error: Parquet needs pyarrow: pip install 'velk[table]' "
                      "(or --output-format jsonl)\n")
            return 2
    progress = _Progress(args, err)
    options: Dict[str, Any] = {}
    if args.row_group is not None:
        options["row_group_rows"] = args.row_group
    try:
        done = write_table(args.inputs, args.output, glob=args.glob, jobs=args.jobs,
                           format=output_format, form=args.format, max_size=args.max_size,
                           task_bytes=args.task_size, replace=args.replace,
                           on_planned=progress.planned, on_part=progress.part, **options)
    except FolderExists:
        err.write("velk: error: %s exists (give --replace to replace it)\n" % args.output)
        return 2
    except BrokenProcessPool as exc:
        err.write("velk: error: a worker process died: %s\n" % one_line(str(exc)))
        return 2
    except OSError as exc:
        err.write("velk: error: writing %s: %s\n" % (args.output,
                                                     one_line(str(exc.strerror or exc))))
        return 2
    finally:
        progress.close()
    for folder in done.empty_folders:
        err.write(empty_folder_line(folder, args.glob))
    if args.json:
        out.write(json.dumps(_summary_dict(done)) + "\n")
        for error in done.kept:
            err.write("velk: left out: %s\n" % one_line(str(error)))
    else:
        _write_text(out, err, done)
    return max(done.status, 2 if done.empty_folders else 0)
