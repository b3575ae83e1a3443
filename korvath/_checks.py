"""Argument checks shared by the toolkit's public functions.

Every check names the parameter and the rule it breaks: ``TypeError`` for a value of the wrong
kind, ``ValueError`` for a value of the right kind outside its range. They run before any core
call, so that a caller never meets an internal fault of the engines for a bad argument.
"""
from __future__ import annotations

import math
import operator

import numpy as np

_U64_MAX = 2**64 - 1
_I64_MAX = 2**63 - 1


def is_integer(value: object) -> bool:
    """True for Python and numpy integers (booleans excluded)."""
    return isinstance(value, (int, np.integer)) and not isinstance(value, (bool, np.bool_))


def real(name: str, value: object) -> float:
    """A real number (int or float, not bool) as a float."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(
            value, (int, float, np.integer, np.floating)):
        raise TypeError(f"{name}: expected a real number, got {type(value).__name__}")
    try:
        return float(value)
    except OverflowError:
        raise ValueError(f"{name}: an integer of {len(str(abs(int(value))))} digits is beyond "
                         "the range of a float") from None


def rate(name: str, value: object) -> float:
    """A rate: a finite real number >= 0."""
    x = real(name, value)
    if not (math.isfinite(x) and x >= 0.0):
        raise ValueError(f"{name}: a rate must be finite and >= 0, got {x!r}")
    return x


def probability(name: str, value: object) -> float:
    """A probability: a real number in [0, 1]."""
    x = real(name, value)
    if not (0.0 <= x <= 1.0):
        raise ValueError(f"{name}: must lie in [0, 1], got {x!r}")
    return x


def count(name: str, value: object, *, minimum: int = 0, maximum: int = _U64_MAX) -> int:
    """A whole number in [minimum, maximum] (Python or numpy int; not bool, not float)."""
    if not is_integer(value):
        raise TypeError(f"{name}: expected an int, got {type(value).__name__}")
    n = operator.index(value)
    if n < minimum:
        raise ValueError(f"{name}: must be an integer >= {minimum}, got {n}")
    if n > maximum:
        raise ValueError(f"{name}: must be at most {maximum}, got {n}")
    return n


def seed(name: str, value: object) -> int:
    """A seed: an int in 0 .. 2**64 - 1."""
    return count(name, value, maximum=_U64_MAX)


def optional_cap(name: str, value: object) -> int:
    """None (no limit, passed to the core as -1) or an int >= 0."""
    if value is None:
        return -1
    return count(name, value, maximum=_I64_MAX)


def optional_decay(name: str, value: object) -> float:
    """None (uniform choice, passed to the core as -1.0) or a finite real >= 0."""
    if value is None:
        return -1.0
    x = real(name, value)
    if not (math.isfinite(x) and x >= 0.0):
        raise ValueError(f"{name}: must be None (uniform recipients) or a finite number >= 0, "
                         f"got {x!r}")
    return x


def flag(name: str, value: object) -> bool:
    """Exactly True or False (numpy booleans included)."""
    if not isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name}: expected True or False, got {type(value).__name__}")
    return bool(value)


def choice(name: str, value: object, options: tuple[str, ...]) -> str:
    """One of a few strings."""
    if not isinstance(value, str) or value not in options:
        wanted = ", ".join(repr(o) for o in options)
        raise ValueError(f"{name}: must be one of {wanted}, got {value!r}")
    return value
