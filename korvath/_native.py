"""Access to the optional native helper module ``_korvath_native``.

The helper module is built and installed beside ``korvath_core``; it holds the fast paths of
the toolkit (Newick reading and writing, in-memory gene trees, trace replay). Every function
that uses it has a pure-Python equivalent that gives the same result, so the package works
without it. Setting the environment variable ``KORVATH_PURE_PYTHON=1`` before the import
turns the native paths off (the tests compare both).
"""
from __future__ import annotations

import os
from types import ModuleType
from typing import Any

module: ModuleType | None
try:
    if os.environ.get("KORVATH_PURE_PYTHON", "") not in ("", "0"):
        raise ImportError("disabled by KORVATH_PURE_PYTHON")
    import _korvath_native as module  # type: ignore[import-not-found, no-redef]
except ImportError:
    module = None

available: bool = module is not None


def __getattr__(name: str) -> Any:
    if module is None:
        raise AttributeError(f"the native helper module is not available ({name})")
    return getattr(module, name)
