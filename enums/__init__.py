"""The enumeration base class shared by the velk package.

``Enum`` is the standard library's enumeration with a shorter repr; every
enumeration of ``velk.api.enums`` derives from it, which is how the native
codec recognises enumeration members when it writes records.
"""
import enum
from typing import Any, List

__all__ = ["Enum"]


class Enum(enum.Enum):
    """Base class of velk's enumerations.

    Members are looked up by value as usual (``ZLayer(1)``); an unknown value
    raises ValueError. ``repr`` gives ``Class.NAME`` instead of
    ``<Class.NAME: value>``; ``str`` is unchanged.
    """

    def __repr__(self) -> str:
        return "%s.%s" % (type(self).__name__, self.name)

    @classmethod
    def values(cls) -> List[Any]:
        """The members' values, in definition order."""
        return [member.value for member in cls]
