"""Typed record values in a form that `json` can write.

Enumeration members become "Class.NAME", HSV values and guidelines their
text form, sets sorted lists, infinities and NaN their Python spelling (JSON
has none), and anything else unknown its `str`.
"""
import json
import math
from typing import Any, Mapping, Type

import enums
from velk.api.guidelines import Guidelines
from velk.api.hsv import HSV

__all__ = ["JsonForm"]


class JsonForm:
    """Turns typed record values into values that `json` can write."""

    def __init__(self) -> None:
        self.enum: Type[enums.Enum] = enums.Enum
        self.dumpable = (HSV, Guidelines)

    def __call__(self, value: Any) -> Any:
        if value is None or isinstance(value, (bool, int, str)):
            return value
        if isinstance(value, float):
            return value if math.isfinite(value) else str(value)
        if isinstance(value, self.enum):
            name = getattr(value, "name", None)
            if name is None:
                return str(value)
            return "%s.%s" % (type(value).__name__, name)
        if isinstance(value, self.dumpable):
            return value.dump()
        if isinstance(value, (set, frozenset)):
            items = [self(item) for item in value]
            try:
                return sorted(items)
            except TypeError:
                return sorted(items, key=lambda item: (type(item).__name__, str(item)))
        if isinstance(value, (list, tuple)):
            return [self(item) for item in value]
        if isinstance(value, dict):
            return {str(key): self(item) for key, item in value.items()}
        return str(value)

    def record(self, record: Mapping[str, Any]) -> str:
        """One record as a line of JSON."""
        return json.dumps({str(key): self(value) for key, value in record.items()})
