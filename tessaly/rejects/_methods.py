"""The reject inference methods as pure functions over arrays: each turns the accepted applicants (outcomes
known) and the rejected ones (outcomes unknown) into weighted rows of known outcome, from what the
accepts-only card says of them. The factor K is the one assumption: a reject's odds of bad are K times those
of an accepted applicant with the same predictors (K = 1: missing at random)."""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

import numpy as np

METHODS = ("none", "fuzzy", "parcel", "hard-cutoff", "reweight")
FACTORS = (1.0, 1.5, 2.0, 3.0, 4.0)
USES_FACTOR = ("fuzzy", "parcel")
BANDS = 10


@dataclass(frozen=True)
class Rows:
    """Weighted rows of known outcome. `source`: the row of the through-the-door table (accepts first, then
    rejects); `bad`: 1 or 0; `weight`: applicants each row stands for. `reject_bad`: per reject, the bad
    probability (or outcome) the method gives it, what its inferred bad rate is counted from."""

    source: np.ndarray
    bad: np.ndarray
    weight: np.ndarray
    reject_bad: np.ndarray


@dataclass(frozen=True)
class Population:
    """The through-the-door population as the accepts-only card sees it."""

    bad: np.ndarray  # accepts' outcomes, 1 bad
    weight: np.ndarray  # accepts' weights
    reject_weight: np.ndarray
    p_reject: np.ndarray  # the accepts-only model's bad probability of each reject
    score: np.ndarray  # accepts' scores by the accepts-only card
    reject_score: np.ndarray
    edges: np.ndarray  # score bands: deciles of the accepts' scores

    @property
    def n_accepts(self) -> int:
        return len(self.bad)


def shifted(p, factor: float) -> np.ndarray:
    """The probability whose odds are `factor` times those of `p`."""
    p = np.asarray(p, dtype=float)
    return factor * p / (1.0 - p + factor * p)


def band_edges(score, weight, bands: int = BANDS) -> np.ndarray:
    """Inner edges of about equal weighted bands of the scores; tied scores share a band."""
    order = np.argsort(score, kind="stable")
    s, cum = np.asarray(score, dtype=float)[order], np.cumsum(np.asarray(weight, dtype=float)[order])
    at = np.searchsorted(cum, cum[-1] * np.arange(1, bands) / bands, side="left")
    edges = np.unique(s[np.minimum(at + 1, len(s) - 1)])
    return edges[edges > s[0]]


def band_of(score, edges) -> np.ndarray:
    return np.searchsorted(edges, np.asarray(score, dtype=float), side="right")


def band_rates(pop: Population) -> np.ndarray:
    """Each band's weighted bad rate among the accepts (every band holds accepts: the edges are theirs)."""
    k = len(pop.edges) + 1
    band = band_of(pop.score, pop.edges)
    n = np.bincount(band, weights=pop.weight, minlength=k)
    bads = np.bincount(band, weights=pop.weight * pop.bad, minlength=k)
    return np.divide(bads, n, out=np.zeros(k), where=n > 0)


def _accepts(pop: Population) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    return np.arange(pop.n_accepts), pop.bad.astype(np.int8), pop.weight


def _with_rejects(pop: Population, bad, weight, reject_bad) -> Rows:
    src, y, w = _accepts(pop)
    rejects = pop.n_accepts + np.arange(len(pop.reject_weight))
    return Rows(
        np.concatenate([src, rejects]),
        np.concatenate([y, np.asarray(bad, dtype=np.int8)]),
        np.concatenate([w, weight]),
        np.asarray(reject_bad, dtype=float),
    )


def none(pop: Population, factor: float, **_) -> Rows:
    """Accepts only; each reject keeps what the accepts-only card promises it."""
    return Rows(*_accepts(pop), pop.p_reject.copy())


def fuzzy(pop: Population, factor: float, **_) -> Rows:
    """Each reject twice: bad with weight p and good with weight 1 - p, p its shifted bad probability."""
    p = shifted(pop.p_reject, factor)
    src, y, w = _accepts(pop)
    n_r = len(p)
    rejects = pop.n_accepts + np.arange(n_r)
    return Rows(
        np.concatenate([src, rejects, rejects]),
        np.concatenate([y, np.ones(n_r, np.int8), np.zeros(n_r, np.int8)]),
        np.concatenate([w, pop.reject_weight * p, pop.reject_weight * (1 - p)]),
        p,
    )


def parcel(pop: Population, factor: float, *, seed: int = 0, **_) -> Rows:
    """Per score band, rejects drawn bad at the band's accepted bad rate, its odds times the factor."""
    rate = shifted(band_rates(pop), factor)[band_of(pop.reject_score, pop.edges)]
    drawn = (np.random.default_rng(seed).random(len(rate)) < rate).astype(np.int8)
    return _with_rejects(pop, drawn, pop.reject_weight, drawn)


def hard_cutoff(pop: Population, factor: float, *, cutoff: float, **_: Any) -> Rows:
    """Rejects scoring below the cutoff bad, the others good."""
    bad = (pop.reject_score < cutoff).astype(np.int8)
    return _with_rejects(pop, bad, pop.reject_weight, bad)


def reweight(pop: Population, factor: float, **_) -> Rows:
    """Accepts weighted by the inverse of their band's acceptance rate; rejects add no rows, and each is
    taken to go bad at its band's accepted rate."""
    k = len(pop.edges) + 1
    band, reject_band = band_of(pop.score, pop.edges), band_of(pop.reject_score, pop.edges)
    accepted = np.bincount(band, weights=pop.weight, minlength=k)
    through = accepted + np.bincount(reject_band, weights=pop.reject_weight, minlength=k)
    rate = np.divide(accepted, through, out=np.ones(k), where=accepted > 0)
    src, y, w = _accepts(pop)
    return Rows(src, y, w / rate[band], band_rates(pop)[reject_band])


RULES: dict[str, Callable[..., Rows]] = {
    "none": none,
    "fuzzy": fuzzy,
    "parcel": parcel,
    "hard-cutoff": hard_cutoff,
    "reweight": reweight,
}


def rows(method: str, pop: Population, factor: float, *, cutoff: float, seed: int) -> Rows:
    return RULES[method](pop, factor, cutoff=cutoff, seed=seed)


def reject_bad_rate(pop: Population, r: Rows) -> float:
    return float(np.average(r.reject_bad, weights=pop.reject_weight))


def population_bad_rate(pop: Population, r: Rows) -> float:
    bads = np.dot(pop.weight, pop.bad) + np.dot(pop.reject_weight, r.reject_bad)
    return float(bads / (pop.weight.sum() + pop.reject_weight.sum()))
