# SPDX-License-Identifier: BSD-3-Clause
"""Ctrl-C in a script ends a run where it has got to, as in the program: the rows so far kept in
the incomplete results, KeyboardInterrupt raised once the run is over. The module leaves
Python's own SIGINT handler as it was."""

import os
import signal
import subprocess
import sys
import time

SCRIPT = """
import signal, sys, time
import penstock
before = signal.getsignal(signal.SIGINT)
m = penstock.load(sys.argv[1]).set("run.stop", "600 s")
print("running", flush=True)
start = time.monotonic()
try:
    m.simulate(csv=sys.argv[2])
    print("not interrupted", flush=True)
except KeyboardInterrupt:
    print("interrupted after %.2f s" % (time.monotonic() - start), flush=True)
print("handler kept" if signal.getsignal(signal.SIGINT) is before else "handler changed", flush=True)
"""


def test_ctrl_c_ends_the_run_where_it_is_and_raises_keyboard_interrupt(examples, tmp_path):
    results = tmp_path / "run.csv"
    child = subprocess.Popen([sys.executable, "-c", SCRIPT, str(examples / "water_hammer.yaml"), str(results)],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=os.environ)
    assert child.stdout.readline() == "running\n"
    time.sleep(1.0)
    sent = time.monotonic()
    child.send_signal(signal.SIGINT)
    out, err = child.communicate(timeout=60)
    assert child.returncode == 0, err
    assert out.startswith("interrupted after "), out + err
    assert time.monotonic() - sent < 10
    assert out.endswith("handler kept\n"), out
    assert not results.exists()
    rows = (tmp_path / "run.incomplete.csv").read_text().splitlines()
    assert rows[0] == "time,gate.p,valve.q" and len(rows) > 2
