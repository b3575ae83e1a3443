"""The dated reconciliation scorer's arithmetic repeated in Python, operation for
operation and in the same order, over a chosen number type:

- ``float``: IEEE doubles, the arithmetic of the compiled core as long as no
  value needs to be rescaled;
- ``wide()``: mpmath numbers at 53-bit precision, rounded to nearest like
  doubles but with an unbounded exponent, so nothing underflows.

Gene trees are given as DAG nodes (``Tip(species)`` or ``Join(left, right)``)
and each distinct node is computed once: a node's probabilities depend only
on its subtree, so a large tree built from repeated subtrees costs as little
as its distinct nodes. ``flatten`` expands a DAG into the post-order arrays
the core takes.
"""
import math

import mpmath


class Tip:
    __slots__ = ("species",)

    def __init__(self, species):
        self.species = species


class Join:
    __slots__ = ("left", "right", "leaves")

    def __init__(self, left, right):
        self.left = left
        self.right = right
        self.leaves = leaf_count(left) + leaf_count(right)


def leaf_count(node):
    return 1 if isinstance(node, Tip) else node.leaves


def flatten(root):
    """Post-order arrays of the expanded tree (children before parents)."""
    is_leaf, left, right, species = [], [], [], []
    stack = [(root, False)]
    done = []
    while stack:
        node, expanded = stack.pop()
        if isinstance(node, Tip):
            done.append(len(is_leaf))
            is_leaf.append(True), left.append(-1), right.append(-1), species.append(node.species)
        elif expanded:
            r, l = done.pop(), done.pop()
            done.append(len(is_leaf))
            is_leaf.append(False), left.append(l), right.append(r), species.append(-1)
        else:
            stack += [(node, True), (node.right, False), (node.left, False)]
    return is_leaf, left, right, species


def wide():
    """The number type with a 53-bit significand and an unbounded exponent."""
    context = mpmath.MPContext()
    context.prec = 53
    return context.mpf


def log_of(value):
    if not value > 0:
        return -math.inf
    if isinstance(value, float):
        return math.log(value)
    with mpmath.workprec(80):
        return float(mpmath.log(mpmath.mpf(value)))


def in_order_sum(values, zero):
    total = zero
    for v in values:
        total = total + v
    return total


# --------------------------------------------------------------------------
# Dated model


def round_half_away(x):
    return math.floor(x + 0.5) if x >= 0 else -math.floor(-x + 0.5)


class Dated:
    def __init__(self, sp, rates, n_steps, num):
        self.num = num
        zero = self.zero = num(0.0)
        left, right, leaf = sp["sp_left"], sp["sp_right"], sp["sp_is_leaf"]
        times, parent_times = sp["sp_time"], sp["sp_parent_time"]
        self.n = n = len(sp["sp_parent"])
        self.left, self.right, self.leaf, self.root = left, right, leaf, sp["sp_root"]
        self.length = [times[i] - parent_times[i] for i in range(n)]
        dup, transfer, loss = (num(r) for r in rates)
        self.dup, self.transfer = dup, transfer
        rate = (dup + transfer) + loss
        self.rate = rate
        float_rate = (rates[0] + rates[1]) + rates[2]
        grid = sorted({round_half_away(t * 1e12) / 1e12 for t in times} | {0.0})
        self.slices = []
        for g, h in zip(grid, grid[1:]):
            steps = max(n_steps, math.ceil((float_rate * (h - g)) * 4.0))
            branches = [i for i in range(n) if parent_times[i] <= g + 1e-9
                        and times[i] >= h - 1e-9 and self.length[i] > 1e-9]
            ends = [k for k, b in enumerate(branches) if abs(times[b] - h) < 1e-9]
            self.slices.append(dict(branches=branches, steps=steps, dt=num((h - g) / steps),
                                    ends=ends, e=[], decay=[], gain=[]))
        self.e_top = [zero] * n
        two_dup = num(2.0) * dup
        for s in reversed(self.slices):
            branches, m = s["branches"], len(s["branches"])
            if m == 0:
                continue
            x = [self.e_top[b] for b in branches]
            for k in s["ends"]:
                b = branches[k]
                x[k] = zero if leaf[b] else self.e_top[left[b]] * self.e_top[right[b]]
            s["e"].append(x)
            for _ in range(s["steps"]):
                total = in_order_sum(x, zero)
                means = [(total - v) / num(m - 1.0) if m >= 2 else zero for v in x]
                s["decay"].append([(rate - two_dup * v) - transfer * mb for v, mb in zip(x, means)])
                s["gain"].append([v * transfer for v in x])
                x = [v - s["dt"] * ((((rate * v) - loss) - (dup * v) * v) - (transfer * v) * mb)
                     for v, mb in zip(x, means)]
                s["e"].append(x)
            for k, b in enumerate(branches):
                self.e_top[b] = x[k]

    def node(self, node, memo):
        """(p_top, per-slice trajectories) of a gene node."""
        key = id(node)
        if key in memo:
            return memo[key]
        zero, num = self.zero, self.num
        tip = isinstance(node, Tip)
        if not tip:
            top1, traj1 = self.node(node.left, memo)
            top2, traj2 = self.node(node.right, memo)
        p_top = [zero] * self.n
        trajectory = [None] * len(self.slices)
        for si in range(len(self.slices) - 1, -1, -1):
            s = self.slices[si]
            branches, m, dt = s["branches"], len(s["branches"]), s["dt"]
            if m == 0:
                continue
            v = [p_top[b] for b in branches]
            for k in s["ends"]:
                b = branches[k]
                if self.leaf[b]:
                    v[k] = num(1.0) if tip and node.species == b else zero
                else:
                    f, h = self.left[b], self.right[b]
                    x = self.e_top[f] * p_top[h] + self.e_top[h] * p_top[f]
                    if not tip:
                        x = x + (top1[h] * top2[f] + top1[f] * top2[h])
                    v[k] = x
            rows = [v]
            others = num(m - 1.0)
            tau = self.transfer / others if m >= 2 else zero
            for j in range(s["steps"]):
                decay, gain = s["decay"][j], s["gain"][j]
                sp_sum = in_order_sum(v, zero) if m >= 2 else zero
                if not tip:
                    a, b = traj1[si][j], traj2[si][j]
                    if m >= 2:
                        sa, sb = in_order_sum(a, zero), in_order_sum(b, zero)
                out = []
                for k in range(m):
                    vk = v[k]
                    p_mean = (sp_sum - vk) / others if m >= 2 else zero
                    kept = vk - dt * ((decay[k] * vk) - gain[k] * p_mean)
                    if tip:
                        out.append(kept + dt * zero)
                    else:
                        sigma = (self.dup * a[k]) * b[k]
                        if m >= 2:
                            sigma = sigma + ((sb - b[k]) * a[k] + (sa - a[k]) * b[k]) * tau
                        out.append(kept + dt * sigma)
                v = out
                rows.append(v)
            trajectory[si] = rows
            for k, b in enumerate(branches):
                p_top[b] = v[k]
        memo[key] = (p_top, trajectory)
        return memo[key]

    def loglik(self, root, origination, memo):
        p_top, _ = self.node(root, memo)
        if origination == 1:
            kept = [p_top[b] for b in range(self.n) if self.length[b] > 1e-9]
            if not kept:
                return -math.inf
            return log_of(in_order_sum(kept, self.zero) / self.num(len(kept)))
        f, h = self.left[self.root], self.right[self.root]
        value = self.e_top[f] * p_top[h] + self.e_top[h] * p_top[f]
        if not isinstance(root, Tip):
            top1, _ = self.node(root.left, memo)
            top2, _ = self.node(root.right, memo)
            value = value + (top1[h] * top2[f] + top1[f] * top2[h])
        return log_of(value)
