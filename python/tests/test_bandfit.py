"""labsuite.bandfit against the program: every golden deck, and the refusals."""

import json
import subprocess

import pytest

import labsuite
from conftest import BANDFIT, GOLDEN


def run_bandfit(folder, deck):
    """bandfit in folder on deck: (status, --results object, --deck-out text, stderr)."""
    done = subprocess.run([BANDFIT, "--results", "r.json", "--deck-out", "next.deck"], cwd=folder,
                          input=deck, capture_output=True, timeout=300)
    results = folder / "r.json"
    following = folder / "next.deck"
    return (done.returncode, json.loads(results.read_text()) if results.exists() else None,
            following.read_text() if following.exists() else None, done.stderr.decode())


@pytest.mark.parametrize("case", sorted(p.name for p in GOLDEN.glob("bandfit_*")))
def test_golden_decks_give_the_programs_results(case, tmp_path):
    deck = (GOLDEN / case / "stdin").read_bytes()
    status, want, want_deck, stderr = run_bandfit(tmp_path, deck)
    if status == 0:
        got = labsuite.bandfit(deck)
    else:
        # The program writes its results and then says why it failed.
        with pytest.raises(labsuite.NoCorrection) as raised:
            labsuite.bandfit(deck)
        assert stderr == f"bandfit: {raised.value}\n"
        got = raised.value.results
    assert got.pop("next_deck") == want_deck
    assert got == want


@pytest.mark.parametrize("deck", [
    "-1 2\n",                                                      # a negative count
    "2 501\n",                                                     # beyond the parameter room
    "1 1\n'R V+0' 3 2110.4 1.0\nB0 1.9 2\n1 0\n",                  # a fit flag of 2
    "1 1\n'Z V+0' 3 2110.4 1.0\nB0 1.9 1\n1 0\n",                  # an unknown branch
    "1 1\n'R V+0' 3 x 1.0\nB0 1.9 1\n1 0\n",                       # not a number
    "1 1\n'R V+0' 3 2110.4 1.0\n",                                 # the deck ends early
    "1 1\n'R V+0' 3 1e5000 1.0\nB0 1.9 1\n1 0\n",                  # infinite position
    "1 1\n'R V+0' 3 2110,4174 1.0\nB0 1.9 1\n1 0\n",               # a decimal comma
    "2 1\n'R V+0' 5 2150.5 1e308\n'P V+0' 7 2140.25 1\nB 1.9 1\n2 0\n",  # overflow
])
def test_a_deck_the_program_refuses_raises_its_message(deck, tmp_path):
    status, _, _, stderr = run_bandfit(tmp_path, deck.encode())
    assert status != 0
    with pytest.raises(ValueError) as raised:
        labsuite.bandfit(deck)
    message = str(raised.value)
    if stderr.startswith("bandfit: "):  # a refusal: the same line, the deck named so
        assert stderr.replace("standard input: ", "deck: ") == f"bandfit: {message}\n"
    else:  # a read fault: the fatal report's first line, and its line
        first = stderr.splitlines()[0]
        assert message.startswith("deck: line ") and message.endswith(first)
        assert f"at line {message.split()[2][:-1]} of standard input" in stderr
