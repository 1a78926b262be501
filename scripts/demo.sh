#!/usr/bin/env bash
# The main job: installs what is missing, builds the suite, and runs one
# momfit fit on synthetic data with scripted answers. The window is
# photographed at the closing PAUSE (demo/out/momfit.png), beside the same
# picture that --plot wrote (demo/out/fit.png), the PAUSE is resumed, and
# the best values are printed beside the true ones, and the time to the
# PAUSE with the window against the time without it
# (bench/window_ratio.sh).
# Without a display the fit runs under xvfb-run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

if [[ "${1:-}" != --fit ]]; then
  bash "$root/scripts/setup.sh"
  bash "$root/scripts/build.sh" "$root/build"
  if [[ -z "${DISPLAY:-}" ]]; then
    exec xvfb-run -a -s "-screen 0 1024x768x24" bash "$0" --fit
  fi
  exec bash "$0" --fit
fi

out=$root/demo/out
rm -rf "$out" && mkdir -p "$out" && cd "$out"
truth=$("$root/build/demo/make_demo_data")
# E0, W1, beta, lab file, changes of E0, W1 and beta (%), tolerance.
printf '%s\n' 1420 0.8 0.3 demo_lab.dat 0.2 10 20 1.0e-3 > answers
start=$(date +%s%N)
"$root/build/momfit/momfit" --plot fit.png < answers > dialogue.txt 2> pause.txt &
pid=$!
until grep -q "kill -15" pause.txt 2>/dev/null; do
  if ! kill -0 "$pid" 2>/dev/null; then
    cat pause.txt >&2
    echo "demo: momfit ended before its closing pause" >&2
    exit 1
  fi
  sleep 0.05
done
fit_ms=$(( ($(date +%s%N) - start) / 1000000 ))
xwd -root -silent | convert xwd:- momfit.png
kill -15 "$pid"
wait "$pid"
grep "Best" dialogue.txt
echo "$truth"
echo "evaluations: $(wc -l < fort.7) in ${fit_ms} ms (to the closing pause); window saved as $out/momfit.png, --plot wrote $out/fit.png"
# What the live window costs: the same run with and without it, alternated.
bash "$root/bench/window_ratio.sh" "$root/build" 3 | tail -3

