"""Shared helpers for the korvath_core test suite."""
import json
import pathlib

import pytest

import korvath_core

VECTORS = pathlib.Path(__file__).resolve().parents[1] / "vectors"


def is_panic(exc: BaseException) -> bool:
    """True for the module's PanicException (it is not a module attribute)."""
    kind = type(exc)
    return kind.__qualname__ == "PanicException" and kind.__module__ == "pyo3_runtime"


def assert_panics(fn, *args, **kwargs) -> BaseException:
    """Calls fn and checks that it raises PanicException; returns the exception."""
    try:
        fn(*args, **kwargs)
    except BaseException as exc:  # PanicException derives from BaseException
        if not is_panic(exc):
            raise
        return exc
    raise AssertionError("expected PanicException, the call returned normally")


def outcome(fn, *args, **kwargs):
    """('ok', result) or ('raised', exception type name, message, notes)."""
    try:
        return ("ok", fn(*args, **kwargs))
    except BaseException as exc:
        return ("raised", type(exc).__qualname__, str(exc), getattr(exc, "__notes__", None))


def load_vectors(function_name: str):
    """Reference cases for one function (tests/vectors/<function>.json)."""
    return json.loads((VECTORS / f"{function_name}.json").read_text())


def from_json(value):
    """Turns the vectors' JSON encoding back into Python values: {"hex": ...} is bytes,
    lists stay lists (tuples are written as lists)."""
    if isinstance(value, dict) and set(value) == {"hex"}:
        return bytes.fromhex(value["hex"])
    if isinstance(value, list):
        return [from_json(v) for v in value]
    return value


def to_json_shape(value):
    """Turns a result into the vectors' shape: tuples become lists, bytes stay bytes."""
    if isinstance(value, (list, tuple)):
        return [to_json_shape(v) for v in value]
    return value


@pytest.fixture
def core():
    return korvath_core
