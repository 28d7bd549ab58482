"""Reading and writing the records of a game's data.

The conversions themselves live in the native module ``velk._velkc``; the
pure-Python modules of this package supply the value classes it hands its
results to (``velk.api``) and the text coder (``velk.utils.crypto``).

Nothing is imported here: the native module imports those modules while it
initialises, so this package must stay importable without it.
"""

__version__ = "0.2.0"
