#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# A component of one's own, as a developer builds it: Penstock installed to a prefix of its own
# (cmake --install), examples/my_component configured against the installed package
# (find_package(Penstock), penstock_add_component) with the same compiler, built, and its model
# run by the installed program. The plug-in exports mexFunction alone, finds the host libraries
# through its RUNPATH, and the flow through the capillary is Hagen–Poiseuille's.
#
# With an interpreter given and the Python module built, the installed module is imported from the
# prefix and runs a model with the prefix's own plug-ins and host libraries.
#
#   tests/install_component.sh <build folder> <source folder> <cmake> <C++ compiler> [<python>]
set -u
build=$(realpath "${1:?build folder}")
source=$(realpath "${2:?source folder}")
cmake=${3:?cmake}
cxx=${4:?C++ compiler}
python=${5:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
failed=0

fail() {
  failed=1
  printf 'FAILED %s\n' "$*"
}
# run <log name> <command...>: the command's output is shown only when it fails.
run() {
  local name=$1
  shift
  if ! "$@" >"$work/$name.log" 2>&1; then
    printf 'FAILED: %s\n' "$*"
    cat "$work/$name.log"
    exit 1
  fi
}

run install "$cmake" --install "$build" --prefix "$prefix"
for f in bin/penstock lib/libne_mli.so lib/libfoundation_util.so plugins builtins/PressureSource.so \
  builtins/PressureSource.yaml builtins/WavePipe.yaml include/penstock/frame.hpp include/penstock/ne_mli.h lib/cmake/Penstock/PenstockConfig.cmake lib/cmake/Penstock/PenstockConfigVersion.cmake; do
  [ -e "$prefix/$f" ] || fail "the install has no $f"
done
# The installed program finds its own plug-ins wherever the prefix is.
"$prefix/bin/penstock" components >"$work/components.txt" 2>&1 || fail "the installed penstock cannot list its components"
grep -q "^PressureSource " "$work/components.txt" || fail "the installed penstock does not find its built-ins"
for so in "$build"/plugins/*.so; do
  if [ ! -f "$prefix/plugins/$(basename "$so")" ] || [ ! -f "$prefix/plugins/$(basename "$so" .so).yaml" ]; then
    fail "the install has no $(basename "$so") with its description"
  fi
done

run configure "$cmake" -S "$source/examples/my_component" -B "$work/build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_PREFIX_PATH="$prefix"
run build "$cmake" --build "$work/build"
plugins=$work/build/plugins
if [ ! -f "$plugins/Capillary.so" ] || [ ! -f "$plugins/Capillary.yaml" ]; then
  fail "no Capillary.so with Capillary.yaml beside it"
fi

exports=$(nm -D --defined-only "$plugins/Capillary.so" | awk '$2 ~ /^[TWDBVRi]$/ {print $3}')
[ "$exports" = "mexFunction" ] || fail "Capillary.so exports '$exports', not mexFunction alone"
readelf -d "$plugins/Capillary.so" | grep -q "RUNPATH.*$prefix/lib" || fail "Capillary.so has no RUNPATH to $prefix/lib"
readelf -d "$plugins/Capillary.so" | grep -q "NEEDED.*libne_mli.so" || fail "Capillary.so does not link libne_mli.so"

# Without --plugins the component is unknown; with it, the model runs.
"$prefix/bin/penstock" check "$source/examples/my_component/model.yaml" >"$work/unknown.txt" 2>&1 &&
  fail "the model checked without its plug-in folder"
grep -q "unknown component type 'Capillary'" "$work/unknown.txt" || fail "no message for the unknown type: $(cat "$work/unknown.txt")"
out=$work/capillary.csv
run simulate "$prefix/bin/penstock" simulate --plugins "$plugins" "$source/examples/my_component/model.yaml" -o "$out" --quiet

# q = p·π·bore⁴/(128·ρ·ν·length) at the last row, with p = 0.1 bar, bore 1 mm, length 1 m.
awk -F, -v want="$(awk 'BEGIN { printf "%.17g", 1e4 * 3.141592653589793 * 1e-12 / (128 * 1000 * 1e-6 * 1) }')" '
  NR == 1 { for (i = 1; i <= NF; i++) col[$i] = i; next }
  { q = $col["tube.q"]; p = $col["tube.p"]; n++ }
  END {
    if (n < 10) { print "FAILED too few rows: " n; exit 1 }
    d = (q - want) / want; if (d < 0) d = -d
    if (d > 1e-9 || p != 1e4) { printf "FAILED q = %.10g m3/s at p = %.10g Pa, Hagen-Poiseuille gives %.10g\n", q, p, want; exit 1 }
    printf "Capillary: q = %.10g m3/s at p = %g Pa (Hagen-Poiseuille %.10g)\n", q, p, want
  }' "$out" || failed=1

# The Python module as installed: beside the rest, its plug-ins and libraries the prefix's.
if [ -n "$python" ] && [ -d "$build/python/penstock" ]; then
  for f in python/penstock/__init__.py python/penstock/_version.py python/penstock/metrics.py; do
    [ -e "$prefix/$f" ] || fail "the install has no $f"
  done
  ls "$prefix"/python/penstock/_penstock*.so >/dev/null 2>&1 || fail "the install has no python/penstock/_penstock*.so"
  (cd "$work" && PYTHONPATH="$prefix/python" "$python" -c '
import sys, penstock
assert penstock.__file__.startswith(sys.argv[1]), penstock.__file__
files = {c["name"]: c["file"] for c in penstock.components()}
assert files["Pipe"].startswith(sys.argv[1] + "/plugins/"), files["Pipe"]
m = penstock.load(sys.argv[2] + "/examples/surge_tank.yaml")
assert m.check()["external"] == []
r = m.simulate(stop="10 s")
assert r.complete, r.error
print("the installed Python module: tank.z from %.4f m to %.4f m in 10 s" % (r["tank.z"][0], r["tank.z"][-1]))
# A component of its own from its folder, said to be external, with the numbers of the program.
tube = penstock.load(sys.argv[2] + "/examples/my_component/model.yaml", plugins=[sys.argv[3]])
assert tube.check()["external"] == [sys.argv[3] + "/Capillary.so"], tube.check()["external"]
q = tube.simulate()["tube.q"][-1]
want = 1e4 * 3.141592653589793 * 1e-12 / (128 * 1000 * 1e-6 * 1)
assert abs(q - want) <= 1e-9 * want, (q, want)
try:
    penstock.load(sys.argv[2] + "/examples/my_component/model.yaml")
    raise AssertionError("loaded without its plug-in folder")
except penstock.ModelError as e:
    assert "unknown component type" in e.message and "Capillary" in e.message, e.message
print("the installed Python module: Capillary q = %.10g m3/s from its own folder" % q)
' "$prefix" "$source" "$plugins") || fail "the installed Python module does not run a model"
fi

[ "$failed" -eq 0 ] && echo "a component of one's own: installed, built out of tree and run"
exit "$failed"
