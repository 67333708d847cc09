#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# Every plug-in exports mexFunction alone, needs both host libraries and finds them through
# RUNPATH $ORIGIN/../lib.
set -u
dir=${1:?plug-in folder}
status=0
count=0
for so in "$dir"/*.so; do
  [ -e "$so" ] || continue
  count=$((count + 1))
  exports=$(nm -D --defined-only "$so" | awk '{print $3}' | sort -u | tr '\n' ' ')
  [ "$exports" = "mexFunction " ] || { echo "$so exports: $exports"; status=1; }
  dynamic=$(readelf -d "$so")
  for lib in libne_mli.so libfoundation_util.so; do
    grep -q "(NEEDED).*\[$lib\]" <<<"$dynamic" || { echo "$so does not need $lib"; status=1; }
  done
  grep -q '(RUNPATH).*\[\$ORIGIN/../lib\]' <<<"$dynamic" || { echo "$so has no RUNPATH \$ORIGIN/../lib"; status=1; }
done
[ "$count" -gt 0 ] || { echo "no plug-ins in $dir"; status=1; }
echo "$count plug-ins checked"
exit $status
