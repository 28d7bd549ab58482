"""The `velk` command: look at, summarise and check files of records.

A record file holds one record per line, object records ("1,1,2,15,3,15.5")
or colour records ("1_255_5_1"). Files are read line by line, so files of any
size can be handled; "-" reads standard input.

    velk show  FILE [--kind object|colour] [--limit N]
    velk stats FILE [--kind object|colour]
    velk check FILE [--kind object|colour]

Every subcommand exits with 0 when every record could be read, 1 when some
could not, and 2 on wrong usage or a file that cannot be opened.
"""
import argparse
import json
import math
import os
import sys
import time
from collections import Counter

KINDS = {"object": "object", "colour": "colour", "color": "colour"}

# How many records `check` quotes of each sort before it only counts them.
SHOWN_DIFFERENCES = 5
SHOWN_FAILURES = 20
# Width of the excerpt of a record that `check` prints.
EXCERPT = 72
# Widest example value that `stats` prints.
EXAMPLE_WIDTH = 40


class Codec:
    """The reader and the writer of one kind of record."""

    def __init__(self, kind):
        from velk import _velkc

        self.kind = kind
        if kind == "object":
            self.read = _velkc._object_convert
            dump, collect = _velkc._object_dump, _velkc._object_collect
        else:
            self.read = _velkc._color_convert
            dump, collect = _velkc._color_dump, _velkc._color_collect

        def write(record):
            return collect(dump(record))

        self.write = write


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


def _parser():
    parser = argparse.ArgumentParser(
        prog="velk",
        description="Look at, summarise and check files of object or colour "
        "records, one record per line.",
        epilog="Exit status: 0 when every record reads, 1 when some do not, "
        "2 on wrong usage.",
    )
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True

    def command(name, help_text):
        sub = commands.add_parser(name, help=help_text, description=help_text)
        sub.add_argument("file", metavar="FILE", help='record file, or "-" for standard input')
        sub.add_argument(
            "--kind",
            type=_kind,
            default="object",
            metavar="object|colour",
            help="kind of record (default: object; \"color\" is accepted too)",
        )
        return sub

    show = command("show", "print every record as a typed dictionary, one JSON object per line")
    show.add_argument(
        "--limit", type=_limit, default=None, metavar="N", help="read only the first N records"
    )
    command("stats", "summarise the keys, value types and errors of a file")
    command("check", "write every record back and compare it with the original")
    return parser


# Reading ---------------------------------------------------------------------


class Source:
    """The lines of a file or of standard input, as (number, text) pairs.

    Lines are split at "\\n" only, and only the line ending ("\\n" or "\\r\\n")
    is taken off. A line that is not UTF-8 comes as (number, None, error).
    `size` counts the bytes read so far."""

    def __init__(self, path):
        self.path = path
        self.size = 0
        if path == "-":
            self.name = "<stdin>"
            stream = getattr(sys.stdin, "buffer", None)
            self._stream = stream if stream is not None else sys.stdin
            self._close = False
        else:
            self.name = path
            self._stream = open(path, "rb")
            self._close = True

    def lines(self):
        for number, line in enumerate(self._stream, 1):
            if isinstance(line, str):
                line = line.encode("utf-8", "surrogateescape")
            self.size += len(line)
            if line.endswith(b"\r\n"):
                line = line[:-2]
            elif line.endswith(b"\n"):
                line = line[:-1]
            try:
                yield number, line.decode("utf-8"), None
            except UnicodeDecodeError as exc:
                yield number, None, exc

    def close(self):
        if self._close:
            self._stream.close()


def _describe(exc):
    return "%s: %s" % (type(exc).__name__, exc)


def _read_all(source, codec, limit=None):
    """Yield (number, text, record, error) for each line; exactly one of
    record and error is None."""
    for number, text, error in source.lines():
        if limit is not None and number > limit:
            break
        if error is None:
            try:
                yield number, text, codec.read(text), None
                continue
            except Exception as exc:
                error = exc
        yield number, text, None, error


# JSON form of typed values ---------------------------------------------------


def _companions():
    """The classes whose objects the JSON form writes in a form of their own."""
    import enums
    from velk.api.guidelines import Guidelines
    from velk.api.hsv import HSV

    return enums.Enum, (HSV, Guidelines)


class JsonForm:
    """Turns typed record values into values that `json` can write."""

    def __init__(self):
        self.enum, self.dumpable = _companions()

    def __call__(self, value):
        if value is None or isinstance(value, (bool, int, str)):
            return value
        if isinstance(value, float):
            # Infinities and NaN have no JSON form; keep Python's spelling.
            return value if math.isfinite(value) else str(value)
        if isinstance(value, self.enum):
            name = getattr(value, "name", None)
            if name is None:
                return str(value)
            return "%s.%s" % (type(value).__name__, name)
        if isinstance(value, self.dumpable):
            return value.dump()
        if isinstance(value, (set, frozenset)):
            items = [self(item) for item in value]
            try:
                return sorted(items)
            except TypeError:
                return sorted(items, key=lambda item: (type(item).__name__, str(item)))
        if isinstance(value, (list, tuple)):
            return [self(item) for item in value]
        if isinstance(value, dict):
            return {str(key): self(item) for key, item in value.items()}
        return str(value)

    def record(self, record):
        return json.dumps({str(key): self(value) for key, value in record.items()})


# Subcommands -----------------------------------------------------------------


def _show(args, source, codec, out, err):
    form = JsonForm()
    failed = 0
    for number, _text, record, error in _read_all(source, codec, args.limit):
        if error is None:
            out.write(form.record(record) + "\n")
        else:
            failed += 1
            err.write("%s: line %d: %s\n" % (source.name, number, _describe(error)))
    return 1 if failed else 0


def _key_order(key):
    if isinstance(key, str) and key.isdigit() and key.isascii():
        return (0, int(key), key)
    return (1, 0, str(key))


def _clip(text, width):
    return text if len(text) <= width else text[: width - 3] + "..."


def _stats(args, source, codec, out, err):
    form = JsonForm()
    holders = Counter()  # key -> records that hold it
    types = {}  # key -> Counter of type names
    examples = {}  # key -> first value seen, in its JSON form
    records = failed = 0
    first_error = None
    started = time.perf_counter()
    for number, _text, record, error in _read_all(source, codec):
        if error is not None:
            failed += 1
            if first_error is None:
                first_error = (number, error)
            continue
        records += 1
        for key, value in record.items():
            holders[key] += 1
            seen = types.get(key)
            if seen is None:
                seen = types[key] = Counter()
                examples[key] = value
            seen[type(value).__name__] += 1
    elapsed = time.perf_counter() - started

    rows = []
    for key in sorted(holders, key=_key_order):
        kinds = types[key]
        if len(kinds) == 1:
            described = next(iter(kinds))
        else:
            described = ", ".join("%s %d" % item for item in kinds.most_common())
        example = json.dumps(form(examples[key]))
        rows.append((str(key), str(holders[key]), described, _clip(example, EXAMPLE_WIDTH)))
    heading = ("key", "records", "types", "example")
    widths = [max([len(heading[i])] + [len(row[i]) for row in rows]) for i in range(4)]
    line = "%-*s  %*s  %-*s  %s"
    out.write((line % (widths[0], heading[0], widths[1], heading[1],
                       widths[2], heading[2], heading[3])).rstrip() + "\n")
    for row in rows:
        out.write(line % (widths[0], row[0], widths[1], row[1], widths[2], row[2], row[3]) + "\n")
    if rows:
        out.write("\n")

    out.write("records:    %d\n" % (records + failed))
    if first_error is None:
        out.write("malformed:  0\n")
    else:
        out.write(
            "malformed:  %d (first at line %d: %s)\n"
            % (failed, first_error[0], _describe(first_error[1]))
        )
    total = records + failed
    if elapsed > 0:
        out.write(
            "throughput: %.0f records/s, %.2f MB/s (%d bytes in %.3f s)\n"
            % (total / elapsed, source.size / elapsed / 1e6, source.size, elapsed)
        )
    else:
        out.write("throughput: %d bytes in no measurable time\n" % source.size)
    return 1 if failed else 0


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


def _check(args, source, codec, out, err):
    identical = normalised = 0
    differences = []
    failures = []
    failed = 0
    for number, text, record, error in _read_all(source, codec):
        stage = "cannot read"
        if error is None:
            try:
                written = codec.write(record)
            except Exception as exc:
                stage, error = "cannot write back", exc
        if error is not None:
            failed += 1
            if len(failures) < SHOWN_FAILURES:
                failures.append((number, stage, error))
            continue
        if written == text:
            identical += 1
        else:
            normalised += 1
            if len(differences) < SHOWN_DIFFERENCES:
                differences.append((number, text, written))

    total = identical + normalised + failed
    out.write("%s: %d %s records\n" % (source.name, total, codec.kind))
    width = len(str(total))
    out.write("  identical:  %*d\n" % (width, identical))
    out.write("  normalised: %*d\n" % (width, normalised))
    out.write("  failed:     %*d\n" % (width, failed))
    if differences:
        out.write("\nnormalised records (first %d):\n" % len(differences))
        for number, text, written in differences:
            original, back = _excerpt(text, written)
            out.write("  line %d\n" % number)
            out.write("    original:     %s\n" % original)
            out.write("    written back: %s\n" % back)
    if failures:
        out.write("\nrecords that fail (first %d):\n" % len(failures))
        for number, stage, error in failures:
            out.write("  line %d: %s: %s\n" % (number, stage, _describe(error)))
        if failed > len(failures):
            out.write("  ... and %d more\n" % (failed - len(failures)))
    return 1 if failed else 0


COMMANDS = {"show": _show, "stats": _stats, "check": _check}


def main(argv=None):
    """Run the command line `argv` (default: sys.argv[1:]); return the exit status."""
    parser = _parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as exc:
        return exc.code if isinstance(exc.code, int) else (0 if exc.code is None else 2)

    try:
        source = Source(args.file)
    except OSError as exc:
        reason = exc.strerror or str(exc)
        sys.stderr.write("velk: error: cannot open %s: %s\n" % (args.file, reason))
        return 2
    out, err = sys.stdout, sys.stderr
    try:
        try:
            codec = Codec(args.kind)
        except ImportError as exc:
            sys.stderr.write("velk: error: cannot load the record codec: %s\n" % exc)
            return 1
        return COMMANDS[args.command](args, source, codec, out, err)
    except BrokenPipeError:
        # The reader went away (velk show FILE | head): stop quietly, and keep
        # the interpreter from complaining when it flushes standard output.
        try:
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
        except (OSError, ValueError, AttributeError):
            pass
        return 0
    except KeyboardInterrupt:
        return 130
    except OSError as exc:
        sys.stderr.write("velk: error: reading %s: %s\n" % (source.name, exc.strerror or exc))
        return 2
    finally:
        source.close()


if __name__ == "__main__":
    sys.exit(main())
