"""The momfit fit done with numpy and scipy, against the program.

The objective is written again with numpy in double precision: the angle
tables, the cubic through four table points onto the lab momenta, the FFT
convolution with the instrument profile laid out in wrap-around order, the
scaling onto the lab range and the chi-square. scipy's Nelder-Mead minimises
it twice from the same starting simplices as momfit on the demo data.

Prints the time of one evaluation on each side and its ratio, the fitted
values of both (scipy run to a tight tolerance and to momfit's), the
chi-square of each under the numpy objective, and how closely the numpy
objective reproduces momfit's single-precision values along its fit.

    /usr/bin/python3 bench/peer/momfit_peer.py BUILD-DIR
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
from scipy.optimize import minimize

F = np.float32  # the program's constants are single precision

M1, M2 = float(F(69.92425)), float(F(1.007825))
AMU, EVOLT = float(F(1.67353e-27)), float(F(1.6021774e-19))
TABLE, FFT_LENGTH = 180, 1024

# Angles from -179 degrees to 0 in steps of one degree, as momfit forms them.
IPHI = np.arange(1, TABLE + 1)
PHI = (IPHI - 180).astype(np.float64) * float(F(3.14159)) / 180.0
U = np.cos(float(F(1.5708)) - PHI)
COSPHI = np.cos(PHI)


class Run:
    """Lab data, instrument profile and the E0 entered at the start."""

    def __init__(self, labmom, labprob, prof, e0):
        self.labmom = np.asarray(labmom, dtype=np.float64)
        self.labprob = np.asarray(labprob, dtype=np.float64)
        self.n = len(self.labmom)
        self.top = max(0.0, float(self.labprob.max()))
        self.base = float(self.labprob[0])
        self.e0 = e0
        m = len(prof)
        half = (m + 1) // 2
        response = np.zeros(FFT_LENGTH)
        response[:half] = prof[:half]  # lags 0, 1, ..
        if m > half:
            response[FFT_LENGTH - (m - half):] = prof[half:m]  # .., -2, -1
        self.response_ft = np.fft.rfft(response)

    def momenta(self, w, e0now):
        mu = M1 * M2 / (M1 + M2)
        cross = self.e0 * w / (M1 * M2)
        if not cross >= 0.0:
            return None
        bracket = w / M1 + e0now / M2 + 2.0 * np.sqrt(cross) * COSPHI
        square = 2.0 * EVOLT * M1 * AMU * mu * bracket
        if not np.all(square >= 0.0):
            return None
        return np.sqrt(square)

    def chi2(self, x):
        """x = (W1, beta, E0); W2 is 0 as in momfit's dialogue."""
        w1, beta, e0now = (float(v) for v in x)
        prob = 0.15915507 * (1.0 + (0.5 * beta) * (3.0 * U * U - 1.0))
        energy = self.momenta(w1, e0now)
        if energy is None:
            return np.inf
        # The cubic through four table points around each lab momentum, the
        # bracketing pair in the middle (moved inwards at the table's ends);
        # zero outside the table.
        j = np.searchsorted(energy, self.labmom, side="right")
        inside = (j > 0) & (j < TABLE)
        start = np.clip(j - 2, 0, TABLE - 4)
        idx = start[:, None] + np.arange(4)[None, :]
        xs, ys = energy[idx], prob[idx]
        g = self.labmom[:, None]
        value = np.zeros(self.n)
        for i in range(4):
            term = ys[:, i].copy()
            for k in range(4):
                if k != i:
                    term *= (g[:, 0] - xs[:, k]) / (xs[:, i] - xs[:, k])
            value += term
        value[~inside] = 0.0
        padded = np.zeros(FFT_LENGTH)
        padded[: self.n] = value
        conv = np.fft.irfft(np.fft.rfft(padded) * self.response_ft, FFT_LENGTH)[: self.n]
        largest = conv.max()
        if not largest > 0.0:
            return np.inf
        model = (self.top - self.base) * conv / largest + self.base
        total = np.sum(((self.labprob - model) / (self.n - 3)) ** 2)
        return np.inf if np.isnan(total) else float(total)


def per_call_seconds(f, x, least=0.5):
    """Mean time of f(x) over repeated calls lasting at least `least` s."""
    calls, start = 0, time.perf_counter()
    while True:
        for _ in range(20):
            f(x)
        calls += 20
        spent = time.perf_counter() - start
        if spent >= least:
            return spent / calls


def bench_data():
    """The data of the benchmark BM_phi2: 1000 lab points, a peak on a flat
    base, a 31-value Gaussian profile, E0 1400 eV."""
    t = np.arange(1000, dtype=np.float32) / F(1000)
    labmom = (F(7.17e-21) + F(8.0e-23) * t).astype(np.float64)
    labprob = (F(50) + F(950) * np.exp(-np.power((t - F(0.6)) / F(0.1), F(2)))).astype(
        np.float64)
    prof = np.zeros(31)
    for lag in range(16):
        g = float(np.exp(F(-0.02) * F(lag * lag)))
        prof[lag] = g
        if lag > 0:
            prof[31 - lag] = g
    run = Run(labmom, labprob, prof, 1400.0)
    run.top, run.base = 1000.0, 50.0  # as the benchmark sets them
    return run


def run_momfit(build, work, answers):
    """Runs the program without a display; returns its output, the records of
    unit 7, and the processor time (s) of the whole run."""
    with open(os.path.join(work, "answers"), "w") as f:
        f.write("\n".join(answers) + "\n")
    env = dict(os.environ)
    env.pop("DISPLAY", None)
    out = open(os.path.join(work, "dialogue"), "w")
    err = open(os.path.join(work, "pause"), "w")
    proc = subprocess.Popen([os.path.join(build, "momfit", "momfit")], cwd=work, env=env,
                            stdin=open(os.path.join(work, "answers")), stdout=out, stderr=err)
    # The closing PAUSE waits for signal 15 when input is not a terminal.
    while "kill -15" not in open(os.path.join(work, "pause")).read():
        if proc.poll() is not None:
            sys.exit("momfit ended before its closing pause:\n" +
                     open(os.path.join(work, "pause")).read())
        time.sleep(0.01)
    # The time so far is the fit's; waiting at the pause costs nothing.
    proc.send_signal(15)
    _, status, usage = os.wait4(proc.pid, 0)
    proc.returncode = os.waitstatus_to_exitcode(status)
    if proc.returncode != 0:
        sys.exit("momfit ended with exit status %d" % proc.returncode)
    dialogue = open(os.path.join(work, "dialogue")).read()
    records = [[float(v) for v in line.split()] for line in open(os.path.join(work, "fort.7"))]
    return dialogue, records, usage.ru_utime + usage.ru_stime


def best(dialogue, name):
    return float(re.findall(r"Best %s is\s+(\S+)" % name, dialogue)[0])


def main():
    build = os.path.abspath(sys.argv[1])
    work = tempfile.mkdtemp(prefix="momfit_peer.")
    truth = subprocess.run([os.path.join(build, "demo", "make_demo_data")], cwd=work,
                           capture_output=True, text=True, check=True).stdout.strip()
    lab = np.loadtxt(os.path.join(work, "demo_lab.dat"))
    prof = np.loadtxt(os.path.join(work, "newintrin_red"))
    e0, w1, beta, de0, dw1, dbeta, ftol = 1420.0, 0.8, 0.3, 0.2, 10.0, 20.0, 1.0e-3
    run = Run(lab[:, 0], lab[:, 1], prof, e0)

    # --- ours -------------------------------------------------------------
    dialogue, records, cpu = run_momfit(build, work, [
        "1420", "0.8", "0.3", "demo_lab.dat", "0.2", "10", "20", "1.0e-3"])
    ours = np.array([best(dialogue, "W1"), best(dialogue, "beta"), best(dialogue, "E0")])
    evaluations = len(records)
    bench_json = os.path.join(work, "phi2.json")
    subprocess.run([os.path.join(build, "bench", "momfit_bench"), "--benchmark_filter=^BM_phi2$",
                    "--benchmark_out=" + bench_json, "--benchmark_out_format=json"],
                   capture_output=True, check=True, env={k: v for k, v in os.environ.items()
                                                         if k != "DISPLAY"})
    phi2 = [b for b in json.load(open(bench_json))["benchmarks"] if b["name"] == "BM_phi2"][0]
    ours_eval_bench = phi2["cpu_time"] * {"us": 1e-6, "ms": 1e-3, "ns": 1e-9}[phi2["time_unit"]]

    # The objective itself: every record that improved on the best so far
    # carries the point and its chi-square (W1, W2, beta, E0, chi2, best).
    improved = [r for r in records if r[4] == r[5] and np.isfinite(r[4])]
    rel = [abs(run.chi2((r[0], r[2], r[3])) - r[4]) / r[4] for r in improved]

    # --- scipy: the same two minimisations --------------------------------
    c_w1 = w1 + w1 * dw1 / 100.0
    c_beta = beta + beta * dbeta / 100.0
    c_e0 = e0 + e0 * de0 / 100.0
    first = np.array([[w1, beta, e0], [c_w1, beta, e0], [w1, c_beta, e0], [w1, beta, c_e0]])

    def fit(options):
        r1 = minimize(run.chi2, first[0], method="Nelder-Mead",
                      options=dict(options, initial_simplex=first))
        b = r1.x
        second = np.array([b, [c_w1 - c_w1 / 10.0, b[1], b[2]],
                           [b[0], c_beta - c_beta / 15.0, b[2]],
                           [b[0], b[1], c_e0 - c_e0 / 500.0]])
        r2 = minimize(run.chi2, b, method="Nelder-Mead",
                      options=dict(options, initial_simplex=second))
        # With the vertices evaluated before each minimisation, as momfit does.
        return r2.x, r2.fun, r1.nfev + r2.nfev + 8

    start = time.perf_counter()
    theirs, chimin, nfev = fit(dict(xatol=1e-5, fatol=1e-10, maxiter=20000, maxfev=20000))
    scipy_time = time.perf_counter() - start
    theirs_eval_demo = scipy_time / nfev
    # momfit stops when the simplex's chi-square values spread by less than
    # ftol relative; scipy's closest rule is an absolute spread.
    loose, loose_chi2, loose_nfev = fit(dict(xatol=np.inf, fatol=ftol * chimin))

    # --- per evaluation on the benchmark's data -----------------------------
    bench_run = bench_data()
    theirs_eval_bench = per_call_seconds(bench_run.chi2, (1.0, 0.5, 1405.0))

    shutil.rmtree(work)
    ours_chi2 = run.chi2(ours)
    print("momfit fit on the demo data (%d lab points, %d profile values)" % (run.n, len(prof)))
    print("  " + truth)
    print("  %-6s %14s %14s %14s %12s" % ("", "momfit", "scipy", "scipy, ftol", "relative"))
    for k, name in enumerate(["W1", "beta", "E0"]):
        print("  %-6s %14.7g %14.7g %14.7g %12.2g" % (name, ours[k], theirs[k], loose[k],
                                                     (ours[k] - theirs[k]) / theirs[k]))
    print("  %-6s %14.6g %14.6g %14.6g %12.2g   (chi2 by the numpy objective)" % (
        "chi2", ours_chi2, chimin, loose_chi2, (ours_chi2 - chimin) / chimin))
    print("  %-6s %14d %14d %14d" % ("evals", evaluations, nfev, loose_nfev))
    rel = np.array(rel)
    worst = improved[int(np.argmax(rel))]
    print("  objective, numpy against momfit's single precision at its %d improving points: "
          "median relative difference %.2g, largest %.2g (W1 %g, beta %g, E0 %g)" % (
              len(improved), np.median(rel), rel.max(), worst[0], worst[2], worst[3]))
    print("per evaluation")
    print("  1000 lab points: momfit BM_phi2 %.1f us, numpy objective %.1f us, peer/ours %.1f" % (
        ours_eval_bench * 1e6, theirs_eval_bench * 1e6, theirs_eval_bench / ours_eval_bench))
    print("  demo fit: momfit program %.1f us (processor time of the whole run / evaluations), "
          "scipy fit %.1f us (wall time / evaluations), peer/ours %.1f" % (
              cpu / evaluations * 1e6, theirs_eval_demo * 1e6,
              theirs_eval_demo / (cpu / evaluations)))


if __name__ == "__main__":
    main()
