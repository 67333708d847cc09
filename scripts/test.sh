#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: once optimised, once under the address
# and undefined-behaviour sanitizers (there without the long plant simulations, label "slow").
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
jobs=$(nproc)

bash scripts/build.sh build
ctest --test-dir build --output-on-failure --parallel "$jobs"

bash scripts/build.sh build-sanitize -DPENSTOCK_SANITIZE=address,undefined -DPENSTOCK_BENCHMARKS=OFF
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-sanitize --output-on-failure --parallel "$jobs" --label-exclude slow
