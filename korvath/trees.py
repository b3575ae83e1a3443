"""Dated species trees: the one tree object of the toolkit.

Node numbering and names
------------------------
A :class:`SpeciesTree` numbers its nodes ``0 .. n_nodes-1``. Node ``i`` is called
``names[i]``, and ``index(name)`` is the inverse mapping. A tree read from Newick is numbered in
pre-order (the root is 0, a node's children follow it in the order they are written); a tree made
with :meth:`SpeciesTree.from_arrays` keeps the caller's numbering. A species *branch* is named by
its lower node: branch ``i`` runs from the date of ``parent[i]`` to ``time[i]``, and the root owns
no branch (except the optional stem, which only the likelihoods use).

Time
----
Dates run forward: the root is the earliest node and every other node is dated no earlier than
its parent. In a tree read from Newick the root is at date 0 and a node's date is the sum of the
branch lengths from the root down to it; the present is the latest leaf date. Rates given to the
simulators are events per unit of this axis.
"""
from __future__ import annotations

import math
import os
from typing import Callable, Iterable, NamedTuple, Sequence

import numpy as np

from korvath import _checks
from korvath.newick import NewickError, format_newick, parse_newick

__all__ = ["SpeciesTree", "SimulatorArrays", "LikelihoodArrays"]

_BAD_NAME_CHARS = ("\t", "\n", "\r")


class SimulatorArrays(NamedTuple):
    """The species tree as the core's simulators take it.

    Attributes
    ----------
    n_nodes : int
        Number of nodes.
    parent : numpy.ndarray of int64
        Parent of every node, -1 for the root.
    time : numpy.ndarray of float64
        Date of every node (time runs forward from the root).
    extant_leaf : numpy.ndarray of bool
        True for the leaves that reach the present and are sampled.
    root : int
        Index of the root.
    """

    n_nodes: int
    parent: np.ndarray
    time: np.ndarray
    extant_leaf: np.ndarray
    root: int


class LikelihoodArrays(NamedTuple):
    """The species tree as the core's likelihood functions take it, in post-order.

    Only the part of the tree that leads to extant leaves is included: extinct leaves are
    removed, and a node left with one child is merged into that child, whose branch then starts
    where the removed node's branch started. Position ``k`` of every array describes tree node
    ``node_of[k]``; children come before their parents and the root is last.

    Attributes
    ----------
    sp_parent : numpy.ndarray of int64
        Post-order position of every node's parent, -1 for the root.
    sp_left, sp_right : numpy.ndarray of int64
        Positions of the first and second child; -1 for a tip.
    sp_is_leaf : numpy.ndarray of bool
        True for tips (every tip is an extant species).
    sp_time : numpy.ndarray of float64
        Date of the node, the lower end of its branch.
    sp_parent_time : numpy.ndarray of float64
        Date of the upper end of the branch: the parent's date; for the root, its date minus
        the stem (equal to its own date when the tree has no stem).
    sp_root : int
        Position of the root (the last position).
    node_of : numpy.ndarray of int64
        Tree node index at every position.
    position_of : numpy.ndarray of int64
        Position of every tree node, -1 for nodes left out (extinct lineages). Gene-tree tips
        are mapped to species through these positions.
    """

    sp_parent: np.ndarray
    sp_left: np.ndarray
    sp_right: np.ndarray
    sp_is_leaf: np.ndarray
    sp_time: np.ndarray
    sp_parent_time: np.ndarray
    sp_root: int
    node_of: np.ndarray
    position_of: np.ndarray


def _is_int(value: object) -> bool:
    return isinstance(value, (int, np.integer)) and not isinstance(value, (bool, np.bool_))


def _real(value: object, name: str) -> float:
    return _checks.real(name, value)


class SpeciesTree:
    """A dated, rooted, binary species tree with named nodes.

    Build one with :meth:`from_newick`, :meth:`from_arrays` or :meth:`birth_death`; the object
    is read-only. See the module documentation for the node numbering and the time axis.

    Attributes
    ----------
    names : list of str
        Name of every node, indexed by node. Leaves are named by the caller; internal nodes
        keep their Newick label or get a generated name ``n<index>`` (with a suffix
        ``_<k>`` should that name be taken).
    n_nodes : int
        Number of nodes.
    root : int
        Index of the root.
    parent : numpy.ndarray of int64
        Parent of every node, -1 for the root.
    time : numpy.ndarray of float64
        Date of every node; time runs forward from the root.
    extant : numpy.ndarray of bool
        True for the extant leaves.
    stem : float
        Length of the branch above the root (0.0 if none). The likelihoods' root branch starts
        this long before the root; the simulators ignore it, because their families start at the
        root split.
    present : float
        Date of the present: the latest leaf date.
    height : float
        ``present - time[root]``.
    branch_lengths : numpy.ndarray of float64
        Length of every node's branch (the stem for the root), as read from Newick or as derived
        from the dates.
    """

    __slots__ = ("_names", "_parent", "_time", "_extant", "_stem", "_root", "_lengths",
                 "_written", "_index", "_children", "_present")

    def __init__(self, *args: object, **kwargs: object) -> None:
        raise TypeError("make a SpeciesTree with SpeciesTree.from_newick, .from_arrays or "
                        ".birth_death")

    # ------------------------------------------------------------------ construction
    @classmethod
    def _make(cls, parent: np.ndarray, time: np.ndarray, extant: np.ndarray,
              names: list[str], written: np.ndarray, lengths: np.ndarray, stem: float,
              root: int, index: dict[str, int] | None = None) -> "SpeciesTree":
        # Dates or lengths beyond the double range (lengths near 1e308 added up, or dates
        # whose differences overflow) would reach the engines as infinities.
        finite = np.isfinite(time)
        child = parent >= 0
        with np.errstate(over="ignore", invalid="ignore"):
            finite[child] &= np.isfinite(time[child] - time[parent[child]])
        if not finite.all():
            v = int(np.flatnonzero(~finite)[0])
            raise ValueError(f"time: node {names[v]!r} has a date or a branch beyond the range "
                             f"of a double (date {float(time[v])!r}); rescale the tree's times")
        self = object.__new__(cls)
        for array in (parent, time, extant, lengths, written):
            array.setflags(write=False)
        self._parent = parent
        self._time = time
        self._extant = extant
        self._names = names
        self._written = written
        self._lengths = lengths
        self._stem = stem
        self._root = root
        self._index = index if index is not None else {name: i for i, name in enumerate(names)}
        self._children = None
        leaf_dates = time[_leaf_mask(parent)]
        self._present = float(leaf_dates.max())
        return self

    @classmethod
    def from_newick(cls, source: str | os.PathLike[str], *,
                    extant: Iterable[str] | None = None,
                    tolerance: float = 1e-6) -> "SpeciesTree":
        """Read a dated species tree from Newick text or a Newick file.

        Branch lengths give dates: the root is at date 0 and a node's date is the sum of the
        lengths from the root down to it. A length on the root is kept as the :attr:`stem`: the
        likelihoods' root branch starts there, while the simulators ignore it (their families
        start at the root split). Quoted labels, ``[...]`` comments, scientific-notation lengths,
        whitespace and newlines are accepted (see :mod:`korvath.newick`).

        Parameters
        ----------
        source : str or path-like
            Newick text (recognised by a ``(`` or ``;``), or the path of a file holding one tree.
        extant : iterable of str, optional
            Names of the extant leaves; every other leaf is then extinct and all leaves keep
            their dates. By default a leaf is extant when its date is within ``tolerance`` times
            the tree height of the present (the latest leaf date), and such leaves are dated at
            exactly the present.
        tolerance : float, default 1e-6
            Relative tolerance of the default extant test; at least 0.

        Returns
        -------
        SpeciesTree
            Nodes numbered in pre-order; unnamed internal nodes get the names ``n<index>``.

        Raises
        ------
        ValueError
            For unreadable Newick (:class:`korvath.newick.NewickError`) and for a tree the
            simulators cannot use, naming the node: a node with one child or with three or more
            children, a missing or negative branch length, an empty or duplicated leaf name, a
            name holding a tab or line break, an unknown or non-leaf name in ``extant``, or fewer
            than two leaves.
        """
        text = _newick_source(source)
        tolerance = _real(tolerance, "tolerance")
        if not (tolerance >= 0 and math.isfinite(tolerance)):
            raise ValueError(f"tolerance: must be a finite number >= 0, got {tolerance!r}")
        parsed = parse_newick(text)
        parent = parsed.parent.copy()
        labels = list(parsed.labels)
        lengths = parsed.lengths.copy()
        n = len(parent)
        # Checks run on whole arrays; a node is described (which needs its children) only
        # when one fails.
        n_children = np.bincount(parent[1:], minlength=n) if n > 1 else np.zeros(n, np.int64)
        is_leaf = n_children == 0

        def describe(v: int) -> str:
            return _Describer(parent, labels, _children_lists(parent))(v)

        odd = np.flatnonzero((n_children == 1) | (n_children > 2))
        if len(odd):
            _check_shape(_children_lists(parent), _Describer(parent, labels,
                                                               _children_lists(parent)))
        if n < 3:
            raise ValueError("source: a species tree needs at least two leaves")
        missing = np.flatnonzero(np.isnan(lengths[1:])) + 1
        if len(missing):
            raise ValueError(f"{describe(int(missing[0]))} has no branch length")
        negative = np.flatnonzero(lengths[1:] < 0) + 1
        if len(negative):
            v = int(negative[0])
            raise ValueError(f"{describe(v)} has a negative branch length ({float(lengths[v])!r})")
        stem = float(lengths[0])
        if math.isnan(stem):
            stem = 0.0
        elif stem < 0:
            raise ValueError(f"the root has a negative branch length ({stem!r})")
        unnamed = np.flatnonzero(is_leaf & ~np.fromiter(map(bool, labels), dtype=bool, count=n))
        if len(unnamed):
            raise ValueError(f"{describe(int(unnamed[0]))} has an empty label; every leaf needs "
                             "a name")
        # Dates in pre-order: a parent always comes before its children.
        time = np.zeros(n, dtype=np.float64)
        _accumulate_dates(parent, lengths, time)
        present = float(time[is_leaf].max())
        if extant is None:
            height = present - time[0]
            cut = present - tolerance * height
            extant_mask = is_leaf & (time >= cut)
            time[extant_mask] = present
        else:
            extant_mask = _extant_from_names(extant, labels, is_leaf)
        names, written, index = _complete_names(labels, describe)
        lengths[0] = stem
        return cls._make(parent, time, extant_mask, names, written, lengths, stem, 0, index)

    @classmethod
    def from_arrays(cls, parent: Sequence[int] | np.ndarray, time: Sequence[float] | np.ndarray,
                    extant: Sequence[bool] | np.ndarray, names: Sequence[str] | None = None,
                    *, stem: float = 0.0) -> "SpeciesTree":
        """A species tree from flat arrays, keeping the caller's node numbering.

        A toolkit run on the result is the core run on the same arrays: the simulators receive
        exactly ``parent``, ``time`` and ``extant``.

        Parameters
        ----------
        parent : sequence of int
            Parent of every node, -1 for the root (exactly one root).
        time : sequence of float
            Date of every node, no earlier than its parent's; finite.
        extant : sequence of bool
            True for the extant leaves (only leaves may be extant).
        names : sequence of str, optional
            Name of every node: unique, non-empty, without tabs or line breaks. By default node
            ``i`` is called ``n<i>``.
        stem : float, default 0.0
            Length of the branch above the root, used only by the likelihoods; at least 0.

        Raises
        ------
        ValueError
            For arrays of different lengths, an index outside the tree, no root or several, a
            cycle, a node with one child or with three or more, a date before the parent's date,
            a child dated at its parent's date but numbered before it (the simulators end
            branches in date order, ties in index order), an extant internal node, or a bad name.
        TypeError
            For arrays of the wrong kind.
        """
        parent_arr = _int_array(parent, "parent")
        time_arr = _float_array(time, "time")
        extant_arr = _bool_array(extant, "extant")
        n = len(parent_arr)
        if len(time_arr) != n or len(extant_arr) != n:
            raise ValueError(f"parent, time and extant must have the same length (got {n}, "
                             f"{len(time_arr)}, {len(extant_arr)})")
        if n < 3:
            raise ValueError("parent: a species tree needs at least three nodes (two leaves)")
        if names is None:
            name_list = [f"n{i}" for i in range(n)]
        else:
            if isinstance(names, str):
                raise TypeError("names: expected a sequence of str, got a single str")
            name_list = list(names)
            if len(name_list) != n:
                raise ValueError(f"names: expected one name per node ({n}), got {len(name_list)}")
            for i, name in enumerate(name_list):
                if not isinstance(name, str):
                    raise TypeError(f"names[{i}]: expected a str, got {type(name).__name__}")
        stem = _real(stem, "stem")
        if not (stem >= 0 and math.isfinite(stem)):
            raise ValueError(f"stem: must be a finite number >= 0, got {stem!r}")
        bad = np.flatnonzero((parent_arr < -1) | (parent_arr >= n))
        if len(bad):
            v = int(bad[0])
            raise ValueError(f"parent: node {v} has parent {int(parent_arr[v])}, outside -1..{n - 1}")
        roots = np.flatnonzero(parent_arr < 0)
        if len(roots) != 1:
            raise ValueError(f"parent: a tree has exactly one root (parent -1), found {len(roots)}")
        root = int(roots[0])
        if not np.all(np.isfinite(time_arr)):
            v = int(np.flatnonzero(~np.isfinite(time_arr))[0])
            raise ValueError(f"time: the date of node {v} is not finite ({time_arr[v]!r})")
        children = _children_lists(parent_arr)
        describe = _Describer(parent_arr, name_list, children)
        order = _preorder(children, root)
        if len(order) != n:
            lost = sorted(set(range(n)) - set(order))
            raise ValueError(f"parent: node {lost[0]} is not below the root (a cycle)")
        _check_shape(children, describe)
        nonroot = parent_arr >= 0
        p = parent_arr[nonroot]
        c = np.flatnonzero(nonroot)
        early = c[time_arr[c] < time_arr[p]]
        if len(early):
            v = int(early[0])
            raise ValueError(f"time: {describe(v)} is dated {time_arr[v]!r}, before its parent "
                             f"({time_arr[parent_arr[v]]!r})")
        tie = c[(time_arr[c] == time_arr[p]) & (c < p)]
        if len(tie):
            v = int(tie[0])
            raise ValueError(
                f"parent: {describe(v)} has its parent's date but a smaller index than its "
                f"parent ({int(parent_arr[v])}); number a zero-length branch's node after its "
                f"parent")
        is_leaf = np.array([not ch for ch in children], dtype=bool)
        wrong = np.flatnonzero(extant_arr & ~is_leaf)
        if len(wrong):
            raise ValueError(f"extant: {describe(int(wrong[0]))} is an internal node and "
                             "cannot be extant")
        _check_names(name_list, describe)
        lengths = _lengths_from_dates(parent_arr, time_arr)
        lengths[root] = stem
        written = np.ones(n, dtype=bool) if names is not None else is_leaf.copy()
        return cls._make(parent_arr, time_arr, extant_arr, name_list, written, lengths, stem,
                         root)

    @classmethod
    def birth_death(cls, n_extant: int, birth: float = 1.0, death: float = 0.0, *, seed: int,
                    keep_extinct: bool = False) -> "SpeciesTree":
        """A random species tree from a birth-death process with exactly ``n_extant`` extant leaves.

        The process starts with the root split at date 0 (two lineages); each lineage splits at
        rate ``birth`` and dies at rate ``death`` (per lineage per unit time). The tree is
        conditioned on ``n_extant`` extant leaves with a uniform prior on its age: the present is
        a uniformly drawn moment among all moments at which ``n_extant`` lineages are alive (the
        general sampling approach), so that for pure birth the root age has mean
        ``sum(1/k for k in 2..n_extant) / birth``. Runs in which every lineage dies are redrawn.

        Parameters
        ----------
        n_extant : int
            Number of extant leaves, at least 2.
        birth, death : float
            Speciation and extinction rates per lineage per unit time; ``birth > 0`` and
            ``0 <= death < birth``.
        seed : int
            Seed of the random generator (numpy's ``default_rng``); the same seed gives the
            same tree.
        keep_extinct : bool, default False
            Keep the extinct lineages (as extinct leaves). Otherwise they are pruned, and the tree
            is the reconstructed tree of the extant leaves, its root (their most recent common
            ancestor) moved to date 0.

        Returns
        -------
        SpeciesTree
            Extant leaves named ``s1 .. s<n>`` and extinct ones ``x1 ..``, in pre-order; internal
            nodes ``n<index>``. Extant leaves are dated at exactly the present.
        """
        if not _is_int(n_extant):
            raise TypeError(f"n_extant: expected an int, got {type(n_extant).__name__}")
        n_extant = int(n_extant)
        if n_extant < 2:
            raise ValueError(f"n_extant: must be at least 2, got {n_extant}")
        birth = _real(birth, "birth")
        death = _real(death, "death")
        if not (math.isfinite(birth) and birth > 0):
            raise ValueError(f"birth: must be a finite rate > 0, got {birth!r}")
        if not (math.isfinite(death) and 0 <= death < birth):
            raise ValueError(f"death: must be a finite rate with 0 <= death < birth, got {death!r}")
        if not _is_int(seed) or seed < 0:
            raise TypeError(f"seed: expected an int >= 0, got {seed!r}")
        if not isinstance(keep_extinct, (bool, np.bool_)):
            raise TypeError(f"keep_extinct: expected a bool, got {type(keep_extinct).__name__}")
        rng = np.random.default_rng(int(seed))
        parent, dates, status = _general_sampling(rng, n_extant, birth, death)
        return _tree_from_history(cls, parent, dates, status, bool(keep_extinct))

    # ------------------------------------------------------------------ attributes
    @property
    def names(self) -> list[str]:
        return list(self._names)

    @property
    def n_nodes(self) -> int:
        return len(self._parent)

    @property
    def root(self) -> int:
        return self._root

    @property
    def parent(self) -> np.ndarray:
        return self._parent

    @property
    def time(self) -> np.ndarray:
        return self._time

    @property
    def extant(self) -> np.ndarray:
        return self._extant

    @property
    def stem(self) -> float:
        return self._stem

    @property
    def present(self) -> float:
        return self._present

    @property
    def height(self) -> float:
        return self._present - float(self._time[self._root])

    @property
    def branch_lengths(self) -> np.ndarray:
        return self._lengths

    @property
    def is_leaf(self) -> np.ndarray:
        """Boolean array: True for leaves (extant or extinct)."""
        return _leaf_mask(self._parent)

    @property
    def leaves(self) -> list[str]:
        """Names of all leaves, extant and extinct, in node order."""
        return [self._names[v] for v in np.flatnonzero(self.is_leaf).tolist()]

    @property
    def extant_leaves(self) -> list[str]:
        """Names of the extant leaves, in node order."""
        return [self._names[v] for v in np.flatnonzero(self._extant).tolist()]

    @property
    def children(self) -> list[list[int]]:
        """Children of every node, in ascending index (the first is the left child)."""
        if self._children is None:
            self._children = _children_lists(self._parent)
        return [list(c) for c in self._children]

    def index(self, name: str) -> int:
        """Node index of ``name``.

        Raises
        ------
        ValueError
            If no node has that name.
        """
        try:
            return self._index[name]
        except (KeyError, TypeError):
            raise ValueError(f"no node of the species tree is called {name!r}") from None

    def __len__(self) -> int:
        return self.n_nodes

    def __repr__(self) -> str:
        n_extant = int(self._extant.sum())
        n_leaves = int(self.is_leaf.sum())
        return (f"SpeciesTree({self.n_nodes} nodes, {n_extant} extant and "
                f"{n_leaves - n_extant} extinct leaves, height {self.height:g})")

    # ------------------------------------------------------------------ conventions
    def simulator_arrays(self) -> SimulatorArrays:
        """The tree as the core's simulators take it (node numbering unchanged).

        Returns
        -------
        SimulatorArrays
            ``(n_nodes, parent, time, extant_leaf, root)``; the arrays are read-only views.
        """
        return SimulatorArrays(self.n_nodes, self._parent, self._time, self._extant, self._root)

    def likelihood_arrays(self) -> LikelihoodArrays:
        """The tree as the core's likelihood functions take it: post-order arrays of the part
        of the tree that leads to extant leaves (see :class:`LikelihoodArrays`).

        Raises
        ------
        ValueError
            If the tree has fewer than one extant leaf.
        """
        return _likelihood_arrays(self)

    def to_newick(self) -> str:
        """Newick text of the tree, ending with ``;``.

        Branch lengths are written with the shortest text that reads back as the same double,
        so :meth:`from_newick` on the text gives the same lengths and, for trees read from Newick
        or made by :meth:`birth_death`, the same dates, names and extant leaves, with nodes
        numbered in pre-order. For a tree made with :meth:`from_arrays` (root at date 0) the
        lengths are chosen so that each date comes back exactly where a double allows it, and
        otherwise within a unit in the last place. (An extinct leaf that ends closer to the
        present than the reader's tolerance reads back as extant unless the extant leaves are
        named with ``extant=``.) The stem is written
        as the root's length when it is not 0; generated internal names are not written.
        Children are written in ascending node index.
        """
        labels = [name if w else "" for name, w in zip(self._names, self._written.tolist())]
        lengths = self._lengths.copy()
        if self._stem == 0.0:
            lengths[self._root] = np.nan
        return format_newick(self._parent, labels, lengths)

    def _child_lists(self) -> list[list[int]]:
        if self._children is None:
            self._children = _children_lists(self._parent)
        return self._children


# ---------------------------------------------------------------------------- helpers

def _leaf_mask(parent: np.ndarray) -> np.ndarray:
    has_child = np.zeros(len(parent), dtype=bool)
    has_child[parent[parent >= 0]] = True
    return ~has_child


def _children_lists(parent: np.ndarray) -> list[list[int]]:
    children: list[list[int]] = [[] for _ in range(len(parent))]
    for v, p in enumerate(parent.tolist()):
        if p >= 0:
            children[p].append(v)
    return children


def _preorder(children: list[list[int]], root: int) -> list[int]:
    order: list[int] = []
    stack = [root]
    seen = 0
    limit = len(children)
    while stack:
        v = stack.pop()
        order.append(v)
        seen += 1
        if seen > limit:
            break
        stack.extend(reversed(children[v]))
    return order


class _Describer:
    """Names a node in an error message: by its label, or by where it sits."""

    def __init__(self, parent: np.ndarray, labels: Sequence[str],
                 children: list[list[int]]) -> None:
        self.parent = parent
        self.labels = labels
        self.children = children

    def __call__(self, v: int) -> str:
        label = self.labels[v]
        kind = "leaf" if not self.children[v] else "node"
        if label:
            return f"{kind} {label!r} (node {v})"
        if not self.children[v]:
            p = int(self.parent[v])
            where = f"child of {self(p)}" if p >= 0 else "the root"
            return f"unnamed leaf (node {v}, {where})"
        leaves = self._some_leaves(v)
        return f"unnamed node {v} (ancestor of {', '.join(leaves)})"

    def _some_leaves(self, v: int, k: int = 2) -> list[str]:
        found: list[str] = []
        stack = [v]
        while stack and len(found) < k:
            u = stack.pop()
            if not self.children[u]:
                found.append(repr(self.labels[u]) if self.labels[u] else f"node {u}")
            else:
                stack.extend(reversed(self.children[u]))
        return found


def _check_shape(children: list[list[int]], describe: _Describer) -> None:
    for v, ch in enumerate(children):
        if len(ch) == 1:
            raise ValueError(f"{describe(v)} has one child; a species tree must be binary "
                             "(remove the node or give it a second child)")
        if len(ch) > 2:
            raise ValueError(f"{describe(v)} has {len(ch)} children (a polytomy); a species "
                             "tree must be binary (resolve it into splits)")


def _check_names(names: list[str], describe: _Describer) -> None:
    seen: dict[str, int] = {}
    for v, name in enumerate(names):
        if name == "":
            raise ValueError(f"names: node {v} has an empty name")
        for c in _BAD_NAME_CHARS:
            if c in name:
                raise ValueError(f"names: the name {name!r} of node {v} holds a tab or line "
                                 "break, which would break the rows of the result tables")
        if name in seen:
            raise ValueError(f"names: {name!r} names both node {seen[name]} and node {v}; "
                             "names must be unique")
        seen[name] = v


def _complete_names(labels: list[str],
                    describe: Callable[[int], str]) -> tuple[list[str], np.ndarray, dict[str, int]]:
    """Labels checked for uniqueness and line breaks; internal nodes without a label get
    ``n<index>`` (``n<index>_<k>`` should that be taken). Also returns the name -> node map."""
    n = len(labels)
    written = np.fromiter(map(bool, labels), dtype=bool, count=n)
    seen = {name: v for v, name in enumerate(labels) if name}
    if len(seen) != int(written.sum()):
        first: dict[str, int] = {}
        for v, name in enumerate(labels):
            if name and first.setdefault(name, v) != v:
                raise ValueError(f"the label {name!r} is used by {describe(first[name])} and by "
                                 f"{describe(v)}; node names must be unique")
    joined = "\x00".join(labels)
    if "\t" in joined or "\n" in joined or "\r" in joined:
        for name, v in seen.items():
            if "\t" in name or "\n" in name or "\r" in name:
                raise ValueError(f"the label of {describe(v)} holds a tab or line break, which "
                                 "would break the rows of the result tables")
    names = list(labels)
    for v in np.flatnonzero(~written).tolist():
        candidate = f"n{v}"
        k = 1
        while candidate in seen:
            candidate = f"n{v}_{k}"
            k += 1
        names[v] = candidate
        seen[candidate] = v
    return names, written, seen


def _extant_from_names(extant: Iterable[str], labels: list[str], is_leaf: np.ndarray) -> np.ndarray:
    if isinstance(extant, str):
        raise TypeError("extant: expected an iterable of leaf names, got a single str")
    where = {name: v for v, name in enumerate(labels) if name}
    mask = np.zeros(len(labels), dtype=bool)
    for name in extant:
        if not isinstance(name, str):
            raise TypeError(f"extant: expected leaf names (str), got {type(name).__name__}")
        v = where.get(name)
        if v is None:
            raise ValueError(f"extant: no leaf is called {name!r}")
        if not is_leaf[v]:
            raise ValueError(f"extant: {name!r} is an internal node, not a leaf")
        mask[v] = True
    return mask


def _accumulate_dates(parent: np.ndarray, lengths: np.ndarray, time: np.ndarray) -> None:
    """Dates of a pre-order tree (root at 0): each date is its parent's plus the length, the
    parent's being computed first (every parent precedes its children)."""
    n = len(parent)
    if n == 0:
        return
    p = parent.tolist()
    length = lengths.tolist()
    date = [0.0] * n
    for v in range(1, n):
        date[v] = date[p[v]] + length[v]
    time[:] = date


def _lengths_from_dates(parent: np.ndarray, time: np.ndarray) -> np.ndarray:
    """Branch lengths such that a parent's date plus the length gives back exactly the child's
    date, so that dates survive a round trip through Newick text. The difference of the dates
    usually does; where rounding misses, the length is corrected by the (exact) amount the sum
    missed by, then nudged one unit in the last place at a time."""
    lengths = np.full(len(parent), np.nan)
    c = np.flatnonzero(parent >= 0)
    lengths[c] = time[c] - time[parent[c]]
    for step in range(40):
        back = time[parent[c]] + lengths[c]
        wrong = back != time[c]
        if not wrong.any():
            break
        c = c[wrong]
        back = back[wrong]
        if step < 8:
            lengths[c] = lengths[c] + (time[c] - back)
        else:
            lengths[c] = np.where(back < time[c], np.nextafter(lengths[c], np.inf),
                                  np.nextafter(lengths[c], -np.inf))
    return lengths


def _newick_source(source: object) -> str:
    if isinstance(source, os.PathLike):
        return _read_tree_file(os.fspath(source))
    if not isinstance(source, str):
        raise TypeError(f"source: expected Newick text or a file path, got {type(source).__name__}")
    if "(" in source or ";" in source:
        return source
    if os.path.isfile(source):
        return _read_tree_file(source)
    if os.path.isdir(source):
        raise ValueError(f"source: {source!r} is a folder, not a Newick file")
    raise ValueError(f"source: {source[:60]!r} is neither Newick text (no '(' or ';') nor an "
                     "existing file")


def _read_tree_file(path: str | bytes) -> str:
    """The text of a species tree file (a leading byte-order mark dropped), or a ValueError
    naming the file when it cannot be read as UTF-8 text."""
    try:
        with open(path, encoding="utf-8-sig") as handle:
            return handle.read()
    except UnicodeDecodeError as exc:
        raise ValueError(f"source: {path!r} cannot be read as UTF-8 text: {exc}") from None
    except IsADirectoryError:
        raise ValueError(f"source: {path!r} is a folder, not a Newick file") from None
    except FileNotFoundError:
        raise ValueError(f"source: no such file: {path!r}") from None


def _int_array(values: object, name: str) -> np.ndarray:
    if isinstance(values, (str, bytes)):
        raise TypeError(f"{name}: expected a sequence of int, got {type(values).__name__}")
    arr = np.asarray(values)
    if arr.ndim != 1:
        raise ValueError(f"{name}: expected a one-dimensional sequence")
    if arr.size == 0:
        return np.zeros(0, dtype=np.int64)
    if arr.dtype.kind not in "iu":
        if arr.dtype.kind == "O" and all(_is_int(x) for x in arr.tolist()):
            try:
                arr = np.asarray(arr.tolist(), dtype=np.int64)
            except OverflowError:
                raise ValueError(f"{name}: value too large") from None
        else:
            raise TypeError(f"{name}: expected integers, got {arr.dtype}")
    if arr.dtype.kind == "u" and arr.size and arr.max() > np.iinfo(np.int64).max:
        raise ValueError(f"{name}: value too large")
    return arr.astype(np.int64).copy()


def _float_array(values: object, name: str) -> np.ndarray:
    if isinstance(values, (str, bytes)):
        raise TypeError(f"{name}: expected a sequence of float, got {type(values).__name__}")
    arr = np.asarray(values)
    if arr.ndim != 1:
        raise ValueError(f"{name}: expected a one-dimensional sequence")
    if arr.size and arr.dtype.kind not in "iuf":
        raise TypeError(f"{name}: expected real numbers, got {arr.dtype}")
    return arr.astype(np.float64).copy()


def _bool_array(values: object, name: str) -> np.ndarray:
    if isinstance(values, (str, bytes)):
        raise TypeError(f"{name}: expected a sequence of bool, got {type(values).__name__}")
    arr = np.asarray(values)
    if arr.ndim != 1:
        raise ValueError(f"{name}: expected a one-dimensional sequence")
    if arr.size and arr.dtype.kind != "b":
        raise TypeError(f"{name}: expected booleans (True/False), got {arr.dtype}")
    return arr.astype(bool).copy()


# ---------------------------------------------------------------------------- likelihood arrays

def _likelihood_arrays(tree: SpeciesTree) -> LikelihoodArrays:
    parent = tree.parent
    time = tree.time
    children = tree._child_lists()
    n = tree.n_nodes
    extant = tree.extant.tolist()
    # Which nodes lead to an extant leaf, computed children-first.
    pre = _preorder(children, tree.root)
    alive = [False] * n
    for v in reversed(pre):
        alive[v] = extant[v] or any(alive[c] for c in children[v])
    if not alive[tree.root]:
        raise ValueError("the species tree has no extant leaf")
    # Reconstructed tree: a node with one living child is merged into that child.
    kept_children: list[list[int]] = [[c for c in children[v] if alive[c]] for v in range(n)]
    # The top of the kept tree: follow single living children down from the root.
    top = tree.root
    while len(kept_children[top]) == 1:
        top = kept_children[top][0]

    def kept_below(v: int) -> int:
        while len(kept_children[v]) == 1:
            v = kept_children[v][0]
        return v

    node_of: list[int] = []
    up_time: dict[int, float] = {top: float(time[tree.root]) - tree.stem}
    kids: dict[int, tuple[int, int]] = {}
    stack: list[tuple[int, bool]] = [(top, False)]
    while stack:
        v, expanded = stack.pop()
        if expanded or not kept_children[v]:
            node_of.append(v)
            continue
        a, b = (kept_below(c) for c in kept_children[v])
        kids[v] = (a, b)
        up_time[a] = float(time[v])
        up_time[b] = float(time[v])
        stack.append((v, True))
        stack.append((b, False))
        stack.append((a, False))
    m = len(node_of)
    position_of = np.full(n, -1, dtype=np.int64)
    node_arr = np.asarray(node_of, dtype=np.int64)
    position_of[node_arr] = np.arange(m, dtype=np.int64)
    sp_left = np.full(m, -1, dtype=np.int64)
    sp_right = np.full(m, -1, dtype=np.int64)
    sp_parent = np.full(m, -1, dtype=np.int64)
    sp_parent_time = np.empty(m, dtype=np.float64)
    for k, v in enumerate(node_of):
        sp_parent_time[k] = up_time[v]
        if v in kids:
            a, b = kids[v]
            sp_left[k] = position_of[a]
            sp_right[k] = position_of[b]
            sp_parent[position_of[a]] = k
            sp_parent[position_of[b]] = k
    sp_is_leaf = sp_left < 0
    sp_time = time[node_arr].astype(np.float64)
    return LikelihoodArrays(sp_parent, sp_left, sp_right, sp_is_leaf, sp_time, sp_parent_time,
                            m - 1, node_arr, position_of)


# ---------------------------------------------------------------------------- birth-death

def _general_sampling(rng: np.random.Generator, n: int, birth: float,
                      death: float) -> tuple[list[int], list[float], list[int]]:
    """A history conditioned on ``n`` lineages at a present drawn uniformly over all time spent
    with ``n`` lineages (uniform prior on the tree's age).

    Drawing that moment with weight proportional to the time spent with ``n`` lineages amounts
    to weighting a run by its number of visits to ``n`` and choosing one visit uniformly; the
    visits before the chosen one are then as many as the returns to ``n`` of an unweighted run,
    so the chosen visit is distributed as the *last* visit of an ordinary run. The time from its
    start to the present is exponential with rate ``n * (birth + death)`` (a uniform point of a
    length-biased exponential period), and no event happens in between. A run is followed until
    it dies out (then redrawn) or grows so far past ``n`` that a return has probability below
    1e-12."""
    ratio = death / birth
    extra = n if ratio == 0 else max(n, int(math.ceil(math.log(1e-12) / math.log(ratio))))
    stop_at = n + extra
    total = birth + death
    while True:
        parent = [-1, 0, 0]
        born = [0.0, 0.0, 0.0]
        deaths: dict[int, float] = {}
        alive = [1, 2]
        t = 0.0
        last_visit = math.nan  # start of the latest period with n lineages
        if n == 2:
            last_visit = 0.0
        while 0 < len(alive) < stop_at:
            k = len(alive)
            t += float(rng.exponential(1.0 / (k * total)))
            i = int(rng.integers(k))
            v = alive[i]
            if float(rng.random()) * total < birth:
                a = len(parent)
                parent.extend((v, v))
                born.extend((t, t))
                alive[i] = a
                alive.append(a + 1)
            else:
                alive[i] = alive[-1]
                alive.pop()
                deaths[v] = t
            if len(alive) == n:
                last_visit = t
        if math.isnan(last_visit):
            continue
        present = last_visit + float(rng.exponential(1.0 / (n * total)))
        return _truncate(parent, born, deaths, last_visit, present)


def _truncate(parent: list[int], born: list[float], deaths: dict[int, float], cut: float,
              present: float) -> tuple[list[int], list[float], list[int]]:
    """The history up to ``cut`` with its living lineages extended to ``present``: nodes born
    later are dropped; a node's date is the moment its lineage split or died, or the present
    for a lineage alive at ``cut``. Also returns each node's status: 0 internal, 1 extant,
    2 extinct."""
    # Nodes are created in time order; keep those born no later than the cut.
    keep = 1
    while keep < len(parent) and born[keep] <= cut:
        keep += 1
    parent = parent[:keep]
    split_at: dict[int, float] = {}
    for v in range(1, keep):
        split_at[parent[v]] = born[v]
    dates: list[float] = []
    status: list[int] = []
    for v in range(keep):
        if v in split_at:
            dates.append(split_at[v])
            status.append(0)
        elif v in deaths and deaths[v] <= cut:
            dates.append(deaths[v])
            status.append(2)
        else:
            dates.append(present)
            status.append(1)
    return parent, dates, status


def _tree_from_history(cls: type[SpeciesTree], parent: list[int], dates: list[float],
                       status: list[int], keep_extinct: bool) -> SpeciesTree:
    n = len(parent)
    children: list[list[int]] = [[] for _ in range(n)]
    for v in range(1, n):
        children[parent[v]].append(v)
    alive = [s == 1 for s in status]
    for v in range(n - 1, -1, -1):  # children have larger indices than parents
        if children[v]:
            alive[v] = any(alive[c] for c in children[v])
    if keep_extinct:
        top = 0
        kept = children
    else:
        kept = [[c for c in children[v] if alive[c]] for v in range(n)]
        top = 0
        while len(kept[top]) == 1:
            top = kept[top][0]
    # Pre-order relabelling, merging single-child nodes when pruning.
    new_parent: list[int] = []
    new_time: list[float] = []
    new_status: list[int] = []
    stack: list[tuple[int, int]] = [(top, -1)]
    while stack:
        v, p = stack.pop()
        while len(kept[v]) == 1:
            v = kept[v][0]
        idx = len(new_parent)
        new_parent.append(p)
        new_time.append(dates[v])
        new_status.append(status[v] if not kept[v] else 0)
        for c in reversed(kept[v]):
            stack.append((c, idx))
    # Dates are made from branch lengths exactly as from_newick makes them (each date its
    # parent's plus the length, extant leaves then set to the present), so the tree survives
    # a round trip through Newick text date for date.
    parent_arr = np.asarray(new_parent, dtype=np.int64)
    simulated = np.asarray(new_time, dtype=np.float64)
    lengths = np.zeros(len(simulated))
    lengths[1:] = simulated[1:] - simulated[parent_arr[1:]]
    time_arr = np.zeros(len(simulated))
    _accumulate_dates(parent_arr, lengths, time_arr)
    status_arr = np.asarray(new_status)
    extant = status_arr == 1
    present = float(time_arr[extant].max())
    time_arr[extant] = present
    names: list[str] = []
    n_s = n_x = 0
    for v, s in enumerate(new_status):
        if s == 1:
            n_s += 1
            names.append(f"s{n_s}")
        elif s == 2:
            n_x += 1
            names.append(f"x{n_x}")
        else:
            names.append(f"n{v}")
    written = status_arr != 0
    return cls._make(parent_arr, time_arr, extant, names, written, lengths, 0.0, 0)
