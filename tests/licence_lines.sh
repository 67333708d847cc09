#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# Every source file git tracks starts with its SPDX licence line (after a #! line): C and C++
# sources and headers, CMake files, shell and Python scripts.
#
#   tests/licence_lines.sh <source tree>
set -u
cd "${1:?source tree}" || exit 1
if ! git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  echo "not a git checkout: nothing to check"
  exit 0
fi
missing=0
while IFS= read -r file; do
  [ -f "$file" ] || continue
  head=$(head -n 2 "$file")
  case "$head" in
    "#!"*) line=$(sed -n 2p "$file") ;;
    *) line=$(sed -n 1p "$file") ;;
  esac
  case "$line" in
    *"SPDX-License-Identifier: BSD-3-Clause"*) ;;
    *)
      echo "$file: the first line is not the SPDX licence line"
      missing=$((missing + 1))
      ;;
  esac
done < <(git ls-files -- '*.cpp' '*.hpp' '*.h' '*.in' '*.sh' '*.py' '*.cmake' 'CMakeLists.txt' '*/CMakeLists.txt' \
  ':!:tests/fuzz/*' ':!:examples/plots/*')
[ "$missing" -eq 0 ] || exit 1
echo "every source file has its SPDX line"
