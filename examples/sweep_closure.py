#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-3-Clause
"""How fast may the valve close? A sweep of the closure time over the plant of
examples/water_hammer_wave.yaml: a lake of 100 m head, a 600 m penstock (a = 1200 m/s, one
WavePipe), a valve passing about 1 m/s that closes linearly in Tc from t = 0.1 s.

For each of eight closure times it records the peak pressure at the valve and when it came, and
draws the rise over the steady pressure against Tc beside Joukowsky's rho*a*v0, which a closure
within the wave's round trip 2*L/a = 1 s reaches in full (a little more: the line packing behind the front), and
Michaud's 2*rho*L*v0/Tc for slower closures of a flow stopped at an even rate. The valve's Kv
closes at an even rate, but its flow falls more slowly than Kv while the pressure before it rises:
the rise of a slow closure stays below Michaud's.

    PYTHONPATH=build/python python3 examples/sweep_closure.py [image.png] [--reaches N]
        [--mode threads|processes|serial] [--timing]

The image goes beside this script (examples/plots/sweep_closure.png when it is there) unless a
path is given; --timing runs the sweep in this thread, in threads, in processes and on a local
Dask cluster of two worker processes and prints the times. It needs gnuplot for the image.
"""

import argparse
import math
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import penstock
from penstock import metrics

HERE = Path(__file__).resolve().parent
CLOSURES = [0.05, 0.25, 0.5, 0.75, 1.0, 1.25, 1.5, 2.0]  # s, from a near-instant closure to two round trips
LENGTH, WAVE_SPEED, DIAMETER, DENSITY = 600.0, 1200.0, 0.5, 1000.0  # as in the model


def cases():
    # Kv from its steady opening to 0 in Tc; the run goes on two round trips past the closure.
    return [{"valve.Kv": {"ramp": {"start": "0.1 s", "duration": f"{tc} s", "from": 0.0227, "to": 0}},
             "run.stop": f"{0.1 + tc + 2.5} s"} for tc in CLOSURES]


def rise(result):
    """The peak pressure at the valve over its steady pressure, Pa."""
    p = result["gate.p"]
    return float(p.max() - p[0])


def velocity(result):
    """The steady velocity in the penstock, m/s."""
    return float(result["valve.q"][0] / (math.pi * DIAMETER**2 / 4))


METRICS = {"peak": metrics.peak("gate.p"), "t_peak": metrics.time_of_peak("gate.p"), "rise": rise, "v0": velocity}


def draw(rows, image):
    v0 = rows[0]["v0"]
    joukowsky = DENSITY * WAVE_SPEED * v0 / 1e5
    round_trip = 2 * LENGTH / WAVE_SPEED
    with tempfile.TemporaryDirectory() as folder:
        data = Path(folder) / "sweep.dat"
        data.write_text("".join(f"{tc} {row['rise'] / 1e5}\n" for tc, row in zip(CLOSURES, rows)))
        script = f"""
if (strstrt(GPVAL_TERMINALS, 'pngcairo') > 0) {{ set terminal pngcairo size 900,560 font 'sans,11' noenhanced linewidth 1.5 }} else {{ set terminal png size 900,560 noenhanced }}
set output '{image}'
set title "Closing the valve of a 600 m penstock (a = 1200 m/s, v0 = {v0:.3f} m/s): the pressure rise against the closure time"
set xlabel 'closure time Tc [s] (Kv linear to 0)'
set ylabel 'peak rise at the valve over its steady pressure [bar]'
set grid
set key top right box opaque
set xrange [0:{max(CLOSURES) * 1.05}]
set yrange [0:{joukowsky * 1.25}]
set arrow from {round_trip},0 to {round_trip},{joukowsky * 1.25} nohead dashtype 3 lc rgb 'gray40'
set label '2L/a = {round_trip:g} s' at {round_trip * 1.03},{joukowsky * 0.15} textcolor rgb 'gray30'
plot {joukowsky} title sprintf('Joukowsky rho*a*v0 = %.2f bar', {joukowsky}) dashtype 2 lc rgb 'black', \\
     (x > {round_trip} ? 2*{DENSITY}*{LENGTH}*{v0}/x/1e5 : 1/0) title 'Michaud 2*rho*L*v0/Tc (flow closing evenly)' dashtype 4 lc rgb '#1f77b4', \\
     '{data}' using 1:2 with linespoints pt 7 ps 1.2 lc rgb '#d62728' title 'simulated: WavePipe, Kv ramp'
"""
        subprocess.run(["gnuplot"], input=script, text=True, check=True)
    return image


def timed(label, run):
    start = time.perf_counter()
    rows = run()
    seconds = time.perf_counter() - start
    print(f"  {label:<32} {seconds:7.3f} s")
    return rows


def timing(model):
    print(f"the sweep of {len(CLOSURES)} closure times, {os.cpu_count()} cores:")
    serial = timed("serial (this thread)", lambda: penstock.sweep(model, cases(), METRICS, mode="serial"))
    threads = timed("threads (one a core)", lambda: penstock.sweep(model, cases(), METRICS, mode="threads"))
    processes = timed("processes (forkserver pool)", lambda: penstock.sweep(model, cases(), METRICS, mode="processes"))
    import logging

    import distributed

    start = time.perf_counter()
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                                  silence_logs=logging.ERROR) as cluster, distributed.Client(cluster) as client:
        print(f"  {'(starting the local Dask cluster)':<32} {time.perf_counter() - start:7.3f} s")
        dask = timed("Dask LocalCluster, 2 workers", lambda: penstock.sweep(model, cases(), METRICS, client=client))
    same = all(r == serial for r in (threads, processes, dask))
    print(f"  the same rows everywhere: {same}")
    return serial


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("image", nargs="?", help="the PNG to write")
    parser.add_argument("--reaches", type=int, default=20, help="reaches of the WavePipe (default 20)")
    parser.add_argument("--mode", default="threads", choices=["threads", "processes", "serial"])
    parser.add_argument("--timing", action="store_true", help="time the sweep serial, in threads, processes, Dask")
    args = parser.parse_args()
    plots = HERE / "plots"
    image = Path(args.image) if args.image else (plots if plots.is_dir() else HERE) / "sweep_closure.png"

    model = penstock.load(HERE / "water_hammer_wave.yaml").set("penstock.reaches", args.reaches)
    # The valve's pressure and flow are what the metrics read; the envelope is not needed.
    model.set("run.record", ["gate.p", "valve.q"]).set("run.envelope", [])
    rows = timing(model) if args.timing else penstock.sweep(model, cases(), METRICS, mode=args.mode)
    failed = [row for row in rows if row["error"]]
    for row in failed:
        print(f"failed: {row['error']}", file=sys.stderr)
    print(f"{'Tc [s]':>7} {'peak [bar]':>11} {'at t [s]':>9} {'rise [bar]':>11}")
    for tc, row in zip(CLOSURES, rows):
        if row["error"] is None:
            print(f"{tc:7.2f} {row['peak'] / 1e5:11.3f} {row['t_peak']:9.3f} {row['rise'] / 1e5:11.3f}")
    print(f"Joukowsky rho*a*v0 = {DENSITY * WAVE_SPEED * rows[0]['v0'] / 1e5:.3f} bar")
    if failed:
        return 1
    print(f"plot: {draw(rows, image)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
