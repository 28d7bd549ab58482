"""The cyclic garbage collector and levels: records that can be no part of a
cycle come out of the native module untracked.
"""
import gc
import weakref

import pytest


class Node:
    """An object that can close a cycle and be watched by a weak reference."""


@pytest.fixture
def velkc():
    from velk import _velkc

    return _velkc


# Records handed out untracked ----------------------------------------------------


@pytest.mark.parametrize("convert, text", [
    ("_object_convert", "1,1,2,15.5,3,15,4,1,57,3.1.3,18,text"),
    ("_object_convert", "1,1,57,"),
    ("_object_convert", "31,aGVsbG8=,1,1"),
    ("_color_convert", "1_255_2_0_3_0_5_1_7_0.5"),
    ("_object_convert", "1,1,57,1.2,\u0101,x"),  # not one byte a character
])
def test_records_of_plain_values_and_groups_are_untracked(velkc, convert, text):
    record = getattr(velkc, convert)(text)
    assert not gc.is_tracked(record)
    for value in record.values():
        assert not gc.is_tracked(value)


@pytest.mark.parametrize("convert, text", [
    ("_object_convert", "1,1,57,3.1,43,0a1a1a0a0"),
    ("_object_convert", "43,0a1a1a0a0,1,1"),
    ("_object_convert", "1,1,30,2"),
    ("_color_convert", "1_255_10_0a1a1a0a0"),
    ("_color_convert", "4_2"),
])
def test_records_holding_objects_stay_tracked(velkc, convert, text):
    # HSV values and enumeration members are objects the collector follows:
    # what holds them could be part of a cycle.
    assert gc.is_tracked(getattr(velkc, convert)(text))


@pytest.mark.parametrize("func, tracked", [
    (lambda key, value: int(value), False),
    (lambda key, value: [value], True),
    (lambda key, value: Node(), True),
    # CPython tracks a new tuple until a collection finds nothing in it to follow.
    (lambda key, value: (value,), True),
])
def test_converted_records_are_tracked_by_what_they_hold(velkc, func, tracked):
    assert gc.is_tracked(velkc._convert("1_2_3_4", "_", func)) is tracked


def test_groups_are_an_untracked_set(velkc):
    for text, expected in (("5.1.5", {1, 5}), ("", set()), ("+1.02", {1, 2})):
        groups = velkc._object_convert("57," + text)["57"]
        assert groups == expected and type(groups) is set and not gc.is_tracked(groups)


def test_a_cycle_through_an_untracked_record_is_collected_once_it_holds_an_object(velkc):
    record = velkc._object_convert("1,1,57,3.1")
    node = Node()
    node.record = record
    # Storing an object in the record makes CPython track it again.
    record["node"] = node
    assert gc.is_tracked(record)
    watched = weakref.ref(node)
    del node, record
    gc.collect()
    assert watched() is None


def test_a_cycle_through_an_untracked_set_stays_in_memory(velkc):
    # The price of the untracked set, as documented: the collector does not
    # see the set's reference, so it takes the node for referred to from
    # outside. Nothing crashes; breaking the cycle by hand frees both.
    groups = velkc._object_convert("57,1.2")["57"]
    node = Node()
    node.groups = groups
    groups.add(node)
    watched = weakref.ref(node)
    del node, groups
    gc.collect()
    assert watched() is not None
    watched().groups.clear()
    assert watched() is None


def test_the_collector_walks_untracked_records_held_by_tracked_ones(velkc):
    # A tracked container holding untracked records: a collection visits the
    # records through it and frees the garbage around them.
    holder = Node()
    holder.records = [velkc._object_convert("1,%d,57,1.2" % i) for i in range(1000)]
    holder.itself = holder
    watched = weakref.ref(holder)
    del holder
    gc.collect()
    assert watched() is None
