"""The bandfit correction done with numpy's weighted least squares, against
the program.

The deck is the one of the benchmark BM_WholeRun471Lines29Fitted: 471 lines
cycling over the P, Q and R lines of the five bands, positions from known
constants plus a small deterministic offset, all 29 parameters fitted from
starts 0.1 % off. numpy builds the same term table (the positions are linear
in the parameters, so the design matrix is exact), solves the weighted
problem with lstsq and takes the standard deviations from the inverse normal
matrix scaled by the residual norm over sqrt(n - m).

Prints the time of one correction on each side and its ratio, and how far
the new values and standard deviations of the two agree, in units of the
last digit the program's report prints.

    /usr/bin/python3 bench/peer/bandfit_peer.py BUILD-DIR
"""

import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np

SCALE = 0.9997923346201509  # every observed position is multiplied by it on reading
MAX_J = 22
TRUTH = [1.922529, 6.12e-6, 1.1e-11, 1.905012, 6.21e-6, 2e-11, 1.23e-2, -3.1e-6, 1.887104,
         6.3e-6, 1.5e-11, 1.08e-2, 2.5e-6, 1.870233, 6.0e-6, 1.7e-11, -9.1e-3, 1.2e-6, -28.73,
         -52.31, 2143.271, 1.9061, 6.15e-6, 1.3e-11, -17.5, 1.888, 6.05e-6, 1.4e-11, 35.2]
BANDS = ["V+0", "V+1", "V+2", "2V0", "4V2"]
# Upper term (P and R lines: plus component; Q lines: minus) and lower term.
UPPER = {("V+0", "P"): 2, ("V+0", "Q"): 3, ("V+1", "P"): 4, ("V+1", "Q"): 5,
         ("V+2", "P"): 6, ("V+2", "Q"): 7, ("2V0", "P"): 2, ("2V0", "Q"): 3,
         ("4V2", "P"): 6, ("4V2", "Q"): 7}
LOWER = {"V+0": 1, "V+1": 1, "V+2": 1, "2V0": 8, "4V2": 9}
OFFSET = {"P": -1, "Q": 0, "R": 1}


def lines_of(n):
    """(branch, band, J) of n lines, in the benchmark's order."""
    out = []
    while len(out) < n:
        for band in BANDS:
            for branch in "PQR":
                for j in range(1 if branch == "P" else 0, (21 if branch == "R" else 22) + 1):
                    if len(out) < n:
                        out.append((branch, band, j))
    return out


def term_table(c):
    """terms[k, J] for the nine terms k = 1..9 (row 0 unused), J = 0..22."""
    c = np.concatenate(([0.0], c))  # c[1..29]
    j = np.arange(MAX_J + 1)
    x = (j * (j + 1)).astype(np.float64)
    u = x - 1.0
    t = np.zeros((10, MAX_J + 1))
    sa = 0.5 * x * (c[7] + c[8] * x)
    sb = 0.5 * x * (c[12] + c[13] * x)
    sc = 0.5 * x * (c[17] + c[18] * x)
    t[1] = c[1] * x - c[2] * x**2 + c[3] * x**3 - c[21]
    t[2] = c[4] * u - c[5] * u**2 + c[6] * u**3 + sa
    t[3] = c[4] * u - c[5] * u**2 + c[6] * u**3 - sa
    t[4] = c[9] * u - c[10] * u**2 + c[11] * u**3 + c[19] + sb
    t[5] = c[9] * u - c[10] * u**2 + c[11] * u**3 + c[19] - sb
    t[6] = c[14] * u - c[15] * u**2 + c[16] * u**3 + c[20] + sc
    t[7] = c[14] * u - c[15] * u**2 + c[16] * u**3 + c[20] - sc
    t[8] = c[22] * x - c[23] * x**2 + c[24] * x**3 - c[21] - c[25]
    t[9] = c[26] * x - c[27] * x**2 + c[28] * x**3 - c[21] - c[29]
    return t


def index_arrays(lines):
    up = np.array([UPPER[(band, "P" if br == "R" else br)] for br, band, _ in lines])
    lo = np.array([LOWER[band] for _, band, _ in lines])
    jl = np.array([j for _, _, j in lines])
    ju = jl + np.array([OFFSET[br] for br, _, _ in lines])
    return up, lo, jl, ju


def positions(c, idx):
    up, lo, jl, ju = idx
    t = term_table(c)
    return t[up, ju] - t[lo, jl]


def correction(y, w, c, idx, quotients=False):
    """One weighted least-squares correction of every parameter: new values,
    standard deviations, and the standard deviation of the fit as the
    program reports it. The derivatives are exact (the positions are linear
    in c: column k is the positions of unit vector k), or with quotients=True
    the program's forward differences with a relative step of 1e-5."""
    m = len(c)
    base = positions(c, idx)
    if quotients:
        columns = []
        for k in range(m):
            moved = c.copy()
            moved[k] = moved[k] * 1.00001
            columns.append((positions(moved, idx) - base) * 100000 / c[k])
        a = np.stack(columns, axis=1)
    else:
        a = np.stack([positions(np.eye(m)[k], idx) for k in range(m)], axis=1)
    r = y - base
    sw = np.sqrt(w)
    delta, *_ = np.linalg.lstsq(a * sw[:, None], r * sw, rcond=None)
    new = c + delta
    residual = r - a @ delta
    n = len(y)
    s = np.sqrt(np.sum(w * residual**2)) / np.sqrt(n - m)
    # The inverse normal matrix from the triangular factor of the weighted
    # design matrix: forming the normal matrix would square its condition.
    rinv = np.linalg.inv(np.linalg.qr(a * sw[:, None], mode="r"))
    sd = s * np.sqrt(np.sum(rinv**2, axis=1))
    deviation = np.sqrt(np.sum(w * residual**2)) / (n - m)
    return new, sd, deviation


def per_call_seconds(f, least=1.0):
    calls, start = 0, time.perf_counter()
    while True:
        f()
        calls += 1
        spent = time.perf_counter() - start
        if spent >= least:
            return spent / calls


def run_program(build, work, runs):
    """Runs bandfit on the deck `runs` times; returns the report and the mean
    processor time (s) of one run."""
    program = os.path.join(build, "bandfit", "bandfit")
    cpu = 0.0
    for _ in range(runs):
        with open(os.path.join(work, "deck")) as deck:
            proc = subprocess.Popen([program], cwd=work, stdin=deck, stdout=subprocess.DEVNULL)
            _, status, usage = os.wait4(proc.pid, 0)
            proc.returncode = os.waitstatus_to_exitcode(status)
            if proc.returncode != 0:
                sys.exit("bandfit failed with exit status %d" % proc.returncode)
        cpu += usage.ru_utime + usage.ru_stime
    return open(os.path.join(work, "fort.26")).read(), cpu / runs


def refine_bench(build, work):
    """The in-process time of one correction on 400 lines (BM_Refine400Lines)."""
    out = os.path.join(work, "refine.json")
    subprocess.run([os.path.join(build, "bench", "bandfit_bench"),
                    "--benchmark_filter=^BM_Refine400Lines$", "--benchmark_out=" + out,
                    "--benchmark_out_format=json"], capture_output=True, check=True)
    b = [b for b in json.load(open(out))["benchmarks"] if b["name"] == "BM_Refine400Lines"][0]
    return b["cpu_time"] * {"us": 1e-6, "ms": 1e-3, "ns": 1e-9}[b["time_unit"]]


def make_problem(n):
    lines = lines_of(n)
    idx = index_arrays(lines)
    truth = np.array(TRUTH)
    y = positions(truth, idx)
    k = np.arange(1, n + 1)
    y = y + 1e-3 * (((k * 7919) % 17) - 8) / 8.0
    start = np.array([t * (1.001 if i % 2 else 0.999) for i, t in enumerate(TRUTH, 1)])
    return lines, idx, y, start


def last_digit(value):
    """One unit in the last of the 7 digits after the point of an E14.7 field."""
    if value == 0.0:
        return 1e-7
    return 10.0 ** (np.floor(np.log10(abs(value))) + 1 - 7)


def main():
    build = os.path.abspath(sys.argv[1])
    work = tempfile.mkdtemp(prefix="bandfit_peer.")
    n = 471
    lines, idx, y, start = make_problem(n)
    with open(os.path.join(work, "deck"), "w") as deck:
        deck.write("%d 29\n" % n)
        for (branch, band, j), pos in zip(lines, y):
            deck.write("'%s %s' %d %.17g 1\n" % (branch, band, j, pos / SCALE))
        for k, value in enumerate(start, 1):
            deck.write("C%d %.17g 1\n" % (k, value))
        deck.write("4 0\n")
    observed = np.array([float("%.17g" % (p / SCALE)) * SCALE for p in y])
    w = np.ones(n)

    report, ours_run = run_program(build, work, 20)
    fitted = re.findall(r"^\s+(C\d+)\s+(\S+)\s+(\S+)\s+(\S+)\s+(\S+)\s+\S+%$", report, re.M)
    ours_new = np.array([float(f[2]) for f in fitted])
    ours_sd = np.array([float(f[4]) for f in fitted])
    ours_dev = float(re.search(r"PARAMETERS, IS\s+(\S+)", report).group(1))
    ours_refine = refine_bench(build, work)
    shutil.rmtree(work)

    new, sd, deviation = correction(observed, w, start, idx)
    new_q, sd_q, deviation_q = correction(observed, w, start, idx, quotients=True)
    theirs_471 = per_call_seconds(lambda: correction(observed, w, start, idx))
    _, idx400, y400, start400 = make_problem(400)
    theirs_400 = per_call_seconds(lambda: correction(y400, np.ones(400), start400, idx400))

    if len(fitted) != 29:
        sys.exit("expected 29 fitted parameters in the report, found %d" % len(fitted))
    value_digits = max(abs(a - b) / last_digit(a) for a, b in zip(ours_new, new_q))
    sd_digits = max(abs(a - b) / last_digit(a) for a, b in zip(ours_sd, sd_q))
    # Beyond the rounding of the printed value (E14.7 carries 7 digits, which
    # for a well determined constant is coarser than its deviation).
    value_sds = max(max(abs(a - b) - 0.5 * last_digit(a), 0.0) / e
                    for a, b, e in zip(ours_new, new, sd))
    sd_rel = np.max(np.abs(ours_sd - sd) / sd)
    truth_sds = np.max(np.abs(new - np.array(TRUTH)) / sd)

    print("bandfit correction: %d lines, 29 fitted parameters" % n)
    print("  numpy with exact derivatives: new values differ, beyond the rounding of the report,"
          " by at most %.2g standard deviations; the standard deviations by at most %.2g relative" % (value_sds, sd_rel))
    print("  numpy with the program's difference quotients: at most %.2f units of the report's "
          "last digit in new values, %.2f in standard deviations" % (value_digits, sd_digits))
    print("  standard deviation of the fit: bandfit %.6e, numpy %.6e (exact), %.6e (quotients)"
          % (ours_dev, deviation, deviation_q))
    print("  (numpy's new values against the constants the lines were made from: within %.2g "
          "standard deviations)" % truth_sds)
    print("per correction")
    print("  471 lines: bandfit whole run %.0f us (processor time, start to exit), "
          "numpy %.0f us, peer/ours %.1f" % (ours_run * 1e6, theirs_471 * 1e6, theirs_471 / ours_run))
    print("  400 lines: bandfit refine BM_Refine400Lines %.0f us, numpy %.0f us, peer/ours %.1f" % (
        ours_refine * 1e6, theirs_400 * 1e6, theirs_400 / ours_refine))
    agree = value_digits <= 1.0 and sd_digits <= 1.0 and value_sds < 0.01
    print("  results agree to the digits the report prints: %s" % ("yes" if agree else "NO"))


if __name__ == "__main__":
    main()
