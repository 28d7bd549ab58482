"""The level API (velk.level): level data, level strings, typed levels,
export files and telling the forms apart, hostile input included."""
import base64
import io
import sys
import tracemalloc
import zlib
from pathlib import Path

import pytest

from velk import level
from velk.api.enums import PlayerColor
from velk.api.hsv import HSV
from velk.level import LevelError, RecordError
from velk.level.data import compression_of, iter_decode
from velk.level.export import iter_export
from velk.level.source import Input, detect_form
from velk.level.text import iter_records, join_header

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tools"))
import generate_records as gen  # noqa: E402

COLOURS = "1_40_2_125_3_255_4_-1_6_1000|1_255_2_255_3_255_4_1_6_1004_10_72.5a1a1a0a0|"
LEVEL = ("kS38," + COLOURS + ",kA13,0,kA14,0.5~0~0.7~0.9~1~1,kA2,0;"
         "1,1,2,15,3,15;1,8,2,45.5,3,15.25,43,71.99999999999994a0.5a1a0a0,128,0.5;")


def raw_compressed(text, compression):
    wbits = {"gzip": 31, "zlib": 15, "deflate": -15}[compression]
    compressor = zlib.compressobj(wbits=wbits)
    return compressor.compress(text.encode()) + compressor.flush()


def b64(data):
    return base64.urlsafe_b64encode(data).decode("ascii")


def bomb(gigabytes=1, compression="gzip"):
    """Encoded level data that decompress to `gigabytes` GiB of zeros, about
    1 MB per GiB: one compressed MiB of zeros, repeated (each repeat is
    byte-aligned and continues the same window), then an empty last block.
    The gzip trailer is left out: nothing may decompress that far."""
    compressor = zlib.compressobj(9, zlib.DEFLATED, -15)
    zeros = bytes(1 << 20)
    first = compressor.compress(zeros) + compressor.flush(zlib.Z_SYNC_FLUSH)
    again = compressor.compress(zeros) + compressor.flush(zlib.Z_SYNC_FLUSH)
    body = first + again * ((gigabytes << 10) - 1) + b"\x03\x00"
    header = {"gzip": b"\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03", "deflate": b""}[compression]
    return b64(header + body)


# Level data -----------------------------------------------------------------------


@pytest.mark.parametrize("compression, start", [("gzip", "H4sI"), ("zlib", "eJ"),
                                                ("deflate", "")])
def test_level_data_round_trip_in_every_compression(compression, start):
    data = level.encode(LEVEL, compression)
    assert data.startswith(start)
    assert level.decode(data) == LEVEL
    assert level.decode(data.encode("ascii")) == LEVEL
    assert compression_of(base64.urlsafe_b64decode(data)) == compression


@pytest.mark.parametrize("spelling", [
    lambda data: data.rstrip("="),                                     # padding dropped
    lambda data: data.translate(str.maketrans("-_", "+/")),            # standard alphabet
    lambda data: "\n".join(data[i:i + 76] for i in range(0, len(data), 76)) + "\r\n",
])
def test_level_data_spellings_that_occur(spelling):
    # a text whose encoded data need padding
    text = next(LEVEL + "x" * n for n in range(3)
                if len(raw_compressed(LEVEL + "x" * n, "gzip")) % 3)
    data = b64(raw_compressed(text, "gzip"))
    assert data.endswith("=")
    assert level.decode(spelling(data)) == text


def test_level_data_cut_anywhere_decodes_the_same():
    text = gen.level_string(30, seed=1)
    data = level.encode(text)
    for cut in range(0, len(data), 97):
        pieces = [data[:cut], data[cut:cut + 5], data[cut + 5:]]
        assert "".join(iter_decode(pieces)) == text


@pytest.mark.parametrize("data, message", [
    ("", "no level data"),
    (" \n", "no level data"),
    ("H4sIA", "truncated: its base64 text ends inside a byte"),
    (level.encode(LEVEL)[:40], "truncated: the compressed data end early"),
    (b64(b"\x1f\x8b\x08\x00" + bytes(40)), "corrupt"),
    (b64(b"\x78\x9c" + b"\xff" * 30), "corrupt"),
    ("H4sI!AAA", "not base64: it holds '!'"),
    ("H4sI\u00e9AAA", "not base64: it holds '\u00e9'"),
    ("H4sI==AA", "text after its \"=\" padding"),
    (b64(raw_compressed(LEVEL, "zlib") + b"junk"), "data follow the end"),
    (b64(raw_compressed(LEVEL, "gzip")[:-8] + bytes(8)), "corrupt: .*incorrect data check"),
])
def test_bad_level_data_is_one_clear_error(data, message):
    with pytest.raises(LevelError, match=message.replace("(", r"\(")) as excinfo:
        level.decode(data)
    assert "\n" not in str(excinfo.value)


def test_level_data_that_are_not_utf8():
    with pytest.raises(LevelError, match="not UTF-8"):
        level.decode(b64(zlib.compress(b"kA1,\xff;")))


@pytest.mark.parametrize("compression", ["gzip", "deflate"])
def test_a_decompression_bomb_is_refused_while_decompressing(compression):
    data = bomb(1, compression)
    assert len(data) < 2 << 20
    limit = 16 << 20
    tracemalloc.start()
    try:
        with pytest.raises(LevelError, match="more than 16 MiB, the limit"):
            for _piece in iter_decode((data,), limit):
                pass
        _, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    # What was decompressed up to the limit, beside the encoded text itself;
    # nothing of the gigabyte beyond it.
    assert peak < limit + len(data) * 3 + (2 << 20)


def test_the_size_limit_is_exact():
    text = "kA1,0;" + "1,1;" * 1000
    data = level.encode(text)
    assert level.decode(data, max_size=len(text)) == text
    with pytest.raises(LevelError, match="more than %d bytes, the limit" % (len(text) - 1)):
        level.decode(data, max_size=len(text) - 1)


def test_unknown_compression():
    with pytest.raises(ValueError, match="unknown compression 'lzma'"):
        level.encode(LEVEL, "lzma")


# Level strings -------------------------------------------------------------------


def test_level_string_splits_into_header_colours_and_objects():
    parts = level.split_level(LEVEL)
    assert list(parts.header) == ["kS38", "kA13", "kA14", "kA2"]
    assert parts.header["kA14"] == "0.5~0~0.7~0.9~1~1"
    assert parts.colours == COLOURS.split("|")[:2]
    assert list(parts.objects) == LEVEL.split(";")[1:3]
    assert join_header(parts.header) == parts.header_text


@pytest.mark.parametrize("text, records", [
    ("h;a;b;", ["h", "a", "b"]),
    ("h;a;b", ["h", "a", "b"]),           # a last record without its ";"
    ("h;a;b;\r\n", ["h", "a", "b"]),      # a line ending after the level
    ("h;;b;", ["h", "", "b"]),
    (";", [""]),
    ("", []),
])
def test_records_of_a_level_string_cut_anywhere(text, records):
    for cut in range(len(text) + 1):
        assert list(iter_records([text[:cut], "", text[cut:]])) == records


def test_header_without_colours_and_colours_without_end():
    parts = level.split_level("kA13,0;1,1;")
    assert (parts.header, parts.colours) == ({"kA13": "0"}, [])
    assert join_header(parts.header, []) == "kA13,0"
    assert join_header(parts.header, ["1_2"]) == "kA13,0,kS38,1_2|"
    assert level.split_level("kS38,1_2|3_4;").colours == ["1_2", "3_4"]
    assert level.split_level("kS38,1_2|3_4").colours == ["1_2", "3_4"]


@pytest.mark.parametrize("text", ["", "\n", [], ["", ""]])
def test_an_empty_level_is_refused(text):
    with pytest.raises(LevelError, match="the level is empty"):
        level.read_level(text)


# Typed levels -----------------------------------------------------------------------


def test_a_level_reads_into_typed_values_and_writes_back():
    read = level.read_level(LEVEL, name="demo")
    assert repr(read) == "<Level 'demo': 2 colours, 2 objects>"
    assert read.colours[0]["4"] is PlayerColor.UNSET
    assert read.colours[1]["10"] == HSV(72.5, 1, 1)
    assert read.objects[1] == {"1": 8, "2": 45.5, "3": 15.25, "128": "0.5",
                               "43": HSV.from_string("71.99999999999994a0.5a1a0a0")}
    assert level.write_level(read) == LEVEL
    assert level.load_level(level.save_level(read, "zlib")).objects == read.objects


def test_a_generated_level_comes_back_byte_identical():
    text = gen.level_string(500, seed=3)
    read = level.read_level(text)
    assert len(read.objects) == 500 and len(read.colours) == 11
    assert sum("43" in record for record in read.objects) > 250
    assert level.write_level(read) == text
    pieces = [text[i:i + 1000] for i in range(0, len(text), 1000)]
    assert list(level.iter_objects(iter(pieces))) == read.objects


@pytest.mark.parametrize("text, message, kind, index, key", [
    ("h;1,1;1,2,51,4.0;", "object 1: key 51: invalid literal for int() with base 10: '4.0'",
     "object", 1, "51"),
    ("h;1,1,43,1a1a1;", "object 0: key 43: HSV text needs 5 fields", "object", 0, "43"),
    ("kS38,1_1|4_5|,kA1,0;", "colour 1: key 4: 5 is not a valid PlayerColor",
     "colour", 1, "4"),
    ("h;2,1.2.3,1,1;", "object 0: key 2: could not convert string to float", "object", 0, "2"),
])
def test_read_errors_name_the_record_and_its_key(text, message, kind, index, key):
    with pytest.raises(RecordError) as excinfo:
        level.read_level(text)
    error = excinfo.value
    assert str(error).startswith(message)
    assert (error.kind, error.index, error.key) == (kind, index, key)
    assert isinstance(error.cause, ValueError) and error.__cause__ is error.cause


def test_read_errors_count_across_batches():
    text = "h;" + "1,1;" * 3000 + "1,x;"
    pieces = [text[i:i + 7] for i in range(0, len(text), 7)]
    with pytest.raises(RecordError, match="^object 3000: key 1: "):
        level.read_level(pieces)
    with pytest.raises(RecordError, match="^object 3000: key 1: "):
        list(level.iter_objects(pieces))


def test_write_errors_name_the_record_and_its_key():
    broken = level.Level({"kA1": "0"}, [], [{"1": 1}, {"31": 5}])
    with pytest.raises(RecordError, match=r"^object 1: key 31: the int 5 cannot be written "
                                          r"\(Expected unicode, got int\); give a str$"):
        level.write_level(broken)


def test_record_codec_kinds():
    with pytest.raises(ValueError, match="unknown kind of record 'sprite'"):
        level.RecordCodec("sprite")
    colour = level.RecordCodec(level.COLOUR)
    assert colour.write(colour.read("1_255_4_-1")) == "1_255_4_-1"
    assert colour.failing_key("1_1_2_x_3_y") == "2"
    assert colour.failing_key("1_1") is None


# Export files --------------------------------------------------------------------


def export(body, declaration='<?xml version="1.0"?>'):
    return io.BytesIO((declaration + body).encode("utf-8"))


def test_an_export_file_of_several_levels():
    data = gen.export_file([("One & two", level.encode(LEVEL)),
                            ("Second", level.encode(LEVEL, "deflate"))])
    found = list(iter_export(io.BytesIO(data.encode())))
    assert [entry.name for entry in found] == ["One & two", "Second"]
    assert [level.decode(entry.data) for entry in found] == [LEVEL, LEVEL]
    read = level.read_file(io.BytesIO(data.encode()))
    objects = level.read_level(LEVEL).objects
    assert [(entry.name, entry.objects) for entry in read] == \
        [("One & two", objects), ("Second", objects)]


@pytest.mark.parametrize("body", [
    "<d><k>k2</k><s>n</s><k>k4</k><s>%s</s></d>",
    "<plist><dict><key>k4</key><string>%s</string><key>k2</key><s>n</s></dict></plist>",
    "<d><k>k_0</k><d><k>k2</k><s>n</s><k>k4</k><s>\n%s\n</s><k>k5</k><i>3</i>"
    "<k>k6</k><r>1.5</r><k>k7</k><t/></d></d>",
])
def test_export_layouts(body):
    for data in (level.encode(LEVEL), LEVEL):   # a plain level string is taken too
        (read,) = level.read_file(export(body % data, declaration=""))
        assert read.objects == level.read_level(LEVEL).objects


@pytest.mark.parametrize("body, message", [
    ('<!DOCTYPE d [<!ENTITY a "aaaaaaaaaa"><!ENTITY b "&a;&a;&a;">]><d><k>k4</k><s>&b;</s></d>',
     "export file refused: it declares the XML entity 'a'"),
    ('<!DOCTYPE d [<!ENTITY e SYSTEM "file:///etc/passwd">]><d><k>k4</k><s>&e;</s></d>',
     "export file refused: it declares the XML entity 'e'"),
    ("<d><k>k4</k><s>&e;</s></d>", "not a well-formed export file: undefined entity"),
    ("<d><k>k4</k><s>H4sI</d>", "not a well-formed export file: mismatched tag"),
    ("<d><k>k2</k><s>no level</s></d>", "no level data in the export file: no 'k4' entry"),
    ("<d><k>k4</k><s></s></d>", "no level data: the encoded text is empty"),
    ("<d><k>k4</k><s>H4sIAAAA</s></d>", "truncated"),
])
def test_hostile_or_broken_export_files(body, message):
    with pytest.raises(LevelError, match=message):
        level.read_file(export(body))


# Forms ------------------------------------------------------------------------


@pytest.mark.parametrize("head, form", [
    (b'<?xml version="1.0"?><plist>', "export"),
    (b"\xef\xbb\xbf\n  <d><k>k4</k>", "export"),
    (b"kS38,1_2|,kA13,0;1,1;", "level"),
    (b"kA13,0", "level"),
    (b"1,1,2,15;1,2;", "level"),
    (level.encode(LEVEL).encode(), "encoded"),
    (level.encode(LEVEL).rstrip("=").encode() + b"\n", "encoded"),
    (level.encode(LEVEL, "zlib").encode(), "encoded"),
    (level.encode(LEVEL, "deflate").encode(), "encoded"),
    (b"1,1,2,15,3,15\n1,2\n", "records"),
    (b"1_255_5_1", "records"),
    (b"1_255_5_1\n1_0_5_0\n", "records"),
    (b"H4sIAAAA\nH4sIAAAA\n", "encoded"),     # base64 wrapped over lines
])
def test_the_form_is_told_from_the_content(head, form):
    assert detect_form(head) == form


def test_every_form_reads_to_the_same_level(tmp_path):
    text = gen.level_string(200, seed=8)
    encoded = level.encode(text)
    files = {"level": text + "\n", "encoded": encoded, "export": gen.export_file([("x", encoded)])}
    expected = level.read_level(text).objects
    for form, content in files.items():
        path = tmp_path / form
        path.write_text(content)
        with Input(str(path)) as found:
            assert found.form() == form
        (read,) = level.read_file(str(path))
        assert read.objects == expected
        (forced,) = level.read_file(str(path), form=form)
        assert forced.objects == expected


def test_a_record_file_holds_no_level(tmp_path):
    path = tmp_path / "records.txt"
    path.write_text("1,1\n1,2\n")
    with pytest.raises(LevelError, match="is a record file"):
        level.read_file(str(path))


def test_errors_of_a_file_name_the_file_level_record_and_key(tmp_path):
    good = gen.encoded_level(3, seed=1)
    bad = level.encode("kA13,0;1,1;1,x;")
    path = tmp_path / "levels.xml"
    path.write_text(gen.export_file([("first", good), ("second", bad), ("third", good)]))
    with pytest.raises(RecordError) as caught:
        level.read_file(str(path))
    error = caught.value
    assert error.location() == {"path": str(path), "level": 2, "level_name": "second",
                                "kind": "object", "index": 1, "key": "1"}
    assert str(error) == ('%s: level 2 "second": object 1: key 1: invalid literal for int() '
                          "with base 10: 'x'" % path)
    assert error.reason == "invalid literal for int() with base 10: 'x'"


@pytest.mark.parametrize("error", [
    LevelError("level data is corrupt"),
    LevelError("level data is corrupt", path="a.xml", level=3, level_name='say "hi"\n'),
    RecordError("colour", 4, ValueError("bad"), key="7"),
    RecordError("object", 0, TypeError("no"), writing=True).locate(path="b.txt", level=1),
])
def test_errors_pickle_with_their_location(error):
    import pickle

    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        back = pickle.loads(pickle.dumps(error, protocol))
        assert type(back) is type(error)
        assert (str(back), back.args, back.location()) == (
            str(error), error.args, error.location())
        if isinstance(error, RecordError):
            assert (type(back.cause), str(back.cause), back.writing) == (
                type(error.cause), str(error.cause), error.writing)


def test_locate_fills_only_what_is_unknown():
    error = RecordError("object", 5, ValueError("x"), key="2")
    assert error.locate(path="f", index=9, level=1) is error
    assert (error.path, error.index, error.level, str(error)) == (
        "f", 5, 1, "f: level 1: object 5: key 2: x")
    with pytest.raises(TypeError):
        error.locate(line=3)


def test_a_level_is_a_value():
    import copy
    import pickle

    text = "kS38,1_255_4_-1|,kA13,0;1,1,2,15.5,57,1.2;1,8,3,15;"
    first, second = level.read_level(text, "n"), level.read_level(text, "n")
    assert first == second and first != level.read_level(text, "other")
    assert (len(first), list(first)) == (2, first.objects)
    assert first == pickle.loads(pickle.dumps(first)) == copy.deepcopy(first)
    second.objects[1]["3"] = 16
    assert first != second
    with pytest.raises(TypeError):
        hash(first)
