# SPDX-License-Identifier: BSD-3-Clause
"""The Python module's tests: run by CTest with the build's python/ folder on PYTHONPATH, Debian's
interpreter, PENSTOCK_SOURCE_DIR the source tree and PENSTOCK_BINARY the program."""

import os
from pathlib import Path

import pytest

SOURCE = Path(os.environ.get("PENSTOCK_SOURCE_DIR", Path(__file__).resolve().parents[2]))
EXAMPLES = SOURCE / "examples"


@pytest.fixture
def examples():
    return EXAMPLES


@pytest.fixture
def program():
    binary = os.environ.get("PENSTOCK_BINARY")
    if not binary:
        pytest.skip("PENSTOCK_BINARY is not set: the program's results cannot be compared")
    return binary


# A small plant: a lake, a pipe of four sections and a valve that closes in two seconds, driven
# through an expression (muparser) so that the signals are exercised too.
PLANT = """\
fluid: {density: 1000 kg/m3, viscosity_kin: 1e-6 m2/s, bulk: 2.1e9 Pa, alpha: 0}
components:
  lake: {type: Headwater, parameters: {h: 50 m}}
  pipe: {type: Pipe, count: 4, parameters: {dx: 75 m, Din: 0.4 m, lambda: 0.02, a: 1000 m/s}}
  gate: {type: Regulator, parameters: {Din: 0.4 m}}
connections: [[lake.B, ref], [lake.A, pipe.A], {node: end, ports: [pipe.B, gate.A]}, [gate.B, ref]]
signals:
  gate.sigma: {expression: "0.1 - 0.095*min(max((t - 0.5)/2, 0), 1)"}
run: {stop: 4 s, output: 0.01 s, start: steady, record: [end.p, gate.q]}
"""


@pytest.fixture
def plant_text():
    return PLANT
