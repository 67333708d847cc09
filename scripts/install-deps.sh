#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# Installs the Debian 12 packages that Penstock builds, tests and runs with (as root); clang and
# its runtime libraries (libFuzzer, the sanitizers) are for the fuzzer, llvm for its symbolizer;
# pybind11, the Python headers and numpy build the Python module, pytest tests it, pandas and
# distributed serve its tables and its sweeps on a cluster.
set -euo pipefail
packages=(
  build-essential cmake ninja-build pkg-config binutils
  libgtest-dev libgmock-dev libbenchmark-dev
  libfmt-dev libcli11-dev libyaml-cpp-dev libmuparser-dev libsundials-dev libsuitesparse-dev
  gnuplot-nox
  pybind11-dev python3-dev python3-numpy python3-pandas python3-distributed python3-pytest
  clang libclang-rt-14-dev llvm
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
