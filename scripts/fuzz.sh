#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan + UBSan) into build-fuzz/ and runs
# each on a scratch copy of its seed corpus in fuzz/corpus/<target>/.
#   bash scripts/fuzz.sh [seconds]   each target for that long (default 60)
#   bash scripts/fuzz.sh smoke       each target for about 3 s; fails on any finding
# A finding stops the run; its input is left in build-fuzz/findings/<target>/
# (add it to the seed corpus once fixed, as a regression case).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
arg=${1:-60}
if [[ $arg == smoke ]]; then seconds=3; else seconds=$arg; fi
[[ $seconds =~ ^[0-9]+$ ]] || { echo "usage: fuzz.sh [seconds|smoke]" >&2; exit 2; }
targets=(list_read format deck loaders)
dir=${LABSUITE_FUZZ_BUILD:-$root/build-fuzz}

CC=clang CXX=clang++ cmake -S "$root" -B "$dir" -DLABSUITE_FUZZ=ON >/dev/null
cmake --build "$dir" -j"$(nproc)" --target "${targets[@]/%/_fuzz}"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
status=0
for t in "${targets[@]}"; do
  mkdir -p "$scratch/$t" "$dir/findings/$t"
  cp "$root/fuzz/corpus/$t/"* "$scratch/$t/"
  # stdout and stderr of the target are closed (the fatal I/O report would
  # fill the log); libFuzzer and the sanitizers keep their own copy of stderr.
  if "$dir/fuzz/${t}_fuzz" "$scratch/$t" -max_total_time="$seconds" -timeout=10 \
      -rss_limit_mb=2048 -close_fd_mask=3 -print_final_stats=1 \
      -artifact_prefix="$dir/findings/$t/" >"$scratch/$t.log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$scratch/$t.log")
    echo "fuzz $t: ${seconds}s, $runs runs, corpus $(ls "$scratch/$t" | wc -l) inputs, no finding"
  else
    echo "fuzz $t: FINDING (input in $dir/findings/$t/)" >&2
    grep -E 'ERROR|SUMMARY|runtime error|==[0-9]+==' "$scratch/$t.log" | head -20 >&2 || true
    status=1
  fi
done
exit $status
