"""Reading and writing trees in Newick notation.

Parsing gives flat arrays: nodes are numbered in pre-order (node 0 is the root, a node's
children follow it in the order they are written), each node has a parent index (-1 for the
root), a label and a branch length. Parsing checks the notation only; whether a tree is binary,
dated or uniquely labelled is for the caller to decide (see :class:`korvath.SpeciesTree`).

The notation read here:

* ``(A,B)C:0.5;`` -- nested children in parentheses, then an optional label, then an optional
  ``:`` and branch length; the final ``;`` is optional for a single tree.
* Labels are unquoted (any run of characters other than ASCII whitespace and ``()[]':;,``) or quoted
  with single quotes, where ``''`` stands for one quote: ``'Homo sapiens'``, ``'it''s'``.
  Underscores are kept as they are.
* Branch lengths are decimal numbers, scientific notation included (``1.5e-3``, ``.5``,
  ``+2E+01``); they must be finite. Negative lengths are read as written (the caller decides whether they are allowed).
* ``[...]`` comments are skipped wherever whitespace may appear, and whitespace and newlines
  between tokens are ignored.

Positions in error messages are 0-based character offsets into the text.
"""
from __future__ import annotations

import bz2
import gzip
import lzma
import math
import os
import re
from dataclasses import dataclass
from typing import Sequence

import numpy as np

from korvath import _native

__all__ = [
    "NewickError",
    "NewickTree",
    "NewickBatch",
    "parse_newick",
    "parse_newick_many",
    "read_newick_lines",
    "format_newick",
    "format_length",
    "quote_label",
]


class NewickError(ValueError):
    """A Newick text that cannot be read; the message names the position and the fault."""


@dataclass(frozen=True, eq=False)
class NewickTree:
    """One parsed tree, nodes in pre-order.

    Attributes
    ----------
    parent : numpy.ndarray of int64
        Parent index of every node; -1 for the root (node 0). The children of a node appear
        in the order they are written.
    labels : list of str
        Node labels with quotes removed; ``""`` where a node has none.
    lengths : numpy.ndarray of float64
        Branch length above every node (in the units of the text); NaN where absent.
    """

    parent: np.ndarray
    labels: list[str]
    lengths: np.ndarray

    def __len__(self) -> int:
        return len(self.labels)


@dataclass(frozen=True, eq=False)
class NewickBatch:
    """Many parsed trees concatenated, cut apart by offsets (compressed sparse rows).

    Attributes
    ----------
    offsets : numpy.ndarray of int64
        ``n_trees + 1`` boundaries; tree ``i`` owns nodes ``offsets[i] .. offsets[i+1]-1``
        and ``offsets[0] == 0``.
    parent : numpy.ndarray of int64
        Parent index of every node, local to its tree (0 is the tree's root); -1 for each root.
    labels : list of str
        Node labels, ``""`` where absent.
    lengths : numpy.ndarray of float64
        Branch lengths, NaN where absent.
    """

    offsets: np.ndarray
    parent: np.ndarray
    labels: list[str]
    lengths: np.ndarray

    def __len__(self) -> int:
        return len(self.offsets) - 1

    def tree(self, i: int) -> NewickTree:
        """The ``i``-th tree as a :class:`NewickTree` (its arrays are views into the batch)."""
        n = len(self)
        if not isinstance(i, (int, np.integer)) or isinstance(i, bool):
            raise TypeError(f"i: expected an int, got {type(i).__name__}")
        if i < 0:
            i += n
        if not 0 <= i < n:
            raise IndexError(f"i: tree {i} is outside 0..{n - 1}")
        a, b = int(self.offsets[i]), int(self.offsets[i + 1])
        return NewickTree(self.parent[a:b], self.labels[a:b], self.lengths[a:b])


# ----------------------------------------------------------------------------------------
# Parsing

# Whitespace is ASCII whitespace; any other character is part of a label.
_TOKEN = re.compile(
    r"""(?P<space>(?:[ \t\n\r\f\v]+|\[[^\]]*\])+)
      | (?P<quoted>'(?:[^']|'')*')
      | (?P<punct>[(),:;])
      | (?P<word>[^ \t\n\r\f\v()\[\]',:;]+)
      | (?P<bad>\[|'|\])""",
    re.VERBOSE,
)
_NUMBER = re.compile(r"[+-]?(?:[0-9]+(?:\.[0-9]*)?|\.[0-9]+)(?:[eE][+-]?[0-9]+)?")


def _describe(token: str) -> str:
    return repr(token if len(token) <= 20 else token[:17] + "...")


def _parse_python(text: str) -> tuple[list[int], list[str], list[float]]:
    """The reference parser: pre-order arrays of one tree. Raises NewickError."""
    parent: list[int] = []
    labels: list[str] = []
    lengths: list[float] = []
    open_nodes: list[int] = []   # internal nodes whose ")" has not been read
    open_at: list[int] = []      # the position of their "("
    # State: 'node' expects a subtree start; 'after' expects a label, ':', ',', ')' or ';'.
    state = "node"
    current = -1                 # the node whose label/length may follow
    have_label = False
    have_length = False
    nan = math.nan
    finished = False
    for match in _TOKEN.finditer(text):
        kind = match.lastgroup
        if kind == "space":
            continue
        pos = match.start()
        token = match.group()
        if finished:
            raise NewickError(f"text after the closing ';' at position {pos}: {_describe(token)}")
        if kind == "bad":
            what = "unclosed comment '['" if token == "[" else (
                "unterminated quoted label" if token == "'" else "']' outside a comment")
            raise NewickError(f"{what} at position {pos}")
        if state == "length":
            if kind != "word":
                raise NewickError(f"missing branch length after ':' at position {pos}")
            if not _NUMBER.fullmatch(token):
                raise NewickError(
                    f"branch length {_describe(token)} at position {pos} is not a number")
            value = float(token)
            if not math.isfinite(value):
                raise NewickError(f"branch length {_describe(token)} at position {pos} is not finite")
            lengths[current] = value
            have_length = True
            state = "after"
            continue
        if state == "node":
            if token == "(":
                node = len(parent)
                parent.append(open_nodes[-1] if open_nodes else -1)
                labels.append("")
                lengths.append(nan)
                open_nodes.append(node)
                open_at.append(pos)
                continue
            # Any other token starts a leaf (possibly unlabelled: "(,A)").
            node = len(parent)
            if node == 0 and token == ";":
                raise NewickError(f"no tree before the ';' at position {pos}")
            if node > 0 and not open_nodes:
                raise NewickError(f"a second tree starts at position {pos} without ';' before it")
            parent.append(open_nodes[-1] if open_nodes else -1)
            labels.append("")
            lengths.append(nan)
            current, have_label, have_length = node, False, False
            state = "after"
            if kind == "punct" and token in ",);:":
                pass  # fall through: the leaf has no label
            else:
                labels[node] = token[1:-1].replace("''", "'") if kind == "quoted" else token
                have_label = True
                continue
        # state == "after"
        if kind in ("word", "quoted"):
            if have_label or have_length:
                raise NewickError(
                    f"unexpected text {_describe(token)} at position {pos} after the label or "
                    f"length of node {current}")
            labels[current] = token[1:-1].replace("''", "'") if kind == "quoted" else token
            have_label = True
        elif token == ":":
            if have_length:
                raise NewickError(f"second branch length for node {current} at position {pos}")
            state = "length"
        elif token == ",":
            if not open_nodes:
                raise NewickError(f"',' at position {pos} outside any parentheses")
            state = "node"
        elif token == ")":
            if not open_nodes:
                raise NewickError(f"unbalanced ')' at position {pos}")
            open_at.pop()
            current, have_label, have_length = open_nodes.pop(), False, False
        elif token == ";":
            if open_nodes:
                raise NewickError(
                    f"';' at position {pos} before the '(' at position {open_at[-1]} is closed")
            finished = True
        else:  # "("
            raise NewickError(
                f"unexpected '(' at position {pos}: a subtree must follow '(' or ','")
    if state == "length":
        raise NewickError(f"missing branch length after ':' at the end of the text")
    if open_nodes:
        raise NewickError(f"the '(' at position {open_at[-1]} is never closed")
    if not parent:
        raise NewickError("no tree in the text")
    if state == "node":
        raise NewickError("the text ends where a subtree should start")
    return parent, labels, lengths


def _check_text(text: object, name: str) -> str:
    if not isinstance(text, str):
        raise TypeError(f"{name}: expected a str, got {type(text).__name__}")
    return text


def parse_newick(text: str) -> NewickTree:
    """Parse one Newick tree.

    Parameters
    ----------
    text : str
        One tree; the final ``;`` is optional. Whitespace, newlines and ``[...]`` comments
        between tokens are ignored.

    Returns
    -------
    NewickTree
        Nodes in pre-order (node 0 is the root); see :class:`NewickTree`.

    Raises
    ------
    NewickError
        (a ``ValueError``) naming the position of the fault: unbalanced parentheses, a missing
        or non-numeric branch length, text after ``;``, an unterminated quote or comment.
    TypeError
        If ``text`` is not a str.
    """
    _check_text(text, "text")
    if _native.available:
        out = _native.parse_newick(text)
        if out is not None:
            parent, labels, lengths = out
            return NewickTree(np.frombuffer(parent, dtype=np.int64), labels,
                              np.frombuffer(lengths, dtype=np.float64))
        _parse_python(text)  # words the error
        raise NewickError("the text is not one Newick tree")
    p, labels, lengths_list = _parse_python(text)
    return NewickTree(np.asarray(p, dtype=np.int64), labels,
                      np.asarray(lengths_list, dtype=np.float64))


def parse_newick_many(texts: Sequence[str]) -> NewickBatch:
    """Parse one tree per string into one concatenated batch.

    Parameters
    ----------
    texts : sequence of str
        One tree per string (a list, tuple or other sequence; not a single str).

    Returns
    -------
    NewickBatch
        The trees in order; tree ``i`` owns nodes ``offsets[i] .. offsets[i+1]-1`` and its
        parent indices are local to it.

    Raises
    ------
    NewickError
        For the first tree that cannot be read; the message starts with ``tree <i>:`` (0-based).
    TypeError
        If ``texts`` is a str or holds something other than str.
    """
    if isinstance(texts, (str, bytes)):
        raise TypeError("texts: expected a sequence of str (one tree each), got a single "
                        f"{type(texts).__name__}")
    texts = list(texts)
    for i, t in enumerate(texts):
        if not isinstance(t, str):
            raise TypeError(f"texts[{i}]: expected a str, got {type(t).__name__}")
    if _native.available:
        out = _native.parse_newick_many(texts)
        if not isinstance(out, tuple):
            try:
                _parse_python(texts[out])
            except NewickError as exc:
                raise NewickError(f"tree {out}: {exc}") from None
            raise NewickError(f"tree {out}: the text is not one Newick tree")
        offsets, parent, labels, lengths = out
        return NewickBatch(np.frombuffer(offsets, dtype=np.int64),
                           np.frombuffer(parent, dtype=np.int64), labels,
                           np.frombuffer(lengths, dtype=np.float64))
    offsets = [0]
    parents: list[int] = []
    all_labels: list[str] = []
    all_lengths: list[float] = []
    for i, t in enumerate(texts):
        try:
            p, labels, lengths = _parse_python(t)
        except NewickError as exc:
            raise NewickError(f"tree {i}: {exc}") from None
        parents.extend(p)
        all_labels.extend(labels)
        all_lengths.extend(lengths)
        offsets.append(len(parents))
    return NewickBatch(np.asarray(offsets, dtype=np.int64), np.asarray(parents, dtype=np.int64),
                       all_labels, np.asarray(all_lengths, dtype=np.float64))


def read_newick_lines(path: str | os.PathLike[str]) -> list[str]:
    """Read a file of trees: one Newick tree per line, or the trees of a NEXUS file.

    Parameters
    ----------
    path : str or path-like
        A UTF-8 text file (a leading byte-order mark is dropped), or one compressed with
        gzip, bzip2 or xz (known by its first bytes, whatever its name). In a Newick file,
        blank lines (only whitespace) are skipped. A file whose first word is ``#NEXUS`` is
        read as NEXUS, as written by Bayesian tree samplers: the ``TREE`` (or ``UTREE``)
        commands of its ``TREES`` blocks, in file order, with the block's ``TRANSLATE`` table
        applied to the leaves (``1 Homo_sapiens_12,`` turns leaf ``1`` into
        ``Homo_sapiens_12``). Other blocks are skipped, keywords are read in any case, and
        underscores in labels are kept as written.

    Returns
    -------
    list of str
        The trees as Newick text, in file order: a Newick file's non-blank lines with surrounding
        whitespace removed, or each NEXUS tree's text after its ``=``, leaves translated.

    Raises
    ------
    ValueError
        A NEXUS file with no tree, an unterminated quote or comment, or a ``TRANSLATE`` entry
        without a label; a compressed file cut short or damaged; text that is not UTF-8. The
        message names the file.
    """
    if not isinstance(path, (str, os.PathLike)):
        raise TypeError(f"path: expected a str or path-like, got {type(path).__name__}")
    with open(path, "rb") as raw:
        start = raw.read(6)
    opener = next((module.open for magic, module in _COMPRESSED if start.startswith(magic)),
                  open)
    try:
        with opener(path, "rt", encoding="utf-8-sig") as handle:
            text = handle.read()
    except (EOFError, lzma.LZMAError, UnicodeDecodeError) as exc:
        raise ValueError(f"{os.fspath(path)}: cannot be read as text: {exc}") from None
    except OSError as exc:
        if opener is open:
            raise
        raise ValueError(f"{os.fspath(path)}: cannot be read as text: {exc}") from None
    body = text.lstrip()
    if body[:6].upper() == "#NEXUS":
        return _nexus_trees(text, len(text) - len(body) + 6, os.fspath(path))
    return [line.strip() for line in text.splitlines() if line.strip()]


# Compressed files, known by their first bytes.
_COMPRESSED = ((b"\x1f\x8b", gzip), (b"BZh", bz2), (b"\xfd7zXZ\x00", lzma))


def _nexus_commands(text: str, start: int, where: str) -> list[str]:
    """The commands of NEXUS text from ``start`` (each up to its ``;``), a ``;`` inside quotes
    or ``[...]`` comments not counting; comments are kept in the commands, whitespace around
    each command removed."""
    commands = []
    i = start

    def line(at: int) -> int:
        return text.count("\n", 0, at) + 1

    while True:
        found = _NEXUS_SPECIAL.search(text, i)
        if found is None:
            break
        i = found.start()
        c = text[i]
        if c == "'":
            closed = _QUOTED_REST.match(text, i + 1)
            if closed is None:
                raise ValueError(f"{where}: the quote opened on line {line(i)} is not closed")
            i = closed.end()
        elif c == "[":
            end = text.find("]", i)
            if end < 0:
                raise ValueError(f"{where}: the comment opened on line {line(i)} is not "
                                 "closed")
            i = end + 1
        else:  # ";"
            commands.append(text[start:i].strip())
            start = i = i + 1
    if text[start:].strip():
        commands.append(text[start:].strip())
    return commands


_NEXUS_SPECIAL = re.compile(r"['\[;]")
_QUOTED_REST = re.compile(r"(?:[^']|'')*'")


# A NEXUS token: a quoted word ('' for a quote), a comment, a punctuation mark, or a run of
# other characters.
_NEXUS_TOKEN = re.compile(r"'(?:[^']|'')*'|\[[^\]]*\]|[(),=:;]|[^\s(),=:;\['\]]+")
_LEADING_COMMENTS = re.compile(r"^(?:\s*\[[^\]]*\])+\s*")


def _unquote(token: str) -> str:
    return token[1:-1].replace("''", "'") if token.startswith("'") else token


def _nexus_trees(text: str, start: int, where: str) -> list[str]:
    trees: list[str] = []
    in_trees = False
    translate: dict[str, str] = {}
    for command in _nexus_commands(text, start, where):
        command = _LEADING_COMMENTS.sub("", command)
        words = command.split(None, 1)
        if not words:
            continue
        keyword = words[0].upper()
        rest = words[1] if len(words) > 1 else ""
        if keyword == "BEGIN":
            in_trees = rest.strip().upper() == "TREES"
            translate = {}
        elif keyword in ("END", "ENDBLOCK"):
            in_trees = False
        elif in_trees and keyword == "TRANSLATE":
            tokens = [t for t in _NEXUS_TOKEN.findall(rest) if not t.startswith("[")]
            entries: list[list[str]] = [[]]
            for token in tokens:
                if token == ",":
                    entries.append([])
                else:
                    entries[-1].append(_unquote(token))
            for entry in entries:
                if len(entry) == 2:
                    if entry[0] in translate and translate[entry[0]] != entry[1]:
                        # Either label could be meant: the leaves would be named by a guess.
                        raise ValueError(f"{where}: TRANSLATE gives key {entry[0]!r} two "
                                         f"labels, {translate[entry[0]]!r} and {entry[1]!r}")
                    translate[entry[0]] = entry[1]
                elif entry:
                    raise ValueError(f"{where}: TRANSLATE entry {' '.join(entry)!r} is not a "
                                     "key and one label")
        elif in_trees and keyword in ("TREE", "UTREE"):
            equals = _outside_brackets(rest, "=")
            if equals < 0:
                raise ValueError(f"{where}: TREE command without '=': {command[:60]!r}")
            newick = rest[equals + 1:].strip()
            trees.append(_translate_leaves(newick, translate) + ";")
    if not trees:
        raise ValueError(f"{where}: a NEXUS file with no tree (no TREE command in a TREES "
                         "block)")
    return trees


def _outside_brackets(text: str, char: str) -> int:
    """Position of the first ``char`` outside quotes and comments, or -1."""
    for token in _NEXUS_TOKEN.finditer(text):
        if token.group() == char:
            return token.start()
    return -1


def _translate_leaves(newick: str, translate: dict[str, str]) -> str:
    """The Newick text with each leaf label that is a TRANSLATE key replaced by its label
    (quoted where it needs quotes); everything else kept as written."""
    if not translate:
        return newick

    def replace(found: re.Match[str]) -> str:
        label = _unquote(found.group(2))
        if label not in translate:
            return found.group(0)
        return found.group(1) + quote_label(translate[label])

    return _LEAF_LABEL.sub(replace, newick)


# A leaf's label: what follows the start, a '(' or a ',' (past whitespace and comments).
_LEAF_LABEL = re.compile(r"((?:^|[(,])\s*(?:\[[^\]]*\]\s*)*)('(?:[^']|'')*'|[^\s(),=:;\['\]]+)")


# ----------------------------------------------------------------------------------------
# Writing

_NEEDS_QUOTES = re.compile(r"[ \t\n\r\f\v()\[\]',:;]")


def quote_label(label: str) -> str:
    """The label as it must appear in Newick text: unchanged, or in single quotes (with
    ``'`` doubled) when it holds whitespace or one of ``()[]':;,``."""
    if _NEEDS_QUOTES.search(label):
        return "'" + label.replace("'", "''") + "'"
    return label


def format_length(value: float) -> str:
    """The shortest decimal text that reads back as exactly the same double (Python's
    ``repr`` of a float): ``0.1``, ``1e-05``, ``2.5e+16``."""
    return repr(float(value))


def format_newick(parent: Sequence[int] | np.ndarray, labels: Sequence[str],
                  lengths: Sequence[float] | np.ndarray) -> str:
    """Newick text of a tree given as flat arrays.

    Parameters
    ----------
    parent : sequence of int
        Parent index of every node, negative for the root; exactly one root. Nodes may be
        numbered in any order; the children of a node are written in ascending index.
    labels : sequence of str
        Label of every node (``""`` for none); quoted where needed (:func:`quote_label`).
    lengths : sequence of float
        Branch length above every node; NaN means none is written. Lengths are written with
        the shortest text that reads back as the same double (:func:`format_length`).

    Returns
    -------
    str
        The tree followed by ``;`` (no line feed).
    """
    parent_arr = np.asarray(parent, dtype=np.int64)
    lengths_arr = np.asarray(lengths, dtype=np.float64)
    n = len(parent_arr)
    if len(labels) != n or len(lengths_arr) != n:
        raise ValueError(
            f"parent, labels and lengths must have one entry per node ({n}, {len(labels)}, "
            f"{len(lengths_arr)})")
    if n == 0:
        raise ValueError("parent: a tree needs at least one node")
    if _native.available:
        return _native.format_newick(np.ascontiguousarray(parent_arr),
                                     [str(x) for x in labels], np.ascontiguousarray(lengths_arr))
    return _format_python(parent_arr, labels, lengths_arr)


def _format_python(parent: np.ndarray, labels: Sequence[str], lengths: np.ndarray) -> str:
    n = len(parent)
    roots = np.flatnonzero(parent < 0)
    if len(roots) != 1:
        raise ValueError(f"parent: a tree needs exactly one root, found {len(roots)}")
    if np.any(parent >= n):
        raise ValueError("parent: an index is outside the tree")
    # Children in ascending index: a stable sort of the non-root nodes by parent.
    nonroot = np.flatnonzero(parent >= 0)
    order = nonroot[np.argsort(parent[nonroot], kind="stable")]
    counts = np.bincount(parent[nonroot], minlength=n)
    first = np.concatenate(([0], np.cumsum(counts)))
    order_list = order.tolist()
    first_list = first.tolist()
    suffix = []
    for label, length in zip(labels, lengths.tolist()):
        text = quote_label(label)
        if length == length:  # not NaN
            text += ":" + repr(length)
        suffix.append(text)
    out: list[str] = []
    root = int(roots[0])
    stack: list[tuple[int, int]] = [(root, 0)]
    visited = 0
    while stack:
        node, k = stack.pop()
        a, b = first_list[node], first_list[node + 1]
        if a == b:
            out.append(suffix[node])
            visited += 1
            continue
        if k == 0:
            out.append("(")
        elif k < b - a:
            out.append(",")
        if k < b - a:
            stack.append((node, k + 1))
            stack.append((order_list[a + k], 0))
            continue
        out.append(")")
        out.append(suffix[node])
        visited += 1
    if visited != n:
        raise ValueError("parent: the nodes do not form one tree (a cycle or a detached part)")
    out.append(";")
    return "".join(out)
