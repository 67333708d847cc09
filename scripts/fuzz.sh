#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# Fuzzes the model loader for a bounded time: builds build-fuzz with clang (libFuzzer and the
# address sanitizer), seeds a corpus with the bundled models (examples/, tests/model/data/) and the
# inputs that once broke the loader (tests/fuzz/), and runs the fuzzer.
#
#   scripts/fuzz.sh [seconds, default 90]
#
# A finding (a crash, a sanitizer's report, an exception other than the loader's errors) stops the
# run with a non-zero exit and is left in build-fuzz/findings/: fix the loader, then add the input
# to tests/fuzz/, where the test fuzz_regressions replays it in every build.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-90}
dir=build-fuzz
CC=clang CXX=clang++ cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPENSTOCK_FUZZ=ON \
  -DPENSTOCK_WERROR=ON -DBUILD_TESTING=OFF -DPENSTOCK_BENCHMARKS=OFF >/dev/null
cmake --build "$dir" --parallel --target load_model_fuzzer

rm -rf "$dir/corpus"
mkdir -p "$dir/corpus" "$dir/findings"
shopt -s nullglob
for seed in examples/*.yaml tests/model/data/*.yaml tests/fuzz/*.yaml; do
  cp "$seed" "$dir/corpus/$(tr / _ <<<"$seed")"  # two folders may have a file of one name
done
# One process: libFuzzer's own time limit; -timeout and -rss_limit_mb make a hang or a runaway
# allocation a finding too.
ASAN_OPTIONS=detect_leaks=1 "$dir/bin/load_model_fuzzer" "$dir/corpus" -dict=fuzz/model.dict \
  -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -max_len=4096 -print_final_stats=1 \
  -artifact_prefix="$dir/findings/" 2>"$dir/fuzz.log" || {
  tail -n 60 "$dir/fuzz.log"
  echo "the fuzzer found an input that breaks the model loader: $(ls "$dir/findings")" >&2
  exit 1
}
grep -E '^(stat::number_of_executed_units|stat::average_exec_per_sec|stat::new_units_added|stat::peak_rss_mb)' \
  "$dir/fuzz.log" || true
echo "fuzzing: no finding in ${seconds} s"
