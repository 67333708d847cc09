#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# Installs what is missing, builds, and runs every test: once as users build it for speed (Release,
# -O3), once under the address and undefined-behaviour sanitizers (there without the long plant
# simulations, label "slow"), both with warnings as errors; then fuzzes the model loader for a
# bounded time (FUZZ_SECONDS, 90 by default).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
jobs=$(nproc)

bash scripts/build.sh build-release -DCMAKE_BUILD_TYPE=Release -DPENSTOCK_WERROR=ON
ctest --test-dir build-release --output-on-failure --parallel "$jobs"

bash scripts/build.sh build-sanitize -DPENSTOCK_SANITIZE=address,undefined -DPENSTOCK_BENCHMARKS=OFF \
  -DPENSTOCK_WERROR=ON
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-sanitize --output-on-failure --parallel "$jobs" --label-exclude slow

bash scripts/fuzz.sh "${FUZZ_SECONDS:-90}"
