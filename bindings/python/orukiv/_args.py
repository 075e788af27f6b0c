"""Argument checks made before any call into the library: a wrong type
raises TypeError, a value outside the C parameter's range ValueError."""

from __future__ import annotations

import operator
from typing import Any


def integer(value: Any, name: str, lo: int, hi: int) -> int:
    if isinstance(value, bool):
        raise TypeError(f"{name} must be an integer, not bool")
    try:
        number = operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}") from None
    if not lo <= number <= hi:
        raise ValueError(f"{name} must be in {lo}..{hi}, not {number}")
    return number


def u8(value: Any, name: str) -> int:
    return integer(value, name, 0, 0xFF)


def u16(value: Any, name: str) -> int:
    return integer(value, name, 0, 0xFFFF)


def u32(value: Any, name: str) -> int:
    return integer(value, name, 0, 0xFFFFFFFF)


def i8(value: Any, name: str) -> int:
    return integer(value, name, -0x80, 0x7F)


def i16(value: Any, name: str) -> int:
    return integer(value, name, -0x8000, 0x7FFF)


def i32(value: Any, name: str) -> int:
    return integer(value, name, -0x80000000, 0x7FFFFFFF)


def data(value: Any, name: str) -> bytes:
    """Bytes of a bytes-like object (bytes, bytearray, memoryview, array)."""
    if isinstance(value, (str, int)):
        raise TypeError(f"{name} must be bytes-like, not {type(value).__name__}")
    try:
        return bytes(memoryview(value))
    except TypeError:
        raise TypeError(f"{name} must be bytes-like, not {type(value).__name__}") from None


def seconds(value: Any, name: str) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"{name} must be a number of seconds, not {type(value).__name__}")
    if not value > 0:
        raise ValueError(f"{name} must be positive, not {value}")
    return float(value)
