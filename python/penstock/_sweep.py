# SPDX-License-Identifier: BSD-3-Clause
"""Sweeps: one model run for many cases, in threads, in processes or on a Dask cluster."""

import concurrent.futures
import multiprocessing
import os

__all__ = ["sweep", "run_case", "to_pandas"]


def _metric_names(metrics):
    if callable(metrics):
        metrics = [metrics]
    if isinstance(metrics, dict):
        return dict(metrics)
    named = {}
    for metric in metrics:
        name = getattr(metric, "__name__", None)
        if name is None or name == "<lambda>":
            name = repr(metric)
        named[name] = metric
    return named


def run_case(source, case, metrics, record=None):
    """One case of a sweep: the model of source = (text, file, plug-in folders, changes) with the
    case's changes ({name: value} as Model.set takes them) simulated, and a row of the case's
    values, each metric's value and "error": None, or for a case that failed (a fault of its
    changes, a run that did not reach its stop time, a metric that raised) the error's text with
    the metrics None. A plain function of picklable arguments: it runs where a process pool or a
    Dask worker puts it."""
    from . import Model, SolverError, _yaml

    text, file, plugins, changes = source
    metrics = _metric_names(metrics)
    row = dict(case)
    row.update({name: None for name in metrics})
    row["error"] = None
    try:
        changes = list(changes)
        for name, value in case.items():
            changes = [c for c in changes if c[1] != name] + [("value", name, _yaml(value))]
        try:
            result = Model(text, file, plugins, changes).simulate(record=record)
        except SolverError as e:
            row["error"] = f"incomplete at t = {e.result.end_time:g} s: {e.result.error}"
            return row
        values = {name: metric(result) for name, metric in metrics.items()}
        row.update(values)
    except Exception as e:  # the row says what went wrong; the sweep goes on
        row["error"] = str(e) if str(e) else type(e).__name__
    return row


def sweep(model, cases, metrics, *, workers=None, mode="threads", client=None):
    """Runs the model once for each case and returns one row (a dict) a case, in the cases' order.

    model: a penstock.Model (with its changes), or what penstock.load takes. cases: dicts of
    changes, {name: value} as Model.set takes them ({"penstock.a": "1100 m/s", "valve.Kv": {...}}).
    metrics: {name: callable of a Result}, or a list of callables, or one (named by __name__ or repr);
    see penstock.metrics. Each row holds the case's values, each metric's value and "error"
    (None, or why the case failed: its metrics are then None).

    Where the cases run: client, a dask.distributed Client: client.map over the workers (each
    needs the module and the model's plug-in folders); else mode "threads" (the default: a run
    lets go of the interpreter's lock, so threads use every core without starting processes),
    "processes" (a forkserver process pool; metrics must pickle) or "serial"; workers the
    threads or processes, os.cpu_count() by default.
    """
    from . import Model, load

    if not isinstance(model, Model):
        model = load(model)
    cases = [dict(c) for c in cases]
    named = _metric_names(metrics)
    clash = [name for name in named if name == "error" or any(name in c for c in cases)]
    if clash:
        raise ValueError(f"a metric is named as a case's change or 'error': {', '.join(clash)}")
    # The variables the metrics read are recorded besides the model's own (all when it names none).
    record = list(model.run["record"])
    if record:
        for metric in named.values():
            record += [v for v in getattr(metric, "variables", []) if v not in record]
    else:
        record = None
    source = (model.text, model.file, list(model.plugins), model.changes)
    n = len(cases)
    if client is not None:
        futures = client.map(run_case, [source] * n, cases, [named] * n, [record] * n, pure=False)
        return client.gather(futures)
    if mode == "serial" or n <= 1:
        return [run_case(source, c, named, record) for c in cases]
    workers = workers or os.cpu_count() or 1
    if mode == "threads":
        pool = concurrent.futures.ThreadPoolExecutor(max_workers=workers)
    elif mode == "processes":
        pool = concurrent.futures.ProcessPoolExecutor(max_workers=workers,
                                                      mp_context=multiprocessing.get_context("forkserver"))
    else:
        raise ValueError(f"mode is 'threads', 'processes' or 'serial', not {mode!r}")
    with pool:
        return list(pool.map(run_case, [source] * n, cases, [named] * n, [record] * n))


def to_pandas(rows):
    """A sweep's rows (or a Result) as a pandas DataFrame (needs pandas: python3-pandas)."""
    if hasattr(rows, "to_pandas"):
        return rows.to_pandas()
    import pandas as pd

    return pd.DataFrame(list(rows))
