"""What the subcommands share: option types, the output stream and its
write errors, one-line messages, examples and exit statuses in the help,
and the progress line."""
import argparse
import os
import re
import sys
from contextlib import contextmanager
from typing import IO, Any, Callable, Iterator, Optional, Protocol, Sequence, Tuple

from velk.level.data import TooLarge
from velk.level.errors import LevelError
from velk.level.level import kind_of

__all__ = ["FORM_NAMES", "EXIT_STATUSES", "HelpFormatter", "TextSink", "WriteError", "ReaderGone", "Output", "copy_text", "kind", "limit", "positive", "size",
           "one_line", "describe", "error_line", "empty_folder_line", "reader_gone", "epilog", "Progress", "plural"]

FORM_NAMES = {"records": "record file", "level": "level string", "encoded": "encoded level",
              "export": "export file", "save": "save file", "server": "server data"}

# What the exit statuses of every command mean, for its help.
EXIT_STATUSES = (
    (0, "all was read (check, stats: and comes back identical or normalised)"),
    (1, "some records are changed or cannot be read, or a level cannot be read"),
    (2, "wrong usage; a file that cannot be read, at all or to its end; output"),
    (None, "that cannot be written"),
    (130, "interrupted (Ctrl-C)"),
)

# A progress line appears once reading has taken this many seconds.
PROGRESS_DELAY = 0.5


class TextSink(Protocol):
    """Where a report is written: standard output, a spool file."""

    def write(self, __text: str) -> Any: ...


class WriteError(Exception):
    """Writing the command's output failed: `target` names what was being
    written ("standard output", a file) and `error` is the OSError."""

    def __init__(self, target: str, error: OSError) -> None:
        super().__init__(target, error)
        self.target = target
        self.error = error

    def __str__(self) -> str:
        return "writing %s: %s" % (self.target, self.error.strerror or self.error)


class ReaderGone(Exception):
    """The reader of the command's output went away (velk show FILE | head)."""


class Output:
    """The text stream a command writes its report to. An OSError while
    writing to it is a WriteError that names it (a full disk), or
    ReaderGone when its reader went away: neither is ever taken for an
    error of the file being read."""

    def __init__(self, stream: IO[str], name: str = "standard output") -> None:
        self.stream = stream
        self.name = name

    def write(self, text: str) -> int:
        with self._writing():
            return self.stream.write(text)

    def flush(self) -> None:
        with self._writing():
            self.stream.flush()

    def write_bytes(self, data: bytes) -> None:
        """Write bytes: to the stream's binary buffer when it has one, else
        as UTF-8 text."""
        self.flush()
        binary = getattr(self.stream, "buffer", None)
        if binary is None:
            self.write(data.decode("utf-8"))
            return
        with self._writing():
            binary.write(data)
            binary.flush()

    @contextmanager
    def _writing(self) -> Iterator[None]:
        try:
            yield
        except BrokenPipeError:
            raise ReaderGone() from None
        except OSError as exc:
            raise WriteError(self.name, exc) from None


# Text copied a piece at a time: a spooled report may be larger than memory.
_COPY_SIZE = 1 << 16


def copy_text(source: IO[str], out: TextSink) -> None:
    """Write the rest of the text stream `source` to `out`."""
    for piece in iter(lambda: source.read(_COPY_SIZE), ""):
        out.write(piece)


# Option types ------------------------------------------------------------------------


def kind(text: str) -> str:
    """The kind of record named on the command line ("color" and any case
    taken too)."""
    try:
        return kind_of(text.lower())
    except ValueError:
        raise argparse.ArgumentTypeError(
            "invalid kind %r (choose from object, colour)" % text) from None


def limit(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = -1
    if value < 0:
        raise argparse.ArgumentTypeError("invalid limit %r (a whole number, 0 or more)" % text)
    return value


def positive(what: str) -> Callable[[str], int]:
    """The option type of a whole number of `what`, 1 or more."""
    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            value = 0
        if value < 1:
            raise argparse.ArgumentTypeError("invalid number of %s %r (1 or more)"
                                             % (what, text))
        return value

    return parse


_SIZE = re.compile(r"(\d+)\s*([kmg]?)(i?b)?", re.IGNORECASE)
_SIZE_UNITS = {"": 1, "k": 1 << 10, "m": 1 << 20, "g": 1 << 30}


def size(text: str) -> int:
    match = _SIZE.fullmatch(text.strip())
    if not match or int(match.group(1)) == 0:
        raise argparse.ArgumentTypeError(
            "invalid size %r (bytes, or a number with K, M or G: 64M)" % text)
    return int(match.group(1)) * _SIZE_UNITS[match.group(2).lower()]


# Messages ----------------------------------------------------------------------------


def one_line(text: str) -> str:
    return " ".join(text.splitlines())


def describe(exc: BaseException) -> str:
    return "%s: %s" % (type(exc).__name__, exc)


def error_line(exc: LevelError, name: Optional[str] = None) -> str:
    """The one line of a LevelError, naming the file `name` where the error
    does not yet; a size refusal says which option raises the limit."""
    if name is not None:
        exc.locate(path=name)
    line = "velk: error: %s" % one_line(str(exc))
    if isinstance(exc, TooLarge):
        line += " (--max-size)"
    return line + "\n"


def empty_folder_line(folder: str, glob: Optional[str]) -> str:
    """The error line of an input folder that holds no file to read."""
    return "velk: error: %s holds no file%s\n" % (
        folder, "" if glob is None else " matching %s" % glob)


def reader_gone() -> None:
    """The reader of standard output went away (velk show FILE | head), or
    standard output cannot be written: stop quietly, and keep the
    interpreter from complaining when it flushes standard output at exit."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
    except (OSError, ValueError, AttributeError):
        pass


class HelpFormatter(argparse.HelpFormatter):
    """Help whose description is wrapped to the terminal, as argparse's is,
    and whose epilog (see `epilog`) keeps its lines and columns."""

    def _fill_text(self, text: str, width: int, indent: str) -> str:
        if text.startswith(_EPILOG_START):
            return text
        return super()._fill_text(text, width, indent)


_EPILOG_START = "examples:\n"


def epilog(examples: Sequence[Tuple[str, str]]) -> str:
    """The end of a command's help: its examples, each with what it does,
    and the exit statuses."""
    width = max(len(command) for command, _ in examples)
    lines = [_EPILOG_START.rstrip("\n")]
    lines += ["  %-*s  %s" % (width, command, what) for command, what in examples]
    lines += ["", "exit status:"]
    lines += ["  %-3s  %s" % ("" if status is None else status, meaning)
              for status, meaning in EXIT_STATUSES]
    return "\n".join(lines)


# Progress ----------------------------------------------------------------------------


class Progress:
    """A progress line on standard error, for inputs that take a while, when
    standard error is a terminal and --quiet is not given: bytes read, or
    things of another `unit` done ("file")."""

    def __init__(self, args: argparse.Namespace, err: IO[str], name: str = "reading",
                 unit: str = "B") -> None:
        self.bar: Any = None
        if not args.quiet and err.isatty():
            # Imported only for a terminal: most runs show no progress.
            from tqdm import tqdm

            scaled = unit == "B"
            self.bar = tqdm(unit=unit if scaled else " " + unit, unit_scale=scaled,
                            unit_divisor=1024, file=err, leave=False, delay=PROGRESS_DELAY,
                            desc=name)

    def expect(self, size: Optional[int]) -> None:
        """Show progress against `size` bytes (None: unknown)."""
        if self.bar is not None:
            self.bar.total = size

    def update(self, count: int) -> None:
        if self.bar is not None:
            self.bar.update(count)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


def plural(count: int, noun: str) -> str:
    return "%d %s%s" % (count, noun, "" if count == 1 else "s")

