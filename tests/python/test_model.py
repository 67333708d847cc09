# SPDX-License-Identifier: BSD-3-Clause
"""A model loaded, changed and simulated from Python: the same numbers as the file edited by hand
and as the program, the loader's messages for a bad change, and results an engineer can use."""

import pickle
import re
import subprocess

import numpy as np
import pytest

import penstock
from conftest import EXAMPLES


def test_a_file_and_its_text_load_to_the_same_model(examples, plant_text, tmp_path):
    m = penstock.load(examples / "water_hammer_wave.yaml")
    report = m.check()
    assert report["unknowns"] == report["equations"] == 8
    assert "gate.p" in m.variables
    assert m.run["record"] == ["gate.p", "valve.q"]
    assert m.run["stop_time"] == 2.6
    assert report["notes"][0] == "wave step 0.025 s, set by the travel time of 'penstock'"
    file = tmp_path / "plant.yaml"
    file.write_text(plant_text)
    a = penstock.load(file).simulate()
    b = penstock.load(plant_text).simulate()
    assert np.array_equal(a.values, b.values) and np.array_equal(a.time, b.time)


def test_a_change_gives_the_numbers_of_the_file_edited_by_hand(plant_text):
    edited = plant_text.replace("a: 1000 m/s", "a: 1100 m/s").replace("h: 50 m", "h: 60 m").replace(
        'gate.sigma: {expression: "0.1 - 0.095*min(max((t - 0.5)/2, 0), 1)"}',
        "gate.sigma: {ramp: {start: 0.5 s, duration: 1 s, from: 0.1, to: 0.005}}")
    assert edited.count("1100") == 1 and "ramp" in edited
    by_hand = penstock.load(edited).simulate()
    m = penstock.load(plant_text)
    m.set("pipe.a", "1100 m/s").set("lake.h", 60)
    m.signal("gate.sigma", {"ramp": {"start": "0.5 s", "duration": (1, "s"), "from": 0.1, "to": 0.005}})
    changed = m.simulate()
    assert np.array_equal(changed.values, by_hand.values)
    assert changed.names == ["end.p", "gate.q"] and changed.units == ["Pa", "m3/s"]
    # Unchanged, the peak at the valve is lower: the slower closure of the expression.
    assert penstock.load(plant_text).simulate()["end.p"].max() < changed["end.p"].max()


def test_a_bad_change_is_told_as_the_loader_tells_it_and_leaves_the_model_as_it_was(plant_text):
    m = penstock.load(plant_text)
    m.set("pipe.a", 1100)
    with pytest.raises(penstock.ModelError) as caught:
        m.set("pipe.a", -5)
    e = caught.value
    assert e.message == "'pipe' (Pipe): parameter 'a', the pressure-wave speed, must be positive, not -5 m/s"
    assert e.file.endswith("model.yaml (set pipe.a = -5)") and e.line == 0
    assert str(e).endswith(": error: " + e.message)
    assert m.changes == [("value", "pipe.a", "1100")]
    with pytest.raises(penstock.ModelError, match="did you mean 'Din'"):
        m.set("gate.Dn", 0.4)
    with pytest.raises(penstock.ModelError, match="no component named 'gates'; did you mean 'gate'"):
        m.signal("gates.sigma", 0.1)
    with pytest.raises(penstock.ModelError, match="a ramp needs 'duration'"):
        m.signal("gate.sigma", {"ramp": {"start": 1, "from": 0.1, "to": 0}})
    with pytest.raises(penstock.ModelError, match=r"parameter 'dx' of Pipe is in m, and '3 bar' is a pressure"):
        m.set("pipe.dx", "3 bar")
    with pytest.raises(TypeError, match="cannot write a set"):
        m.set("pipe.dx", {1, 2})
    # A fault of the text itself, at its line, under the name given.
    with pytest.raises(penstock.ModelError) as caught:
        penstock.load(plant_text.replace("type: Regulator", "type: Regulatr"), name="plant.yaml")
    assert caught.value.line == 5 and "did you mean 'Regulator'" in caught.value.message
    assert caught.value.file.endswith("/plant.yaml") and ":5:" in str(caught.value)
    with pytest.raises(FileNotFoundError, match="no such model file"):
        penstock.load("no/such/plant.yaml")


def test_copies_and_pickles_keep_their_own_changes(plant_text):
    m = penstock.load(plant_text).set("run.stop", "1 s")
    c = m.copy().set("run.stop", "2 s")
    assert m.run["stop_time"] == 1.0 and c.run["stop_time"] == 2.0
    back = pickle.loads(pickle.dumps(c))
    assert back.changes == c.changes and back.text == c.text and back.file == c.file
    assert np.array_equal(back.simulate().values, c.simulate().values)


def test_the_results_columns_events_envelopes_and_summary(examples):
    m = penstock.load(examples / "water_hammer_wave.yaml")
    r = m.simulate(record=["gate.p", "valve.q", "penstock.h[10]"], stop="1.5 s")
    assert r.complete and r.error is None and r.end_time == 1.5
    assert r.time[0] == 0.0 and r.time[-1] == 1.5 and len(r) == 751
    assert np.all(np.diff(r.time) > 0)
    assert r.kinds == ["pressure", "flow", "level"] and r.unit("gate.p") == "Pa"
    # Joukowsky: about 12 bar over the steady 9.9 bar at the valve.
    assert 21.5e5 < r["gate.p"].max() < 22e5
    lo, t_lo, hi, t_hi = r.extremes["gate.p"]
    assert hi == r["gate.p"].max() and t_hi == r.time[np.argmax(r["gate.p"])]
    # The valve's switch as it shuts leaves its equations as they were: counted, listed when asked.
    assert r.events == [] and r.stats["mode_changes"] == 1
    listed = m.simulate(record=["gate.p"], stop="1.5 s", events="all").events
    assert [e.component for e in listed] == ["valve"] and 0.29 < listed[0].time <= 0.3
    env = r.envelopes["penstock"]
    assert len(env["x"]) == 21 and env["x"][-1] == 600.0 and env["p_max"][-1] == pytest.approx(hi, rel=1e-3)
    assert "simulated 0 s to 1.5 s" in r.summary() and re.search(r"\n  gate\.p +bar +-?[0-9.]+ ", r.summary())
    assert any("below the vapour pressure" in w for w in penstock.load(examples / "water_hammer_wave.yaml")
               .simulate().warnings)
    with pytest.raises(KeyError, match="'lake.q' is not recorded; recorded: gate.p, valve.q"):
        r["lake.q"]
    frame = r.to_pandas()
    assert list(frame.columns) == r.names and frame.index.name == "time" and frame["gate.p"].max() == hi


def test_a_run_that_fails_raises_a_solver_error_with_its_rows(plant_text):
    m = penstock.load(plant_text).signal("gate.sigma", {"expression": "0.1 + 1/(t < 1) - 1"})
    with pytest.raises(penstock.SolverError, match="the run stopped at t = ") as stop:
        m.simulate()
    assert isinstance(stop.value, penstock.Error)
    r = stop.value.result
    assert not r.complete and r.end_time < 1.0001
    assert "the signal for 'gate.sigma'" in r.error and "(signal gate.sigma = " in r.error
    assert 0 < len(r) and r.time[-1] <= 1.0


def test_results_written_as_the_program_writes_them(examples, program, tmp_path):
    ours = tmp_path / "ours.csv"
    r = penstock.load(examples / "water_hammer_wave.yaml").simulate(csv=ours)
    theirs = tmp_path / "theirs.csv"
    subprocess.run([program, "simulate", str(examples / "water_hammer_wave.yaml"), "-o", str(theirs), "--quiet"],
                   check=True, capture_output=True)
    assert r.files == {"results": str(ours), "events": str(tmp_path / "ours.events.csv"),
                       "envelope": str(tmp_path / "ours.envelope.csv")}
    for kind in ("", ".events", ".envelope"):
        assert (tmp_path / f"ours{kind}.csv").read_bytes() == (tmp_path / f"theirs{kind}.csv").read_bytes(), kind
    # The numbers in memory are those of the file, to the bit.
    rows = np.loadtxt(ours, delimiter=",", skiprows=1)
    assert np.array_equal(rows[:, 0], r.time) and np.array_equal(rows[:, 1:], r.values)
    with pytest.raises(penstock.Error, match="cannot write"):
        penstock.load(examples / "water_hammer_wave.yaml").simulate(csv=tmp_path)


@pytest.mark.parametrize("name", sorted(p.name for p in EXAMPLES.glob("*.yaml")))
def test_every_bundled_example_gives_the_programs_numbers_to_the_bit(name, program, tmp_path):
    theirs = tmp_path / "theirs.csv"
    subprocess.run([program, "simulate", str(EXAMPLES / name), "-o", str(theirs), "--quiet"], check=True,
                   capture_output=True)
    r = penstock.load(EXAMPLES / name).simulate()
    rows = np.loadtxt(theirs, delimiter=",", skiprows=1, ndmin=2)
    assert r.complete
    assert np.array_equal(rows[:, 0], r.time) and np.array_equal(rows[:, 1:], r.values), name


def test_the_catalogue_is_the_modules_own(examples):
    names = {c["name"]: c for c in penstock.components()}
    assert {"Pipe", "WavePipe", "Headwater", "PressureSource"} <= set(names)
    pipe = {p["name"]: p for p in names["Pipe"]["parameters"]}
    assert pipe["a"]["unit"] == "m/s"
    assert penstock.load(examples / "surge_tank.yaml").check()["external"] == []
    with pytest.raises(penstock.ModelError, match="no such plug-in folder"):
        penstock.load(examples / "surge_tank.yaml", plugins=["/no/such/folder"])
    assert penstock.__version__ == penstock._penstock.version
