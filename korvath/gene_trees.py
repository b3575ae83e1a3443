"""Batches of rooted gene trees whose leaves are mapped to the species of a species tree.

A :class:`GeneTrees` batch is what the likelihoods score (:func:`korvath.loglik`,
:func:`korvath.loglik_joint`, :func:`korvath.fit_rates`). It is read from Newick text, with a
rule that gives the species of every leaf, or taken from a simulation. Every check happens
when the batch is made, so that scoring never meets a malformed tree:

* every internal node has exactly two children (a tree whose root has three children is
  unrooted: root it first);
* every leaf belongs to an extant species of the species tree.

Branch lengths in the Newick text are ignored: the likelihoods use the topology and the leaf
species only.
"""
from __future__ import annotations

import math
import os
import re
from typing import Any, Callable, Mapping, NamedTuple, Sequence, Union

import numpy as np
import pandas as pd

from korvath.clades import CladeArrays, concatenate, family_clades
from korvath.newick import NewickBatch, NewickError, parse_newick_many, read_newick_lines
from korvath.trees import SpeciesTree

__all__ = ["GeneTrees", "GeneTreeArrays"]

LeafSpecies = Union[str, "re.Pattern[str]", Mapping[str, str], Callable[[str], str]]


class GeneTreeArrays(NamedTuple):
    """A batch of gene trees as the core's likelihood functions take it.

    The trees are concatenated (compressed sparse rows): tree ``k`` owns the nodes
    ``gt_offsets[k] .. gt_offsets[k+1]-1``. Within a tree, nodes are numbered locally in
    post-order (both children before their parent, the root last).

    Attributes
    ----------
    gt_offsets : numpy.ndarray of uint64
        ``n_families + 1`` boundaries, starting at 0.
    gt_is_leaf : numpy.ndarray of bool
        True for the leaves.
    gt_left, gt_right : numpy.ndarray of int64
        Local index of the first and second child; -1 for a leaf.
    gt_species : numpy.ndarray of int64
        For a leaf, the post-order position of its species in
        :meth:`korvath.SpeciesTree.likelihood_arrays`; -1 for an internal node.
    """

    gt_offsets: np.ndarray
    gt_is_leaf: np.ndarray
    gt_left: np.ndarray
    gt_right: np.ndarray
    gt_species: np.ndarray


class GeneTrees:
    """A batch of binary gene trees with their leaves mapped to species: one rooted tree per
    family, one unrooted tree (scored over all its rootings), or a sample of trees.

    Make one with :meth:`from_newick`, :meth:`from_samples` or :meth:`from_simulation`. The batch is read-only and
    tied to the species tree it was read against.

    Attributes
    ----------
    species_tree : SpeciesTree
        The tree whose extant species the leaves belong to.
    names : list
        Family names in batch order: the keys of a dict source, otherwise numbers from 1 in
        file (or list) order, or the simulation's family numbers.
    sizes : numpy.ndarray of int64
        Number of nodes of every tree (of clades, for unrooted trees and samples).
    n_nodes : int
        Total number of nodes (or clades).
    """

    __slots__ = ("_tree", "_names", "_offsets", "_is_leaf", "_left", "_right", "_species_node",
                 "_labels", "_arrays", "_clades", "_clade_arrays", "_sample_sizes")

    def __init__(self, *args: object, **kwargs: object) -> None:
        raise TypeError("make GeneTrees with GeneTrees.from_newick or GeneTrees.from_simulation")

    # ------------------------------------------------------------------ construction
    @classmethod
    def _make(cls, tree: SpeciesTree, names: list[Any], offsets: np.ndarray,
              is_leaf: np.ndarray, left: np.ndarray, right: np.ndarray,
              species_node: np.ndarray, labels: list[str]) -> "GeneTrees":
        self = object.__new__(cls)
        self._labels = labels
        for array in (offsets, is_leaf, left, right, species_node):
            array.setflags(write=False)
        self._tree = tree
        self._names = names
        self._offsets = offsets
        self._is_leaf = is_leaf
        self._left = left
        self._right = right
        self._species_node = species_node
        self._arrays: GeneTreeArrays | None = None
        self._clades: CladeArrays | None = None
        self._clade_arrays: CladeArrays | None = None
        # Trees read per family: None for rooted trees, else 1 (an unrooted tree) or more.
        self._sample_sizes: list[int] | None = None
        return self

    @classmethod
    def from_newick(cls, source: Sequence[str] | Mapping[Any, str] | str | os.PathLike[str],
                    species_tree: SpeciesTree, leaf_species: LeafSpecies = "_",
                    rooted: bool = True) -> "GeneTrees":
        """Read gene trees from Newick text.

        Parameters
        ----------
        source : list of str, dict, or path
            A list (or tuple) of Newick strings, one tree each; a dict from family name to
            Newick string; or the path of a file holding one tree per line (blank lines are
            skipped) or a NEXUS file of trees (see :func:`korvath.read_newick_lines`). Families
            are named by the dict keys, otherwise numbered from 1 in order.
        species_tree : SpeciesTree
            The species tree; every leaf must belong to one of its extant species.
        leaf_species : str, compiled regular expression, dict or callable, default "_"
            How a leaf label gives its species name:

            * a str is a separator: the species is the part of the label before its last
              occurrence (``"Homo_sapiens_12"`` gives ``"Homo_sapiens"`` with ``"_"``);
            * a compiled regular expression (``re.compile(...)``) with one group: the species
              is the group's text at the first match;
            * a dict from leaf label to species name;
            * a callable taking the label and returning the species name.
        rooted : bool, default True
            False reads every tree as unrooted (its root may have two or three children) and
            scores it over all its rootings: the likelihood is the mean over the ``2n - 3``
            edges of the root's position (a uniform prior), computed in one pass. Leaf labels
            must then be unique within a tree.

        Returns
        -------
        GeneTrees

        Raises
        ------
        ValueError
            Naming the family and the node or leaf: unreadable Newick; a node with one child or
            with three or more (a root with three children means the tree is unrooted: read it
            with ``rooted=False``); a leaf whose species cannot be found or is not an extant
            species of the tree.
        TypeError
            For arguments of the wrong kind.
        """
        tree = _check_species_tree(species_tree)
        rule = _species_rule(leaf_species)
        rooted = _check_rooted(rooted)
        names, texts = _read_source(source)
        if not rooted:
            return cls._from_samples(tree, names, [[text] for text in texts], rule, False)
        batch = _parse_named(texts, [f"family {name!r}" for name in names])
        return cls._from_batch(tree, names, batch, rule)

    @classmethod
    def from_samples(cls, source: Sequence[Any] | Mapping[Any, Any] | str | os.PathLike[str],
                     species_tree: SpeciesTree,
                     leaf_species: LeafSpecies = "_", rooted: bool = True,
                     burnin: int | float = 0) -> "GeneTrees":
        """Read a sample of gene trees per family (bootstrap replicates or a posterior sample).

        Each family is scored over every tree its observed clades can form, each weighted by
        the product of its conditional clade frequencies (the number of sampled trees that
        split a clade so, over the number that hold the clade): sampled trees add up, and
        trees combining their clades in new ways share their weight. A sample of one tree,
        or of one tree repeated, scores as that tree.

        Parameters
        ----------
        source : dict, list, or path of a folder
            Per family, the sampled trees: a list of Newick strings, or the path of a file
            holding one tree per line (blank lines skipped) or a NEXUS file of trees, either
            possibly compressed (see :func:`korvath.read_newick_lines`). A dict names the
            families by its keys; a list numbers them from 1. A folder holds one such file
            per family, named by the file's name without its extension (and without a
            compression extension: ``fam1.t.gz`` is family ``fam1``), in name order; files
            whose names start with ``.`` are skipped.
        species_tree : SpeciesTree
            The species tree; every leaf must belong to one of its extant species.
        leaf_species : str, compiled regular expression, dict or callable, default "_"
            As for :meth:`from_newick`.
        rooted : bool, default True
            False reads the trees as unrooted and gives every edge the same share of the root
            (see :meth:`from_newick`).
        burnin : int or float, default 0
            The first trees of each family's sample to leave out, as a posterior sample's
            burn-in: a number of trees (an int), or a share of each sample's trees (a float
            in [0, 1), rounded down: 0.25 drops the first 250 of 1,000 trees). Tree numbers in
            error messages count the trees kept.

        Returns
        -------
        GeneTrees

        Raises
        ------
        ValueError
            Naming the family and the tree: unreadable Newick, a tree that is not binary, a
            leaf label used twice in a tree, trees of one family with different leaves, a leaf
            of no extant species, a family without trees (none left after the burn-in); a
            folder with no file, or two of whose files would name the same family.
        TypeError
            For arguments of the wrong kind.
        """
        tree = _check_species_tree(species_tree)
        rule = _species_rule(leaf_species)
        rooted = _check_rooted(rooted)
        burnin = _check_burnin(burnin)
        if isinstance(source, (str, os.PathLike)):
            if isinstance(source, str) and source.lstrip().startswith("("):
                raise TypeError("source: a single str is read as a folder path; pass the trees "
                                "as a list of samples, each a list of Newick strings")
            source = _sample_folder(source)
        if isinstance(source, Mapping):
            names = list(source.keys())
            samples = list(source.values())
        elif isinstance(source, (list, tuple)):
            names = list(range(1, len(source) + 1))
            samples = list(source)
        else:
            raise TypeError("source: expected a dict from family name to trees, a list of "
                            f"samples, or a folder path; got {type(source).__name__}")
        texts_of: list[list[str]] = []
        for name, sample in zip(names, samples):
            if isinstance(sample, (str, os.PathLike)):
                path = os.fspath(sample)
                if isinstance(path, str) and path.lstrip().startswith("("):
                    raise TypeError(f"source[{name!r}]: a single str is read as a file path; "
                                    "pass the trees as a list of Newick strings")
                if not os.path.isfile(path):
                    raise ValueError(f"source[{name!r}]: {_not_a_file(path)}: {path!r}")
                sample = read_newick_lines(path)
            elif not isinstance(sample, (list, tuple)):
                raise TypeError(f"source[{name!r}]: expected a list of Newick strings or a file "
                                f"path, got {type(sample).__name__}")
            for i, text in enumerate(sample):
                if not isinstance(text, str):
                    raise TypeError(f"source[{name!r}][{i}]: expected a Newick str, got "
                                    f"{type(text).__name__}")
            if len(sample) == 0:
                raise ValueError(f"family {name!r}: the sample holds no tree")
            # A share is rounded down, past the rounding of its product (0.29 of 100 is 29).
            drop = (burnin if isinstance(burnin, int)
                    else math.floor(round(burnin * len(sample), 9)))
            if drop >= len(sample):
                trees = "tree" if len(sample) == 1 else "trees"
                raise ValueError(f"family {name!r}: burnin={burnin!r} leaves none of the "
                                 f"sample's {len(sample)} {trees}")
            texts_of.append(list(sample)[drop:])
        return cls._from_samples(tree, names, texts_of, rule, rooted)

    @classmethod
    def _from_samples(cls, tree: SpeciesTree, names: list[Any], texts_of: list[list[str]],
                      rule: Callable[[list[str]], list[str]], rooted: bool) -> "GeneTrees":
        flat = [text for texts in texts_of for text in texts]
        where = [f"family {names[k]!r}" + (f", tree {t + 1}" if len(texts) > 1 else "")
                 for k, texts in enumerate(texts_of) for t in range(len(texts))]
        batch = _parse_named(flat, where)
        offsets = np.asarray(batch.offsets, dtype=np.int64)
        parents = np.asarray(batch.parent, dtype=np.int64)
        families = []
        i = 0
        for k, texts in enumerate(texts_of):
            trees = []
            for _ in texts:
                a, b = int(offsets[i]), int(offsets[i + 1])
                trees.append((parents[a:b], batch.labels[a:b]))
                i += 1
            families.append(family_clades(trees, rooted, names[k]))
        extant_names = [tree.names[v] for v in np.flatnonzero(tree.extant).tolist()]
        extant_nodes = np.flatnonzero(tree.extant)
        index = pd.Index(extant_names)
        species_of = []
        for k, family in enumerate(families):
            found = index.get_indexer(pd.Index(rule(family.leaf_labels), dtype=object))
            missing = np.flatnonzero(found < 0)
            if len(missing):
                j = int(missing[0])
                label = family.leaf_labels[j]
                # Every tree of a sample has the same leaves: the first holds it.
                in_tree = ", tree 1" if len(texts_of[k]) > 1 else ""
                raise ValueError(_species_message(tree, names[k], label, rule([label])[0],
                                                  in_tree))
            species_of.append(extant_nodes[found])
        clades = concatenate(families, species_of)
        labels = [label for f in families
                  for label in f.leaf_labels + [""] * (len(f.is_leaf) - len(f.leaf_labels))]
        self = cls._make(tree, names, clades.cl_offsets, clades.cl_is_leaf, np.empty(0, np.int64),
                         np.empty(0, np.int64), clades.cl_species, labels)
        self._clades = clades
        self._sample_sizes = [len(texts) for texts in texts_of]
        return self

    @classmethod
    def from_simulation(cls, sim: Any) -> "GeneTrees":
        """The extant gene trees of a simulation.

        Parameters
        ----------
        sim : FamilySimulation
            A run of :func:`korvath.simulate_families`. Its gene trees reduced to the extant
            copies (``sim.gene_trees(extant=True)``) are read against ``sim.tree``, leaves
            ``<species>_<gene>`` mapped to their species.

        Returns
        -------
        GeneTrees
            One tree per family that left at least one extant copy, named by the family number
            (from 1). Families without survivors have no tree; their number is
            ``sim.n_families - len(result)``, the ``n_extinct`` of the likelihoods when every
            family was founded at the root.
        """
        from korvath.simulation import FamilySimulation

        if not isinstance(sim, FamilySimulation):
            raise TypeError(f"sim: expected a FamilySimulation, got {type(sim).__name__}")
        return cls.from_newick(sim.gene_trees(extant=True), sim.tree, "_")

    @classmethod
    def _from_batch(cls, tree: SpeciesTree, names: list[Any], batch: NewickBatch,
                    rule: Callable[[list[str]], list[str]]) -> "GeneTrees":
        offsets = np.asarray(batch.offsets, dtype=np.int64)
        parent = np.asarray(batch.parent, dtype=np.int64)
        n = len(parent)
        sizes = np.diff(offsets)
        tree_of = np.repeat(np.arange(len(sizes), dtype=np.int64), sizes)
        start = offsets[:-1][tree_of]
        local = np.arange(n, dtype=np.int64) - start
        # Children per node, from the parents (tree-local indices made global).
        has_parent = parent >= 0
        parent_global = np.where(has_parent, parent + start, -1)
        n_children = np.bincount(parent_global[has_parent], minlength=n)
        bad = np.flatnonzero((n_children != 0) & (n_children != 2))
        if len(bad):
            _arity_error(names, batch, offsets, tree_of, int(bad[0]), int(n_children[bad[0]]))
        is_leaf = n_children == 0
        # In pre-order the first child of a node directly follows it; the second child is
        # the other node naming it as parent.
        first = has_parent & (local == parent + 1)
        second = has_parent & ~first
        left_pre = np.full(n, -1, dtype=np.int64)
        right_pre = np.full(n, -1, dtype=np.int64)
        left_pre[parent_global[first]] = local[first]
        right_pre[parent_global[second]] = local[second]
        # Reversed pre-order is a post-order: every node after its descendants, the root last.
        size_of = sizes[tree_of]
        post_local = size_of - 1 - local
        target = start + post_local  # where each node goes
        out_is_leaf = np.empty(n, dtype=bool)
        out_left = np.empty(n, dtype=np.int64)
        out_right = np.empty(n, dtype=np.int64)
        out_is_leaf[target] = is_leaf
        out_left[target] = np.where(is_leaf, -1, size_of - 1 - left_pre)
        out_right[target] = np.where(is_leaf, -1, size_of - 1 - right_pre)
        # Leaf species, as node indices of the species tree.
        leaf_nodes = np.flatnonzero(is_leaf)
        labels = batch.labels
        leaf_labels = [labels[i] for i in leaf_nodes.tolist()]
        species_names = rule(leaf_labels)
        extant_names = [tree.names[v] for v in np.flatnonzero(tree.extant).tolist()]
        extant_nodes = np.flatnonzero(tree.extant)
        found = pd.Index(extant_names).get_indexer(pd.Index(species_names, dtype=object))
        missing = np.flatnonzero(found < 0)
        if len(missing):
            j = int(missing[0])
            node = int(leaf_nodes[j])
            name = names[int(tree_of[node])]
            species = species_names[j]
            raise ValueError(_species_message(tree, name, leaf_labels[j], species))
        species_node = np.full(n, -1, dtype=np.int64)
        species_node[target[leaf_nodes]] = extant_nodes[found]
        out_labels = [""] * n
        for i, node in enumerate(target[leaf_nodes].tolist()):
            out_labels[node] = leaf_labels[i]
        return cls._make(tree, names, offsets.astype(np.uint64), out_is_leaf, out_left,
                         out_right, species_node, out_labels)

    # ------------------------------------------------------------------ attributes
    @property
    def species_tree(self) -> SpeciesTree:
        return self._tree

    @property
    def names(self) -> list[Any]:
        return list(self._names)

    @property
    def sizes(self) -> np.ndarray:
        return np.diff(self._offsets.astype(np.int64))

    @property
    def n_nodes(self) -> int:
        return int(self._offsets[-1])

    def __len__(self) -> int:
        return len(self._names)

    def __repr__(self) -> str:
        return f"GeneTrees({len(self)} families, {self.n_nodes} nodes)"

    @property
    def is_clade_graph(self) -> bool:
        """True for unrooted trees and samples of trees (scored through their clades)."""
        return self._clades is not None

    def clade_arrays(self) -> CladeArrays:
        """The batch as clade graphs (:class:`korvath.clades.CladeArrays`), leaf species given
        as positions in ``species_tree.likelihood_arrays()``. Every batch has one: a rooted
        tree is a clade graph with one split of weight 1 per internal node."""
        if self._clade_arrays is None:
            clades = self._clades
            if clades is None:
                arrays = self.arrays()
                internal = ~arrays.gt_is_leaf
                counts = internal.astype(np.int64)
                split_offsets = np.zeros(len(counts) + 1, dtype=np.uint64)
                split_offsets[1:] = np.cumsum(counts, dtype=np.uint64)
                clades = CladeArrays(arrays.gt_offsets, arrays.gt_is_leaf, arrays.gt_species,
                                     split_offsets, arrays.gt_left[internal],
                                     arrays.gt_right[internal],
                                     np.ones(int(counts.sum()), dtype=np.float64))
            else:
                position_of = self._tree.likelihood_arrays().position_of
                species = np.where(clades.cl_species >= 0,
                                   position_of[np.maximum(clades.cl_species, 0)], -1)
                clades = clades._replace(cl_species=species)
            for array in clades:
                array.setflags(write=False)
            self._clade_arrays = clades
        return self._clade_arrays

    def arrays(self) -> GeneTreeArrays:
        """The batch as the core's likelihood functions take it (:class:`GeneTreeArrays`),
        leaf species given as positions in ``species_tree.likelihood_arrays()``. Only for
        rooted trees; unrooted trees and samples have :meth:`clade_arrays`."""
        if self._clades is not None:
            raise ValueError("this batch holds unrooted trees or samples of trees, which have "
                             "no single tree per family; use clade_arrays()")
        if self._arrays is None:
            position_of = self._tree.likelihood_arrays().position_of
            species = np.where(self._species_node >= 0,
                               position_of[np.maximum(self._species_node, 0)], -1)
            species.setflags(write=False)
            self._arrays = GeneTreeArrays(self._offsets, self._is_leaf, self._left,
                                          self._right, species)
        return self._arrays

    def leaf_labels(self) -> pd.Series:
        """Label of every gene leaf as read, indexed by (family, local index): the post-order
        node of a rooted tree, or the leaf clade of an unrooted tree or sample."""
        leaves = np.flatnonzero(self._is_leaf)
        offsets = self._offsets.astype(np.int64)
        tree_of = np.searchsorted(offsets, leaves, side="right") - 1
        index = pd.MultiIndex.from_arrays(
            [pd.Index(self._names, dtype=object)[tree_of], leaves - offsets[tree_of]],
            names=["family", "node"])
        return pd.Series([self._labels[i] for i in leaves.tolist()], index=index, name="label",
                         dtype=object)

    def leaf_species(self) -> pd.Series:
        """Species name of every leaf, indexed by (family, local post-order index)."""
        leaves = np.flatnonzero(self._is_leaf)
        offsets = self._offsets.astype(np.int64)
        tree_of = np.searchsorted(offsets, leaves, side="right") - 1
        names = np.asarray(self._tree.names, dtype=object)
        index = pd.MultiIndex.from_arrays(
            [pd.Index(self._names, dtype=object)[tree_of], leaves - offsets[tree_of]],
            names=["family", "node"])
        return pd.Series(names[self._species_node[leaves]], index=index, name="species")


# ---------------------------------------------------------------------------- helpers

def _family_name(file_name: str) -> str:
    """A sample file's family: its name without the last extension, and without a compression
    extension before that (``fam1.t.gz`` is ``fam1``)."""
    stem, extension = os.path.splitext(file_name)
    if extension.lower() in (".gz", ".bz2", ".xz"):
        stem = os.path.splitext(stem)[0]
    return stem or file_name


def _not_a_file(path: str | bytes) -> str:
    """Why a path that is not a regular file cannot be read as one."""
    if os.path.isdir(path):
        return "a folder, not a file"
    return "not a regular file" if os.path.exists(path) else "no such file"


def _sample_folder(folder: str | os.PathLike[str]) -> dict[str, str]:
    """The sample files of a folder by family name (see :meth:`GeneTrees.from_samples`)."""
    path = os.fspath(folder)
    if not isinstance(path, str):
        raise TypeError("source: a folder path must be a str or a path-like of str")
    if not os.path.isdir(path):
        if os.path.isfile(path):
            raise ValueError(f"source: {path!r} is a file; from_samples takes a folder of "
                             "sample files, or a dict from family name to a file or a list of "
                             "trees")
        raise ValueError(f"source: no such folder: {path!r}")
    files = sorted(name for name in os.listdir(path)
                   if os.path.isfile(os.path.join(path, name)) and not name.startswith("."))
    if not files:
        raise ValueError(f"source: the folder {path!r} holds no sample file")
    found: dict[str, str] = {}
    for name in files:
        family = _family_name(name)
        if family in found:
            raise ValueError(f"source: files {os.path.basename(found[family])!r} and {name!r} "
                             f"in {path!r} would both be family {family!r}; rename one")
        found[family] = os.path.join(path, name)
    return found


def _check_burnin(burnin: object) -> int | float:
    if isinstance(burnin, (bool, np.bool_)) or not isinstance(burnin, (int, float, np.integer,
                                                                        np.floating)):
        raise TypeError(f"burnin: expected an int (trees) or a float in [0, 1) (a share), got "
                        f"{type(burnin).__name__}")
    if isinstance(burnin, (int, np.integer)):
        if burnin < 0:
            raise ValueError(f"burnin: expected at least 0 trees, got {int(burnin)}")
        return int(burnin)
    value = float(burnin)
    if not 0.0 <= value < 1.0:
        raise ValueError(f"burnin: a share of the trees must be in [0, 1), got {value!r}")
    return value


def _parse_named(texts: list[str], where: list[str]) -> NewickBatch:
    """parse_newick_many, with a failing tree named by ``where[i]`` instead of its position."""
    try:
        return parse_newick_many(texts)
    except NewickError as exc:
        match = re.match(r"tree (\d+): (.*)", str(exc), re.S)
        if match is None:
            raise
        raise NewickError(f"{where[int(match.group(1))]}: {match.group(2)}") from None


def _check_rooted(rooted: object) -> bool:
    if not isinstance(rooted, (bool, np.bool_)):
        raise TypeError(f"rooted: expected True or False, got {type(rooted).__name__}")
    return bool(rooted)


def _check_species_tree(tree: object) -> SpeciesTree:
    if not isinstance(tree, SpeciesTree):
        raise TypeError(f"species_tree: expected a SpeciesTree, got {type(tree).__name__}")
    return tree


def _read_source(source: object) -> tuple[list[Any], list[str]]:
    if isinstance(source, Mapping):
        names = list(source.keys())
        texts = list(source.values())
        for name, text in zip(names, texts):
            if not isinstance(text, str):
                raise TypeError(f"source[{name!r}]: expected a Newick str, got "
                                f"{type(text).__name__}")
        return names, texts
    if isinstance(source, (str, os.PathLike)):
        text = os.fspath(source)
        if isinstance(text, str) and text.lstrip().startswith("("):
            raise TypeError("source: a single str is read as a file path; pass Newick text as "
                            "a list of strings (one tree each)")
        if not os.path.isfile(text):
            raise ValueError(f"source: {_not_a_file(text)}: {text!r}")
        texts = read_newick_lines(text)
        return list(range(1, len(texts) + 1)), texts
    if isinstance(source, (list, tuple)):
        for i, text in enumerate(source):
            if not isinstance(text, str):
                raise TypeError(f"source[{i}]: expected a Newick str, got {type(text).__name__}")
        return list(range(1, len(source) + 1)), list(source)
    raise TypeError("source: expected a list of Newick strings, a dict from family name to "
                    f"Newick string, or a file path; got {type(source).__name__}")


def _species_rule(leaf_species: object) -> Callable[[list[str]], list[str]]:
    """A function from leaf labels to species names, with errors naming the label."""
    if isinstance(leaf_species, str):
        sep = leaf_species
        if sep == "":
            raise ValueError("leaf_species: the separator must not be empty")

        def by_separator(labels: list[str]) -> list[str]:
            out = [label.rpartition(sep)[0] for label in labels]
            return out

        return by_separator
    if isinstance(leaf_species, re.Pattern):
        pattern = leaf_species
        if pattern.groups != 1:
            raise ValueError(f"leaf_species: the regular expression must have exactly one "
                             f"group, it has {pattern.groups}")

        def by_pattern(labels: list[str]) -> list[str]:
            out = []
            for label in labels:
                m = pattern.search(label)
                out.append("" if m is None or m.group(1) is None else m.group(1))
            return out

        return by_pattern
    if isinstance(leaf_species, Mapping):
        table = leaf_species

        def by_table(labels: list[str]) -> list[str]:
            out = []
            for label in labels:
                species = table.get(label, "")
                out.append(species if isinstance(species, str) else "")
            return out

        return by_table
    if callable(leaf_species):
        function = leaf_species

        def by_call(labels: list[str]) -> list[str]:
            out = []
            for label in labels:
                species = function(label)
                if not isinstance(species, str):
                    raise TypeError(f"leaf_species({label!r}) returned "
                                    f"{type(species).__name__}, expected a species name (str)")
                out.append(species)
            return out

        return by_call
    raise TypeError("leaf_species: expected a separator (str), a compiled regular expression, "
                    f"a dict or a callable; got {type(leaf_species).__name__}")


def _species_message(tree: SpeciesTree, family: Any, label: str, species: str,
                     in_tree: str = "") -> str:
    where = f"family {family!r}{in_tree}: leaf {label!r}"
    if species == "":
        return f"{where}: leaf_species gives no species for this label"
    try:
        v = tree.index(species)
    except ValueError:
        return f"{where}: species {species!r} is not in the species tree"
    if not tree.extant[v]:
        kind = "an extinct leaf" if tree.is_leaf[v] else "an internal node"
        return (f"{where}: species {species!r} is {kind} of the species tree, not an extant "
                "species")
    return f"{where}: species {species!r} is not an extant species of the tree"


def _arity_error(names: list[Any], batch: NewickBatch, offsets: np.ndarray,
                 tree_of: np.ndarray, node: int, n_children: int) -> None:
    k = int(tree_of[node])
    a, b = int(offsets[k]), int(offsets[k + 1])
    local = node - a
    parent = np.asarray(batch.parent[a:b])
    labels = batch.labels[a:b]
    if labels[local]:
        what = f"node {labels[local]!r}"
    elif local == 0:
        what = "the root"
    else:
        below = _leaves_below(parent, labels, local)
        shown = ", ".join(repr(x) for x in below[:3]) + (", ..." if len(below) > 3 else "")
        what = f"the node above leaves {shown}"
    if n_children == 1:
        rule = "has one child; every internal node needs two"
    else:
        rule = f"has {n_children} children; every internal node needs two"
        if local == 0 and n_children == 3:
            rule += " (an unrooted tree? read it with rooted=False, or root it)"
    raise ValueError(f"family {names[k]!r}: {what} {rule}")


def _leaves_below(parent: np.ndarray, labels: list[str], v: int) -> list[str]:
    # In pre-order the subtree of v is the run of nodes after v whose ancestors include v.
    inside = {v}
    out = []
    for u in range(v + 1, len(parent)):
        if int(parent[u]) in inside:
            inside.add(u)
            if labels[u] and not any(int(p) == u for p in parent[u + 1:u + 2]):
                out.append(labels[u])
        else:
            break
    return out
