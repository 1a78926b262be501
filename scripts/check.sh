#!/usr/bin/env bash
# Memory and static checks, run by scripts/test.sh after the tests:
#  - valgrind memcheck on one momfit fit (the demo's data and answers, under a
#    virtual X server so that the plot runs too) and on one bandfit run (a
#    small deck with fitted and held parameters and every report block);
#  - cppcheck over every source of the build (tests included);
#  - clang-tidy with the checks of .clang-tidy over the program sources.
# Any error, finding or leak of our own code fails the script. Every finding
# that stays is justified by a comment at its place.
#
#   bash scripts/check.sh [BUILD-DIR]     (default build/, already built)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
start=$(date +%s)

# The analysers read the compile commands; asking for them again only
# rewrites the file.
cmake -S "$root" -B "$build" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null

memcheck=(valgrind --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite
          --num-callers=40 --suppressions="$root/scripts/check.supp")

# momfit: the demo fit. The closing PAUSE waits for signal 15 when input is
# not a terminal, so the script sends it once the PAUSE has been announced.
momfit_run() {
  mkdir -p "$work/momfit" && cd "$work/momfit"
  "$build/demo/make_demo_data" >/dev/null
  printf '%s\n' 1420 0.8 0.3 demo_lab.dat 0.2 10 20 1.0e-3 > answers
  "${memcheck[@]}" "$build/momfit/momfit" < answers > dialogue 2> log &
  local pid=$!
  until grep -qs "kill -15" log; do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.2
  done
  kill -15 "$pid" 2>/dev/null || true
  local status=0
  wait "$pid" || status=$?
  if ((status != 0)) || [[ $(wc -l < fort.7) -lt 100 ]]; then
    echo "check: memcheck of momfit failed (exit status $status)" >&2
    cat log >&2
    return 1
  fi
}

# bandfit: eight lines of three bands, two fitted parameters, one removed
# as too small, the rest held; report level 3 prints every matrix.
bandfit_run() {
  mkdir -p "$work/bandfit" && cd "$work/bandfit"
  cat > deck <<'DECK'
8 21
'P V+0' 3 2131.63 1
'Q V+0' 4 2143.27 1
'R V+0' 2 2154.80 1
'R V+0' 5 2165.02 0.5
'P V+1' 2 2112.41 1
'Q V+1' 6 2117.93 1
'R 2V0' 1 2145.66 1
'P 2V0' 7 2122.10 1
B1 1.922529 1
D1 6.12e-6 0
H1 0 1
BA 1.905012 1
DA 6.21e-6 0
HA 0 0
QA 1.23e-2 0
QJA 0 0
BB 1.887104 0
DB 6.3e-6 0
HB 0 0
QB 1.08e-2 0
QJB 0 0
BC 1.870233 0
DC 6.0e-6 0
HC 0 0
QC -9.1e-3 0
QJC 0 0
GB -28.73 0
GC -52.31 0
ORIGIN 2143.271 0
4 3
DECK
  local status=0
  "${memcheck[@]}" "$build/bandfit/bandfit" < deck > out 2> log || status=$?
  if ((status != 0)) || ! grep -q "LEAST SQUARES FITTING COMPLETED" fort.26; then
    echo "check: memcheck of bandfit failed (exit status $status)" >&2
    cat log out >&2
    return 1
  fi
}

# The memory checks run beside the static ones: each is one process, and
# clang-tidy keeps both cores busy only part of the time.
(
  unset DISPLAY
  export build work
  xvfb-run -a -s "-screen 0 1024x768x24" bash -c "$(declare -p memcheck); $(declare -f momfit_run); momfit_run"
) > "$work/momfit.out" 2>&1 &
momfit_pid=$!
bandfit_status=0
(bandfit_run) || bandfit_status=1

cppcheck_status=0
cppcheck --project="$build/compile_commands.json" -j2 --library=googletest \
  --enable=warning,performance,portability --inline-suppr --error-exitcode=1 --quiet \
  --suppress=missingIncludeSystem --cppcheck-build-dir="$work" \
  --template='{file}:{line}: {severity}: {message} [{id}]' || cppcheck_status=1

tidy_status=0
run-clang-tidy -quiet -j2 -p "$build" '/(recordio|run|momfit|bandfit|tools|demo)/([a-z]+/)?[^/]*(?<!_test)\.cc$' \
  > "$work/tidy.log" 2>&1 || tidy_status=1
if ((tidy_status)); then grep -E -A3 "(warning|error):" "$work/tidy.log" >&2 || cat "$work/tidy.log" >&2; fi

momfit_status=0
wait "$momfit_pid" || momfit_status=1
if ((momfit_status)); then cat "$work/momfit.out" >&2; fi

echo "check: memcheck momfit $( ((momfit_status)) && echo FAILED || echo clean )," \
     "memcheck bandfit $( ((bandfit_status)) && echo FAILED || echo clean )," \
     "cppcheck $( ((cppcheck_status)) && echo FAILED || echo clean )," \
     "clang-tidy $( ((tidy_status)) && echo FAILED || echo clean )" \
     "in $(( $(date +%s) - start )) s"
exit $(( momfit_status | bandfit_status | cppcheck_status | tidy_status ))
