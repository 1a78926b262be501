#!/usr/bin/env bash
# Builds the suite twice, plainly and with AddressSanitizer + UBSan, and runs
# every test of both builds, and the golden test in a third build with the
# plain kernels only; installs the first build into a staging
# directory and runs the installed programs and the Debian package build.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/setup.sh"
jobs=$(nproc)

bash "$root/scripts/build.sh" "$root/build"
ctest --test-dir "$root/build" --output-on-failure -j"$jobs"
bash "$root/scripts/install_check.sh" "$root/build"

# The plain loops alone must give the golden outputs byte for byte.
cmake -S "$root" -B "$root/build-plain" -DCMAKE_BUILD_TYPE=Release -DLABSUITE_PLAIN_KERNELS=ON >/dev/null
cmake --build "$root/build-plain" -j"$jobs" --target golden_test
ctest --test-dir "$root/build-plain" --output-on-failure -R '^golden_test$'

bash "$root/scripts/build.sh" "$root/build-san" -DCMAKE_BUILD_TYPE=Debug -DLABSUITE_SANITIZE=ON
ASAN_OPTIONS=detect_leaks=0:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir "$root/build-san" --output-on-failure -j"$jobs"
bash "$root/scripts/fuzz.sh" smoke
bash "$root/scripts/check.sh" "$root/build"
