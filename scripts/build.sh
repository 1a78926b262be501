#!/usr/bin/env bash
# Configures and builds the suite into build/ (or the directory given as $1;
# further arguments go to cmake, e.g. -DLABSUITE_SANITIZE=ON).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-$root/build}
shift || true
cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
cmake --build "$dir" -j"$(nproc)"
