"""Enumerations of the game's object and colour properties.

Records store these properties as integers; reading a record turns each into
the member with that value (``Easing(2)`` is ``Easing.EASE_IN``), and writing
it back stores the member's ``value``.
"""
from enums import Enum

__all__ = [
    "ZLayer",
    "Easing",
    "PulseMode",
    "PulseType",
    "PickupItemMode",
    "TouchToggleMode",
    "InstantCountComparison",
    "TargetPosCoordinates",
    "PlayerColor",
]


class ZLayer(Enum):
    """Drawing layer of an object: four layers behind the playfield, three in
    front of it."""

    B4 = -3
    B3 = -2
    B2 = -1
    B1 = 0
    T1 = 1
    T2 = 2
    T3 = 3


class Easing(Enum):
    """Shape of the motion curve of a timed change."""

    NONE = 0
    EASE_IN_OUT = 1
    EASE_IN = 2
    EASE_OUT = 3
    ELASTIC_IN_OUT = 4
    ELASTIC_IN = 5
    ELASTIC_OUT = 6
    BOUNCE_IN_OUT = 7
    BOUNCE_IN = 8
    BOUNCE_OUT = 9
    EXPONENTIAL_IN_OUT = 10
    EXPONENTIAL_IN = 11
    EXPONENTIAL_OUT = 12
    SINE_IN_OUT = 13
    SINE_IN = 14
    SINE_OUT = 15
    BACK_IN_OUT = 16
    BACK_IN = 17
    BACK_OUT = 18


class PulseMode(Enum):
    """What a pulse sets: a plain colour or an HSV shift."""

    COLOR = 0
    HSV = 1


class PulseType(Enum):
    """What a pulse targets: a colour channel or a group of objects."""

    CHANNEL = 0
    GROUP = 1


class PickupItemMode(Enum):
    """What picking up an item does to its counter."""

    DEFAULT = 0
    PICKUP = 1
    TOGGLE = 2


class TouchToggleMode(Enum):
    """How a touch trigger switches its target."""

    DEFAULT = 0
    ON = 1
    OFF = 2


class InstantCountComparison(Enum):
    """Comparison of an instant count trigger against its target value."""

    EQUALS = 0
    LARGER = 1
    SMALLER = 2


class TargetPosCoordinates(Enum):
    """Which coordinates a move to a target position follows."""

    BOTH = 0
    X_ONLY = 1
    Y_ONLY = 2


class PlayerColor(Enum):
    """Which player colour a colour channel copies.

    Saved levels write -1 (``UNSET``) in most colour records; it and 0
    (``NONE``) both mean that the channel copies no player colour."""

    UNSET = -1
    NONE = 0
    PLAYER_1 = 1
    PLAYER_2 = 2
