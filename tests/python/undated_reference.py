"""An independent, converged solution of the undated and reldated likelihood equations.

Written from the model's equations, not from the core's code: the extinction probabilities by
fixed-point iteration polished with Newton steps on the full Jacobian, and every gene node's
probability vector by a dense LU solve of its linear system (the same matrix for every node, so it
is factored once). Each vector is divided by its largest entry, with the logarithm of that factor
carried aside, so no family underflows. Used by the tests and by bench/undated_convergence.py to
measure how far the core's values are from the fixed point.
"""
from __future__ import annotations

import math

import numpy as np
import scipy.linalg


def _mean_matrix(sp_time, sp_parent_time, n: int, reldated: bool) -> np.ndarray:
    """M with (M x)[b] = the mean of x over the branches other than b that may receive a
    transfer from b: all of them (undated), or those whose time spans overlap (reldated)."""
    if not reldated:
        if n < 2:
            return np.zeros((n, n))
        m = np.full((n, n), 1.0 / (n - 1))
        np.fill_diagonal(m, 0.0)
        return m
    t = np.asarray(sp_time, dtype=float)[:n]
    p = np.asarray(sp_parent_time, dtype=float)[:n]
    tol = 1e-9 * max(1.0, np.nanmax(t) if np.any(~np.isnan(t)) else 1.0)
    low = np.fmin(t[:, None], t[None, :])
    high = np.fmax(p[:, None], p[None, :])
    overlap = (low - high) > tol
    np.fill_diagonal(overlap, False)
    counts = overlap.sum(axis=1)
    m = np.zeros((n, n))
    rows = counts > 0
    m[rows] = overlap[rows] / counts[rows, None]
    return m


class UndatedReference:
    """The converged model of one species tree and rate set.

    Parameters
    ----------
    sp_left, sp_right, sp_is_leaf, sp_time, sp_parent_time, sp_root
        The species arrays as the core takes them.
    dup, transfer, loss : float
        Per-lineage rates.
    transfers : int
        1 for reldated mode, anything else for undated mode.
    """

    def __init__(self, sp_left, sp_right, sp_is_leaf, sp_time, sp_parent_time, sp_root,
                 dup: float, transfer: float, loss: float, transfers: int = 0) -> None:
        n = len(sp_left)
        self.n = n
        self.root = int(sp_root)
        self.leaf = np.asarray(sp_is_leaf, dtype=bool)
        self.left = np.where(self.leaf, 0, np.asarray(sp_left, dtype=np.int64))
        self.right = np.where(self.leaf, 0, np.asarray(sp_right, dtype=np.int64))
        g = dup + 1.0 + transfer + loss
        self.ps, self.pd, self.pt, pl = 1.0 / g, dup / g, transfer / g, loss / g
        self.m = _mean_matrix(sp_time, sp_parent_time, n, transfers == 1)
        inner = ~self.leaf

        def extinction_map(e):
            both = np.where(inner, e[self.left] * e[self.right], 0.0)
            return self.ps * both + self.pt * e * (self.m @ e) + pl + self.pd * e * e

        e = np.zeros(n)
        for _ in range(100000):
            new = extinction_map(e)
            if np.max(np.abs(new - e), initial=0.0) < 1e-12:
                e = new
                break
            e = new
        for _ in range(50):  # Newton on e - G(e) = 0, from the iterate below the fixed point
            jac = np.diag(self.pt * (self.m @ e) + 2.0 * self.pd * e) + self.pt * e[:, None] * self.m
            idx = np.flatnonzero(inner)
            jac[idx, self.left[idx]] += self.ps * e[self.right[idx]]
            jac[idx, self.right[idx]] += self.ps * e[self.left[idx]]
            step = np.linalg.solve(np.eye(n) - jac, extinction_map(e) - e)
            e = e + step
            if np.max(np.abs(step), initial=0.0) <= 1e-17:
                break
        self.e = e

        # D P = pt diag(E) M P + W P + c, with W the speciation-with-one-loss terms.
        mean_e = self.m @ e
        a = np.diag((1.0 - 2.0 * self.pd * e) - self.pt * mean_e) - self.pt * e[:, None] * self.m
        idx = np.flatnonzero(inner)
        np.add.at(a, (idx, self.right[idx]), -self.ps * e[self.left[idx]])
        np.add.at(a, (idx, self.left[idx]), -self.ps * e[self.right[idx]])
        self.lu = scipy.linalg.lu_factor(a)

    def _source(self, a: np.ndarray, b: np.ndarray) -> np.ndarray:
        c = 2.0 * self.pd * a * b
        inner = ~self.leaf
        c[inner] += (a[self.right[inner]] * b[self.left[inner]]
                     + a[self.left[inner]] * b[self.right[inner]]) * self.ps
        c += (a * (self.m @ b) + b * (self.m @ a)) * self.pt
        return c

    def tree_loglik(self, is_leaf, left, right, species, origination: int = 0) -> float:
        """ln L of one gene tree (local post-order arrays), or -inf when L is 0."""
        return self.tree_logliks(is_leaf, left, right, species)[1 if origination == 1 else 0]

    def tree_logliks(self, is_leaf, left, right, species) -> tuple[float, float]:
        """ln L of one gene tree in root mode and in uniform mode."""
        size = len(is_leaf)
        vectors: list[np.ndarray] = [None] * size  # type: ignore[list-item]
        logs = [0.0] * size
        for g in range(size):
            if is_leaf[g]:
                c = np.zeros(self.n)
                c[species[g]] = self.ps
                log_scale = 0.0
            else:
                c1, c2 = left[g], right[g]
                c = self._source(vectors[c1], vectors[c2])
                log_scale = logs[c1] + logs[c2]
            p = scipy.linalg.lu_solve(self.lu, c)
            top = np.max(np.abs(p))
            if top > 0.0:
                p = p / top
                log_scale += math.log(top)
            vectors[g], logs[g] = p, log_scale
        root = vectors[size - 1]
        out = []
        for value in (root[self.root], np.sum(root) / self.n):
            out.append(math.log(value) + logs[size - 1] if value > 0.0 else -math.inf)
        return out[0], out[1]

    def family_loglik(self, gt_offsets, gt_is_leaf, gt_left, gt_right, gt_species,
                      origination: int = 0) -> list[float]:
        """One ln L per tree of a batch."""
        pick = 1 if origination == 1 else 0
        return [pair[pick] for pair in self.family_logliks(gt_offsets, gt_is_leaf, gt_left,
                                                           gt_right, gt_species)]

    def family_logliks(self, gt_offsets, gt_is_leaf, gt_left, gt_right,
                       gt_species) -> list[tuple[float, float]]:
        """Per tree of a batch, ln L in root mode and in uniform mode."""
        out = []
        for k in range(len(gt_offsets) - 1):
            a, b = int(gt_offsets[k]), int(gt_offsets[k + 1])
            out.append(self.tree_logliks(gt_is_leaf[a:b], gt_left[a:b], gt_right[a:b],
                                         gt_species[a:b]))
        return out
