# SPDX-License-Identifier: BSD-3-Clause
"""Metrics of a run for sweeps: callables of a penstock.Result that give one number.

    penstock.sweep(model, cases, {"peak": metrics.peak("gate.p"), "when": metrics.time_of_peak("gate.p")})

Any callable of a Result is a metric (a lambda serves threads and Dask, whose cloudpickle takes
it; a process pool needs one it can pickle: a function of a module, or one of these). These name
the variable they read (variables), so that a sweep records it, and pickle everywhere.
"""

import numpy as np

__all__ = ["Metric", "peak", "minimum", "time_of_peak", "time_of_minimum", "final"]


class Metric:
    """A number computed from one recorded variable of a result."""

    def __init__(self, variable, kind):
        self.variable = variable
        self.kind = kind
        self.variables = [variable]

    def __call__(self, result):
        values = result[self.variable]
        if len(values) == 0:
            return float("nan")
        if self.kind == "peak":
            return float(np.max(values))
        if self.kind == "minimum":
            return float(np.min(values))
        if self.kind == "time_of_peak":
            return float(result.time[int(np.argmax(values))])
        if self.kind == "time_of_minimum":
            return float(result.time[int(np.argmin(values))])
        return float(values[-1])

    def __repr__(self):
        return f"metrics.{self.kind}({self.variable!r})"

    def __eq__(self, other):
        return isinstance(other, Metric) and (self.variable, self.kind) == (other.variable, other.kind)

    def __hash__(self):
        return hash((self.variable, self.kind))


def peak(variable):
    """The largest value of the variable over the output grid (a pressure in Pa, gauge)."""
    return Metric(variable, "peak")


def minimum(variable):
    """The smallest value of the variable over the output grid."""
    return Metric(variable, "minimum")


def time_of_peak(variable):
    """The time (s) of the first row where the variable is largest."""
    return Metric(variable, "time_of_peak")


def time_of_minimum(variable):
    """The time (s) of the first row where the variable is smallest."""
    return Metric(variable, "time_of_minimum")


def final(variable):
    """The variable's value in the last row (at the stop time, or where an incomplete run stopped)."""
    return Metric(variable, "final")
