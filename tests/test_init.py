"""Import of the native module: its namespace, its registration, the method
it installs on the coder class, and how it fails when a companion module is
broken.

Everything that depends on the state right after an import runs in a fresh
interpreter; the broken-companion cases run against a copy of the package
in a temporary directory, edited there."""
import builtins
import json
import shutil
import sys
import types
from pathlib import Path

import pytest

from support import EXPORTED_FUNCTIONS as FUNCTIONS, native_frames, run_python

INTERNAL_FUNCTIONS = (
    "_prepare",
    "_maybefloat",
    "_bool",
    "_ints_from_str",
    "_b64_failsafe",
    "_from_str",
    "_convert_type",
    "_parse_color",
    "_byte_xor",
)

TABLES = (
    "_INT",
    "_BOOL",
    "_FLOAT",
    "_GROUPS",
    "_HSV",
    "_ENUMS",
    "_TEXT",
    "_Z_LAYER",
    "_EASING",
    "_PULSE_MODE",
    "_PULSE_TYPE",
    "_PICKUP_MODE",
    "_TOUCH_TOGGLE",
    "_COMP",
    "_TARGET_COORDS",
    "_MAPPING",
    "_OBJECT_ADDITIONAL",
    "_COLOR_INT",
    "_COLOR_BOOL",
    "_COLOR_FLOAT",
    "_COLOR_HSV",
    "_COLOR_PLAYER",
)

MODULE_ATTRIBUTES = ("__name__", "__doc__", "__loader__", "__file__", "__package__", "__spec__")


# ---------------------------------------------------------------- helpers


def fresh_json(code, path=(), check=True, site=True):
    """Run `code` in a fresh interpreter and return the JSON object that its
    last line of output holds."""
    proc = run_python(code, path=path, check=check, site=site)
    lines = proc.stdout.strip().splitlines()
    assert lines, "no output:\n" + proc.stderr
    return json.loads(lines[-1])


class PackageCopy:
    """A copy of the velk package and of the top-level `enums` module in a
    temporary directory, the only ones that its interpreters can import.

    The Python files are copied from the folder that the package is imported
    from and the built module from the file that was loaded: one folder for
    an ordinary install, the checkout and the environment for an editable
    one. A module built in place in the source folder, which may be stale,
    is left out."""

    def __init__(self, root):
        import enums
        import velk
        import velk._velkc

        self.root = Path(root)
        source = Path(velk.__file__).resolve().parent
        shutil.copytree(
            str(source), str(self.root / "velk"),
            ignore=shutil.ignore_patterns("__pycache__", ".*", "_velkc*.so"),
        )
        built = Path(velk._velkc.__file__).resolve()
        shutil.copy2(str(built), str(self.root / "velk" / built.name))
        ignore = shutil.ignore_patterns("__pycache__", ".*")
        enums_file = Path(enums.__file__).resolve()
        if enums_file.name == "__init__.py":
            shutil.copytree(str(enums_file.parent), str(self.root / "enums"), ignore=ignore)
        else:
            shutil.copy2(str(enums_file), str(self.root / enums_file.name))
        self.originals = {}

    def path(self, relative):
        return self.root / relative

    def _remember(self, relative):
        target = self.path(relative)
        if relative not in self.originals:
            self.originals[relative] = target.read_text() if target.exists() else None
        return target

    def append(self, relative, text):
        target = self._remember(relative)
        target.write_text(target.read_text() + "\n" + text + "\n")

    def remove(self, relative):
        self._remember(relative).unlink()

    def restore_code(self):
        """Python statements that put every edited file back as it was."""
        lines = ["import os"]
        for relative, text in self.originals.items():
            target = str(self.path(relative))
            if text is None:
                lines.append("os.remove(%r)" % target)
            else:
                lines.append("open(%r, 'w').write(%r)" % (target, text))
        return "\n".join(lines)

    def run(self, code, check=True):
        """Run `code` in a fresh interpreter that finds this copy only.

        The interpreter starts without site-packages, where an editable
        install's import hook would hand out the checkout's files instead of
        the copy's. The code runs after a prologue that puts the copy at the
        head of the search path, keeps bytecode out of it, and defines `TMP`."""
        prologue = (
            "import sys\n"
            "sys.dont_write_bytecode = True\n"
            "TMP = %r\n"
            "sys.path.insert(0, TMP)\n" % str(self.root)
        )
        return fresh_json(prologue + code, path=[self.root], check=check, site=False)


@pytest.fixture
def package(tmp_path, monkeypatch):
    # The working directory heads the path of `python -c`; make it the copy,
    # so that a checkout in the current directory cannot shadow it.
    monkeypatch.chdir(str(tmp_path))
    return PackageCopy(tmp_path)


# Imports velk._velkc, expecting a failure, and reports it as JSON; then puts
# the edited files back, forgets the companion modules that were imported in
# their broken form, and imports again in the same interpreter.
FAIL_THEN_RETRY = """
import importlib, json, traceback
result = {}
try:
    import velk._velkc
except BaseException as exc:
    result["type"] = type(exc).__name__
    result["message"] = str(exc)
    result["exc_name"] = getattr(exc, "name", None)
    result["frames"] = [f.name for f in traceback.extract_tb(exc.__traceback__)]
else:
    result["type"] = None
result["left_in_modules"] = "velk._velkc" in sys.modules
%(restore)s
for name in %(purge)r:
    sys.modules.pop(name, None)
importlib.invalidate_caches()
m = importlib.import_module("velk._velkc")
from velk.utils.crypto.coders import Coder
import velk.api.enums
result["retry_from_copy"] = m.__file__.startswith(TMP)
result["retry_coder"] = Coder.byte_xor is m.byte_xor
result["retry_zlayer"] = m.ZLayer is velk.api.enums.ZLayer
result["retry_xor"] = m.byte_xor(b"abc", 0)
print(json.dumps(result))
"""


def fail_then_retry(package, purge=()):
    code = FAIL_THEN_RETRY % {"restore": package.restore_code(), "purge": list(purge)}
    return package.run(code)


def assert_retry_works(result):
    assert result["retry_from_copy"]
    assert result["retry_coder"]
    assert result["retry_zlayer"]
    assert result["retry_xor"] == "abc"


# ---------------------------------------------------------- the namespace


def test_namespace_is_exactly_the_documented_set():
    result = fresh_json(
        """
        import builtins, itertools, json
        import velk._velkc as m
        import velk.api.enums, velk.api.guidelines, velk.api.hsv
        import velk.utils.crypto.coders
        import enums
        expected = set(%r) | set(%r) | {"__builtins__", "Coder", "Guidelines", "HSV",
                                        "chain", "Enum", "__test__"}
        expected |= set(velk.api.enums.__all__)
        names = set(vars(m))
        checks = {
            "missing": sorted(expected - names),
            "extra": sorted(names - expected),
            "builtins": m.__builtins__ is builtins,
            "Coder": m.Coder is velk.utils.crypto.coders.Coder,
            "Guidelines": m.Guidelines is velk.api.guidelines.Guidelines,
            "HSV": m.HSV is velk.api.hsv.HSV,
            "chain": m.chain is itertools.chain,
            "Enum": m.Enum is enums.Enum,
            "enums": [n for n in velk.api.enums.__all__
                      if getattr(m, n) is not getattr(velk.api.enums, n)],
            "name": m.__name__,
            "package": m.__package__,
            "file": m.__file__ == m.__spec__.origin,
            "loader": m.__loader__ is m.__spec__.loader,
        }
        print(json.dumps(checks))
        """
        % (MODULE_ATTRIBUTES, FUNCTIONS)
    )
    assert result == {
        "missing": [],
        "extra": [],
        "builtins": True,
        "Coder": True,
        "Guidelines": True,
        "HSV": True,
        "chain": True,
        "Enum": True,
        "enums": [],
        "name": "velk._velkc",
        "package": "velk",
        "file": True,
        "loader": True,
    }


def test_doc_is_none_and_test_dict_is_empty(velkc):
    assert "__doc__" in vars(velkc)
    assert velkc.__doc__ is None
    assert type(velkc.__test__) is dict
    assert velkc.__test__ == {}


def test_builtins_is_the_builtins_module(velkc):
    assert velkc.__builtins__ is builtins


@pytest.mark.parametrize("name", ("__path__",) + INTERNAL_FUNCTIONS + TABLES)
def test_internal_names_are_not_attributes(velkc, name):
    assert not hasattr(velkc, name)


@pytest.mark.parametrize("name", FUNCTIONS)
def test_exported_functions_are_plain_builtins(velkc, name):
    func = getattr(velkc, name)
    assert type(func) is types.BuiltinFunctionType
    assert func.__name__ == name
    assert func.__doc__ is None
    assert func.__self__ is velkc


# ------------------------------------------------- the coder's byte_xor


def test_coder_byte_xor_is_the_module_function(velkc):
    from velk.utils.crypto.coders import Coder

    assert Coder.byte_xor is velkc.byte_xor
    installed = vars(Coder)["byte_xor"]
    assert type(installed) is staticmethod
    assert installed.__func__ is velkc.byte_xor


def test_coder_byte_xor_through_an_instance_gets_no_instance(velkc):
    from velk.utils.crypto.coders import Coder

    coder = Coder()
    assert coder.byte_xor is velkc.byte_xor
    assert coder.byte_xor(b"abc", 1) == velkc.byte_xor(b"abc", 1) == "`cb"
    assert coder.byte_xor(stream=b"abc", key=0) == "abc"
    # Were the instance passed, one argument would count as two.
    with pytest.raises(TypeError) as excinfo:
        coder.byte_xor(b"abc")
    assert str(excinfo.value) == "byte_xor() takes exactly 2 positional arguments (1 given)"
    assert native_frames(excinfo) == ["_velkc.byte_xor"]


# ------------------------------------------------- registration and reuse


def test_registered_under_bare_name(velkc):
    assert sys.modules["_velkc"] is velkc


@pytest.mark.parametrize("existing", ["module", "none"])
def test_existing_bare_name_entry_stays(existing):
    result = fresh_json(
        """
        import json, sys, types
        before = types.ModuleType("_velkc") if %r == "module" else None
        sys.modules["_velkc"] = before
        import velk._velkc
        print(json.dumps({"kept": sys.modules["_velkc"] is before,
                          "imported": sys.modules["velk._velkc"] is velk._velkc}))
        """
        % existing
    )
    assert result == {"kept": True, "imported": True}


def test_second_import_gives_the_same_module_without_running_again():
    result = fresh_json(
        """
        import importlib, json, sys
        import velk._velkc as first
        from velk.utils.crypto.coders import Coder
        marker = first.__test__
        sentinel = object()
        Coder.byte_xor = sentinel
        # Initialisation would bind `chain` again.
        del first.chain
        del sys.modules["velk._velkc"]
        second = importlib.import_module("velk._velkc")
        print(json.dumps({
            "same": second is first,
            "registered": sys.modules["velk._velkc"] is first,
            "coder_untouched": Coder.byte_xor is sentinel,
            "test_dict_kept": first.__test__ is marker,
            "chain_not_rebound": not hasattr(first, "chain"),
        }))
        """
    )
    assert result == {
        "same": True,
        "registered": True,
        "coder_untouched": True,
        "test_dict_kept": True,
        "chain_not_rebound": True,
    }


@pytest.mark.parametrize("how", ["recorded", "errors"])
def test_no_version_warning_on_the_version_built_for(how):
    result = fresh_json(
        """
        import json, warnings
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always" if %r == "recorded" else "error")
            import velk._velkc
        print(json.dumps([str(w.message) for w in caught
                          if issubclass(w.category, RuntimeWarning)]))
        """
        % how
    )
    assert result == []


def test_warnings_as_errors_from_the_command_line(monkeypatch):
    monkeypatch.setenv("PYTHONWARNINGS", "error")
    result = fresh_json(
        """
        import json
        import velk._velkc
        print(json.dumps(velk._velkc.byte_xor(b"ok", 0)))
        """
    )
    assert result == "ok"


def test_second_interpreter_is_refused(tmp_path):
    pytest.importorskip("_testcapi")
    out = tmp_path / "out.json"
    result = fresh_json(
        """
        import json, _testcapi
        import velk._velkc
        code = '''
        import json
        try:
            import velk._velkc
        except ImportError as exc:
            result = [type(exc).__name__, str(exc)]
        else:
            result = None
        open(%r, "w").write(json.dumps(result))
        '''
        _testcapi.run_in_subinterp(code)
        print(open(%r).read())
        """
        % (str(out), str(out))
    )
    assert result == [
        "ImportError",
        "Interpreter change detected - this module can only be loaded into one interpreter per process.",
    ]


# ------------------------------------------------ broken companion modules


ENUMS = "velk/api/enums.py"


def drop_from_enums(name):
    return "del %s\n__all__ = [n for n in __all__ if n != %r]" % (name, name)


def test_enums_without_zlayer(package):
    package.append(ENUMS, drop_from_enums("ZLayer"))
    result = fail_then_retry(package, purge=["velk.api.enums"])
    assert result["type"] == "NameError"
    assert result["message"] == "name 'ZLayer' is not defined"
    assert "init _velkc" in result["frames"]
    assert not result["left_in_modules"]
    assert_retry_works(result)


def test_missing_hsv_module(package):
    package.remove("velk/api/hsv.py")
    result = fail_then_retry(package)
    assert result["type"] == "ModuleNotFoundError"
    assert result["exc_name"] == "velk.api.hsv"
    assert "init _velkc" in result["frames"]
    assert not result["left_in_modules"]
    assert_retry_works(result)


def test_coders_without_coder(package):
    package.append("velk/utils/crypto/coders.py", "del Coder")
    result = fail_then_retry(package, purge=["velk.utils.crypto.coders"])
    assert result["type"] == "ImportError"
    assert result["message"] == "cannot import name Coder"
    assert "init _velkc" in result["frames"]
    assert_retry_works(result)


@pytest.mark.parametrize(
    "relative, text, error, message",
    [
        ("velk/api/guidelines.py", "raise LookupError('guidelines broke')",
         "LookupError", "guidelines broke"),
        ("velk/api/hsv.py", "del HSV.dump", "AttributeError",
         "type object 'HSV' has no attribute 'dump'"),
        ("velk/api/guidelines.py", "del Guidelines.dump", "AttributeError",
         "type object 'Guidelines' has no attribute 'dump'"),
        (
            "velk/utils/crypto/coders.py",
            "class _Frozen(type):\n"
            "    def __setattr__(cls, name, value):\n"
            "        raise TypeError('frozen ' + name)\n"
            "Coder = _Frozen('Coder', (Coder,), {})",
            "TypeError",
            "frozen byte_xor",
        ),
    ],
    ids=["companion-raises", "hsv-no-dump", "guidelines-no-dump", "coder-refuses"],
)
def test_other_companion_failures(package, relative, text, error, message):
    package.append(relative, text)
    module = relative[:-3].replace("/", ".")
    result = fail_then_retry(package, purge=[module])
    assert result["type"] == error
    assert result["message"] == message
    assert "init _velkc" in result["frames"]
    assert not result["left_in_modules"]
    assert_retry_works(result)


# Imports the copy, which must succeed, and reports what the caller asks.
IMPORT_AND_REPORT = """
import json
import velk._velkc as m
import velk.api.enums as e
assert m.__file__.startswith(TMP), m.__file__
print(json.dumps(%s))
"""


def test_underscore_name_in_all_is_bound(package):
    package.append(ENUMS, "_extra = ('extra',)\n__all__ = __all__ + ['_extra']")
    result = package.run(IMPORT_AND_REPORT % "[m._extra is e._extra, m.ZLayer is e.ZLayer]")
    assert result == [True, True]


def test_without_all_underscore_names_are_skipped(package):
    package.append(ENUMS, "_hidden = 1\ndel __all__")
    result = package.run(
        IMPORT_AND_REPORT
        % """{
            "hidden": hasattr(m, "_hidden"),
            "unbound": [n for n in vars(e) if not n.startswith("_")
                        and n not in ("chain", "Enum") and getattr(m, n, None) is not getattr(e, n)],
            "coder": m.Coder.byte_xor is m.byte_xor,
        }"""
    )
    assert result == {"hidden": False, "unbound": [], "coder": True}


@pytest.mark.parametrize(
    "name, value, message",
    [
        ("_INT", "5", "Expected set, got int"),
        ("_INT", "frozenset({'1'})", "Expected set, got frozenset"),
        ("_COLOR_BOOL", "type('S', (set,), {})()", "Expected set, got S"),
        ("_TEXT", "31", "Expected unicode, got int"),
        ("_COLOR_PLAYER", "type('T', (str,), {})('4')", "Expected unicode, got T"),
        ("_ENUMS", "[]", "Expected dict, got list"),
        ("_MAPPING", "{'a'}", "Expected dict, got set"),
    ],
)
def test_table_name_in_all_with_wrong_kind(package, name, value, message):
    package.append(ENUMS, "%s = %s\n__all__ = __all__ + [%r]" % (name, value, name))
    result = fail_then_retry(package, purge=["velk.api.enums"])
    assert result["type"] == "TypeError"
    assert result["message"] == message
    assert "init _velkc" in result["frames"]
    assert_retry_works(result)


@pytest.mark.parametrize(
    "name, value",
    [
        ("_INT", "{'18'}"),
        ("_INT", "None"),
        ("_TEXT", "'18'"),
        ("_ENUMS", "{}"),
        ("_COLOR_PLAYER", "'14'"),
    ],
)
def test_table_name_in_all_with_right_kind(package, name, value):
    package.append(ENUMS, "%s = %s\n__all__ = __all__ + [%r]" % (name, value, name))
    # The tables are built afresh after the star import: the value taken from
    # the companion module leaves no trace, neither as an attribute nor in
    # how records are read.
    result = package.run(
        IMPORT_AND_REPORT
        % (
            """[hasattr(m, %r),
                m._object_convert("1,5,18,x") == {"1": 5, "18": "x"},
                m._object_convert("30,3")["30"] is e.Easing(3),
                m._color_convert("14_x_4_1") == {"14": "x", "4": e.PlayerColor(1)}]"""
            % name
        )
    )
    assert result == [False, True, True, True]


def test_enums_without_player_colour(package):
    package.append(ENUMS, drop_from_enums("PlayerColor"))
    result = package.run(PLAYER_COLOUR_PROBE)
    assert result["ok"] == [True, True, False]
    assert result["failure"]["type"] == "NameError"
    assert result["failure"]["message"] == "name 'PlayerColor' is not defined"
    assert "_velkc._parse_color" in result["failure"]["frames"]
    assert result["failure"]["frames"][0] == "_velkc._color_convert"
    # Bound afterwards, in the module or in the builtins, the name is found
    # at the next call.
    assert result["module"] == result["builtins"] == 1


PLAYER_COLOUR_PROBE = """
import builtins, json, traceback
import velk._velkc as m
import velk.api.enums as e
assert m.__file__.startswith(TMP), m.__file__
result = {"ok": [m._color_convert("1_5_7_0.5_14_x") == {"1": 5, "7": 0.5, "14": "x"},
                 m._object_convert("30,3")["30"] is e.Easing(3),
                 hasattr(m, "PlayerColor")]}
try:
    m._color_convert("4_1")
except BaseException as exc:
    frames = [f.name for f in traceback.extract_tb(exc.__traceback__)]
    result["failure"] = {"type": type(exc).__name__, "message": str(exc),
                         "frames": [n for n in frames if n.startswith("_velkc.")]}
else:
    result["failure"] = None
m.PlayerColor = lambda number: number
result["module"] = m._color_convert("4_1")["4"]
del m.PlayerColor
builtins.PlayerColor = lambda number: number
result["builtins"] = m._color_convert("4_1")["4"]
print(json.dumps(result))
"""


# A companion module that calls the module while it is still initialising
# (it can: the module is in sys.modules under its bare name by then) finds
# tables not yet built; every function must fail cleanly or give plain text,
# never crash the interpreter.
HALF_BUILT_CALLS = """
import json
import _velkc
outcomes = {}
calls = {
    "_object_convert": ("1,2,4,1,57,1.2",),
    "_color_convert": ("1_2_5_1",),
    "_object_dump": ({"1": [1, {}], "31": "x", "2": 1.5},),
    "_color_dump": ({"1": True},),
    "_dump": ({"1": (1, 2)},),
    "_object_collect": ({"1": 2},),
    "_collect": ({"1": 2},),
    "_iter_to_str": ([{"1": 2}],),
    "byte_xor": (b"abc", 1),
}
for name, args in calls.items():
    try:
        outcomes[name] = repr(getattr(_velkc, name)(*args))
    except Exception as exc:
        outcomes[name] = type(exc).__name__
print(json.dumps(outcomes))
"""


def test_calls_during_initialisation_do_not_crash(package):
    package.append("velk/api/hsv.py", HALF_BUILT_CALLS)
    result = package.run("import velk._velkc\n")
    assert result["byte_xor"] == repr("`cb")
    assert result["_object_convert"] == repr({"1": "2", "4": "1", "57": "1.2"})
    assert set(result) == {
        "_object_convert", "_color_convert", "_object_dump", "_color_dump",
        "_dump", "_object_collect", "_collect", "_iter_to_str", "byte_xor",
    }
