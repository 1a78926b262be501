#!/usr/bin/env python3
"""Processor time of a short program run, as the speed figures of the
programs are given: RUNS runs, each with STDIN-FILE on standard input, in a
scratch directory; prints the children's user + system time per run
(getrusage RUSAGE_CHILDREN), which counts the whole process from exec to
exit and nothing of this script.

    python3 bench/cputime.py 200 tests/golden/bandfit_capacity/stdin build/bandfit/bandfit
"""
import os
import resource
import subprocess
import sys
import tempfile

if len(sys.argv) < 4:
    sys.exit("usage: cputime.py RUNS STDIN-FILE PROGRAM [ARGUMENT...]")
runs = int(sys.argv[1])
stdin_path = os.path.abspath(sys.argv[2])
argv = sys.argv[3:]
if "/" in argv[0]:
    argv[0] = os.path.abspath(argv[0])
with tempfile.TemporaryDirectory() as scratch:
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    for _ in range(runs):
        with open(stdin_path, "rb") as stdin:
            subprocess.run(argv, stdin=stdin, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, cwd=scratch, check=False)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
user = (after.ru_utime - before.ru_utime) / runs * 1e3
system = (after.ru_stime - before.ru_stime) / runs * 1e3
print("%s: %.3f ms (user %.3f, system %.3f) per run over %d runs"
      % (os.path.basename(argv[0]), user + system, user, system, runs))
