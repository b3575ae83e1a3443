"""Scoring gene trees against a species tree: per-family and joint log-likelihoods.

Three models of duplication, transfer and loss along the species tree are available:

``"dated"``
    Rates per gene copy per unit time, as in the simulators (:func:`korvath.simulate_families`).
    Transfers go to branches alive at the same date. Probabilities are integrated backwards
    in time on a grid cut at the species tree's node dates, each grid interval taking at least
    ``n_steps`` Euler steps (more where the rates make events likely). Needs a dated tree
    (a positive height).
``"undated"``
    No time: the three rates are measured against a speciation rate of 1 on every branch
    (an event on a branch is a duplication, transfer, loss or speciation with probabilities
    proportional to ``duplication``, ``transfer``, ``loss`` and 1). Transfers go to any other
    branch.
``"reldated"``
    As ``"undated"``, but transfers go only to branches whose time spans overlap the donor's.

Families start at the root (``origination="root"``: the dated model starts them at the root
split, the undated models on the root branch) or on a branch chosen uniformly
(``origination="uniform"``). Values are natural logarithms, not conditioned on survival.

Every call checks its arguments before the compiled core runs. Work can be split over threads
(``threads=N``) or a ``dask.distributed`` cluster (``client=``); per-family values are the same
bits whichever way they are computed, and joint sums are taken in family order, so those are too.
"""
from __future__ import annotations

import contextlib
import itertools
import os
import signal
import threading
import warnings
from dataclasses import dataclass
from typing import Any, Callable, Iterator, Sequence

import numpy as np
import pandas as pd

import korvath_core
from korvath import _checks
from korvath.clades import CladeArrays
from korvath.gene_trees import GeneTreeArrays, GeneTrees
from korvath.trees import LikelihoodArrays, SpeciesTree

__all__ = ["loglik", "loglik_joint", "MODELS", "ORIGINATIONS", "DEFAULT_N_STEPS"]

MODELS = ("undated", "reldated", "dated")
ORIGINATIONS = ("root", "uniform")
DEFAULT_N_STEPS = 20
RATE_NAMES = ("duplication", "transfer", "loss")

# Gene-tree nodes per piece of work: small enough that a long call stops soon after Ctrl-C and
# that threads share the work evenly, large enough that building the model once per piece
# costs little next to scoring it. The dated model costs a few hundredths of a second per
# 2,000 nodes and its grid little more; the undated models score a node some twenty times
# faster, while building their model costs as much as about 2,000 nodes, so their pieces are
# larger by _UNDATED_CHUNK_SCALE (a piece still takes about a tenth of a second).
_NODES_PER_CHUNK = 2000
_UNDATED_CHUNK_SCALE = 12
# Pieces sent to a cluster are larger: each one is a round trip.
_NODES_PER_REMOTE_CHUNK = 20000


@dataclass(frozen=True)
class _Settings:
    model: str
    n_steps: int
    origination: int  # the core's code: 0 root, 1 uniform


def _check_settings(species_tree: object, model: object, n_steps: object,
                    origination: object) -> tuple[SpeciesTree, _Settings]:
    if not isinstance(species_tree, SpeciesTree):
        raise TypeError(f"species_tree: expected a SpeciesTree, got {type(species_tree).__name__}")
    model = _checks.choice("model", model, MODELS)
    origination = _checks.choice("origination", origination, ORIGINATIONS)
    if model == "dated":
        steps = DEFAULT_N_STEPS if n_steps is None else _checks.count("n_steps", n_steps,
                                                                      minimum=1)
        if not species_tree.height > 0:
            raise ValueError("species_tree: the dated model needs a dated species tree (its "
                             "height is 0: every extant leaf is dated at the root)")
    else:
        if n_steps is not None:
            raise ValueError(f"n_steps: applies to the dated model only (model={model!r})")
        steps = 0
    if model == "dated":
        arrays = species_tree.likelihood_arrays()
        _warn_short_branches(species_tree, arrays)
    if origination == "root" and model == "dated":
        if arrays.sp_is_leaf[arrays.sp_root]:
            raise ValueError("species_tree: with origination='root' the dated model needs at "
                             "least two extant species (families start at the root split)")
    return species_tree, _Settings(model, steps, 0 if origination == "root" else 1)


def _warn_short_branches(species_tree: SpeciesTree, arrays: LikelihoodArrays) -> None:
    """Warns of branches the dated model leaves out (length 1e-9 or less, the root's stem
    aside): a lineage at the split above one has probability 0 there, so every family that
    reaches such a split scores -inf."""
    short = (arrays.sp_time - arrays.sp_parent_time) <= 1e-9
    short[arrays.sp_root] = False
    if not short.any():
        return
    names = [species_tree.names[int(arrays.node_of[k])] or f"node {int(arrays.node_of[k])}"
             for k in np.flatnonzero(short)]
    listed = ", ".join(repr(name) for name in names[:5]) + (", ..." if len(names) > 5 else "")
    warnings.warn(
        f"species_tree: {len(names)} branch{'es' if len(names) > 1 else ''} of length 1e-9 or "
        f"less ({listed}): the dated model leaves them out and gives a gene at the split "
        "above one probability 0, so every family that reaches such a split scores -inf; "
        "give them a length or use an undated model",
        UserWarning, stacklevel=4)


def _check_rates(duplication: object, transfer: object, loss: object) -> tuple[float, float, float]:
    return (_checks.rate("duplication", duplication), _checks.rate("transfer", transfer),
            _checks.rate("loss", loss))


def _physical_memory() -> int:
    """Bytes of physical memory (1 TiB when the system cannot say), as the core reads it."""
    try:
        pages, page = os.sysconf("SC_PHYS_PAGES"), os.sysconf("SC_PAGE_SIZE")
    except (AttributeError, ValueError, OSError):
        return 1 << 40
    return pages * page if pages > 0 and page > 0 else 1 << 40


def _check_dated_grid(species_tree: SpeciesTree, settings: _Settings,
                      rates: tuple[float, float, float],
                      names: str = "duplication, transfer, loss, n_steps") -> None:
    """Refuses, naming the rates and n_steps, a dated time grid larger than the machine.

    Over each interval h of the grid (the species nodes' times) the core takes
    max(n_steps, ceil(4 R h)) Euler steps, R = duplication + transfer + loss, and holds a few
    vectors over the branches alive there at every step. Beyond physical memory it could only
    stop with an internal error, so the sizes are worked out here first, the same way.
    """
    if settings.model != "dated":
        return
    arrays = species_tree.likelihood_arrays()
    total_rate = (rates[0] + rates[1]) + rates[2]
    # Dates near the double range round to infinity on the grid, as in the core; the sizes
    # are then infinite or NaN, and refused.
    with np.errstate(over="ignore", invalid="ignore"):
        grid = np.union1d(np.round(arrays.sp_time * 1e12) / 1e12, [0.0])
        if grid.size < 2:
            return
        alive = arrays.sp_time - arrays.sp_parent_time > 1e-9
        first = np.searchsorted(grid[:-1], arrays.sp_parent_time[alive] - 1e-9, side="left")
        last = np.searchsorted(grid[1:], arrays.sp_time[alive] + 1e-9, side="right")
        change = np.zeros(grid.size, dtype=np.float64)
        np.add.at(change, first, 1.0)
        np.add.at(change, np.maximum(last, first), -1.0)
        width = np.cumsum(change)[:-1]
        steps = np.maximum(float(settings.n_steps), np.ceil(total_rate * np.diff(grid) * 4.0))
        doubles = float(np.sum(3.0 * (steps + 1.0) * width))
    memory = _physical_memory()
    if not doubles * 8.0 <= memory:
        raise ValueError(
            f"{names}: with a total rate of {total_rate:g} per "
            f"unit time over a species tree of height {species_tree.height:g}, and "
            f"n_steps={settings.n_steps}, the dated model takes {float(np.sum(steps)):.3g} "
            f"Euler steps, whose vectors need {doubles * 8.0 / 1e9:.3g} GB, more than this "
            f"machine's {memory / 1e9:.3g} GB; lower the rates or n_steps")


def _check_threads(threads: object) -> int:
    return _checks.count("threads", threads, minimum=1, maximum=4096)


def _check_client(client: object) -> Any:
    if client is None:
        return None
    if not all(hasattr(client, name) for name in ("scatter", "map", "gather", "cancel")):
        raise TypeError("client: expected a dask.distributed Client, got "
                        f"{type(client).__name__}")
    return client


def _species_args(tree: SpeciesTree, settings: _Settings) -> dict[str, Any]:
    a = tree.likelihood_arrays()
    args: dict[str, Any] = dict(sp_left=a.sp_left, sp_right=a.sp_right,
                                sp_is_leaf=a.sp_is_leaf, sp_time=a.sp_time,
                                sp_parent_time=a.sp_parent_time, sp_root=int(a.sp_root))
    if settings.model == "dated":
        args = dict(sp_parent=a.sp_parent, **args)
    return args


def _gene_arrays(species_tree: SpeciesTree, gene_trees: object) -> GeneTreeArrays | CladeArrays:
    if not isinstance(gene_trees, GeneTrees):
        raise TypeError(f"gene_trees: expected GeneTrees, got {type(gene_trees).__name__}")
    own = gene_trees.species_tree
    if own is not species_tree and not (
            own.names == species_tree.names and np.array_equal(own.parent, species_tree.parent)
            and np.array_equal(own.extant, species_tree.extant)):
        raise ValueError("gene_trees: read against a different species tree; read them with "
                         "GeneTrees.from_newick(..., species_tree) for this tree")
    if gene_trees.is_clade_graph:
        return gene_trees.clade_arrays()
    return gene_trees.arrays()


def _unit_sizes(arrays: GeneTreeArrays | CladeArrays) -> np.ndarray:
    """Work per family: nodes of a tree, or clades plus splits of a clade graph."""
    if isinstance(arrays, CladeArrays):
        offsets = arrays.cl_offsets.astype(np.int64)
        splits = arrays.cl_split_offsets.astype(np.int64)[offsets]
        return np.diff(offsets) + np.diff(splits)
    return np.diff(arrays.gt_offsets.astype(np.int64))


def _nodes_per_piece(sizes: np.ndarray, settings: _Settings, threads: int, client: Any) -> int:
    """Nodes per piece: the model's piece size, evened out so that the number of pieces is a
    multiple of the threads (each thread gets an equal share of the batch)."""
    if client is not None:
        return _NODES_PER_REMOTE_CHUNK
    per_piece = _NODES_PER_CHUNK * (1 if settings.model == "dated" else _UNDATED_CHUNK_SCALE)
    total = int(sizes.sum())
    if total == 0:
        return per_piece
    n_pieces = -(-total // per_piece)
    n_pieces = -(-n_pieces // threads) * threads
    return max(1, -(-total // n_pieces))


def _chunk_bounds(sizes: np.ndarray, nodes_per_chunk: int) -> list[tuple[int, int]]:
    """Contiguous ranges of families of about ``nodes_per_chunk`` nodes (at least one family)."""
    n = len(sizes)
    if n == 0:
        return []
    ends = np.cumsum(sizes)
    bounds = []
    a = 0
    while a < n:
        base = int(ends[a - 1]) if a else 0
        b = int(np.searchsorted(ends, base + nodes_per_chunk, side="right"))
        b = min(max(b, a + 1), n)
        bounds.append((a, b))
        a = b
    return bounds


def _chunk_args(arrays: GeneTreeArrays | CladeArrays, a: int, b: int) -> dict[str, np.ndarray]:
    if isinstance(arrays, CladeArrays):
        offsets = arrays.cl_offsets[a:b + 1]
        lo, hi = int(offsets[0]), int(offsets[-1])
        split_offsets = arrays.cl_split_offsets[lo:hi + 1]
        s_lo, s_hi = int(split_offsets[0]), int(split_offsets[-1])
        return dict(cl_offsets=offsets - np.uint64(lo), cl_is_leaf=arrays.cl_is_leaf[lo:hi],
                    cl_species=arrays.cl_species[lo:hi],
                    cl_split_offsets=split_offsets - np.uint64(s_lo),
                    split_left=arrays.split_left[s_lo:s_hi],
                    split_right=arrays.split_right[s_lo:s_hi],
                    split_weight=arrays.split_weight[s_lo:s_hi])
    offsets = arrays.gt_offsets[a:b + 1]
    lo, hi = int(offsets[0]), int(offsets[-1])
    return dict(gt_offsets=offsets - np.uint64(lo), gt_is_leaf=arrays.gt_is_leaf[lo:hi],
                gt_left=arrays.gt_left[lo:hi], gt_right=arrays.gt_right[lo:hi],
                gt_species=arrays.gt_species[lo:hi])


def _score_chunk(species: dict[str, Any], chunk: dict[str, np.ndarray], settings: _Settings,
                 rates: tuple[float, float, float]) -> list[float]:
    """Per-family log-likelihoods of one piece of a batch (also run on cluster workers)."""
    dup, transfer, loss = rates
    if "cl_offsets" in chunk and settings.model == "dated":
        return korvath_core.dated_clade_loglik(
            **species, **chunk, dup=dup, transfer=transfer, loss=loss,
            n_steps=settings.n_steps, origination=settings.origination)
    if "cl_offsets" in chunk:
        return korvath_core.undated_clade_loglik(
            **species, **chunk, dup=dup, transfer=transfer, loss=loss,
            transfers=1 if settings.model == "reldated" else 0, origination=settings.origination)
    if settings.model == "dated":
        return korvath_core.dated_family_loglik(
            **species, **chunk, dup=dup, transfer=transfer, loss=loss,
            n_steps=settings.n_steps, origination=settings.origination)
    return korvath_core.undated_family_loglik(
        **species, **chunk, dup=dup, transfer=transfer, loss=loss,
        transfers=1 if settings.model == "reldated" else 0, origination=settings.origination)


def _score_remote(chunk: dict[str, np.ndarray], species: dict[str, Any], settings: _Settings,
                  rates: tuple[float, float, float]) -> list[float]:
    """:func:`_score_chunk` with the piece first, as ``Client.map`` passes it."""
    return _score_chunk(species, chunk, settings, rates)


_EMPTY_BATCH = dict(gt_offsets=[0], gt_is_leaf=[], gt_left=[], gt_right=[], gt_species=[])


def _extinct_term(species: dict[str, Any], settings: _Settings,
                  rates: tuple[float, float, float], n_extinct: int) -> float:
    """n_extinct times the log-probability that a family leaves no gene (0.0 for none)."""
    if n_extinct == 0:
        return 0.0
    dup, transfer, loss = rates
    if settings.model == "dated":
        return korvath_core.dated_joint_loglik(
            **species, **_EMPTY_BATCH, dup=dup, transfer=transfer, loss=loss,
            n_steps=settings.n_steps, origination=settings.origination, n_extinct=n_extinct)
    return korvath_core.undated_joint_loglik(
        **species, **_EMPTY_BATCH, dup=dup, transfer=transfer, loss=loss,
        transfers=1 if settings.model == "reldated" else 0, origination=settings.origination,
        n_extinct=n_extinct)


def in_order_sum(values: Sequence[float], start: float = 0.0) -> float:
    """``((start + v0) + v1) + ...``: the joint sum in family order, as the core takes it."""
    total = start
    for v in values:
        total += v
    return total


def _run_on_threads(n_threads: int, n_items: int, work: Callable[[int], list[float]],
                    progress: Callable[[int], None] | None) -> list[list[float]]:
    """work(i) for i in 0..n_items-1 on up to n_threads threads, pieces taken in order.

    The core lets go of the interpreter lock while it scores, so the threads run at once. On
    KeyboardInterrupt (or a failed piece) no further piece starts; the pieces being scored run
    to their end (a fraction of a second) before the exception reaches the caller.
    """
    results: list[list[float] | None] = [None] * n_items
    claim = itertools.count()
    claim_lock = threading.Lock()
    stop = threading.Event()
    failures: list[tuple[int, BaseException]] = []
    finished = threading.Semaphore(0)

    def worker() -> None:
        while not stop.is_set():
            with claim_lock:
                i = next(claim)
            if i >= n_items:
                return
            try:
                results[i] = work(i)
            except BaseException as exc:  # the core's PanicException is a BaseException
                failures.append((i, exc))
                stop.set()
                return
            finally:
                finished.release()

    # Not daemon threads: a thread still inside the core when the interpreter exits would be
    # stopped there; the interpreter waits for these instead.
    threads = [threading.Thread(target=worker, name=f"korvath-score-{k}")
               for k in range(min(n_threads, n_items))]
    started: list[threading.Thread] = []
    try:
        with _ctrl_c_deferred():
            for t in threads:
                started.append(t)
                t.start()
        done = 0
        while any(t.is_alive() for t in started):
            # A timed wait keeps the main thread responsive to Ctrl-C.
            if finished.acquire(timeout=0.1):
                done += 1
                if progress is not None:
                    progress(done)
    except BaseException:
        stop.set()
        _join_all(started)
        raise
    _join_all(started)
    if failures:
        raise min(failures, key=lambda f: f[0])[1]
    # Pieces that ended after the last wait (all of them, when the threads were done before
    # the first): every piece is reported.
    while finished.acquire(blocking=False):
        done += 1
        if progress is not None:
            progress(done)
    return results  # type: ignore[return-value]


@contextlib.contextmanager
def _ctrl_c_deferred() -> Iterator[None]:
    """Hold SIGINT back from the main thread while the scoring threads start.

    A KeyboardInterrupt raised inside ``Thread.start()`` can leave a thread that was created but
    not yet registered, which nobody then joins. With SIGINT blocked, Ctrl-C arrives once every
    thread has started (the threads inherit the blocked signal, so it still goes to the main
    thread, where Python handles it). Elsewhere than the main thread, or without POSIX signal
    masks, nothing is done: only the main thread receives KeyboardInterrupt.
    """
    if (threading.current_thread() is not threading.main_thread()
            or not hasattr(signal, "pthread_sigmask")):
        yield
        return
    previous = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, previous)


def _join_all(threads: list[threading.Thread]) -> None:
    """Join every thread, even through a second Ctrl-C (which is raised once all are done)."""
    interrupted: BaseException | None = None
    for t in threads:
        while t.ident is not None:  # never started: nothing to join
            try:
                t.join()
                break
            except BaseException as exc:
                interrupted = exc
    if interrupted is not None:
        raise interrupted


class _Scorer:
    """One species tree, one batch, one model: scores the batch at any rates.

    The species arrays and the batch's pieces are made once; with a cluster they are sent to
    the workers once (the species tree to every worker), and each evaluation sends only the
    rates.
    """

    def __init__(self, species_tree: SpeciesTree, gene_trees: GeneTrees, settings: _Settings,
                 threads: int, client: Any) -> None:
        self.tree = species_tree
        self.settings = settings
        self.threads = threads
        self.client = client
        arrays = _gene_arrays(species_tree, gene_trees)
        self.names = gene_trees.names
        self.species = _species_args(species_tree, settings)
        sizes = _unit_sizes(arrays)
        self.bounds = _chunk_bounds(sizes, _nodes_per_piece(sizes, settings, threads, client))
        self.chunks = [_chunk_args(arrays, a, b) for a, b in self.bounds]
        self._remote_species: Any = None
        self._remote_chunks: list[Any] | None = None
        if client is not None and self.chunks:
            # Unique keys (no content hashing): data of one scorer never aliases another's.
            self._remote_species = client.scatter([self.species], broadcast=True,
                                                  hash=False)[0]
            self._remote_chunks = client.scatter(self.chunks, hash=False)

    def close(self) -> None:
        """Let go of the data sent to a cluster (the scheduler frees it once unreferenced)."""
        self._remote_chunks = None
        self._remote_species = None

    def __enter__(self) -> "_Scorer":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def family_values(self, rates: tuple[float, float, float],
                      progress: Callable[[int], None] | None = None) -> np.ndarray:
        """Per-family log-likelihoods in batch order; progress(families done) after each piece."""
        n_chunks = len(self.chunks)
        n_families = len(self.names)

        def report(chunks_done: int) -> None:
            # Pieces may finish out of order: report a share of the families, not a position.
            if progress is not None:
                progress(n_families * chunks_done // n_chunks)

        if n_chunks == 0:
            pieces: list[list[float]] = []
        elif self.client is not None:
            pieces = self._on_cluster(rates)
            report(n_chunks)
        elif self.threads == 1 or n_chunks == 1:
            pieces = []
            for chunk in self.chunks:
                pieces.append(_score_chunk(self.species, chunk, self.settings, rates))
                report(len(pieces))
        else:
            pieces = _run_on_threads(
                self.threads, n_chunks,
                lambda i: _score_chunk(self.species, self.chunks[i], self.settings, rates),
                report)
        values = np.fromiter(itertools.chain.from_iterable(pieces), dtype=np.float64,
                             count=len(self.names))
        return values

    def _on_cluster(self, rates: tuple[float, float, float]) -> list[list[float]]:
        client = self.client
        futures = client.map(_score_remote, self._remote_chunks,
                             species=self._remote_species, settings=self.settings,
                             rates=rates, pure=False)
        try:
            pieces = client.gather(futures)
        except BaseException:
            client.cancel(futures)
            raise
        return list(pieces)

    def extinct_term(self, rates: tuple[float, float, float], n_extinct: int) -> float:
        return _extinct_term(self.species, self.settings, rates, n_extinct)

    def joint(self, rates: tuple[float, float, float], n_extinct: int,
              progress: Callable[[int], None] | None = None) -> float:
        start = self.extinct_term(rates, n_extinct)
        return in_order_sum(self.family_values(rates, progress).tolist(), start)


def _series(names: list[Any], values: np.ndarray) -> pd.Series:
    return pd.Series(values, index=pd.Index(names, name="family", dtype=object), name="loglik")


def loglik(species_tree: SpeciesTree, gene_trees: GeneTrees, *, duplication: float,
           transfer: float, loss: float, model: str = "undated", n_steps: int | None = None,
           origination: str = "root", threads: int = 1, client: Any = None) -> pd.Series:
    """Log-likelihood of every gene tree of a batch.

    Parameters
    ----------
    species_tree : SpeciesTree
        The species tree. Only the part leading to extant species is used; a stem above the
        root (:attr:`SpeciesTree.stem`) lengthens the root branch.
    gene_trees : GeneTrees
        The batch, read against this species tree.
    duplication, transfer, loss : float
        Rates, finite and >= 0. The dated model reads them per gene copy per unit time (the
        simulators' units); the undated models against a speciation rate of 1 per branch.
    model : {"undated", "reldated", "dated"}, default "undated"
        See the module documentation.
    n_steps : int, optional
        Dated model only: the least number of Euler steps per interval of the time grid,
        >= 1; default 20. More steps approach the exact solution.
    origination : {"root", "uniform"}, default "root"
        Where families start: at the root (the root split for the dated model), or on a
        branch chosen uniformly (for the dated model, among branches of positive length).
    threads : int, default 1
        Threads to score on. The batch is cut into contiguous pieces that the threads take in
        turn; the values do not depend on it.
    client : dask.distributed.Client, optional
        Score on this cluster instead: pieces of the batch go to the workers, the species
        tree once to each. The values are the same.

    Returns
    -------
    pandas.Series
        Natural-log likelihood of each family, named ``"loglik"`` and indexed by family name
        in batch order; ``-inf`` for a tree the model gives probability 0.

    Raises
    ------
    TypeError, ValueError
        For an argument of the wrong kind or out of range, naming it; in the dated model,
        rates and ``n_steps`` whose time grid (``max(n_steps, ceil(4 R h))`` Euler steps over
        each interval h between species node times, R the sum of the rates) needs more than
        the machine's memory.
    KeyboardInterrupt
        On Ctrl-C, which stops the work within a fraction of a second.
    """
    tree, settings = _check_settings(species_tree, model, n_steps, origination)
    rates = _check_rates(duplication, transfer, loss)
    _check_dated_grid(tree, settings, rates)
    threads = _check_threads(threads)
    client = _check_client(client)
    with _Scorer(tree, gene_trees, settings, threads, client) as scorer:
        return _series(scorer.names, scorer.family_values(rates))


def loglik_joint(species_tree: SpeciesTree, gene_trees: GeneTrees, *, duplication: float,
                 transfer: float, loss: float, model: str = "undated",
                 n_steps: int | None = None, origination: str = "root", n_extinct: int = 0,
                 threads: int = 1, client: Any = None) -> float:
    """Joint log-likelihood of a batch: the sum of the families' values, in batch order,
    plus ``n_extinct`` times the log-probability that a family leaves no gene.

    Parameters are those of :func:`loglik`, and:

    n_extinct : int, default 0
        Number of families that left no gene (and so have no tree), started like the others;
        >= 0. Each adds the log-probability of leaving no gene.

    Returns
    -------
    float
        ``((X + l_0) + l_1) + ...`` with X the extinct families' term: the same bits as one
        call of ``korvath_core.dated_joint_loglik`` (or ``undated_joint_loglik``) on the whole
        batch, whatever ``threads`` or ``client``.
    """
    tree, settings = _check_settings(species_tree, model, n_steps, origination)
    rates = _check_rates(duplication, transfer, loss)
    _check_dated_grid(tree, settings, rates)
    n_extinct = _checks.count("n_extinct", n_extinct)
    threads = _check_threads(threads)
    client = _check_client(client)
    with _Scorer(tree, gene_trees, settings, threads, client) as scorer:
        return scorer.joint(rates, n_extinct)
