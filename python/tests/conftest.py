"""What the module's tests share: the programs, run as a user runs them, to
compare the module with."""

import contextlib
import json
import os
import pathlib
import socket
import subprocess
import tempfile

import pytest

# Plots are drawn off screen, also where a display is set.
os.environ.setdefault("MPLBACKEND", "Agg")

GOLDEN = pathlib.Path(os.environ["LABSUITE_GOLDEN"])
MOMFIT = os.environ["LABSUITE_MOMFIT"]
BANDFIT = os.environ["LABSUITE_BANDFIT"]
MAKE_DATA = os.environ["LABSUITE_DEMO_DATA"]
DOCS = pathlib.Path(os.environ["LABSUITE_DOCS"])

# The answers of bench/many_fits.sh (the README's batch recipe has since
# taken tolerance 2e-3 and --scale fitted --cross fitted).
ANSWERS = dict(e0=1420.0, w1=0.8, beta=0.3, changes=(0.2, 10.0, 20.0), tolerance=1e-4)


def answers_text(lab, a=ANSWERS):
    """The dialogue's answers for lab, one a line, as momfit reads them."""
    e0c, w1c, betac = a["changes"]
    return "".join(f"{v}\n" for v in (a["e0"], a["w1"], a["beta"], lab, e0c, w1c, betac,
                                       a["tolerance"]))


def run_momfit(folder, stdin, *options):
    """momfit in folder without waiting or a window: (status, results, log
    chi-squares, stderr)."""
    done = subprocess.run([MOMFIT, "--no-wait", "--no-window", "--results", "r.json", *options],
                          cwd=folder, input=stdin, capture_output=True, text=True, timeout=600)
    results = json.loads((folder / "r.json").read_text()) if (folder / "r.json").exists() else None
    return done.returncode, results, log_chi2s(folder / "fort.7"), done.stderr


def log_chi2s(path):
    """The chi-square of every record of an evaluation log (its fifth value)."""
    if not path.exists():
        return None
    return [float(line.split()[4]) for line in path.read_text().splitlines()]


def demo_data(folder, *args):
    """make_demo_data's lab file and profile in folder."""
    subprocess.run([MAKE_DATA, *args], cwd=folder, check=True, capture_output=True)


@pytest.fixture
def demo(tmp_path):
    demo_data(tmp_path)
    return tmp_path


@pytest.fixture(scope="session", autouse=True)
def own_temporary_folder(tmp_path_factory):
    """Every temporary of a test run inside pytest's folder: the programs'
    (TMPDIR) and the Dask workers' spaces among them."""
    folder = tmp_path_factory.mktemp("tmp")
    os.environ["TMPDIR"] = str(folder)
    tempfile.tempdir = None  # gettempdir() reads TMPDIR again
    try:
        import dask
        dask.config.set({"temporary-directory": str(folder)})
    except ImportError:
        pass
    return folder


@contextlib.contextmanager
def dask_cluster(folder):
    """A Dask scheduler and two single-thread workers on 127.0.0.1, started
    as on machines of one's own; their working and local directories (and
    logs) in folder, which they are told nothing else of. Gives the
    scheduler's address; stops all three however the block ends."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    address = f"tcp://127.0.0.1:{port}"
    folder.mkdir()
    env = dict(os.environ, DASK_TEMPORARY_DIRECTORY=str(folder))
    commands = [["dask", "scheduler", "--host", "127.0.0.1", "--port", str(port),
                 "--no-dashboard"]] + [
        ["dask", "worker", address, "--host", "127.0.0.1", "--nthreads", "1", "--no-nanny",
         "--no-dashboard", "--local-directory", str(folder / f"worker{k}"), "--death-timeout",
         "60"] for k in (1, 2)]
    processes = []
    try:
        for k, command in enumerate(commands):
            with open(folder / f"log{k}", "wb") as log:
                processes.append(subprocess.Popen(command, cwd=folder, env=env,
                                                  stdin=subprocess.DEVNULL, stdout=log,
                                                  stderr=subprocess.STDOUT))
        yield address
    finally:
        for p in processes:
            p.terminate()
        for p in processes:
            try:
                p.wait(timeout=10)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
