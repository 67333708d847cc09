#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# penstock and the plug-ins it loads, as a user meets them: a truncated library is refused with a
# message, a plug-in named on the command line is the file of that name, a model loads a plug-in
# folder only where the user allowed it (--plugins or PENSTOCK_PLUGIN_PATH) and says which
# external plug-ins it loaded, and a plug-in without its description is an error.
#
#   tests/apps/plugin_folders.sh <penstock> <plug-in folder>
set -u
penstock=$(realpath "${1:?penstock}")
plugins=$(realpath "${2:?plug-in folder}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
passed=0

# expect <name> <exit status> <text the output must have> -- <command...>
expect() {
  local name=$1 status=$2 text=$3
  shift 4
  local out rc
  out=$("$@" 2>&1)
  rc=$?
  if [ "$rc" -eq "$status" ] && grep -qF -- "$text" <<<"$out"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    printf 'FAILED %s: exit %s (wanted %s), output:\n%s\n(wanted it to contain: %s)\n' "$name" "$rc" "$status" "$out" "$text"
  fi
}

# A truncated plug-in: dlopen would map pages past the end of the file (SIGBUS, exit 135).
head -c 3000 "$plugins/Manometer.so" >"$work/Cut.so"
expect "inspect a truncated plug-in" 1 "$work/Cut.so: cannot load plug-in: its segment" -- "$penstock" inspect "$work/Cut.so"

# A name without a slash is a file in the current folder, not a library to search for.
expect "inspect a plug-in in the current folder" 0 "inputs (5): 0 time, 1 A.p" -- \
  bash -c "cd '$plugins' && '$penstock' inspect Manometer.so"

# A folder of the user's with a component of its own, and a model that names it.
mkdir -p "$work/mine" "$work/bare"
cp "$plugins/Pipe.so" "$work/mine/MyPipe.so"
cp "$plugins/Pipe.yaml" "$work/mine/MyPipe.yaml"
cat >"$work/plant.yaml" <<'MODEL'
plugins: [mine]
fluid: {density: 1000 kg/m3, viscosity_kin: 1e-6, bulk: 2.1e9, alpha: 0}
components:
  - {name: lake, type: Headwater, parameters: {h: 100 m}}
  - {name: pipe, type: MyPipe, parameters: {dx: 30 m, Din: 1.2 m, lambda: 0.018, a: 1000 m/s}}
  - {name: gate, type: valve, parameters: {Din: 1.2 m}}
connections:
  - [lake.B, ref]
  - [lake.A, pipe.A]
  - [pipe.B, gate.A]
  - [gate.B, ref]
signals:
  gate.ksi: 0.5
run: {stop: 0.1 s, output: 0.05 s}
MODEL
expect "a model's folder that the user did not allow" 1 "plant.yaml:1:11: error: the plug-in folder $work/mine is not allowed" -- \
  env -u PENSTOCK_PLUGIN_PATH "$penstock" check "$work/plant.yaml"
expect "a folder allowed with --plugins" 0 "  external        $work/mine/MyPipe.so" -- \
  "$penstock" check "$work/plant.yaml" --plugins "$work/mine"
# As in PATH, a folder of PENSTOCK_PLUGIN_PATH that is not there is passed over.
expect "a folder allowed in PENSTOCK_PLUGIN_PATH" 0 "  external        $work/mine/MyPipe.so" -- \
  env PENSTOCK_PLUGIN_PATH="$work/nowhere-else:$work/mine" "$penstock" check "$work/plant.yaml"
expect "simulate names the external plug-in" 0 "note: external plug-in $work/mine/MyPipe.so" -- \
  "$penstock" simulate "$work/plant.yaml" --plugins "$work/mine" -o "$work/plant.csv"

# A plug-in without its description, and a second plug-in of a name.
cp "$plugins/Pipe.so" "$work/bare/Pipe.so"
expect "a folder of --plugins that is not there" 1 "$work/nowhere: no such plug-in folder" -- \
  "$penstock" check "$work/plant.yaml" --plugins "$work/mine" --plugins "$work/nowhere"
expect "a plug-in without its description" 1 "$work/bare/Pipe.so: no network description Pipe.yaml beside it" -- \
  "$penstock" check "$work/plant.yaml" --plugins "$work/mine" --plugins "$work/bare"
expect "components lists the fault" 1 "penstock components: error: $work/bare/Pipe.so: no network description" -- \
  "$penstock" components --plugins "$work/bare"
cp "$plugins/Pipe.yaml" "$work/bare/Pipe.yaml"
expect "two plug-ins of one name" 1 "two components named Pipe: $work/bare/Pipe.so and $plugins/Pipe.so" -- \
  "$penstock" check "$work/plant.yaml" --plugins "$work/mine" --plugins "$work/bare"

echo "plugin_folders: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
