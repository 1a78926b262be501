#!/usr/bin/env bash
# Fits per second when momfit fits many files side by side: N synthetic lab
# files (100 unless given), all fitted as a script would, one momfit per
# core at a time (xargs -P "$(nproc)"), with the profile intervals. Prints
# the wall-clock rate and the profile scan's cost per fit (mean, median, largest).
# Options after N go to every momfit (the model: --scale fitted --cross fitted).
#
#   bench/many_fits.sh build [N [OPTION...]]
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
n=${2:-100}
shift $(( $# < 2 ? $# : 2 ))
export MODEL="$*"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
for i in $(seq 1 "$n"); do
  "$build/demo/make_demo_data" --seed "$i" >/dev/null
  mv demo_lab.dat "lab$i.dat"
done
export MOMFIT="$build/momfit/momfit"
start=$(date +%s.%N)
ls lab*.dat | xargs -P "$(nproc)" -I{} sh -c \
  '"$MOMFIT" --e0 1420 --w1 0.8 --beta 0.3 --lab "$1" --changes 0.2,10,20 --tolerance 1e-4 $MODEL \
     --no-wait --no-window --quiet --log "$1.log" --results "$1.json" >/dev/null 2>&1 || [ $? -eq 3 ]' \
  sh {}
end=$(date +%s.%N)
python3 - "$n" "$start" "$end" "$(nproc)" <<'PY'
import glob, json, statistics, sys
n, start, end, cores = int(sys.argv[1]), float(sys.argv[2]), float(sys.argv[3]), sys.argv[4]
runs = [json.load(open(f)) for f in glob.glob("lab*.dat.json")]
scans = [r["scan"] for r in runs if r.get("scan")]
print(f"{len(runs)} of {n} files fitted in {end - start:.2f} s on {cores} cores: "
      f"{len(runs) / (end - start):.1f} fits per second")
if scans:
    ev = sum(s["evaluations"] for s in scans) / len(scans)
    med = statistics.median(s["evaluations"] for s in scans)
    ms = sum(s["milliseconds"] for s in scans) / len(scans)
    fit = sum(r["evaluations"] for r in runs) / len(runs)
    print(f"per fit: {fit:.0f} evaluations of the fit, profile scan {ev:.0f} evaluations "
          f"(median {med:.0f}, largest {max(s['evaluations'] for s in scans)}) "
          f"and {ms:.1f} ms (wall clock, with the other fits running)")
PY
