#!/usr/bin/env bash
# The peer benchmark: the demo's momfit fit done again with scipy's
# Nelder-Mead over a numpy objective, and a bandfit correction done again with
# numpy's weighted least squares, on the same synthetic data. Prints the time
# of one evaluation (one correction) on each side with their ratio, and how
# far the results agree.
#
#   bash scripts/peer_bench.sh [BUILD-DIR]     (default build/)
#
# Installs python3-scipy (Debian) when missing and builds with the benchmarks.
# Uses the system's Python, which the Debian packages serve.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
bash "$root/scripts/setup.sh" python3-scipy
bash "$root/scripts/build.sh" "$build" -DLABSUITE_BENCH=ON
/usr/bin/python3 "$root/bench/peer/momfit_peer.py" "$build"
echo
/usr/bin/python3 "$root/bench/peer/bandfit_peer.py" "$build"
