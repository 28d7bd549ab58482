"""A small user of the native module, checked by mypy --strict."""
from typing import Any, Dict

from velk import _velkc


def round_trip(record: str) -> str:
    typed: Dict[str, Any] = _velkc._object_convert(record)
    return _velkc._object_collect(_velkc._object_dump(typed))


def colour_round_trip(record: str) -> str:
    return _velkc._color_collect(_velkc._color_dump(_velkc._color_convert(record)))


def untyped(record: str) -> Dict[str, Any]:
    pairs = _velkc._convert(record, ",", lambda key, value: value.upper())
    dumped = _velkc._dump(pairs, {"1": len})
    return {key: value for key, value in dumped.items()}


def joined() -> str:
    return _velkc._collect({"1": 2}, ",") + _velkc._iter_to_str([1, 2])


def secret(data: bytes) -> str:
    return _velkc.byte_xor(data, 11)
