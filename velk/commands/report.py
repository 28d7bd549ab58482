"""`velk stats` and `velk check`: what reading and writing back does to the
records of each file, from ``velk.survey``.

Each file is handled by `survey_path`, which writes the file's whole
report (text, or its JSON object) only once the file was read to its end,
and returns a `FileRun`: a picklable summary that the run merges, in the
order of the files, into its total and its exit status. A file refused
halfway prints its error line and no report.
"""
import argparse
import json
import os
import tempfile
from typing import IO, Any, Callable, Dict, Iterator, List, Optional, Sequence, Tuple

from velk.archive.plan import Task
from velk.archive.pool import ordered_map, usable_cores
from velk.commands.common import (FORM_NAMES, HelpFormatter, Output, Progress, TextSink,
                                  copy_text, epilog, error_line, one_line, plural, positive)
from velk.commands.json_writer import KEY_ROWS, layout, scalar, write_json
from velk.json_form import JsonForm
from velk.level.data import MAX_SIZE
from velk.level.errors import LevelError, where_text
from velk.level.level import COLOUR, KINDS, OBJECT
from velk.level.source import Input
from velk import survey
from velk.plain import Plain

__all__ = ["COMMANDS", "SHOWN_DIFFERENCES", "SHOWN_FAILURES", "EXCERPT", "Options", "FileRun",
           "add", "survey_path", "run"]

COMMANDS = ("stats", "check")

# How many records `check` quotes before it only counts them.
SHOWN_DIFFERENCES = survey.KEPT_DIFFERENCES
SHOWN_FAILURES = survey.KEPT_FAILURES
# Width of the excerpt of a record that `check` prints.
EXCERPT = 72
# Widest example value that `stats` prints.
EXAMPLE_WIDTH = 40
# What a report's spool file holds in memory before it moves to disk.
SPOOL_MEMORY = 64 << 10
# The counts of a kind of record that the total sums.
COUNTED = ("records",) + survey.OUTCOMES

EXAMPLES = {
    "stats": (("velk stats level.txt", "every key: how often, which types, an example"),
              ("velk stats --json a.xml b.dat", "one JSON object for both files, with a total"),
              ("velk stats --timings big.xml", "and how long reading took")),
    "check": (("velk check levels.xml", "write every record back and compare"),
              ("velk check --json a.xml b.dat", "one JSON object for both files, with a total"),
              ("velk check --keep-going broken.xml", "report the levels that can be read")),
}


def add(commands: "argparse._SubParsersAction[argparse.ArgumentParser]",
        common: Callable[[argparse.ArgumentParser], None]) -> None:
    """Add `stats` and `check` to the subcommands; `common` adds the options
    every reading command shares."""
    for name, help_text in (("stats", "summarise the keys, value types and outcomes"),
                            ("check", "write every record back and compare it with the "
                             "original")):
        sub = commands.add_parser(name, help=help_text, description=help_text,
                                  epilog=epilog(EXAMPLES[name]),
                                  formatter_class=HelpFormatter)
        common(sub)
        sub.add_argument("--json", action="store_true",
                         help="print one JSON object instead of text")
        sub.add_argument("--timings", action="store_true",
                         help="say how long reading took (bytes and records a second); "
                         "without it the output is the same for the same input")
        sub.add_argument("--jobs", "-j", type=positive("jobs"), default=None, metavar="N",
                         help="read the files in N worker processes (default: the usable "
                         "cores); the output is the same for any N")


class Options(Plain):
    """What `survey_path` needs of the command line, picklable: the
    `command`, the input's `form` (None: told from the content), the `kind`
    of a record file's records, `max_size`, and whether to write `json`,
    `timings` and to `keep_going` past levels that cannot be read."""

    __slots__ = ("command", "form", "kind", "max_size", "json", "timings", "keep_going")

    def __init__(self, command: str, form: Optional[str] = None, kind: str = OBJECT,
                 max_size: int = MAX_SIZE, json: bool = False, timings: bool = False,
                 keep_going: bool = False) -> None:
        self.command = command
        self.form = form
        self.kind = kind
        self.max_size = max_size
        self.json = json
        self.timings = timings
        self.keep_going = keep_going

    @classmethod
    def of(cls, args: argparse.Namespace) -> "Options":
        return cls(args.command, args.format, args.kind, args.max_size or MAX_SIZE, args.json,
                   args.timings, args.keep_going)


class FileRun(Plain):
    """What surveying one file gave, for the run's total: the file's `path`,
    its exit `status`, whether it was `read` to its end, the counts of its
    `levels` and `failed_levels`, the `counts` of each kind of record (a
    dict of COUNTED for OBJECT and COLOUR), and the `messages` for standard
    error (warnings and error lines). Picklable, so that a worker process
    can hand it back."""

    __slots__ = ("path", "status", "read", "levels", "failed_levels", "counts", "messages")

    def __init__(self, path: str, status: int, read: bool, levels: int = 0,
                 failed_levels: int = 0, counts: Optional[Dict[str, Dict[str, int]]] = None,
                 messages: Sequence[str] = ()) -> None:
        self.path = path
        self.status = status
        self.read = read
        self.levels = levels
        self.failed_levels = failed_levels
        self.counts = counts or {kind: dict.fromkeys(COUNTED, 0) for kind in KINDS}
        self.messages = list(messages)

    @classmethod
    def of(cls, report: survey.FileReport, messages: List[str]) -> "FileRun":
        counts = {kind: {name: getattr(tally, name) for name in COUNTED}
                  for kind, tally in report.totals.items()}
        return cls(report.name, report.status, report.error is None, report.level_count,
                   report.failed_levels, counts, messages)


# One file --------------------------------------------------------------------------------


LevelWriter = Callable[[IO[str], survey.LevelReport], None]


def survey_path(options: Options, path: str, out: TextSink,
                progress: Optional[Progress] = None) -> FileRun:
    """Survey the file `path` ("-": standard input) and write its report to
    `out`: text, or with `options.json` the file's JSON object (laid out
    as an entry of the run's "files"). Nothing is written to `out` before
    the file was read to its end, unless reading keeps going."""
    on_read = None if progress is None else progress.update
    try:
        found = Input(path, on_read)
    except OSError as exc:
        reason = str(exc.strerror or exc)
        return _refused(options, path, LevelError("cannot open: " + reason, path=path), out,
                        "velk: error: cannot open %s: %s\n" % (path, one_line(reason)))
    with found:
        if progress is not None:
            progress.expect(found.size)
        try:
            return _survey_input(options, found, out)
        except LevelError as exc:
            return _refused(options, found.name, exc, out, error_line(exc, found.name))
        except OSError as exc:
            reason = str(exc.strerror or exc)
            return _refused(options, found.name,
                            LevelError("cannot read: " + reason, path=found.name), out,
                            "velk: error: reading %s: %s\n" % (found.name, one_line(reason)))


def _refused(options: Options, name: str, error: LevelError, out: TextSink,
             message: str) -> FileRun:
    """The run of a file that could not be read: in JSON an entry of no
    counts with its error; in text nothing but its error line."""
    report = survey.FileReport(name, None, keys=options.command == "stats")
    report.error = error.with_traceback(None)
    if options.json:
        with _spool() as levels:
            _json_report(options, report, levels, out)
    return FileRun.of(report, [message])


def _spool() -> "tempfile.SpooledTemporaryFile[str]":
    return tempfile.SpooledTemporaryFile(SPOOL_MEMORY, "w+", encoding="utf-8")


def _survey_input(options: Options, found: Input, out: TextSink) -> FileRun:
    form_name = options.form or found.form()
    write_level: LevelWriter
    if options.json:
        json_form = JsonForm()

        def write_level(spool: IO[str], done: survey.LevelReport) -> None:
            _json_level(spool, done, json_form)
    else:
        line = _stats_level if options.command == "stats" else _check_level

        def write_level(spool: IO[str], done: survey.LevelReport) -> None:
            line(spool, found.name, form_name, done)

    messages = []
    # Each level is written here as it completes, and the whole report only
    # once every level was read: an input refused halfway prints nothing.
    with _spool() as spool:
        report = survey.survey_input(
            found, form=form_name, kind=options.kind, max_size=options.max_size,
            keys=options.command == "stats", on_level=lambda done: write_level(spool, done),
            keep_going=options.keep_going)
        if report.form == "records" and report.totals[options.kind].looks_like_other_kind():
            messages.append(_wrong_kind(report.name, options.kind))
        if report.error is not None:
            messages.append(error_line(report.error))
        spool.seek(0)
        if options.json:
            _json_report(options, report, spool, out)
            return FileRun.of(report, messages)
        copy_text(spool, out)
    if options.command == "stats":
        _stats_text(options, report, out)
    else:
        _check_text(options, report, out)
    return FileRun.of(report, messages)


def _wrong_kind(name: str, kind: str) -> str:
    other = COLOUR if kind == OBJECT else OBJECT
    return ("velk: warning: most lines of %s give no pairs as %s records; are they %s "
            "records? (try --kind %s)\n" % (name, kind, other, other))


# The run -------------------------------------------------------------------------------------


class Total:
    """The sums of the runs of several files."""

    def __init__(self) -> None:
        self.files = 0
        self.unreadable_files = 0
        self.levels = 0
        self.failed_levels = 0
        self.counts = {kind: dict.fromkeys(COUNTED, 0) for kind in KINDS}
        self.status = 0

    def add(self, done: FileRun) -> None:
        self.files += 1
        self.unreadable_files += not done.read
        self.levels += done.levels
        self.failed_levels += done.failed_levels
        for kind, counts in done.counts.items():
            for name, count in counts.items():
                self.counts[kind][name] += count
        self.status = max(self.status, done.status)

    def as_dict(self) -> Dict[str, Any]:
        found: Dict[str, Any] = {"files": self.files, "unreadable_files": self.unreadable_files,
                                 "levels": self.levels, "failed_levels": self.failed_levels}
        found.update((kind, dict(counts)) for kind, counts in self.counts.items())
        return found

    def write_text(self, out: TextSink) -> None:
        unreadable = []
        if self.failed_levels:
            unreadable.append(plural(self.failed_levels, "level"))
        if self.unreadable_files:
            unreadable.append(plural(self.unreadable_files, "file"))
        out.write("\ntotal of %s: %s%s\n" % (
            plural(self.files, "file"), plural(self.levels, "level"),
            "; could not be read: " + ", ".join(unreadable) if unreadable else ""))
        for kind in (OBJECT, COLOUR):
            counts = self.counts[kind]
            out.write("  %d %s records: %s\n" % (counts["records"], kind, ", ".join(
                "%d %s" % (counts[outcome], outcome) for outcome in survey.OUTCOMES)))


def survey_task(task: Task, settings: Tuple[Options, str]) -> Tuple[FileRun, str]:
    """Survey the one file of `task` in a worker process: its report goes
    to a file of its own in the folder `settings[1]`, whose path comes back
    with the run, for the caller to copy in its turn."""
    options, folder = settings
    with tempfile.NamedTemporaryFile("w", encoding="utf-8", dir=folder, suffix=".report",
                                     delete=False) as spool:
        done = survey_path(options, task.files[0], spool)
    return done, spool.name


def _runs(args: argparse.Namespace, options: Options, out: TextSink, err: IO[str],
          folder: str, before: Callable[[int], None]) -> Iterator[FileRun]:
    """The run of each file of `args.files`, in order, its report written
    to `out` first, after `before(number)`: in this process, or with
    several files and jobs, in worker processes."""
    jobs = usable_cores() if args.jobs is None else args.jobs
    if jobs == 1 or len(args.files) == 1:
        for number, path in enumerate(args.files):
            before(number)
            progress = Progress(args, err,
                                "reading %s" % path if len(args.files) > 1 else "reading")
            try:
                yield survey_path(options, path, out, progress)
            finally:
                progress.close()
        return
    tasks = [Task(number, [path]) for number, path in enumerate(args.files)]
    progress = Progress(args, err, "reading files", unit="file")
    progress.expect(len(tasks))
    try:
        for number, (done, report) in enumerate(ordered_map(survey_task, tasks,
                                                            (options, folder), jobs)):
            before(number)
            with open(report, encoding="utf-8") as spooled:
                copy_text(spooled, out)
            os.unlink(report)
            progress.update(1)
            yield done
    finally:
        progress.close()


def run(args: argparse.Namespace, out: Output, err: IO[str]) -> int:
    """Run `stats` or `check` on every file of `args.files`; return the
    worst exit status. With several files, they are read in worker
    processes (--jobs), each file's report written in the files' order."""
    options = Options.of(args)
    total = Total()
    if options.json:
        out.write('{\n  "files": [')

    def before(number: int) -> None:
        if options.json:
            out.write("\n    " if number == 0 else ",\n    ")

    with tempfile.TemporaryDirectory(prefix="velk-") as folder:
        for done in _runs(args, options, out, err, folder, before):
            for message in done.messages:
                err.write(message)
            total.add(done)
    if options.json:
        out.write("\n  ],\n  \"total\": ")
        write_json(out, total.as_dict(), 1, JsonForm())
        out.write(',\n  "status": %d\n}\n' % total.status)
    elif len(args.files) > 1:
        total.write_text(out)
    return total.status


# stats -------------------------------------------------------------------------------


def _clip(text: str, width: int) -> str:
    return text if len(text) <= width else text[: width - 3] + "..."


def _key_row(keys: survey.KeyStats, key: str, form: JsonForm) -> Tuple[str, str, str, str]:
    kinds = keys.types(key)
    if len(kinds) == 1:
        described = next(iter(kinds))
    else:
        described = ", ".join("%s %d" % item for item in kinds.items())
    example = json.dumps(form(keys.example(key)))
    return str(key), str(keys.records(key)), described, _clip(example, EXAMPLE_WIDTH)


def _key_table(out: TextSink, keys: survey.KeyStats, form: JsonForm) -> None:
    # Rows are made twice, to measure the columns and to write them, rather
    # than kept: there is one for every distinct key, however many.
    heading = ("key", "records", "types", "example")
    widths = [len(text) for text in heading]
    order = keys.keys()
    for key in order:
        widths = [max(width, len(text)) for width, text in zip(widths, _key_row(keys, key, form))]
    line = "%-*s  %*s  %-*s  %s"
    out.write((line % (widths[0], heading[0], widths[1], heading[1],
                       widths[2], heading[2], heading[3])).rstrip() + "\n")
    for start in range(0, len(order), KEY_ROWS):
        rows = (_key_row(keys, key, form) for key in order[start:start + KEY_ROWS])
        out.write("".join(line % (widths[0], row[0], widths[1], row[1], widths[2], row[2], row[3])
                          + "\n" for row in rows))
    if keys:
        out.write("\n")


def _stats_tally(out: TextSink, tally: survey.Tally, form: JsonForm) -> None:
    if tally.keys is not None:
        _key_table(out, tally.keys, form)
    out.write("records:    %d\n" % tally.records)
    if tally.failures:
        first = tally.failures[0]
        key = "" if first.key is None else "key %s: " % first.key
        out.write("malformed:  %d (first at %s: %s%s)\n"
                  % (tally.failed, first.where, key, one_line(first.error)))
    else:
        out.write("malformed:  %d\n" % tally.failed)
    out.write("written back: %d identical, %d normalised, %d changed\n"
              % (tally.identical, tally.normalised, tally.changed))


def _throughput(out: TextSink, report: survey.FileReport) -> None:
    if report.elapsed > 0:
        records = sum(tally.records for tally in report.totals.values())
        out.write(
            "throughput: %.0f records/s, %.2f MB/s (%d bytes in %.3f s)\n"
            % (records / report.elapsed, report.size / report.elapsed / 1e6, report.size,
               report.elapsed))
    else:
        out.write("throughput: %d bytes in no measurable time\n" % report.size)


def _level_title(name: str, form: str, done: survey.LevelReport) -> str:
    level_name = "" if done.name is None else " %s" % json.dumps(done.name)
    return "%s: level %d%s (%s)" % (name, done.index, level_name, FORM_NAMES[form])


def _stats_level(out: TextSink, name: str, form: str, done: survey.LevelReport) -> None:
    out.write("%s: %d colour records, %d object records, header %s\n"
              % (_level_title(name, form, done), done.colour.records, done.object.records,
                 done.header))


def _unreadable_levels(out: TextSink, report: survey.FileReport, indent: str) -> None:
    """The levels that could not be read, when reading kept going."""
    if not report.failed_levels:
        return
    out.write("%s%s could not be read:\n" % (indent, plural(report.failed_levels, "level")))
    for error in report.level_failures:
        shown = error.location()
        shown["path"] = None
        out.write("%s  %s: %s\n" % (indent, where_text(**shown), one_line(error.reason)))
    if report.failed_levels > len(report.level_failures):
        out.write("%s  ... and %d more\n"
                  % (indent, report.failed_levels - len(report.level_failures)))


def _stats_text(options: Options, report: survey.FileReport, out: TextSink) -> None:
    form = JsonForm()
    if report.form == "records":
        _stats_tally(out, report.totals[options.kind], form)
    else:
        if report.level_count > 1:
            out.write("%s: %d levels\n" % (report.name, report.level_count))
        _unreadable_levels(out, report, "")
        for kind in (COLOUR, OBJECT):
            out.write("\n%s records\n" % kind)
            _stats_tally(out, report.totals[kind], form)
    if options.timings:
        if report.form != "records":
            out.write("\n")
        _throughput(out, report)


# check ---------------------------------------------------------------------------------


def _excerpt(difference: survey.Difference) -> Tuple[str, str]:
    """The two records cut to one window around their first difference,
    saying how much of each was left out after it."""
    start, original, written = difference.excerpt(EXCERPT)

    def cut(piece: str, length: int) -> str:
        left = length - start - len(piece)
        if start > 0:
            piece = "..." + piece
        if left > 0:
            piece += "... (%s more characters)" % format(left, ",")
        return piece

    return (cut(original, difference.original_length),
            cut(written, difference.written_length))


def _check_tally(out: TextSink, heading: str, tally: survey.Tally, indent: str) -> None:
    out.write(indent + heading + "\n")
    width = len(str(tally.records))
    for label, count in (("identical:  ", tally.identical), ("normalised: ", tally.normalised),
                         ("changed:    ", tally.changed), ("failed:     ", tally.failed)):
        out.write("%s  %s%*d\n" % (indent, label, width, count))
    for outcome in ("normalised", "changed"):
        shown = [d for d in tally.differences if d.outcome == outcome]
        if not shown:
            continue
        out.write("\n%s%s records (first %d):\n" % (indent, outcome, len(shown)))
        for difference in shown:
            original, back = _excerpt(difference)
            out.write("%s  %s\n" % (indent, difference.where))
            out.write("%s    original:     %s\n" % (indent, original))
            out.write("%s    written back: %s\n" % (indent, back))
    if tally.failures:
        out.write("\n%srecords that fail (first %d):\n" % (indent, len(tally.failures)))
        for failure in tally.failures:
            out.write("%s  %s: %s\n" % (indent, failure.where, one_line(failure.message())))
        if tally.failed > len(tally.failures):
            out.write("%s  ... and %d more\n" % (indent, tally.failed - len(tally.failures)))


def _check_level(out: TextSink, name: str, form: str, done: survey.LevelReport) -> None:
    out.write("%s, header %s\n" % (_level_title(name, form, done), done.header))
    for kind in (OBJECT, COLOUR):
        tally = done.tallies[kind]
        _check_tally(out, "%d %s records" % (tally.records, kind), tally, "  ")


def _check_text(options: Options, report: survey.FileReport, out: TextSink) -> None:
    if report.form == "records":
        tally = report.totals[options.kind]
        _check_tally(out, "%s: %d %s records" % (report.name, tally.records, tally.kind),
                     tally, "")
        return
    _unreadable_levels(out, report, "")
    if report.level_count > 1:
        out.write("%s: %d levels in all\n" % (report.name, report.level_count))
        for kind in (OBJECT, COLOUR):
            tally = report.totals[kind]
            out.write("  %d %s records: %d identical, %d normalised, %d changed, %d failed\n"
                      % (tally.records, kind, tally.identical, tally.normalised, tally.changed,
                         tally.failed))
    if options.timings:
        _throughput(out, report)


# JSON ----------------------------------------------------------------------------------

# The depth of a file's object in the run's JSON, and of its levels'.
_FILE_DEPTH = 2
_LEVEL_DEPTH = _FILE_DEPTH + 2


def _with_keys(found: Dict[str, Any], tallies: Dict[str, survey.Tally]) -> Dict[str, Any]:
    """The JSON form `found` of a report made without its per-key
    statistics, with them put back, to be written as they are made."""
    for kind, tally in tallies.items():
        if tally.keys is not None:
            found[kind]["keys"] = tally.keys
    return found


def _json_level(out: IO[str], done: survey.LevelReport, form: JsonForm) -> None:
    out.write(("\n" if out.tell() == 0 else ",\n") + "  " * _LEVEL_DEPTH)
    write_json(out, _with_keys(done.as_dict(form, keys=False), done.tallies), _LEVEL_DEPTH,
               form)


def _json_report(options: Options, report: survey.FileReport, levels: IO[str],
                 out: TextSink) -> None:
    """The report as the JSON object of an entry of the run's "files",
    laid out as json.dump(indent=2) lays it out, its levels copied from
    their spool file `levels` after its status and error."""
    form = JsonForm()
    found = _with_keys(report.summary(form, keys=False, timings=options.timings),
                       report.totals)
    inner = "  " * (_FILE_DEPTH + 1)
    separator = "{\n"
    for key in ("file", "form", "status", "error"):
        out.write("%s%s%s: %s" % (separator, inner, scalar(key),
                                  layout(found.pop(key), inner)))
        separator = ",\n"
    out.write(',\n%s"levels": [' % inner)
    if report.level_count:
        copy_text(levels, out)
        out.write("\n" + inner)
    out.write("]")
    for key, value in found.items():
        out.write(",\n%s%s: " % (inner, scalar(key)))
        write_json(out, value, _FILE_DEPTH + 1, form)
    out.write("\n%s}" % ("  " * _FILE_DEPTH))
