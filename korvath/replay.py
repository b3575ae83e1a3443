"""Gene trees from an event log, and replay of an event trace against the species tree.

An *event log* (``korvath_core.simulate_log``) holds one row per event, speciations included;
every row names the gene copy it ends and the copies it creates, so each family's gene tree can
be rebuilt from its rows. An *event trace* (``korvath_core.simulate_trace``) is the same run
without the speciation rows: copies keep their ids through speciations, so an id names a copy
only together with its branch. :func:`replay_trace` replays a trace against the species tree and
gives back the event log of the same run: it follows every branch's list of copies exactly as
the engine does (removal by moving the last copy into the freed slot, renaming in place on
transfer, copies passing to both children in list order at a speciation), re-mints gene ids in
the order the recording run mints them, and so reproduces ``simulate_log``'s rows and extant
copies for the same arguments, gene ids included.

Gene trees are built by the same rules as the files of ``korvath_core.simulate_and_write``:
see :func:`gene_trees_from_log`.
"""
from __future__ import annotations

import contextlib
import gc
import math
from dataclasses import dataclass
from typing import Iterator, Sequence

import numpy as np

from korvath import _native
from korvath.trees import SpeciesTree

__all__ = ["EventLog", "ExtantCopies", "log_from_core", "replay_trace", "gene_trees_from_log",
           "format_significant"]

O, D, T, L, S = 0, 1, 2, 3, 4


@contextlib.contextmanager
def _collector_paused() -> Iterator[None]:
    enabled = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if enabled:
            gc.enable()
_NEWICK_DELIMITERS = "(),:;"


@dataclass(frozen=True, eq=False)
class EventLog:
    """The nine event columns of a gene-family run as numpy arrays, one entry per row.

    Attributes
    ----------
    kind : numpy.ndarray of uint8
        Event code: 0 origination (O), 1 duplication (D), 2 transfer (T), 3 loss (L),
        4 speciation (S).
    branch : numpy.ndarray of int64
        Species branch of the event (named by its lower node); for S the speciating node;
        for T the donor.
    time : numpy.ndarray of float64
        Date of the event.
    donor, recipient : numpy.ndarray of int64
        Transfer donor and recipient branch; -1 on other rows.
    family : numpy.ndarray of int64
        Family id as the engine counts them, from 0 (files number them from 1).
    gene : numpy.ndarray of int64
        The copy the event starts from (the new copy of an O row, the lost copy of an L row).
    child1, child2 : numpy.ndarray of int64
        The two copies a D, T or S row creates (-1 on O and L rows). On a T row ``child1`` is the
        copy that stays on the donor and ``child2`` the one that arrives on the recipient.
    """

    kind: np.ndarray
    branch: np.ndarray
    time: np.ndarray
    donor: np.ndarray
    recipient: np.ndarray
    family: np.ndarray
    gene: np.ndarray
    child1: np.ndarray
    child2: np.ndarray

    def __len__(self) -> int:
        return len(self.kind)

    def columns(self) -> tuple[np.ndarray, ...]:
        """The nine columns in the core's order."""
        return (self.kind, self.branch, self.time, self.donor, self.recipient, self.family,
                self.gene, self.child1, self.child2)


@dataclass(frozen=True, eq=False)
class ExtantCopies:
    """The gene copies found on the extant leaves at the end of a run.

    Entries come leaf by leaf in the order the leaves are reached (by date, ties by node
    index), and within a leaf in the order of the leaf's list of copies.

    Attributes
    ----------
    leaves : numpy.ndarray of int64
        Every extant leaf node, in the order reached (leaves without copies included).
    leaf : numpy.ndarray of int64
        The leaf node of every copy.
    gene, family : numpy.ndarray of int64
        Gene id and family id (from 0) of every copy.
    """

    leaves: np.ndarray
    leaf: np.ndarray
    gene: np.ndarray
    family: np.ndarray


def _int64(values: object, consume: bool = False) -> np.ndarray:
    if isinstance(values, np.ndarray):
        return values.astype(np.int64, copy=False)
    if _native.available and type(values) is list:
        if consume:
            return np.frombuffer(_native.int64_from_list(values, True), dtype=np.int64)
        try:
            return np.frombuffer(_native.int64_from_list(values, False), dtype=np.int64)
        except (TypeError, OverflowError):
            pass  # not plain ints: numpy says what is wrong
    return np.array(values, dtype=np.int64)


def _float64(values: object, consume: bool = False) -> np.ndarray:
    if _native.available and type(values) is list:
        if consume:
            return np.frombuffer(_native.float64_from_list(values, True), dtype=np.float64)
        try:
            return np.frombuffer(_native.float64_from_list(values, False), dtype=np.float64)
        except TypeError:
            pass  # not all floats: numpy converts or says what is wrong
    return np.asarray(values, dtype=np.float64)


def log_from_core(columns: Sequence[object], *, derive: bool = False,
                  consume: bool = False) -> EventLog:
    """An :class:`EventLog` from the 9-tuple returned by ``simulate_log`` or ``simulate_trace``
    (a ``bytes`` kind column and eight lists).

    With ``derive=True`` the donor and second-child columns are not read but derived, as the
    core defines them: the donor of a transfer row is its branch (-1 on other rows) and the
    second child is one past the first (-1 where there is none). This saves converting two of
    the eight long lists; use it only on columns exactly as the core returned them. With
    ``consume=True`` every list is emptied as it is read, which frees the items while they are
    still in the processor's cache; only for lists that nothing else will read."""
    if len(columns) != 9:
        raise ValueError(f"columns: expected the nine event columns, got {len(columns)}")
    kind_col = columns[0]
    if isinstance(kind_col, (bytes, bytearray, memoryview)):
        kind = np.frombuffer(kind_col, dtype=np.uint8)
    else:
        kind = np.asarray(kind_col, dtype=np.uint8)
    branch_col, time, donor, recipient, family, gene, child1_col, child2 = columns[1:]
    branch = _int64(branch_col, consume)
    child1 = _int64(child1_col, consume)
    if derive:
        if len(donor) != len(kind) or len(child2) != len(kind):
            raise ValueError("columns: the nine columns must have the same length")
        donor_arr = np.where(kind == T, branch, -1)
        child2_arr = np.where(child1 >= 0, child1 + 1, -1)
    else:
        donor_arr, child2_arr = _int64(donor), _int64(child2)
    log = EventLog(kind, branch, _float64(time, consume), donor_arr,
                   _int64(recipient, consume), _int64(family, consume), _int64(gene, consume),
                   child1, child2_arr)
    n = len(kind)
    if any(len(c) != n for c in log.columns()):
        raise ValueError("columns: the nine columns must have the same length")
    return log


def copies_from_core(leaves: Sequence[tuple[int, Sequence[tuple[int, int]]]]) -> ExtantCopies:
    """An :class:`ExtantCopies` from the leaves list of ``simulate_log``."""
    nodes = np.array([node for node, _ in leaves], dtype=np.int64)
    sizes = np.array([len(copies) for _, copies in leaves], dtype=np.int64)
    total = int(sizes.sum())
    flat = np.fromiter((x for _, copies in leaves for pair in copies for x in pair),
                       dtype=np.int64, count=2 * total)
    return ExtantCopies(nodes, np.repeat(nodes, sizes), flat[0::2].copy(), flat[1::2].copy())


# ------------------------------------------------------------------------------ replay

def replay_trace(tree: SpeciesTree, trace: EventLog) -> tuple[EventLog, ExtantCopies]:
    """The event log and extant copies of the run that produced an event trace.

    Parameters
    ----------
    tree : SpeciesTree
        The species tree the trace was simulated on.
    trace : EventLog
        The columns of ``simulate_trace`` (see :func:`log_from_core`).

    Returns
    -------
    (EventLog, ExtantCopies)
        The log of ``simulate_log`` for the same arguments: the trace's rows with speciation
        rows added at every internal node and gene ids re-minted in the recording run's order
        (founding copies 0, 1, ...; then two ids per duplication, transfer and copy passing a
        speciation, one per origination, in the order the events happen).

    Raises
    ------
    ValueError
        If the trace does not fit the tree (a row on a branch that is not alive then, or a copy
        that is not on its branch).
    """
    if not isinstance(tree, SpeciesTree):
        raise TypeError(f"tree: expected a SpeciesTree, got {type(tree).__name__}")
    if not isinstance(trace, EventLog):
        raise TypeError(f"trace: expected an EventLog, got {type(trace).__name__}")
    if np.any(trace.kind == S):
        raise ValueError("trace: holds speciation rows; it is already a full event log")
    if _native.available:
        c = np.ascontiguousarray
        out = _native.replay_trace(*_tree_args(tree), c(trace.kind, dtype=np.uint8),
                                   c(trace.branch, dtype=np.int64),
                                   c(trace.time, dtype=np.float64),
                                   c(trace.recipient, dtype=np.int64),
                                   c(trace.family, dtype=np.int64), c(trace.gene, dtype=np.int64),
                                   c(trace.child1, dtype=np.int64))
        return _unpack_replay(out)
    return _replay_python(tree, trace)


def _tree_args(tree: SpeciesTree) -> tuple[object, ...]:
    sim = tree.simulator_arrays()
    return (np.ascontiguousarray(sim.parent), np.ascontiguousarray(sim.time),
            np.ascontiguousarray(sim.extant_leaf), int(sim.root))


def _unpack_replay(out: tuple[bytearray, ...]) -> tuple[EventLog, ExtantCopies]:
    kind = np.frombuffer(out[0], dtype=np.uint8)
    time = np.frombuffer(out[2], dtype=np.float64)
    branch, recipient, family, gene, child1, leaves, leaf, cgene, cfamily = (
        np.frombuffer(part, dtype=np.int64) for part in out[1:2] + out[3:])
    is_t = kind == T
    donor = np.where(is_t, branch, -1)
    child2 = np.where(child1 >= 0, child1 + 1, -1)
    return (EventLog(kind, branch, time, donor, recipient, family, gene, child1, child2),
            ExtantCopies(leaves, leaf, cgene, cfamily))


def processing_order(tree: SpeciesTree) -> np.ndarray:
    """The order in which the simulators end branches: non-root nodes by date, ties by index."""
    nonroot = np.flatnonzero(tree.parent >= 0)
    return nonroot[np.argsort(tree.time[nonroot], kind="stable")]


def _replay_python(tree: SpeciesTree, trace: EventLog) -> tuple[EventLog, ExtantCopies]:
    # Millions of small lists would set off the cyclic collector again and again.
    with _collector_paused():
        return _replay_python_body(tree, trace)


def _replay_python_body(tree: SpeciesTree, trace: EventLog) -> tuple[EventLog, ExtantCopies]:
    n = tree.n_nodes
    root = tree.root
    date = tree.time.tolist()
    extant = tree.extant.tolist()
    children = tree.children
    order = processing_order(tree).tolist()
    # Per active branch: its copies as [trace id, log id, family] and trace id -> position.
    copies: list[list[list[int]] | None] = [None] * n
    where: list[dict[int, int] | None] = [None] * n
    out_kind: list[int] = []
    out_branch: list[int] = []
    out_time: list[float] = []
    out_recipient: list[int] = []
    out_family: list[int] = []
    out_gene: list[int] = []
    out_child1: list[int] = []
    leaves: list[int] = []
    leaf_col: list[int] = []
    gene_col: list[int] = []
    family_col: list[int] = []
    next_gene = 0
    copies[root] = []
    where[root] = {}

    def emit(k: int, b: int, t: float, r: int, f: int, g: int, c: int) -> None:
        out_kind.append(k)
        out_branch.append(b)
        out_time.append(t)
        out_recipient.append(r)
        out_family.append(f)
        out_gene.append(g)
        out_child1.append(c)

    def end_branch(v: int) -> None:
        nonlocal next_gene
        content = copies[v]
        if content is None:
            raise ValueError(f"trace: branch {v} ends without having started")
        copies[v] = None
        where[v] = None
        if extant[v]:
            leaves.append(v)
            for _, g, f in content:
                leaf_col.append(v)
                gene_col.append(g)
                family_col.append(f)
            return
        if not children[v]:
            return
        if len(children[v]) != 2:
            raise ValueError(f"tree: node {v} does not have two children")
        left, right = children[v]
        left_copies: list[list[int]] = []
        right_copies: list[list[int]] = []
        t = date[v]
        for trace_id, g, f in content:
            a = next_gene
            next_gene += 2
            emit(S, v, t, -1, f, g, a)
            left_copies.append([trace_id, a, f])
            right_copies.append([trace_id, a + 1, f])
        copies[left] = left_copies
        where[left] = {c[0]: i for i, c in enumerate(left_copies)}
        copies[right] = right_copies
        where[right] = {c[0]: i for i, c in enumerate(right_copies)}

    def take(b: int, g: int, row: int) -> tuple[list[list[int]], dict[int, int], int]:
        content = copies[b] if 0 <= b < n else None
        index = where[b] if content is not None else None
        if content is None or index is None:
            raise ValueError(f"trace: row {row} is on branch {b}, which is not alive then")
        i = index.get(g)
        if i is None:
            raise ValueError(f"trace: row {row} names gene {g}, which is not on branch {b}")
        return content, index, i

    def remove(content: list[list[int]], index: dict[int, int], i: int) -> None:
        gone = content[i]
        last = content.pop()
        del index[gone[0]]
        if i < len(content):
            content[i] = last
            index[last[0]] = i

    kinds = trace.kind.tolist()
    branches = trace.branch.tolist()
    times = trace.time.tolist()
    recipients = trace.recipient.tolist()
    families = trace.family.tolist()
    genes = trace.gene.tolist()
    child1s = trace.child1.tolist()
    root_split = False
    next_end = 0
    for row in range(len(kinds)):
        k, b, t, f, g = kinds[row], branches[row], times[row], families[row], genes[row]
        if not root_split:
            if not (k == O and b == root):
                end_branch(root)  # the root splits right after the founding rows
                root_split = True
        if root_split:
            # Branches end before every event dated at or after their own date.
            while next_end < len(order) and date[order[next_end]] <= t:
                end_branch(order[next_end])
                next_end += 1
        if k == O:
            content = copies[b] if 0 <= b < n else None
            index = where[b] if content is not None else None
            if content is None or index is None:
                raise ValueError(f"trace: row {row} is on branch {b}, which is not alive then")
            index[g] = len(content)
            content.append([g, next_gene, f])
            emit(O, b, t, -1, f, next_gene, -1)
            next_gene += 1
        elif k == D:
            content, index, i = take(b, g, row)
            logged = content[i][1]
            remove(content, index, i)
            c = child1s[row]
            index[c] = len(content)
            content.append([c, next_gene, f])
            index[c + 1] = len(content)
            content.append([c + 1, next_gene + 1, f])
            emit(D, b, t, -1, f, logged, next_gene)
            next_gene += 2
        elif k == T:
            content, index, i = take(b, g, row)
            r = recipients[row]
            target = copies[r] if 0 <= r < n else None
            target_index = where[r] if target is not None else None
            if target is None or target_index is None:
                raise ValueError(f"trace: row {row} transfers to branch {r}, which is not alive")
            logged = content[i][1]
            c = child1s[row]
            del index[g]
            content[i] = [c, next_gene, f]
            index[c] = i
            target_index[c + 1] = len(target)
            target.append([c + 1, next_gene + 1, f])
            emit(T, b, t, r, f, logged, next_gene)
            next_gene += 2
        elif k == L:
            content, index, i = take(b, g, row)
            logged = content[i][1]
            remove(content, index, i)
            emit(L, b, t, -1, f, logged, -1)
        else:
            raise ValueError(f"trace: row {row} has an unknown event code {k}")
    if not root_split:
        end_branch(root)
    while next_end < len(order):
        end_branch(order[next_end])
        next_end += 1

    kind = np.asarray(out_kind, dtype=np.uint8)
    branch = np.asarray(out_branch, dtype=np.int64)
    child1 = np.asarray(out_child1, dtype=np.int64)
    log = EventLog(kind, branch, np.asarray(out_time, dtype=np.float64),
                   np.where(kind == T, branch, -1), np.asarray(out_recipient, dtype=np.int64),
                   np.asarray(out_family, dtype=np.int64), np.asarray(out_gene, dtype=np.int64),
                   child1, np.where(child1 >= 0, child1 + 1, -1))
    return log, ExtantCopies(np.asarray(leaves, dtype=np.int64),
                             np.asarray(leaf_col, dtype=np.int64),
                             np.asarray(gene_col, dtype=np.int64),
                             np.asarray(family_col, dtype=np.int64))


# ------------------------------------------------------------------------------ gene trees

def format_significant(value: float, digits: int) -> str:
    """Fixed-point text with about ``digits`` significant digits and no trailing zeros, the
    rule by which dates and branch lengths are written in result files: 0, infinities and NaN
    give ``"0"``; otherwise ``max(0, min(17, digits - 1 - floor(log10|value|)))`` decimals,
    correctly rounded (ties to even), then trailing zeros and a trailing point removed."""
    if value == 0 or not math.isfinite(value):
        return "0"
    m = math.floor(math.log10(abs(value)))
    decimals = min(max(digits - 1 - m, 0), 17)
    text = f"{value:.{decimals}f}"
    if "." in text:
        text = text.rstrip("0").rstrip(".")
    return text


def check_tree_names(tree: SpeciesTree, leaves: np.ndarray) -> None:
    """Names of extant leaves go into gene-tree labels: they must not hold Newick delimiters."""
    names = tree.names
    for v in np.unique(leaves).tolist():
        name = names[v]
        for c in _NEWICK_DELIMITERS:
            if c in name:
                raise ValueError(f"the name {name!r} of extant leaf node {v} contains {c!r}, "
                                 "which would break the Newick gene trees")


def _check_run_fits(tree: SpeciesTree, log: EventLog, copies: ExtantCopies) -> None:
    """A log and copies of a run on another species tree name nodes this one lacks."""
    n = tree.n_nodes
    for what, values, lowest in (("log", log.branch, 0), ("log", log.recipient, -1),
                                 ("copies", copies.leaf, 0)):
        bad = np.flatnonzero((values < lowest) | (values >= n))
        if bad.size:
            raise ValueError(f"{what}: names species node {int(values[bad[0]])}, which the tree "
                             f"of {n} nodes does not have; was it recorded on another tree?")


def gene_trees_from_log(tree: SpeciesTree, log: EventLog, copies: ExtantCopies, *,
                        extant: bool = False) -> dict[int, str]:
    """Each family's gene tree, rebuilt from a recording run's event log.

    The text is exactly the content of the files ``gene_trees/<n>_complete.nwk`` (or, with
    ``extant=True``, ``<n>_extant.nwk``) that ``simulate_and_write`` writes for the same run:
    leaves are labelled ``<species>_<gene>`` for extant copies, ``LOSS_<gene>`` for lost copies
    and ``<gene>`` for copies ended by the extinction of their species; internal nodes carry the
    gene id of the copy that split; every branch length is the copy's life span (end minus start
    date, at least 0) with 6 significant digits; an extant copy lives until the present. The
    reduced tree keeps only extant copies, and a node left with one child is merged into it, the
    child's branch then starting where the node's started.

    Parameters
    ----------
    tree : SpeciesTree
        The species tree of the run (names the species of extant copies).
    log : EventLog
        A log with speciation rows (from ``simulate_log`` or :func:`replay_trace`).
    copies : ExtantCopies
        The run's extant copies.
    extant : bool, default False
        False: complete trees (every family with an origination row). True: trees reduced to
        the extant copies (only families with at least one).

    Returns
    -------
    dict of int to str
        Family number (engine id + 1, as in file names) to Newick text, ending with ``";\\n"``
        exactly as in the file; families in ascending number.

    Raises
    ------
    ValueError
        If the log or the copies name species nodes the tree does not have (a run recorded on
        another tree), or a leaf name would break the Newick text.
    """
    _check_run_fits(tree, log, copies)
    check_tree_names(tree, copies.leaf)
    if _native.available:
        families, texts = _native.gene_trees(*_run_args(tree, log, copies), bool(extant))
        return dict(zip((np.frombuffer(families, dtype=np.int64) + 1).tolist(), texts))
    return _gene_trees_python(log, copies, tree, float(tree.present), bool(extant))


def _run_args(tree: SpeciesTree, log: EventLog, copies: ExtantCopies) -> tuple[object, ...]:
    """A finished run as the native helper's gene_trees and write_run take it."""
    c = np.ascontiguousarray
    return (c(log.kind, dtype=np.uint8), c(log.branch, dtype=np.int64),
            c(log.time, dtype=np.float64), c(log.recipient, dtype=np.int64),
            c(log.family, dtype=np.int64), c(log.gene, dtype=np.int64),
            c(log.child1, dtype=np.int64), c(copies.leaves, dtype=np.int64),
            c(copies.leaf, dtype=np.int64), c(copies.gene, dtype=np.int64),
            c(copies.family, dtype=np.int64), tree.names, float(tree.present),
            *_tree_args(tree))


def write_run(tree: SpeciesTree, log: EventLog, copies: ExtantCopies, outdir: str) -> bool:
    """Write the folder ``simulate_and_write`` writes for this run, from the run in memory.

    Returns False, writing nothing, when the native helper is not built (the caller then runs
    the simulation again through ``simulate_and_write``).
    """
    if not _native.available:
        return False
    check_tree_names(tree, copies.leaf)
    _native.write_run(*_run_args(tree, log, copies), outdir)
    return True


def _gene_trees_python(log: EventLog, copies: ExtantCopies, tree: SpeciesTree, total_age: float,
                       extant_only: bool) -> dict[int, str]:
    with _collector_paused():
        return _gene_trees_python_body(log, copies, tree, total_age, extant_only)


def _gene_trees_python_body(log: EventLog, copies: ExtantCopies, tree: SpeciesTree,
                            total_age: float, extant_only: bool) -> dict[int, str]:
    names = tree.names
    children = tree.children
    # A copy that dies out with an extinct species (a childless, non-extant node) ends at
    # that species' date; every other unsampled leaf copy ends at the present.
    extinct_end = {v: float(tree.time[v]) for v in range(tree.n_nodes)
                   if not children[v] and not tree.extant[v]}
    leaf_of_gene = dict(zip(copies.gene.tolist(), copies.leaf.tolist()))
    order = np.argsort(log.family, kind="stable")
    fam_sorted = log.family[order]
    cuts = np.flatnonzero(np.diff(fam_sorted)) + 1
    starts = np.concatenate(([0], cuts)).tolist() if len(order) else []
    ends = np.concatenate((cuts, [len(order)])).tolist() if len(order) else []
    kinds = log.kind.tolist()
    times = log.time.tolist()
    genes = log.gene.tolist()
    child1s = log.child1.tolist()
    child2s = log.child2.tolist()
    branches = log.branch.tolist()
    recipients = log.recipient.tolist()
    order_list = order.tolist()
    lengths: dict[float, str] = {}
    result: dict[int, str] = {}

    def length_text(value: float) -> str:
        text = lengths.get(value)
        if text is None:
            text = format_significant(value, 6)
            lengths[value] = text
        return text

    for a, b in zip(starts, ends):
        family = int(fam_sorted[a])
        start: dict[int, float] = {}
        end: dict[int, float] = {}
        kids: dict[int, tuple[int, int]] = {}
        lost: set[int] = set()
        home: dict[int, int] = {}  # the species branch the events place a gene on
        root_gene = -1
        for e in order_list[a:b]:
            k = kinds[e]
            t = times[e]
            g = genes[e]
            if k == O:
                start.setdefault(g, t)
                root_gene = g
                home[g] = branches[e]
            elif k == L:
                lost.add(g)
                end[g] = t
            else:
                c1, c2 = child1s[e], child2s[e]
                kids[g] = (c1, c2)
                end[g] = t
                start[c1] = t
                start[c2] = t
                branch = branches[e]
                if k == S:
                    sides = children[branch] if 0 <= branch < len(children) else []
                    for child, side in ((c1, 0), (c2, 1)):
                        if side < len(sides):
                            home[child] = sides[side]
                        else:
                            home.pop(child, None)
                elif k == T:
                    home[c1] = branch
                    if recipients[e] >= 0:
                        home[c2] = recipients[e]
                    else:
                        home.pop(c2, None)
                else:
                    home[c1] = home[c2] = branch
        if root_gene < 0:
            continue
        # Nodes as [gene, start, end, label prefix, children, sampled]; parents before children.
        nodes: list[list] = []
        stack = [(root_gene, -1)]
        while stack:
            g, parent_index = stack.pop()
            index = len(nodes)
            s = start.get(g, 0.0)
            if g in kids:
                node = [g, s, end[g], "", [], False]
                c1, c2 = kids[g]
                stack.append((c2, index))
                stack.append((c1, index))
            elif g in lost:
                node = [g, s, end[g], "LOSS_", None, False]
            else:
                leaf = leaf_of_gene.get(g)
                if leaf is None:
                    node = [g, s, extinct_end.get(home.get(g, -1), total_age), "", None, False]
                else:
                    node = [g, s, total_age, names[leaf] + "_", None, True]
            nodes.append(node)
            if parent_index >= 0:
                nodes[parent_index][4].append(index)
        if extant_only:
            root_index = _prune(nodes)
            if root_index < 0:
                continue
        else:
            root_index = 0
        result[family + 1] = _newick_text(nodes, root_index, length_text) + ";\n"
    return result


def _prune(nodes: list[list]) -> int:
    """Reduces the tree to leaves that sit in an extant species; returns the new root or -1."""
    survivor = [-1] * len(nodes)
    for i in range(len(nodes) - 1, -1, -1):
        node = nodes[i]
        kids = node[4]
        if kids is None:
            if node[5]:
                survivor[i] = i
            continue
        left, right = survivor[kids[0]], survivor[kids[1]]
        if left >= 0 and right >= 0:
            node[4] = [left, right]
            survivor[i] = i
        elif left >= 0 or right >= 0:
            only = left if left >= 0 else right
            nodes[only][1] = node[1]
            survivor[i] = only
    return survivor[0]


def _newick_text(nodes: list[list], root: int, length_text) -> str:
    out: list[str] = []
    stack = [(root, 0)]
    while stack:
        i, k = stack.pop()
        g, s, e, prefix, kids, _ = nodes[i]
        if kids is None:
            out.append(f"{prefix}{g}:{length_text(max(e - s, 0.0))}")
            continue
        if k < len(kids):
            out.append("(" if k == 0 else ",")
            stack.append((i, k + 1))
            stack.append((kids[k], 0))
            continue
        out.append(f"){g}:{length_text(max(e - s, 0.0))}")
    return "".join(out)
