"""The benchmark beside every card: a tree family on the card's own bins and training rows, what it ranks like on
the test applicants (its own predictions, its additive card, the extension's card) and one sentence on whether it
ranks significantly better than the card.

The benchmark is a Scorecard of the tree family fitted on the card's `binnings_`, so it is what a build with
`--model <family>` would give on those bins, and its files are a tree card's own.
"""

from __future__ import annotations

import importlib
import shutil
from dataclasses import dataclass
from pathlib import Path

from . import _models, _params
from ._errors import InputError

FOLDER = "benchmark"
# Training rows the benchmark learns from, at most: a seeded stratified sample beyond. Every row costs each of up
# to a thousand rounds, and below the families' threshold for a second thread a busy machine does not stall it.
# On the generated 200,000 applicants the trees' test AUC is 0.813 from 20,000 rows, 0.823 from 40,000 and 0.833
# from all 140,000, at 8 times the time of 40,000: the sample understates the benchmark a little.
ROWS = 30_000
# The additive card's SHAP rows, at most: on the generated applicants its AUC moves by 0.0003 from 10,000 to 5,000.
SHAP_ROWS = 5_000
# A failure is told in the report in one line of at most this many characters.
LONGEST_REASON = 300


@dataclass
class Benchmark:
    family: str
    scorecard: object | None = None  # the fitted Scorecard of the family; the card itself when `own`
    rows: int = 0  # training applicants it learned from
    of: int = 0  # training applicants there were
    error: str | None = None  # why it has no rows in the report
    own: bool = False  # the card is of the benchmark's family: its own model and cards are the benchmark
    folder: str | None = None  # where its files are, inside the card directory


def check(choice) -> str | None:
    """The family to fit (None for "none"); a family whose package is missing is one line naming the extra."""
    _params.BENCHMARK.check(choice)
    if choice == "none":
        return None
    for package in _models.FAMILIES[choice].packages:
        try:
            importlib.import_module(package)
        except ImportError:
            raise InputError(
                f"benchmark (--benchmark) {choice!r} needs the package {package}: "
                "pip install 'tessaly[cli]', or choose benchmark none"
            ) from None
    return choice


def _reason(e: BaseException) -> str:
    text = " ".join(str(e).split()) or type(e).__name__
    return text if len(text) <= LONGEST_REASON else text[: LONGEST_REASON - 3] + "..."


def _sample(y, seed: int):
    """Positions of the training rows the benchmark learns from: all, or a seeded sample stratified by outcome."""
    import numpy as np

    n = len(y)
    if n <= ROWS:
        return np.arange(n)
    from sklearn.model_selection import train_test_split

    return np.sort(train_test_split(np.arange(n), train_size=ROWS, stratify=y, random_state=seed)[0])


def own(card, family: str) -> bool:
    """Whether the card is itself of the benchmark's family (fitted or not yet): then it is its own benchmark."""
    return (getattr(card, "family_", None) or _models.family(card.model).name) == family


def start(
    card,
    family: str,
    X_train,
    y_train,
    w_train=None,
    *,
    binnings=None,
    shap_data=None,
    shap_weight=None,
    progress=None,
    beside=None,
):
    """The benchmark of `family` on `card`'s bins and training rows, begun: a call that gives its Benchmark. A
    failure to train is kept there, never raised.

    `binnings`: the card's bins, where the card is still being fitted on them (default: its `binnings_`).
    `shap_data`, `shap_weight`: the applicants whose SHAP values make its cards, as `fit` takes them.
    `beside`: a `_beside.Beside` process to train in meanwhile; without one it trains when called.
    """
    import numpy as np
    import pandas as pd
    from sklearn.base import clone

    if own(card, family):
        return lambda: Benchmark(family, card, own=True)
    binnings = list(card.binnings_ if binnings is None else binnings)
    y = pd.Series(y_train).reset_index(drop=True)
    picked = _sample(y.to_numpy(), card.seed)
    bench = Benchmark(family, rows=len(picked), of=len(y))
    if any(getattr(b, "table", None) is None for b in binnings):
        bench.error = "a card loaded from its files keeps no binning tables to train on: build it again"
        return lambda: bench
    if progress:
        progress.step(f"benchmark: {family} on {len(picked)} of {len(y)} training applicants")
    names = [b.name for b in binnings]
    twin = clone(card).set_params(model=family, points="additive", bins=None, shap_rows=min(card.shap_rows, SHAP_ROWS))
    call = (
        twin,
        _models.FAMILIES[family],
        binnings,
        X_train[names].iloc[picked],
        y.iloc[picked],
        None if w_train is None else np.asarray(w_train, dtype=float)[picked],
        None if shap_data is None else shap_data[names],
        shap_weight,
    )
    if beside is not None:
        beside.submit(_fit, *call)

    def finish() -> Benchmark:
        try:
            bench.scorecard = _fit(*call) if beside is None else beside.result()
        except Exception as e:  # the card and its report stand without it
            bench.error = _reason(e)
        return bench

    return finish


def _fit(twin, fam, binnings, X, y, w, shap_data, shap_weight):
    # The family as the caller has it registered, in whatever process this runs.
    _models.FAMILIES[fam.name] = fam
    # The card's own bins as they are: the twin's fit searches and selects none of its own.
    twin._binnings = lambda *_: (binnings, {})
    twin.candidates_ = list(binnings)  # what the search for cross characteristics pairs up
    try:
        return twin.fit(X, y, sample_weight=w, shap_data=shap_data, shap_weight=shap_weight)
    finally:
        del twin._binnings  # a function of its own would not travel back from another process


def train(card, family: str, X_train, y_train, w_train=None, **options) -> Benchmark:
    """The benchmark of `family` trained now (`options` as `start` takes them)."""
    return start(card, family, X_train, y_train, w_train, **options)()


def save(bench: Benchmark | None, directory) -> None:
    """The benchmark's files (a tree card's: binning tables, the extension's scorecard and model, card.json,
    module/card.json) in `directory`'s benchmark folder; a failure is kept, the folder removed."""
    if bench is None or bench.scorecard is None or bench.own:
        return
    folder = Path(directory) / FOLDER
    try:
        folder.mkdir()
        bench.scorecard.save_into(folder)
    except Exception as e:
        shutil.rmtree(folder, ignore_errors=True)
        bench.scorecard, bench.error = None, f"its files could not be written: {_reason(e)}"
        return
    bench.folder = FOLDER


def prepared(card, benchmark, challenger, X_test, test_weight=None) -> Benchmark | None:
    """The report's benchmark: as given, or fitted on the challenger's training rows by family name."""
    if benchmark is None or isinstance(benchmark, Benchmark):
        return benchmark
    family = check(benchmark)
    if family is None:
        return None
    if challenger is None:
        if card.family_ == family:
            return Benchmark(family, card, own=True)
        return Benchmark(family, error="no training rows were given to fit it on (challenger=(X_train, y_train))")
    X_train, y_train, *w = challenger
    return train(card, family, X_train, y_train, w[0] if w else None, shap_data=X_test, shap_weight=test_weight)


def model_row(bench: Benchmark) -> str:
    return "tree model" if bench.own else f"{bench.family} benchmark model"


def scores(bench: Benchmark | None, X_test) -> dict:
    """Test scores of the benchmark's model and cards, higher is better, by the name the report gives them."""
    if bench is None or bench.error or bench.own:
        return {}
    twin = bench.scorecard
    try:
        bad = list(twin.classes_).index(twin.bad_)
        module_rows = twin.shap_rows_used_.get("module")
        return {
            model_row(bench): -twin.predict_proba(X_test)[:, bad],
            f"additive card from the {bench.family} benchmark": twin.cards_["additive"].total(X_test),
            f"module card from the {bench.family} benchmark ({module_rows} SHAP rows)": twin.cards_["module"].total(
                X_test
            ),
        }
    except Exception as e:
        bench.error = f"it could not score the test applicants: {_reason(e)}"
        return {}


def verdict(bench: Benchmark | None, assessment: dict, target: str) -> dict | None:
    """What the report says of the benchmark: whether it ranks significantly better than the card, in one
    sentence, how it was trained, and where its files are."""
    if bench is None:
        return None
    about = {
        "family": bench.family,
        "model": None,
        "rows": bench.rows,
        "training_rows": bench.of,
        "folder": bench.folder,
        "error": bench.error,
        "significant": None,
    }
    card = assessment["card"]
    name = f"the {bench.family} benchmark"
    rows = {r["name"]: r for r in assessment["challengers"]}
    row = None if bench.error else rows.get(model_row(bench))
    if bench.error:
        about["sentence"] = (
            f"The {bench.family} benchmark could not be fitted ({bench.error}); the card and the "
            "rest of this report do not depend on it."
        )
        return about
    if row is None:  # a loaded card of the benchmark's own family, without its model
        about["sentence"] = f"The {card}'s own {bench.family} model was not loaded, so no benchmark is shown."
        return about
    about["model"] = row["name"]
    if bench.own:
        name = f"the card's own {bench.family} model"
    else:
        trained = (
            f"{bench.rows:,} of the {bench.of:,} training applicants (a seeded sample)"
            if bench.rows < bench.of
            else f"all {bench.of:,} training applicants"
        )
        about["note"] = (
            f"The benchmark: {_models.FAMILIES[bench.family].describe} of the card, trained on "
            f"{trained}, with the card's other settings, as a build with --model {bench.family} would be."
            + (
                f" Its files, a card of its own (binning tables, the extension's scorecard and model, "
                f"card.json, module/card.json), are in the {bench.folder}/ folder of the card."
                if bench.folder
                else ""
            )
        )
    lo, hi = row["auc_vs_card_ci"]
    figures = f"AUC {row['auc']:.3f} against {rows[card]['auc']:.3f}, a difference of {row['auc_vs_card']:+.3f}" + (
        f" (95% CI {lo:+.3f} to {hi:+.3f})" if lo is not None else ""
    )
    if assessment["best"] is None or lo is None:  # too few goods or bads to name a winner
        text = (
            f"The test split holds too few good or bad applicants to tell whether {name} ranks better than "
            f"the {card} ({figures})."
        )
    elif lo > 0:
        about["significant"] = True
        text = (
            f"{name[0].upper()}{name[1:]} ranks significantly better than the {card}: {figures}. The "
            "applicants hold interactions that the card's points per bin cannot hold."
        )
        tree_card = rows.get(f"additive card from the {bench.family} benchmark")
        if tree_card is not None:
            text += (
                f" A card from these trees is built with: tessaly build <data> {target} --model "
                f"{bench.family} (here its additive card ranks at AUC {tree_card['auc']:.3f})."
            )
    else:
        about["significant"] = False
        text = f"{name[0].upper()}{name[1:]} does not rank significantly better than the {card}: {figures}."
    about["sentence"] = text
    return about
