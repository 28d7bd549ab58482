"""The `velk` command: look at, summarise and check levels and record files.

It reads the level data users have, told apart by their content (or forced
with --format): the game's save files (created or downloaded levels),
server data ("1:ID:2:NAME:...:4:DATA"), export files (XML holding levels),
encoded level data ("H4sI..."), level strings ("header;object;object;...;")
and record files (one object or colour record per line; --kind says which).
A file that is none of them is refused. Inputs are streamed, so their size
does not matter; "-" reads standard input. Of a save file only the levels
are shown, never the player's settings or identifiers.

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
import sys
from importlib import metadata
from itertools import islice

import velk
from velk import level, survey
from velk.json_form import JsonForm
from velk.level.errors import LevelError
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
# A progress line appears once reading has taken this many seconds.
PROGRESS_DELAY = 0.5


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
            help="refuse level data that decode to more than SIZE bytes (K, M, G "
            "allowed; default: 256M)")
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
    for number, text, error in found.lines():
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


def _clip(text, width):
    return text if len(text) <= width else text[: width - 3] + "..."


def _key_table(out, keys, form):
    rows = []
    for key in keys.keys():
        kinds = keys.types[key]
        if len(kinds) == 1:
            described = next(iter(kinds))
        else:
            described = ", ".join("%s %d" % item for item in kinds.most_common())
        example = json.dumps(form(keys.examples[key]))
        rows.append((str(key), str(keys.holders[key]), described, _clip(example, EXAMPLE_WIDTH)))
    heading = ("key", "records", "types", "example")
    widths = [max([len(heading[i])] + [len(row[i]) for row in rows]) for i in range(4)]
    line = "%-*s  %*s  %-*s  %s"
    out.write((line % (widths[0], heading[0], widths[1], heading[1],
                       widths[2], heading[2], heading[3])).rstrip() + "\n")
    for row in rows:
        out.write(line % (widths[0], row[0], widths[1], row[1], widths[2], row[2], row[3]) + "\n")
    if rows:
        out.write("\n")


def _stats_tally(out, tally, form):
    _key_table(out, tally.keys, form)
    out.write("records:    %d\n" % tally.records)
    if tally.failures:
        first = tally.failures[0]
        key = "" if first.key is None else "key %s: " % first.key
        out.write("malformed:  %d (first at %s: %s%s)\n"
                  % (tally.failed, first.where, key, _one_line(_describe(first.error))))
    else:
        out.write("malformed:  %d\n" % tally.failed)
    out.write("written back: %d identical, %d normalised, %d changed\n"
              % (tally.identical, tally.normalised, tally.changed))


def _throughput(out, report):
    if report.elapsed > 0:
        records = sum(tally.records for tally in report.totals.values())
        out.write(
            "throughput: %.0f records/s, %.2f MB/s (%d bytes in %.3f s)\n"
            % (records / report.elapsed, report.size / report.elapsed / 1e6, report.size,
               report.elapsed))
    else:
        out.write("throughput: %d bytes in no measurable time\n" % report.size)


def _level_title(report, done):
    name = "" if done.name is None else " %s" % json.dumps(done.name)
    return "%s: level %d%s (%s)" % (report.name, done.index, name, FORM_NAMES[report.form])


def _stats_text(args, report, out):
    form = JsonForm()
    if report.form == "records":
        _stats_tally(out, report.totals[args.kind], form)
    else:
        for done in report.levels:
            out.write("%s: %d colour records, %d object records, header %s\n"
                      % (_level_title(report, done), done.colour.records,
                         done.object.records, done.header))
        if len(report.levels) > 1:
            out.write("%s: %d levels\n" % (report.name, len(report.levels)))
        for kind in ("colour", "object"):
            out.write("\n%s records\n" % kind)
            _stats_tally(out, report.totals[kind], form)
        out.write("\n")
    _throughput(out, report)


# check ---------------------------------------------------------------------------------


def _excerpt(original, written):
    """The two records cut to one window around their first difference."""
    if max(len(original), len(written)) <= EXCERPT:
        return original, written
    at = 0
    for at, (a, b) in enumerate(zip(original, written)):
        if a != b:
            break
    else:
        at = min(len(original), len(written))
    start = max(0, at - EXCERPT // 3)

    def cut(text):
        piece = text[start : start + EXCERPT]
        if start > 0:
            piece = "..." + piece
        if start + EXCERPT < len(text):
            piece += "..."
        return piece

    return cut(original), cut(written)


def _check_tally(out, heading, tally, indent):
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
            original, back = _excerpt(difference.original, difference.written)
            out.write("%s  %s\n" % (indent, difference.where))
            out.write("%s    original:     %s\n" % (indent, original))
            out.write("%s    written back: %s\n" % (indent, back))
    if tally.failures:
        out.write("\n%srecords that fail (first %d):\n" % (indent, len(tally.failures)))
        for failure in tally.failures:
            out.write("%s  %s: %s\n" % (indent, failure.where, _one_line(failure.message())))
        if tally.failed > len(tally.failures):
            out.write("%s  ... and %d more\n" % (indent, tally.failed - len(tally.failures)))


def _check_text(args, report, out):
    if report.form == "records":
        tally = report.totals[args.kind]
        _check_tally(out, "%s: %d %s records" % (report.name, tally.records, tally.kind),
                     tally, "")
        return
    for done in report.levels:
        out.write("%s, header %s\n" % (_level_title(report, done), done.header))
        for kind in ("object", "colour"):
            tally = done.tallies[kind]
            _check_tally(out, "%d %s records" % (tally.records, kind), tally, "  ")
    if len(report.levels) > 1:
        out.write("%s: %d levels in all\n" % (report.name, len(report.levels)))
        for kind in ("object", "colour"):
            tally = report.totals[kind]
            out.write("  %d %s records: %d identical, %d normalised, %d changed, %d failed\n"
                      % (tally.records, kind, tally.identical, tally.normalised, tally.changed,
                         tally.failed))


# main ----------------------------------------------------------------------------------


def _run(args, found, out, err):
    form_name = args.format or found.form()
    if args.command == "show":
        if form_name == "records":
            return _show_records(args, found, out, err)
        return _show_levels(args, found, out, err, form_name)
    report = survey.survey_input(found, form=form_name, kind=args.kind,
                                 max_size=args.max_size or level.MAX_SIZE,
                                 keys=args.command == "stats")
    if report.form == "records" and report.totals[args.kind].looks_like_other_kind():
        _wrong_kind(err, report.name, args.kind)
    if args.json:
        json.dump(report.as_dict(), out, indent=2)
        out.write("\n")
    elif args.command == "stats":
        _stats_text(args, report, out)
    else:
        _check_text(args, report, out)
    return report.status


def _reader_gone():
    """The reader of standard output went away (velk show FILE | head): stop
    quietly, and keep the interpreter from complaining when it flushes
    standard output."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
    except (OSError, ValueError, AttributeError):
        pass


def main(argv=None):
    """Run the command line `argv` (default: sys.argv[1:]); return the exit status."""
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
    progress.expect(found.size)
    try:
        return _run(args, found, out, err)
    except level.LevelError as exc:
        progress.close()
        err.write("velk: error: %s\n" % _one_line(str(exc.locate(path=found.name))))
        return 2
    except ImportError as exc:
        err.write("velk: error: cannot load the record codec: %s\n" % exc)
        return 1
    except BrokenPipeError:
        _reader_gone()
        return 0
    except KeyboardInterrupt:
        return 130
    except OSError as exc:
        progress.close()
        err.write("velk: error: reading %s: %s\n" % (found.name, exc.strerror or exc))
        return 2
    finally:
        progress.close()
        found.close()


if __name__ == "__main__":
    sys.exit(main())
