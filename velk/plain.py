"""Plain values of slots that pickle with every protocol, into another
process too: tasks, settings and summaries cross between processes."""
from typing import Any, Dict, Iterator, Tuple, Type, TypeVar

__all__ = ["Plain"]

_Value = TypeVar("_Value", bound="Plain")


class Plain:
    """A value held in slots. It pickles as its class and the values of
    its slots (those of its bases too), with any protocol, and is equal to
    a value of the same class with equal slots."""

    __slots__ = ()

    def _slots(self) -> Iterator[str]:
        for cls in type(self).__mro__:
            yield from getattr(cls, "__slots__", ())

    def _state(self) -> Dict[str, Any]:
        return {name: getattr(self, name) for name in self._slots()}

    def __reduce__(self) -> Tuple[Any, ...]:
        return _rebuild, (type(self), self._state())

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Plain) or type(other) is not type(self):
            return NotImplemented
        return bool(self._state() == other._state())

    # Values that change as they are filled in: not hashable.
    __hash__ = None  # type: ignore[assignment]


def _rebuild(cls: Type[_Value], state: Dict[str, Any]) -> _Value:
    value = cls.__new__(cls)
    for name, item in state.items():
        object.__setattr__(value, name, item)
    return value
