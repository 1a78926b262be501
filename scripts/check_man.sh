#!/usr/bin/env bash
# Renders each manual page given with man -l and with groff (all warnings)
# and fails when either reports anything: a warning is a fault of the page.
set -euo pipefail
status=0
for page in "$@"; do
  log=$( { LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" >/dev/null \
           && groff -ww -z -man "$page"; } 2>&1 ) || log+=$'\n'"rendering failed"
  if [[ -n $log ]]; then
    echo "check_man: $page:"$'\n'"$log" >&2
    status=1
  fi
done
exit $status
