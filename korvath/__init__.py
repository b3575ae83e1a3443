"""korvath: simulate gene families and genome structure along dated species trees, and
score gene trees against a species tree under a duplication-transfer-loss model.

The compiled engines live in the extension module ``korvath_core``; this package is the
layer people use: trees from Newick, validated arguments, results as pandas DataFrames and
gene trees, scoring, rate estimation and a command line.
"""
from __future__ import annotations

__version__ = "0.1.0"

__all__: list[str] = ["__version__"]
