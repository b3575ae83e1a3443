"""Simulations along a species tree: gene families, copy-number profiles and genomes.

Conventions (see also the concepts page of the user guide):

* Time runs forward from the root of the :class:`~korvath.SpeciesTree` to the present. Rates
  are events per unit of that axis: duplication, transfer and loss per gene copy, origination
  per living branch (a new family appears on a branch at that rate whatever it holds).
* Branches are named by their lower node, so an event "on branch ``sp3``" happened on the
  lineage that ends at node ``sp3``.
* Families are numbered from 1, as in the files ``simulate_and_write`` writes (the engine's id
  plus one). Gene ids are the engine's own, from 0.
* Every run is reproducible from its arguments and ``seed``, bit for bit.

Every argument is checked before the core is called; a bad one raises ``TypeError`` (wrong kind)
or ``ValueError`` (out of range) naming the parameter.
"""
from __future__ import annotations

import itertools
import os
import pathlib
from typing import Any

import numpy as np
import pandas as pd

import korvath_core
from korvath import _checks
from korvath.replay import (EventLog, ExtantCopies, copies_from_core, gene_trees_from_log,
                            log_from_core, replay_trace, write_run)
from korvath.trees import SpeciesTree

__all__ = ["FamilySimulation", "simulate_families", "simulate_profiles", "simulate_genomes",
           "natural_order"]

_LETTERS = ["O", "D", "T", "L", "S"]
_I128_MAX = 2**127 - 1


def natural_order(names: list[str]) -> list[int]:
    """Positions of ``names`` in natural order, the column order of the profile tables: by the
    number formed by all the digits of a name (0 if none), then by the name itself; ``sp2``
    comes before ``sp10``. The sort is stable."""
    def key(i: int) -> tuple[int, str]:
        digits = "".join(c for c in names[i] if "0" <= c <= "9")
        number = int(digits) if digits else 0
        return (number if number <= _I128_MAX else 0, names[i])
    return sorted(range(len(names)), key=key)


def _check_tree(tree: object) -> SpeciesTree:
    if not isinstance(tree, SpeciesTree):
        raise TypeError(f"tree: expected a korvath.SpeciesTree, got {type(tree).__name__}")
    return tree


def _family_params(duplication: object, transfer: object, loss: object, origination: object,
                   families: object, seed: object, cap: object, replacement: object,
                   distance_decay: object, allow_self: object) -> dict[str, Any]:
    """The core's rate and option arguments, checked in parameter order."""
    return dict(
        duplication=_checks.rate("duplication", duplication),
        transfer=_checks.rate("transfer", transfer),
        loss=_checks.rate("loss", loss),
        origination=_checks.rate("origination", origination),
        initial_size=_checks.count("families", families),
        cap=_checks.optional_cap("cap", cap),
        seed=_checks.seed("seed", seed),
        replacement=_checks.probability("replacement", replacement),
        distance_decay=_checks.optional_decay("distance_decay", distance_decay),
        allow_self=_checks.flag("allow_self", allow_self),
    )


def _tree_args(tree: SpeciesTree) -> dict[str, Any]:
    sim = tree.simulator_arrays()
    return dict(n_nodes=sim.n_nodes, parent=sim.parent.tolist(), time=sim.time.tolist(),
                extant_leaf=sim.extant_leaf.tolist(), root=sim.root)


def _profile_frame(tree: SpeciesTree, leaves: np.ndarray, ordinal: np.ndarray,
                   family: np.ndarray, count: np.ndarray) -> pd.DataFrame:
    """Families x extant species from a sparse copy-number table (one row per leaf ordinal and
    family holding copies); families without extant copies have no row."""
    names = tree.names
    leaf_names = [names[v] for v in leaves.tolist()]
    columns = natural_order(leaf_names)
    n_leaves = len(leaves)
    families, row = np.unique(family, return_inverse=True)
    matrix = np.zeros(len(families) * n_leaves, dtype=np.uint32)
    if len(family):
        flat = row.astype(np.int64) * n_leaves + ordinal.astype(np.int64)
        np.add.at(matrix, flat, count.astype(np.uint32))
    matrix = matrix.reshape(len(families), n_leaves)[:, columns]
    return pd.DataFrame(matrix,
                        index=pd.Index(families.astype(np.int64) + 1, name="family"),
                        columns=pd.Index([leaf_names[i] for i in columns], name="species"))


def _unpack_table(table: tuple[bytes, bytes, bytes, bytes]) -> tuple[np.ndarray, ...]:
    leaves, ordinal, family, count = table
    return (np.frombuffer(leaves, dtype="<u4").astype(np.int64),
            np.frombuffer(ordinal, dtype="<u4").astype(np.int64),
            np.frombuffer(family, dtype="<u8").astype(np.int64),
            np.frombuffer(count, dtype="<u4"))


class FamilySimulation:
    """The result of :func:`simulate_families`: one gene-family run and its views.

    Attributes
    ----------
    tree : SpeciesTree
        The species tree of the run.
    params : dict
        The arguments of the run as given (rates, ``families``, ``seed``, ``cap``, ...).
    record : {"log", "trace"}
        Which core result the run kept (see :func:`simulate_families`).
    """

    def __init__(self, tree: SpeciesTree, params: dict[str, Any], core_args: dict[str, Any],
                 record: str, columns: tuple, extra: Any) -> None:
        self.tree = tree
        self.params = params
        self.record = record
        self._core_args = core_args
        self._columns: tuple | None = columns
        self._extra = extra  # leaves list (log) or packed copy-number table (trace)
        self._log: EventLog | None = None
        self._copies: ExtantCopies | None = None
        self._replayed: tuple[EventLog, ExtantCopies] | None = None
        self._events: pd.DataFrame | None = None
        self._profiles: pd.DataFrame | None = None

    def __repr__(self) -> str:
        return (f"FamilySimulation({self.n_events} events, {self.n_families} families, "
                f"record={self.record!r})")

    # ------------------------------------------------------------------ raw columns
    @property
    def log(self) -> EventLog:
        """The core's event columns as numpy arrays (:class:`korvath.replay.EventLog`): family
        ids from 0; without speciation rows when ``record="trace"``."""
        if self._log is None:
            assert self._columns is not None
            columns, self._columns = self._columns, None
            # Nothing else holds the core's lists: they are emptied as they are converted.
            self._log = log_from_core(columns, derive=True, consume=True)
        return self._log

    @property
    def n_events(self) -> int:
        """Number of rows of the core's event columns."""
        if self._log is not None:
            return len(self._log)
        assert self._columns is not None
        return len(self._columns[0])

    @property
    def n_families(self) -> int:
        """Number of families the run created (founded at the root or originated)."""
        return int(np.count_nonzero(self.log.kind == 0))

    def _full_log(self) -> tuple[EventLog, ExtantCopies]:
        """The recording run's log and extant copies (replayed from the trace if needed)."""
        if self.record == "log":
            if self._copies is None:
                self._copies = copies_from_core(self._extra)
            return self.log, self._copies
        if self._replayed is None:
            self._replayed = replay_trace(self.tree, self.log)
        return self._replayed

    # ------------------------------------------------------------------ tables
    @property
    def events(self) -> pd.DataFrame:
        """One row per event, in the order the events happened.

        Columns: ``time`` (date, float); ``event`` (categorical O, D, T, L, S: origination,
        duplication, transfer, loss, speciation; no S rows with ``record="trace"``);
        ``branch`` (species name of the branch; for S the speciating node, for T the donor);
        ``donor`` and ``recipient`` (species names on transfer rows, missing elsewhere);
        ``family`` (numbered from 1); ``gene`` (the copy the event starts from), ``child1`` and
        ``child2`` (the copies it creates; on T rows the copy staying on the donor and the one
        arriving on the recipient), as nullable integers. Species columns are categoricals
        whose categories are all node names, in node order.
        """
        if self._events is None:
            log = self.log
            names = pd.CategoricalDtype(categories=self.tree.names)
            events = pd.CategoricalDtype(categories=_LETTERS)

            def species(codes: np.ndarray) -> pd.Categorical:
                return pd.Categorical.from_codes(codes, dtype=names)

            def nullable(values: np.ndarray) -> pd.arrays.IntegerArray:
                return pd.arrays.IntegerArray(values, values < 0)

            self._events = pd.DataFrame({
                "time": log.time,
                "event": pd.Categorical.from_codes(log.kind.astype(np.int8), dtype=events),
                "branch": species(log.branch),
                "donor": species(log.donor),
                "recipient": species(log.recipient),
                "family": log.family + 1,
                "gene": nullable(log.gene),
                "child1": nullable(log.child1),
                "child2": nullable(log.child2),
            }, copy=False)
        return self._events

    @property
    def profiles(self) -> pd.DataFrame:
        """Copy numbers: one row per family with at least one extant copy (index ``family``,
        numbered from 1, ascending), one column per extant species (named, in natural order:
        ``sp2`` before ``sp10``), as in ``Profiles.tsv``. Families whose copies all died have no
        row; with no surviving family the table has no rows but keeps its columns. Values are
        uint32 counts. With ``record="trace"`` they come from the core's packed table."""
        if self._profiles is None:
            if self.record == "trace":
                leaves, ordinal, family, count = _unpack_table(self._extra)
            else:
                _, copies = self._full_log()
                leaves = copies.leaves
                position = np.full(self.tree.n_nodes, -1, dtype=np.int64)
                position[leaves] = np.arange(len(leaves))
                keys = position[copies.leaf] * (int(copies.family.max(initial=0)) + 1) \
                    + copies.family
                unique, count = np.unique(keys, return_counts=True)
                width = int(copies.family.max(initial=0)) + 1
                ordinal, family = np.divmod(unique, width)
            self._profiles = _profile_frame(self.tree, leaves, ordinal, family, count)
        return self._profiles

    @property
    def presence(self) -> pd.DataFrame:
        """Presence (1) or absence (0) of each family in each extant species: :attr:`profiles`
        turned into uint8 0/1, as in ``Presence.tsv``."""
        return (self.profiles > 0).astype(np.uint8)

    @property
    def extant_copies(self) -> pd.DataFrame:
        """Every gene copy on an extant species at the end of the run: columns ``species``
        (categorical), ``gene`` and ``family`` (from 1). Species come in the order the run
        reaches them (by date, ties by node index) and, within one, in the order of the
        species' list of copies. Gene ids are those of the recording run (``record="log"``),
        which a trace run's replay reproduces."""
        _, copies = self._full_log()
        return pd.DataFrame({
            "species": pd.Categorical.from_codes(
                copies.leaf, dtype=pd.CategoricalDtype(categories=self.tree.names)),
            "gene": copies.gene,
            "family": copies.family + 1,
        })

    # ------------------------------------------------------------------ gene trees
    def gene_trees(self, extant: bool = False) -> dict[int, str]:
        """Each family's gene tree as Newick text, built in memory.

        The texts are byte for byte the files ``gene_trees/<n>_complete.nwk`` (or
        ``<n>_extant.nwk`` with ``extant=True``) that :meth:`write` and
        ``korvath_core.simulate_and_write`` write for the same arguments, ending with ``";\\n"``.
        Leaves are ``<species>_<gene>`` (extant copy), ``LOSS_<gene>`` (lost copy) or ``<gene>``
        (copy ended by its species' extinction); internal nodes carry the gene id of the copy
        that split; branch lengths are life spans with 6 significant digits.

        With ``record="trace"`` the trees are recovered by replaying the trace against the
        species tree (:func:`korvath.replay.replay_trace`). The replay re-mints gene ids in the
        order the recording run mints them (two per duplication, transfer and copy passing a
        speciation, one per origination, in event order), so the trees equal those of the log
        route, gene ids included.

        Parameters
        ----------
        extant : bool, default False
            False: complete trees, one per family. True: trees reduced to the extant copies,
            only for families with at least one.

        Returns
        -------
        dict of int to str
            Family number (from 1) to Newick text, in ascending family number.
        """
        extant = _checks.flag("extant", extant)
        log, copies = self._full_log()
        return gene_trees_from_log(self.tree, log, copies, extant=extant)

    def write(self, outdir: str | os.PathLike[str]) -> pathlib.Path:
        """Write the run as ``korvath_core.simulate_and_write`` does: per-family event tables and
        gene trees, ``Transfers.tsv``, ``Gene_family_summary.tsv``, ``Profiles.tsv`` and
        ``Presence.tsv``.

        The folder is written from the run held in memory by the same writer that
        ``simulate_and_write`` uses (without the native helper module, by running the same
        simulation again through ``simulate_and_write``: same tree, rates and seed, so the
        same events); the present (``tree.present``) ends the extant gene branches.

        Parameters
        ----------
        outdir : str or path-like
            Output folder; created with its parents if missing.

        Returns
        -------
        pathlib.Path
            The output folder.
        """
        if not isinstance(outdir, (str, os.PathLike)):
            raise TypeError(f"outdir: expected a str or path-like, got {type(outdir).__name__}")
        path = pathlib.Path(outdir)
        for folder in (path, *path.parents):
            if folder.exists():
                if not folder.is_dir():
                    raise ValueError(f"outdir: {str(folder)!r} is a file, so the folder "
                                     f"{str(path)!r} cannot be made")
                break
        log, copies = self._full_log()
        if write_run(self.tree, log, copies, str(path)):
            return path
        args = dict(self._core_args)
        korvath_core.simulate_and_write(
            args.pop("n_nodes"), args.pop("parent"), args.pop("time"), args.pop("extant_leaf"),
            args.pop("root"), self.tree.names, total_age=float(self.tree.present),
            outdir=str(path), **args)
        return path


def simulate_families(tree: SpeciesTree, *, duplication: float, transfer: float, loss: float,
                      origination: float = 0.0, families: int = 1, seed: int,
                      cap: int | None = None, replacement: float = 0.0,
                      distance_decay: float | None = None, allow_self: bool = False,
                      record: str = "log") -> FamilySimulation:
    """Simulate gene families along a dated species tree.

    ``families`` families are founded at the root split with one copy each; afterwards every
    copy duplicates, transfers and is lost at its per-copy rates, and new families originate on
    every living branch at rate ``origination``. At a speciation a branch's copies pass to both
    daughter branches. Extinct leaves take their copies with them. The stem above the root is
    ignored: families start at the root split.

    Parameters
    ----------
    tree : SpeciesTree
        The species tree; time runs forward from its root.
    duplication, transfer, loss : float
        Rates per gene copy per unit time; finite and >= 0.
    origination : float, default 0.0
        Rate per living branch per unit time at which a new family appears; finite and >= 0.
    families : int, default 1
        Families founded at the root; >= 0.
    seed : int
        Seed of the run, 0 .. 2**64 - 1.
    cap : int or None, default None
        Largest number of copies of one family on one branch (>= 0); a duplication beyond it
        does not happen and a transfer beyond it removes copies on the recipient. None: no
        limit.
    replacement : float, default 0.0
        Probability, in [0, 1], that a transferred copy arriving on a branch that holds its
        family replaces one resident copy.
    distance_decay : float or None, default None
        None: transfer recipients are chosen uniformly among the contemporaneous branches.
        A number d >= 0: each is weighted by exp(-d x distance), the distance being the length
        of the two lineages from their most recent common ancestor to the moment of the
        transfer (twice the time since that ancestor).
    allow_self : bool, default False
        Whether the donor's own branch may receive a transfer.
    record : {"log", "trace"}, default "log"
        "log" runs ``korvath_core.simulate_log`` (every event, speciations included, and the
        copies on every extant leaf). "trace" runs ``simulate_trace``: the same events without
        the speciation rows and a packed copy-number table, several times smaller; gene trees
        are then recovered by replaying the trace against the tree.

    Returns
    -------
    FamilySimulation
        With ``.events``, ``.profiles``, ``.presence``, ``.extant_copies``, ``.gene_trees()``
        and ``.write(outdir)``.

    Raises
    ------
    TypeError, ValueError
        For an argument of the wrong kind or out of range, naming it.
    RuntimeError
        When the run exceeds the core's limit of 2e9 events (families growing without bound:
        set ``cap`` or lower the duplication and transfer rates).
    """
    tree = _check_tree(tree)
    core_params = _family_params(duplication, transfer, loss, origination, families, seed, cap,
                                 replacement, distance_decay, allow_self)
    record = _checks.choice("record", record, ("log", "trace"))
    params = dict(duplication=duplication, transfer=transfer, loss=loss,
                  origination=origination, families=families, seed=seed, cap=cap,
                  replacement=replacement, distance_decay=distance_decay, allow_self=allow_self)
    core_args = _tree_args(tree) | core_params
    run = korvath_core.simulate_log if record == "log" else korvath_core.simulate_trace
    columns, extra = run(**core_args)
    return FamilySimulation(tree, params, core_args, record, columns, extra)


_MAX_FOUNDERS_PER_RUN = 2**31


def simulate_profiles(tree: SpeciesTree, *, duplication: float, transfer: float, loss: float,
                      origination: float = 0.0, families: int = 1, seed: int,
                      cap: int | None = None, replacement: float = 0.0,
                      distance_decay: float | None = None, allow_self: bool = False,
                      copies: int = 1, threads: int = 1) -> pd.DataFrame:
    """Copy-number profiles of a gene-family simulation, without events or gene ids.

    The same model as :func:`simulate_families` (same parameters and meanings), run by the
    counts-only engine, which keeps only how many copies of each family every branch holds.

    With ``copies=1`` this is ``korvath_core.simulate_profiles``. With ``copies > 1`` the run is
    split into that many independent runs (``korvath_core.simulate_profiles_parallel``), each
    with its share of the founding families and ``origination / copies``, run on ``threads``
    worker threads; their families are numbered one after the other. Because families evolve
    independently and origination is a Poisson process, the split run has the same
    distribution as the single run, but it is a different realisation: the result depends on
    ``copies`` (and ``seed``), never on ``threads``.

    Parameters
    ----------
    tree, duplication, transfer, loss, origination, families, seed, cap, replacement, \
distance_decay, allow_self
        As in :func:`simulate_families`.
    copies : int, default 1
        Number of independent runs the simulation is split into; >= 1.
    threads : int, default 1
        Worker threads for a split run; >= 1. Changes the speed only.

    Returns
    -------
    pandas.DataFrame
        One row per family with at least one extant copy (index ``family``, from 1), one
        column per extant species (natural order of names), uint32 copy counts.
    """
    tree = _check_tree(tree)
    core_params = _family_params(duplication, transfer, loss, origination, families, seed, cap,
                                 replacement, distance_decay, allow_self)
    n_copies = _checks.count("copies", copies, minimum=1)
    n_threads = _checks.count("threads", threads, minimum=1, maximum=4096)
    # The counts engine numbers one run's founding families in 32 bits.
    share = -(-core_params["initial_size"] // n_copies)
    if share > _MAX_FOUNDERS_PER_RUN:
        over = f" over {n_copies} copies ({share} a copy)" if n_copies > 1 else ""
        raise ValueError(f"families: {core_params['initial_size']} founding families{over} are "
                         f"more than one run can hold (at most {_MAX_FOUNDERS_PER_RUN}); raise "
                         "copies or lower families")
    core_args = _tree_args(tree) | core_params
    if n_copies == 1:
        table = korvath_core.simulate_profiles(**core_args)
    else:
        table = korvath_core.simulate_profiles_parallel(**core_args, n_copies=n_copies,
                                                        n_threads=n_threads)
    leaves, ordinal, family, count = _unpack_table(table)
    return _profile_frame(tree, leaves, ordinal, family, count)


def simulate_genomes(tree: SpeciesTree, *, inversion: float, loss: float, duplication: float,
                     transfer: float, transposition: float, origination: float,
                     root_length: int, extension: float, families: int, seed: int,
                     replacement: float = 0.0, distance_decay: float | None = None,
                     allow_self: bool = False) -> pd.DataFrame:
    """Simulate genome structure: circular genomes of oriented segments along the tree.

    The root genome holds ``families`` elements of ``root_length`` positions each. Events hit a
    branch at rates proportional to its genome length: inversion, loss (deletion), duplication
    (tandem), transfer (a stretch copied into a contemporaneous branch's genome) and
    transposition (a stretch moved within the genome) act on a stretch that starts at a uniform
    position and whose length is geometric with continuation probability ``extension``; new
    elements originate at a per-branch rate.

    Parameters
    ----------
    tree : SpeciesTree
        The species tree.
    inversion, loss, duplication, transfer, transposition : float
        Rates per position (nucleotide) per unit time; finite and >= 0.
    origination : float
        Rate per living branch per unit time of a new element; finite and >= 0.
    root_length : int
        Length in positions of every founding element (and of an element that originates in an
        empty genome); >= 1.
    extension : float
        Continuation probability of a stretch length, in [0, 1]: mean length
        1 / (1 - extension); 1 makes every stretch the whole genome, 0 a single position.
    families : int
        Number of founding elements; >= 0.
    seed : int
        Seed of the run, 0 .. 2**64 - 1.
    replacement : float, default 0.0
        Accepted for symmetry with the gene-family simulators (in [0, 1]); no effect here.
    distance_decay, allow_self
        Transfer recipient choice, as in :func:`simulate_families`.

    Returns
    -------
    pandas.DataFrame
        One row per segment of every extant genome: ``species`` (categorical name), ``position``
        (order of the segment along its genome, from 0), ``offset`` (its first position in the
        genome, in positions from the genome's start), ``element`` (the ancestral element it
        comes from), ``start`` and ``end`` (the stretch of the element it holds, end exclusive)
        and ``strand`` (1 or -1). Species come in the order they are reached (by date); a
        species whose genome is empty has no rows.
    """
    tree = _check_tree(tree)
    core_params = dict(
        inversion=_checks.rate("inversion", inversion),
        loss=_checks.rate("loss", loss),
        duplication=_checks.rate("duplication", duplication),
        transfer=_checks.rate("transfer", transfer),
        transposition=_checks.rate("transposition", transposition),
        origination=_checks.rate("origination", origination),
        root_length=_checks.count("root_length", root_length, minimum=1, maximum=2**63 - 1),
        extension=_checks.probability("extension", extension),
        initial_size=_checks.count("families", families, maximum=2**32 - 1),
        seed=_checks.seed("seed", seed),
        replacement=_checks.probability("replacement", replacement),
        distance_decay=_checks.optional_decay("distance_decay", distance_decay),
        allow_self=_checks.flag("allow_self", allow_self),
    )
    samples = korvath_core.simulate_nucleotide(**(_tree_args(tree) | core_params))
    sizes = np.array([len(segments) for _, segments in samples], dtype=np.int64)
    nodes = np.array([node for node, _ in samples], dtype=np.int64)
    total = int(sizes.sum())
    flat = np.fromiter(itertools.chain.from_iterable(
        itertools.chain.from_iterable(segments for _, segments in samples)),
        dtype=np.int64, count=4 * total).reshape(total, 4)
    element, start, end, strand = flat.T
    leaf = np.repeat(nodes, sizes)
    first = np.repeat(np.cumsum(sizes) - sizes, sizes)
    position = np.arange(total, dtype=np.int64) - first
    span = end - start
    before = np.cumsum(span) - span  # positions before each segment, over all genomes
    offset = before - before[first]
    return pd.DataFrame({
        "species": pd.Categorical.from_codes(leaf, dtype=pd.CategoricalDtype(tree.names)),
        "position": position,
        "offset": offset,
        "element": element,
        "start": start,
        "end": end,
        "strand": strand.astype(np.int8),
    })
