"""What the native module keeps between calls it owns.

The property tables, the classes compiled out of them and the last binding
of each companion name stay with the module from one call to the next.
Python code can reach the tables through gc.get_objects() and empty them,
and can drop every other reference to the classes they held: the module
must go on working from its own references, never from freed memory. The
sabotage runs in a fresh interpreter, so that a crash fails the test
instead of ending the run; under tools/asan.sh a use after free aborts that
interpreter.
"""
import gc
import json
import weakref

import pytest

from support import run_python

from velk.api.hsv import HSV

# Reads of every enumeration key, each with a member value the class has.
ENUM_READS = ("30,2", "48,1", "52,1", "79,1", "82,1", "88,1", "101,1")

FIND_TABLES = """
    import gc, json, velk.api.enums as enums, velk._velkc as m

    def tables():
        # The module's own tables, known by what they hold.
        found = {}
        for obj in gc.get_objects():
            if type(obj) is dict and obj.get("30") is enums.Easing:
                found["enums"] = obj
            elif type(obj) is dict and obj.get(bool) is int:
                found["mapping"] = obj
            elif type(obj) is dict and list(obj) == ["31"]:
                found["additional"] = obj
        return found

    def drop_everywhere(obj):
        # Removes `obj` from every dict that holds it: modules, classes,
        # the tables that are left.
        for holder in gc.get_referrers(obj):
            if type(holder) is dict:
                for key in [k for k, v in holder.items() if v is obj]:
                    del holder[key]

    def outcome(call, *args):
        try:
            return repr(call(*args))
        except Exception as exc:
            return type(exc).__name__
"""


@pytest.mark.parametrize("sabotage", [
    "table.clear()",
    "table.update(dict.fromkeys(table, int))",
], ids=["emptied", "rebound"])
def test_enumeration_classes_outlive_their_table(sabotage):
    # Each key reads through the class its table held when the module was
    # loaded, and still does once the table and every module have let go of
    # the class and the collector has run.
    code = FIND_TABLES + """
    reads = %r
    before = [outcome(m._object_convert, text) for text in reads]

    def sabotage():
        table = tables()["enums"]
        classes = list(table.values())
        %s
        for cls in classes:
            drop_everywhere(cls)

    sabotage()
    gc.collect()
    after = [outcome(m._object_convert, text) for text in reads]
    print(json.dumps({"before": before, "after": after}))
    """ % (ENUM_READS, sabotage)
    proc = run_python(code)
    result = json.loads(proc.stdout.splitlines()[-1])
    assert result["after"] == result["before"]
    assert all(read.startswith("{") for read in result["before"]), result["before"]


def test_every_call_survives_its_tables_emptied():
    # With every table that Python can reach emptied and the companion
    # classes dropped from every namespace, each exported function either
    # works or raises an ordinary exception.
    code = FIND_TABLES + """
    from velk.api.guidelines import Guidelines
    from velk.api.hsv import HSV
    member, hsv = enums.Easing(2), HSV(3, 0.5)
    guidelines = Guidelines([(0.5, "green")])

    def sabotage():
        for table in tables().values():
            table.clear()
        for cls in [getattr(enums, name) for name in enums.__all__] + [HSV, Guidelines]:
            drop_everywhere(cls)

    sabotage()
    gc.collect()
    calls = [
        (m._object_convert, "1,2,30,2,24,1,31,aGk="),
        (m._object_convert, "43,1a1a1a0a0"),
        (m._color_convert, "1_255_4_2_10_1a1a1a0a0"),
        (m._object_dump, {"30": member, "43": hsv, "11": guidelines, "31": "hi"}),
        (m._color_dump, {"4": member, "10": hsv}),
        (m._dump, {"1": [member, {"2": hsv}]}),
        (m._iter_to_str, [{"30": member}, {"11": guidelines}]),
        (m._object_collect, {"1": member}),
        (m._convert, "a_1_b_2"),
    ]
    print(json.dumps([outcome(*call) for call in calls]))
    """
    proc = run_python(code)
    outcomes = json.loads(proc.stdout.splitlines()[-1])
    assert len(outcomes) == 9
    # reading keeps the forms compiled at loading: the enumeration key still
    # reads to its member, whatever the emptied tables now say
    assert "'30': Easing.EASE_IN" in outcomes[0], outcomes[0]
    # a companion name is looked up at each call, and is gone
    assert outcomes[1] == "NameError"


def standin(**attributes):
    """A class bound for a while in place of a companion class."""
    return type("Standin", (), attributes)


@pytest.mark.parametrize("name, attributes, call", [
    ("HSV", {"from_string": staticmethod(HSV.from_string)},
     lambda m: m._object_convert("43,1a1a1a0a0")),
    ("Coder", {"do_base64": staticmethod(lambda text, encode=True: text)},
     lambda m: m._object_convert("31,aGk=")),
    ("Enum", {}, lambda m: m._object_dump({"1": 5})),
    ("chain", {"from_iterable": staticmethod(lambda items: [x for pair in items for x in pair])},
     lambda m: m._collect({"1": 2})),
    ("PlayerColor", {"__new__": lambda cls, value: value},
     lambda m: m._color_convert("4_1")),
], ids=["HSV", "Coder", "Enum", "chain", "PlayerColor"])
def test_a_replaced_binding_is_not_kept(velkc, name, attributes, call):
    # The module remembers what each companion name was last bound to; once
    # the name is bound again and looked up, the object bound before must be
    # free to go, or every rebinding would pin its object for good.
    original = getattr(velkc, name)
    replacement = standin(**attributes)
    gone = weakref.ref(replacement)
    setattr(velkc, name, replacement)
    try:
        call(velkc)
    finally:
        setattr(velkc, name, original)
    expected = call(velkc)
    del replacement
    gc.collect()
    assert gone() is None
    assert call(velkc) == expected
