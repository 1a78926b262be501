#!/usr/bin/env python3
"""What the Python module costs: a fit through labsuite.momfit against the
fit's own time inside the call and against a momfit run on the same data;
one MomentumModel evaluation from Python against an evaluation inside a
fit; fits in two threads against one after the other; how soon Ctrl-C (SIGINT)
ends a fit and a batch on the process pool; and fits per second through
fit_files on a process pool and on a two-worker Dask LocalCluster (N
files, 100 unless given; compare bench/many_fits.sh BUILD N, run in the
same sitting), with a progress callable and the warnings caught, and on a
dask scheduler with two dask workers started as programs on 127.0.0.1.
Prints medians of alternated runs and the load average. With "pool" after
N, only fit_files on the process pool (N files): for comparing two builds
of the package, alternated in one sitting.

    PYTHONPATH=build/python python3 bench/python_bench.py build [N [pool]]
"""
import contextlib
import inspect
import multiprocessing
import os
import resource
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import warnings

import labsuite

build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build")
n_files = int(sys.argv[2]) if len(sys.argv) > 2 else 100
only_pool = sys.argv[3:] == ["pool"]
MOMFIT = os.path.join(build, "momfit", "momfit")
MAKE_DATA = os.path.join(build, "demo", "make_demo_data")
ANSWERS = dict(e0=1420.0, w1=0.8, beta=0.3, changes=(0.2, 10.0, 20.0), tolerance=1e-4)
TYPED = "1420\n0.8\n0.3\n{}\n0.2\n10\n20\n1e-4\n"
REPEATS = 15


def load():
    return "load average %.1f %.1f %.1f" % os.getloadavg()


def fit(folder, name="demo_lab.dat"):
    lab = labsuite.read_lab(os.path.join(folder, name))
    prof = labsuite.read_profile(os.path.join(folder, "newintrin_red"))
    return labsuite.momfit(lab.momentum, lab.probability, prof, lab_file=name, **ANSWERS)


def interrupted(call, seconds=0.3):
    """The time from a SIGINT sent seconds into call to its KeyboardInterrupt."""
    sent = []

    def send():
        sent.append(time.perf_counter())
        os.kill(os.getpid(), signal.SIGINT)
    threading.Timer(seconds, send).start()
    try:
        call()
    except KeyboardInterrupt:
        return time.perf_counter() - sent[0]
    raise RuntimeError("the call ended before the signal")


def main():
    with tempfile.TemporaryDirectory() as work:
        subprocess.run([MAKE_DATA], cwd=work, check=True, capture_output=True)
        print(load())

        if not only_pool:
            single(work)

        # Many files.
        paths = []
        for seed in range(1, n_files + 1):
            subprocess.run([MAKE_DATA, "--seed", str(seed)], cwd=work, check=True,
                           capture_output=True)
            paths.append(os.path.join(work, f"lab{seed}.dat"))
            os.rename(os.path.join(work, "demo_lab.dat"), paths[-1])
        print(load())
        many(paths)
        print(load())


def single(work):
    """One fit, one model evaluation and fits in two threads."""
    # Once for all: catch_warnings in two threads at once restores the
    # filters of the wrong one.
    warnings.simplefilter("ignore", labsuite.FitWarning)
    # One call: the whole Python call (reading both files included), the fit
    # inside it, and a momfit run (process, files, log and results file).
    call, inner, program = [], [], []
    for _ in range(REPEATS):
        t = time.perf_counter()
        r = fit(work)
        call.append(time.perf_counter() - t)
        inner.append(r.seconds)
        t = time.perf_counter()
        subprocess.run([MOMFIT, "--no-wait", "--no-window", "--results", "r.json"], cwd=work,
                       input=TYPED.format("demo_lab.dat"), capture_output=True, text=True)
        program.append(time.perf_counter() - t)
    c, f, p = (statistics.median(v) * 1e3 for v in (call, inner, program))
    evals = len(r.chi2s) + r.to_dict()["scan"]["evaluations"]
    print(f"one fit ({len(r.chi2s)} evaluations, scan {evals - len(r.chi2s)}), median of "
          f"{REPEATS}: Python call {c:.1f} ms, the fit inside it {f:.1f} ms "
          f"(the call adds {100 * (c - f) / f:.1f} %), momfit run {p:.1f} ms")

    # One evaluation of the model from Python.
    lab = labsuite.read_lab(os.path.join(work, "demo_lab.dat"))
    m = labsuite.MomentumModel(*lab, labsuite.read_profile(os.path.join(work, "newintrin_red")),
                               e0=1420.0)
    x = [r.best.W1, r.best.beta, r.best.E0]
    rounds = []
    for _ in range(REPEATS):
        t = time.perf_counter()
        for _ in range(2000):
            m(x)
        rounds.append((time.perf_counter() - t) / 2000)
    print(f"MomentumModel(x) from Python: {statistics.median(rounds) * 1e6:.1f} us a call; "
          f"inside a fit {f / evals * 1e3:.1f} us an evaluation (scan included)")

    # Ctrl-C during a fit that never ends (the tolerance never met, the
    # limit always resumed), and during a batch of them on the pool.
    endless = dict(ANSWERS, tolerance=-1.0, resume=10**9)
    prof = labsuite.read_profile(os.path.join(work, "newintrin_red"))
    alone = [interrupted(lambda: labsuite.momfit(*lab, prof, **endless)) for _ in range(5)]
    lab_path = os.path.join(work, "demo_lab.dat")
    batch = [interrupted(lambda: labsuite.fit_files([lab_path] * 4, **endless), 1.0)
             for _ in range(3)]
    print(f"Ctrl-C to KeyboardInterrupt: a fit {statistics.median(alone) * 1e3:.0f} ms "
          f"(most {max(alone) * 1e3:.0f} of 5), fit_files on the pool "
          f"{statistics.median(batch) * 1e3:.0f} ms (most {max(batch) * 1e3:.0f} of 3), "
          f"{len(multiprocessing.active_children())} workers left")

    # Threads: four fits in two threads against the same four in one.
    t = time.perf_counter()
    for _ in range(4):
        fit(work)
    one = time.perf_counter() - t
    threads = [threading.Thread(target=lambda: [fit(work) for _ in range(2)]) for _ in range(2)]
    t = time.perf_counter()
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    two = time.perf_counter() - t
    print(f"four fits: {one:.2f} s in one thread, {two:.2f} s in two ({one / two:.2f}x)")


def many(paths):
    """fit_files on paths: a process pool (plain and with a progress
    callable and every warning caught, where fit_files offers them), a
    LocalCluster and a scheduler with two workers started as programs on
    127.0.0.1, all of two processes."""
    def timed(how, *args, **more):
        with warnings.catch_warnings(record=True):
            warnings.simplefilter("always" if more else "ignore", labsuite.FitWarning)
            t, cpu = time.perf_counter(), time.process_time()
            pool = resource.getrusage(resource.RUSAGE_CHILDREN)
            labsuite.fit_files(paths, *args, **more, **ANSWERS)
            s, cpu = time.perf_counter() - t, time.process_time() - cpu
            after = resource.getrusage(resource.RUSAGE_CHILDREN)
        pool = after.ru_utime + after.ru_stime - pool.ru_utime - pool.ru_stime
        # The caller's processor time holds what fit_files does here (reading,
        # sending, warnings, progress); a pool's workers are its children.
        print(f"fit_files, {how}: {len(paths)} files in {s:.2f} s, {len(paths) / s:.1f} fits "
              f"per second; processor time {cpu:.3f} s here"
              + (f", {pool:.2f} s in the pool" if not args else ""))

    plain = f"process pool of {os.cpu_count()}"
    told = plain + ", progress callable, warnings caught"
    if "progress" not in inspect.signature(labsuite.fit_files).parameters:
        timed(plain)
    else:  # A B B A: the second call of a pair meets another moment of the machine's load
        for how in (plain, told, told, plain):
            timed(how, **({"progress": lambda path, result: None} if how == told else {}))
    if only_pool:
        return
    try:
        import distributed
    except ImportError:
        return
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        client.wait_for_workers(2)
        timed("Dask LocalCluster of 2 worker processes", client)
    with tempfile.TemporaryDirectory() as folder, dask_programs(folder) as address, \
            distributed.Client(address, timeout=60) as client:
        client.wait_for_workers(2, timeout=60)
        timed("dask scheduler and 2 dask workers on tcp://127.0.0.1", client)


@contextlib.contextmanager
def dask_programs(folder):
    """dask scheduler and two dask workers (one thread each) on 127.0.0.1 in
    folder, as one starts them on machines of one's own: the address."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        address = "tcp://127.0.0.1:%d" % s.getsockname()[1]
    env = dict(os.environ, DASK_TEMPORARY_DIRECTORY=folder)
    quiet = dict(cwd=folder, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    started = [subprocess.Popen(["dask", "scheduler", "--host", "127.0.0.1", "--port",
                                 address.rsplit(":", 1)[1], "--no-dashboard"], **quiet)]
    try:
        for k in (1, 2):
            started.append(subprocess.Popen(
                ["dask", "worker", address, "--host", "127.0.0.1", "--nthreads", "1",
                 "--no-nanny", "--no-dashboard", "--local-directory", f"{folder}/w{k}"], **quiet))
        yield address
    finally:
        for p in started:
            p.terminate()
        for p in started:
            p.wait()


# A guard: Dask's worker processes import this file again.
if __name__ == "__main__":
    main()
