"""labsuite.momfit and MomentumModel against the program: the golden runs,
fits in two threads at once, the refusals, and fit_files on a pool and on
a cluster."""

import collections
import concurrent.futures
import contextlib
import html
import math
import os
import pathlib
import re
import shutil
import subprocess
import sys
import threading
import warnings

import numpy as np
import pytest

import labsuite
from conftest import (ANSWERS, GOLDEN, answers_text, dask_cluster, demo_data, log_chi2s,
                      run_momfit)


def comparable(results):
    """The results without the scan's wall-clock time, the one value that
    differs between two runs."""
    results = dict(results)
    if results.get("scan"):
        results["scan"] = {k: v for k, v in results["scan"].items() if k != "milliseconds"}
    return results


def answers_of(stdin):
    """The keywords of labsuite.momfit from a golden run's typed answers."""
    e0, w1, beta, lab, e0c, w1c, betac, tol = stdin.splitlines()[:8]
    return lab, dict(e0=float(e0), w1=float(w1), beta=float(beta),
                     changes=(float(e0c), float(w1c), float(betac)), tolerance=float(tol))


def fit_folder(folder, lab, **answers):
    data = labsuite.read_lab(folder / lab)
    return labsuite.momfit(data.momentum, data.probability,
                           labsuite.read_profile(folder / "newintrin_red"), lab_file=lab,
                           **answers)


# Each golden run as it is, and the demonstration with the options that
# change the fit (the keywords of labsuite.momfit, and the program's options).
RUNS = [(p.name, {}, ()) for p in sorted(GOLDEN.glob("momfit_*"))] + [
    ("momfit_demo", {"fix": ("beta",)}, ("--fix=beta",)),
    ("momfit_demo", {"mass_unit": 1.6736e-27, "masses": (69.92, 1.0078)},
     ("--mass-unit=1.6736e-27", "--masses", "69.92", "1.0078")),
    ("momfit_demo", {"scale": "fitted", "cross": "fitted"}, ("--scale=fitted", "--cross=fitted")),
]


@pytest.mark.parametrize("case, keywords, options", RUNS)
def test_golden_runs_give_the_programs_results_and_log(case, keywords, options, tmp_path):
    folder = tmp_path / case
    shutil.copytree(GOLDEN / case, folder, ignore=shutil.ignore_patterns("expected"))
    stdin = (folder / "stdin").read_text()
    status, want, log, _ = run_momfit(folder, stdin, "--curve", "c.csv", *options)
    assert status in (0, 3)
    lab, answers = answers_of(stdin)
    with contextlib.nullcontext() if status == 0 else pytest.warns(
            labsuite.FitWarning, match=f"^{lab}: the simplex reached the iteration limit"):
        r = fit_folder(folder, lab, **keywords, **answers)
    assert comparable(r.to_dict()) == comparable(want)
    assert r.chi2s.tolist() == np.float32(log).tolist()
    assert r.outcome == ("iteration_limit" if status == 3 else "converged")
    # The curve plot() draws is the program's --curve; each profile passes
    # through the refined value, and drops below it by less than s^2 / 2 (a
    # deeper drop would have moved the refined point).
    model = np.loadtxt(folder / "c.csv", delimiter=",", skiprows=1, dtype=np.float32)[:, 2]
    assert r.curve().tolist() == model.tolist()
    for name, p in zip(r.profiles._fields, r.profiles):
        held = name in keywords.get("fix", ())
        assert held == (len(p.value) == 1)  # a held one: only its start
        assert 0.0 in p.rise[p.value == np.float32(want["refined"][name])]
        assert p.rise.min() > -want["s2"] / 2
    # The report: a row per parameter with its answer, interval and held
    # state, the fit's warnings (the iteration limit's, as the program says it).
    text = r.report()
    rows = [re.split(r"\s{2,}", line) for line in text.splitlines()[7:10]]
    assert [row[0].split()[0] for row in rows] == ["W1", "beta", "E0"]
    for name, (_, value, interval, ends, shape, held) in zip(r.interval._fields, rows):
        assert held == ("yes" if name in keywords.get("fix", ()) else "no")
        shown = [value] + (re.findall(r"[-+.\d]+", interval) if want["interval"][name] else [])
        for text_value, true in zip(shown, [want["refined"][name], *(want["interval"][name] or [])]):
            assert abs(float(text_value) - true) <= 0.51 * 10.0 ** -len(text_value.split(".")[1])
        assert shape == (want["shape"][name] or "-")
        assert f"<td>{value}</td><td>{html.escape(interval)}</td>" in r._repr_html_()
    assert f"N = {want['points']}" in text and f"{want['dof']} degrees of freedom" in text
    assert (status == 3) == ("iteration limit" in text.split("warnings ")[1])
    assert all(html.escape(w) in r._repr_html_() for w in r.warnings)
    # The model as a cost function gives the fit's chi-square at its best point.
    m = labsuite.MomentumModel(*labsuite.read_lab(folder / lab),
                               labsuite.read_profile(folder / "newintrin_red"), e0=answers["e0"],
                               **{k: v for k, v in keywords.items() if k != "fix"})
    assert m.chi2(r.best.W1, r.best.beta, r.best.E0) == np.float32(r.best.chi2)
    assert m([r.best.W1, r.best.beta, r.best.E0]) == np.float32(r.best.chi2)
    assert m.curve(r.best.W1, r.best.beta, r.best.E0).shape == m.momentum.shape
    # One answer: the JSON's, the tuple's, and the repr's first words.
    a = r.to_dict()["answer"]
    assert r.answer[:5] == (a["W1"], a["beta"], a["E0"], a["S"], a["point"])
    assert r.answer.interval == r.interval
    assert repr(r).startswith(f"Result({a['point']}: W1={a['W1']:.7g} [")
    assert m.chi2(r.answer.W1, r.answer.beta, r.answer.E0) == np.float32(
        a["S"] / (len(m.momentum) - 3) ** 2)


def test_plots_draw_the_fit_and_its_profiles(tmp_path, monkeypatch):
    plt = pytest.importorskip("matplotlib.pyplot")
    folder = GOLDEN / "momfit_demo"
    lab, answers = answers_of((folder / "stdin").read_text())
    data = labsuite.read_lab(folder / lab)
    r = fit_folder(folder, lab, **answers)
    top, below = r.plot().axes
    points, curve = top.lines
    residuals = below.lines[-1]
    assert below.get_shared_x_axes().joined(top, below) and "kg m/s" in below.get_xlabel()
    for line, y in ((points, data.probability), (curve, r.curve()),
                    (residuals, data.probability - r.curve())):
        assert line.get_xdata().tolist() == data.momentum.tolist()
        assert line.get_ydata().tolist() == y.tolist()
    figure, ax = plt.subplots()
    assert r.plot(ax)[0] is ax and len(figure.axes) == 2
    # Each end a vertical line in its kind's colour; a held parameter none.
    held = fit_folder(folder, lab, fix=("beta",), **answers)
    for fit in (r, held):
        figure = fit.scan_plot()
        figure.savefig(tmp_path / "scan.png")
        for ax, name in zip(figure.axes, r.interval._fields):
            drawn = sorted(l.get_color() for l in ax.lines if l.get_color().startswith("tab:"))
            ends = fit.to_dict()["end"][name] or []
            assert drawn == sorted(labsuite._show.END_COLOURS[k] for k in ends)
    with pytest.raises(ValueError, match="no interval scan"):
        fit_folder(folder, lab, intervals=False, **answers).scan_plot()
    monkeypatch.setitem(sys.modules, "matplotlib.pyplot", None)
    with pytest.raises(ImportError, match="install python3-matplotlib"):
        r.plot()


def test_default_answers_converge_on_demo_seeds_and_a_file_fits_as_the_program(tmp_path,
                                                                                monkeypatch):
    monkeypatch.chdir(tmp_path)
    converged = {"designed": 0, "fitted": 0}
    for seed in range(1, 101):
        demo_data(tmp_path, "--seed", str(seed))
        for model in converged:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", labsuite.FitWarning)
                r = labsuite.momfit_file("demo_lab.dat", e0=1420, w1=0.8, beta=0.3,
                                         intervals=False, scale=model, cross="start"
                                         if model == "designed" else "fitted")
            converged[model] += r.outcome == "converged"
    assert min(converged.values()) >= 95, converged
    # The documented defaults, with the file read and named as the program does.
    a = dict(e0=1420, w1=0.8, beta=0.3, changes=(0.2, 10, 20), tolerance=2e-3)
    status, want, _, _ = run_momfit(tmp_path, answers_text("demo_lab.dat", a))
    assert status == 0
    r = labsuite.momfit_file(tmp_path / "demo_lab.dat", e0=1420, w1=0.8, beta=0.3,
                             lab_file="demo_lab.dat")
    assert comparable(r.to_dict()) == comparable(want)
    # A Lab in place of the two arrays.
    lab, prof = labsuite.read_lab("demo_lab.dat"), labsuite.read_profile("newintrin_red")
    r = labsuite.momfit(lab, prof, e0=1420, w1=0.8, beta=0.3, lab_file="demo_lab.dat")
    assert comparable(r.to_dict()) == comparable(want)
    with pytest.raises(TypeError, match="needs the profile"):
        labsuite.momfit(lab.momentum, lab.probability, e0=1420, w1=0.8, beta=0.3)


def test_resume_goes_on_at_the_limit_as_an_answer_at_the_pause_does():
    # The golden run answers its first PAUSE and is interrupted at the next.
    folder = GOLDEN / "momfit_itmax"
    lab, answers = answers_of((folder / "stdin").read_text())
    want = log_chi2s(folder / "expected" / "fort.7")
    with pytest.warns(labsuite.FitWarning):
        r = fit_folder(folder, lab, resume=1, **answers)
    assert r.chi2s[:len(want)].tolist() == np.float32(want).tolist()
    assert len(r.chi2s) > len(want)


def test_two_threads_fit_as_one_after_the_other(tmp_path):
    data = []
    for seed in ("1", "2"):
        (tmp_path / seed).mkdir()
        demo_data(tmp_path / seed, "--seed", seed)
        data.append(tmp_path / seed)
    alone = [fit_folder(d, "demo_lab.dat", **ANSWERS) for d in data]
    together = [None] * 4
    def fit(k):
        together[k] = fit_folder(data[k % 2], "demo_lab.dat", **ANSWERS)
    threads = [threading.Thread(target=fit, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert alone[0].best != alone[1].best
    for k, r in enumerate(together):
        assert comparable(r.to_dict()) == comparable(alone[k % 2].to_dict())
        assert r.chi2s.tolist() == alone[k % 2].chi2s.tolist()


GOOD_LAB = "".join(f"{7.22e-21 + i * 2e-24:.6e} {50 + 10 * (i == 5)}\n" for i in range(12))


@pytest.mark.parametrize("lab, profile, answers", [
    (GOOD_LAB.replace("7.220000e-21", "7.3e-21"), "1\n", {}),   # momenta do not increase
    ("7.22e-21 50\n7.23e-21 x\n", "1\n", {}),                   # not a number
    ("7.22e-21 50\n7.23e-21 51,5\n", "1\n", {}),                # a decimal comma
    ("7.22e-21 50\n7.23e-21 51\n7.24e-21 52\n", "1\n", {}),     # too few points
    (GOOD_LAB, "", {}),                                         # no profile value
    (GOOD_LAB, "1\n", {"e0": -5.0}),                            # no finite chi-square
], ids=["decreasing", "not-a-number", "decimal-comma", "three-points", "empty-profile",
        "no-finite-chi2"])
def test_a_refusal_of_the_program_raises_its_message(lab, profile, answers, tmp_path,
                                                     monkeypatch):
    monkeypatch.chdir(tmp_path)  # the files named as the program names them
    (tmp_path / "lab.dat").write_text(lab)
    (tmp_path / "newintrin_red").write_text(profile)
    a = dict(ANSWERS, **answers)
    status, _, _, stderr = run_momfit(tmp_path, answers_text("lab.dat", a))
    assert status not in (0, 3)
    with pytest.raises(ValueError) as raised:
        fit_folder(pathlib.Path(), "lab.dat", **a)
    message = str(raised.value)
    if "list read" in message:  # the fatal report's first line, and its line
        assert stderr.splitlines()[0] == message.split(": ", 2)[2]
        assert f"at line {message.split()[2][:-1]} of lab.dat" in stderr
    else:
        assert f"momfit: {message}\n" in stderr


def test_missing_files_and_bad_choices_raise():
    with pytest.raises(FileNotFoundError):
        labsuite.read_lab("no such file")
    with pytest.raises(IsADirectoryError):
        labsuite.read_profile(GOLDEN)
    # A line without end is refused at its limit, as momfit refuses it.
    with pytest.raises(ValueError, match="line 1: .*longer than 1048576 characters"):
        labsuite.read_lab("/dev/zero")
    lab = labsuite.read_lab(GOLDEN / "momfit_demo" / "demo_lab.dat")
    with pytest.raises(ValueError, match="masses"):
        labsuite.MomentumModel(*lab, [1.0], e0=1420, masses=(0, 1))
    with pytest.raises(ValueError, match="neither designed nor fitted"):
        labsuite.momfit(*lab, [1.0], scale="free", **ANSWERS)
    with pytest.raises(ValueError, match="neither start nor fitted"):
        labsuite.MomentumModel(*lab, [1.0], e0=1420, cross="typed")
    with pytest.raises(TypeError, match="__init__"):  # was a crash of the interpreter
        labsuite.MomentumModel.__new__(labsuite.MomentumModel).chi2(1.0, 0.5, 1420.0)
    with pytest.raises(TypeError, match="tolernce"):  # at once, not in every place
        labsuite.fit_files(["no such file"], errors="keep", **ANSWERS, tolernce=1e-3)
    for keywords in ({"seed": -1}, {"seed": 2**32}, {"noise": -1.0}, {"noise": float("nan")}):
        with pytest.raises(ValueError, match=next(iter(keywords))):
            labsuite.demo_data(".", **keywords)


def test_a_scan_far_below_the_fits_best_is_a_warning_naming_the_file():
    # The demo data with the fitted model: the fit stops short at tolerance
    # 1e-3 and the scan finds S lower by many s^2.
    lab = labsuite.read_lab(GOLDEN / "momfit_demo" / "demo_lab.dat")
    profile = labsuite.read_profile(GOLDEN / "momfit_demo" / "newintrin_red")
    with pytest.warns(labsuite.FitWarning, match=r"^demo_lab.dat: the scan found S [0-9.]+ s\^2 "
                      "below the fit's best point"):
        r = labsuite.momfit(lab.momentum, lab.probability, profile, scale="fitted",
                            cross="fitted", lab_file="demo_lab.dat", **dict(ANSWERS, tolerance=1e-3))
    assert r.answer.point == "refined" and r.to_dict()["scan"]["moved"]
    assert r.answer.S < r.best.chi2 * (len(lab.momentum) - 3) ** 2


# What the command line refuses of the same answers.
@pytest.mark.parametrize("keywords, message", [
    ({"fix": ["W2"]}, "none of W1, beta, E0"),
    ({"tolerance": math.nan}, "tolerance needs a finite number, not nan"),
    ({"e0": math.inf}, "e0 needs a finite number, not inf"),
    ({"w1": 1e39}, "w1 needs a finite number, not inf"),  # beyond a REAL
    ({"changes": (0.2, math.nan, 20)}, "changes needs a finite number"),
    ({"mass_unit": 0.0}, "mass_unit needs a positive number, not 0.0"),
    ({"mass_unit": -1.0}, "mass_unit needs a positive number"),
    ({"mass_unit": math.nan}, "mass_unit needs a positive number, not nan"),
])
def test_answers_the_command_line_refuses_raise(keywords, message):
    lab = labsuite.read_lab(GOLDEN / "momfit_demo" / "demo_lab.dat")
    with pytest.raises(ValueError, match=message):
        labsuite.momfit(*lab, [1.0], **dict(ANSWERS, **keywords))


def test_fix_is_a_name_in_any_case_and_arrays_are_warned_of_as_files_are():
    lab = labsuite.read_lab(GOLDEN / "momfit_demo" / "demo_lab.dat")
    quick = dict(ANSWERS, intervals=False)
    held = [labsuite.momfit(*lab, [1.0], fix=fix, **quick).to_dict()
            for fix in (("beta",), "beta", ["BETA"], "Beta")]
    assert held[0]["best"]["beta"] == np.float32(ANSWERS["beta"])
    assert all(h == held[0] for h in held)
    probability = lab.probability.copy()
    probability[[2, 6]] = -1.0
    with pytest.warns(labsuite.InputWarning,
                      match="pair 3: probability -1.0 is negative \\(2 pairs in all\\)"):
        labsuite.momfit(lab.momentum, probability, [1.0], **quick)


@pytest.mark.parametrize("keywords, options", [
    ({}, ()),
    ({"seed": 7}, ("--seed", "7")),
    ({"noise": 0}, ("--no-noise",)),
    ({"seed": 5, "noise": 2.5}, ("--seed", "5", "--sigma", "2.5")),
    ({"noise": 1e300}, ("--sigma", "1e300")),   # values of 300 digits
])
def test_demo_data_writes_the_programs_files(keywords, options, tmp_path):
    demo_data(tmp_path, *options)
    lab = labsuite.demo_data(tmp_path / "made" / "here", **keywords)
    assert lab == tmp_path / "made" / "here" / "demo_lab.dat"
    for name in ("demo_lab.dat", "newintrin_red"):
        assert (lab.parent / name).read_bytes() == (tmp_path / name).read_bytes()


@contextlib.contextmanager
def dask_client(kind, folder):
    distributed = pytest.importorskip("distributed")
    if kind == "local":
        with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                      dashboard_address=None) as cluster, \
                distributed.Client(cluster) as client:
            yield client
    else:
        with dask_cluster(folder) as address, \
                distributed.Client(address, timeout=60) as client:
            client.wait_for_workers(2, timeout=60)
            yield client


# "tcp": a scheduler and two workers started as separate programs, in a
# folder of their own: the lab files' relative paths mean nothing there, so
# the contents must travel with the tasks.
@pytest.mark.filterwarnings("ignore::labsuite.FitWarning")
@pytest.mark.parametrize("kind", ["local", "tcp"])
def test_fit_files_on_a_two_worker_cluster_gives_the_programs_results(kind, tmp_path,
                                                                      monkeypatch):
    data = tmp_path / "data"
    data.mkdir()
    monkeypatch.chdir(data)
    paths = []
    for seed in range(1, 21):
        demo_data(data, "--seed", str(seed))
        paths.append(f"lab{seed}.dat")
        (data / "demo_lab.dat").rename(paths[-1])
    with dask_client(kind, tmp_path / "cluster") as client:
        results = labsuite.fit_files(paths + ["absent.dat"], client, errors="keep", **ANSWERS)
    assert isinstance(results.pop(), FileNotFoundError)
    for path, r in zip(paths, results):
        status, want, log, _ = run_momfit(data, answers_text(path))
        assert status in (0, 3)
        assert comparable(r.to_dict()) == comparable(want)
        assert r.chi2s.tolist() == np.float32(log).tolist()


def test_a_name_that_is_not_utf8_is_taken_as_open_takes_it(tmp_path):
    name = os.fsdecode(b"donn\xe9es.dat")  # as os.listdir gives a Latin-1 name
    shutil.copy(GOLDEN / "momfit_demo" / "demo_lab.dat", tmp_path / name)
    shutil.copy(GOLDEN / "momfit_demo" / "newintrin_red", tmp_path)
    path = tmp_path / name
    labs = [labsuite.read_lab(p) for p in (path, str(path), os.fsencode(path))]
    assert all(lab.momentum.tolist() == labs[0].momentum.tolist() for lab in labs)
    quick = dict(ANSWERS, intervals=False)
    r = labsuite.momfit(*labs[0], [1.0], lab_file=os.fsencode(name), **quick)
    assert r.to_dict()["lab_file"] == "donn\ufffdes.dat"  # as the program writes it
    with concurrent.futures.ThreadPoolExecutor(1) as pool:
        batch = labsuite.fit_files([os.fsencode(path)], pool, **quick)
    assert batch[0].to_dict()["lab_file"] == f"{tmp_path}/donn\ufffdes.dat"
    (tmp_path / name).write_text("7.22e-21 x\n")
    with pytest.raises(ValueError) as raised:
        labsuite.read_lab(path)
    assert str(raised.value).startswith(f"{path}: line 1: ")  # the name as given


def test_a_dead_worker_loses_only_its_own_file(tmp_path, monkeypatch):
    paths = []
    for seed in ("1", "2", "3", "4"):
        demo_data(tmp_path, "--seed", seed)
        paths.append(tmp_path / f"lab{seed}.dat")
        (tmp_path / "demo_lab.dat").rename(paths[-1])
    alone = [fit_folder(tmp_path, p.name, **ANSWERS).to_dict() for p in paths]
    fitted = labsuite._fitted

    def killing(*args, **keywords):  # the pool's workers are forked: they fit through this
        if keywords["lab_file"].endswith("lab2.dat"):
            os.kill(os.getpid(), 9)
        return fitted(*args, **keywords)
    monkeypatch.setattr(labsuite, "_fitted", killing)
    results = labsuite.fit_files(paths, errors="keep", **ANSWERS)
    assert isinstance(results[1], concurrent.futures.process.BrokenProcessPool)
    for k in (0, 2, 3):
        assert comparable(results[k].to_dict()) == comparable(
            dict(alone[k], lab_file=str(paths[k])))


# A fit that never ends (the tolerance is never met, the limit always
# resumed), stopped by a signal whose Python handler raises; then the
# interpreter fits again. fit_files also ends its pool's workers.
INTERRUPTED = """
import multiprocessing, os, signal, sys, threading
import labsuite
lab, how = sys.argv[1], sys.argv[2]
endless = dict(e0=1420, w1=0.8, beta=0.3, changes=(0.2, 10, 20), tolerance=-1, resume=10**9)
class Alarm(Exception):
    pass
def alarm(*_):
    raise Alarm
if how == "alarm":
    signal.signal(signal.SIGALRM, alarm)
    signal.setitimer(signal.ITIMER_REAL, 1.0)
else:
    threading.Timer(1.0, os.kill, (os.getpid(), signal.SIGINT)).start()
try:
    if how == "fit_files":
        labsuite.fit_files([lab] * 3, **endless)
    else:
        labsuite.momfit(*labsuite.read_lab(lab), [1.0], **endless)
except (KeyboardInterrupt, Alarm) as e:
    print(type(e).__name__, len(multiprocessing.active_children()))
r = labsuite.momfit(*labsuite.read_lab(lab), [1.0], **dict(endless, tolerance=1e-3))
print(r.outcome)
"""


@pytest.mark.parametrize("how, raised", [("momfit", "KeyboardInterrupt"), ("alarm", "Alarm"),
                                         ("fit_files", "KeyboardInterrupt")])
def test_a_signal_ends_a_fit_and_the_interpreter_goes_on(how, raised, tmp_path):
    lab = GOLDEN / "momfit_demo" / "demo_lab.dat"
    shutil.copy(GOLDEN / "momfit_demo" / "newintrin_red", tmp_path)
    shutil.copy(lab, tmp_path)
    done = subprocess.run([sys.executable, "-c", INTERRUPTED, str(tmp_path / lab.name), how],
                          capture_output=True, text=True, timeout=120)
    assert done.stdout.splitlines() == [f"{raised} 0", "converged"], done.stderr


@pytest.fixture(scope="session")
def comma_locale(tmp_path_factory):
    """A locale with a decimal comma, made with localedef (Debian's locales)."""
    if shutil.which("localedef") is None:
        pytest.skip("localedef is missing (Debian package locales)")
    folder = tmp_path_factory.mktemp("locales")
    subprocess.run(["localedef", "-i", "de_DE", "-f", "UTF-8", folder / "de_DE.UTF-8"],
                   check=True, capture_output=True)
    return folder


def test_numbers_read_and_written_alike_in_a_comma_decimal_locale(comma_locale, tmp_path,
                                                                  monkeypatch):
    import locale
    folder = GOLDEN / "momfit_demo"
    uneven = (folder / "demo_lab.dat").read_text().splitlines(keepends=True)
    (tmp_path / "uneven.dat").write_text("".join(uneven[:20] + uneven[21:]))  # a step warned of
    deck = (pathlib.Path(os.environ["LABSUITE_EXAMPLES"]) / "example.deck").read_text()

    def everything():
        with warnings.catch_warnings(record=True) as said:
            warnings.simplefilter("always")
            lab = labsuite.read_lab(folder / "demo_lab.dat")
            prof = labsuite.read_profile(folder / "newintrin_red")
            labsuite.read_lab(tmp_path / "uneven.dat")
            fit = comparable(labsuite.momfit(*lab, prof, **ANSWERS).to_dict())
            return (lab.momentum.tolist(), lab.probability.tolist(), prof.tolist(),
                    labsuite.bandfit(deck), fit, [str(w.message) for w in said])

    in_c = everything()
    monkeypatch.setenv("LOCPATH", str(comma_locale))
    before = locale.setlocale(locale.LC_ALL)
    try:
        locale.setlocale(locale.LC_ALL, "de_DE.UTF-8")
        assert locale.localeconv()["decimal_point"] == ","
        assert everything() == in_c
    finally:
        locale.setlocale(locale.LC_ALL, before)
    assert "99.4 % off" in in_c[-1][0]


def test_fit_files_reads_here_warns_here_and_keeps_the_order(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    for seed in (1, 2, 3):
        demo_data(tmp_path, "--seed", str(seed))
        (tmp_path / "demo_lab.dat").rename(f"lab{seed}.dat")
    lines = pathlib.Path("lab2.dat").read_text().splitlines(keepends=True)
    lines[2] = lines[2].split()[0] + " -1.000\n"  # an input warning
    pathlib.Path("negative.dat").write_text("".join(lines))
    paths = ["lab3.dat", "lab2.dat", "negative.dat", "lab1.dat", "lab3.dat", "absent.dat"]
    read = collections.Counter()
    text = labsuite._text
    monkeypatch.setattr(labsuite, "_text",
                        lambda path, values: read.update([path]) or text(path, values))
    finished = []
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        results = labsuite.fit_files(paths, errors="keep",
                                     progress=lambda path, r: finished.append((path, r)), **ANSWERS)
    # Each distinct file read once, in this process (the pool's workers read none).
    assert read == collections.Counter(["lab1.dat", "lab2.dat", "lab3.dat", "negative.dat",
                                        "absent.dat", "newintrin_red"])
    assert sorted(p for p, _ in finished) == sorted(paths)
    assert all(any(r is results[k] for k, q in enumerate(paths) if q == p) for p, r in finished)
    assert isinstance(results.pop(), FileNotFoundError)
    # The same results and warnings as a fit of each file here, the warnings
    # naming the file and pointing at the caller.
    want = []
    for path, r in zip(paths, results):
        with warnings.catch_warnings(record=True) as said:
            warnings.simplefilter("always")
            alone = fit_folder(pathlib.Path(), path, **ANSWERS)
        assert comparable(r.to_dict()) == comparable(alone.to_dict())
        want += [(w.category, str(w.message)) for w in said]
        assert all(str(w.message).startswith(path + ": ") for w in said)
    assert {category for category, _ in want} == {labsuite.FitWarning, labsuite.InputWarning}
    assert sorted((w.category.__name__, str(w.message)) for w in caught) == \
        sorted((c.__name__, m) for c, m in want)
    assert {w.filename for w in caught} == {__file__}
    frame = labsuite.to_frame(results + [OSError("gone")], paths)
    assert list(frame.file) == paths and list(frame.status) == [r.outcome for r in results] + \
        ["error"]
    assert frame.error.iloc[-1] == "gone" and frame.W1.iloc[:-1].tolist() == \
        [r.answer.W1 for r in results]
    assert ((frame.W1_low < frame.W1) & (frame.W1 < frame.W1_high)).sum() == len(results)
    # pandas and tqdm are imported only when asked for.
    subprocess.run([sys.executable, "-c", "import labsuite, sys; "
                    "assert not {'pandas', 'tqdm'} & set(sys.modules)"], check=True)


@pytest.mark.filterwarnings("ignore::labsuite.FitWarning")
@pytest.mark.parametrize("bar, shown", [(True, "3/3"), (False, "fit_files: 3 of 3 files\n")])
def test_fit_files_shows_progress_on_standard_error(bar, shown, monkeypatch, capfd):
    if not bar:  # as where tqdm and pandas are not installed
        monkeypatch.setitem(sys.modules, "tqdm.auto", None)
        monkeypatch.setitem(sys.modules, "pandas", None)
        with pytest.raises(ImportError, match="python3-pandas"):
            labsuite.to_frame([])
    paths = [GOLDEN / "momfit_demo" / "demo_lab.dat"] * 3
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        labsuite.fit_files(paths, pool, progress=True, **dict(ANSWERS, intervals=False))
    assert shown in capfd.readouterr().err
    with pytest.raises(TypeError, match="progress"):
        labsuite.fit_files(paths, pool, progress="yes", **ANSWERS)
