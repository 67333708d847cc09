#!/usr/bin/env bash
# SPDX-License-Identifier: BSD-3-Clause
# The water-hammer example: runs examples/water_hammer.yaml with its penstock cut into 50, 100,
# 200 and 400 lumped pipe sections (or the counts given), and examples/water_hammer_wave.yaml, the
# same penstock as one WavePipe solved by the method of characteristics, with 10, 20 and 100
# reaches (or those given with -r). For each it compares the first pressure rise at the valve with
# Joukowsky's ρ·a·v0 and the period of the swing with 4·L/a, and gives the time the integration
# took; then it draws the pressure and the flow at the valve, both models' pressure side by side,
# and the head envelope along the WavePipe with gnuplot.
#
#   examples/water_hammer.sh [-b build-dir] [-o results-dir] [-r "reaches..."] [sections...]
#
# build-dir defaults to build, results-dir to <build-dir>/examples.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build
out=""
reaches=(10 20 100)
while getopts "b:o:r:" opt; do
  case $opt in
    b) build=$OPTARG ;;
    o) out=$OPTARG ;;
    r) read -r -a reaches <<<"$OPTARG" ;;
    *) echo "usage: $0 [-b build-dir] [-o results-dir] [-r \"reaches...\"] [sections...]" >&2; exit 1 ;;
  esac
done
shift $((OPTIND - 1))
counts=("$@")
[ ${#counts[@]} -gt 0 ] || counts=(50 100 200 400)
out=${out:-$build/examples}
penstock=$build/bin/penstock
[ -x "$penstock" ] || { echo "$penstock is not built: run scripts/build.sh $build" >&2; exit 1; }
mkdir -p "$out"

# The penstock of the model: 600 m, inner diameter 0.5 m, wave speed 1200 m/s, water.
L=600 D=0.5 a=1200 rho=1000

# From a results file (time, gate.p, valve.q): the steady state, the peak before the wave
# reflected at the lake returns, the highest pressure within 0.1 s after the valve has shut (the
# front, where a lumped line rings) and the period between two rising fronts. The first front
# climbs from p0 to p0 + Δp, later ones from p0 − Δp to p0 + Δp: their middles, p0 + Δp/2 and p0,
# are the same phase of the closure.
analyse() {
  awk -F, -v L=$L -v D=$D -v a=$a -v rho=$rho '
    function cross(level) { return tp + (level - pp) / ($2 - pp) * ($1 - tp) }
    NR == 1 { next }
    NR == 2 { p0 = $2; q0 = $3; v0 = q0 / (3.141592653589793 * D * D / 4); dp = rho * a * v0; peak = p0; front = p0 }
    NR > 2 {
      if (tc == "" && $3 < 0.999 * q0) tc = tp
      if (ts == "" && $3 <= 0) ts = $1
      if (tc != "" && $1 <= tc + 2 * L / a && $2 > peak) peak = $2
      if (ts != "" && $1 <= ts + 0.1 && $2 > front) front = $2
      if (t1 == "" && pp < p0 + dp / 2 && $2 >= p0 + dp / 2) t1 = cross(p0 + dp / 2)
      else if (t1 != "" && td == "" && pp > p0 && $2 <= p0) td = cross(p0)
      else if (td != "" && t2 == "" && pp < p0 && $2 >= p0) t2 = cross(p0)
    }
    { tp = $1; pp = $2 }
    END {
      if (t2 == "") { print "no second rising front in the results" > "/dev/stderr"; exit 1 }
      printf "%.6f %.1f %.1f %.1f %.1f %.6f\n", v0, p0, dp, peak, front, t2 - t1
    }' "$1"
}

# Runs a model and prints its row: what it is, the peak against Joukowsky, the period against 4·L/a
# and the time the integration took (from the run's summary). Keeps the last steady state and
# Joukowsky's level for the summary below.
simulate() {  # simulate <model> <results> <label>
  local json
  if ! json=$("$penstock" simulate "$1" --json -o "$2" 2>"${2%.csv}.log"); then
    cat "${2%.csv}.log" >&2
    exit 1
  fi
  wall=$(sed -E 's/.*"wall_seconds":([^,]*),.*/\1/' <<<"$json")
  read -r v0 p0 dp peak front period < <(analyse "$2")
  awk -v label="$3" -v v0="$v0" -v p0="$p0" -v dp="$dp" -v peak="$peak" -v front="$front" -v T="$period" \
      -v L=$L -v a=$a -v wall="$wall" 'BEGIN {
    printf "%-25s %11.4f %11.4f %+8.3f%% %+9.3f%% %10.5f %9.5f %+8.3f%% %9.4f\n", label, peak / 1e5, (p0 + dp) / 1e5,
      100 * ((peak - p0) / dp - 1), 100 * ((front - p0) / dp - 1), T, 4 * L / a, 100 * (T / (4 * L / a) - 1), wall }'
}

describe() {  # the summary of one run, from the values simulate() read last
  awk -v what="$1" -v v0="$v0" -v p0="$p0" -v dp="$dp" -v peak="$peak" -v T="$period" -v L=$L -v a=$a 'BEGIN {
    printf "%s: steady v0 = %.4f m/s at p0 = %.3f bar.\n", what, v0, p0 / 1e5
    printf "  simulated peak  %.3f bar   Joukowsky p0 + ρ·a·v0 = %.3f bar   (rise %+.2f %% off ρ·a·v0)\n",
      peak / 1e5, (p0 + dp) / 1e5, 100 * ((peak - p0) / dp - 1)
    printf "  simulated period %.4f s    4·L/a = %.4f s                  (%+.3f %%)\n", T, 4 * L / a, 100 * (T / (4 * L / a) - 1) }'
}

printf 'Water hammer: %s m penstock (D = %s m, a = %s m/s, λ = 0.02), valve shut in 0.2 s\n\n' $L $D $a
printf '%-25s %11s %11s %9s %10s %10s %9s %9s %9s\n' model "peak [bar]" "p0+ρav0" "error" overshoot "period [s]" "4L/a [s]" error "wall [s]"
summary=""
for n in "${counts[@]}"; do
  model=$out/water_hammer_$n.yaml
  dx=$(awk -v L=$L -v n="$n" 'BEGIN { printf "%.10g", L / n }')
  sed -e "s/count: 200/count: $n/" -e "s/dx: 3 m/dx: $dx m/" examples/water_hammer.yaml >"$model"
  simulate "$model" "$out/water_hammer_$n.csv" "Pipe chain, $n sections"
  [ -z "$summary" ] || [ "$n" = 200 ] || continue
  summary=$(describe "With $n pipe sections")
  joukowsky=$(awk -v p0="$p0" -v dp="$dp" 'BEGIN { printf "%.1f", p0 + dp }')
  shown=$n
done
wave_summary=""
for n in "${reaches[@]}"; do
  model=$out/water_hammer_wave_$n.yaml
  sed -e "s/reaches: 20/reaches: $n/" examples/water_hammer_wave.yaml >"$model"
  simulate "$model" "$out/water_hammer_wave_$n.csv" "WavePipe, $n reaches"
  [ -z "$wave_summary" ] || [ "$n" = 20 ] || continue
  wave_summary=$(describe "With a WavePipe of $n reaches")
  wave_shown=$n
done
cat <<EOT

error: of the rise, (peak − p0)/(ρ·a·v0) − 1, the peak the highest pressure before the reflected
wave returns; it includes the line packing of the friction loss (≈ +0.6 %). overshoot: the same
for the highest pressure within 0.1 s after the valve has shut, where a lumped line rings. wall:
the time the integration took.

$summary
$wave_summary
EOT
"$penstock" plot "$out/water_hammer_$shown.csv" -o "$out/water_hammer.png" \
  --title "Water hammer: 600 m penstock in $shown sections, valve shut in 0.2 s" \
  --mark "gate.p=$joukowsky Pa:p0 + ρ·a·v0 (Joukowsky)" >/dev/null
files=()
for n in "${counts[@]}"; do files+=("$out/water_hammer_$n.csv"); done
"$penstock" plot "${files[@]}" -c gate.p -o "$out/water_hammer_sections.png" \
  --title "Pressure at the valve with ${counts[*]} pipe sections" \
  --mark "gate.p=$joukowsky Pa:p0 + ρ·a·v0 (Joukowsky)" >/dev/null
"$penstock" plot "$out/water_hammer_$shown.csv" "$out/water_hammer_wave_$wave_shown.csv" -c gate.p \
  -o "$out/water_hammer_wave.png" \
  --title "Pressure at the valve: $shown pipe sections beside a WavePipe of $wave_shown reaches" \
  --mark "gate.p=$joukowsky Pa:p0 + ρ·a·v0 (Joukowsky)" >/dev/null
"$penstock" plot --envelope "$out/water_hammer_wave_$wave_shown.envelope.csv" -o "$out/water_hammer_wave_envelope.png" \
  --title "Head envelope along the WavePipe of $wave_shown reaches" >/dev/null
echo "  plots: $out/water_hammer.png, $out/water_hammer_sections.png, $out/water_hammer_wave.png,"
echo "         $out/water_hammer_wave_envelope.png"
