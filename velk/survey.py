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
  the same values and no field was lost ("+5" written "5", "15.50" "15.5",
  a key repeated with an equal value written once);
- "changed": what was written reads back to other values, or fields were
  lost: a key repeated with another value keeps only its last one, a last
  field without a partner is dropped, and reading object records as colour
  records gives no pairs at all;
- "failed": the record cannot be read (the key whose value fails is named)
  or cannot be written back.

Every failure and difference says where it is, as errors do (see
``velk.level.errors``): the file, the level (index and name), the kind of
record and its index, and for a failure the key; in a record file the index
is the line's number, from 1.

Gathering is kept apart from showing: reports are plain objects, and
`as_dict` gives their JSON form.

By default a level or file that cannot be read raises LevelError, as
reading does (``velk.level.read_file``). With `keep_going`, a level whose
data cannot be read is counted among the report's `failures` and the next
one is read, and a file that cannot be read to its end is the report's
`error`: the report holds what could be read.

A report's memory does not grow with its input: it counts every record but
keeps only the first few differences and failures, each record text cut to
a window of KEPT_TEXT characters around its first difference; per-key
statistics grow with the number of distinct keys and types only, their
example values cut the same way. Given `on_level`, `survey_input` hands each
level's report on as it completes and keeps only the sums, so a file of many
levels is surveyed in the memory of one.
"""
import json
import time
import typing
from collections import Counter
from itertools import chain
from typing import Any, Callable, Dict, Iterable, Iterator, List, Mapping, Optional, Tuple

from velk.json_form import JsonForm
from velk.level.data import MAX_SIZE
from velk.level.errors import LevelError, where_text
from velk.level.level import COLOUR, KINDS, OBJECT, RecordCodec, kind_of
from velk.level.source import Input, LevelSource
from velk.level.values import Record, Source
from velk.level.text import iter_colour_texts, iter_pairs, join_header, split_level

__all__ = ["OUTCOMES", "KEPT_TEXT", "Place", "Failure", "Difference", "KeyStats", "Tally",
           "LevelReport", "FileReport", "classify", "clip", "survey_records", "survey_level",
           "survey_input", "survey_file"]

IDENTICAL = "identical"
NORMALISED = "normalised"
CHANGED = "changed"
FAILED = "failed"
OUTCOMES = (IDENTICAL, NORMALISED, CHANGED, FAILED)

# How many records of each outcome a tally keeps to show; it counts them all.
KEPT_DIFFERENCES = 5
KEPT_FAILURES = 20
# The most characters a report keeps of a record text, an error message, a
# key or an example value: a hostile record of a gigabyte is kept as this.
KEPT_TEXT = 256

READING = "cannot read"
WRITING = "cannot write back"

Outcome = Tuple[str, Optional[Record], Optional[str], Optional[Tuple[str, Optional[str],
                                                                     BaseException]]]


def clip(text: str, width: int = KEPT_TEXT) -> str:
    """`text`, or its first `width` characters and how many more there were."""
    if len(text) <= width:
        return text
    return "%s... (%s more characters)" % (text[:width], format(len(text) - width, ","))


# First differences are looked for a block at a time, so that two long
# texts are compared in C, not character by character.
_BLOCK = 4096


def _first_difference(one: str, other: str) -> int:
    """Where the two texts first differ: the length of the shorter one when
    it starts the longer one."""
    at = 0
    while at < min(len(one), len(other)) and one[at:at + _BLOCK] == other[at:at + _BLOCK]:
        at += _BLOCK
    end = min(len(one), len(other), at + _BLOCK)
    while at < end and one[at] == other[at]:
        at += 1
    return at


def _window(one: str, other: str, width: int) -> Tuple[int, str, str]:
    """(start, one's piece, other's piece): the two texts cut to `width`
    characters from `start`, chosen so that their first difference is in
    the first third."""
    start = max(0, _first_difference(one, other) - width // 3)
    return start, one[start:start + width], other[start:start + width]


class Place:
    """Where a record of a report is: the file (`path`), the level (`level`,
    from 1, and `level_name`; None in a record file), the `kind` of record
    and its `index` (from 0 in a level; in a record file its line, from 1).
    The file and the level are filled in as the report is gathered."""

    __slots__ = ("path", "level", "level_name", "kind", "index")

    def __init__(self, kind: str, index: int) -> None:
        self.path: Optional[str] = None
        self.level: Optional[int] = None
        self.level_name: Optional[str] = None
        self.kind = kind
        self.index = index

    def locate(self, path: Optional[str], level: Optional[int] = None,
               level_name: Optional[str] = None) -> None:
        self.path, self.level, self.level_name = path, level, level_name

    @property
    def where(self) -> str:
        """The record within its level or file: "object 17", "line 3"."""
        if self.level is None and self.level_name is None:
            return "line %d" % self.index
        return "%s %d" % (self.kind, self.index)

    def location(self) -> Dict[str, Any]:
        return {"path": self.path, "level": self.level, "level_name": self.level_name,
                "kind": self.kind, "index": self.index}

    def full_where(self) -> str:
        """The whole location as text, file and level included."""
        return where_text(self.path, self.level, self.level_name, self.kind, self.index)


class Failure(Place):
    """A record that cannot be read or written back: where it is (see
    Place), the `stage` that failed (READING or WRITING), the `key` whose
    value could not be read (or None) and the `error`, as text
    ("ValueError: ..."), cut to KEPT_TEXT characters."""

    __slots__ = ("stage", "key", "error")

    def __init__(self, kind: str, index: int, stage: str, key: Optional[str],
                 error: BaseException) -> None:
        super().__init__(kind, index)
        self.stage = stage
        self.key = None if key is None else clip(key)
        # The text only: the exception would keep the record alive through
        # its traceback, and its message can be as long as the record.
        self.error = clip("%s: %s" % (type(error).__name__, error))

    def message(self) -> str:
        """The failure in one line: "cannot read: key 1: ValueError: ..."."""
        key = "" if self.key is None else "key %s: " % self.key
        return "%s: %s%s" % (self.stage, key, self.error)

    def as_dict(self) -> Dict[str, Any]:
        """The failure as an error object of the JSON reports: its location,
        its key and its `message`, and the `stage` that failed."""
        found = self.location()
        found.update(key=self.key, message=self.error, stage=self.stage)
        return found


class Difference(Place):
    """A record written back differently: where it is (see Place), its
    outcome (NORMALISED or CHANGED), and the original text and the written
    one, both cut to KEPT_TEXT characters from `start`, around their first
    difference; `original_length` and `written_length` are the whole
    texts' lengths."""

    __slots__ = ("outcome", "start", "original", "written", "original_length",
                 "written_length")

    def __init__(self, kind: str, index: int, outcome: str, original: str,
                 written: str) -> None:
        super().__init__(kind, index)
        self.outcome = outcome
        self.start, self.original, self.written = _window(original, written, KEPT_TEXT)
        self.original_length = len(original)
        self.written_length = len(written)

    def excerpt(self, width: int) -> Tuple[int, str, str]:
        """(start, original, written): the texts cut further to `width`
        characters around their first difference, `start` counted in the
        whole texts."""
        start, original, written = _window(self.original, self.written, width)
        return self.start + start, original, written

    def as_dict(self) -> Dict[str, Any]:
        found = self.location()
        found.update(outcome=self.outcome, original=self.original, written=self.written,
                     start=self.start, original_length=self.original_length,
                     written_length=self.written_length)
        return found


def _repeats_differ(pairs: Iterable[Tuple[str, str]], kept: int,
                    equal: Callable[[str, str, str], bool]) -> bool:
    """Whether a key of `pairs` is repeated with a value that `equal(key,
    one, other)` finds different, or the record read from them kept other
    than `kept` keys (one for each key)."""
    first: Dict[str, str] = {}
    for key, value in pairs:
        seen = first.setdefault(key, value)
        if seen is not value and seen != value and not equal(key, seen, value):
            return True
    return len(first) != kept


def _loses_fields(text: str, record: Mapping[str, Any], delim: str,
                  equal: Callable[[str, str, str], bool]) -> bool:
    """Whether reading `text` into `record` dropped a field that held data: a
    key repeated with another value, or a last key without its value."""
    pieces = text.count(delim) + 1
    if pieces % 2 == 1 and text[text.rfind(delim) + 1:]:
        return True
    if len(record) >= pieces // 2:
        return False
    return _repeats_differ(iter_pairs(text, delim), len(record), equal)


def _same_text(key: str, one: str, other: str) -> bool:
    return one == other


def _values_equal(codec: RecordCodec) -> Callable[[str, str, str], bool]:
    """Whether two values of a key read to equal values with `codec`."""
    def equal(key: str, one: str, other: str) -> bool:
        try:
            return bool(codec.read(key + codec.delim + one) == codec.read(key + codec.delim + other))
        except Exception:
            return False
    return equal


def classify(codec: RecordCodec, text: str) -> Outcome:
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
    if _loses_fields(text, record, codec.delim, _values_equal(codec)):
        return CHANGED, record, written, None
    try:
        same = codec.read(written) == record
    except Exception:
        same = False
    return (NORMALISED if same else CHANGED), record, written, None


def header_outcome(header_text: str, header: Mapping[str, str]) -> str:
    """How a header's pairs come back: IDENTICAL, NORMALISED (a key repeated
    with the same text, an empty last field) or CHANGED."""
    if join_header(header) == header_text:
        return IDENTICAL
    return CHANGED if _loses_fields(header_text, header, ",", _same_text) else NORMALISED


class _Key:
    """What KeyStats knows of one key: how many records hold it, the type
    name of its first value, the counts of other types (None while there
    are none) and its example value."""

    __slots__ = ("records", "type", "others", "example")

    def __init__(self, type_name: str, example: Any, records: int = 1) -> None:
        self.records = records
        self.type = type_name
        self.others: "Optional[typing.Counter[str]]" = None
        self.example = example

    def count_other(self, type_name: str, count: int = 1) -> None:
        if self.others is None:
            self.others = Counter()
        self.others[type_name] += count

    def types(self) -> Dict[str, int]:
        if self.others is None:
            return {self.type: self.records}
        found = Counter({self.type: self.records - sum(self.others.values())})
        found.update(self.others)
        return dict(found.most_common())


class KeyStats:
    """For each key: how many records hold it (`records(key)`), the type
    names of its values (`types(key)`), and the first value seen
    (`example(key)`), in its JSON form (see ``velk.json_form``), cut to
    KEPT_TEXT characters of JSON when longer.

    Memory grows with the number of distinct keys and of types per key
    only: a key is kept as one small object, whose values were all of one
    type unless it says otherwise."""

    def __init__(self) -> None:
        self._keys: Dict[str, _Key] = {}
        self._form = JsonForm()

    def __len__(self) -> int:
        return len(self._keys)

    def add(self, record: Mapping[str, Any]) -> None:
        keys = self._keys
        for key, value in record.items():
            name = type(value).__name__
            found = keys.get(key)
            if found is None:
                keys[key] = _Key(name, self._example(value))
                continue
            found.records += 1
            if found.type != name:
                found.count_other(name)

    def _example(self, value: Any) -> Any:
        if value is None or isinstance(value, (bool, int, float)):
            return self._form(value)
        if isinstance(value, str):
            return clip(value)
        formed = self._form(value)
        text = json.dumps(formed)
        return formed if len(text) <= KEPT_TEXT else clip(text)

    def records(self, key: str) -> int:
        """How many records hold the key."""
        return self._keys[key].records

    def types(self, key: str) -> Dict[str, int]:
        """The type names of the key's values, each with how many there are,
        the most common first."""
        return self._keys[key].types()

    def example(self, key: str) -> Any:
        """The first value seen of the key, in its JSON form."""
        return self._keys[key].example

    def merge(self, other: "KeyStats") -> None:
        for key, theirs in other._keys.items():
            mine = self._keys.get(key)
            if mine is None:
                mine = self._keys[key] = _Key(theirs.type, theirs.example, 0)
            mine.records += theirs.records
            for name, count in theirs.types().items():
                if name != mine.type:
                    mine.count_other(name, count)

    def keys(self) -> List[str]:
        """The keys in numeric order, keys that are no numbers last."""
        return sorted(self._keys, key=key_order)

    def entries(self, form: Callable[[Any], Any]) -> Iterator[Tuple[str, Dict[str, Any]]]:
        """The JSON form of each key's statistics, in the order of `keys`,
        made one at a time."""
        for key in self.keys():
            found = self._keys[key]
            yield str(key), {"records": found.records, "types": found.types(),
                             "example": form(found.example)}

    def as_dict(self, form: Callable[[Any], Any]) -> Dict[str, Any]:
        return dict(self.entries(form))


def key_order(key: Any) -> Tuple[int, int, str]:
    if isinstance(key, str) and key.isdigit() and key.isascii():
        return (0, int(key), key)
    return (1, 0, str(key))


class Tally:
    """The outcomes of one kind of record (OBJECT or COLOUR): a count of each,
    the records that gave no pairs although they held text, the first few
    differences (of each outcome) and failures, and per-key statistics when
    asked for."""

    def __init__(self, kind: str, keys: bool = False) -> None:
        self.kind = kind
        self.counts = dict.fromkeys(OUTCOMES, 0)
        self.no_pairs = 0
        self.differences: List[Difference] = []
        self.failures: List[Failure] = []
        self.keys = KeyStats() if keys else None

    identical = property(lambda self: self.counts[IDENTICAL])
    normalised = property(lambda self: self.counts[NORMALISED])
    changed = property(lambda self: self.counts[CHANGED])
    failed = property(lambda self: self.counts[FAILED])

    @property
    def records(self) -> int:
        return sum(self.counts.values())

    @property
    def bad(self) -> int:
        """Records that were changed or could not be handled."""
        return self.counts[CHANGED] + self.counts[FAILED]

    def add(self, index: int, text: str, outcome: str, record: Optional[Record],
            written: Optional[str], failure: Optional[Tuple[str, Optional[str], BaseException]]
            ) -> None:
        """Count the record `index` (its line, in a record file) of text
        `text` and its outcome, as `classify` gives them."""
        self.counts[outcome] += 1
        if record is not None:
            if not record and text.strip():
                self.no_pairs += 1
            if self.keys is not None:
                self.keys.add(record)
        if failure is not None:
            if len(self.failures) < KEPT_FAILURES:
                self.failures.append(Failure(self.kind, index, *failure))
        elif outcome != IDENTICAL and written is not None and self._keeps(outcome):
            self.differences.append(Difference(self.kind, index, outcome, text, written))

    def _keeps(self, outcome: str) -> bool:
        return sum(1 for d in self.differences if d.outcome == outcome) < KEPT_DIFFERENCES

    def merge(self, other: "Tally", take: bool = False) -> None:
        """Add `other`'s counts and what it keeps to this tally's. With
        `take`, `other` is not used again, and its key statistics become this
        tally's when this one has none yet, rather than being copied."""
        for outcome, count in other.counts.items():
            self.counts[outcome] += count
        self.no_pairs += other.no_pairs
        for difference in other.differences:
            if self._keeps(difference.outcome):
                self.differences.append(difference)
        self.failures.extend(other.failures[:KEPT_FAILURES - len(self.failures)])
        if self.keys is not None and other.keys is not None:
            if take and not self.keys:
                self.keys, other.keys = other.keys, None
            else:
                self.keys.merge(other.keys)

    def looks_like_other_kind(self) -> bool:
        """Whether most records gave no pairs: the delimiter is the other
        kind's, most likely."""
        return self.records > 0 and 2 * self.no_pairs > self.records

    def as_dict(self, form: Optional[Callable[[Any], Any]] = None, keys: bool = True
                ) -> Dict[str, Any]:
        """The JSON form of the tally; without `keys`, the per-key
        statistics are left out (to be written as they are made, see
        `KeyStats.entries`)."""
        found: Dict[str, Any] = dict(records=self.records, **self.counts)
        found["no_pairs"] = self.no_pairs
        found["differences"] = [d.as_dict() for d in self.differences]
        found["failures"] = [f.as_dict() for f in self.failures]
        if keys and self.keys is not None:
            found["keys"] = self.keys.as_dict(form or JsonForm())
        return found


class LevelReport:
    """The tallies of one level: its `index` in the file (from 1), `name`
    (cut to KEPT_TEXT characters), how its `header` pairs came back
    (IDENTICAL, NORMALISED or CHANGED), and a Tally per kind of record."""

    def __init__(self, index: int, name: Optional[str], keys: bool = False) -> None:
        self.index = index
        self.name = None if name is None else clip(name)
        self.header = IDENTICAL
        self.tallies = {kind: Tally(kind, keys) for kind in KINDS}

    @property
    def object(self) -> Tally:
        return self.tallies[OBJECT]

    @property
    def colour(self) -> Tally:
        return self.tallies[COLOUR]

    def as_dict(self, form: Optional[Callable[[Any], Any]] = None, keys: bool = True
                ) -> Dict[str, Any]:
        """The JSON form of the level's report; see `Tally.as_dict` for `keys`."""
        found: Dict[str, Any] = {"index": self.index, "name": self.name, "header": self.header}
        for kind, tally in self.tallies.items():
            found[kind] = tally.as_dict(form, keys)
        return found


class FileReport:
    """Everything gathered from one file: its `name` and `form`, `levels` (a
    LevelReport each, unless they were handed on as they completed; empty
    for a record file), `level_count`, `totals` (a Tally per kind, summed
    over the levels), the `size` read in bytes and the `elapsed` seconds.

    When reading keeps going: `failed_levels` counts the levels that could
    not be read, `level_failures` keeps the first KEPT_FAILURES of their
    errors, and `error` is the error that ended the file early (None when
    it was read to its end)."""

    def __init__(self, name: str, form: Optional[str], keys: bool = False) -> None:
        self.name = name
        self.form = form
        self.levels: List[LevelReport] = []
        self.level_count = 0
        self.headers_changed = 0
        self.totals = {kind: Tally(kind, keys) for kind in KINDS}
        self.failed_levels = 0
        self.level_failures: List[LevelError] = []
        self.error: Optional[LevelError] = None
        self.size = 0
        self.elapsed = 0.0

    def add_level(self, level: LevelReport, keep: bool = True) -> None:
        """Add a level's tallies to the totals; without `keep`, the level is
        not kept, and its tallies are not used again."""
        self.level_count += 1
        self.headers_changed += level.header == CHANGED
        if keep:
            self.levels.append(level)
        for kind, tally in level.tallies.items():
            self.totals[kind].merge(tally, take=not keep)

    def add_failure(self, error: LevelError) -> None:
        """Count a level that could not be read, `error` naming it."""
        self.failed_levels += 1
        if len(self.level_failures) < KEPT_FAILURES:
            # Kept without its traceback, whose frames hold what was read.
            self.level_failures.append(error.with_traceback(None))

    @property
    def status(self) -> int:
        """0 when every record came back identical or normalised (and no
        header lost a pair), 1 when not or a level could not be read, 2
        when the file could not be read to its end."""
        if self.error is not None:
            return 2
        if self.failed_levels or any(tally.bad for tally in self.totals.values()):
            return 1
        return 1 if self.headers_changed else 0

    def summary(self, form: Optional[Callable[[Any], Any]] = None, keys: bool = True,
                timings: bool = False) -> Dict[str, Any]:
        """The JSON form of the file's sums: `as_dict` without the levels;
        see `Tally.as_dict` for `keys`. The seconds it took are given only
        with `timings`, so that the same input gives the same report."""
        form = form or JsonForm()
        found: Dict[str, Any] = {"file": self.name, "form": self.form, "status": self.status,
                                 "error": None if self.error is None else self.error.as_dict()}
        for kind, tally in self.totals.items():
            found[kind] = tally.as_dict(form, keys)
        found["failed_levels"] = self.failed_levels
        found["level_failures"] = [error.as_dict() for error in self.level_failures]
        found["bytes"] = self.size
        if timings:
            found["seconds"] = round(self.elapsed, 6)
        return found

    def as_dict(self, timings: bool = False) -> Dict[str, Any]:
        form = JsonForm()
        found = self.summary(form, timings=timings)
        found["levels"] = [level.as_dict(form) for level in self.levels]
        return found


Lines = Iterable[Tuple[int, Optional[str], Optional[BaseException]]]


def survey_records(lines: Lines, tally: Tally, path: Optional[str] = None) -> None:
    """Add the record lines of a record file to `tally`; `lines` yields
    (number, text, None), or (number, None, error) for a line that could not
    be decoded. `path` names the file in failures and differences."""
    codec = RecordCodec(tally.kind)
    kept = len(tally.failures), len(tally.differences)
    for number, text, error in lines:
        if error is not None:
            tally.add(number, "", FAILED, None, None, (READING, None, error))
        elif text is not None:
            tally.add(number, text, *classify(codec, text))
    _locate(tally, kept, path)


def _locate(tally: Tally, kept: Tuple[int, int], path: Optional[str],
            level: Optional[int] = None, name: Optional[str] = None) -> None:
    """Name the file and level in the failures and differences that `tally`
    kept beyond the first `kept` (failures, differences)."""
    places: Iterable[Place] = chain(tally.failures[kept[0]:], tally.differences[kept[1]:])
    for place in places:
        place.locate(path, level, name)


def survey_level(source: LevelSource, keys: bool = False,
                 path: Optional[str] = None) -> LevelReport:
    """The LevelReport of a level, given as a LevelSource (see
    ``velk.level.source``); its records are read as they come. `path`
    names the file in failures and differences."""
    report = LevelReport(source.index, source.name, keys)
    if source.pieces is None:   # no level data: a level with nothing in it
        return report
    parts = split_level(source.pieces)
    report.header = header_outcome(parts.header_text, parts.header)
    texts: Iterator[str]
    for kind, texts in ((COLOUR, iter_colour_texts(parts.header)), (OBJECT, parts.objects)):
        codec = RecordCodec(kind)
        tally = report.tallies[kind]
        for index, text in enumerate(texts):
            tally.add(index, text, *classify(codec, text))
        _locate(tally, (0, 0), path, source.index, source.name)
    return report


def survey_input(found: Input, form: Optional[str] = None, kind: str = OBJECT,
                 max_size: int = MAX_SIZE, keys: bool = False,
                 on_level: Optional[Callable[[LevelReport], Any]] = None,
                 keep_going: bool = False) -> FileReport:
    """The FileReport of an open Input (see ``velk.level.source``).

    `form` is one of ``velk.level.source.FORMS`` (default: told from the
    content); `kind` is the kind of the records of a record file ("color"
    is taken for "colour"); `keys` asks for per-key statistics; `max_size`
    bounds what is held of the input (see ``velk.level.source``). With
    `on_level`, each level's report is handed to it when the level is done
    and not kept. Raises OSError for input that cannot be read and
    LevelError, naming the file, for level data that cannot be (see
    ``velk.level``), unless `keep_going` (see the module's text)."""
    started = time.perf_counter()
    kind = kind_of(kind)
    report = FileReport(found.name, form, keys)
    try:
        report.form = form = form or found.form()
        if form == "records":
            survey_records(found.lines(max_size), report.totals[kind], found.name)
        else:
            _survey_levels(found, report, max_size, keys, on_level, keep_going)
    except LevelError as exc:
        exc.locate(path=found.name)
        if not keep_going:
            raise
        report.error = exc.with_traceback(None)
    report.size = found.bytes_read
    report.elapsed = time.perf_counter() - started
    return report


def _survey_levels(found: Input, report: FileReport, max_size: int, keys: bool,
                   on_level: Optional[Callable[[LevelReport], Any]],
                   keep_going: bool) -> None:
    for level in found.levels(report.form, max_size):
        try:
            with level.naming():
                done = survey_level(level, keys, found.name)
        except LevelError as exc:
            if not keep_going:
                raise
            report.add_failure(exc.locate(path=found.name))
            continue
        if on_level is not None:
            on_level(done)
        report.add_level(done, keep=on_level is None)


def survey_file(source: Source, form: Optional[str] = None, kind: str = OBJECT,
                max_size: int = MAX_SIZE, keys: bool = False,
                on_read: Optional[Callable[[int], Any]] = None,
                on_level: Optional[Callable[[LevelReport], Any]] = None,
                keep_going: bool = False) -> FileReport:
    """The FileReport of a file: a path, "-" for standard input, or a file
    object open for reading (binary or text). `on_read(count)` hears of
    every read, for progress reports; the rest is as for `survey_input`."""
    with Input(source, on_read) as found:
        return survey_input(found, form, kind, max_size, keys, on_level, keep_going)
