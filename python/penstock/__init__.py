# SPDX-License-Identifier: BSD-3-Clause
"""Penstock from Python: load a plant model, change it, simulate it and sweep it.

    import penstock
    from penstock import metrics

    m = penstock.load("examples/water_hammer_wave.yaml")
    m.set("penstock.a", "1100 m/s")                      # a parameter, with or without its unit
    m.signal("valve.Kv", {"ramp": {"start": "0.1 s", "duration": "0.5 s", "from": 0.0227, "to": 0}})
    r = m.simulate()
    print(r["gate.p"].max(), r.time[-1], r.complete)

    rows = penstock.sweep(m, [{"run.stop": "2 s", "penstock.lambda": lam} for lam in (0.01, 0.02)],
                          {"peak": metrics.peak("gate.p")})
    print(penstock.to_pandas(rows))

A model is its YAML text with the changes made to it; every change is checked when it is made,
with the loader's messages (penstock.ModelError). Each simulate() loads the model afresh from
them and runs it as `penstock simulate` does, without the interpreter's lock: threads simulate side
by side. The plug-ins are those of the build or installation the module belongs to, those of
$PENSTOCK_PLUGIN_PATH and the folders given to load(plugins=[...]).
"""

import json
import math
import os
import re
from collections import namedtuple
from pathlib import Path

try:
    from . import _penstock
except ImportError as e:  # another interpreter than the one it was built for, or a tree not built
    import sys as _sys

    raise ImportError(f"the compiled part of penstock (_penstock) cannot be loaded into Python "
                      f"{_sys.version.split()[0]} ({_sys.executable}): {e}. It is built with the project for "
                      f"one interpreter (Debian's /usr/bin/python3 unless -DPython_EXECUTABLE says otherwise); "
                      f"run that one, with PYTHONPATH=<build>/python") from e
from ._penstock import Error, ModelError


class SolverError(Error):
    """The solver stopped before the run's stop time: the message says where and why, and
    `result` holds the incomplete Result, with every row computed up to there (result.end_time,
    result.error)."""

    def __init__(self, result):
        super().__init__(f"the run stopped at t = {result.end_time:g} s: {result.error}")
        self.result = result


from ._version import __version__
from . import metrics
from ._sweep import sweep, to_pandas, run_case

__all__ = ["load", "Model", "Result", "Event", "Error", "ModelError", "SolverError", "sweep", "to_pandas", "metrics",
           "components", "run_case", "__version__"]

# The build or installation this module belongs to: plugins/ and builtins/ are there.
_ROOT = str(Path(__file__).resolve().parent.parent.parent)

Event = namedtuple("Event", "time component what")
Event.__doc__ = "A change of a component's mode flags: its time (s), the component, what changed in words."


def _plain(text):
    # A scalar YAML reads as the same text when written without quotes.
    return re.fullmatch(r"[A-Za-z0-9_][A-Za-z0-9_ ./+\-]*", text) is not None and text.strip() == text


def _yaml(value):
    """The value written in YAML (flow style), as a model file would give it."""
    if isinstance(value, bool):
        return "true" if value else "false"
    if hasattr(value, "tolist") and not isinstance(value, (str, bytes)):  # numpy arrays and scalars
        value = value.tolist()
    if isinstance(value, int):
        return str(value)
    if isinstance(value, float):
        return repr(value) if math.isfinite(value) else str(value)
    if isinstance(value, str):
        return value if _plain(value) else json.dumps(value)
    if isinstance(value, os.PathLike):
        return json.dumps(os.fspath(value))
    if isinstance(value, dict):
        return "{" + ", ".join(f"{_yaml(str(k))}: {_yaml(v)}" for k, v in value.items()) + "}"
    if isinstance(value, tuple) and len(value) == 2 and isinstance(value[1], str) and not isinstance(value[0], str):
        return f"{_yaml(value[0])} {value[1]}"  # (1100, "m/s")
    if isinstance(value, (list, tuple)):
        return "[" + ", ".join(_yaml(v) for v in value) + "]"
    raise TypeError(f"cannot write a {type(value).__name__} in a model: give a number, a text such as "
                    f"'1100 m/s', a (number, unit) pair, a list or a dict")


def load(source, plugins=None, name=None):
    """Loads a model and checks it as `penstock check` does; returns a Model.

    source: a model file (a path, or a str without a line break), or the model's YAML text (a str
    with line breaks), which messages call name ("model.yaml" by default, in the current folder,
    where its relative plug-in folders are). plugins: further folders of plug-ins with their
    descriptions, as `penstock --plugins`. Raises penstock.ModelError for a fault of the model,
    FileNotFoundError for a file that is not there.
    """
    if isinstance(source, os.PathLike) or (isinstance(source, str) and "\n" not in source):
        path = Path(source)
        try:
            text = path.read_text()
        except FileNotFoundError:
            raise FileNotFoundError(f"{source}: no such model file") from None
        except IsADirectoryError:
            raise IsADirectoryError(f"{source}: a folder, not a model file") from None
        file = str(path.resolve())
    elif isinstance(source, str):
        text, file = source, os.path.abspath(name or "model.yaml")
    else:
        raise TypeError("load() takes a model file's path or the model's YAML text")
    model = Model(text, file, plugins or [])
    model.check()
    return model


def components(plugins=None):
    """The components a model may use: a list of dicts with name, physics, ports, signals,
    parameters (name, unit, doc, default, domain, required), notes and the plug-in's file."""
    return _penstock.components([os.fspath(p) for p in plugins or []], _ROOT)


class Model:
    """A plant model: its YAML text and the changes a script made to it.

    Made by penstock.load(). set() and signal() change it as if its file said so and check it
    at once; simulate() runs it; copy() gives an independent model with the same changes. A model
    pickles as its text, file name, plug-in folders and changes (for process pools and clusters).

    Names: "pipe.a" is component pipe's parameter a (every section's, for a chain of count:);
    "gate.sigma", an input the component is driven at, takes a signal; "fluid.density" is the
    fluid's property and "run.stop" the run's setting ("run.tolerances.pressure" within it).
    """

    def __init__(self, text, file, plugins=(), changes=()):
        """The model of the YAML text, named file in messages (its relative plug-in folders are
        taken from there), with the plug-in folders and the changes (kind, name, YAML value) given.
        Not checked: penstock.load() loads and checks."""
        self.text = text
        self.file = file
        self.plugins = [os.fspath(p) for p in plugins]
        self._changes = list(changes)
        self._report = None

    def __repr__(self):
        changes = ", ".join(f"{name}={value}" for _, name, value in self._changes)
        return f"<penstock.Model {self.file}{' with ' + changes if changes else ''}>"

    def __getstate__(self):
        """Its text, file name, plug-in folders and changes: nothing compiled."""
        return {"text": self.text, "file": self.file, "plugins": self.plugins, "changes": self._changes}

    def __setstate__(self, state):
        self.__init__(state["text"], state["file"], state["plugins"], state["changes"])

    @property
    def changes(self):
        """The changes made so far, in order: (kind, name, value in YAML), kind 'value' or 'signal'."""
        return list(self._changes)

    def _change(self, kind, name, value):
        if not isinstance(name, str):
            raise TypeError("a name is a str such as 'pipe.a', 'gate.sigma', 'fluid.density' or 'run.stop'")
        before, report = self._changes, self._report
        # A later change of a name replaces an earlier one.
        self._changes = [c for c in self._changes if c[1] != name] + [(kind, name, _yaml(value))]
        self._report = None
        try:
            self.check()
        except BaseException:
            self._changes, self._report = before, report
            raise
        return self

    def set(self, name, value):
        """Sets a parameter, a property of the fluid, a setting of the run, or the signal of an input.

        value: a number (in the SI unit of the parameter), a text with its unit ("1100 m/s",
        "2.34 kPa"), a (number, unit) pair, or for a list or a signal what the file would hold
        (run.record: ["gate.p", "valve.q"]; an input: a number or a dict as in signal()). Checked at
        once: a fault raises penstock.ModelError and leaves the model as it was. Returns the model.
        """
        return self._change("value", name, value)

    def signal(self, name, definition):
        """Drives an input ("gate.sigma", or one section's: "pipe[2].ksi") with a signal instead of
        the file's, written as in a model file: a number (constant), or {"step": {"at": "1 s",
        "from": 0, "to": 1}}, {"ramp": {"start", "duration", "from", "to"}}, {"table": [[t, v],
        ...]}, {"sine": {"amplitude", "frequency", "phase", "offset"}}, or {"expression": "0.1 +
        10*(t > 1)"}. Checked at once. Returns the model."""
        return self._change("signal", name, definition)

    def copy(self):
        """An independent model with the same text and changes."""
        return Model(self.text, self.file, self.plugins, self._changes)

    def check(self):
        """Loads and assembles the model as `penstock check` does and returns what it counts: a dict
        of components, nodes, unknowns, equations, differential, algebraic, zero_crossings,
        warnings, notes (the WavePipes' grid), variables [(name, kind)], run (the settings),
        density, vapour_pressure and external (plug-ins from outside the module's own folders)."""
        if self._report is None:
            self._report = _penstock.check(self.text, self.file, self._changes, self.plugins, _ROOT)
        return self._report

    @property
    def variables(self):
        """Every variable of the assembled model, as record: names them."""
        return [name for name, _ in self.check()["variables"]]

    @property
    def warnings(self):
        """The loader's warnings, 'file:line:column: warning: ...'."""
        return list(self.check()["warnings"])

    @property
    def run(self):
        """The run's settings: start_time, stop_time, output_interval, tolerances, start, record, envelope."""
        return dict(self.check()["run"])

    def simulate(self, record=None, csv=None, pressure_unit="bar", **settings):
        """Simulates the model and returns its Result.

        record: the variables to keep (default the model's run: record, all when it gives none).
        csv: a results file to write as `penstock simulate -o` does, the events and the envelope
        beside it (complete runs under its name, others as <name>.incomplete.csv).
        settings: run settings for this run alone, as the run: section names them (stop="5 s",
        output="1 ms", max_step=0.01). pressure_unit: of Result.summary(), bar, kPa, Pa or mH2O.
        A run the solver cannot finish raises SolverError, its `result` the incomplete Result
        (complete False, error saying why) with the rows up to there. Ctrl-C ends the run where it
        is and raises KeyboardInterrupt. The interpreter's lock is let go while it loads and runs.
        """
        changes = list(self._changes)
        if record is not None:
            changes.append(("value", "run.record", _yaml(list(record) if not isinstance(record, str) else [record])))
        for key, value in settings.items():
            changes.append(("value", "run." + key, _yaml(value)))
        data = _penstock.simulate(self.text, self.file, changes, self.plugins, _ROOT,
                                  os.fspath(csv) if csv is not None else "", pressure_unit)
        result = Result(data)
        if not result.complete:
            raise SolverError(result)
        return result


class Result:
    """The results of a run: the recorded variables on the output grid (the start, every output
    time, the end), as numpy arrays in SI units (pressures in Pa, gauge).

    r["gate.p"] is a column, r.time the times; r.names, r.kinds ("pressure", "flow", ...) and
    r.units the columns'. complete says whether the run reached its stop time; else error says why
    and end_time where it stopped. events lists every change of a component's flags (Event), notes
    what the solver did in plain words, warnings the loader's and the vapour-pressure warnings.
    stats counts steps, events and evaluations. envelopes maps each pipe of run: envelope (and, with
    a vapour pressure, every WavePipe) to its extremes along it: x, z, p_min, t_p_min, p_max,
    t_p_max, h_min, ..., as arrays. extremes maps each column to (min, t_min, max, t_max).
    """

    def __init__(self, data):
        self.time = data["time"]
        self.values = data["values"]
        self.names = list(data["names"])
        self.kinds = list(data["kinds"])
        self.units = list(data["units"])
        self.complete = data["complete"]
        self.error = data["error"]
        self.end_time = data["end_time"]
        self.linear_solver = data["linear_solver"]
        self.stats = data["stats"]
        self.events = [Event(*e) for e in data["events"]]
        self.notes = list(data["notes"])
        self.note_details = list(data["note_details"])
        self.warnings = list(data["warnings"])
        self.model_notes = list(data["model_notes"])
        self.extremes = dict(data["extremes"])
        self.envelopes = {e["pipe"]: e for e in data["envelopes"]}
        self.files = {"results": data["results_file"], "events": data["events_file"],
                      "envelope": data["envelope_file"]}
        self.run = data["run"]
        self._summary = data["summary"]
        self._columns = {name: k for k, name in enumerate(self.names)}

    def __getitem__(self, name):
        if name == "time":
            return self.time
        try:
            return self.values[:, self._columns[name]]
        except KeyError:
            raise KeyError(f"'{name}' is not recorded; recorded: {', '.join(self.names)} (record it: "
                           f"simulate(record=[...]) or run: record: in the model)") from None

    def __contains__(self, name):
        return name in self._columns

    def __len__(self):
        return len(self.time)

    def __repr__(self):
        state = "complete" if self.complete else f"incomplete at t = {self.end_time:g} s"
        return f"<penstock.Result {len(self.time)} rows x {len(self.names)} columns, {state}>"

    def keys(self):
        """The recorded names, in column order."""
        return list(self.names)

    def unit(self, name):
        """The SI unit of a column ("Pa", "m3/s", ...; "" when none is known)."""
        return self.units[self._columns[name]] if name in self._columns else self[name]

    def summary(self):
        """The summary `penstock simulate` prints: span, statistics, wall time, extremes."""
        return self._summary

    def to_pandas(self):
        """The columns as a pandas DataFrame indexed by time (needs pandas: python3-pandas)."""
        import pandas as pd

        frame = pd.DataFrame(self.values, columns=self.names, index=pd.Index(self.time, name="time"))
        frame.attrs["units"] = dict(zip(self.names, self.units))
        return frame
