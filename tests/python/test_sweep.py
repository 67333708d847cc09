# SPDX-License-Identifier: BSD-3-Clause
"""Sweeps: a row a case in the cases' order, the same numbers wherever the cases run (in this
thread, in threads, in processes, on a Dask cluster), a failed case a row with its error."""

import logging

import numpy as np
import pytest

import penstock
from penstock import metrics

CASES = [{"gate.sigma": {"ramp": {"start": "0.5 s", "duration": f"{d} s", "from": 0.1, "to": 0.005}}}
         for d in (0.5, 1.0, 2.0)]
METRICS = {"peak": metrics.peak("end.p"), "when": metrics.time_of_peak("end.p"), "low": metrics.minimum("end.p"),
           "q_end": metrics.final("gate.q")}


def test_metrics_read_the_recorded_variable(plant_text):
    r = penstock.load(plant_text).simulate()
    p = r["end.p"]
    assert metrics.peak("end.p")(r) == p.max() and metrics.minimum("end.p")(r) == p.min()
    assert metrics.time_of_peak("end.p")(r) == r.time[np.argmax(p)]
    assert metrics.time_of_minimum("end.p")(r) == r.time[np.argmin(p)]
    assert metrics.final("gate.q")(r) == r["gate.q"][-1]
    assert repr(metrics.peak("end.p")) == "metrics.peak('end.p')"


def test_a_sweep_gives_a_row_a_case_the_same_in_threads_and_processes(plant_text):
    m = penstock.load(plant_text)
    serial = penstock.sweep(m, CASES, METRICS, mode="serial")
    assert [r["error"] for r in serial] == [None] * 3
    # A faster closure, a higher peak, sooner.
    peaks = [r["peak"] for r in serial]
    assert peaks[0] > peaks[1] > peaks[2]
    assert serial[0]["when"] < serial[2]["when"]
    # Each row holds the case's changes as given.
    assert serial[1]["gate.sigma"] == CASES[1]["gate.sigma"]
    # The row is the model's run with the case's change, to the bit.
    alone = m.copy().signal("gate.sigma", CASES[1]["gate.sigma"]).simulate()
    assert serial[1]["peak"] == alone["end.p"].max()
    assert penstock.sweep(m, CASES, METRICS, mode="threads", workers=3) == serial
    assert penstock.sweep(m, CASES, METRICS, mode="processes", workers=2) == serial


def test_a_failed_case_is_a_row_with_its_error(plant_text):
    cases = [{"pipe.a": "1000 m/s"}, {"pipe.a": -5}, {"gate.sigma": {"expression": "0.1 + 1/(t < 1) - 1"}},
             {"pipe.a": 900}]
    rows = penstock.sweep(penstock.load(plant_text), cases, [metrics.peak("end.p"), metrics.final("gate.q")])
    assert [r["error"] is None for r in rows] == [True, False, False, True]
    assert "parameter 'a', the pressure-wave speed, must be positive, not -5 m/s" in rows[1]["error"]
    assert rows[2]["error"].startswith("incomplete at t = ")
    for r in rows[1:3]:
        assert r["metrics.peak('end.p')"] is None and r["metrics.final('gate.q')"] is None
    assert rows[0]["metrics.peak('end.p')"] > 0
    frame = penstock.to_pandas(rows)
    assert list(frame.columns)[:2] == ["pipe.a", "metrics.peak('end.p')"] and len(frame) == 4
    with pytest.raises(ValueError, match="a metric is named as a case's change"):
        penstock.sweep(penstock.load(plant_text), cases, {"pipe.a": metrics.peak("end.p")})


def test_metrics_of_any_callable_in_threads(plant_text):
    rows = penstock.sweep(penstock.load(plant_text), CASES[:2], {"q0": lambda r: r["gate.q"][0]}, mode="threads")
    assert rows[0]["q0"] == rows[1]["q0"] > 0  # the same steady start
    one = penstock.sweep(penstock.load(plant_text), CASES[:1], metrics.final("gate.q"))
    assert list(one[0]) == ["gate.sigma", "metrics.final('gate.q')", "error"]


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
def test_a_sweep_on_a_local_dask_cluster(plant_text):
    distributed = pytest.importorskip("distributed")
    for name in ("distributed", "distributed.scheduler", "distributed.nanny", "distributed.worker",
                 "distributed.core", "distributed.http.proxy"):
        logging.getLogger(name).setLevel(logging.ERROR)
    m = penstock.load(plant_text)
    serial = penstock.sweep(m, CASES, METRICS, mode="serial")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                                  host="127.0.0.1", silence_logs=logging.ERROR) as cluster, \
            distributed.Client(cluster) as client:
        rows = penstock.sweep(m, CASES, METRICS, client=client)
    assert rows == serial
