"""JSON written as json.dump(indent=2) lays it out, as it is made: per-key
statistics of millions of keys are never one dictionary in memory."""
import json
from itertools import islice
from json.encoder import encode_basestring_ascii
from typing import Any

from velk.commands.common import TextSink
from velk.json_form import JsonForm
from velk.survey import KeyStats

__all__ = ["KEY_ROWS", "scalar", "layout", "write_json"]

# Entries of per-key statistics written at a time: a write of each costs
# more than making it.
KEY_ROWS = 4096


def scalar(value: Any) -> str:
    """A value that is neither a dictionary nor a list, as JSON."""
    if isinstance(value, str):
        return encode_basestring_ascii(value)
    if value is None or isinstance(value, bool):
        return "null" if value is None else "true" if value else "false"
    if isinstance(value, int):
        return int.__repr__(value)
    return json.dumps(value)


def layout(value: Any, indent: str) -> str:
    """`value` as json.dumps(value, indent=2) lays it out, its later lines
    indented by `indent` more; without json's indenting encoder, which is
    written in Python and several times slower, for the statistics of each
    of what can be millions of keys."""
    if isinstance(value, dict) and value:
        inner = indent + "  "
        return "{\n%s\n%s}" % (",\n".join("%s%s: %s" % (inner, scalar(str(key)),
                                                        layout(item, inner))
                                           for key, item in value.items()), indent)
    if isinstance(value, list) and value:
        inner = indent + "  "
        return "[\n%s\n%s]" % (",\n".join(inner + layout(item, inner) for item in value),
                                indent)
    if isinstance(value, (dict, list)):
        return "{}" if isinstance(value, dict) else "[]"
    return scalar(value)


def write_json(out: TextSink, value: Any, depth: int, form: JsonForm) -> None:
    """Write `value` as json.dump(indent=2) writes it, nested `depth` levels
    deep; per-key statistics (a KeyStats) are written as they are made, a
    few thousand keys at a time, never as a whole dictionary."""
    indent, inner = "  " * depth, "  " * (depth + 1)
    if isinstance(value, KeyStats):
        entries = ("%s%s: %s" % (inner, scalar(key), layout(item, inner))
                   for key, item in value.entries(form))
        separator = "{\n"
        while True:
            chunk = ",\n".join(islice(entries, KEY_ROWS))
            if not chunk:
                break
            out.write(separator + chunk)
            separator = ",\n"
        out.write("{}" if separator == "{\n" else "\n%s}" % indent)
    elif isinstance(value, dict) and value:
        separator = "{\n"
        for key, item in value.items():
            out.write("%s%s%s: " % (separator, inner, scalar(str(key))))
            write_json(out, item, depth + 1, form)
            separator = ",\n"
        out.write("\n%s}" % indent)
    elif isinstance(value, list) and value:
        separator = "[\n"
        for item in value:
            out.write(separator + inner)
            write_json(out, item, depth + 1, form)
            separator = ",\n"
        out.write("\n%s]" % indent)
    else:
        out.write(layout(value, indent))
