"""The game's own files: save files, server data and export files read and
written back, property lists with their byte spans, telling every form
apart, and the memory that hostile files may take."""
import base64
import io
import os
import pickle
import random
import re
import stat
import sys
import zlib
from pathlib import Path

import pytest

from velk import level
from velk.level import LevelError, plist, save
from velk.level.atomic import atomic_output, write_atomic
from velk.level.data import looks_encoded
from velk.level.export import iter_export
from velk.level.save import looks_like_save
from velk.level.server import looks_like_server
from velk.level.source import detect_form

from support import peak_memory, run

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tools"))
import generate_records as gen  # noqa: E402

TEXT = gen.level_string(40, seed=21)
DATA = level.encode(TEXT)
OBJECTS = level.read_level(TEXT).objects
BOM = b"\xef\xbb\xbf"


def game_state(levels, seed=5):
    """A save of the game's state: its bytes, and the player's values in it."""
    xml = gen.save_xml(levels, "state", seed)
    secrets = re.findall(r"<k>(?:playerName|playerUDID|playerUserID|secretNumber)</k>"
                         r"<[si]>([^<]+)<", xml)
    assert len(secrets) == 4
    return save.encode(xml.encode()), secrets


# Telling the forms apart -------------------------------------------------------------


SAMPLES = {
    "records": b"1,1,2,15,3,15\n1,8,2,45\n",
    "level": TEXT.encode(),
    "encoded": DATA.encode() + b"\n",
    "encoded wrapped": b"\n".join(DATA.encode()[i:i + 76]
                                  for i in range(0, len(DATA), 76)) + b"\n",
    "export": gen.export_file([("a", DATA)]).encode(),
    "save of created levels": gen.save_file([("a", DATA), ("b", None)], "created"),
    "save of the game's state": gen.save_file([("a", DATA)], "state"),
    "zlib save": save.encode(gen.save_xml([("a", DATA)]).encode(), "zlib") + b"\x0b\x0b",
    "server": gen.server_data("a", DATA).encode(),
}
FORM_OF = {"records": "records", "level": "level", "encoded": "encoded",
           "encoded wrapped": "encoded", "export": "export", "save of created levels": "save",
           "save of the game's state": "save", "zlib save": "save", "server": "server"}
DETECTORS = {
    "save": looks_like_save,
    "server": looks_like_server,
    "encoded": lambda head: looks_encoded(re.sub(rb"\s+", b"", head)),
    "export": lambda head: head.lstrip().startswith(b"<"),
}


@pytest.mark.parametrize("detector", sorted(DETECTORS))
@pytest.mark.parametrize("sample", sorted(SAMPLES))
def test_each_detector_claims_its_own_form_only(sample, detector):
    assert DETECTORS[detector](SAMPLES[sample]) == (FORM_OF[sample] == detector)


@pytest.mark.parametrize("sample", sorted(SAMPLES))
@pytest.mark.parametrize("start", [b"", BOM], ids=["plain", "bom"])
def test_every_form_is_told_with_or_without_a_byte_order_mark(sample, start):
    assert detect_form(start + SAMPLES[sample]) == FORM_OF[sample]


UNREADABLE = [
    ("garbage", random.Random(1).getrandbits(8 * 4096).to_bytes(4096, "big"),
     "it looks like binary data"),
    ("png", b"\x89PNG\r\n\x1a\n\x00\x00\x00\rIHDR" + bytes(64), "it looks like binary data"),
    ("empty", b"", "it is empty"),
    ("utf-16 with bom", "1,1,2,15\n".encode("utf-16"), "it looks like UTF-16 text"),
    ("utf-16 without bom", "1,1,2,15\n".encode("utf-16-le"), "it looks like UTF-16 text"),
    ("whitespace", b" \t\r\n\n  ", "it holds only whitespace"),
    ("bom only", BOM, "it holds only a byte order mark"),
    ("bom and whitespace", BOM + b"\n\n", "it holds only whitespace"),
    ("prose", b"Dear diary\nnothing happened\n",
     "it looks like text that holds no records and no level"),
]


@pytest.mark.parametrize("name, content, looks", UNREADABLE, ids=[u[0] for u in UNREADABLE])
@pytest.mark.parametrize("command", ["show", "stats", "check"])
def test_a_file_of_no_form_is_refused_in_one_line(capsys, tmp_path, name, content, looks,
                                                  command):
    path = tmp_path / "input.bin"
    path.write_bytes(content)
    status, out, err = run(capsys, command, path)
    assert (status, out) == (2, "")
    assert err == "velk: error: %s: not a form velk reads: %s\n" % (path, looks)


def test_a_file_of_no_form_is_refused_by_the_api(tmp_path):
    path = tmp_path / "x.bin"
    path.write_bytes(bytes(range(256)))
    with pytest.raises(LevelError) as caught:
        level.read_file(str(path))
    assert str(caught.value) == "%s: not a form velk reads: it looks like binary data" % path


# Save files --------------------------------------------------------------------------


XML = gen.save_xml([("one", DATA), ("two", None)]).encode()


@pytest.mark.parametrize("spell", [
    lambda data: data,
    lambda data: data.rstrip(bytes([ord("=") ^ 11])),            # padding dropped
    lambda data: data + b"\x0b\x0b\x0b",                          # NUL, XORed
    lambda data: data + b"\x00",
    lambda data: BOM + data,
])
@pytest.mark.parametrize("compression", ["gzip", "zlib"])
def test_save_codec_both_ways(spell, compression):
    data = save.encode(XML, compression)
    assert data.startswith(b"C?xB" if compression == "gzip" else b"nA")
    assert save.decode(spell(data)) == XML
    pieces = [spell(data)[i:i + 13] for i in range(0, len(spell(data)), 13)]
    assert b"".join(save.iter_xml(pieces)) == XML


def _xored(text):
    return bytes(byte ^ 11 for byte in text)


@pytest.mark.parametrize("data, message", [
    (save.encode(XML) + b"\x0bxyz", "save data is corrupt: bytes follow the padding"),
    (save.encode(XML)[:-40], "save data is truncated"),
    (_xored(base64.urlsafe_b64encode(b"\x1f\x8b\x08\x00" + bytes(30))), "save data is corrupt"),
    (_xored(b"H4sI!AAA"), "save data is not base64: it holds '!'"),
    (b"C?xB\xff\xfe", "save data is not base64: bytes that XOR to no text"),
    (b"", "no save data: the encoded text is empty"),
])
def test_broken_saves_are_one_clear_error(data, message):
    with pytest.raises(LevelError, match=re.escape(message)) as caught:
        save.decode(data)
    assert "\n" not in str(caught.value)


def _bomb_save(size):
    """A save whose XML is `size` bytes of whitespace inside a dictionary."""
    compressor = zlib.compressobj(9, zlib.DEFLATED, 31)
    parts = [compressor.compress(b'<?xml version="1.0"?><plist><dict>')]
    block = b" " * (1 << 20)
    for _ in range(size >> 20):
        parts.append(compressor.compress(block))
    parts.append(compressor.compress(b"</dict></plist>") + compressor.flush())
    return _xored(base64.urlsafe_b64encode(b"".join(parts)))


def _incompressible_save(size):
    noise = random.Random(2).getrandbits(8 * size).to_bytes(size, "big")
    return save.encode(b"<plist><dict><k>x</k><s>%s</s></dict></plist>"
                       % base64.b64encode(noise), "zlib")


@pytest.mark.parametrize("data, max_size, message", [
    (_bomb_save(64 << 20), 1 << 20, "save data decode to more than 1 MiB, the limit"),
    (_incompressible_save(3 << 20), 2 << 20, "save data decode to more than 2 MiB, the limit"),
    (gen.save_file([("big", level.encode(gen.level_string(6000, seed=2)))]), 400 << 10,
     'level 1 "big": level data decode to more than 400 KiB'),
], ids=["xml", "compressed", "level"])
def test_the_size_limit_bounds_every_step_of_a_save(tmp_path, data, max_size, message):
    path = tmp_path / "save.dat"
    path.write_bytes(data)

    def read():
        with pytest.raises(LevelError, match=re.escape(message)):
            with level.Input(str(path)) as found:
                try:
                    for source in found.levels(max_size=max_size):
                        with source.naming():
                            for _piece in source.pieces:
                                pass
                except LevelError as exc:
                    raise exc.locate(path=found.name)

    assert peak_memory(read) < 2 * max_size + len(data) + (3 << 20)


def test_a_save_of_created_levels_reads_every_level(tmp_path):
    path = tmp_path / "created.dat"
    path.write_bytes(gen.save_file([("Newest", DATA), ("Never saved", None), ("Old", DATA)],
                                   "created", seed=3))
    newest, empty, old = level.read_file(str(path))
    assert [newest.name, empty.name, old.name] == ["Newest", "Never saved", "Old"]
    assert newest.objects == old.objects == OBJECTS
    assert (len(empty), empty.header, empty.colours) == (0, {}, [])
    for read in (newest, empty, old):
        assert isinstance(read.id, int) and isinstance(read.creator, str)
        assert (read.properties["k1"], read.properties["k2"]) == (read.id, read.name)
        assert read.properties["k13"] is True and read.properties["k21"] == 2
        assert isinstance(read.properties["kI1"], float)
        assert isinstance(read.properties["kI6"], dict)
    assert "k4" not in empty.properties


def test_check_counts_a_level_without_data_as_empty(capsys, tmp_path):
    path = tmp_path / "created.dat"
    path.write_bytes(gen.save_file([("a", DATA), ("b", None)], "created"))
    status, out, err = run(capsys, "check", path, "--json")
    assert (status, err) == (0, "")
    import json

    (report,) = json.loads(out)["files"]
    assert report["form"] == "save"
    assert [(one["name"], one["object"]["records"]) for one in report["levels"]] == \
        [("a", len(OBJECTS)), ("b", 0)]


@pytest.mark.parametrize("argv", [
    ["show"], ["stats"], ["check"], ["check", "--json"], ["stats", "--json"],
    ["show", "--format", "save"],
])
def test_the_players_settings_are_never_shown(capsys, tmp_path, argv):
    data, secrets = game_state([("Downloaded", DATA), ("Broken", level.encode("kA1,0;1,x;"))])
    path = tmp_path / "state.dat"
    path.write_bytes(data)
    status, out, err = run(capsys, *(argv[:1] + [path] + argv[1:]))
    assert status == 1
    assert ('level 2 "Broken"' in out + err) != ("--json" in argv)
    for secret in secrets:
        assert secret not in out + err


def test_the_levels_of_a_save_of_the_game_state(tmp_path):
    data, _ = game_state([("First", DATA), ("Second", None)])
    path = tmp_path / "state.dat"
    path.write_bytes(data)
    first, second = level.read_file(str(path))
    assert (first.name, first.objects, second.name, len(second)) == (
        "First", OBJECTS, "Second", 0)
    assert isinstance(first.properties["k6"], int) and first.id == first.properties["k1"]


@pytest.mark.parametrize("xml, message", [
    (b'<?xml version="1.0"?><plist><dict><k>x</k><s>1</s></dict></plist>',
     "the save file holds no levels"),
    (b'<!DOCTYPE d [<!ENTITY a "aaaa">]><plist><dict><k>LLM_01</k><d></d></dict></plist>',
     "save file refused: it declares the XML entity 'a'"),
    (b"<plist><dict><k>LLM_01</k><d><k>k_0</k><d><k>k4</k></d></d></dict></plist>",
     "not a property list velk reads: the key 'k4' without a value"),
    (b"<plist><dict><k>LLM_01</k><d></plist>", "not a well-formed save file: mismatched tag"),
])
def test_broken_save_contents(tmp_path, xml, message):
    path = tmp_path / "s.dat"
    path.write_bytes(save.encode(xml))
    with pytest.raises(LevelError, match=re.escape(message)):
        level.read_file(str(path))


# Server data -------------------------------------------------------------------------


def test_server_data_are_one_level_named_by_its_pairs(tmp_path):
    path = tmp_path / "level.txt"
    path.write_text(gen.server_data("From the server", DATA, seed=4))
    (read,) = level.read_file(str(path))
    assert (read.name, read.objects, read.properties, read.creator) == (
        "From the server", OBJECTS, {}, None)
    assert isinstance(read.id, int) and read.id > 0


@pytest.mark.parametrize("text, expected", [
    ("1:42:2:Name:3:ZGVzYw==:5:1", (42, "Name", 0)),                 # no data: empty
    ("1:42:2:Name:4:%s#abc#def" % DATA, (42, "Name", len(OBJECTS))),
    ("\ufeff1:x1:2::4:%s\n" % DATA, ("x1", "", len(OBJECTS))),
])
def test_server_data_spellings(tmp_path, text, expected):
    path = tmp_path / "s.txt"
    path.write_text(text, encoding="utf-8")
    (read,) = level.read_file(str(path), form="server")
    assert (read.id, read.name, len(read)) == expected


def test_server_data_whose_pairs_do_not_pair(tmp_path):
    path = tmp_path / "s.txt"
    path.write_text("1:42:2:Name:4")
    with pytest.raises(LevelError, match="server data end with the key '4', without its value"):
        level.read_file(str(path))


# Property lists ----------------------------------------------------------------------


COMPACT = ('<?xml version="1.0"?><plist version="1.0" gjver="2.0"><dict><k>kCEK</k><i>4</i>'
           '<k>k1</k><i>77</i><k>k2</k><s>Tom &amp; Jerry&apos;s</s><k>k4</k><s>%s</s>'
           '<k>k5</k><s>maker</s><k>k13</k><t /><k>k21</k><i>2</i><k>k16</k><i>-3</i>'
           '<k>kI1</k><r>1.50</r><k>kI2</k><r>0.1</r><k>k3</k><s/><k>kI6</k><d><k>0</k><s>0</s>'
           '<k>1</k><s>a&#60;b</s></d><k>kI7</k><d /></dict></plist>' % DATA).encode()


@pytest.mark.parametrize("size", [1, 7, 64, 4096, len(COMPACT)])
def test_property_lists_read_in_any_pieces_with_the_span_of_every_entry(size):
    read = plist.read([COMPACT[i:i + size] for i in range(0, len(COMPACT), size)])
    assert read == {"kCEK": 4, "k1": 77, "k2": "Tom & Jerry's", "k4": DATA, "k5": "maker",
                    "k13": True, "k21": 2, "k16": -3, "kI1": 1.5, "kI2": 0.1, "k3": "",
                    "kI6": {"0": "0", "1": "a<b"}, "kI7": {}}
    assert [type(value) for value in read.values()][:8] == [int, int, str, str, str, bool,
                                                            int, int]
    for key, (start, end) in read.spans.items():
        assert COMPACT[start:end].startswith(b"<k>%s</k>" % key.encode())
    assert b"".join(COMPACT[start:end] for start, end in read.spans.values()) == \
        COMPACT[read.span[0] + len(b"<dict>"):read.span[1] - len(b"</dict>")]
    assert (plist.HEAD + plist.dumps(read) + plist.TAIL).encode() == COMPACT


@pytest.mark.parametrize("xml, message", [
    (b"<plist><dict><k>a</k><i>1.5</i></dict></plist>", "the value of 'a' is '1.5', not an "
     "integer"),
    (b"<plist><dict><k>a</k><r>x</r></dict></plist>", "the value of 'a' is 'x', not a number"),
    (b"<plist><dict><s>1</s></dict></plist>", "a value without its key"),
    (b"<plist><dict><k>a</k><k>b</k></dict></plist>", "the key 'a' without a value"),
    (b"<plist><dict><k>a</k><s>1<b/></s></dict></plist>", "an element <b> inside <s>"),
    (b"<plist><dict><k>a</k><date>1</date></dict></plist>", "an element <date>"),
    (b"<plist><d><d></d></d></plist>", "a dictionary where a key belongs"),
    (b"<plist></plist>", "property list holds no dictionary"),
])
def test_property_lists_velk_cannot_read(xml, message):
    with pytest.raises(LevelError, match=re.escape(message)):
        plist.read(xml)


@pytest.mark.parametrize("value, error, message", [
    (False, ValueError, "entry 'x': a property list holds no false"),
    (float("nan"), ValueError, "entry 'x': a property list holds no nan"),
    (None, TypeError, "entry 'x': a property list holds no NoneType"),
    ([1], TypeError, "entry 'x': a property list holds no list"),
    ("bell\x07", ValueError, "entry 'x': a property list cannot hold the character '\\x07'"),
])
def test_values_a_property_list_cannot_hold_are_refused(value, error, message):
    with pytest.raises(error, match=re.escape(message)):
        plist.dumps({"x": value})


def test_written_values_read_back_equal():
    entries = {"text": "a & <b> \r\n\t\u2603", "int": -(10 ** 30), "real": 0.1 + 0.2,
               "true": True, "nested": {"deeper": {"x": 1.0}}, "": ""}
    read = plist.read((plist.HEAD + plist.dumps(entries) + plist.TAIL).encode())
    assert read == entries
    assert type(read["real"]) is float and type(read["nested"]["deeper"]["x"]) is float


# Export files written --------------------------------------------------------------


def _round_trip(data):
    levels = level.read_file(io.BytesIO(data))
    return level.export_xml(levels[0] if len(levels) == 1 else levels)


def test_an_unchanged_export_file_in_the_games_form_is_written_back_byte_for_byte():
    assert _round_trip(COMPACT) == COMPACT


def test_velks_own_export_files_come_back_byte_for_byte(tmp_path):
    levels = level.read_file(io.BytesIO(gen.save_file([("a", DATA), ("b", None), ("c", DATA)])))
    path = tmp_path / "levels.xml"
    level.write_export(levels, str(path))
    written = path.read_bytes()
    assert _round_trip(written) == written
    assert level.read_file(str(path)) == levels


def test_a_changed_level_writes_what_changed():
    (read,) = level.read_file(io.BytesIO(COMPACT))
    read.name = "Renamed"
    read.objects[0]["2"] = 999.5
    read.properties["kI1"] = 2.0
    written = level.export_xml(read)
    (back,) = level.read_file(io.BytesIO(written))
    assert (back.name, back.objects[0]["2"], back.properties["kI1"]) == ("Renamed", 999.5, 2.0)
    assert back.objects[1:] == read.objects[1:]
    assert written.replace(back.properties["k4"].encode(), b"DATA") == COMPACT.replace(
        DATA.encode(), b"DATA").replace(b"Tom &amp; Jerry&apos;s", b"Renamed").replace(
        b"<r>1.50</r>", b"<r>2.0</r>")


def test_a_level_made_in_python_is_written_with_its_fields():
    made = level.read_level(TEXT, name="New")
    made.id, made.creator = 5, "me"
    (back,) = level.read_file(io.BytesIO(level.export_xml(made)))
    assert (back.id, back.name, back.creator, back.objects) == (5, "New", "me", OBJECTS)
    assert list(back.properties) == ["k1", "k2", "k4", "k5"]


def test_an_export_file_that_cannot_be_written_names_the_level(tmp_path):
    good, bad = level.read_level(TEXT, "good"), level.read_level(TEXT, "bad")
    bad.properties["k9"] = None
    path = tmp_path / "out.xml"
    path.write_bytes(b"old")
    with pytest.raises(TypeError, match="level 2: entry 'k9'"):
        level.write_export([good, bad], str(path))
    assert path.read_bytes() == b"old"
    with pytest.raises(ValueError, match="at least one level"):
        level.export_xml([])


def test_a_level_with_its_new_fields_is_a_value():
    (read,) = level.read_file(io.BytesIO(COMPACT))
    back = pickle.loads(pickle.dumps(read))
    assert back == read and back.origin.digest == read.origin.digest
    assert level.export_xml(back) == COMPACT
    for field, value in (("id", 78), ("creator", "other"), ("properties", {})):
        changed = pickle.loads(pickle.dumps(read))
        setattr(changed, field, value)
        assert changed != read


# Writing files whole --------------------------------------------------------------------


def test_a_failed_write_leaves_the_file_as_it_was(tmp_path):
    path = tmp_path / "f.xml"
    path.write_bytes(b"before")
    os.chmod(path, 0o640)
    with pytest.raises(RuntimeError):
        with atomic_output(path) as out:
            out.write(b"half")
            raise RuntimeError
    assert path.read_bytes() == b"before" and os.listdir(tmp_path) == ["f.xml"]
    write_atomic(path, b"after")
    assert path.read_bytes() == b"after" and os.listdir(tmp_path) == ["f.xml"]
    assert stat.S_IMODE(os.stat(path).st_mode) == 0o640


# Memory of hostile export files ----------------------------------------------------


class _Repeated(io.RawIOBase):
    """A binary stream of a head, `count` repeats of a body, and a tail, made
    as it is read."""

    def __init__(self, head, body, count, tail):
        super().__init__()
        self._parts = iter([head] + [body] * count + [tail])
        self._left = b""
        self.count = 0

    def readable(self):
        return True

    def readinto(self, buffer):
        while not self._left:
            self._left = next(self._parts, None)
            if self._left is None:
                return 0
        count = min(len(buffer), len(self._left))
        buffer[:count] = self._left[:count]
        self._left = self._left[count:]
        self.count += count
        return count


def test_a_huge_text_value_is_refused_once_it_passes_the_limit():
    limit = 8 << 20
    source = _Repeated(b"<plist><dict><k>k4</k><s>", b"A" * (1 << 16), 16 * 256,
                       b"</s></dict></plist>")
    stream = io.BufferedReader(source)

    def read():
        with pytest.raises(LevelError, match="export file holds a value of more than 8 MiB"):
            list(iter_export(stream, max_size=limit))

    assert peak_memory(read) < 2 * limit
    assert source.count < 2 * limit   # refused long before the end of 256 MiB


def test_many_tiny_levels_are_read_in_the_memory_of_one():
    def levels(count):
        body = b"<k>k_0</k><d><k>k2</k><s>tiny</s><k>k4</k><s>kA1,0;1,1;</s></d>"
        stream = io.BufferedReader(_Repeated(b"<plist><dict><k>_isArr</k><t />", body, count,
                                             b"</dict></plist>"))
        return lambda: sum(1 for _ in iter_export(stream))

    assert peak_memory(levels(30000)) < 4 << 20


def test_what_lies_outside_the_levels_of_a_save_is_not_kept():
    settings = "".join("<k>gv_%d</k><s>%d</s>" % (i, i) for i in range(100000))
    xml = gen.save_xml([("a", DATA)], "state").replace(
        "<k>valueKeeper</k><d>", "<k>valueKeeper</k><d>" + settings)
    data = save.encode(xml.encode())
    assert len(xml) > 2 << 20
    assert peak_memory(lambda: list(save.iter_save((data,)))) < len(data) + (3 << 20)
