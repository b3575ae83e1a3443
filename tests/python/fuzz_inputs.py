"""Random calls of every korvath_core function, valid and malformed, shared by
the fuzz tests (test_fuzz.py) and the long fuzz driver (tools/fuzz_driver.py).

A call is generated as a *recipe*: plain data (numbers, strings, lists, dicts)
in which every value that is not plain data -- numpy arrays and scalars,
tuples, ranges, and objects whose conversion hooks raise or lie -- is a
tagged tuple such as ("np", dtype, layout, values). build() turns a recipe into
the real arguments, and source() writes a recipe as Python source, so that a
reproducer can rebuild exactly the call that failed.

Bounds. Every call the generator makes by default ends within a fraction of
a second and holds little memory, whatever the random choices, so the fuzz
tests can run many of them, also under the sanitizers: length claims and
ranges as long as 2**64 (conversions reserve at most a capped capacity, and
a range longer than the memory budget is refused before anything is
allocated), 2**32 founding families (refused up front by every engine) and
infinite duplication or origination rates (the run ends at once). What
stays out is what makes a run grow until its memory budget or its event
limit ends it, which takes seconds to minutes and, without an address-space
limit, up to an eighth of the machine's memory: sequences that never end,
hostile scalars of 2**31 and beyond (or infinite) for any parameter, high
copy rates without a cap (or above growth_limit()), genomes whose
duplications copy nearly the whole genome, and trees that span thousands of
time units or more. The `wide` flag
of random_call() adds those; the fuzz driver passes it with --wide, where
each call runs in a child process under an address-space limit and a time
limit.
"""
import itertools
import math
import re
import warnings

import numpy as np

SIMULATOR_TREE = [("n_nodes", "uint"), ("parent", "[int]"), ("time", "[float]"),
                  ("extant_leaf", "[bool]"), ("root", "uint")]
GENE_FAMILY_RATES = [("duplication", "float"), ("transfer", "float"), ("loss", "float"),
                     ("origination", "float"), ("initial_size", "uint"), ("cap", "int"),
                     ("seed", "uint"), ("replacement", "float"), ("distance_decay", "float"),
                     ("allow_self", "bool")]
SIM15 = SIMULATOR_TREE + GENE_FAMILY_RATES
SPECIES = [("sp_left", "[int]"), ("sp_right", "[int]"), ("sp_is_leaf", "[bool]"),
           ("sp_time", "[float]"), ("sp_parent_time", "[float]"), ("sp_root", "uint")]
GENES = [("gt_offsets", "[uint]"), ("gt_is_leaf", "[bool]"), ("gt_left", "[int]"),
         ("gt_right", "[int]"), ("gt_species", "[int]"), ("dup", "float"), ("transfer", "float"),
         ("loss", "float")]

# Every function's parameters, in order, with their kinds.
PARAMETERS = {
    "simulate_log": SIM15,
    "simulate_trace": SIM15,
    "simulate_profiles": SIM15,
    "simulate_profiles_parallel": SIM15 + [("n_copies", "uint"), ("n_threads", "uint")],
    "simulate_and_write": SIMULATOR_TREE + [("names", "[str]")] + GENE_FAMILY_RATES
    + [("total_age", "float"), ("outdir", "str")],
    "simulate_nucleotide": SIMULATOR_TREE + [
        ("inversion", "float"), ("loss", "float"), ("duplication", "float"), ("transfer", "float"),
        ("transposition", "float"), ("origination", "float"), ("root_length", "int"),
        ("extension", "float"), ("initial_size", "uint"), ("seed", "uint"),
        ("replacement", "float"), ("distance_decay", "float"), ("allow_self", "bool")],
    "dated_joint_loglik": [("sp_parent", "[int]")] + SPECIES + GENES + [
        ("n_steps", "uint"), ("origination", "u8"), ("n_extinct", "uint")],
    "dated_family_loglik": [("sp_parent", "[int]")] + SPECIES + GENES + [
        ("n_steps", "uint"), ("origination", "u8")],
    "undated_joint_loglik": SPECIES + GENES + [
        ("transfers", "u8"), ("origination", "u8"), ("n_extinct", "uint")],
    "undated_family_loglik": SPECIES + GENES + [("transfers", "u8"), ("origination", "u8")],
    "dated_clade_loglik": [("sp_parent", "[int]")] + SPECIES + [
        ("cl_offsets", "[uint]"), ("cl_is_leaf", "[bool]"), ("cl_species", "[int]"),
        ("cl_split_offsets", "[uint]"), ("split_left", "[int]"), ("split_right", "[int]"),
        ("split_weight", "[float]"), ("dup", "float"), ("transfer", "float"), ("loss", "float"),
        ("n_steps", "uint"), ("origination", "u8")],
    "undated_clade_loglik": SPECIES + [
        ("cl_offsets", "[uint]"), ("cl_is_leaf", "[bool]"), ("cl_species", "[int]"),
        ("cl_split_offsets", "[uint]"), ("split_left", "[int]"), ("split_right", "[int]"),
        ("split_weight", "[float]"), ("dup", "float"), ("transfer", "float"), ("loss", "float"),
        ("transfers", "u8"), ("origination", "u8")],
    "dated_clade_reconcile": [("sp_parent", "[int]")] + SPECIES + [
        ("cl_offsets", "[uint]"), ("cl_is_leaf", "[bool]"), ("cl_species", "[int]"),
        ("cl_split_offsets", "[uint]"), ("split_left", "[int]"), ("split_right", "[int]"),
        ("split_weight", "[float]"), ("dup", "float"), ("transfer", "float"), ("loss", "float"),
        ("n_steps", "uint"), ("origination", "u8"), ("samples", "uint"), ("seed", "uint"),
        ("first_family", "uint")],
    "undated_clade_reconcile": SPECIES + [
        ("cl_offsets", "[uint]"), ("cl_is_leaf", "[bool]"), ("cl_species", "[int]"),
        ("cl_split_offsets", "[uint]"), ("split_left", "[int]"), ("split_right", "[int]"),
        ("split_weight", "[float]"), ("dup", "float"), ("transfer", "float"), ("loss", "float"),
        ("transfers", "u8"), ("origination", "u8"), ("samples", "uint"), ("seed", "uint"),
        ("first_family", "uint")],
}
FUNCTIONS = sorted(PARAMETERS)
SIMULATORS = [f for f in FUNCTIONS if f.startswith("simulate")]
LIKELIHOODS = [f for f in FUNCTIONS if f.endswith(("loglik", "reconcile"))]

# What a sampled-reconciliation call stopped by its memory budget advises.
RECONCILE_STORAGE_ADVICE = (
    "; sampled scenarios too large to hold \u2014 ask for fewer samples or fewer families per call",
    "; the gene histories of a family too large to hold \u2014 lower n_steps or score the "
    "family's trees apart",
)
RUNAWAY_MESSAGES = (
    "exceeded max_events; families likely growing without bound \u2014 set max_family_size",
    "exceeded max_events; genome growing without bound \u2014 lower duplication/transfer or raise loss",
    "exceeded max_events; a sampled scenario passed 10000000 events \u2014 lower duplication/"
    "transfer or raise loss",
)
# The memory budget, as its messages name it.
BUDGET = r"the memory budget of \d+\.\d [GM]B \(one eighth of the memory the process may use\)"
# A run whose storage would pass the budget: "exceeded <budget>; <the runaway's advice>".
BUDGET_RUNAWAY = re.compile("exceeded " + BUDGET + "(; .*)")
# An argument that cannot fit the budget (a MemoryError while converting it).
BUDGET_ARGUMENT = re.compile(r"(the sequence holds more items than fit"
                             r"|a sequence of \d+ items \(\d+ bytes each\) does not fit) "
                             + BUDGET)


class Sabotage(Exception):
    """Raised by the conversion hooks of the fuzz's own objects; it must reach
    the caller unchanged, with the note naming the parameter."""


# --------------------------------------------------------------------------
# Objects whose conversion hooks raise or lie

class BadIndex:
    """An integer-like object: __index__ raises, returns a non-int, or a value."""

    def __init__(self, mode, value=0):
        self.mode, self.value = mode, value

    def __index__(self):
        if self.mode == "raise":
            raise Sabotage("__index__")
        if self.mode == "str":
            return "7"
        return self.value


class BadFloat:
    """A float-like object: __float__ raises, returns an int, or a value."""

    def __init__(self, mode, value=0.0):
        self.mode, self.value = mode, value

    def __float__(self):
        if self.mode == "raise":
            raise Sabotage("__float__")
        if self.mode == "int":
            return 3
        return self.value


def fake_numpy_bool(mode):
    """An object that looks like a numpy boolean scalar (its type's module is
    "numpy", its name "bool_") but whose __bool__ raises, returns 1, or is
    missing."""
    namespace = {"__module__": "numpy"}
    if mode == "raise":
        def raising(self):
            raise Sabotage("__bool__")
        namespace["__bool__"] = raising
    elif mode == "int":
        namespace["__bool__"] = lambda self: 1  # the interpreter refuses this itself
    elif mode == "true":
        namespace["__bool__"] = lambda self: True
    elif mode == "missing":
        namespace["__bool__"] = None
    return type("bool_", (), namespace)()


class BadSequence:
    """A sequence whose __len__ raises, lies or is negative, and whose
    iteration raises part-way, yields more than it claims, or never ends."""

    def __init__(self, items, length_mode="true", claimed=0, iter_mode="true", stop_after=0):
        self.items = items
        self.length_mode, self.claimed = length_mode, claimed
        self.iter_mode, self.stop_after = iter_mode, stop_after

    def __len__(self):
        if self.length_mode == "raise":
            raise Sabotage("__len__")
        if self.length_mode == "claim":
            return self.claimed
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        if self.iter_mode == "raise":
            yield from self.items[:self.stop_after]
            raise Sabotage("__iter__")
        if self.iter_mode == "endless":
            yield from itertools.cycle(self.items or [0])
        yield from self.items


class StrSubclass(str):
    pass


# --------------------------------------------------------------------------
# Recipes: build and source

DTYPES = ["bool", "int8", "int16", "int32", "int64", "uint8", "uint16", "uint32", "uint64",
          "float16", "float32", "float64", "longdouble", "complex64", "complex128", "object",
          "str", "bytes", "datetime64[s]", "timedelta64[s]"]
LAYOUTS = ["c", "strided", "reversed", "readonly", "swapped", "column", "scalar0d", "fortran"]


def numpy_array(dtype, layout, values):
    with warnings.catch_warnings(), np.errstate(all="ignore"):
        warnings.simplefilter("ignore")
        if dtype.startswith(("datetime64", "timedelta64")):
            values = [int(v) if isinstance(v, (int, float)) and math.isfinite(v) else 0
                      for v in values]
            base = np.array(values, dtype="int64").astype(dtype)
        elif dtype == "object":
            base = np.empty(len(values), dtype=object)
            base[:] = [build(v) for v in values]
        else:
            try:
                base = np.array(values).astype(dtype)
            except (TypeError, ValueError, OverflowError):
                base = np.array([0] * len(values)).astype(dtype)
    if layout == "strided":
        wide = np.empty(2 * len(base), dtype=base.dtype)
        wide[::2] = base
        return wide[::2]
    if layout == "reversed":
        return base[::-1].copy()[::-1]
    if layout == "readonly":
        base.setflags(write=False)
        return base
    if layout == "swapped" and base.dtype.byteorder in "<>=" and base.dtype.itemsize > 1:
        return base.astype(base.dtype.newbyteorder())
    if layout == "column":
        return base.reshape(-1, 1)
    if layout == "scalar0d":
        return np.array(base[0] if len(base) else 0, dtype=base.dtype)
    if layout == "fortran":
        return np.asfortranarray(base.reshape(1, -1))[0]
    return base


def build(recipe):
    """The real value of a recipe."""
    if isinstance(recipe, list):
        return [build(v) for v in recipe]
    if isinstance(recipe, dict):
        return {k: build(v) for k, v in recipe.items()}
    if not isinstance(recipe, tuple):
        return recipe
    tag, *rest = recipe
    if tag == "tuple":
        return tuple(build(v) for v in rest[0])
    if tag == "range":
        return range(*rest)
    if tag == "np":
        return numpy_array(*rest)
    if tag == "npscalar":
        dtype, value = rest
        with warnings.catch_warnings(), np.errstate(all="ignore"):
            warnings.simplefilter("ignore")
            return np.array([value]).astype(dtype)[0]
    if tag == "index":
        return BadIndex(*rest)
    if tag == "float":
        return BadFloat(*rest)
    if tag == "npbool":
        return fake_numpy_bool(*rest)
    if tag == "seq":
        items, *options = rest
        return BadSequence(build(items), *options)
    if tag == "strsub":
        return StrSubclass(rest[0])
    if tag == "bytes":
        return bytes(rest[0])
    if tag == "object":
        return object()
    if tag == "dict":
        return dict(enumerate(build(rest[0])))
    if tag == "set":
        return set(build(rest[0]))
    raise ValueError(f"unknown recipe tag {tag!r}")


def source(recipe):
    """Python source that evaluates to the same recipe (floats written exactly)."""
    if isinstance(recipe, float):
        if math.isnan(recipe):
            return "float('nan')"
        if math.isinf(recipe):
            return "float('inf')" if recipe > 0 else "-float('inf')"
        return repr(recipe)
    if isinstance(recipe, list):
        return "[" + ", ".join(source(v) for v in recipe) + "]"
    if isinstance(recipe, tuple):
        return "(" + "".join(source(v) + ", " for v in recipe) + ")"
    if isinstance(recipe, dict):
        return "{" + ", ".join(f"{k!r}: {source(v)}" for k, v in recipe.items()) + "}"
    return repr(recipe)


# --------------------------------------------------------------------------
# Valid inputs and their malformations

def as_sequence(rng, values, kind):
    """One valid encoding of a list: list, tuple, numpy array or range."""
    pick = rng.random()
    if pick < 0.55:
        return list(values)
    if pick < 0.7:
        return ("tuple", list(values))
    natural = {"[int]": ["int64", "int32"], "[uint]": ["uint64", "int64"],
               "[float]": ["float64", "float32"], "[bool]": ["bool"]}.get(kind)
    if natural is None:
        return list(values)
    dtype = rng.choice(natural)
    if dtype == "float32":
        return list(values)  # float32 would change the dates themselves
    if kind in ("[int]", "[uint]") and len(values) > 1 and all(
            b - a == 1 for a, b in zip(values, values[1:])) and values[0] >= 0:
        return ("range", values[0], values[-1] + 1)
    return ("np", dtype, rng.choice(["c", "strided", "reversed", "readonly", "fortran"]),
            list(values))


def random_binary_tree(rng, n_leaves):
    """(parent, children) of a binary tree grown from node 0 by splitting leaves."""
    parent, children, leaves = [-1], [[]], [0]
    while len(leaves) < n_leaves:
        v = leaves.pop(rng.randrange(len(leaves)))
        for _ in range(2):
            parent.append(v)
            children.append([])
            children[v].append(len(parent) - 1)
            leaves.append(len(parent) - 1)
    return parent, children


def simulator_tree(rng, wide):
    """A dated species tree as the simulators take it, nodes in random order."""
    parent, children = random_binary_tree(rng, rng.randint(1, 9))
    n = len(parent)
    start = rng.choice([0.0, 0.0, rng.uniform(-2.0, 2.0)])
    span = rng.choice([1.0, rng.uniform(0.0, 1.5)])
    if wide and rng.random() < 0.1:
        span = rng.choice([1e3, 1e6, 1e12])
    end = start + span
    time, extant = [start] * n, [False] * n
    for v in range(1, n):  # parents come before children here
        base = time[parent[v]]
        if children[v]:
            time[v] = base + rng.choice([0.0, rng.uniform(0.0, 0.6)]) * (end - base)
        elif rng.random() < 0.25:
            time[v] = base + rng.random() * (end - base)
        else:
            time[v], extant[v] = end, True
    order = list(range(n))
    rng.shuffle(order)
    new = {old: i for i, old in enumerate(order)}
    p = [0] * n
    t = [0.0] * n
    e = [False] * n
    for old in range(n):
        p[new[old]] = -1 if parent[old] < 0 else new[parent[old]]
        t[new[old]] = time[old]
        e[new[old]] = extant[old]
    return dict(n_nodes=n, parent=p, time=t, extant_leaf=e, root=new[0])


def malform_simulator_tree(rng, tree):
    """Breaks one requirement of the species tree."""
    n = tree["n_nodes"]
    parent, time, extant = list(tree["parent"]), list(tree["time"]), list(tree["extant_leaf"])
    non_root = [v for v in range(n) if parent[v] >= 0]
    how = rng.choice(["short", "long", "n_nodes", "parent_range", "self_parent", "cycle",
                      "two_roots", "one_child", "three_children", "nonfinite", "early",
                      "root_index", "extant_internal", "root_child_early", "empty"])
    if how == "short":
        arr = rng.choice([parent, time, extant])
        del arr[rng.randrange(len(arr)):]
    elif how == "long":
        parent.append(rng.choice([-1, 0, n, 99]))
        time.append(rng.choice([0.5, math.nan]))
        extant.append(rng.random() < 0.5)
    elif how == "n_nodes":
        tree["n_nodes"] = rng.choice([0, n - 1, n + 1, 2**32 - 1, 2**32, 2**63, 2**64 - 1])
    elif how == "parent_range" and non_root:
        parent[rng.choice(non_root)] = rng.choice([n, n + 5, 2**31, 2**63 - 1])
    elif how == "self_parent" and non_root:
        v = rng.choice(non_root)
        parent[v] = v
    elif how == "cycle" and len(non_root) >= 2:
        a, b = rng.sample(non_root, 2)
        parent[a], parent[b] = b, a
    elif how == "two_roots" and non_root:
        parent[rng.choice(non_root)] = rng.choice([-1, -7, -2**63])
    elif how == "one_child" and non_root:
        leaves = [v for v in non_root if v not in parent]
        parent[rng.choice(leaves or non_root)] = -1
    elif how == "three_children":
        parent.append(rng.choice([v for v in range(n) if v in parent] or [0]))
        time.append(time[parent[-1]] + 0.1)
        extant.append(True)
        tree["n_nodes"] = n + 1
    elif how == "nonfinite":
        time[rng.randrange(n)] = rng.choice([math.nan, math.inf, -math.inf])
    elif how == "early" and non_root:
        v = rng.choice(non_root)
        time[v] = time[parent[v]] - rng.choice([1e-9, 0.5, 10.0])
    elif how == "root_index":
        tree["root"] = rng.choice([n, 2**64 - 1] + non_root[:1])
    elif how == "extant_internal":
        internal = [v for v in range(n) if v in parent]
        if internal:
            extant[rng.choice(internal)] = True
    elif how == "root_child_early":
        kids = [v for v in non_root if parent[v] == tree["root"]]
        if kids:
            time[rng.choice(kids)] = time[tree["root"]] - 10.0
    elif how == "empty":
        tree["n_nodes"], parent, time, extant = 0, [], [], []
    tree.update(parent=parent, time=time, extant_leaf=extant)
    return tree


def gene_family_rates(rng, wide):
    """Rates and options of the gene-family simulators. Without `wide`, high
    copy rates only come with a small cap, so no family outgrows a few copies
    per branch, and at most a few families are founded (or 2**32, which every
    engine refuses up front)."""
    rates = dict(duplication=rng.choice([0.0, rng.uniform(0.0, 2.0)]),
                 transfer=rng.choice([0.0, rng.uniform(0.0, 2.0)]),
                 loss=rng.choice([0.0, rng.uniform(0.0, 2.0)]),
                 origination=rng.choice([0.0, rng.uniform(0.0, 3.0)]),
                 initial_size=rng.randint(0, 4),
                 cap=rng.choice([-1, -1, 0, 1, 3, 10]),
                 seed=rng.getrandbits(64),
                 replacement=rng.choice([0.0, 0.5, 1.0, rng.uniform(-0.5, 1.5)]),
                 distance_decay=rng.choice([-1.0, 0.0, 0.5, 2.0]),
                 allow_self=rng.random() < 0.5)
    if rng.random() < 0.15:  # high rates, kept small by the cap
        rates.update(duplication=rng.uniform(0.0, 50.0), transfer=rng.uniform(0.0, 50.0),
                     cap=rng.randint(0, 3))
    if rng.random() < 0.1:  # negative rates give whatever the comparisons produce
        rates[rng.choice(["duplication", "transfer", "loss", "origination"])] = -rng.uniform(0, 2)
    if rng.random() < 0.05:
        rates[rng.choice(["duplication", "transfer", "loss", "origination"])] = math.nan
    if rng.random() < 0.05:
        # Founders past the memory budget are refused before any is made;
        # infinite rates end the run at once.
        rates.update(rng.choice([dict(initial_size=2**32), dict(duplication=math.inf),
                                 dict(origination=math.inf)]))
    if wide and rng.random() < 0.2:
        # Copies that grow without bound until the memory budget or the event
        # limit ends the run (seconds to minutes).
        rates.update(rng.choice([dict(duplication=60.0, cap=-1),
                                 dict(transfer=1e6, cap=-1, replacement=0.0)]))
    return rates


def nucleotide_rates(rng, wide):
    """Per-nucleotide rates small enough that no genome explodes: growth per
    unit time stays below about duplication x mean stretch x length."""
    extension = rng.choice([-1.0, 0.0, 0.5, 0.9, 1.0, 2.0])
    copy_rate = 0.0005 if extension >= 1.0 else 0.01
    rates = dict(inversion=rng.choice([0.0, rng.uniform(0, 0.01)]),
                 loss=rng.choice([0.0, rng.uniform(0, 0.01)]),
                 duplication=rng.choice([0.0, rng.uniform(0, copy_rate)]),
                 transfer=rng.choice([0.0, rng.uniform(0, copy_rate)]),
                 transposition=rng.choice([0.0, rng.uniform(0, 0.01)]),
                 origination=rng.choice([0.0, rng.uniform(0.0, 3.0)]),
                 root_length=rng.choice([-5, 0, 1, 2, 50, 200]),
                 extension=extension,
                 initial_size=rng.randint(0, 3),
                 seed=rng.getrandbits(64),
                 replacement=rng.choice([0.0, 1.0]),
                 distance_decay=rng.choice([-1.0, 0.0, 2.0]),
                 allow_self=rng.random() < 0.5)
    if rng.random() < 0.05:
        rates[rng.choice(["inversion", "loss", "duplication", "origination"])] = -0.01
    if extension >= 1.0 and not wide:
        # Whole-genome stretches: every duplication or transfer doubles a
        # genome and with it its rate, so any such rate explodes in finite time.
        rates.update(duplication=0.0, transfer=0.0)
    if wide and rng.random() < 0.2:
        rates.update(duplication=1.0, extension=0.99, root_length=100, loss=0.0)
    return rates


def names_for(rng, n):
    names = ["n%d" % v for v in range(n)]
    if n and rng.random() < 0.3:
        v = rng.randrange(n)
        names[v] = rng.choice(["a\tb", "a\nb", "a\rb", "x,y", "x:y", "(x)", "x;", "nul\0",
                               "\0", "", "\u00e9\u4e2d", "\ud800", "very" * 50])
    if rng.random() < 0.1:
        names = names[:rng.randrange(n + 1)]
    return names


def simulator_call(rng, name, wide, outdir):
    tree = simulator_tree(rng, wide)
    if rng.random() < 0.5:
        tree = malform_simulator_tree(rng, tree)
    args = {k: tree[k] for k in ("n_nodes", "parent", "time", "extant_leaf", "root")}
    for key, kind in (("parent", "[int]"), ("time", "[float]"), ("extant_leaf", "[bool]")):
        args[key] = as_sequence(rng, args[key], kind)
    if name == "simulate_nucleotide":
        args.update(nucleotide_rates(rng, wide))
        return args
    args.update(gene_family_rates(rng, wide))
    if name == "simulate_profiles_parallel":
        args.update(n_copies=rng.choice([0, 1, 2, 3, 8]), n_threads=rng.choice([0, 1, 2, 3]))
    elif name == "simulate_and_write":
        n = tree["n_nodes"] if isinstance(tree["n_nodes"], int) and tree["n_nodes"] < 64 else 8
        args["names"] = names_for(rng, n)
        args["total_age"] = rng.choice([1.0, 0.0, 2.5, math.nan, math.inf])
        args["outdir"] = rng.choice([outdir + tail for tail in
                                     ["/out", "/a/b/c", "", "/nul\0x", "/file/x"]]
                                    + ["/proc/korvath-fuzz", "/proc/korvath-fuzz/a/b"])
    return {k: args[k] for k, _ in PARAMETERS[name]}


def likelihood_species(rng):
    """A species tree as the likelihood functions take it, in post-order
    (children before parents) or shuffled, with times from the root at 0 or
    a stem start down to tips at 1."""
    parent, children = random_binary_tree(rng, rng.randint(1, 7))
    n = len(parent)
    time = [0.0] * n
    for v in range(1, n):
        time[v] = 1.0 if not children[v] else time[parent[v]] + rng.uniform(0.05, 0.6) * (
            1.0 - time[parent[v]])
    post = []
    stack = [(0, False)]
    while stack:
        v, done = stack.pop()
        if done:
            post.append(v)
            continue
        stack.append((v, True))
        stack.extend((c, False) for c in reversed(children[v]))
    if rng.random() < 0.2:
        rng.shuffle(post)
    new = {old: i for i, old in enumerate(post)}
    stem = rng.choice([0.0, 0.0, 0.2])
    sp = dict(sp_parent=[0] * n, sp_left=[-1] * n, sp_right=[-1] * n, sp_is_leaf=[False] * n,
              sp_time=[0.0] * n, sp_parent_time=[0.0] * n, sp_root=new[0])
    for old in range(n):
        i = new[old]
        sp["sp_parent"][i] = -1 if parent[old] < 0 else new[parent[old]]
        sp["sp_is_leaf"][i] = not children[old]
        if children[old]:
            sp["sp_left"][i], sp["sp_right"][i] = (new[c] for c in children[old])
        sp["sp_time"][i] = time[old]
        sp["sp_parent_time"][i] = time[parent[old]] if parent[old] >= 0 else -stem
    return sp


def gene_tree(rng, species_tips, n_species):
    """One gene tree in local post-order: (is_leaf, left, right, species)."""
    n_tips = rng.randint(1, 6)
    # Join random pairs of subtrees until one is left; nodes are numbered as made.
    is_leaf, left, right, species = [], [], [], []
    pool = []
    for _ in range(n_tips):
        pool.append(len(is_leaf))
        is_leaf.append(True)
        left.append(-1)
        right.append(-1)
        species.append(rng.choice(species_tips) if rng.random() < 0.9
                       else rng.choice([-1, n_species - 1, n_species]))
    while len(pool) > 1:
        a, b = rng.sample(pool, 2)
        pool.remove(a)
        pool.remove(b)
        pool.append(len(is_leaf))
        is_leaf.append(False)
        left.append(a)
        right.append(b)
        species.append(-1)
    return is_leaf, left, right, species


def malform_genes(rng, genes):
    """Breaks the last gene tree of the batch, or the batch's arrays."""
    how = rng.choice(["same_child", "two_parents", "orphan", "forward", "outside", "negative",
                      "one_child", "offsets", "short", "tip_flip", "empty_tree"])
    offsets = genes["gt_offsets"]
    base = offsets[-2] if len(offsets) > 1 else offsets[-1]
    size = offsets[-1] - base
    # Global indices of the last tree's internal nodes; child entries are local.
    internal = [base + g for g in range(size) if not genes["gt_is_leaf"][base + g]]
    if how == "same_child" and internal:
        g = rng.choice(internal)
        genes["gt_right"][g] = genes["gt_left"][g]
    elif how == "two_parents" and len(internal) >= 2:
        a, b = rng.sample(internal, 2)
        genes["gt_left"][a] = genes["gt_left"][b]
    elif how == "orphan":
        genes["gt_is_leaf"].append(True)
        genes["gt_left"].append(-1)
        genes["gt_right"].append(-1)
        genes["gt_species"].append(0)
        genes["gt_offsets"][-1] += 1
    elif how == "forward" and internal:
        genes["gt_left"][rng.choice(internal)] = size - 1
    elif how == "outside" and internal:
        genes["gt_right"][rng.choice(internal)] = rng.choice([size, 10**6, 2**62])
    elif how == "negative" and internal:
        genes["gt_left"][rng.choice(internal)] = rng.choice([-1, -5, -2**63])
    elif how == "one_child" and internal:
        genes["gt_right"][rng.choice(internal)] = -1
    elif how == "offsets":
        offsets = genes["gt_offsets"]
        offsets[rng.randrange(len(offsets))] = rng.choice([0, size + 1, 2**40, 2**64 - 1])
    elif how == "short":
        key = rng.choice(["gt_is_leaf", "gt_left", "gt_right", "gt_species"])
        del genes[key][rng.randrange(len(genes[key]) + 1):]
    elif how == "tip_flip" and genes["gt_is_leaf"]:
        g = rng.randrange(len(genes["gt_is_leaf"]))
        genes["gt_is_leaf"][g] = not genes["gt_is_leaf"][g]
    elif how == "empty_tree":
        genes["gt_offsets"].append(genes["gt_offsets"][-1])


def malform_species(rng, sp):
    n = len(sp["sp_left"])
    how = rng.choice(["child_range", "short", "time", "root", "leaf_flip", "cycle"])
    if how == "child_range":
        sp[rng.choice(["sp_left", "sp_right"])][rng.randrange(n)] = rng.choice([-1, n, 2**40])
    elif how == "short":
        key = rng.choice(["sp_parent", "sp_left", "sp_right", "sp_is_leaf", "sp_time",
                          "sp_parent_time"])
        del sp[key][rng.randrange(len(sp[key]) + 1):]
    elif how == "time":
        key = rng.choice(["sp_time", "sp_parent_time"])
        sp[key][rng.randrange(n)] = rng.choice([math.nan, math.inf, -math.inf, -1.0, 2.0, 1e-13])
    elif how == "root":
        sp["sp_root"] = rng.choice([n, 2**64 - 1] + list(range(n)))
    elif how == "leaf_flip":
        v = rng.randrange(n)
        sp["sp_is_leaf"][v] = not sp["sp_is_leaf"][v]
    elif how == "cycle":
        internal = [v for v in range(n) if not sp["sp_is_leaf"][v]]
        if internal:
            v = rng.choice(internal)
            sp["sp_left"][v] = v


def clades_of(rng, genes):
    """The gene batch as clade graphs (one split per internal node, odd weights now and
    then), sometimes with a second split, one that points forward, or offsets that break."""
    n = len(genes["gt_is_leaf"])

    def child(key, g):  # malformed batches may have shorter child arrays
        return genes[key][g] if g < len(genes[key]) else rng.choice([-1, 0, 2**62])

    counts = [0 if leaf else 1 for leaf in genes["gt_is_leaf"]]
    left = [child("gt_left", g) for g in range(n) if not genes["gt_is_leaf"][g]]
    right = [child("gt_right", g) for g in range(n) if not genes["gt_is_leaf"][g]]
    weight = [rng.choice([1.0, 1.0, 1.0, 0.5, 0.0, -1.0, math.nan, math.inf, 1e300])
              for _ in left]
    if left and rng.random() < 0.3:
        g = rng.randrange(n)
        if not genes["gt_is_leaf"][g]:
            at = sum(counts[:g + 1])
            counts[g] += 1
            left.insert(at, rng.choice([0, 1, g - 1, g, g + 1, -1]))
            right.insert(at, rng.choice([0, g - 1]))
            weight.insert(at, rng.random())
    split_offsets = [0]
    for c in counts:
        split_offsets.append(split_offsets[-1] + c)
    if rng.random() < 0.1:
        i = rng.randrange(len(split_offsets))
        split_offsets[i] = rng.choice([0, 2**63, split_offsets[-1] + 5])
    if rng.random() < 0.1 and split_offsets:
        split_offsets.pop()
    return dict(cl_offsets=list(genes["gt_offsets"]), cl_is_leaf=list(genes["gt_is_leaf"]),
                cl_species=list(genes["gt_species"]), cl_split_offsets=split_offsets,
                split_left=left, split_right=right, split_weight=weight)


def likelihood_call(rng, name, wide):
    sp = likelihood_species(rng)
    n = len(sp["sp_left"])
    tips = [v for v in range(n) if sp["sp_is_leaf"][v]]
    pad = rng.choice([0, 0, 0, 2])  # nodes before the first tree belong to none
    genes = dict(gt_offsets=[pad], gt_is_leaf=[True] * pad, gt_left=[-1] * pad,
                 gt_right=[-1] * pad, gt_species=[0] * pad)
    for _ in range(rng.randint(0, 3)):
        is_leaf, left, right, species = gene_tree(rng, tips, n)
        genes["gt_is_leaf"] += is_leaf
        genes["gt_left"] += left
        genes["gt_right"] += right
        genes["gt_species"] += species
        genes["gt_offsets"].append(len(genes["gt_is_leaf"]))
    if rng.random() < 0.3:
        malform_genes(rng, genes)
    if rng.random() < 0.2:
        malform_species(rng, sp)
    args = dict(sp, **genes)
    if name.endswith(("clade_loglik", "clade_reconcile")):
        args.update(clades_of(rng, genes))
    args["samples"] = rng.choice([0, 1, 3, 20] if rng.random() < 0.95 else [1000])
    args["seed"] = rng.choice([0, 7, 2**64 - 1])
    args["first_family"] = rng.choice([0, 5, 2**64 - 1])
    args.update(dup=rng.choice([0.0, rng.uniform(0, 2)]), transfer=rng.choice([0.0, rng.uniform(0, 2)]),
                loss=rng.choice([0.0, rng.uniform(0, 2)]))
    if rng.random() < 0.05:
        args[rng.choice(["dup", "transfer", "loss"])] = rng.choice(
            [math.nan, -0.5, 1e300, math.inf])
    args["n_steps"] = rng.choice([0, 1, 2, 5, 10, 2**64 - 1] if rng.random() < 0.1 else [1, 2, 5])
    args["origination"] = rng.choice([0, 1, 0, 1, 2, 255])
    args["transfers"] = rng.choice([0, 1, 0, 1, 7])
    args["n_extinct"] = rng.choice([0, 1, 3, 2**64 - 1])
    for key, kind in PARAMETERS[name]:
        if kind.startswith("[") and key in args:
            args[key] = as_sequence(rng, args[key], kind)
    return {k: args[k] for k, _ in PARAMETERS[name]}


# --------------------------------------------------------------------------
# Values of the wrong kind, or of the right kind with hostile hooks

# Parameters on which any value that converts keeps a run small: a seed, an
# index that is checked, a probability, a weighting, a date only formatted.
HARMLESS_WHEN_HUGE = {"seed", "root", "sp_root", "n_nodes", "n_extinct", "replacement",
                      "distance_decay", "total_age", "origination", "transfers", "allow_self",
                      "first_family"}


def growth_limit(name, key):
    """The largest value a parameter may take, without `wide`, before a run
    could grow without bound (None: no such bound)."""
    if name == "simulate_nucleotide" and key in ("inversion", "duplication", "transfer",
                                                  "transposition"):
        return 0.01  # per nucleotide
    if name == "simulate_nucleotide" and key == "extension":
        return 0.95  # from 1 on, every duplication doubles the genome
    if name in SIMULATORS and key in ("origination", "initial_size", "duplication",
                                      "transfer", "time"):
        return 3.0  # rates, families, and dates that set how long copies can grow
    if name.endswith("clade_reconcile") and key == "samples":
        return 1000.0  # scenarios held in the result
    return None


def converted_value(recipe):
    """The number a scalar recipe converts to, when it is one (else None)."""
    if isinstance(recipe, (bool, int, float)):
        return float(recipe) if abs(recipe) < 2**1000 else None
    if isinstance(recipe, tuple) and recipe[0] in ("index", "float", "npscalar") and len(recipe) == 3:
        return float(recipe[2])
    return None


def weird_scalar(rng, wide, kind, key=None, limit=None):
    """A value of the wrong kind, with hostile hooks, or at the edge of
    `kind` (the parameter's scalar kind, or its elements'). Huge values that
    convert (and would make rates, sizes or step counts huge) are drawn only
    with `wide` or for a harmless parameter; without `wide`, no value above
    `limit` is drawn."""
    values = [
        # Wrong kinds, and hooks that raise or return the wrong kind.
        None, "1", ("bytes", [49]), ("tuple", [1]), [1], ("object",), "\ud800", "a\0b",
        ("strsub", "x"), ("index", "raise"), ("index", "str"), ("float", "raise"),
        ("float", "int"), ("npbool", "raise"), ("npbool", "int"), ("npbool", "true"),
        ("npbool", "missing"), 2**1100, -2**1100,
        # Small values that convert for some kinds and not for others.
        -1, 0, 3, 256, 1.5, 0.25, math.nan, True, False, ("index", "value", 3),
        ("index", "value", -3), ("float", "value", 0.25), ("float", "value", math.nan),
        ("npscalar", "float64", 1.0), ("npscalar", "int64", -1), ("npscalar", "bool", True),
        ("npscalar", "float32", 0.5), ("npscalar", "complex128", 1.0),
        ("npscalar", "float16", math.nan), ("npscalar", "uint8", 7),
    ]
    if wide or key in HARMLESS_WHEN_HUGE:
        values += [2**31, 2**63, 2**64, 2**64 - 1, -2**63 - 1, math.inf, -math.inf,
                   ("index", "value", 2**70), ("npscalar", "uint64", 2**64 - 1)]
    elif kind != "float":
        values += [2**64, -2**63 - 1]  # beyond every integer kind
    if limit is not None and not wide:
        values = [v for v in values if not (converted_value(v) or 0.0) > limit]
    return rng.choice(values)


def weird_sequence(rng, kind, wide, n=4, limit=None):
    items = {"[int]": [0, 1, -1, 2], "[uint]": [0, 1, 2, 3], "[float]": [0.0, 0.5, 1.0, 1.0],
             "[bool]": [False, True, True, False], "[str]": ["a", "b", "c", "d"]}[kind][:n]
    choice = rng.random()
    if choice < 0.3:
        return ("np", rng.choice(DTYPES), rng.choice(LAYOUTS), list(items))
    if choice < 0.5:
        items = list(items)
        items[rng.randrange(len(items))] = weird_scalar(rng, wide, kind[1:-1], limit=limit)
        return items
    if choice < 0.75:
        length_mode = rng.choice(["true", "raise", "claim"])
        claimed = rng.choice([0, 1, 100, -1, 2**20, 2**40, 2**62, 2**63 - 1])
        iter_mode = rng.choice(["true", "raise"])
        if wide and rng.random() < 0.15:
            iter_mode = "endless"  # converted until the memory budget stops it
        return ("seq", list(items), length_mode, claimed, iter_mode, rng.randrange(len(items) + 1))
    plain = [None, "012", 5, 1.5, ("bytes", [1, 0, 2]), ("dict", [1, 2]), ("set", [1, 2]),
             ("object",), [[1, 2]], [None], ("range", 0, rng.choice([0, 5, 2**20])),
             ("range", 0, 2**40), ("range", 0, 2**64)]
    return rng.choice(plain)


def sabotage(rng, name, args, wide):
    """Replaces one argument with a value of the wrong kind or with hostile
    hooks; returns the parameter's name."""
    choices = PARAMETERS[name]
    if not wide and abs(args.get("duplication", 0)) + abs(args.get("transfer", 0)) > 6:
        # High rates kept small by the cap: a sabotaged cap could lift it.
        choices = [(k, v) for k, v in choices if k != "cap"]
    if not wide and args.get("initial_size") == 2**32:
        # Split over hundreds of copies, the founders would each fit the
        # budget, and the copies together would take all of it.
        choices = [(k, v) for k, v in choices if k != "n_copies"]
    key, kind = rng.choice(choices)
    if kind.startswith("["):
        n = len(args[key]) if isinstance(args[key], list) else 4
        args[key] = weird_sequence(rng, kind, wide, max(1, min(n, 4)), growth_limit(name, key))
    else:
        args[key] = weird_scalar(rng, wide, kind, key, growth_limit(name, key))
    return key


def random_call(rng, name=None, wide=False, outdir="/tmp/korvath-fuzz"):
    """(function name, recipe of its keyword arguments, sabotaged parameter or None)."""
    name = name or rng.choice(FUNCTIONS)
    if name in SIMULATORS:
        args = simulator_call(rng, name, wide, outdir)
    else:
        args = likelihood_call(rng, name, wide)
    target = sabotage(rng, name, args, wide) if rng.random() < 0.3 else None
    return name, args, target


# --------------------------------------------------------------------------
# What a call may end in

def is_panic(exc):
    kind = type(exc)
    return kind.__qualname__ == "PanicException" and kind.__module__ == "pyo3_runtime"


def classify(name, exc, target=None):
    """None when `exc` is a documented outcome of calling `name`, else a reason.

    Documented: PanicException; the runaway RuntimeError of the simulators,
    ended by their event limit or by the memory budget (with the engine's
    advice), or a worker pool that cannot be built; for simulate_and_write,
    OSError and the ValueError of names and outdir; and any exception raised
    while converting an argument (the interpreter's own, the fuzz's Sabotage,
    or the MemoryError of an argument that cannot fit the memory budget)
    carrying the note that names a parameter of the function (the sabotaged
    one, for the fuzz's Sabotage). A MemoryError of any other kind is a real
    allocation failure, not a documented outcome."""
    if exc is None or is_panic(exc):
        return None
    notes = getattr(exc, "__notes__", None) or []
    converting = [n for n in notes if n.startswith("while processing '")]
    if converting:
        named = converting[-1][len("while processing '"):-1]
        if named not in dict(PARAMETERS[name]):
            return f"note names {named!r}, not a parameter of {name}"
        if isinstance(exc, Sabotage) and named != target:
            return f"the hooks of {target!r} raised, but the note names {named!r}"
        if isinstance(exc, MemoryError) and not BUDGET_ARGUMENT.fullmatch(str(exc)):
            return f"MemoryError during conversion: {exc}"
        return None
    if isinstance(exc, Sabotage):
        return "the fuzz's own exception arrived without the conversion note"
    if isinstance(exc, RuntimeError) and name in SIMULATORS:
        runaway = RUNAWAY_MESSAGES[1 if name == "simulate_nucleotide" else 0]
        budget = BUDGET_RUNAWAY.fullmatch(str(exc))
        if str(exc) == runaway or str(exc).startswith("rayon pool: "):
            return None
        if budget and runaway.endswith(budget.group(1)):
            return None
    if isinstance(exc, RuntimeError) and name.endswith("clade_reconcile"):
        budget = BUDGET_RUNAWAY.fullmatch(str(exc))
        if str(exc) == RUNAWAY_MESSAGES[2]:
            return None
        if budget and re.sub(r" \(family \d+ of the batch\)$", "", budget.group(1)) in \
                RECONCILE_STORAGE_ADVICE:
            return None
    if name == "simulate_and_write" and isinstance(exc, (ValueError, OSError)):
        return None
    return f"undocumented {type(exc).__qualname__}: {exc}"
