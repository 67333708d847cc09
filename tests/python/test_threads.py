# SPDX-License-Identifier: BSD-3-Clause
"""Models simulating in threads at once give, to the bit, what each gives alone: nothing the runs
share (the catalogue and its plug-ins, the signals' expressions, the solver) carries state from one
to another; and a run lets go of the interpreter's lock."""

import threading
import time

import numpy as np

import penstock


def models(examples, plant_text):
    chain = penstock.load(examples / "water_hammer.yaml").set("run.stop", "0.5 s")  # 200 sections, events
    wave = penstock.load(examples / "water_hammer_wave.yaml").set("penstock.reaches", 400)
    expression = penstock.load(plant_text)  # muparser
    tank = penstock.load(examples / "surge_tank.yaml")
    unit = penstock.load(examples / "grid_unit.yaml")
    return [chain, wave, expression, tank, unit]


def test_models_in_threads_at_once_give_what_each_gives_alone(examples, plant_text):
    alone = [m.simulate() for m in models(examples, plant_text)]
    together = {}

    def run(key, model):
        together[key] = model.simulate()

    threads = [threading.Thread(target=run, args=((k, copy), m))
               for copy in range(2) for k, m in enumerate(models(examples, plant_text))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(together) == 2 * len(alone)
    for (k, copy), r in together.items():
        assert r.complete, r.error
        assert np.array_equal(r.time, alone[k].time), (k, copy)
        assert np.array_equal(r.values, alone[k].values), (k, copy)
        assert r.events == alone[k].events
        assert r.stats["steps"] == alone[k].stats["steps"]


def test_a_run_lets_go_of_the_interpreters_lock(examples):
    model = penstock.load(examples / "water_hammer.yaml").set("run.stop", "8 s")
    done = threading.Event()
    span = {}

    def run():
        span["start"] = time.monotonic()
        model.simulate()
        span["end"] = time.monotonic()
        done.set()

    ticks = []
    thread = threading.Thread(target=run)
    thread.start()
    while not done.is_set():
        ticks.append(time.monotonic())
        time.sleep(0.001)
    thread.join()
    inside = [t for t in ticks if span["start"] + 0.05 < t < span["end"] - 0.05]
    # While the run went on, this thread kept running (about a tick a millisecond when it has a core
    # of its own); were the lock held, it would not tick at all until the run was over.
    assert span["end"] - span["start"] > 0.2
    assert len(inside) >= 20, (len(inside), span)
