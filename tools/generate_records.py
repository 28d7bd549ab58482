"""Seeded generator of object and colour records, for samples, tests and
benchmarks.

Records look like the game's own: mostly canonical texts (texts that come
back byte for byte when read and written again), built from the keys that the
codec knows. On request a share of them is made non-canonical but readable
("+5", "015", "15.50", repeated keys, unpadded base64, ...) and another share
malformed (texts that fail to read, such as "1,abc" or a trailing "2,").

Use from Python (the benchmarks import this module; keep these stable):

    import random
    rng = random.Random(7)
    object_record(rng)                  # one canonical typical record
    object_record(rng, kind="rich")     # with enumerations, HSV and text
    object_record(rng, kind="long")     # 1,000 key and value pairs
    colour_record(rng)                  # one canonical colour record
    object_records(1000, seed=1)        # a list of record strings
    colour_records(300, seed=1, noise=0.05, malformed=0.01)

    level_string(3000, seed=1)          # a level string of 3,000 objects
    grouped_level_string(147000, seed=1)  # a large level, nearly every object grouped
    encoded_level(3000, seed=1)         # the same as encoded level data ("H4sI...")
    export_file([("name", encoded_level(3000, seed=1))])
    save_file([("name", encoded_level(3000, seed=1)), ("empty", None)], kind="created")
    save_file([("name", encoded_level(3000, seed=1))], kind="state")   # downloaded levels
    server_data("name", encoded_level(3000, seed=1))
    write_archive("build/archive", levels=2000, objects=2500, seed=1)

or from the command line:

    python tools/generate_records.py --kind object --count 2000 --seed 1 \\
        --out examples/objects.txt [--noise] [--malformed SHARE]
    python tools/generate_records.py --form level|encoded|export|save|server \\
        --count 3000 --seed 1 --out level.txt [--colours N] [--levels N] \\
        [--compression C] [--save created|state]
    python tools/generate_records.py --form archive --levels 2000 \\
        --count 2500 --seed 1 --out build/archive   # a folder of every form

The bundled samples are made with

    python tools/generate_records.py --kind object --count 2000 --seed 1 \
        --noise --malformed 0 --out examples/objects.txt
    python tools/generate_records.py --kind object --count 200 --seed 2 \
        --noise --malformed 0.05 --out examples/objects-noisy.txt
    python tools/generate_records.py --kind colour --count 300 --seed 3 \
        --noise --malformed 0 --out examples/colours.txt
    python tools/generate_records.py --form level --count 3000 --seed 4 \
        --noise --malformed 0.002 --out examples/level.txt
    python tools/generate_records.py --form encoded --count 3000 --seed 5 \
        --out examples/level-encoded.txt
    python tools/generate_records.py --form export --levels 2 --count 1500 \
        --seed 6 --out examples/levels-export.xml
    python tools/generate_records.py --form save --levels 3 --count 400 \
        --seed 7 --out examples/created-levels.dat
    python tools/generate_records.py --form save --save state --levels 2 \
        --count 400 --seed 8 --out examples/game-state.dat
    python tools/generate_records.py --form server --count 600 --seed 9 \
        --out examples/level-server.txt

The same arguments always give the same records (the generator draws from
its own `random.Random(seed)` only). Each record string has no line ending;
files get one record per line, ended by "\\n". Level strings, encoded
data and server data are written as one line, export files as one XML
document, save files as the game writes them (bytes, no line ending).
"""
import argparse
import os
import random
import sys
from xml.sax.saxutils import escape

try:
    import velk.api  # noqa: F401
except ImportError:
    # Run as a script from a checkout without the package installed: the
    # companion modules are plain Python, so the checkout's own will do. (An
    # installed or already imported package is never shadowed by this.)
    sys.path.append(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from velk.api import enums as _enums  # noqa: E402
from velk.api.hsv import HSV  # noqa: E402
from velk.utils.crypto.coders import Coder  # noqa: E402

__all__ = [
    "OBJECT_KINDS",
    "object_record",
    "colour_record",
    "object_records",
    "colour_records",
    "level_string",
    "encoded_level",
    "export_file",
    "save_xml",
    "save_file",
    "server_data",
    "main",
]

OBJECT_KINDS = ("typical", "rich", "long")

# Shares of the record kinds in `object_records(kind="mixed")`.
MIXED_WEIGHTS = (("typical", 85), ("rich", 15))

# Shares used by `--noise` on the command line.
NOISE_SHARE = 0.05
MALFORMED_SHARE = 0.01

# The key vocabulary of object records, by how their values are read.
INT_KEYS = ("1", "7", "8", "9", "12", "20", "21", "22", "23", "24", "25", "50",
            "51", "61", "71", "76", "77", "80", "95", "108")
BOOL_KEYS = ("4", "5", "11", "13", "14", "15", "16", "17", "34", "36", "41", "42",
             "56", "58", "59", "60", "62", "64", "65", "66", "67", "70", "78", "81",
             "86", "87", "89", "93", "94", "96", "98", "99", "100", "102", "103", "106")
FLOAT_KEYS = ("2", "3", "6", "10", "28", "29", "32", "35", "45", "46", "47", "54",
              "63", "68", "69", "72", "73", "75", "84", "85", "90", "91", "92", "97",
              "105", "107")
GROUPS_KEY = "57"
HSV_KEYS = ("43", "44", "49")
TEXT_KEY = "31"
ENUM_KEYS = {
    "30": _enums.Easing,
    "48": _enums.PulseMode,
    "52": _enums.PulseType,
    "79": _enums.PickupItemMode,
    "82": _enums.TouchToggleMode,
    "88": _enums.InstantCountComparison,
    "101": _enums.TargetPosCoordinates,
}
# Keys that no table holds: their values stay text.
UNKNOWN_KEYS = ("18", "19", "26", "33", "53", "104", "128", "129", "155", "156")

# Colour records.
COLOUR_INT_KEYS = ("1", "2", "3", "6", "9", "11", "12", "13")
COLOUR_BOOL_KEYS = ("5", "8", "15", "17", "18")

# Object ids that turn up most in levels: blocks, spikes, decoration, triggers.
OBJECT_IDS = (1, 1, 1, 2, 3, 4, 5, 6, 7, 8, 8, 8, 9, 39, 40, 62, 83, 211, 467,
              468, 503, 504, 505, 1007, 899, 901, 1006, 1049, 1268, 1346, 1595,
              1611, 1615, 1616)
TEXT_OBJECT_ID = 914
WORDS = ("jump", "here", "go", "left", "right", "coin", "secret", "way", "the",
         "end", "thanks", "for", "playing", "wait", "now", "level", "by", "me",
         "ready", "good", "luck")

# Keys that a typical record may carry besides id and position, each with
# the way its value is drawn.
_OPTIONAL = (
    "4", "5", "6", "10", "13", "20", "21", "22", "24", "25", "28", "29", "32",
    "35", "36", "45", "51", "57", "64", "67", "108",
)


# Value texts ------------------------------------------------------------------


def _number(x, places):
    """Canonical text of x rounded to `places` decimals ("15", "15.5")."""
    if places == 0:
        return str(int(round(x)))
    return repr(round(x, places))


def _position(rng):
    # Positions sit mostly on the 30-unit grid, offset to the cell's centre.
    if rng.random() < 0.7:
        return str(15 + 30 * rng.randrange(0, 1000))
    return _number(rng.uniform(0, 30000), rng.choice((1, 2)))


def _float_text(rng, key):
    if key in ("2", "3"):
        return _position(rng)
    if key == "6":
        return str(rng.choice((90, 180, 270, -90, 45, -45, 15)))
    if key in ("32",):
        return rng.choice(("0.5", "0.75", "1.25", "1.5", "2", "0.8"))
    if key == "35":
        return rng.choice(("0", "0.5", "0.25", "1", "0.75"))
    if key in ("10", "45", "46", "47", "63", "84"):
        return _number(rng.uniform(0, 4), rng.choice((0, 1, 2)))
    return _number(rng.uniform(-300, 300), rng.choice((0, 1, 2)))


def _int_text(rng, key):
    if key == "1":
        return str(rng.choice(OBJECT_IDS))
    if key in ("7", "8", "9"):
        return str(rng.randrange(256))
    if key in ("20", "61"):
        return str(rng.randrange(0, 6))
    if key in ("21", "22", "23", "50"):
        return str(rng.choice((1, 2, 3, 4, 1000, 1001, 1004, 1010)) if rng.random() < 0.5
                   else rng.randrange(1, 1000))
    if key == "24":
        return str(rng.choice(_enums.ZLayer.values()))
    if key == "25":
        return str(rng.randrange(-10, 11))
    return str(rng.randrange(0, 1000))


def _bool_text(rng):
    # Saved files mostly write a flag only when it is set.
    return "1" if rng.random() < 0.85 else "0"


def _groups_text(rng):
    """A group list that reads back in the same order.

    A set of integers is written in its iteration order, so the text is
    built by the same route as the reader (set of the integers in text
    order) until it no longer changes."""
    return _canonical_groups([rng.randrange(1, 1000)
                              for _ in range(rng.choice((1, 1, 1, 2, 2, 3, 4)))])


def _canonical_groups(ints):
    """The group list text of `ints` that reads back in its own order."""
    text = ".".join(map(str, ints))
    for _ in range(10):
        again = ".".join(map(str, set(map(int, text.split(".")))))
        if again == text:
            return text
        text = again
    return str(ints[0])


def _fraction_text(rng):
    """A decimal as colour arithmetic leaves it: "0.13698630136986292"."""
    return repr(rng.randrange(1, 255) / 255)


def _hsv_text(rng):
    """An HSV text as levels write it: whole numbers or the long decimals of
    colour arithmetic ("71.99999999999994"), then two flags."""
    if rng.random() < 0.5:
        hue = str(rng.randrange(-180, 181))
    else:
        hue = repr(rng.randrange(1, 255) / 255 * 360 - 180)
    saturation = rng.choice(("1", "1", "0", "0.5", "1.0", _fraction_text(rng)))
    value = rng.choice(("1", "1", "0.25", "2", "1.0", _fraction_text(rng)))
    flags = ["1" if rng.random() < 0.2 else "0" for _ in range(2)]
    return "a".join([hue, saturation, value] + flags)


def _plain_text(rng):
    return " ".join(rng.choice(WORDS) for _ in range(rng.randrange(1, 6)))


def _enum_text(rng, cls):
    return str(rng.choice(cls.values()))


def _unknown_text(rng):
    return rng.choice(("1", "0", "2", "0.5", "10", str(rng.randrange(100))))


def _value_text(rng, key):
    """A canonical value text for any object key."""
    if key in INT_KEYS:
        return _int_text(rng, key)
    if key in BOOL_KEYS:
        return _bool_text(rng)
    if key in FLOAT_KEYS:
        return _float_text(rng, key)
    if key == GROUPS_KEY:
        return _groups_text(rng)
    if key in HSV_KEYS:
        return _hsv_text(rng)
    if key in ENUM_KEYS:
        return _enum_text(rng, ENUM_KEYS[key])
    if key == TEXT_KEY:
        return Coder.do_base64(_plain_text(rng), encode=True)
    return _unknown_text(rng)


# Records as pair lists ----------------------------------------------------------


def _typical_pairs(rng):
    pairs = [("1", _int_text(rng, "1")), ("2", _position(rng)), ("3", _position(rng))]
    keys = rng.sample(_OPTIONAL, 8)
    keys.sort(key=int)
    pairs += [(key, _value_text(rng, key)) for key in keys]
    pairs.append((rng.choice(UNKNOWN_KEYS), _unknown_text(rng)))
    return pairs


def _rich_pairs(rng):
    pairs = _typical_pairs(rng)
    if rng.random() < 0.4:
        # A text object: its text travels base64-coded under "31".
        pairs[0] = ("1", str(TEXT_OBJECT_ID))
    for key in rng.sample(sorted(ENUM_KEYS, key=int), rng.choice((1, 1, 2, 3))):
        pairs.append((key, _enum_text(rng, ENUM_KEYS[key])))
    pairs.append(("43", _hsv_text(rng)))
    pairs.append((TEXT_KEY, Coder.do_base64(_plain_text(rng), encode=True)))
    return pairs


LONG_PAIRS = 1000


def _long_pairs(rng):
    """1,000 distinct keys: every key the codec types, in ascending order,
    then keys beyond the known range with number-like texts."""
    known = sorted(
        set(INT_KEYS) | set(BOOL_KEYS) | set(FLOAT_KEYS) | set(HSV_KEYS)
        | set(ENUM_KEYS) | {GROUPS_KEY, TEXT_KEY},
        key=int,
    )
    pairs = [(key, _value_text(rng, key)) for key in known]
    key = 109
    while len(pairs) < LONG_PAIRS:
        pairs.append((str(key), _unknown_text(rng)))
        key += 1
    return pairs


_BUILDERS = {"typical": _typical_pairs, "rich": _rich_pairs, "long": _long_pairs}


def _join(pairs, delim):
    return delim.join(piece for pair in pairs for piece in pair)


# Noise ------------------------------------------------------------------------


def _denormalise(rng, key, text, int_keys, float_keys):
    """A readable but non-canonical spelling of one value, or None."""
    if key in int_keys and text.lstrip("-").isdigit():
        sign = "-" if text.startswith("-") else ""
        digits = text.lstrip("-")
        spellings = [sign + "0" + digits, " " + text]
        if not sign:
            spellings.append("+" + digits)
        return rng.choice(spellings)
    if key in float_keys:
        return text + "0" if "." in text else text + ".00"
    return None


def _object_noise(rng, pairs):
    """Make a canonical object record non-canonical in one readable way."""
    pairs = list(pairs)
    way = rng.randrange(6)
    if way == 0:  # a repeated key: the last value wins, at the first place
        key, _ = rng.choice(pairs)
        pairs.append((key, _value_text(rng, key)))
    elif way == 1:  # a flag written as something other than "0" or "1"
        pairs.append((rng.choice(("4", "5", "13", "64")), rng.choice(("00", "true", "2"))))
    elif way == 2 and any(key == GROUPS_KEY for key, _ in pairs):
        at = [key for key, _ in pairs].index(GROUPS_KEY)
        first = pairs[at][1].split(".")[0]
        pairs[at] = (GROUPS_KEY, pairs[at][1] + "." + first)
    elif way == 3:  # an odd last field, which is dropped
        return _join(pairs, ",") + "," + rng.choice(("1", "57", "999"))
    else:  # "+5", "015", " 5", "15.50"
        candidates = []
        for index, (key, text) in enumerate(pairs):
            changed = _denormalise(rng, key, text, INT_KEYS, FLOAT_KEYS)
            if changed is not None:
                candidates.append((index, changed))
        if candidates:
            index, changed = rng.choice(candidates)
            pairs[index] = (pairs[index][0], changed)
    text = _join(pairs, ",")
    if TEXT_KEY in dict(pairs) and rng.random() < 0.3:
        # Writers often drop the base64 padding.
        pairs = [(k, v.rstrip("=") if k == TEXT_KEY else v) for k, v in pairs]
        text = _join(pairs, ",")
    return text


def _object_malformed(rng, pairs):
    """A record that fails to read."""
    pairs = list(pairs)
    way = rng.randrange(5)
    if way == 0:
        pairs[0] = ("1", "abc")
    elif way == 1:
        return _join(pairs, ",") + ",2,"
    elif way == 2:
        pairs.append((GROUPS_KEY, "1..2"))
    elif way == 3:
        pairs.append(("3", "1.2.3"))
    else:
        pairs.append(("30", "99"))  # no easing has this value
    return _join(pairs, ",")


def _colour_noise(rng, pairs):
    pairs = list(pairs)
    way = rng.randrange(4)
    if way == 0:
        key, _ = rng.choice(pairs)
        pairs.append((key, _colour_value(rng, key)))
    elif way == 1:
        pairs.append(("17", "true"))
    else:
        candidates = []
        for index, (key, text) in enumerate(pairs):
            changed = _denormalise(rng, key, text, COLOUR_INT_KEYS, ("7",))
            if changed is not None:
                candidates.append((index, changed))
        index, changed = rng.choice(candidates)
        pairs[index] = (pairs[index][0], changed)
    return _join(pairs, "_")


def _colour_malformed(rng, pairs):
    pairs = list(pairs)
    way = rng.randrange(4)
    if way == 0:
        pairs[0] = ("1", "abc")
    elif way == 1:
        return _join(pairs, "_") + "_7_"
    elif way == 2:
        pairs.append(("4", "9"))  # no player colour has this value
    else:
        pairs.append(("10", "1a2"))  # an HSV text with too few fields
    return _join(pairs, "_")


# Colour records -----------------------------------------------------------------


def _colour_value(rng, key):
    if key in ("1", "2", "3"):
        return str(rng.randrange(256))
    if key == "4":
        # Most colour records copy no player colour, and say so with -1.
        if rng.random() < 0.8:
            return str(_enums.PlayerColor.UNSET.value)
        return str(rng.choice(_enums.PlayerColor.values()))
    if key in ("6", "9"):
        return str(rng.choice((1000, 1001, 1002, 1003, 1004, 1009)) if rng.random() < 0.3
                   else rng.randrange(1, 1000))
    if key == "7":
        return rng.choice(("1", "1", "0.5", "0.75", "0.25", "0", _number(rng.random(), 2)))
    if key == "10":
        return _hsv_text(rng)
    if key in COLOUR_INT_KEYS:
        return str(rng.randrange(256))
    if key in COLOUR_BOOL_KEYS:
        return _bool_text(rng)
    return str(rng.randrange(2))


def _colour_pairs(rng):
    # The usual layout: red, green, blue, player colour, blending, channel,
    # opacity, a flag, then optionally the copied channel with its HSV shift.
    pairs = [(key, _colour_value(rng, key)) for key in ("1", "2", "3", "11", "12", "13")]
    pairs.append(("4", _colour_value(rng, "4")))
    pairs.append(("6", _colour_value(rng, "6")))
    pairs.append(("7", _colour_value(rng, "7")))
    pairs.append(("15", _colour_value(rng, "15")))
    pairs.append(("18", "0"))
    pairs.append(("8", "1"))
    if rng.random() < 0.3:
        pairs.append(("5", "1"))
    if rng.random() < 0.25:
        pairs.append(("9", _colour_value(rng, "9")))
        pairs.append(("10", _hsv_text(rng)))
        pairs.append(("17", _bool_text(rng)))
    return pairs


# Levels -------------------------------------------------------------------------
# Objects of levels as editors save them: more properties than the typical
# record, most objects with an HSV, coordinates often decimal, and keys beyond
# the codec's tables (scales under "128" and "129", "155", "156").

# Distinct HSV texts that one level uses; levels reuse a handful of them.
LEVEL_HSV_TEXTS = 40
# Colour channels of a level's colour records.
LEVEL_CHANNELS = (1000, 1001, 1002, 1003, 1004, 1009, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10)
# The header's key whose value is the level's guidelines; like every header
# value it stays text.
GUIDELINES_KEY = "kA14"


def _coordinate(rng):
    if rng.random() < 0.4:
        return str(15 + 30 * rng.randrange(0, 1000))
    return repr(round(rng.uniform(-200, 30000), rng.choice((1, 2, 3))))


def _level_object_pairs(rng, hsv_texts):
    pairs = [("1", _int_text(rng, "1")), ("2", _coordinate(rng)), ("3", _coordinate(rng))]
    drawn = (
        ("6", 0.2, lambda: rng.choice(("90", "180", "270", "-90", "45", "15.5", "-22.5"))),
        ("20", 0.3, lambda: str(rng.randrange(0, 6))),
        ("21", 0.4, lambda: _int_text(rng, "21")),
        ("22", 0.2, lambda: _int_text(rng, "22")),
        ("24", 0.2, lambda: _int_text(rng, "24")),
        ("25", 0.3, lambda: _int_text(rng, "25")),
        ("32", 0.1, lambda: rng.choice(("0.5", "0.75", "1.25", "2"))),
        ("41", 0.3, lambda: "1"),
        ("42", 0.2, lambda: "1"),
        ("43", 0.75, lambda: rng.choice(hsv_texts)),
        ("44", 0.5, lambda: rng.choice(hsv_texts)),
        ("57", 0.3, lambda: _groups_text(rng)),
        ("64", 0.2, lambda: "1"),
        ("67", 0.2, lambda: "1"),
        ("128", 0.25, lambda: rng.choice(("0.5", "1.25", "0.8", "2", "0.35"))),
        ("129", 0.25, lambda: rng.choice(("0.5", "1.25", "0.8", "2", "0.35"))),
        ("155", 0.2, lambda: str(rng.randrange(1, 4))),
        ("156", 0.1, lambda: str(rng.randrange(1, 4))),
    )
    for key, share, value in drawn:
        if rng.random() < share:
            pairs.append((key, value()))
    return pairs


# A large level as players build them: nearly every object in a group, many
# flags, some HSV values, a few triggers with enumerations. Per object: about
# 5 ints, 4.75 flags, 1.7 floats, one group list and a third of an HSV value.
# Each key with the share of objects that carry it and the way its value is
# drawn; the order is the order in the record.
def _grouped_level_keys(rng, hsv_texts):
    return (
        ("6", 0.3, lambda: rng.choice(("90", "180", "270", "-90", "15.5", "-22.5"))),
        ("4", 0.2, lambda: "1"),
        ("5", 0.3, lambda: "1"),
        ("11", 0.05, lambda: "1"),
        ("13", 0.4, lambda: "1"),
        ("15", 0.5, lambda: "1"),
        ("16", 0.5, lambda: "1"),
        ("17", 0.2, lambda: "1"),
        ("20", 0.5, lambda: str(rng.randrange(0, 6))),
        ("21", 0.7, lambda: _int_text(rng, "21")),
        ("22", 0.3, lambda: _int_text(rng, "22")),
        ("24", 0.4, lambda: _int_text(rng, "24")),
        ("25", 0.6, lambda: _int_text(rng, "25")),
        ("32", 0.35, lambda: rng.choice(("0.5", "0.75", "1.25", "0.8"))),
        ("34", 0.3, lambda: "1"),
        ("41", 0.3, lambda: "1"),
        ("42", 0.3, lambda: "1"),
        ("43", 0.24, lambda: rng.choice(hsv_texts)),
        ("44", 0.1, lambda: rng.choice(hsv_texts)),
        ("57", 0.98, _GroupDraw(rng)),
        ("61", 0.2, lambda: str(rng.randrange(0, 6))),
        ("64", 0.85, lambda: "1"),
        ("67", 0.85, lambda: "1"),
        ("108", 0.3, lambda: str(rng.randrange(1, 200))),
        ("155", 0.3, lambda: str(rng.randrange(1, 4))),
    )


# Triggers: a move trigger with its easing, or a pulse or pickup trigger.
_GROUPED_TRIGGERS = ((901, ("30",)), (1006, ("48", "52")), (1611, ("79",)))
_GROUPED_TRIGGER_SHARE = 0.04


def _grid_coordinate(rng, cells):
    """A coordinate on the editor's 30-unit grid, often moved off it by a
    short fraction ("1057.5")."""
    cell = 15 + 30 * rng.randrange(cells)
    if rng.random() < 0.4:
        return str(cell)
    return repr(cell + rng.choice((-7.5, 7.5, -3.75, 3.75, 0.5, 12.25)))


class _GroupDraw:
    """Group lists as builders number them: objects near each other share
    groups, so the groups drawn wander slowly through the level's range."""

    def __init__(self, rng):
        self.rng = rng
        self.base = 1

    def __call__(self):
        rng = self.rng
        if rng.random() < 0.02:
            self.base = rng.randrange(1, 900)
        size = rng.choice((1, 1, 1, 2, 2, 3))
        return _canonical_groups([self.base + rng.randrange(0, 40) for _ in range(size)])


def _grouped_level_object_pairs(rng, keys):
    """An object's pairs without its position."""
    if rng.random() < _GROUPED_TRIGGER_SHARE:
        object_id, enum_keys = rng.choice(_GROUPED_TRIGGERS)
    else:
        object_id, enum_keys = rng.choice(OBJECT_IDS), ()
    pairs = [(key, value()) for key, share, value in keys if rng.random() < share]
    pairs += [(key, _enum_text(rng, ENUM_KEYS[key])) for key in enum_keys]
    return str(object_id), pairs


def _grouped_level_records(rng, objects, keys):
    """Builders place an object and then copies of it along the level, so
    records come in runs that differ in position only: what makes real
    levels compress about tenfold."""
    made = 0
    while made < objects:
        object_id, pairs = _grouped_level_object_pairs(rng, keys)
        x, y = _grid_coordinate(rng, 1000), _grid_coordinate(rng, 100)
        offset = float(x) - int(float(x))
        for copy in range(min(objects - made, 1 + int(rng.expovariate(1 / 7)))):
            column = int(float(x)) + 30 * copy
            position = [("1", object_id), ("2", repr(column + offset) if offset else str(column)),
                        ("3", y)]
            yield _join(position + pairs, ",")
        made += copy + 1


def _level_colour_pairs(rng, channel):
    pairs = _colour_pairs(rng)
    return [(key, str(channel) if key == "6" else text) for key, text in pairs]


def _guidelines_text(rng):
    times = sorted(round(rng.uniform(0, 120), rng.choice((0, 1, 2, 3))) for _ in range(6))
    return "~".join("%s~%s" % (int(time) if time == int(time) else repr(time),
                               rng.choice(("0", "0.8", "0.9", "1", "0.7")))
                    for time in times)


def _level_header(rng, colours):
    pairs = [
        ("kS38", "".join(text + "|" for text in colours)),
        ("kA13", "0"), ("kA15", "0"), ("kA16", "0"),
        (GUIDELINES_KEY, _guidelines_text(rng)),
        ("kA6", str(rng.randrange(0, 14))), ("kA7", str(rng.randrange(0, 8))),
        ("kA2", "0"), ("kA4", str(rng.randrange(0, 4))), ("kA9", "0"),
    ]
    return _join(pairs, ",")


# The public functions ------------------------------------------------------------


def object_record(rng, kind="typical"):
    """One canonical object record string, drawn from `rng` (a random.Random).

    `kind` is one of OBJECT_KINDS:
    - "typical": about 12 properties (object id, position, a sample of
      integer, flag, float and group-list keys) and one key that no table
      holds;
    - "rich": a typical record plus one to three enumeration keys, an HSV
      value under "43" and a base64 text under "31";
    - "long": 1,000 distinct key and value pairs.

    A canonical record comes back byte for byte when read and written back.
    """
    try:
        build = _BUILDERS[kind]
    except KeyError:
        raise ValueError("unknown object record kind %r (choose from %s)"
                         % (kind, ", ".join(OBJECT_KINDS))) from None
    return _join(build(rng), ",")


def colour_record(rng):
    """One canonical colour record string, drawn from `rng`."""
    return _join(_colour_pairs(rng), "_")


def _shares(noise, malformed):
    if not (0 <= noise <= 1 and 0 <= malformed <= 1 and noise + malformed <= 1):
        raise ValueError("noise and malformed are shares between 0 and 1 whose sum is at most 1")


def _records(n, seed, pairs_of, noisy, broken, delim, noise, malformed):
    _shares(noise, malformed)
    return _drawn(random.Random(seed), n, pairs_of, noisy, broken, delim, noise, malformed)


def _drawn(rng, n, pairs_of, noisy, broken, delim, noise, malformed):
    for _ in range(n):
        pairs = pairs_of(rng)
        draw = rng.random()
        if draw < malformed:
            yield broken(rng, pairs)
        elif draw < malformed + noise:
            yield noisy(rng, pairs)
        else:
            yield _join(pairs, delim)


def iter_object_records(n, seed, kind="mixed", noise=0.0, malformed=0.0):
    """Like `object_records`, but yields the records one by one."""
    if kind == "mixed":
        names = [name for name, _ in MIXED_WEIGHTS]
        weights = [weight for _, weight in MIXED_WEIGHTS]

        def pairs_of(rng):
            return _BUILDERS[rng.choices(names, weights)[0]](rng)
    elif kind in _BUILDERS:
        pairs_of = _BUILDERS[kind]
    else:
        raise ValueError("unknown object record kind %r" % (kind,))
    return _records(n, seed, pairs_of, _object_noise, _object_malformed, ",", noise, malformed)


def object_records(n, seed, kind="mixed", noise=0.0, malformed=0.0):
    """A list of `n` object record strings, the same for the same arguments.

    `kind` is "mixed" (mostly typical records, some rich ones) or one of
    OBJECT_KINDS. `noise` is the share of records spelt non-canonically but
    readably; `malformed` the share of records that fail to read. Both
    default to 0: every record is canonical.
    """
    return list(iter_object_records(n, seed, kind, noise, malformed))


def iter_colour_records(n, seed, noise=0.0, malformed=0.0):
    """Like `colour_records`, but yields the records one by one."""
    return _records(n, seed, _colour_pairs, _colour_noise, _colour_malformed, "_",
                    noise, malformed)


def colour_records(n, seed, noise=0.0, malformed=0.0):
    """A list of `n` colour record strings; `noise` and `malformed` as for
    `object_records`."""
    return list(iter_colour_records(n, seed, noise, malformed))


def level_string(objects, seed, colours=11, noise=0.0, malformed=0.0):
    """A level string of `objects` object records and `colours` colour
    records, the same for the same arguments.

    The header holds the colour records under "kS38" and guidelines; the
    objects are shaped as saved levels have them (see the "Levels" section).
    `noise` and `malformed` are the shares of object records spelt
    non-canonically but readably, and made unreadable, as for
    `object_records`."""
    _shares(noise, malformed)
    rng = random.Random(seed)
    if not 0 <= colours <= len(LEVEL_CHANNELS):
        raise ValueError("a level has 0 to %d colour records" % len(LEVEL_CHANNELS))
    channels = rng.sample(LEVEL_CHANNELS, colours)
    header = _level_header(rng, [_join(_level_colour_pairs(rng, channel), "_")
                                 for channel in channels])
    hsv_texts = ["0a1a1a0a0"] + [_hsv_text(rng) for _ in range(LEVEL_HSV_TEXTS - 1)]
    records = _drawn(rng, objects, lambda r: _level_object_pairs(r, hsv_texts),
                     _object_noise, _object_malformed, ",", noise, malformed)
    return "".join([header, ";"] + [record + ";" for record in records])


def grouped_level_string(objects, seed, colours=11):
    """A level string of `objects` object records shaped like a large level
    built in the editor (see `_grouped_level_keys`): nearly every object
    in a group, so that reading it makes a set per object. Canonical
    throughout; the same for the same arguments."""
    rng = random.Random(seed)
    if not 0 <= colours <= len(LEVEL_CHANNELS):
        raise ValueError("a level has 0 to %d colour records" % len(LEVEL_CHANNELS))
    channels = rng.sample(LEVEL_CHANNELS, colours)
    header = _level_header(rng, [_join(_level_colour_pairs(rng, channel), "_")
                                 for channel in channels])
    hsv_texts = ["0a1a1a0a0"] + [_hsv_text(rng) for _ in range(LEVEL_HSV_TEXTS - 1)]
    keys = _grouped_level_keys(rng, hsv_texts)
    records = _grouped_level_records(rng, objects, keys)
    return "".join([header, ";"] + [record + ";" for record in records])


def encoded_level(objects, seed, compression="gzip", **options):
    """The level string of `level_string(objects, seed, **options)` as
    encoded level data."""
    from velk.level import encode  # the package's own encoder (needs the built core)

    return encode(level_string(objects, seed, **options), compression)


def _plist(body):
    return '<?xml version="1.0"?><plist version="1.0" gjver="2.0"><dict>%s</dict></plist>' % body


def _entry(key, value):
    """A property list entry: its key, then its value by its type."""
    if value is True:
        return "<k>%s</k><t />" % key
    if isinstance(value, int):
        return "<k>%s</k><i>%d</i>" % (key, value)
    if isinstance(value, float):
        return "<k>%s</k><r>%s</r>" % (key, repr(value))
    if isinstance(value, list):
        return "<k>%s</k><d>%s</d>" % (key, "".join(_entry(*pair) for pair in value))
    return "<k>%s</k><s>%s</s>" % (key, escape(value))


def export_file(levels):
    """The text of an export file holding `levels`, a list of (name, encoded
    level data) pairs: one level as the file's dictionary, several as
    nested dictionaries, in the game's compact form."""
    def level_entries(index, name, data):
        return ("<k>k1</k><i>%d</i><k>k2</k><s>%s</s><k>k4</k><s>%s</s>"
                "<k>k13</k><t /><k>k21</k><r>%s</r>"
                % (index + 1, escape(name), data, repr(1.5 + index)))

    if len(levels) == 1:
        body = level_entries(0, *levels[0])
    else:
        body = "".join("<k>k_%d</k><d>%s</d>" % (index, level_entries(index, name, data))
                       for index, (name, data) in enumerate(levels))
    return _plist(body) + "\n"


# Save files and server data --------------------------------------------------------

SAVE_KINDS = ("created", "state")
_NAME_SYLLABLES = ("ka", "zu", "ri", "mo", "tel", "var", "on", "ix", "shi", "dor", "pa", "len")


def _made_up_name(rng, words=2):
    return " ".join("".join(rng.choice(_NAME_SYLLABLES) for _ in range(rng.randrange(2, 4)))
                    .capitalize() for _ in range(words))


def _description(rng):
    text = " ".join(rng.choice(WORDS) for _ in range(rng.randrange(3, 12)))
    return Coder.do_base64(text)


def _stored_level(rng, name, data, level_id, creator, downloaded):
    """The entries of a level in a save: (key, value) pairs in the game's
    order, with the many entries besides its name and data."""
    pairs = [("kCEK", 4), ("k1", level_id), ("k2", name)]
    if data is not None:
        pairs.append(("k4", data))
    pairs += [("k3", _description(rng)), ("k5", creator)]
    if downloaded:
        pairs += [("k6", rng.randrange(1000, 9000000)), ("k11", rng.randrange(0, 5000000)),
                  ("k22", rng.randrange(-50, 90000)), ("k26", rng.randrange(0, 5))]
    pairs += [("k13", True), ("k16", rng.randrange(1, 40)), ("k21", 2),
              ("k23", rng.randrange(0, 5)), ("k45", rng.randrange(100, 60000)),
              ("k50", 35), ("k80", rng.randrange(30, 400000)), ("k83", rng.randrange(0, 9000))]
    if not downloaded:
        pairs += [("kI1", round(rng.uniform(-50, 9000), 3)), ("kI2", round(rng.uniform(0, 900), 3)),
                  ("kI3", rng.choice((0.5, 0.8, 1.0, 1.2))),
                  ("kI6", [(str(i), str(rng.randrange(0, 4))) for i in range(13)])]
    return pairs


def _player_entries(rng):
    """The settings and identifiers that a save of the game's state holds
    besides levels (all made up; velk must never show them)."""
    values = [("gv_%04d" % number, str(rng.randrange(0, 2))) for number in range(1, 40)]
    stats = [(str(number), str(rng.randrange(0, 90000))) for number in range(1, 24)]
    return [
        ("valueKeeper", values),
        ("unlockValueKeeper", [("ugv_%d" % number, "1") for number in range(1, 12)]),
        ("bgVolume", round(rng.uniform(0, 1), 6)), ("sfxVolume", round(rng.uniform(0, 1), 6)),
        ("playerUDID", "S%d" % rng.randrange(10 ** 9, 10 ** 10)),
        ("playerName", "Player" + _made_up_name(rng, 1)),
        ("playerUserID", rng.randrange(10 ** 6, 10 ** 8)),
        ("playerFrame", rng.randrange(1, 140)), ("playerShip", rng.randrange(1, 50)),
        ("playerColor", rng.randrange(0, 40)), ("playerColor2", rng.randrange(0, 40)),
        ("secretNumber", rng.randrange(0, 10 ** 6)), ("hasRP", 2),
        ("GS_value", stats),
        ("GS_completed", [("c%02d" % number, "1") for number in range(1, 20)]),
    ]


def save_xml(levels, kind="created", seed=0):
    """The XML of a save holding `levels`, a list of (name, encoded level
    data or None) pairs: a save of created levels ("created", listed under
    "LLM_01", newest first) or of the game's state ("state", the levels under
    "GLM_03" by id, among the player's settings), with the other entries the
    game writes, drawn from `seed`."""
    if kind not in SAVE_KINDS:
        raise ValueError("unknown kind of save %r (choose from %s)" % (kind, ", ".join(SAVE_KINDS)))
    rng = random.Random(seed)
    creator = _made_up_name(rng, 1)
    ids = rng.sample(range(10 ** 5, 10 ** 8), len(levels))
    stored = []
    for (name, data), level_id in zip(levels, ids):
        author = creator if kind == "created" else _made_up_name(rng, 1)
        stored.append((level_id, _stored_level(rng, name, data, level_id, author,
                                               kind == "state")))
    if kind == "created":
        listed = [("_isArr", True)] + [("k_%d" % index, pairs)
                                       for index, (_, pairs) in enumerate(stored)]
        return _plist(_entry("LLM_01", listed) + _entry("LLM_02", 37))
    player = _player_entries(rng)
    downloaded = [(str(level_id), pairs) for level_id, pairs in stored]
    return _plist("".join(_entry(*pair) for pair in player[:9])
                  + _entry("GLM_03", downloaded)
                  + "".join(_entry(*pair) for pair in player[9:]))


def save_file(levels, kind="created", seed=0, compression="gzip"):
    """The bytes of a save file holding `levels` (see `save_xml`), encoded as
    the game encodes it."""
    from velk.level import save  # the package's own codec (needs the built core)

    return save.encode(save_xml(levels, kind, seed).encode("utf-8"), compression)


def server_data(name, data, seed=0):
    """Server data of one level: its pairs as the server sends them, then
    two hashes."""
    rng = random.Random(seed)
    pairs = [("1", rng.randrange(10 ** 5, 10 ** 8)), ("2", name), ("3", _description(rng)),
             ("4", data), ("5", rng.randrange(1, 20)), ("6", rng.randrange(1000, 9000000)),
             ("8", 10), ("9", rng.choice((0, 10, 20, 30))), ("10", rng.randrange(0, 10 ** 6)),
             ("12", 0), ("13", 21), ("14", rng.randrange(-100, 90000)), ("17", ""),
             ("43", rng.randrange(0, 6)), ("25", ""), ("18", rng.randrange(0, 11)),
             ("19", ""), ("42", 0), ("45", rng.randrange(100, 60000)),
             ("15", rng.randrange(0, 5)), ("30", 0), ("31", 0), ("28", "1 month"),
             ("29", "2 weeks"), ("35", 0), ("37", 0), ("38", 0), ("39", rng.randrange(0, 10)),
             ("46", 1), ("47", 2), ("40", 0), ("27", "AQ==")]
    hashes = ["".join(rng.choice("0123456789abcdef") for _ in range(40)) for _ in range(2)]
    return ":".join("%s:%s" % pair for pair in pairs) + "#" + "#".join(hashes)


# The distinct levels an archive's levels are drawn from: generating and
# compressing a level costs a tenth of a second, so a large archive reuses
# each many times, under other names and ids.
ARCHIVE_POOL = 48


def _archive_pool(rng, size, objects, seed):
    """(level string, encoded data) of `size` levels of about `objects`
    objects each (from a fifth to twice that many), one in eight with
    malformed records."""
    from velk.level import encode

    pool = []
    for number in range(size):
        count = rng.randint(max(1, objects // 5), max(1, objects * 2))
        malformed = 0.002 if number % 8 == 7 else 0.0
        text = level_string(count, seed * 1000 + number, malformed=malformed)
        pool.append((text, encode(text)))
    return pool


def write_archive(folder, levels, objects, seed):
    """Write an archive of about `levels` levels of about `objects`
    objects each into `folder` (made if need be): export files and saves
    of many levels, server data, encoded level data, level strings and
    record files, in folders by form, and a few broken files (truncated
    level data, an export file cut short, a file of binary data, an empty
    file). The same arguments give the same files. Returns the paths
    written."""
    rng = random.Random(seed)
    pool = _archive_pool(rng, min(ARCHIVE_POOL, max(1, levels)), objects, seed)
    written = []

    def write(relative, data):
        path = os.path.join(folder, relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as out:
            out.write(data if isinstance(data, bytes) else data.encode("utf-8"))
        written.append(path)

    left = levels
    number = 0
    while left > 0:
        number += 1
        form = rng.choice(("export", "export", "save", "save", "server", "encoded", "level"))
        many = min(left, rng.randint(2, 24)) if form in ("export", "save") else 1
        drawn = [rng.choice(pool) for _ in range(many)]
        named = [("Level %d-%d" % (number, index + 1), data)
                 for index, (_, data) in enumerate(drawn)]
        if form == "export":
            write("exports/%03d/levels-%05d.xml" % (number // 100, number), export_file(named))
        elif form == "save":
            kind = rng.choice(SAVE_KINDS)
            write("saves/%s-%05d.dat" % (kind, number), save_file(named, kind, seed + number))
        elif form == "server":
            write("server/level-%05d.txt" % number, server_data(*named[0], seed=seed + number))
        elif form == "encoded":
            write("encoded/level-%05d.txt" % number, named[0][1] + "\n")
        else:
            write("strings/level-%05d.txt" % number, drawn[0][0] + "\n")
        left -= many
    write("records/objects.txt", "".join(
        record + "\n" for record in iter_object_records(2000, seed, noise=NOISE_SHARE,
                                                        malformed=0.01)))
    text, data = pool[0]
    write("broken/truncated.txt", data[:len(data) // 2] + "\n")
    export = export_file([("Cut short", data), ("Never reached", data)])
    write("broken/cut-short.xml", export[:len(export) * 3 // 4])
    write("broken/picture.png", bytes(rng.randrange(256) for _ in range(4096)))
    write("broken/empty.txt", b"")
    return written


def _share(text):
    try:
        value = float(text)
    except ValueError:
        value = -1.0
    if not 0 <= value <= 1:
        raise argparse.ArgumentTypeError("invalid share %r (a number from 0 to 1)" % text)
    return value


FORMS = ("records", "level", "encoded", "export", "save", "server", "archive")


def _level_text(args, noise, malformed):
    """The file text of a level form: a level string, encoded level data or
    an export file of `args.levels` levels, each drawn from its own seed."""
    options = dict(colours=args.colours, noise=noise, malformed=malformed)
    if args.form == "level":
        return level_string(args.count, args.seed, **options) + "\n"
    if args.form == "encoded":
        return encoded_level(args.count, args.seed, args.compression, **options) + "\n"
    levels = [("Generated level %d" % (index + 1),
               encoded_level(args.count, args.seed + index, args.compression, **options))
              for index in range(args.levels)]
    if args.form == "server":
        return server_data(*levels[0], seed=args.seed) + "\n"
    if args.form == "save":
        return save_file(levels, args.save, args.seed)
    return export_file(levels)


def main(argv=None):
    """Write generated records or levels to a file; returns the exit status."""
    parser = argparse.ArgumentParser(
        description="Write seeded object or colour records, one per line, or levels "
        "(a level string, encoded level data or an export file).")
    parser.add_argument(
        "--form", choices=FORMS, default="records",
        help="what to write (default: records, one per line)")
    parser.add_argument("--kind", choices=("object", "colour", "color"), default="object",
                        help="records only: the kind of record")
    parser.add_argument("--count", type=int, required=True,
                        help="number of records, or of objects in each level")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--out", required=True, help='output file, or "-" for standard output')
    parser.add_argument(
        "--records", choices=("mixed",) + OBJECT_KINDS, default="mixed",
        help="object records only: which kind of record (default: mixed)")
    parser.add_argument(
        "--noise", action="store_true",
        # argparse formats help texts with "%": the percent signs stay doubled.
        help="spell %d%%%% of the records non-canonically and make %d%%%% malformed"
        % (NOISE_SHARE * 100, MALFORMED_SHARE * 100))
    parser.add_argument(
        "--malformed", type=_share, default=None, metavar="SHARE",
        help="share of malformed records (default: %g with --noise, else 0)" % MALFORMED_SHARE)
    parser.add_argument("--colours", type=int, default=11,
                        help="levels only: colour records in each level (default: 11)")
    parser.add_argument("--levels", type=int, default=1,
                        help="export and save files: number of levels; archives: of levels in all "
                        "(default: 1)")
    parser.add_argument("--save", choices=SAVE_KINDS, default="created",
                        help="save files: of created levels, or of the game's state with "
                        "downloaded levels (default: created)")
    parser.add_argument("--compression", choices=("gzip", "zlib", "deflate"), default="gzip",
                        help="encoded data and export files: the compression (default: gzip)")
    args = parser.parse_args(argv)
    if args.count < 0:
        parser.error("--count must not be negative")
    if not 0 <= args.colours <= len(LEVEL_CHANNELS):
        parser.error("--colours must be from 0 to %d" % len(LEVEL_CHANNELS))
    if args.levels < 1:
        parser.error("--levels must be 1 or more")
    if args.form == "server" and args.levels != 1:
        parser.error("server data hold one level")
    if args.form == "archive":
        if args.out == "-":
            parser.error("an archive is a folder: give its path with --out")
        write_archive(args.out, args.levels, args.count, args.seed)
        return 0

    noise = NOISE_SHARE if args.noise else 0.0
    malformed = args.malformed
    if malformed is None:
        malformed = MALFORMED_SHARE if args.noise else 0.0
    if noise + malformed > 1:
        parser.error("the noise and malformed shares add up to more than 1")
    if args.form != "records":
        lines = [_level_text(args, noise, malformed)]
    elif args.kind == "object":
        records = iter_object_records(args.count, args.seed, args.records, noise, malformed)
        lines = (record + "\n" for record in records)
    else:
        records = iter_colour_records(args.count, args.seed, noise, malformed)
        lines = (record + "\n" for record in records)

    if args.form == "save":
        if args.out == "-":
            sys.stdout.buffer.write(lines[0])
        else:
            with open(args.out, "wb") as out:
                out.write(lines[0])
        return 0
    if args.out == "-":
        sys.stdout.writelines(lines)
        return 0
    with open(args.out, "w", encoding="utf-8", newline="\n") as out:
        out.writelines(lines)
    return 0


if __name__ == "__main__":
    sys.exit(main())
