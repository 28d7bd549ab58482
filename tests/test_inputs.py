"""What the reading functions take: a text as str or bytes (or pieces of
either), a file as a path, "-", or a file object in binary or in text; and
"color" wherever "colour" goes. Anything else is a TypeError that says what
they take."""
import io
import sys
from pathlib import Path

import pytest

from velk import level, survey
from velk.level import LevelError

ROOT = Path(__file__).resolve().parent.parent
EXAMPLES = ROOT / "examples"
sys.path.insert(0, str(ROOT / "tools"))
import generate_records as gen  # noqa: E402

TEXT = "kS38,1_255_4_-1|,kA13,0;1,1,2,15.5;1,8,31,Y2Fmw6k=;"
EXPECTED = level.read_level(TEXT)


@pytest.mark.parametrize("given", [
    TEXT, TEXT.encode("utf-8"), bytearray(TEXT.encode("utf-8")),
    memoryview(TEXT.encode("utf-8")), [TEXT[:10], TEXT[10:]],
    # pieces of bytes, one cut inside the two bytes of a character
    iter([TEXT.encode()[:5], TEXT.encode()[5:]]),
])
def test_a_level_string_as_text_bytes_or_pieces(given):
    assert level.read_level(given) == EXPECTED


@pytest.mark.parametrize("read", [level.read_level, lambda text: level.split_level(text).objects,
                                  level.iter_objects])
@pytest.mark.parametrize("given, named", [(None, "not NoneType"), (5, "not int"),
                                          ({"kA13": "0"}, "not dict"),
                                          ([b"kA13,0;", 7], "not an iterable of int")])
def test_what_is_no_level_string_is_a_type_error(read, given, named):
    with pytest.raises(TypeError, match="a level string is a str or bytes, or an iterable of "
                       "its pieces, " + named):
        list(read(given))


@pytest.mark.parametrize("given", [b"kA13,0;1,\xff;", [b"kA13,0;1,", b"\xe2\x82"]])
def test_bytes_that_are_not_utf8_are_a_level_error(given):
    with pytest.raises(LevelError, match="the level string is not UTF-8 text"):
        level.read_level(given)


@pytest.mark.parametrize("given", [None, 12, ["H4sI"]])
def test_encoded_data_are_str_or_bytes(given):
    with pytest.raises(TypeError, match="load_level takes encoded level data as str or bytes"):
        level.load_level(given)


@pytest.mark.parametrize("name", ["level.txt", "level-encoded.txt", "levels-export.xml",
                                  "created-levels.dat", "level-server.txt"])
@pytest.mark.parametrize("opened", [
    lambda path: open(path, "rb"),
    lambda path: open(path, encoding="utf-8"),
    lambda path: io.StringIO(path.read_text(encoding="utf-8")),
    lambda path: io.BytesIO(path.read_bytes()),
])
def test_a_file_object_in_text_or_binary_reads_as_its_path(name, opened):
    path = EXAMPLES / name
    with opened(path) as stream:
        found = level.read_file(stream, keep_going=True)
    expected = level.read_file(path, keep_going=True)
    assert found == expected and len(found.failures) == len(expected.failures)


def test_a_text_file_object_is_surveyed_and_listed_too():
    path = EXAMPLES / "levels-export.xml"
    with open(path, encoding="utf-8") as stream:
        assert [found.objects for found in level.list_levels(stream)] == [1500, 1500]
    with open(path, encoding="utf-8") as stream:
        assert survey.survey_file(stream).totals["object"].records == 3000


@pytest.mark.parametrize("given, named", [(3, "int"), (None, "NoneType"),
                                          (level.Level(), "Level")])
@pytest.mark.parametrize("read", [level.read_file, level.list_levels, survey.survey_file])
def test_what_is_no_file_is_a_type_error(read, given, named):
    with pytest.raises(TypeError, match='a file is given as a path, "-" for standard input, or '
                       "a file object open for reading, not " + named):
        list(read(given)) if read is level.list_levels else read(given)


@pytest.mark.parametrize("head", [b"kA13,0;1,1;", "kA13,0;1,1;"])
def test_the_form_is_told_from_bytes_or_text(head):
    assert level.detect_form(head) == "level"


def test_color_is_colour():
    assert level.RecordCodec("color").kind == level.COLOUR
    assert level.RecordCodec("color").read("1_255") == {"1": 255}
    path = EXAMPLES / "colours.txt"
    assert survey.survey_file(path, kind="color").totals["colour"].records == \
        survey.survey_file(path, kind="colour").totals["colour"].records > 0
    with pytest.raises(ValueError, match="unknown kind of record 'sprite'"):
        level.RecordCodec("sprite")


@pytest.mark.parametrize("form", ["export", "encoded", "level"])
def test_a_level_is_written_to_a_text_or_binary_file_object(tmp_path, form):
    (found,) = level.read_file(EXAMPLES / "level-encoded.txt")
    binary, text = io.BytesIO(), io.StringIO()
    level.write_level_file(found, binary, form)
    level.write_level_file(found, text, form)
    assert text.getvalue().encode("utf-8") == binary.getvalue()
    (back,) = level.read_file(io.BytesIO(binary.getvalue()))
    assert back.objects == found.objects


def test_an_export_file_is_written_to_a_text_file(tmp_path):
    levels = level.read_file(EXAMPLES / "levels-export.xml")
    path = tmp_path / "copy.xml"
    with open(path, "w", encoding="utf-8") as out:
        level.write_export(levels, out)
    assert path.read_bytes() == level.export_xml(levels)
    with pytest.raises(TypeError, match="velk writes to a path or a file object open for "
                       "writing, not int"):
        level.write_export(levels, 7)


def test_a_text_stream_that_gives_no_text_is_a_type_error():
    class Odd(io.TextIOBase):
        def read(self, size=-1):
            return b"kA13,0;"

    with pytest.raises(TypeError, match="a text stream gave bytes, not str"):
        level.read_file(Odd())


def test_a_generated_file_read_from_standard_input_as_text(monkeypatch):
    text = gen.level_string(20, seed=3)
    monkeypatch.setattr(sys, "stdin", io.StringIO(text))
    (found,) = level.read_file("-")
    assert found == level.read_level(text)
