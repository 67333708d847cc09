#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# Checks that a change of the code left the results alone: builds another revision (default: the
# last commit of main before the working tree, HEAD) beside this tree's build, runs `penstock check`
# and `penstock simulate --json` with both on every bundled example and every model under
# tests/model/data, and compares the results files byte for byte and the summaries without their
# timings. Exit 0 when everything is the same.
#
#   tests/same_results.sh [revision] [build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
revision=${1:-HEAD}
build=$(realpath -m "${2:-build}")
commit=$(git rev-parse --short "$revision")
base="$build/same-results/$commit"

if [ ! -x "$base/build/bin/penstock" ]; then
  rm -rf "$base/src"
  mkdir -p "$base"
  git archive --format=tar --prefix=src/ "$commit" | tar -x -C "$base"
  cmake -S "$base/src" -B "$base/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF \
    -DPENSTOCK_BENCHMARKS=OFF >/dev/null
  cmake --build "$base/build" --parallel >/dev/null
fi
cmake --build "$build" --target penstock plugins builtins >/dev/null

run() {  # run <penstock> <out-dir> <model>
  local name
  name=$(basename "$3" .yaml)
  mkdir -p "$2"
  (cd "$2" && "$1" check "$3" >"$name.check" 2>&1 || true)
  # The summary without what depends on the machine's speed.
  (cd "$2" && "$1" simulate "$3" -o "$name.csv" --json 2>"$name.stderr" |
    sed -E 's/"(wall_seconds|real_time_factor)":[^,]*,//g' >"$name.json" || true)
}

out="$build/same-results/runs"
rm -rf "$out"
models=()
for model in "$root"/examples/*.yaml "$root"/tests/model/data/*.yaml; do
  # A model the other revision does not have is new: nothing to compare it with.
  if [ ! -e "$base/src/${model#"$root"/}" ]; then
    echo "new model, not compared: ${model#"$root"/}"
    continue
  fi
  models+=("$model")
  run "$base/build/bin/penstock" "$out/before" "$model"
  run "$build/bin/penstock" "$out/after" "$model"
done

status=0
for file in "$out"/before/*; do
  other="$out/after/$(basename "$file")"
  if ! cmp -s "$file" "$other"; then
    echo "differs: $(basename "$file")"
    status=1
  fi
done
for file in "$out"/after/*; do
  [ -e "$out/before/$(basename "$file")" ] || { echo "new: $(basename "$file")"; status=1; }
done
count=$(find "$out/before" -name '*.csv' | wc -l)
if [ $status -eq 0 ]; then
  echo "same results as $commit: ${#models[@]} models, $count results files"
fi
exit $status
