"""`velk show`: every record of each file as a line of JSON.

Every line has one shape, whatever the form of the file:

    {"path": "levels.xml", "level": 1, "level_name": "Stereo", "kind": "object",
     "index": 0, "record": {"1": 1, "2": 15.5}}

`level` and `level_name` are null in a record file, whose `index` is the
record's line (from 1), as in errors (``velk.level.errors``). A record that
cannot be read is a line on standard error that names it, and the next one
is shown.
"""
import argparse
import json
from itertools import islice
from typing import IO, Any, Callable, Dict, Iterator, Optional, Tuple

from velk.commands.common import (HelpFormatter, Output, Progress, TextSink, describe, epilog,
                                  error_line, limit, one_line, plural)
from velk.json_form import JsonForm
from velk.level.data import MAX_SIZE
from velk.level.errors import LevelError, where_text
from velk.level.level import COLOUR, KINDS, OBJECT, RecordCodec
from velk.level.source import Input, LevelSource
from velk.level.text import split_level
from velk.plain import Plain

__all__ = ["add", "ShowRun", "show_path", "run"]

EXAMPLES = (("velk show level.txt --limit 3", "the first three records as JSON"),
            ("velk show a.xml b.dat | jq .record", "the records of two files"),
            ("velk show --kind colour colours.txt", "a file of colour records"))


def add(commands: "argparse._SubParsersAction[argparse.ArgumentParser]",
        common: Callable[[argparse.ArgumentParser], None]) -> None:
    help_text = "print every record as a typed dictionary, one JSON object per line"
    sub = commands.add_parser("show", help=help_text, description=help_text,
                              epilog=epilog(EXAMPLES),
                              formatter_class=HelpFormatter)
    common(sub)
    sub.add_argument("--limit", type=limit, default=None, metavar="N",
                     help="show only the first N records of each file")


class ShowRun(Plain):
    """What showing one file gave: its `path`, exit `status`, and the counts
    of records `shown` and `failed`. Picklable."""

    __slots__ = ("path", "status", "shown", "failed")

    def __init__(self, path: str, status: int, shown: int = 0, failed: int = 0) -> None:
        self.path = path
        self.status = status
        self.shown = shown
        self.failed = failed


# (level source or None, kind, index, text or None, error or None) of each record.
Found = Tuple[Optional[LevelSource], str, int, Optional[str], Optional[BaseException]]


def _record_lines(found: Input, kind: str, max_size: int) -> Iterator[Found]:
    for number, text, error in found.lines(max_size):
        yield None, kind, number, text, error


def _level_records(found: Input, form: str, max_size: int, keep_going: bool,
                   err: TextSink, run: ShowRun) -> Iterator[Found]:
    """The records of every level; a level that cannot be read ends the
    file, or with `keep_going` is an error line and the next is read."""
    for source in found.levels(form, max_size):
        if source.pieces is None:   # no level data: nothing to show
            continue
        try:
            with source.naming():
                parts = split_level(source.pieces)
                for kind, texts in ((COLOUR, parts.colours), (OBJECT, parts.objects)):
                    for index, text in enumerate(texts):
                        yield source, kind, index, text, None
        except LevelError as exc:
            if not keep_going:
                raise
            err.write(error_line(exc, found.name))
            run.status = max(run.status, 1)


def show_path(args: argparse.Namespace, path: str, out: TextSink, err: TextSink,
              progress: Optional[Progress] = None) -> ShowRun:
    """Show the records of the file `path` ("-": standard input) on `out`,
    with a line on `err` for each that cannot be read."""
    run = ShowRun(path, 0)
    try:
        found = Input(path, None if progress is None else progress.update)
    except OSError as exc:
        err.write("velk: error: cannot open %s: %s\n" % (path, exc.strerror or exc))
        run.status = 2
        return run
    max_size = args.max_size or MAX_SIZE
    with found:
        if progress is not None:
            progress.expect(found.size)
        run.path = found.name
        try:
            form = args.format or found.form()
            records = (_record_lines(found, args.kind, max_size) if form == "records" else
                       _level_records(found, form, max_size, args.keep_going, err, run))
            no_pairs = _show(found.name, islice(records, args.limit), out, err, run)
        except LevelError as exc:
            err.write(error_line(exc, found.name))
            run.status = 2
            return run
        except OSError as exc:
            err.write("velk: error: reading %s: %s\n" % (found.name, exc.strerror or exc))
            run.status = 2
            return run
    if form == "records" and run.shown + run.failed and 2 * no_pairs > run.shown + run.failed:
        other = COLOUR if args.kind == OBJECT else OBJECT
        err.write("velk: warning: most lines of %s give no pairs as %s records; are they %s "
                  "records? (try --kind %s)\n" % (found.name, args.kind, other, other))
    return run


def _show(name: str, records: Iterator[Found], out: TextSink, err: TextSink,
          run: ShowRun) -> int:
    """Write each record of `records`; return how many gave no pairs."""
    form = JsonForm()
    codecs = {kind: RecordCodec(kind) for kind in KINDS}
    no_pairs = 0
    for source, kind, index, text, error in records:
        place: Dict[str, Any] = {
            "path": name, "level": None if source is None else source.index,
            "level_name": None if source is None else source.name, "kind": kind,
            "index": index}
        key = None
        if text is not None:
            codec = codecs[kind]
            try:
                record = codec.read(text)
            except Exception as exc:
                error, key = exc, codec.failing_key(text)
            else:
                no_pairs += not record and bool(text.strip())
                place["record"] = {key: form(value) for key, value in record.items()}
                out.write(json.dumps(place) + "\n")
                run.shown += 1
                continue
        run.failed += 1
        run.status = max(run.status, 1)
        problem = "cannot be read" if error is None else describe(error)
        err.write("%s: %s\n" % (where_text(key=key, **place), one_line(problem)))
    return no_pairs


def run(args: argparse.Namespace, out: Output, err: IO[str]) -> int:
    """Show the records of every file of `args.files`; with several files,
    a total on standard error. Returns the worst exit status."""
    status = shown = failed = 0
    for path in args.files:
        progress = Progress(args, err)
        try:
            done = show_path(args, path, out, err, progress)
        finally:
            progress.close()
        status = max(status, done.status)
        shown += done.shown
        failed += done.failed
    if len(args.files) > 1:
        err.write("velk: total of %s: %s shown, %d that cannot be read\n"
                  % (plural(len(args.files), "file"), plural(shown, "record"), failed))
    return status
