#!/usr/bin/env bash
# Installs the Debian packages the suite builds, tests and runs with, when
# any is missing, and any further packages named as arguments (the peer
# benchmark asks for python3-scipy). Needs root (apt-get) when something is
# missing; does nothing when all are present.
set -euo pipefail
packages=(cmake g++ make pkg-config libgtest-dev libbenchmark-dev libfftw3-dev
          giza-dev libcpgplot0 nlohmann-json3-dev xvfb xauth x11-apps imagemagick
          clang libclang-rt-14-dev valgrind cppcheck clang-tidy
          man-db groff-base dpkg-dev lintian locales
          pybind11-dev python3-dev python3-pytest python3-numpy python3-scipy python3-distributed
          python3-matplotlib python3-pandas python3-tqdm
          "$@")
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
