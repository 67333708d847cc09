#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# Configures and builds into a folder: scripts/build.sh [build-dir] [extra cmake arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
shift || true
cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
cmake --build "$dir" --parallel
