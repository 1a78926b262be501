#!/usr/bin/env python3
"""How often momfit's 68 % profile intervals hold the truth, per model.

Data sets of known truth (W1 = 1 eV, beta = 0.5, E0 = 1422 eV; 600 points;
Gaussian noise of sigma 2, 5 and 10 on a peak of 950 over a base of 50; the
cross term of the momentum the law of cosines at the true E0), SETS of them
per noise level (100 unless given), made by make_demo_data. Each set is
fitted with every model from the same start (E0 typed 1421, 1 eV below the
truth; W1 0.8; beta 0.3; changes 0.2,10,20; tolerance 1e-3), two fits at a
time. Prints, per model, noise level and parameter: how many intervals hold
the truth, the mean and sd of the pull (answer - truth) / half-width (the
half-width on the truth's side), the intervals not given (null ends), and
s^2 / sigma^2. A line at the end gives the load average.

    PYTHONPATH=build/python python3 bench/coverage.py build [SETS]
"""
import concurrent.futures
import os
import statistics
import subprocess
import sys
import tempfile
import warnings

import labsuite

build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build")
sets = int(sys.argv[2]) if len(sys.argv) > 2 else 100
MAKE_DATA = os.path.join(build, "demo", "make_demo_data")
TRUTH = {"W1": 1.0, "beta": 0.5, "E0": 1422.0}
SIGMAS = (2.0, 5.0, 10.0)
MODELS = (("designed", "start"), ("fitted", "start"), ("fitted", "fitted"))
START = dict(e0=1421.0, w1=0.8, beta=0.3, changes=(0.2, 10.0, 20.0), tolerance=1e-3)


def data(folder, sigma, seed):
    subprocess.run([MAKE_DATA, "--points", "600", "--sigma", str(sigma), "--seed", str(seed)],
                   cwd=folder, check=True, capture_output=True)
    lab = labsuite.read_lab(os.path.join(folder, "demo_lab.dat"))
    return lab, labsuite.read_profile(os.path.join(folder, "newintrin_red"))


def fit(lab, profile, scale, cross):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", labsuite.FitWarning)
        return labsuite.momfit(lab.momentum, lab.probability, profile, scale=scale, cross=cross,
                               **START)


def summary(results, sigma):
    """Per parameter: (covered, given, pull mean, pull sd); and s^2 / sigma^2."""
    rows = {}
    for name, truth in TRUTH.items():
        covered = given = 0
        pulls = []
        for r in results:
            value, ends = getattr(r.answer, name), getattr(r.interval, name)
            if ends is None or None in ends:
                continue
            given += 1
            low, high = ends
            covered += low <= truth <= high
            half = (value - low) if truth < value else (high - value)
            if half > 0:
                pulls.append((value - truth) / half)
        rows[name] = (covered, given, statistics.fmean(pulls), statistics.stdev(pulls))
    s2 = statistics.fmean(r.to_dict()["s2"] for r in results) / sigma**2
    return rows, s2


def main():
    with tempfile.TemporaryDirectory() as top:
        made = {}
        for level, sigma in enumerate(SIGMAS):
            for k in range(sets):
                folder = os.path.join(top, f"{level}_{k}")
                os.mkdir(folder)
                made[sigma, k] = data(folder, sigma, 1 + k + 1000 * level)
    print(f"{sets} sets per noise level, 600 points; pull = (answer - truth) / half-width on "
          "the truth's side")
    print(f"{'model':<26} {'sigma':>5} {'param':<5} {'covered':>9} {'pull mean':>9} "
          f"{'pull sd':>7} {'null':>5} {'s2/sigma2':>9}")
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        for scale, cross in MODELS:
            for sigma in SIGMAS:
                jobs = [pool.submit(fit, *made[sigma, k], scale, cross) for k in range(sets)]
                rows, s2 = summary([j.result() for j in jobs], sigma)
                for name, (covered, given, mean, sd) in rows.items():
                    print(f"{'scale ' + scale + ', cross ' + cross:<26} {sigma:>5g} {name:<5} "
                          f"{100.0 * covered / max(given, 1):>8.1f}% {mean:>+9.2f} {sd:>7.2f} "
                          f"{sets - given:>5} {s2:>9.2f}")
                sys.stdout.flush()
    print("load average %.1f %.1f %.1f" % os.getloadavg())


main()
