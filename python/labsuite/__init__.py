"""labsuite from Python: momfit's fit and model, bandfit's line fit, and
many fits at once.

The computations are the programs' own (the extension _labsuite): the
same numbers as ``momfit --results`` and ``bandfit --results``. A refusal
or a fault of the programs raises ValueError (or OSError for a file) with
the programs' message; their warnings are Python warnings
(InputWarning). See docs/python.md.
"""

import collections
import warnings as _warnings

from . import _labsuite

__version__ = _labsuite.__version__

__all__ = ["__version__", "InputWarning", "NoCorrection", "Lab", "read_lab", "read_profile",
           "bandfit"]


class InputWarning(UserWarning):
    """What the programs say of their input on standard error and go on."""


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


def _text(path):
    with open(path, "rb") as f:
        return f.read()


def read_lab(path):
    """The lab data file at path, read as momfit reads it: Lab(momentum,
    probability), at most 1000 pairs. ValueError when a value is not a
    number or the momenta do not increase."""
    fault, momentum, probability, said = _labsuite.read_lab(_text(path), str(path))
    _warn(said)
    if fault:
        raise ValueError(fault)
    return Lab(momentum, probability)


def read_profile(path):
    """The instrument profile at path, as momfit reads it: a float32 array
    of at most 500 values."""
    fault, values, said = _labsuite.read_profile(_text(path), str(path))
    _warn(said)
    if fault:
        raise ValueError(fault)
    return values


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
