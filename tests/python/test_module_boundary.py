"""The module's surface: function table, binding errors, conversion of every kind."""
import collections
import gc
import inspect
import os
import pathlib
import re

import numpy as np
import pytest

import korvath_core as kc
from conftest import assert_panics, is_panic, outcome

NAMES = [
    "available", "simulate_profiles", "simulate_profiles_parallel", "simulate_log",
    "simulate_trace", "simulate_and_write", "simulate_nucleotide", "dated_joint_loglik",
    "undated_joint_loglik", "dated_family_loglik", "undated_family_loglik", "dated_clade_loglik",
    "undated_clade_loglik", "undated_clade_reconcile", "dated_clade_reconcile",
]

# A two-leaf species tree with every rate 0: valid for every simulator.
TREE = dict(n_nodes=3, parent=[-1, 0, 0], time=[0.0, 1.0, 1.0], extant_leaf=[False, True, True],
            root=0)
RATES = dict(duplication=0.0, transfer=0.0, loss=0.0, origination=0.0, initial_size=1, cap=-1,
             seed=7, replacement=0.0, distance_decay=-1.0, allow_self=False)
LOG_ARGS = {**TREE, **RATES}

# An empty batch on a one-branch species tree: conversion is the only work.
UNDATED_ARGS = dict(sp_left=[-1], sp_right=[-1], sp_is_leaf=[True], sp_time=[1.0],
                    sp_parent_time=[0.0], sp_root=0, gt_offsets=[], gt_is_leaf=[], gt_left=[],
                    gt_right=[], gt_species=[], dup=0.1, transfer=0.1, loss=0.1, transfers=0,
                    origination=0)


def raised(fn, *args, **kwargs):
    with pytest.raises(BaseException) as info:
        fn(*args, **kwargs)
    return info.value


class TestModule:
    def test_all_and_dir_list_the_functions_in_order(self):
        assert kc.__all__ == NAMES
        assert set(NAMES) <= set(dir(kc))
        assert kc.available() is True

    def test_available_takes_no_arguments(self):
        with pytest.raises(TypeError):
            kc.available(1)

    def test_signatures_come_from_the_docstrings(self):
        assert list(inspect.signature(kc.simulate_log).parameters) == list(LOG_ARGS)
        assert list(inspect.signature(kc.undated_family_loglik).parameters) == \
            list(UNDATED_ARGS)
        assert list(inspect.signature(kc.available).parameters) == []
        assert kc.simulate_trace.__doc__.startswith(
            'The compact "event trace" engine: identical dynamics to `simulate_log`')
        assert kc.simulate_log.__doc__ is None  # signature line only
        assert "n_extinct` adds `k·log P(no survivor)`." in kc.dated_joint_loglik.__doc__

    def test_stub_file_matches_the_module(self):
        stub = pathlib.Path(__file__).resolve().parents[2] / "src" / "korvath_core.pyi"
        installed = pathlib.Path(kc.__file__).with_name("korvath_core.pyi")
        if "site-packages" in kc.__file__:  # an installed module carries its stubs
            assert installed.read_text() == stub.read_text()
        text = stub.read_text()
        for name in NAMES:
            match = re.search(rf"^def {name}\((.*?)\) ->", text, re.M)
            assert match, name
            stub_params = [p.split(":")[0].strip() for p in match.group(1).split(",") if p]
            assert stub_params == list(inspect.signature(getattr(kc, name)).parameters), name


class TestBinding:
    def test_too_many_positional(self):
        exc = raised(kc.simulate_log, *LOG_ARGS.values(), 1)
        assert type(exc) is TypeError
        assert str(exc) == "simulate_log() takes 15 positional arguments but 16 were given"

    def test_unexpected_and_duplicate_keywords(self):
        exc = raised(kc.simulate_log, **LOG_ARGS, bogus=1)
        assert str(exc) == "simulate_log() got an unexpected keyword argument 'bogus'"
        exc = raised(kc.simulate_log, 3, **LOG_ARGS)
        assert str(exc) == "simulate_log() got multiple values for argument 'n_nodes'"

    @pytest.mark.parametrize("drop, text", [
        (["cap"], "missing 1 required positional argument: 'cap'"),
        (["cap", "seed"], "missing 2 required positional arguments: 'cap' and 'seed'"),
        (["root", "cap", "seed"],
         "missing 3 required positional arguments: 'root', 'cap', and 'seed'"),
    ])
    def test_missing_arguments_are_listed_in_parameter_order(self, drop, text):
        args = {k: v for k, v in LOG_ARGS.items() if k not in drop}
        exc = raised(kc.simulate_log, **args)
        assert type(exc) is TypeError and str(exc) == "simulate_log() " + text

    def test_positional_keyword_and_mixed_calls_agree(self):
        values = list(LOG_ARGS.values())
        by_position = outcome(kc.simulate_log, *values)
        by_keyword = outcome(kc.simulate_log, **dict(reversed(list(LOG_ARGS.items()))))
        mixed = outcome(kc.simulate_log, *values[:6], **dict(list(LOG_ARGS.items())[6:]))
        assert by_position == by_keyword == mixed
        fam = outcome(kc.undated_family_loglik, *UNDATED_ARGS.values())
        assert fam == outcome(kc.undated_family_loglik, **UNDATED_ARGS)


def conversion_error(fn, base, **override):
    exc = raised(fn, **{**base, **override})
    (name,) = override
    assert getattr(exc, "__notes__", None) == [f"while processing '{name}'"], exc
    return exc


class TestConversionErrors:
    def test_str_is_not_a_sequence(self):
        exc = conversion_error(kc.simulate_log, LOG_ARGS, parent="012")
        assert type(exc) is TypeError and str(exc) == "Can't extract `str` to `Vec`"

    def test_non_sequences(self):
        exc = conversion_error(kc.simulate_log, LOG_ARGS, time={1: 2})
        assert str(exc) == "'dict' object is not an instance of 'Sequence'"
        exc = conversion_error(kc.simulate_log, LOG_ARGS, time=5)
        assert str(exc) == "'int' object is not an instance of 'Sequence'"

    def test_bool_kinds(self):
        exc = conversion_error(kc.simulate_log, LOG_ARGS, extant_leaf=[1, 0])
        assert type(exc) is TypeError and str(exc) == "'int' object is not an instance of 'bool'"
        exc = conversion_error(kc.simulate_log, LOG_ARGS, allow_self=None)
        assert str(exc) == "'None' is not an instance of 'bool'"
        exc = conversion_error(kc.simulate_log, LOG_ARGS, allow_self=1.0)
        assert str(exc) == "'float' object is not an instance of 'bool'"

    def test_unsigned_range(self):
        exc = conversion_error(kc.simulate_log, LOG_ARGS, seed=-1)
        assert type(exc) is OverflowError
        exc = conversion_error(kc.simulate_log, LOG_ARGS, seed=2**64)
        assert type(exc) is OverflowError
        exc = conversion_error(kc.simulate_log, LOG_ARGS, seed=1.0)
        assert type(exc) is TypeError
        exc = conversion_error(kc.undated_joint_loglik, {**UNDATED_ARGS, "n_extinct": 0},
                               gt_offsets=[0, -1])
        assert type(exc) is OverflowError

    def test_signed_range(self):
        exc = conversion_error(kc.simulate_log, LOG_ARGS, cap=2**63)
        assert type(exc) is OverflowError
        exc = conversion_error(kc.simulate_log, LOG_ARGS, parent=[-1, 0, 2**63])
        assert type(exc) is OverflowError

    @pytest.mark.parametrize("value", [256, -1, 2**70])
    def test_u8_range(self, value):
        exc = conversion_error(kc.undated_family_loglik, UNDATED_ARGS, origination=value)
        assert type(exc) is OverflowError

    def test_u8_message(self):
        exc = conversion_error(kc.undated_family_loglik, UNDATED_ARGS, transfers=256)
        assert str(exc) == "out of range integral type conversion attempted"

    def test_float_and_str_kinds(self):
        exc = conversion_error(kc.simulate_log, LOG_ARGS, loss="x")
        assert type(exc) is TypeError
        exc = conversion_error(kc.simulate_and_write, {**LOG_ARGS, "names": ["R", "A", "B"],
                                                       "total_age": 1.0, "outdir": "."},
                               outdir=b"x")
        assert str(exc) == "'bytes' object is not an instance of 'str'"
        exc = conversion_error(kc.simulate_and_write, {**LOG_ARGS, "names": ["R", "A", "B"],
                                                       "total_age": 1.0, "outdir": "."},
                               names=["R", 1, "B"])
        assert str(exc) == "'int' object is not an instance of 'str'"

    def test_first_failing_argument_wins(self):
        exc = raised(kc.simulate_log, **{**LOG_ARGS, "parent": "x", "seed": -1})
        assert exc.__notes__ == ["while processing 'parent'"]

    def test_errors_raised_by_the_argument_pass_through(self):
        class BadIndex:
            def __index__(self):
                raise ZeroDivisionError("from __index__")

        class BadIter(list):
            def __iter__(self):
                raise KeyError("from __iter__")

        class BadFloat:
            def __float__(self):
                raise ValueError("from __float__")

        exc = conversion_error(kc.simulate_log, LOG_ARGS, seed=BadIndex())
        assert type(exc) is ZeroDivisionError
        exc = conversion_error(kc.simulate_log, LOG_ARGS, parent=BadIter([-1, 0, 0]))
        assert type(exc) is KeyError
        exc = conversion_error(kc.simulate_log, LOG_ARGS, time=[0.0, BadFloat(), 1.0])
        assert type(exc) is ValueError

    def test_numpy_bool_scalar_whose_conversion_fails(self):
        exc = conversion_error(kc.simulate_log, LOG_ARGS, extant_leaf=[np.int64(1)] * 3)
        assert str(exc) == "'int64' object is not an instance of 'bool'"


class TestConversionAccepts:
    """Every accepted spelling of an argument gives the same call as the plain one."""

    @pytest.mark.parametrize("override", [
        dict(parent=np.array([-1, 0, 0], dtype=np.int64)),
        dict(parent=(-1, 0, 0)),
        dict(parent=np.array([-1, 0, 0], dtype=np.int32)),  # element rule via __index__
        dict(time=np.array([0.0, 1.0, 1.0])),
        dict(time=[0, 1, 1]),
        dict(time=np.array([0.0, 9.0, 1.0, 9.0, 1.0])[::2]),  # strided view
        dict(time=np.array([0.0, 1.0, 1.0], dtype=">f8")),  # non-native byte order
        dict(time=np.array([0.0, 1.0, 1.0], dtype=np.float32)),
        dict(extant_leaf=np.array([False, True, True])),
        dict(extant_leaf=[False, np.bool_(True), np.True_]),
        dict(allow_self=np.bool_(False)),
        dict(n_nodes=np.uint64(3), root=np.int64(0), seed=np.int8(7)),
        dict(cap=np.int64(-1), initial_size=True),
        dict(loss=np.float32(0.0), duplication=0),
    ])
    def test_equivalent_spellings(self, override):
        assert outcome(kc.simulate_log, **{**LOG_ARGS, **override}) == \
            outcome(kc.simulate_log, **LOG_ARGS)

    def test_sequences_of_every_kind(self):
        base = outcome(kc.undated_family_loglik, **UNDATED_ARGS)
        assert base == ("ok", []) or base[0] == "raised"
        for offsets in (range(0), np.array([], dtype=np.uint64), (), np.arange(0)):
            assert outcome(kc.undated_family_loglik,
                           **{**UNDATED_ARGS, "gt_offsets": offsets}) == base

    def test_extreme_unsigned_values(self):
        assert outcome(kc.simulate_log, **{**LOG_ARGS, "seed": 2**64 - 1})[0] in ("ok", "raised")
        assert outcome(kc.simulate_log, **{**LOG_ARGS, "seed": 2**64 - 1})[:2] != \
            ("raised", "OverflowError")

    def test_list_items_read_directly_match_the_element_rule(self):
        # Exact ints in a list are read from their digits; a deque goes through
        # the element rule. Values around the one- and two-digit boundaries of
        # the internal representation, both signs (a negative parent is a root,
        # a positive one out of range is named in the message).
        edges = [0, 1, 2**30 - 1, 2**30, 2**31, 2**60 - 1, 2**60, 2**62, 2**63 - 1]
        for magnitude in edges:
            for value in {magnitude, -magnitude, -magnitude - 1}:
                parent = [-1, 0, value]
                assert outcome(kc.simulate_log, **{**LOG_ARGS, "parent": parent}) == \
                    outcome(kc.simulate_log, **{**LOG_ARGS, "parent": collections.deque(parent)})

    def test_numpy_fast_path_matches_the_element_rule(self):
        rng = np.random.default_rng(5)
        for _ in range(20):
            n = int(rng.integers(0, 50))
            floats = rng.normal(size=n)
            ints = rng.integers(-2**62, 2**62, size=n)
            base = {**UNDATED_ARGS, "sp_time": floats, "gt_left": ints}
            plain = {**UNDATED_ARGS, "sp_time": floats.tolist(), "gt_left": ints.tolist()}
            assert outcome(kc.undated_family_loglik, **base) == \
                outcome(kc.undated_family_loglik, **plain)
        negative = np.array([3, -1], dtype=np.int64)
        fast = outcome(kc.undated_family_loglik, **{**UNDATED_ARGS, "gt_offsets": negative})
        slow = outcome(kc.undated_family_loglik,
                       **{**UNDATED_ARGS, "gt_offsets": [np.int64(3), np.int64(-1)]})
        assert fast == slow and fast[1] == "OverflowError"
        huge = np.array([2**63], dtype=np.uint64)
        assert outcome(kc.undated_family_loglik, **{**UNDATED_ARGS, "gt_left": huge})[1] == \
            "OverflowError"
        floats = np.array([1.5])
        assert outcome(kc.undated_family_loglik, **{**UNDATED_ARGS, "gt_left": floats})[1] == \
            "TypeError"


class TestPanicException:
    def panic(self):
        # A parent index beyond the tree is an internal fault in every simulator.
        return assert_panics(kc.simulate_profiles, **{**LOG_ARGS, "parent": [-1, 0, 9]})

    def test_identity_and_hierarchy(self):
        exc = self.panic()
        kind = type(exc)
        assert f"{kind.__module__}.{kind.__qualname__}" == "pyo3_runtime.PanicException"
        assert issubclass(kind, BaseException) and not issubclass(kind, Exception)
        assert "BaseException" in kind.__doc__
        assert type(self.panic()) is kind  # created once

    def test_not_caught_by_except_exception(self):
        with pytest.raises(BaseException) as info:
            try:
                kc.simulate_profiles(**{**LOG_ARGS, "parent": [-1, 0, 9]})
            except Exception:  # must not catch it
                pytest.fail("PanicException was caught by except Exception")
        assert is_panic(info.value)


def rss_kib():
    with open(f"/proc/{os.getpid()}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def test_conversion_does_not_leak_references():
    rounds = 20_000 if os.environ.get("KORVATH_SANITIZED") else 500_000
    good = dict(UNDATED_ARGS, sp_time=[1.0, 2.0], gt_left=np.arange(3))
    bad = [
        dict(UNDATED_ARGS, gt_left="abc"),
        dict(UNDATED_ARGS, gt_is_leaf=[True, 1]),
        dict(UNDATED_ARGS, origination=300),
        dict(UNDATED_ARGS, bogus=1),
        dict(UNDATED_ARGS, gt_offsets=[0, -5]),
    ]

    def churn(n):
        for i in range(n):
            kc.undated_family_loglik(**good)
            try:
                kc.undated_family_loglik(**bad[i % len(bad)])
            except (TypeError, OverflowError):
                pass

    churn(rounds // 10)
    gc.collect()
    before = rss_kib()
    refs_before = len(gc.get_objects())
    churn(rounds)
    gc.collect()
    growth = rss_kib() - before
    assert len(gc.get_objects()) - refs_before < 100
    if not os.environ.get("KORVATH_SANITIZED"):
        # The sanitizer keeps freed memory in quarantine, so resident memory
        # says nothing there; its leak checker covers that run instead.
        assert growth < 4096, f"resident memory grew by {growth} KiB"
