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

    velk show  FILE [--limit N]     each record as a line of JSON
    velk stats FILE [--json]        every key: how often, which types, an example
    velk check FILE [--json]        write every record back and compare
    velk list FILE...               the levels of each file, a line each
    velk export FILE --level N|NAME -o OUT     one level to a file of its own
    velk import SAVE FILE...        levels added to the game's save of created levels

The last three are ``velk.cli_levels``.

Exit status: 0 when every record reads and comes back identical or
normalised, 1 when some are changed or fail, 2 on wrong usage and on input
that cannot be read at all (a missing file, corrupt or hostile level data).

The work is done by functions users can call themselves: ``velk.survey``
gathers the counts, ``velk.level`` reads the levels; this module shows them.
"""
import argparse
import json
import os
import re
import shutil
import sys
import tempfile
from importlib import metadata
from itertools import islice
from json.encoder import encode_basestring_ascii
from typing import IO, Any, Callable, Dict, Optional, Sequence, Tuple

import velk
from velk import level, survey
from velk.json_form import JsonForm
from velk.level.errors import LevelError
from velk.level.data import TooLarge
from velk.level.source import FORMS, Input

__all__ = ["main", "JsonForm"]

KINDS = {"object": "object", "colour": "colour", "color": "colour"}
FORM_NAMES = {"records": "record file", "level": "level string", "encoded": "encoded level",
              "export": "export file", "save": "save file", "server": "server data"}

# How many records `check` quotes before it only counts them.
SHOWN_DIFFERENCES = survey.KEPT_DIFFERENCES
SHOWN_FAILURES = survey.KEPT_FAILURES
# Width of the excerpt of a record that `check` prints.
EXCERPT = 72
# Widest example value that `stats` prints.
EXAMPLE_WIDTH = 40
# Rows of the key table written at a time: a write of each costs more than
# making it.
KEY_ROWS = 4096
# A progress line appears once reading has taken this many seconds.
PROGRESS_DELAY = 0.5
# What a report's spool file holds in memory before it moves to disk.
SPOOL_MEMORY = 64 << 10


def _kind(text):
    try:
        return KINDS[text.lower()]
    except KeyError:
        raise argparse.ArgumentTypeError(
            "invalid kind %r (choose from object, colour)" % text
        )


def _limit(text):
    try:
        value = int(text)
    except ValueError:
        value = -1
    if value < 0:
        raise argparse.ArgumentTypeError(
            "invalid limit %r (a whole number, 0 or more)" % text
        )
    return value


_SIZE = re.compile(r"(\d+)\s*([kmg]?)(i?b)?", re.IGNORECASE)
_SIZE_UNITS = {"": 1, "k": 1 << 10, "m": 1 << 20, "g": 1 << 30}


def _size(text):
    match = _SIZE.fullmatch(text.strip())
    if not match or int(match.group(1)) == 0:
        raise argparse.ArgumentTypeError(
            "invalid size %r (bytes, or a number with K, M or G: 64M)" % text)
    return int(match.group(1)) * _SIZE_UNITS[match.group(2).lower()]


def _version():
    try:
        return metadata.version("velk")
    except metadata.PackageNotFoundError:  # run from a checkout
        return velk.__version__


def _parser():
    parser = argparse.ArgumentParser(
        prog="velk",
        description="Look at, summarise and check levels (save files, server data, export "
        "files, encoded level data, level strings) and files of object or colour records.",
        epilog="Exit status: 0 when every record reads and comes back identical or "
        "normalised, 1 when some are changed or fail, 2 on wrong usage or input that "
        "cannot be read at all.",
    )
    parser.add_argument("--version", action="version", version="velk " + _version())
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True

    def command(name, help_text):
        sub = commands.add_parser(name, help=help_text, description=help_text)
        sub.add_argument("file", metavar="FILE", help='input file, or "-" for standard input')
        sub.add_argument(
            "--format", choices=FORMS, default=None,
            help="the input's form (default: told from its content)")
        sub.add_argument(
            "--kind",
            type=_kind,
            default="object",
            metavar="object|colour",
            help="record files only: the kind of record (default: object; \"color\" is "
            "accepted too)",
        )
        sub.add_argument(
            "--max-size", type=_size, default=None, metavar="SIZE",
            help="refuse a level string, a line of a record file or level data (once "
            "decoded) larger than SIZE bytes (K, M, G allowed; default: 256M)")
        sub.add_argument("--quiet", "-q", action="store_true",
                         help="no progress line on standard error")
        return sub

    show = command("show", "print every record as a typed dictionary, one JSON object per line")
    show.add_argument(
        "--limit", type=_limit, default=None, metavar="N", help="read only the first N records"
    )
    for name, help_text in (("stats", "summarise the keys, value types and outcomes"),
                            ("check", "write every record back and compare it with the "
                             "original")):
        command(name, help_text).add_argument(
            "--json", action="store_true", help="print one JSON object instead of text")
    # Imported here: that module builds on this one's helpers.
    from velk import cli_levels

    cli_levels.add_commands(commands)
    return parser


def _describe(exc):
    return "%s: %s" % (type(exc).__name__, exc)


def _one_line(text):
    return " ".join(text.splitlines())


class Progress:
    """A progress line on standard error, for inputs that take a while, when
    standard error is a terminal and --quiet is not given."""

    def __init__(self, args, err):
        self.bar = None
        if not args.quiet and err.isatty():
            # Imported only for a terminal: most runs show no progress.
            from tqdm import tqdm

            self.bar = tqdm(unit="B", unit_scale=True, unit_divisor=1024, file=err,
                            leave=False, delay=PROGRESS_DELAY, desc="reading")

    def expect(self, size):
        """Show progress against `size` bytes (None: unknown)."""
        if self.bar is not None:
            self.bar.total = size

    def update(self, count):
        if self.bar is not None:
            self.bar.update(count)

    def close(self):
        if self.bar is not None:
            self.bar.close()


# show ------------------------------------------------------------------------------


def _read_error(codec, text, exc):
    """The failure with the key whose value fails: "key 1: ValueError: ..."."""
    key = codec.failing_key(text)
    return ("" if key is None else "key %s: " % key) + _describe(exc)


def _show_records(args, found, out, err):
    codec = level.RecordCodec(args.kind)
    form = JsonForm()
    failed = no_pairs = count = 0
    for number, text, error in found.lines(args.max_size or level.MAX_SIZE):
        if args.limit is not None and number > args.limit:
            break
        count += 1
        if error is not None:
            problem = _describe(error)
        else:
            try:
                record = codec.read(text)
            except Exception as exc:
                problem = _read_error(codec, text, exc)
            else:
                no_pairs += not record and bool(text.strip())
                out.write(form.record(record) + "\n")
                continue
        failed += 1
        err.write("%s: line %d: %s\n" % (found.name, number, _one_line(problem)))
    if count and 2 * no_pairs > count:
        _wrong_kind(err, found.name, args.kind)
    return 1 if failed else 0


def _level_records(found, form_name, max_size):
    """(level source, kind, index, text) of every record of every level."""
    for source in found.levels(form_name, max_size):
        if source.pieces is None:   # no level data: nothing to show
            continue
        with source.naming():
            parts = level.split_level(source.pieces)
            for kind, texts in ((level.COLOUR, parts.colours), (level.OBJECT, parts.objects)):
                for index, text in enumerate(texts):
                    yield source, kind, index, text


def _show_levels(args, found, out, err, form_name):
    form = JsonForm()
    codecs = {kind: level.RecordCodec(kind) for kind in level.KINDS}
    failed = 0
    records = _level_records(found, form_name, args.max_size or level.MAX_SIZE)
    for source, kind, index, text in islice(records, args.limit):
        codec = codecs[kind]
        try:
            record = codec.read(text)
        except Exception as exc:
            failed += 1
            where = LevelError("", path=found.name, level=source.index, level_name=source.name,
                               kind=kind, index=index).where
            err.write("%s: %s\n" % (where, _one_line(_read_error(codec, text, exc))))
            continue
        out.write(json.dumps({"level": source.index, "kind": kind, "index": index,
                              "record": {key: form(value) for key, value in record.items()}})
                  + "\n")
    return 1 if failed else 0


def _wrong_kind(err, name, kind):
    other = "colour" if kind == "object" else "object"
    err.write("velk: warning: most lines of %s give no pairs as %s records; are they %s "
              "records? (try --kind %s)\n" % (name, kind, other, other))


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


def _key_table(out: IO[str], keys: survey.KeyStats, form: JsonForm) -> None:
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


def _stats_tally(out: IO[str], tally: survey.Tally, form: JsonForm) -> None:
    if tally.keys is not None:
        _key_table(out, tally.keys, form)
    out.write("records:    %d\n" % tally.records)
    if tally.failures:
        first = tally.failures[0]
        key = "" if first.key is None else "key %s: " % first.key
        out.write("malformed:  %d (first at %s: %s%s)\n"
                  % (tally.failed, first.where, key, _one_line(first.error)))
    else:
        out.write("malformed:  %d\n" % tally.failed)
    out.write("written back: %d identical, %d normalised, %d changed\n"
              % (tally.identical, tally.normalised, tally.changed))


def _throughput(out: IO[str], report: survey.FileReport) -> None:
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


def _stats_level(out: IO[str], name: str, form: str, done: survey.LevelReport) -> None:
    out.write("%s: %d colour records, %d object records, header %s\n"
              % (_level_title(name, form, done), done.colour.records, done.object.records,
                 done.header))


def _stats_text(args: argparse.Namespace, report: survey.FileReport, out: IO[str]) -> None:
    form = JsonForm()
    if report.form == "records":
        _stats_tally(out, report.totals[args.kind], form)
    else:
        if report.level_count > 1:
            out.write("%s: %d levels\n" % (report.name, report.level_count))
        for kind in ("colour", "object"):
            out.write("\n%s records\n" % kind)
            _stats_tally(out, report.totals[kind], form)
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


def _check_tally(out: IO[str], heading: str, tally: survey.Tally, indent: str) -> None:
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
            out.write("%s  %s: %s\n" % (indent, failure.where, _one_line(failure.message())))
        if tally.failed > len(tally.failures):
            out.write("%s  ... and %d more\n" % (indent, tally.failed - len(tally.failures)))


def _check_level(out: IO[str], name: str, form: str, done: survey.LevelReport) -> None:
    out.write("%s, header %s\n" % (_level_title(name, form, done), done.header))
    for kind in ("object", "colour"):
        tally = done.tallies[kind]
        _check_tally(out, "%d %s records" % (tally.records, kind), tally, "  ")


def _check_text(args: argparse.Namespace, report: survey.FileReport, out: IO[str]) -> None:
    if report.form == "records":
        tally = report.totals[args.kind]
        _check_tally(out, "%s: %d %s records" % (report.name, tally.records, tally.kind),
                     tally, "")
        return
    if report.level_count > 1:
        out.write("%s: %d levels in all\n" % (report.name, report.level_count))
        for kind in ("object", "colour"):
            tally = report.totals[kind]
            out.write("  %d %s records: %d identical, %d normalised, %d changed, %d failed\n"
                      % (tally.records, kind, tally.identical, tally.normalised, tally.changed,
                         tally.failed))


# JSON ----------------------------------------------------------------------------------


def _scalar(value: Any) -> str:
    """A value that is neither a dictionary nor a list, as JSON."""
    if isinstance(value, str):
        return encode_basestring_ascii(value)
    if value is None or isinstance(value, bool):
        return "null" if value is None else "true" if value else "false"
    if isinstance(value, int):
        return int.__repr__(value)
    return json.dumps(value)


def _layout(value: Any, indent: str) -> str:
    """`value` as json.dumps(value, indent=2) lays it out, its later lines
    indented by `indent` more; without json's indenting encoder, which is
    written in Python and several times slower, for the statistics of each
    of what can be millions of keys."""
    if isinstance(value, dict) and value:
        inner = indent + "  "
        return "{\n%s\n%s}" % (",\n".join("%s%s: %s" % (inner, _scalar(str(key)),
                                                        _layout(item, inner))
                                           for key, item in value.items()), indent)
    if isinstance(value, list) and value:
        inner = indent + "  "
        return "[\n%s\n%s]" % (",\n".join(inner + _layout(item, inner) for item in value),
                                indent)
    if isinstance(value, (dict, list)):
        return "{}" if isinstance(value, dict) else "[]"
    return _scalar(value)


def _write_json(out: IO[str], value: Any, depth: int, form: JsonForm) -> None:
    """Write `value` as json.dump(indent=2) writes it, nested `depth` levels
    deep; per-key statistics (a KeyStats) are written as they are made, a
    few thousand keys at a time, never as a whole dictionary."""
    indent, inner = "  " * depth, "  " * (depth + 1)
    if isinstance(value, survey.KeyStats):
        entries = ("%s%s: %s" % (inner, _scalar(key), _layout(item, inner))
                   for key, item in value.entries(form))
        separator = "{\n"
        while True:
            chunk = ",\n".join(islice(entries, KEY_ROWS))
            if not chunk:
                break
            out.write(separator + chunk)
            separator = ",\n"
        out.write("{}" if separator == "{\n" else "\n%s}" % indent)
    elif isinstance(value, dict) and value:
        separator = "{\n"
        for key, item in value.items():
            out.write("%s%s%s: " % (separator, inner, _scalar(str(key))))
            _write_json(out, item, depth + 1, form)
            separator = ",\n"
        out.write("\n%s}" % indent)
    elif isinstance(value, list) and value:
        separator = "[\n"
        for item in value:
            out.write(separator + inner)
            _write_json(out, item, depth + 1, form)
            separator = ",\n"
        out.write("\n%s]" % indent)
    else:
        out.write(_layout(value, indent))


def _with_keys(found: Dict[str, Any], tallies: Dict[str, survey.Tally]) -> Dict[str, Any]:
    """The JSON form `found` of a report made without its per-key
    statistics, with them put back, to be written as they are made."""
    for kind, tally in tallies.items():
        if tally.keys is not None:
            found[kind]["keys"] = tally.keys
    return found


def _json_level(out: IO[str], name: str, form: str, done: survey.LevelReport) -> None:
    json_form = JsonForm()
    out.write("\n    " if out.tell() == 0 else ",\n    ")
    _write_json(out, _with_keys(done.as_dict(json_form, keys=False), done.tallies), 2,
                json_form)


def _json_report(report: survey.FileReport, levels: IO[str], out: IO[str]) -> None:
    """The report as one JSON object, laid out as json.dump(indent=2) lays
    it out, the levels copied from their spool file `levels`."""
    form = JsonForm()
    found = _with_keys(report.summary(form, keys=False), report.totals)
    out.write('{\n  "file": %s,\n  "form": %s,\n  "levels": ['
              % (json.dumps(found.pop("file")), json.dumps(found.pop("form"))))
    if report.level_count:
        shutil.copyfileobj(levels, out)
        out.write("\n  ")
    out.write("]")
    for key, value in found.items():
        out.write(",\n  %s: " % json.dumps(key))
        _write_json(out, value, 1, form)
    out.write("\n}\n")


# main ----------------------------------------------------------------------------------


LevelWriter = Callable[[IO[str], str, str, survey.LevelReport], None]


def _run(args: argparse.Namespace, found: Input, out: IO[str], err: IO[str]) -> int:
    form_name = args.format or found.form()
    if args.command == "show":
        if form_name == "records":
            return _show_records(args, found, out, err)
        return _show_levels(args, found, out, err, form_name)
    write_level: LevelWriter = (_json_level if args.json else
                                _stats_level if args.command == "stats" else _check_level)
    # Each level is written here as it completes, and the whole report only
    # once every level was read: an input refused halfway prints nothing.
    with tempfile.SpooledTemporaryFile(SPOOL_MEMORY, "w+", encoding="utf-8") as spool:
        report = survey.survey_input(
            found, form=form_name, kind=args.kind, max_size=args.max_size or level.MAX_SIZE,
            keys=args.command == "stats",
            on_level=lambda done: write_level(spool, found.name, form_name, done))
        if report.form == "records" and report.totals[args.kind].looks_like_other_kind():
            _wrong_kind(err, report.name, args.kind)
        spool.seek(0)
        if args.json:
            _json_report(report, spool, out)
            return report.status
        shutil.copyfileobj(spool, out)
    if args.command == "stats":
        _stats_text(args, report, out)
    else:
        _check_text(args, report, out)
    return report.status


def _reader_gone() -> None:
    """The reader of standard output went away (velk show FILE | head): stop
    quietly, and keep the interpreter from complaining when it flushes
    standard output."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
    except (OSError, ValueError, AttributeError):
        pass


def _error_line(exc: level.LevelError, name: str) -> str:
    line = "velk: error: %s" % _one_line(str(exc.locate(path=name)))
    if isinstance(exc, TooLarge):
        line += " (--max-size)"
    return line + "\n"


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run the command line `argv` (default: sys.argv[1:]); return the exit status."""
    try:
        return _main(argv)
    except KeyboardInterrupt:
        # Ctrl-C, wherever it came: while the first bytes were awaited on
        # standard input, or while a report was written.
        return 130


def _main(argv: Optional[Sequence[str]]) -> int:
    parser = _parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as exc:
        return exc.code if isinstance(exc.code, int) else (0 if exc.code is None else 2)
    from velk import cli_levels

    if args.command in cli_levels.COMMANDS:
        return cli_levels.run(args)

    out, err = sys.stdout, sys.stderr
    progress = Progress(args, err)
    try:
        found = Input(args.file, progress.update)
    except OSError as exc:
        progress.close()
        err.write("velk: error: cannot open %s: %s\n" % (args.file, exc.strerror or exc))
        return 2
    except BaseException:
        progress.close()
        raise
    progress.expect(found.size)
    try:
        return _run(args, found, out, err)
    except level.LevelError as exc:
        progress.close()
        err.write(_error_line(exc, found.name))
        return 2
    except ImportError as exc:
        err.write("velk: error: cannot load the record codec: %s\n" % exc)
        return 1
    except BrokenPipeError:
        _reader_gone()
        return 0
    except OSError as exc:
        progress.close()
        err.write("velk: error: reading %s: %s\n" % (found.name, exc.strerror or exc))
        return 2
    finally:
        progress.close()
        found.close()


if __name__ == "__main__":
    sys.exit(main())
