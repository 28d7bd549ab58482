"""Levels written into the game's saves: every byte velk does not change
stays, new levels read back equal, the old save is kept as a backup that is
never overwritten, a save that does not verify is never put in place, and
an import killed or interrupted at any step leaves the old save or the new
one. Also listing levels, choosing one, and writing one out."""
import errno
import io
import os
import re
import signal
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from velk import level
from velk.level import LevelError, atomic, library, listing, output, plist, save

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tools"))
import generate_records as gen  # noqa: E402

DATA = level.encode(gen.level_string(60, seed=31))
OTHER = level.encode(gen.level_string(25, seed=32))


def created_save(tmp_path, levels=(("Newest", DATA), ("Never saved", None), ("Old", OTHER)),
                 name="created.dat", **options):
    path = tmp_path / name
    path.write_bytes(gen.save_file(list(levels), "created", **options))
    return path


def xml_of(path):
    return save.decode(Path(path).read_bytes())


def export_level(name="Imported", data=OTHER):
    (found,) = level.read_file(io.BytesIO(gen.export_file([(name, data)]).encode()))
    return found


def files_beside(path):
    return sorted(p.name for p in Path(path).parent.iterdir())


# Backups ---------------------------------------------------------------------------


@pytest.mark.parametrize("existing, expected", [
    ((), "s.dat.bak"),
    (("s.dat.bak",), "s.dat.bak.1"),
    (("s.dat.bak", "s.dat.bak.1"), "s.dat.bak.2"),
    (("s.dat.bak.1",), "s.dat.bak"),
])
@pytest.mark.parametrize("links", [True, False], ids=["hard link", "no links: copied"])
def test_a_backup_never_overwrites_another(tmp_path, monkeypatch, existing, expected, links):
    target = tmp_path / "s.dat"
    target.write_bytes(b"old")
    for name in existing:
        (tmp_path / name).write_bytes(b"earlier backup " + name.encode())
    if not links:
        def no_link(*_args, **_kwargs):
            raise OSError(errno.EPERM, "Operation not permitted")
        monkeypatch.setattr(os, "link", no_link)
    backup = atomic.replace_keeping_backup(str(target), b"new", lambda temporary: None)
    assert Path(backup).name == expected
    assert Path(backup).read_bytes() == b"old" and target.read_bytes() == b"new"
    for name in existing:
        assert (tmp_path / name).read_bytes() == b"earlier backup " + name.encode()
    assert files_beside(target) == sorted(("s.dat", expected) + existing)


def test_the_check_reads_the_new_file_from_the_disk_and_may_refuse_it(tmp_path):
    target = tmp_path / "s.dat"
    target.write_bytes(b"old")
    seen = []

    def refuse(temporary):
        seen.append(Path(temporary).read_bytes())
        raise LevelError("not what was meant")

    with pytest.raises(LevelError, match="not what was meant"):
        atomic.replace_keeping_backup(str(target), b"new", refuse)
    assert seen == [b"new"]
    assert target.read_bytes() == b"old" and files_beside(target) == ["s.dat"]


def test_a_replaced_file_keeps_its_mode_and_a_link_to_it_stays_a_link(tmp_path):
    target = tmp_path / "s.dat"
    target.write_bytes(b"old")
    target.chmod(0o640)
    link = tmp_path / "link.dat"
    link.symlink_to(target)
    backup = atomic.replace_keeping_backup(str(link), b"new", lambda temporary: None)
    assert link.is_symlink() and link.read_bytes() == b"new"
    assert backup == str(target) + ".bak"
    assert target.stat().st_mode & 0o777 == 0o640


# An unchanged save and what stays byte for byte ------------------------------------------


@pytest.mark.parametrize("kind", ["created", "state"])
def test_a_level_written_back_unchanged_gives_the_same_xml(tmp_path, kind):
    path = tmp_path / "s.dat"
    path.write_bytes(gen.save_file([("a", DATA), ("b", None), ("c", OTHER)], kind, seed=3))
    before = xml_of(path)
    for index in (1, 2, 3):
        unchanged = listing.find_level(path, index)
        done = library.replace_level(path, index, unchanged)
        assert done.changed == [index] and done.levels == 3
        assert xml_of(path) == before


def _level_values(xml):
    layout = save.Layout(xml)
    return layout, [layout.value(place) for place in layout.levels]


def test_added_levels_go_first_and_the_others_keep_their_bytes(tmp_path):
    path = created_save(tmp_path)
    before = xml_of(path)
    old_layout, old_values = _level_values(before)
    added = [export_level("First"), export_level("Second", DATA)]
    done = library.add_levels(path, added)
    assert done.changed == [1, 2] and done.levels == 5
    after = xml_of(path)
    layout, values = _level_values(after)
    assert values[2:] == old_values
    assert layout.skeleton() == old_layout.skeleton()
    assert [place.key for place in layout.created.places] == ["_isArr", "k_0", "k_1", "k_2",
                                                              "k_3", "k_4"]
    back = level.read_file(path)
    assert [found.name for found in back] == ["First", "Second", "Newest", "Never saved", "Old"]
    for given, found in zip(added, back):
        assert (found.header, found.colours, found.objects) == (
            given.header, given.colours, given.objects)


def test_a_new_created_level_has_the_entries_of_one_and_no_id(tmp_path):
    path = created_save(tmp_path)
    creator = level.read_file(path)[0].creator
    plain = level.read_level(gen.level_string(5, seed=2), name="From a level string")
    library.add_levels(path, [plain, export_level()])
    made, imported = level.read_file(path)[:2]
    assert list(made.properties) == ["kCEK", "k2", "k4", "k5", "k13", "k16", "k21", "k50",
                                     "k80"]
    assert made.properties["kCEK"] == 4 and made.creator == creator and made.id is None
    # An export file's level keeps its own values, but its id.
    assert imported.id is None and imported.properties["k21"] == 1.5
    assert imported.properties["k13"] is True and imported.creator == creator


def test_an_empty_level_is_added_without_data(tmp_path):
    path = created_save(tmp_path)
    library.add_levels(path, [level.Level(name="Blank")])
    blank = level.read_file(path)[0]
    assert blank.name == "Blank" and blank.objects == [] and "k4" not in blank.properties


@pytest.mark.parametrize("xml", [
    # Long tag names, white space and comments between entries, a key with a
    # comment, and values spelt as velk would not write them.
    b'<?xml version="1.0"?>\n<plist version="1.0">\n<dict>\n  <key>LLM_01</key>\n  <dict>\n'
    b'    <key>_isArr</key><true/>\n    <key>k_0</key> <!-- the newest -->\n    <dict><key>kCEK'
    b'</key><integer>4</integer><key>k2</key><string>Kept</string><key>k21</key><real>1.50'
    b'</real></dict>\n  </dict>\n  <key>LLM_<!-- x -->02</key><integer>037</integer>\n</dict>'
    b'\n</plist>\n',
    # No created level yet.
    b'<?xml version="1.0"?><plist version="1.0" gjver="2.0"><dict><k>LLM_01</k><d><k>_isArr</k>'
    b'<t /></d><k>LLM_02</k><i>37</i></dict></plist>',
    b'<?xml version="1.0"?><plist version="1.0" gjver="2.0"><dict><k>LLM_01</k><d /></dict>'
    b'</plist>',
], ids=["spelt otherwise", "no levels yet", "an empty element"])
def test_saves_in_other_spellings_keep_every_byte(tmp_path, xml):
    path = tmp_path / "s.dat"
    path.write_bytes(save.encode(xml))
    old_layout, old_values = _level_values(xml)
    library.add_levels(path, [export_level()])
    layout, values = _level_values(xml_of(path))
    assert values[1:] == old_values and layout.skeleton() == old_layout.skeleton()
    assert level.read_file(path)[0].name == "Imported"


@pytest.mark.parametrize("compression", ["gzip", "zlib"])
def test_a_save_keeps_its_compression(tmp_path, compression):
    path = created_save(tmp_path, compression=compression)
    library.add_levels(path, [export_level()])
    assert save.compression(path.read_bytes()) == compression


def test_replacing_a_level_keeps_its_place_key_and_id(tmp_path):
    path = tmp_path / "state.dat"
    path.write_bytes(gen.save_file([("a", DATA), ("b", OTHER)], "state", seed=4))
    before = level.read_file(path)
    old_layout, old_values = _level_values(xml_of(path))
    done = library.replace_level(path, "b", export_level("Renamed", DATA))
    assert done.changed == [2]
    after = level.read_file(path)
    assert after[0] == before[0]
    assert after[1].name == "Renamed" and after[1].id == before[1].id
    assert after[1].objects == before[0].objects
    assert after[1].properties["k6"] == before[1].properties["k6"]   # kept: not given
    layout, values = _level_values(xml_of(path))
    assert values[0] == old_values[0] and layout.skeleton() == old_layout.skeleton()
    assert [place.key for place in layout.levels] == [place.key for place in old_layout.levels]


def test_replacing_a_level_by_an_empty_one_drops_its_data(tmp_path):
    path = created_save(tmp_path)
    library.replace_level(path, 1, level.Level())
    emptied = level.read_file(path)[0]
    assert emptied.name == "Newest" and emptied.objects == []
    assert "k4" not in emptied.properties and emptied.properties["kCEK"] == 4


# Refusals: nothing is written -------------------------------------------------------------


def _game_state(tmp_path):
    path = tmp_path / "state.dat"
    path.write_bytes(gen.save_file([("a", DATA)], "state"))
    return path


def _export_file(tmp_path):
    path = tmp_path / "levels.xml"
    path.write_text(gen.export_file([("a", DATA)]))
    return path


def _no_list(tmp_path):
    path = tmp_path / "odd.dat"
    path.write_bytes(save.encode(b"<plist><dict><k>x</k><i>1</i></dict></plist>"))
    return path


def _repeated_key(tmp_path):
    path = tmp_path / "twice.dat"
    path.write_bytes(save.encode(gen.save_xml([("a", DATA), ("b", DATA)]).replace(
        "<k>k_1</k>", "<k>k_0</k>").encode()))
    return path


@pytest.mark.parametrize("make, message", [
    (_game_state, "it is the save of the game's state (downloaded levels); levels are added "
                  "to the save of created levels"),
    (_export_file, "not a save file of the game: velk reads it as export data"),
    (_no_list, "the save holds no list of created levels (no LLM_01)"),
    (_repeated_key, "the save file repeats a key among the levels under LLM_01"),
])
def test_what_is_not_a_save_of_created_levels_is_refused(tmp_path, make, message):
    path = make(tmp_path)
    before = path.read_bytes()
    with pytest.raises(LevelError, match=re.escape(message)) as caught:
        library.add_levels(path, [export_level()])
    assert caught.value.path == str(path)
    assert path.read_bytes() == before and len(files_beside(path)) == 1


@pytest.mark.parametrize("given, error, message", [
    ([], ValueError, "no levels to add"),
    ([level.Level()], LevelError, 'level 1: a level added to a save needs a name'),
    ([export_level(), level.Level(name="x", properties={"k9": False})], LevelError,
     'level 2 "x": cannot be written into a save: entry \'k9\': a property list holds no '
     'false'),
    ([level.Level(name="x", objects=[{"1": "a;b"}])], level.RecordError,
     'level 1 "x": object 0'),
])
def test_levels_that_cannot_be_added_are_refused_before_anything_is_written(
        tmp_path, given, error, message):
    path = created_save(tmp_path)
    before = path.read_bytes()
    with pytest.raises(error, match=re.escape(message)):
        library.add_levels(path, given)
    assert path.read_bytes() == before and files_beside(path) == ["created.dat"]


def _other_level_changed(xml):
    return xml.replace(b"<k>k2</k><s>Old</s>", b"<k>k2</k><s>Olt</s>")


def _outside_changed(xml):
    return xml.replace(b"<i>37</i>", b"<i>38</i>")


def _new_level_lost(xml):
    return re.sub(rb"<k>k_0</k><d>.*?</d>(?=<k>k_1</k>)", b"", xml, count=1)


@pytest.mark.parametrize("spoil, reason", [
    (_other_level_changed, "level 4 is not the same as level 3 was"),
    (_outside_changed, "what lies outside the levels is not the same"),
    (_new_level_lost, "it holds 3 levels, not 4"),
    (lambda xml: xml[:-20], "not a well-formed save file"),
])
def test_a_new_save_that_does_not_verify_is_never_put_in_place(tmp_path, monkeypatch, spoil,
                                                               reason):
    path = created_save(tmp_path)
    before = path.read_bytes()
    splice = library.with_created_levels
    monkeypatch.setattr(library, "with_created_levels",
                        lambda layout, values: spoil(splice(layout, values)))
    with pytest.raises(LevelError, match="the new save does not read back as it was written "
                       r"\(.*%s.*\); the save was left as it was" % re.escape(reason)):
        library.add_levels(path, [export_level()])
    assert path.read_bytes() == before and files_beside(path) == ["created.dat"]


def test_a_new_level_that_reads_back_different_is_never_put_in_place(tmp_path, monkeypatch):
    path = created_save(tmp_path)
    before = path.read_bytes()
    splice = library.with_created_levels
    monkeypatch.setattr(library, "with_created_levels", lambda layout, values: splice(
        layout, [value.replace(b"<k>k2</k><s>Imported</s>", b"<k>k2</k><s>Other</s>")
                 for value in values]))
    with pytest.raises(LevelError, match="level 1 does not read back equal"):
        library.add_levels(path, [export_level()])
    assert path.read_bytes() == before


def test_a_save_that_changes_meanwhile_is_left_alone(tmp_path, monkeypatch):
    path = created_save(tmp_path)
    encode = library.encode

    def game_writes_meanwhile(xml, compression):
        path.write_bytes(path.read_bytes() + b"\x0b")
        return encode(xml, compression)

    monkeypatch.setattr(library, "encode", game_writes_meanwhile)
    before_change = path.read_bytes() + b"\x0b"
    with pytest.raises(LevelError, match=r"the save changed while velk was changing it \(is "
                       r"the game running\?\)"):
        library.add_levels(path, [export_level()])
    assert path.read_bytes() == before_change and files_beside(path) == ["created.dat"]


# Killed or interrupted at every step ---------------------------------------------------------

# Runs `velk import` with os.fsync, os.replace, os.link, os.rename and the
# writes of files opened for writing counted as steps; at step AT the process
# is killed (a write first writes half of its bytes) or interrupted as by
# Ctrl-C. It prints how many steps it took when it is neither. LINKS "no"
# stands for a file system without hard links.
INTERRUPTED_IMPORT = textwrap.dedent("""
    import builtins, errno, os, signal, sys

    how, links, at, argv = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4:]
    steps = 0

    if links == "no":
        def link(*args, **kwargs):
            raise OSError(errno.EPERM, "Operation not permitted")
        os.link = link

    def step(partly=None):
        global steps
        steps += 1
        if steps != at:
            return
        if partly is not None:
            partly()
        if how == "kill":
            os.kill(os.getpid(), signal.SIGKILL)
        raise KeyboardInterrupt

    def counted(function):
        def call(*args, **kwargs):
            step()
            return function(*args, **kwargs)
        return call

    for name in ("fsync", "replace", "link", "rename"):
        setattr(os, name, counted(getattr(os, name)))

    class Writes:
        def __init__(self, stream):
            self._stream = stream
        def write(self, data):
            step(lambda: (self._stream.write(data[:len(data) // 2]), self._stream.flush()))
            return self._stream.write(data)
        def __getattr__(self, name):
            return getattr(self._stream, name)
        def __enter__(self):
            self._stream.__enter__()
            return self
        def __exit__(self, *exc_info):
            return self._stream.__exit__(*exc_info)

    def watched(opener):
        def call(file, mode="r", *args, **kwargs):
            stream = opener(file, mode, *args, **kwargs)
            return Writes(stream) if set(mode) & set("wax+") else stream
        return call

    os.fdopen = watched(os.fdopen)
    builtins.open = watched(builtins.open)

    from velk import cli
    status = cli.main(argv)
    print("steps", steps)
    sys.exit(status)
""")


def _interrupted_import(how, links, at, save_path, level_path):
    return subprocess.run(
        [sys.executable, "-c", INTERRUPTED_IMPORT, how, links, str(at), "import",
         str(save_path), str(level_path)],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True, timeout=120)


@pytest.mark.parametrize("how, links", [("kill", "yes"), ("interrupt", "yes"), ("kill", "no")])
def test_an_import_stopped_at_any_step_leaves_the_old_save_or_the_new(tmp_path, how, links):
    original = gen.save_file([("a", DATA), ("b", None)], "created")
    level_path = tmp_path / "level.xml"
    level_path.write_text(gen.export_file([("new", OTHER)]))
    work = tmp_path / "work"
    work.mkdir()
    save_path = work / "created.dat"
    save_path.write_bytes(original)
    whole = _interrupted_import(how, links, 0, save_path, level_path)
    assert whole.returncode == 0, whole.stderr
    steps = int(whole.stdout.split()[-1])
    # At least: the write, its sync, the backup's link, two syncs of the
    # directory and the rename.
    assert steps >= 6
    old, new = save.decode(original), xml_of(save_path)
    assert new != old

    for at in range(1, steps + 1):
        for leftover in work.iterdir():
            leftover.unlink()
        save_path.write_bytes(original)
        stopped = _interrupted_import(how, links, at, save_path, level_path)
        if how == "kill":
            assert stopped.returncode == -signal.SIGKILL, (at, stopped.stderr)
        else:
            assert stopped.returncode == 130, (at, stopped.stderr)
        now = xml_of(save_path)
        assert now in (old, new), at
        backups = [path for path in work.iterdir() if ".bak" in path.name]
        for backup in backups:
            assert backup.read_bytes() == original, at
        if now == new:
            assert [backup.name for backup in backups] == ["created.dat.bak"], at
        if how == "interrupt":
            # Ctrl-C cleans up: no temporary file, and no backup of a save
            # that was not replaced.
            assert files_beside(save_path) == (
                ["created.dat", "created.dat.bak"] if now == new else ["created.dat"]), at
        # The next import works whatever was left.
        again = _interrupted_import(how, links, 0, save_path, level_path)
        assert again.returncode == 0, (at, again.stderr)
        assert [found.name for found in level.read_file(save_path)][:2] == (
            ["new", "new"] if now == new else ["new", "a"]), at


# Listing, choosing, writing one level out -------------------------------------------------


EXAMPLES = ROOT / "examples"


@pytest.mark.parametrize("name", ["created-levels.dat", "game-state.dat", "level-server.txt",
                                  "levels-export.xml", "level-encoded.txt"])
def test_listing_counts_the_objects_that_reading_finds(name):
    found = list(listing.list_levels(EXAMPLES / name))
    read = level.read_file(EXAMPLES / name)
    assert [(s.index, s.name, s.creator, s.id, s.objects) for s in found] == [
        (index, lv.name, lv.creator, lv.id, len(lv.objects)) for index, lv in enumerate(read, 1)]
    assert all(s.error is None for s in found)


def test_a_level_whose_data_cannot_be_read_is_listed_with_its_error(tmp_path):
    path = created_save(tmp_path, levels=[("good", DATA), ("bad", DATA[:40]), ("empty", None)])
    found = list(listing.list_levels(path))
    assert [(s.name, s.objects) for s in found] == [("good", 60), ("bad", None), ("empty", 0)]
    assert str(found[1].error).startswith('%s: level 2 "bad": level data is truncated' % path)


NAMES = ["a", "b", "a", None]


@pytest.mark.parametrize("which, result", [
    (2, 2), ("b", 2),
    (0, "there is no level 0: the file holds 4 levels"),
    (5, "there is no level 5: the file holds 4 levels"),
    ("a", '2 levels are named "a": levels 1, 3; choose one by its index'),
    ("c", 'no level is named "c" (the names: "a", "b")'),
    ("2", 'no level is named "2"'),
])
def test_choosing_a_level(which, result):
    if isinstance(result, int):
        assert listing.choose(NAMES, which) == result
    else:
        with pytest.raises(LevelError, match=re.escape(result)):
            listing.choose(NAMES, which)


def test_find_level_reads_only_the_level_chosen(tmp_path):
    path = created_save(tmp_path, levels=[("good", DATA), ("bad", DATA[:40]), ("x", OTHER)])
    assert len(listing.find_level(path, 3)) == 25
    assert listing.find_level(path, "good").name == "good"
    with pytest.raises(LevelError, match='level 2 "bad": level data is truncated'):
        listing.find_level(path, 2)


@pytest.mark.parametrize("form", output.OUTPUT_FORMS)
def test_a_level_written_out_reads_back_equal(tmp_path, form):
    chosen = listing.find_level(EXAMPLES / "created-levels.dat", 2)
    target = tmp_path / "out"
    output.write_level_file(chosen, str(target), form)
    (back,) = level.read_file(target)
    assert (back.header, back.colours, back.objects) == (
        chosen.header, chosen.colours, chosen.objects)
    if form == "export":
        assert back.properties == chosen.properties
    stream = io.BytesIO()
    output.write_level_file(chosen, stream, form)
    assert stream.getvalue() == target.read_bytes()


def test_an_unknown_output_form_is_refused():
    with pytest.raises(ValueError, match=r"unknown form 'xml' \(choose from export, encoded, "
                       r"level\)"):
        output.level_bytes(level.Level(), "xml")


def test_the_property_list_of_a_save_is_read_only_where_the_levels_are():
    xml = gen.save_xml([("a", DATA)], "state")
    layout = save.Layout(xml.encode())
    assert list(layout.containers) == ["GLM_03"]
    # The player's settings lie outside the containers: nothing of them is
    # kept but bytes.
    assert all(place.key.isdigit() for place in layout.levels)
    assert plist.read(layout.value(layout.levels[0]))["k2"] == "a"
