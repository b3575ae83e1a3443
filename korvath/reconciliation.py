"""Sampled reconciliations: which duplications, transfers and losses happened where.

:func:`reconcile` draws scenarios of every family's history along the species tree, each with
its probability under the model given the gene tree (stochastic backtracking through the same
recursions that give the likelihood). A scenario starts with the family's origination (``O``)
and follows every gene lineage down to the gene leaves through speciations (``S``),
duplications (``D``), transfers (``T``, donor to recipient) and losses (``L``). Events whose
second copy was lost, and so left no trace in the gene tree, are drawn as well: a duplication
or transfer followed by the loss of one copy, and a speciation with a loss in one daughter.
Counts averaged over the scenarios are therefore the model's expected counts given the data.

For unrooted trees and samples of trees, each scenario also draws a rooting, or a tree of the
sample's clades, in proportion to its likelihood times its prior weight.

Available for the three models of :mod:`korvath.scoring`.
"""
from __future__ import annotations

import os
import re
from typing import Any, Callable
from xml.sax.saxutils import escape, quoteattr

import numpy as np
import pandas as pd

import korvath_core
from korvath import _checks, scoring
from korvath.gene_trees import GeneTrees
from korvath.trees import SpeciesTree

__all__ = ["reconcile", "Reconciliation", "EVENTS", "pruned_counts"]

EVENTS = ("O", "D", "T", "L", "S")  # the core's event codes 0 .. 4
_COLUMN_TYPES = (np.uint64, np.uint64, np.uint8, np.int64, np.int64, np.int64, np.int64,
                 np.int64)
_MAX_SAMPLES = 10**7


_FAMILY_IN_BATCH = re.compile(r" \(family (\d+) of the batch\)$")


def _history_advice(message: str, gene_trees: GeneTrees, k: int) -> str:
    """The core's message for family k's gene histories exceeding the memory budget, with
    the advice that fits the family: the core cannot tell a sample from one tree."""
    head, sep, advice = message.partition("; ")
    if not advice.startswith("the gene histories"):
        return message
    sizes = gene_trees._sample_sizes
    if sizes is None:
        way = "lower n_steps or use an undated model"
    elif sizes[k] > 1:
        way = ("lower n_steps, reconcile the sample's trees one at a time, or use an undated "
               "model")
    else:
        way = "lower n_steps, reconcile a rooting of the tree, or use an undated model"
    return f"{head}{sep}the family's gene histories are too large to hold \u2014 {way}"


def reconcile(species_tree: SpeciesTree, gene_trees: GeneTrees, *, duplication: float,
              transfer: float, loss: float, model: str = "undated", n_steps: int | None = None,
              origination: str = "root", samples: int = 100, seed: int = 0, threads: int = 1,
              progress: Callable[[int], None] | None = None) -> "Reconciliation":
    """Sample reconciled scenarios of every family of a batch.

    Parameters
    ----------
    species_tree : SpeciesTree
        The species tree (only the part leading to extant species is used).
    gene_trees : GeneTrees
        Rooted trees, unrooted trees or samples of trees, read against ``species_tree``.
    duplication, transfer, loss : float
        Rates, finite and >= 0, in the model's units (as in :func:`korvath.loglik`): per gene
        copy per unit time for the dated model, against a speciation rate of 1 per branch for
        the undated models; typically the estimates of :func:`korvath.fit_rates`.
    model : {"undated", "reldated", "dated"}, default "undated"
        See :mod:`korvath.scoring`. The dated model draws every event at one of the Euler
        steps of its time grid, and transfers go to branches alive at that time.
    n_steps : int, optional
        Dated model only: the least number of Euler steps per grid interval (default 20).
    origination : {"root", "uniform"}, default "root"
        Families start at the root (the root split for the dated model, the root branch for
        the undated models), or on a branch drawn in proportion to the family's likelihood of
        starting there.
    samples : int, default 100
        Scenarios per family, 1 .. 10,000,000.
    seed : int, default 0
        Seed, 0 .. 2**64 - 1. Family ``k`` (in batch order) draws from a generator made from
        ``seed`` and ``k`` alone, so the scenarios are the same whatever ``threads``, and
        whatever memory the machine has.
    threads : int, default 1
        Threads to work on.
    progress : callable, optional
        Called with the number of families done, after every piece of the batch.

    Returns
    -------
    Reconciliation

    Raises
    ------
    TypeError, ValueError
        For an argument of the wrong kind or out of range, naming it.
    RuntimeError
        When the scenarios would not fit in memory (ask for fewer samples), or, in the dated
        model, when one family's gene-node values (nodes x grid steps x alive branches, held
        a window of time slices at a time while it is sampled) would not fit even so; the
        message then begins with the family's name.
    """
    tree, settings = scoring._check_settings(species_tree, model, n_steps, origination)
    rates = scoring._check_rates(duplication, transfer, loss)
    scoring._check_dated_grid(tree, settings, rates)
    samples = _checks.count("samples", samples, minimum=1, maximum=_MAX_SAMPLES)
    seed = _checks.seed("seed", seed)
    threads = scoring._check_threads(threads)
    if progress is not None and not callable(progress):
        raise TypeError(f"progress: expected a callable, got {type(progress).__name__}")
    arrays = scoring._gene_arrays(tree, gene_trees)
    if not isinstance(arrays, scoring.CladeArrays):
        arrays = gene_trees.clade_arrays()
    species = scoring._species_args(tree, settings)
    sizes = scoring._unit_sizes(arrays)
    bounds = scoring._chunk_bounds(sizes, scoring._nodes_per_piece(sizes, settings, threads,
                                                                   None))
    chunks = [scoring._chunk_args(arrays, a, b) for a, b in bounds]
    transfers = 1 if settings.model == "reldated" else 0

    def run(i: int) -> tuple[list[float], tuple[bytes, ...]]:
        common = dict(dup=rates[0], transfer=rates[1], loss=rates[2],
                      origination=settings.origination, samples=samples, seed=seed,
                      first_family=bounds[i][0])
        if settings.model == "dated":
            return korvath_core.dated_clade_reconcile(**species, **chunks[i], **common,
                                                      n_steps=settings.n_steps)
        return korvath_core.undated_clade_reconcile(**species, **chunks[i], **common,
                                                    transfers=transfers)

    n_families = len(gene_trees)

    def report(done: int) -> None:
        if progress is not None:
            progress(n_families * done // max(len(chunks), 1))

    try:
        if threads == 1 or len(chunks) <= 1:
            pieces = []
            for i in range(len(chunks)):
                pieces.append(run(i))
                report(len(pieces))
        else:
            pieces = scoring._run_on_threads(threads, len(chunks), run,  # type: ignore[arg-type]
                                             report)
    except RuntimeError as exc:
        # The core names a family whose histories do not fit by its place in the batch.
        found = _FAMILY_IN_BATCH.search(str(exc))
        if found is None or int(found.group(1)) >= n_families:
            raise
        k = int(found.group(1))
        message = _history_advice(str(exc)[:found.start()], gene_trees, k)
        raise RuntimeError(f"family {gene_trees.names[k]!r}: {message}") from exc
    logliks = np.fromiter((v for piece in pieces for v in piece[0]), dtype=np.float64,
                          count=n_families)
    columns = []
    for j, dtype in enumerate(_COLUMN_TYPES):
        parts = [np.frombuffer(piece[1][j], dtype=dtype) for piece in pieces]
        if j == 0:  # family: position in the piece, made a position in the batch
            parts = [p.astype(np.int64) + a for p, (a, _) in zip(parts, bounds)]
        columns.append(np.concatenate(parts) if parts else np.empty(0, dtype=dtype))
    return Reconciliation(tree, gene_trees, settings.model, rates, samples, seed, logliks,
                          columns)


class Reconciliation:
    """The sampled scenarios of a batch (made by :func:`reconcile`).

    Attributes
    ----------
    species_tree : SpeciesTree
    gene_trees : GeneTrees
    model : str
    rates : tuple of float
        ``(duplication, transfer, loss)``.
    samples : int
        Scenarios per family.
    seed : int
    loglik : pandas.Series
        Log-likelihood of every family; ``-inf`` for a family the model gives probability 0,
        which has no scenarios.
    """

    def __init__(self, species_tree: SpeciesTree, gene_trees: GeneTrees, model: str,
                 rates: tuple[float, float, float], samples: int, seed: int,
                 logliks: np.ndarray, columns: list[np.ndarray]) -> None:
        self.species_tree = species_tree
        self.gene_trees = gene_trees
        self.model = model
        self.rates = rates
        self.samples = samples
        self.seed = seed
        self.loglik = pd.Series(logliks, index=pd.Index(gene_trees.names, name="family",
                                                        dtype=object), name="loglik")
        self._columns = columns
        arrays = species_tree.likelihood_arrays()
        names = species_tree.names
        # Branch names by the core's positions (a branch is named by its lower node).
        self._branch_names = [names[v] for v in arrays.node_of.tolist()]
        self._arrays = arrays
        self._events: pd.DataFrame | None = None

    def __repr__(self) -> str:
        return (f"<Reconciliation: {len(self.loglik)} families x {self.samples} scenarios, "
                f"{len(self._columns[2])} events, model {self.model!r}>")

    # ------------------------------------------------------------------ tables
    @property
    def events(self) -> pd.DataFrame:
        """Every event of every scenario, one row each, in walk order within a scenario.

        Columns: ``family`` (name), ``sample`` (0 .. samples-1), ``event`` (``O``, ``D``,
        ``T``, ``L`` or ``S``), ``branch`` (species branch, named by its lower node; for a
        loss, the branch on which the copy dies), ``recipient`` (for a transfer, the receiving
        branch; missing otherwise), ``gene_node`` (the gene node whose lineage the event is
        on: its post-order index in a rooted tree, its clade index for unrooted trees and
        samples; see :meth:`GeneTrees.leaf_labels` for the leaves), and ``left``, ``right``
        (for an event at which the gene node splits, its two children: for a speciation left
        goes to the first daughter branch, for a transfer right is the transferred child;
        -1 for events whose other copy was lost).
        """
        if self._events is None:
            family, sample, event, branch, recipient, clade, left, right = self._columns
            branches = pd.Categorical.from_codes(branch, categories=self._branch_names)
            receiving = pd.Categorical.from_codes(recipient, categories=self._branch_names)
            names = pd.Index(self.gene_trees.names, dtype=object)
            self._events = pd.DataFrame({
                "family": names[family.astype(np.int64)],
                "sample": sample.astype(np.int64),
                "event": pd.Categorical.from_codes(event.astype(np.int64), categories=EVENTS),
                "branch": branches, "recipient": receiving, "gene_node": clade,
                "left": left, "right": right})
        return self._events

    def branch_counts(self, per_family: bool = False) -> pd.DataFrame:
        """Expected number of events on every species branch, averaged over the scenarios.

        Parameters
        ----------
        per_family : bool, default False
            Counts per family (indexed by family and branch) instead of summed over the batch.

        Returns
        -------
        pandas.DataFrame
            Indexed by species branch (in the tree's post-order, root last), with columns
            ``D``, ``T`` (transfers out of the branch), ``received`` (transfers into it),
            ``L``, ``S`` and ``O``: events per scenario.
        """
        family, _, event, branch, recipient, _, _, _ = self._columns
        n = len(self._branch_names)
        codes = {"D": 1, "T": 2, "L": 3, "S": 4, "O": 0}
        n_families = len(self.loglik) if per_family else 1
        fam = family.astype(np.int64) if per_family else np.zeros(len(event), np.int64)
        table = {}
        for label, code in codes.items():
            mask = event == code
            table[label] = np.bincount(fam[mask] * n + branch[mask], minlength=n_families * n)
        mask = event == 2
        table["received"] = np.bincount(fam[mask] * n + recipient[mask],
                                        minlength=n_families * n)
        columns = ["D", "T", "received", "L", "S", "O"]
        data = {c: table[c] / self.samples for c in columns}
        if per_family:
            index = pd.MultiIndex.from_product(
                [pd.Index(self.gene_trees.names, dtype=object), self._branch_names],
                names=["family", "branch"])
        else:
            index = pd.Index(self._branch_names, name="branch")
        return pd.DataFrame(data, index=index, columns=columns)

    def transfers(self) -> pd.DataFrame:
        """Expected number of transfers per scenario for every donor and recipient pair seen,
        summed over the batch, most frequent first (columns ``donor``, ``recipient``,
        ``frequency``)."""
        _, _, event, branch, recipient, _, _, _ = self._columns
        mask = event == 2
        n = len(self._branch_names)
        pairs = branch[mask] * n + recipient[mask]
        keys, counts = np.unique(pairs, return_counts=True)
        order = np.lexsort((keys, -counts))
        names = np.asarray(self._branch_names, dtype=object)
        keys, counts = keys[order], counts[order]
        return pd.DataFrame({"donor": names[keys // n], "recipient": names[keys % n],
                             "frequency": counts / self.samples})

    # ------------------------------------------------------------------ trees
    def to_recphyloxml(self, path: str | os.PathLike[str] | None = None, *,
                       sample: int = 0) -> str:
        """The species tree and one reconciled gene tree per family in RecPhyloXML.

        Every event of scenario ``sample`` becomes a gene node with its species: a copy lost
        is written as a child ending in ``loss``, a transferred child starts with
        ``transferBack``, and a transfer's donor node is a ``branchingOut``. Families without
        scenarios (likelihood 0) are left out.

        Parameters
        ----------
        path : str or path-like, optional
            Also write the text to this file.
        sample : int, default 0
            Which scenario of every family to write.

        Returns
        -------
        str
            The document.
        """
        sample = _checks.count("sample", sample, maximum=self.samples - 1)
        parts = ['<?xml version="1.0" encoding="UTF-8"?>\n',
                 '<recPhylo xmlns="http://www.recg.org">\n', "<spTree>\n<phylogeny>\n"]
        parts += self._species_clades()
        parts.append("</phylogeny>\n</spTree>\n")
        family, smp = self._columns[0], self._columns[1]
        picked = np.flatnonzero(smp == sample)
        if len(picked):
            fam = family[picked]
            starts = np.flatnonzero(np.r_[True, fam[1:] != fam[:-1]])
            ends = np.r_[starts[1:], len(picked)]
            for a, b in zip(starts.tolist(), ends.tolist()):
                k = int(fam[a])
                parts.append(f"<recGeneTree>\n<phylogeny rooted=\"true\">\n"
                             f"<name>{escape(str(self.gene_trees.names[k]))}</name>\n")
                parts += self._gene_clades(k, picked[a:b])
                parts.append("</phylogeny>\n</recGeneTree>\n")
        parts.append("</recPhylo>\n")
        text = "".join(parts)
        if path is not None:
            with open(os.fspath(path), "w", encoding="utf-8") as handle:
                handle.write(text)
        return text

    def _species_clades(self) -> list[str]:
        a = self._arrays
        out: list[str] = []
        stack: list[tuple[int, bool]] = [(int(a.sp_root), False)]
        while stack:
            v, closing = stack.pop()
            if closing:
                out.append("</clade>\n")
                continue
            out.append(f"<clade><name>{escape(self._branch_names[v])}</name>\n")
            stack.append((v, True))
            if not a.sp_is_leaf[v]:
                stack.append((int(a.sp_right[v]), False))
                stack.append((int(a.sp_left[v]), False))
        return out

    def _gene_clades(self, k: int, rows: np.ndarray) -> list[str]:
        """RecPhyloXML clades of one scenario of family k (its rows in walk order)."""
        _, _, event, branch, recipient, clade, left, right = self._columns
        name = self._branch_names
        offsets = self.gene_trees._offsets
        base = int(offsets[k])
        is_leaf = self.gene_trees._is_leaf
        labels = self.gene_trees._labels
        a = self._arrays
        # Nodes: [events, children, name]; built by following the walk.
        nodes: list[list[Any]] = []

        def new_node(first: list[str]) -> int:
            nodes.append([list(first), [], ""])
            return len(nodes) - 1

        def arrival(branch_index: int, by_transfer: bool) -> list[str]:
            if by_transfer:
                return [f'<transferBack destinationSpecies={quoteattr(name[branch_index])}/>']
            return []

        def at(tag: str, z: int) -> str:
            return f"<{tag} speciesLocation={quoteattr(name[z])}/>"

        root_clade = int(clade[rows[0]])
        root = new_node([])
        pending = [(root, root_clade, int(branch[rows[0]]))]
        i = 1
        end = len(rows)
        while pending:
            node, c, z = pending.pop()
            while True:
                r = rows[i] if i < end else -1
                if r < 0 or int(clade[r]) != c:
                    if not is_leaf[base + c]:
                        raise RuntimeError(f"scenario of family {k}: gene node {c} ends "
                                           "without splitting")
                    nodes[node][0].append(at("leaf", z))
                    nodes[node][2] = labels[base + c]
                    break
                e, zb = int(event[r]), int(branch[r])
                tag = {1: "duplication", 2: "branchingOut", 4: "speciation"}[e]
                nodes[node][0].append(at(tag, zb))
                if left[r] >= 0:
                    lc, rc = int(left[r]), int(right[r])
                    if e == 4:
                        to_l, to_r = int(a.sp_left[zb]), int(a.sp_right[zb])
                    elif e == 1:
                        to_l = to_r = zb
                    else:
                        to_l, to_r = zb, int(recipient[r])
                    ln = new_node([])
                    rn = new_node(arrival(to_r, e == 2))
                    nodes[node][1] = [ln, rn]
                    pending.append((rn, rc, to_r))
                    pending.append((ln, lc, to_l))
                    i += 1
                    break
                # One copy lost: the next row is its loss.
                lost = int(branch[rows[i + 1]])
                if e == 4:
                    go = int(a.sp_right[zb]) if lost == int(a.sp_left[zb]) else int(a.sp_left[zb])
                    moved = False
                elif e == 1:
                    go, moved = zb, False
                else:
                    go = int(recipient[r]) if lost == zb else zb
                    moved = go != zb
                gone = new_node(arrival(lost, e == 2 and lost != zb) + [at("loss", lost)])
                nodes[gone][2] = "loss"
                on = new_node(arrival(go, moved))
                children = [on, gone]
                if (e == 4 and lost == int(a.sp_left[zb])) or (e == 2 and moved):
                    children = [gone, on]
                nodes[node][1] = children
                node, z = on, go
                i += 2
        out: list[str] = []
        stack: list[tuple[int, bool]] = [(root, False)]
        while stack:
            v, closing = stack.pop()
            if closing:
                out.append("</clade>\n")
                continue
            events, children, label = nodes[v]
            out.append("<clade>")
            if label:
                out.append(f"<name>{escape(label)}</name>")
            out.append("<eventsRec>" + "".join(events) + "</eventsRec>\n")
            stack.append((v, True))
            for child in reversed(children):
                stack.append((child, False))
        return out

    # ------------------------------------------------------------------ plot
    def plot(self, event: str = "D", ax: Any = None, *, cmap: str = "viridis") -> Any:
        """Draw the species tree with every branch coloured by its expected count of `event`.

        Parameters
        ----------
        event : {"D", "T", "received", "L", "S", "O"}, default "D"
            Which count of :meth:`branch_counts` to show.
        ax : matplotlib.axes.Axes, optional
            Where to draw; a new figure by default.
        cmap : str, default "viridis"
            Colour map of the counts.

        Returns
        -------
        matplotlib.axes.Axes
        """
        columns = ("D", "T", "received", "L", "S", "O")
        event = _checks.choice("event", event, columns)
        try:
            import matplotlib.pyplot as plt
            from matplotlib.collections import LineCollection
        except ImportError:
            raise ImportError("plot needs matplotlib: pip install matplotlib") from None
        counts = self.branch_counts()[event].to_numpy()
        a = self._arrays
        n = len(counts)
        # Leaves evenly spaced in post-order; a parent midway between its children.
        y = np.zeros(n)
        next_leaf = 0.0
        for v in range(n):
            if a.sp_is_leaf[v]:
                y[v] = next_leaf
                next_leaf += 1.0
            else:
                y[v] = (y[a.sp_left[v]] + y[a.sp_right[v]]) / 2.0
        top = np.asarray(a.sp_parent_time, dtype=float)
        bottom = np.asarray(a.sp_time, dtype=float)
        if ax is None:
            _, ax = plt.subplots(figsize=(7, max(3.0, 0.3 * next_leaf)))
        segments = [[(top[v], y[v]), (bottom[v], y[v])] for v in range(n)]
        joins = [[(bottom[v], y[a.sp_left[v]]), (bottom[v], y[a.sp_right[v]])]
                 for v in range(n) if not a.sp_is_leaf[v]]
        ax.add_collection(LineCollection(joins, colors="0.6", linewidths=1.0))
        lines = LineCollection(segments, cmap=cmap, linewidths=4.0)
        lines.set_array(counts)
        ax.add_collection(lines)
        for v in range(n):
            if a.sp_is_leaf[v]:
                ax.text(bottom[v], y[v], " " + self._branch_names[v], va="center")
        ax.autoscale()
        ax.set_yticks([])
        ax.set_xlabel("time")
        ax.figure.colorbar(lines, ax=ax, label=f"expected {event} per scenario")
        return ax


def pruned_counts(sim: Any, families: Any = None, per_family: bool = False) -> pd.DataFrame:
    """True per-branch event counts of a simulation, pruned as a reconciliation sees them.

    The history of every family is pruned to the lineages that left extant copies: a
    duplication, transfer or speciation counts when at least one of its copies survives, and a
    copy that left no extant descendant counts as one loss on the branch where it began. These
    are the events a sampled scenario holds, so the table compares with
    :meth:`Reconciliation.branch_counts` (which averages over scenarios per family).

    Parameters
    ----------
    sim : FamilySimulation
        A run of :func:`korvath.simulate_families`.
    families : iterable of int, optional
        Family numbers to count; by default every family.
    per_family : bool, default False
        Counts per family (indexed by family and node name) instead of summed.

    Returns
    -------
    pandas.DataFrame
        Indexed by species node name, with columns ``D``, ``T`` (out of the branch),
        ``received``, ``L``, ``S`` and ``O``: event counts summed over the families.
    """
    from korvath.simulation import FamilySimulation

    if not isinstance(sim, FamilySimulation):
        raise TypeError(f"sim: expected a FamilySimulation, got {type(sim).__name__}")
    ev = sim.events
    if families is not None:
        ev = ev[ev["family"].isin(list(families))].reset_index(drop=True)
    event = ev["event"].astype(str).to_numpy()
    gene = ev["gene"].to_numpy(dtype=np.int64, na_value=-1)
    c1 = ev["child1"].to_numpy(dtype=np.int64, na_value=-1)
    c2 = ev["child2"].to_numpy(dtype=np.int64, na_value=-1)
    branch = ev["branch"].astype(str).to_numpy()
    recipient = ev["recipient"].astype(str).to_numpy()
    # A copy survives unless its last event is a loss, or it splits and neither part survives.
    ends = {}
    for i in range(len(ev)):
        if event[i] != "O":
            ends[int(gene[i])] = i
    survives: dict[int, bool] = {}
    for i in range(len(ev) - 1, -1, -1):  # children end after their parents
        g = int(gene[i])
        if event[i] == "O" or ends.get(g) != i:
            continue
        if event[i] == "L":
            survives[g] = False
        else:
            survives[g] = survives.get(int(c1[i]), True) or survives.get(int(c2[i]), True)
    names = sim.tree.names
    children = sim.tree.children
    position = {name: v for v, name in enumerate(names)}
    columns = ("D", "T", "received", "L", "S", "O")
    family = ev["family"].to_numpy(dtype=np.int64)
    counted: dict[tuple[int, str, str], int] = {}

    def count(kind: str, i: int, where: str) -> None:
        key = (int(family[i]) if per_family else 0, where, kind)
        counted[key] = counted.get(key, 0) + 1

    def first_branch(child: int, parent_row: int) -> str:
        """Branch on which a copy began: a daughter for a speciation, the recipient for the
        arriving copy of a transfer, the event's branch otherwise."""
        i = parent_row
        if event[i] == "S":
            kids = children[position[branch[i]]]
            return names[kids[0] if child == c1[i] else kids[1]]
        if event[i] == "T" and child == c2[i]:
            return recipient[i]
        return branch[i]

    for i in range(len(ev)):
        g = int(gene[i])
        kind = event[i]
        if kind == "O":
            count("O", i, branch[i])
            continue
        if kind == "L" or not survives.get(g, True):
            continue
        count(kind, i, branch[i])
        if kind == "T":
            count("received", i, recipient[i])
        for child in (int(c1[i]), int(c2[i])):
            if not survives.get(child, True):
                count("L", i, first_branch(child, i))
    if per_family:
        listed = (sorted(set(int(f) for f in families)) if families is not None
                  else sorted(set(family.tolist())))
        index = pd.MultiIndex.from_product([listed, names], names=["family", "branch"])
        keys = list(index)
    else:
        index = pd.Index(names, name="branch")
        keys = [(0, name) for name in names]
    data = {c: [counted.get((f, name, c), 0) for f, name in keys] for c in columns}
    return pd.DataFrame(data, index=index, columns=list(columns))
