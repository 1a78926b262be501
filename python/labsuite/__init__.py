"""labsuite from Python: momfit's fit and model, bandfit's line fit, and
many fits at once.

The computations are the programs' own (the extension _labsuite): the
same numbers as ``momfit --results`` and ``bandfit --results``. A refusal
or a fault of the programs raises ValueError (or OSError for a file) with
the programs' message; their warnings are Python warnings
(InputWarning). A fit's Result gives a report and, with matplotlib, its
plots. See docs/python.md.
"""

import collections
import concurrent.futures
import concurrent.futures.process
import contextlib
import copy
import inspect
import multiprocessing
import operator
import os
import pathlib
import queue
import sys
import warnings as _warnings
import weakref

import numpy

from . import _labsuite, _show

__version__ = _labsuite.__version__

__all__ = ["__version__", "InputWarning", "FitWarning", "NoCorrection", "Lab", "read_lab",
           "read_profile", "momfit", "momfit_file", "Result", "Answer", "Profile",
           "MomentumModel", "fit_files", "to_frame", "demo_data", "bandfit"]


def __dir__():
    # The public names only: not the modules the package itself imports.
    return sorted(__all__)

# The model's fragment pair (u) and the profile file momfit reads by default.
MASSES = (69.92425, 1.007825)
PROFILE = "newintrin_red"


class InputWarning(UserWarning):
    """What the programs say of their input on standard error and go on."""


class FitWarning(UserWarning):
    """What momfit --no-wait says of a fit and goes on (the iteration limit,
    a failure in polint), and a scan that found the answer more than s^2
    below the fit's best point."""


class NoCorrection(ValueError):
    """bandfit made no correction; ``results`` holds what --results writes."""

    def __init__(self, message, results):
        super().__init__(message)
        self.results = results


Lab = collections.namedtuple("Lab", "momentum probability")
Lab.__doc__ = "Lab data: momenta (kg m/s) and probabilities, float32 arrays."


def _warn(texts):
    for text in texts:
        _warnings.warn(text, InputWarning, stacklevel=3)


def _text(path, values):
    """The start of the file at path that a reader of values values needs,
    as momfit reads it: up to one line longer than the longest the reader
    takes (/dev/zero gives one at once), and the lines up to two past
    values lines that hold anything, so that the reader sees whether the
    file holds more. A huge file is not read to its end."""
    longest = _labsuite.LONGEST_LINE
    lines = []
    filled = 0
    with open(path, "rb") as f:
        while filled < 2 * values + 2:
            line = f.readline(longest + 2)
            if not line:
                break
            lines.append(line)
            if len(line) > longest + 1:
                break
            filled += bool(line.strip())
    return b"".join(lines)


def read_lab(path):
    """The lab data file at path (str, bytes or os.PathLike, as open()
    takes), read as momfit reads it: Lab(momentum, probability), at most
    1000 pairs. ValueError when a value is not a number, the momenta do not
    increase or a line is longer than momfit reads."""
    fault, momentum, probability, said = _labsuite.read_lab(_text(path, 1000),
                                                            os.fsencode(path))
    _warn(said)
    if fault:
        raise ValueError(fault)
    _said_of[id(probability)] = probability
    return Lab(momentum, probability)


def read_profile(path):
    """The instrument profile at path, as momfit reads it: a float32 array
    of at most 500 values."""
    fault, values, said = _labsuite.read_profile(_text(path, 500), os.fsencode(path))
    _warn(said)
    if fault:
        raise ValueError(fault)
    return values


def demo_data(folder=".", *, seed=0, noise=None):
    """Writes make_demo_data's two files into folder (made where missing):
    demo_lab.dat, 300 points made at W1 = 1 eV, beta = 0.5 and E0 = 1422 eV,
    and its instrument profile newintrin_red. The bytes are those of
    ``make_demo_data --seed SEED`` with, by noise, its uniform noise (None),
    ``--no-noise`` (0) or ``--sigma NOISE`` (Gaussian noise of that standard
    deviation). Returns the lab file's path (pathlib.Path). ValueError for
    a seed outside 0..4294967295 or a noise below 0 or not finite."""
    seed = operator.index(seed)
    if not 0 <= seed <= 0xFFFFFFFF:
        raise ValueError(f"seed is a whole number from 0 to 4294967295, not {seed}")
    if noise is not None and not 0 <= noise < float("inf"):
        raise ValueError(f"noise is None, 0 or a standard deviation above 0, not {noise!r}")
    lab, profile = _labsuite.demo_data(seed, None if noise is None else float(noise))
    folder = pathlib.Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    (folder / "demo_lab.dat").write_bytes(lab)
    (folder / PROFILE).write_bytes(profile)
    return folder / "demo_lab.dat"


def bandfit(deck):
    """One bandfit run on the deck text: the object ``bandfit --results``
    writes, with "next_deck" the text ``--deck-out`` writes (None without a
    correction). A refused deck raises ValueError; a run that made no
    correction raises NoCorrection (a ValueError) carrying the results."""
    fault, results, why, said = _labsuite.bandfit(deck)
    _warn(said)
    if fault:
        raise ValueError(fault)
    if why:
        raise NoCorrection("no correction was made: " + why, results)
    return results


Best = collections.namedtuple("Best", "W1 beta E0 chi2")
Refined = collections.namedtuple("Refined", "W1 beta E0 S")
Intervals = collections.namedtuple("Intervals", "W1 beta E0")
Profile = collections.namedtuple("Profile", "value rise")
Profile.__doc__ = """The profile points the interval scan met for one parameter, in
increasing value: the value and S less its minimum there (float64), S
minimised over the other parameters."""
Answer = collections.namedtuple("Answer", "W1 beta E0 S point interval")
Answer.__doc__ = """The answer of a fit, the lowest S it found: the refined point
(point "refined") or, without a scan, the best one ("best"); interval as
Result.interval."""


def _ends(value, ends):
    if ends is None:
        return f"{value:.7g}"
    low, high = ("?" if e is None else f"{e:.7g}" for e in ends)
    return f"{value:.7g} [{low}, {high}]"


class Result:
    """One momfit fit: ``answer`` (the lowest S the run found, with the
    intervals: see Answer), ``best`` (block one: the lowest chi-square of
    every evaluation of the fit), ``refined`` (the profile scan's point) and
    ``interval`` ((low, high) of each parameter; None for an end not found),
    None without a scan;
    ``outcome`` ("converged", "not_converged" or "iteration_limit");
    ``chi2s``, every evaluation's chi-square in order (fort.7's fifth
    column); ``seconds``, the wall-clock time of the fit itself (without
    the Python call around it); ``warnings``, the texts of the fit's
    FitWarnings; ``profiles``, the interval scan's profile points of W1,
    beta and E0 (see Profile), None without a scan; ``to_dict()``, the
    object ``momfit --results`` writes. ``report()`` gives the fit as a
    text (a table in a notebook), ``plot()`` and ``scan_plot()`` draw it."""

    def __init__(self, results, outcome, chi2s, seconds=None, warnings=(), profiles=None,
                 data=None):
        self._results = results
        self.outcome = outcome
        self.chi2s = chi2s
        self.seconds = seconds
        self.warnings = list(warnings)
        self.profiles = Intervals(*(Profile(*p) for p in profiles)) if profiles else None
        self._data = data  # (momentum, probability, profile) of the fit, for plot()
        b = results["best"]
        self.best = Best(b["W1"], b["beta"], b["E0"], b["chi2"])
        r = results["refined"]
        self.refined = Refined(r["W1"], r["beta"], r["E0"], r["S"]) if r else None
        i = results["interval"]
        self.interval = Intervals(*(tuple(i[k]) if i[k] is not None else None
                                    for k in Intervals._fields)) if i else None
        a = results["answer"]
        self.answer = Answer(a["W1"], a["beta"], a["E0"], a["S"], a["point"], self.interval)

    def to_dict(self):
        return copy.deepcopy(self._results)

    def report(self):
        """The fit as a text: the data, the model, the outcome, S, s^2 and
        the degrees of freedom; each parameter's answer, interval, how its
        ends are set, its shape and whether it was held; the warnings."""
        return _show.report(self)

    def _repr_html_(self):
        return _show.table(self)

    def curve(self):
        """The model at the answer, scaled onto the lab data: one value per
        lab momentum (float32), as momfit --curve gives it."""
        if self._data is None:
            raise ValueError("this result does not hold the data it was fitted on")
        momentum, probability, profile = self._data
        d = self._results
        model = MomentumModel(momentum, probability, profile, e0=d["start"]["E0"],
                              masses=d["masses"], mass_unit=d["mass_unit_kg"],
                              scale=d["model"]["scale"], cross=d["model"]["cross"])
        return model.curve(self.answer.W1, self.answer.beta, self.answer.E0)

    def plot(self, ax=None):
        """The lab points, the model at the answer and the residuals (lab less
        model) in a panel below, on the same momentum axis, with matplotlib.
        Returns the new figure; given an ax, draws there and returns (ax, the
        residuals' axes). ImportError without matplotlib."""
        return _show.plot(self, self._data[0], self._data[1], self.curve(), ax)

    def scan_plot(self):
        """The three profiles of the interval scan, Delta S / s^2 against W1,
        beta and E0, with the level 1, the answer and each end marked by its
        kind (rise, wall, limit), with matplotlib. Returns the figure.
        ValueError without a scan; ImportError without matplotlib."""
        return _show.scan_plot(self)

    def __repr__(self):
        a, i = self.answer, self.interval or Intervals(None, None, None)
        return (f"Result({a.point}: W1={_ends(a.W1, i.W1)}, beta={_ends(a.beta, i.beta)}, "
                f"E0={_ends(a.E0, i.E0)}, S={a.S:.6g}, outcome={self.outcome!r})")


# The probabilities read_lab has given, while they live: it has warned of them.
_said_of = weakref.WeakValueDictionary()


def _warn_negative(probability, lab_file):
    """What read_lab says of negative probabilities, said of arrays that
    read_lab has not given."""
    if _said_of.get(id(probability)) is probability:
        return
    negative = numpy.flatnonzero(numpy.asarray(probability, dtype=numpy.float32) < 0)
    if negative.size:
        first = negative[0]
        more = f" ({negative.size} pairs in all)" if negative.size > 1 else ""
        name = os.fsdecode(lab_file) if lab_file else "the lab data"
        _warnings.warn(f"{name}: pair {first + 1}: probability "
                       f"{numpy.float32(probability[first])} is negative{more}; a probability is "
                       "an intensity, zero or above", InputWarning, stacklevel=3)


# The default answers of momfit(): per-cent changes of E0, W1 and beta for the
# first simplex, and the tolerance. Fitted from (1420, 0.8, 0.3), 100 of demo
# seeds 1 to 100 end converged with these (99 with the fitted scale and cross
# term; with tolerance 1e-4, 83 and 84); the scan polishes what is left.
CHANGES = (0.2, 10.0, 20.0)
TOLERANCE = 2e-3


def momfit(momentum, probability, profile=None, *, e0, w1, beta, changes=CHANGES, tolerance=TOLERANCE,
           masses=MASSES, mass_unit=None, fix=(), intervals=True, resume=0, lab_file="",
           profile_file=PROFILE, scale="designed", cross="start"):
    """One momfit fit, as the program makes it from the same answers and
    data: the starting simplex, both minimisations, the restart and, with
    intervals, the profile scan. changes are the per-cent changes of E0, W1
    and beta in the dialogue's order (by default 0.2, 10 and 20), tolerance
    the minimisations' relative spread (by default 2e-3); masses and mass_unit (kg; None: the
    program's default) as --masses and --mass-unit; fix names parameters held
    at their start ("W1", "beta", "E0"). scale ("designed" or "fitted") and
    cross ("start" or "fitted") choose the model as --scale and --cross do.
    A scan that finds the answer more than s^2 below the fit's best point
    is said by a FitWarning naming lab_file. lab_file and profile_file only name the
    data in to_dict(), as the program names the files it read. Arrays are
    taken as float32 (read_lab and read_profile give them so). Refused
    data and a fit without a finite chi-square raise ValueError. The
    iteration limit resumes a minimisation resume times in all, as that
    many answers at the program's PAUSE would; after that it ends it, as
    with --no-wait, with a FitWarning. The interpreter's lock is released
    during the fit, and Ctrl-C (any signal handler that raises) ends it
    within a fraction of a second with that exception. momfit(lab, profile,
    ...) takes read_lab's Lab in place of the two arrays."""
    if isinstance(momentum, Lab) and profile is None:
        momentum, probability, profile = momentum.momentum, momentum.probability, probability
    if profile is None:
        raise TypeError("momfit() needs the profile: momfit(momentum, probability, profile, ...)"
                        " or momfit(lab, profile, ...)")
    _warn_negative(probability, lab_file)
    fault, result, said = _fitted(momentum, probability, profile, e0, w1, beta, changes,
                                  tolerance, masses, mass_unit, fix, intervals, resume, lab_file,
                                  profile_file, scale, cross)
    for text in said:
        _warnings.warn(text, FitWarning, stacklevel=2)
    if fault:
        raise ValueError(fault)
    return result


def _fitted(momentum, probability, profile, e0, w1, beta, changes=CHANGES, tolerance=TOLERANCE,
            masses=MASSES, mass_unit=None, fix=(), intervals=True, resume=0, lab_file="",
            profile_file=PROFILE, scale="designed", cross="start"):
    """momfit's fit with what it says returned, not warned: (fault or "",
    Result or None, the texts of its FitWarnings). A worker of fit_files
    cannot warn its caller, and catching warnings is not safe in threads."""
    if isinstance(fix, str):
        fix = (fix,)
    data = tuple(numpy.asarray(a, numpy.float32) for a in (momentum, probability, profile))
    fault, results, outcome, chi2s, said, seconds, profiles = _labsuite.momfit(
        *data, e0, w1, beta, tuple(changes), tolerance, tuple(masses), mass_unit, list(fix),
        intervals, resume, os.fsencode(lab_file or ""), os.fsencode(profile_file or ""), scale,
        cross)
    # Named by the lab file, as momfit --lab names them.
    said = [f"{os.fsdecode(lab_file)}: {text}" if lab_file else text for text in said]
    if fault:
        return fault, None, said
    scan = results.get("scan")
    if scan and scan["moved"]:
        below = (scan["S_start"] - results["answer"]["S"]) / results["s2"]
        said.append(f"{lab_file or 'the lab data'}: the scan found S {below:.1f} s^2 below "
                    "the fit's best point; the answer is the refined point")
    return "", Result(results, outcome, chi2s, seconds, said, profiles, data), said


def momfit_file(path, profile=None, **answers):
    """momfit on the lab data file at path: read_lab and read_profile, then
    momfit with the answers (its keywords). profile is the profile file, by
    default newintrin_red beside the lab file; both are named in to_dict()
    as the program names them."""
    lab = read_lab(path)
    profile_path = profile or os.path.join(os.path.dirname(os.fsdecode(path)), PROFILE)
    answers.setdefault("lab_file", os.fsdecode(path))
    answers.setdefault("profile_file", os.fsdecode(profile or PROFILE))
    return momfit(lab.momentum, lab.probability, read_profile(profile_path), **answers)


class MomentumModel(_labsuite.MomentumModel):
    """momfit's objective on fixed data, for any minimiser: ``chi2(w1, beta,
    e0)`` is the chi-square a fit's evaluation computes there (W2 = 0),
    ``curve(w1, beta, e0)`` the model scaled onto the lab data (one value per
    momentum), and the model is callable on a vector (W1, beta, E0),
    returning the chi-square as a float. e0 is the E0 typed at the start,
    which the momentum's cross term keeps unless cross="fitted"; scale and
    cross as for momfit."""

    def __init__(self, momentum, probability, profile, *, e0, masses=MASSES, mass_unit=None,
                 scale="designed", cross="start"):
        super().__init__(momentum, probability, profile, e0, tuple(masses), mass_unit, "",
                         PROFILE, scale, cross)


def _fit_text(lab_file, text, profile, profile_file, answers):
    """One file of fit_files, where a worker runs it: the lab file's text
    read as read_lab reads it, then fitted on the profile's values. Returns
    (the Result or the file's exception, [(warning class, text)]), so that
    the caller can warn of them."""
    said = []
    try:
        fault, momentum, probability, texts = _labsuite.read_lab(text, os.fsencode(lab_file))
        said += [(InputWarning, t) for t in texts]
        if fault:
            raise ValueError(fault)
        fault, result, texts = _fitted(momentum, probability, profile, lab_file=lab_file,
                                       profile_file=profile_file, **answers)
        said += [(FitWarning, t) for t in texts]
        if fault:
            raise ValueError(fault)
        return result, said
    except Exception as e:  # the file's own failure, returned with what was said before it
        return e, said


def _check_answers(answers):
    """TypeError now, as momfit would raise it for every file."""
    for named in ("lab_file", "profile_file"):
        if named in answers:
            raise TypeError(f"fit_files() names each file itself; {named} is not an answer")
    given = {k: v for k, v in answers.items() if k != "profile"}
    inspect.signature(momfit).bind(None, None, None, **given)


def _alone(path, task, answers):
    """One file in a process of its own, its failure kept: a process that
    dies takes only this file with it."""
    with concurrent.futures.ProcessPoolExecutor(1) as pool:
        return _kept(pool.submit(_fit_text, path, *task, answers))


def _kept(future):
    try:
        return future.result()
    except Exception as e:  # the file's own failure, kept in its place
        return e


@contextlib.contextmanager
def _ticks(progress, total):
    """A function to call once per finished file, (path, result): progress
    itself when callable, a bar (tqdm) or a counter on standard error when
    True, nothing when None or False."""
    if progress is None or progress is False:
        yield lambda path, result: None
    elif callable(progress):
        yield progress
    elif progress is not True:
        raise TypeError(f"progress is True, False, None or a callable, not {progress!r}")
    elif (bar := _bar(total)) is not None:
        with bar:
            yield lambda path, result: bar.update()
    else:
        done = 0

        def tick(path, result):
            nonlocal done
            done += 1
            sys.stderr.write(f"\rfit_files: {done} of {total} files")
            sys.stderr.flush()
        try:
            yield tick
        finally:
            sys.stderr.write("\n")


def _bar(total):
    """A tqdm progress bar of total files, None where tqdm is not installed."""
    try:
        from tqdm.auto import tqdm  # pylint: disable=import-outside-toplevel
    except ImportError:
        return None
    return tqdm(total=total, unit="file")


def _lab_text(path):
    return _text(path, 1000)


def _read_files(paths, profile):
    """Each path's lab file text, profile values and profile name, or the
    exception of reading them; each distinct file read once, here."""
    read = {}

    def once(reader, path):
        if (reader, path) not in read:
            try:
                read[reader, path] = reader(path)
            except (OSError, ValueError) as e:
                read[reader, path] = e
        return read[reader, path]

    tasks = []
    for path in paths:
        profile_path = profile or os.path.join(os.path.dirname(path), PROFILE)
        text, values = once(_lab_text, path), once(read_profile, profile_path)
        failed = next((x for x in (text, values) if isinstance(x, Exception)), None)
        tasks.append(failed or (text, values, os.fsdecode(profile or PROFILE)))
    return tasks


def fit_files(paths, executor=None, errors="raise", progress=None, **answers):
    """momfit on every lab file of paths with the same answers (the keywords
    of momfit, and profile: the profile file, by default newintrin_red beside
    each lab file), one fit a task. Returns the Results in the order of
    paths. errors="raise": the first failure raises; errors="keep": a file
    that fails holds its exception (ValueError, OSError) in its place, and
    every other file's result is returned. executor is anything with
    submit() whose futures have result(): a concurrent.futures executor, or
    a Dask distributed.Client for a cluster (every worker needs labsuite).
    None: a process pool over every core; Ctrl-C (any exception) ends its
    workers with the call. A process of the pool that dies loses no other
    file: the files it broke are fitted again, each in a process of its
    own, and a file that kills that one too holds the BrokenProcessPool.
    The files are read here, each once, and their contents sent, so
    workers need not see them. What a fit warns of is warned of here as
    it finishes (FitWarning, InputWarning), naming its file.
    progress=True shows a bar (tqdm where installed, else a counter on
    standard error); a callable is called with the path and its result
    (or exception) as each file finishes. Paths are str, bytes or
    os.PathLike. A keyword momfit does not take raises TypeError at once."""
    if errors not in ("raise", "keep"):
        raise ValueError(f"errors is 'raise' or 'keep', not {errors!r}")
    _check_answers(answers)
    paths = [os.fsdecode(p) for p in paths]
    answers = dict(answers)
    tasks = _read_files(paths, answers.pop("profile", None))
    if errors == "raise":
        failed = next((t for t in tasks if isinstance(t, Exception)), None)
        if failed:
            raise failed
    with _ticks(progress, len(paths)) as tick:
        if executor is not None:
            return _run(executor, paths, tasks, errors, tick, answers, 3)
        return _on_own_pool(paths, tasks, errors, tick, answers)


def _on_own_pool(paths, tasks, errors, tick, answers):
    """fit_files on a process pool over every core. Whatever ends the call
    early (Ctrl-C, the first failure) ends the fits under way with their
    processes rather than waiting for them."""
    before = set(multiprocessing.active_children())
    pool = concurrent.futures.ProcessPoolExecutor(os.cpu_count())
    try:
        results = _run(pool, paths, tasks, errors, tick, answers, 4)
    except BaseException:
        for worker in set(multiprocessing.active_children()) - before:
            worker.kill()
        pool.shutdown(wait=True, cancel_futures=True)
        raise
    pool.shutdown()
    return results


def _run(executor, paths, tasks, errors, tick, answers, level):
    """fit_files on the files read: the results in the order of paths, each
    file's warnings (at stack level level, the caller of fit_files) and
    tick as it finishes. The files a dead pool process broke are fitted
    again at the end, each in a process of its own."""
    results = list(tasks)
    finished = queue.SimpleQueue()
    futures = {}
    for k, task in enumerate(tasks):
        if isinstance(task, Exception):
            finished.put(k)
            continue
        futures[k] = executor.submit(_fit_text, paths[k], *task, answers)
        if hasattr(futures[k], "add_done_callback"):
            futures[k].add_done_callback(lambda _, k=k: finished.put(k))
        else:  # waited for in the order of paths
            finished.put(k)

    def landed(k, value):
        """The file's result or exception, its warnings warned of and its tick."""
        if isinstance(value, tuple):
            value, said = value
            for category, text in said:
                named = text if text.startswith(paths[k] + ":") else f"{paths[k]}: {text}"
                _warnings.warn(named, category, stacklevel=level + 1)
        results[k] = value
        tick(paths[k], value)
        if errors == "raise" and isinstance(value, Exception):
            raise value

    broken = []
    try:
        for _ in tasks:
            k = finished.get()
            value = _kept(futures[k]) if k in futures else results[k]
            if isinstance(value, concurrent.futures.process.BrokenProcessPool):
                broken.append(k)
            else:
                landed(k, value)
        if broken:
            # Not waited for when the call ends early: _on_own_pool ends their processes.
            threads = concurrent.futures.ThreadPoolExecutor(os.cpu_count())
            try:
                for k, value in zip(broken, threads.map(lambda k: _alone(paths[k], tasks[k], answers),
                                                        broken)):
                    landed(k, value)  # a BrokenProcessPool again: this file ends its process
            finally:
                threads.shutdown(wait=False, cancel_futures=True)
    except BaseException:
        for f in futures.values():
            f.cancel()
        raise
    return results


def to_frame(results, paths=None):
    """A pandas DataFrame of fit_files' results, one row a file: file (the
    lab file, or paths[k] where given), status (the outcome, or "error"),
    the answer's W1, beta, E0 and S with its point ("refined" or "best") and
    each interval's ends (W1_low, W1_high, ...; NaN where none), and error
    (the text of a file's exception). pandas is imported here only."""
    try:
        import pandas  # pylint: disable=import-outside-toplevel
    except ImportError as e:
        raise ImportError("labsuite.to_frame needs pandas (Debian: python3-pandas)") from e
    rows = []
    for k, r in enumerate(results):
        row = {"file": os.fspath(paths[k]) if paths is not None else None}
        if isinstance(r, Exception):
            row.update(status="error", error=str(r))
        else:
            a = r.answer
            row["file"] = row["file"] or r.to_dict()["lab_file"]
            row.update(status=r.outcome, point=a.point, W1=a.W1, beta=a.beta, E0=a.E0, S=a.S)
            for name in Intervals._fields:
                ends = (a.interval and getattr(a.interval, name)) or (None, None)
                row[name + "_low"], row[name + "_high"] = ends
        rows.append(row)
    columns = ["file", "status", "point", "W1", "W1_low", "W1_high", "beta", "beta_low",
               "beta_high", "E0", "E0_low", "E0_high", "S", "error"]
    return pandas.DataFrame(rows, columns=columns).astype({c: float for c in columns[3:13]})
