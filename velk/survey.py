"""What reading and writing back does to records: the counts behind
`velk stats` and `velk check`, for record files and levels alike.

    from velk.survey import survey_file
    report = survey_file("my-level.xml")
    report.totals["object"].changed         # summed over the file's levels
    report.levels[0].colour.identical       # one level's colour records
    report.as_dict()                        # what `velk check --json` prints

Every record is read and written back, and lands in one of four outcomes:

- "identical": written back byte for byte;
- "normalised": written differently, but reading what was written gives
  the same values and no field was lost ("+5" written "5", "15.50" "15.5");
- "changed": what was written reads back to other values, or fields were
  lost: a repeated key keeps only its last value, a last field without a
  partner is dropped, and reading object records as colour records gives
  no pairs at all;
- "failed": the record cannot be read (the key whose value fails is named)
  or cannot be written back.

Gathering is kept apart from showing: reports are plain objects, and
`as_dict` gives their JSON form.
"""
import time
from collections import Counter

from velk.json_form import JsonForm
from velk.level.data import MAX_SIZE
from velk.level.level import COLOUR, KINDS, OBJECT, RecordCodec
from velk.level.source import Input
from velk.level.text import join_header, split_level

__all__ = ["OUTCOMES", "Failure", "Difference", "KeyStats", "Tally", "LevelReport",
           "FileReport", "classify", "survey_records", "survey_level", "survey_input",
           "survey_file"]

IDENTICAL = "identical"
NORMALISED = "normalised"
CHANGED = "changed"
FAILED = "failed"
OUTCOMES = (IDENTICAL, NORMALISED, CHANGED, FAILED)

# How many records of each outcome a tally keeps to show; it counts them all.
KEPT_DIFFERENCES = 5
KEPT_FAILURES = 20

READING = "cannot read"
WRITING = "cannot write back"


class Failure:
    """A record that cannot be read or written back: where it is ("line 3",
    "object 17"), the `stage` that failed (READING or WRITING), the `key`
    whose value could not be read (or None) and the exception."""

    __slots__ = ("where", "stage", "key", "error")

    def __init__(self, where, stage, key, error):
        self.where = where
        self.stage = stage
        self.key = key
        self.error = error

    def message(self):
        """The failure in one line: "cannot read: key 1: ValueError: ..."."""
        key = "" if self.key is None else "key %s: " % self.key
        return "%s: %s%s: %s" % (self.stage, key, type(self.error).__name__, self.error)


class Difference:
    """A record written back differently: where it is, its outcome
    (NORMALISED or CHANGED), the original text and the written one."""

    __slots__ = ("where", "outcome", "original", "written")

    def __init__(self, where, outcome, original, written):
        self.where = where
        self.outcome = outcome
        self.original = original
        self.written = written


def _loses_fields(text, record, delim):
    """Whether reading `text` into `record` dropped a field that held data: a
    repeated key, or a last key without its value."""
    pieces = text.count(delim) + 1
    if len(record) < pieces // 2:
        return True
    return pieces % 2 == 1 and bool(text[text.rfind(delim) + 1:])


def classify(codec, text):
    """The outcome of reading `text` with `codec` (a RecordCodec) and writing
    it back: (outcome, record, written, failure), where failure is a
    (stage, key, error) triple for FAILED and None otherwise."""
    try:
        record = codec.read(text)
    except Exception as exc:
        return FAILED, None, None, (READING, codec.failing_key(text), exc)
    try:
        written = codec.write(record)
    except Exception as exc:
        return FAILED, record, None, (WRITING, None, exc)
    if written == text:
        return IDENTICAL, record, written, None
    if _loses_fields(text, record, codec.delim):
        return CHANGED, record, written, None
    try:
        same = codec.read(written) == record
    except Exception:
        same = False
    return (NORMALISED if same else CHANGED), record, written, None


class KeyStats:
    """For each key: how many records hold it, the type names of its values,
    and the first value seen."""

    def __init__(self):
        self.holders = Counter()
        self.types = {}
        self.examples = {}

    def add(self, record):
        for key, value in record.items():
            self.holders[key] += 1
            seen = self.types.get(key)
            if seen is None:
                seen = self.types[key] = Counter()
                self.examples[key] = value
            seen[type(value).__name__] += 1

    def merge(self, other):
        self.holders.update(other.holders)
        for key, seen in other.types.items():
            if key not in self.types:
                self.types[key] = Counter()
                self.examples[key] = other.examples[key]
            self.types[key].update(seen)

    def keys(self):
        """The keys in numeric order, keys that are no numbers last."""
        return sorted(self.holders, key=key_order)

    def as_dict(self, form):
        return {str(key): {"records": self.holders[key], "types": dict(self.types[key]),
                           "example": form(self.examples[key])}
                for key in self.keys()}


def key_order(key):
    if isinstance(key, str) and key.isdigit() and key.isascii():
        return (0, int(key), key)
    return (1, 0, str(key))


class Tally:
    """The outcomes of one kind of record (OBJECT or COLOUR): a count of each,
    the records that gave no pairs although they held text, the first few
    differences (of each outcome) and failures, and per-key statistics when
    asked for."""

    def __init__(self, kind, keys=False):
        self.kind = kind
        self.counts = dict.fromkeys(OUTCOMES, 0)
        self.no_pairs = 0
        self.differences = []
        self.failures = []
        self.keys = KeyStats() if keys else None

    identical = property(lambda self: self.counts[IDENTICAL])
    normalised = property(lambda self: self.counts[NORMALISED])
    changed = property(lambda self: self.counts[CHANGED])
    failed = property(lambda self: self.counts[FAILED])

    @property
    def records(self):
        return sum(self.counts.values())

    @property
    def bad(self):
        """Records that were changed or could not be handled."""
        return self.counts[CHANGED] + self.counts[FAILED]

    def add(self, where, text, outcome, record, written, failure):
        self.counts[outcome] += 1
        if record is not None:
            if not record and text.strip():
                self.no_pairs += 1
            if self.keys is not None:
                self.keys.add(record)
        if failure is not None:
            if len(self.failures) < KEPT_FAILURES:
                self.failures.append(Failure(where, *failure))
        elif outcome != IDENTICAL:
            self._keep_difference(Difference(where, outcome, text, written))

    def _keep_difference(self, difference):
        kept = sum(1 for d in self.differences if d.outcome == difference.outcome)
        if kept < KEPT_DIFFERENCES:
            self.differences.append(difference)

    def merge(self, other):
        for outcome, count in other.counts.items():
            self.counts[outcome] += count
        self.no_pairs += other.no_pairs
        for difference in other.differences:
            self._keep_difference(difference)
        self.failures.extend(other.failures[:KEPT_FAILURES - len(self.failures)])
        if self.keys is not None and other.keys is not None:
            self.keys.merge(other.keys)

    def looks_like_other_kind(self):
        """Whether most records gave no pairs: the delimiter is the other
        kind's, most likely."""
        return self.records > 0 and 2 * self.no_pairs > self.records

    def as_dict(self, form=None):
        found = dict(records=self.records, **self.counts)
        found["no_pairs"] = self.no_pairs
        found["differences"] = [
            {"where": d.where, "outcome": d.outcome, "original": d.original,
             "written": d.written} for d in self.differences]
        found["failures"] = [
            {"where": f.where, "stage": f.stage, "key": f.key,
             "error": "%s: %s" % (type(f.error).__name__, f.error)} for f in self.failures]
        if self.keys is not None:
            found["keys"] = self.keys.as_dict(form or JsonForm())
        return found


class LevelReport:
    """The tallies of one level: its `index` in the file (from 1), `name`,
    whether its `header` pairs came back as they were (IDENTICAL or
    CHANGED), and a Tally per kind of record."""

    def __init__(self, index, name, keys=False):
        self.index = index
        self.name = name
        self.header = IDENTICAL
        self.tallies = {kind: Tally(kind, keys) for kind in KINDS}

    @property
    def object(self):
        return self.tallies[OBJECT]

    @property
    def colour(self):
        return self.tallies[COLOUR]

    def as_dict(self, form=None):
        found = {"index": self.index, "name": self.name, "header": self.header}
        for kind, tally in self.tallies.items():
            found[kind] = tally.as_dict(form)
        return found


class FileReport:
    """Everything gathered from one file: its `name` and `form`, `levels` (a
    LevelReport each; empty for a record file), `totals` (a Tally per kind,
    summed over the levels), the `size` read in bytes and the `elapsed`
    seconds."""

    def __init__(self, name, form, keys=False):
        self.name = name
        self.form = form
        self.levels = []
        self.totals = {kind: Tally(kind, keys) for kind in KINDS}
        self.size = 0
        self.elapsed = 0.0

    def add_level(self, level):
        self.levels.append(level)
        for kind, tally in level.tallies.items():
            self.totals[kind].merge(tally)

    @property
    def status(self):
        """0 when every record came back identical or normalised (and every
        header as it was), else 1."""
        if any(tally.bad for tally in self.totals.values()):
            return 1
        return 1 if any(level.header != IDENTICAL for level in self.levels) else 0

    def as_dict(self):
        form = JsonForm()
        found = {"file": self.name, "form": self.form}
        for kind, tally in self.totals.items():
            found[kind] = tally.as_dict(form)
        found["levels"] = [level.as_dict(form) for level in self.levels]
        found["bytes"] = self.size
        found["seconds"] = round(self.elapsed, 6)
        found["status"] = self.status
        return found


def survey_records(lines, tally):
    """Add the record lines of a record file to `tally`; `lines` yields
    (number, text, None), or (number, None, error) for a line that could not
    be decoded."""
    codec = RecordCodec(tally.kind)
    for number, text, error in lines:
        where = "line %d" % number
        if error is not None:
            tally.add(where, "", FAILED, None, None, (READING, None, error))
        else:
            tally.add(where, text, *classify(codec, text))


def survey_level(source, keys=False):
    """The LevelReport of a level, given as a LevelSource (see
    ``velk.level.source``); its objects are read as they come."""
    report = LevelReport(source.index, source.name, keys)
    if source.pieces is None:   # no level data: a level with nothing in it
        return report
    parts = split_level(source.pieces)
    if join_header(parts.header) != parts.header_text:
        report.header = CHANGED
    for kind, texts in ((COLOUR, parts.colours), (OBJECT, parts.objects)):
        codec = RecordCodec(kind)
        tally = report.tallies[kind]
        for index, text in enumerate(texts):
            tally.add("%s %d" % (kind, index), text, *classify(codec, text))
    return report


def survey_input(found, form=None, kind=OBJECT, max_size=MAX_SIZE, keys=False):
    """The FileReport of an open Input (see ``velk.level.source``).

    `form` is one of ``velk.level.source.FORMS`` (default: told from the
    content); `kind` is the kind of the records of a record file; `keys`
    asks for per-key statistics. Raises OSError for input that cannot be read and LevelError for
    level data that cannot be (see ``velk.level``)."""
    started = time.perf_counter()
    form = form or found.form()
    report = FileReport(found.name, form, keys)
    if form == "records":
        survey_records(found.lines(), report.totals[kind])
    else:
        for level in found.levels(form, max_size):
            with level.naming():
                report.add_level(survey_level(level, keys))
    report.size = found.bytes_read
    report.elapsed = time.perf_counter() - started
    return report


def survey_file(source, form=None, kind=OBJECT, max_size=MAX_SIZE, keys=False,
                on_read=None):
    """The FileReport of a file: a path, "-" for standard input, or a binary
    file object. `on_read(count)` hears of every read, for progress reports;
    the rest is as for `survey_input`."""
    with Input(source, on_read) as found:
        return survey_input(found, form, kind, max_size, keys)
