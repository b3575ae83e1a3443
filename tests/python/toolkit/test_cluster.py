"""Scoring and fitting on a dask.distributed cluster of two worker processes."""
import numpy as np
import pytest

import korvath
from korvath import GeneTrees, SpeciesTree, fit_rates, loglik, loglik_joint
from korvath import scoring

distributed = pytest.importorskip("distributed", reason="dask[distributed] is not installed")

RATES = dict(duplication=0.3, transfer=0.25, loss=0.4)


@pytest.fixture(scope="module")
def client():
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                       dashboard_address=":0", silence_logs=40)
    with distributed.Client(cluster) as c:
        yield c
    cluster.close()


@pytest.fixture(scope="module")
def batch():
    tree = SpeciesTree.birth_death(8, seed=12)
    sim = korvath.simulate_families(tree, **RATES, families=60, seed=13)
    return tree, GeneTrees.from_simulation(sim), sim.n_families


@pytest.mark.parametrize("model", ["undated", "dated"])
def test_cluster_results_equal_serial_bit_for_bit(client, batch, model, monkeypatch):
    tree, genes, n = batch
    monkeypatch.setattr(scoring, "_NODES_PER_REMOTE_CHUNK", 100)  # several batches per worker
    steps = dict(n_steps=6) if model == "dated" else {}
    serial = loglik(tree, genes, **RATES, model=model, **steps)
    remote = loglik(tree, genes, **RATES, model=model, client=client, **steps)
    assert list(remote.index) == list(serial.index)
    assert remote.values.view(np.uint64).tolist() == serial.values.view(np.uint64).tolist()
    joint = dict(model=model, origination="uniform", n_extinct=n - len(genes), **steps)
    assert (loglik_joint(tree, genes, **RATES, client=client, **joint)
            == loglik_joint(tree, genes, **RATES, **joint))


def test_cluster_fit_equals_serial_fit(client, batch):
    tree, genes, n = batch
    kwargs = dict(model="undated", n_extinct=n - len(genes), fixed={"transfer": 0.25})
    serial = fit_rates(tree, genes, **kwargs)
    remote = fit_rates(tree, genes, client=client, **kwargs)
    assert remote.rates == serial.rates and remote.loglik == serial.loglik
    assert remote.n_evaluations == serial.n_evaluations
