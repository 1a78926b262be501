#!/usr/bin/env bash
# What the live plot costs: the demo fit (make_demo_data's data, the demo's
# answers, --plot fit.png) timed from the start of momfit to its closing
# PAUSE, with the X window and without one, alternated so that both see the
# same load on the machine. Prints the range of each and the ratio of the
# medians; the last line is "window/no window: R".
#   bash bench/window_ratio.sh [BUILD_DIR] [PAIRS]
# Uses $DISPLAY when set, otherwise starts its own Xvfb for the run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
pairs=${2:-5}
momfit=$build/momfit/momfit

work=$(mktemp -d)
xvfb_pid=
cleanup() {
  [[ -n $xvfb_pid ]] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
if [[ -z ${DISPLAY:-} ]]; then
  for n in $(seq 120 160); do
    [[ -e /tmp/.X11-unix/X$n || -e /tmp/.X$n-lock ]] && continue
    Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
    xvfb_pid=$!
    for _ in $(seq 100); do [[ -e /tmp/.X11-unix/X$n ]] && break; sleep 0.05; done
    export DISPLAY=:$n
    break
  done
fi

cd "$work"
"$build/demo/make_demo_data" >/dev/null
printf '%s\n' 1420 0.8 0.3 demo_lab.dat 0.2 10 20 1.0e-3 > answers
# No window: --no-window where momfit has it, else no X display at all.
if "$momfit" --help | grep -q -- --no-window; then
  without=(env "$momfit" --no-window)
else
  without=(env -u DISPLAY "$momfit")
fi
with=(env "$momfit")

# Milliseconds from the start of the command to its closing PAUSE request.
to_pause() {
  rm -f err && mkfifo err
  local start end pid line
  start=$(date +%s%N)
  "$@" --plot fit.png < answers > /dev/null 2> err &
  pid=$!
  exec 3< err
  while IFS= read -r line <&3; do
    [[ $line == *"kill -15"* ]] && break
  done
  end=$(date +%s%N)
  kill -15 "$pid"
  cat <&3 > /dev/null
  exec 3<&-
  wait "$pid"
  echo $(( (end - start) / 1000000 ))
}

# The median of the numbers given.
median() { printf '%s\n' "$@" | sort -n | awk '{v[NR]=$1} END{print (NR%2) ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2}'; }

w=() n=()
for _ in $(seq "$pairs"); do
  w+=("$(to_pause "${with[@]}")")
  n+=("$(to_pause "${without[@]}")")
done
sorted_w=($(printf '%s\n' "${w[@]}" | sort -n))
sorted_n=($(printf '%s\n' "${n[@]}" | sort -n))
echo "evaluations per run: $(wc -l < fort.7)"
echo "window:    ${sorted_w[0]}-${sorted_w[-1]} ms (median $(median "${w[@]}")) over $pairs runs"
echo "no window: ${sorted_n[0]}-${sorted_n[-1]} ms (median $(median "${n[@]}")) over $pairs runs"
awk -v a="$(median "${w[@]}")" -v b="$(median "${n[@]}")" \
  'BEGIN{printf "window/no window: %.1f\n", a / b}'
