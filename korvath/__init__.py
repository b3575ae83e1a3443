"""korvath: simulate gene families and genome structure along dated species trees, and
score gene trees against a species tree under a duplication-transfer-loss model.

The compiled engines live in the extension module ``korvath_core``; this package is the
layer people use: trees from Newick, validated arguments, results as pandas DataFrames and
gene trees, scoring, rate estimation and a command line.

Main entry points: :class:`SpeciesTree` (read, write and make dated species trees) and
:func:`simulate_families` (gene-family simulation with event tables, copy-number profiles and
gene trees).
"""
from __future__ import annotations

from korvath.newick import NewickError, parse_newick, parse_newick_many, read_newick_lines
from korvath.trees import LikelihoodArrays, SimulatorArrays, SpeciesTree
from korvath.simulation import (FamilySimulation, simulate_families, simulate_genomes,
                                simulate_profiles)

__version__ = "0.1.0"

__all__: list[str] = [
    "__version__",
    "NewickError",
    "parse_newick",
    "parse_newick_many",
    "read_newick_lines",
    "SpeciesTree",
    "SimulatorArrays",
    "LikelihoodArrays",
    "FamilySimulation",
    "simulate_families",
    "simulate_profiles",
    "simulate_genomes",
]

# Scoring gene trees and estimating rates.
from korvath.gene_trees import GeneTreeArrays, GeneTrees  # noqa: E402
from korvath.scoring import loglik, loglik_joint  # noqa: E402
from korvath.fitting import RateFit, fit_rates  # noqa: E402

__all__ += ["GeneTrees", "GeneTreeArrays", "loglik", "loglik_joint", "fit_rates", "RateFit"]

# Sampled reconciliations.
from korvath.reconciliation import Reconciliation, reconcile  # noqa: E402

__all__ += ["reconcile", "Reconciliation"]
