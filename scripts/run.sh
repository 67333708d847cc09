#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# The main job: install what is missing, build, and run the water-hammer example: a valve closing
# at the end of a 600 m penstock, its first pressure peak beside Joukowsky's p0 + ρ·a·v0 and its
# period beside 4·L/a, for 50 to 400 pipe sections, with plots in build/examples/.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/build.sh build
bash examples/water_hammer.sh -b build
