"""The benchmark beside every card: gradient-boosted trees tuned on the raw predictors (how well the applicants
can be ranked at all), a tree family on the card's own bins (what the binning allows), what they rank like on the
test applicants (their predictions, the family's additive card, the extension's card) and a sentence on how far
the card is from the trees, what of the gap is shape and what is pairs, and a remedy only where one was measured.

The benchmark is a Scorecard of the tree family fitted on the card's `binnings_`, so it is what a build with
`--model <family>` would give on those bins, and its files are a tree card's own.
"""

from __future__ import annotations

import importlib
import shutil
from dataclasses import dataclass
from pathlib import Path
from typing import Any

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
    scorecard: Any = None  # the fitted Scorecard of the family; the card itself when `own`
    rows: int = 0  # training applicants it learned from
    of: int = 0  # training applicants there were
    error: str | None = None  # why it has no rows in the report
    own: bool = False  # the card is of the benchmark's family: its own model and cards are the benchmark
    folder: str | None = None  # where its files are, inside the card directory
    raw: Any = None  # `_raw_trees.RawTrees`, tuned on the raw predictors of the same training rows
    raw_error: str | None = None  # why there are none


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
    `beside`: a `_benchmark_process.Beside` process to train in meanwhile; without one it trains when called.
    """
    import numpy as np
    import pandas as pd
    from sklearn.base import clone

    y = pd.Series(y_train).reset_index(drop=True)
    picked = _sample(y.to_numpy(), card.seed)
    w_picked = None if w_train is None else np.asarray(w_train, dtype=float)[picked]
    # Every raw predictor the build was given, the ones the card leaves out too: the trees may find use for them.
    raw_call = (X_train.iloc[picked], y.iloc[picked], w_picked, card.seed, getattr(card, "bad", None))
    if own(card, family):
        mine = Benchmark(family, card, own=True, rows=len(picked), of=len(y))
        return lambda: _with_raw(mine, _raw(*raw_call))
    binnings = list(card.binnings_ if binnings is None else binnings)
    bench = Benchmark(family, rows=len(picked), of=len(y))
    if any(getattr(b, "table", None) is None for b in binnings):
        bench.error = "a card loaded from its files keeps no binning tables to train on: build it again"
        return lambda: _with_raw(bench, _raw(*raw_call))
    if progress:
        progress.step(f"benchmark: {family} on {len(picked)} of {len(y)} training applicants")
    names = [b.name for b in binnings if b.name in X_train.columns]
    # No crosses of its own: the trees hold the pairs, and their additive card is what the card's bins allow alone.
    twin = clone(card).set_params(
        model=family, points="additive", bins=None, crosses="none", shap_rows=min(card.shap_rows, SHAP_ROWS)
    )
    call = (
        twin,
        _models.FAMILIES[family],
        binnings,
        X_train[names].iloc[picked],
        y.iloc[picked],
        w_picked,
        None if shap_data is None else shap_data[[n for n in names if n in shap_data.columns]],
        shap_weight,
        raw_call,
    )
    if beside is not None:
        beside.submit(_fit, *call)

    def finish() -> Benchmark:
        try:
            bench.scorecard, raw = _fit(*call) if beside is None else beside.result()
        except Exception as e:  # the card and its report stand without it
            bench.error = _reason(e)
            return bench
        return _with_raw(bench, raw)

    return finish


def _fit(twin, fam, binnings, X, y, w, shap_data, shap_weight, raw_call):
    """The family fitted on the card's bins, and the raw trees (or why there are none)."""
    # The family as the caller has it registered, in whatever process this runs.
    _models.FAMILIES[fam.name] = fam
    # The card's own bins as they are: the twin's fit searches and selects none of its own.
    twin._binnings = lambda *_: (binnings, {})
    try:
        fitted = twin.fit(X, y, sample_weight=w, shap_data=shap_data, shap_weight=shap_weight)
    finally:
        del twin._binnings  # a function of its own would not travel back from another process
    return fitted, _raw(*raw_call)


def _raw(X, y, w, seed: int, bad):
    """Trees tuned on the raw predictors, or the reason there are none (a text)."""
    try:
        from . import _raw_trees
        from ._checks import encode_target, outcome

        y_bad = encode_target(outcome(y), bad)[0]
        return _raw_trees.fit(X, y_bad, w, seed=seed)
    except Exception as e:  # the card and the benchmark on its bins stand without them
        return _reason(e)


def _with_raw(bench: Benchmark, raw) -> Benchmark:
    if isinstance(raw, str):
        bench.raw_error = raw
    else:
        bench.raw = raw
    return bench


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


def raw_row(bench: Benchmark) -> str:
    return f"xgb tuned on the raw predictors (depth {bench.raw.depth}, {bench.raw.rounds} trees)"


def scores(bench: Benchmark | None, X_test) -> dict:
    """Test scores of the benchmark's models and cards, higher is better, by the name the report gives them."""
    if bench is None:
        return {}
    found = {}
    absent = [] if bench.raw is None else [c for c in bench.raw.columns if c not in X_test.columns]
    if absent:  # scored without some of their predictors, the trees would understate what they can do
        bench.raw, bench.raw_error = None, f"the test applicants at hand lack {len(absent)} of the predictors they read"
    if bench.raw is not None:
        try:
            found[raw_row(bench)] = -bench.raw.predict(X_test)
        except Exception as e:
            bench.raw, bench.raw_error = None, f"they could not score the test applicants: {_reason(e)}"
    if bench.error or bench.own:
        return found
    return {**found, **_twin_scores(bench, X_test)}


def _twin_scores(bench: Benchmark, X_test) -> dict:
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


def _gap(row: dict, rows: dict, card: str) -> str:
    lo, hi = row["auc_vs_card_ci"]
    return f"AUC {row['auc']:.3f} against {rows[card]['auc']:.3f}, a difference of {row['auc_vs_card']:+.3f}" + (
        f" (95% CI {lo:+.3f} to {hi:+.3f})" if lo is not None else ""
    )


def _better(row: Any) -> bool | None:
    """Whether a row ranks significantly better than the card on the test applicants; None where untold."""
    if row is None or row["auc_vs_card_ci"][0] is None:
        return None
    return bool(row["auc_vs_card_ci"][0] > 0)


def _trained(bench: Benchmark) -> str:
    return (
        f"{bench.rows:,} of the {bench.of:,} training applicants (a seeded sample)"
        if bench.rows < bench.of
        else f"all {bench.of:,} training applicants"
    )


def verdict(bench: Benchmark | None, assessment: dict, target: str, estimator=None) -> dict | None:
    """What the report says of the benchmark, in a few sentences: how far the card is from trees tuned on the raw
    predictors, how much of that the trees on the card's bins recover (the rest is shape the bins do not follow),
    what the card's cross characteristics gained, and a remedy only where its lift was measured on held-out
    rows; how the trees were trained, and where their files are."""
    if bench is None:
        return None
    about: dict[str, Any] = {
        "family": bench.family,
        "model": None,
        "rows": bench.rows,
        "training_rows": bench.of,
        "folder": bench.folder,
        "error": bench.error,
        "significant": None,
        "raw": None,
        "remedies": [],
    }
    card = assessment["card"]
    rows = {r["name"]: r for r in assessment["challengers"]}
    raw = rows.get(raw_row(bench)) if bench.raw is not None else None
    bins = None if bench.error else rows.get(model_row(bench))
    if raw is None and bench.error:
        about["sentence"] = (
            f"The {bench.family} benchmark could not be fitted ({bench.error}); the card and the "
            "rest of this report do not depend on it."
        )
        return about
    if raw is None and bins is None:  # a loaded card of the benchmark's own family, without its model
        about["sentence"] = f"The {card}'s own {bench.family} model was not loaded, so no benchmark is shown."
        return about
    about["note"] = _note(bench)
    if bins is not None:
        about["model"] = bins["name"]
    if raw is not None:
        about["raw"] = {
            "model": raw["name"],
            "auc": raw["auc"],
            "gap": raw["auc_vs_card"],
            "ci": list(raw["auc_vs_card_ci"]),
            "depth": bench.raw.depth,
            "rounds": bench.raw.rounds,
            "validation_auc": {str(k): v for k, v in bench.raw.validation_auc.items()},
        }
    lead: Any = raw if raw is not None else bins  # one of them, as returned above
    about["significant"] = _better(lead) if assessment["best"] is not None else None
    parts = [_opening(bench, lead, raw is not None, rows, card, about["significant"])]
    if about["significant"] and raw is not None and bins is not None:
        parts.append(_split_of_gap(bench, raw, bins))
    parts += _crosses_said(estimator)
    remedies = _remedies(bench, rows, estimator, target)
    about["remedies"] = [r for r, _ in remedies]
    if remedies:
        parts += [text for _, text in remedies]
    elif about["significant"]:
        parts.append("No remedy tessaly builds was measured to close what remains, so none is advised.")
    about["sentence"] = " ".join(parts)
    return about


def _note(bench: Benchmark) -> str:
    raw = (
        f"Trees tuned on the raw predictors: XGBoost of depth {bench.raw.depth} (chosen among 2 to 6, deeper "
        f"only while it ranked better) with "
        f"{bench.raw.rounds} trees, stopped on a seeded fifth of {_trained(bench)}; the test applicants tune "
        "nothing."
        if bench.raw is not None
        else f"No trees on the raw predictors: {bench.raw_error}."
    )
    if bench.own or bench.error:
        return raw
    return (
        f"{raw} The benchmark on the card's bins: {_models.FAMILIES[bench.family].describe} of the card, trained on "
        f"{_trained(bench)}, with the card's other settings, as a build with --model {bench.family} would be."
        + (
            f" Its files, a card of its own (binning tables, the extension's scorecard and model, "
            f"card.json, module/card.json), are in the {bench.folder}/ folder of the card."
            if bench.folder
            else ""
        )
    )


def _opening(bench: Benchmark, lead: Any, is_raw: bool, rows: dict, card: str, better) -> str:
    who = (
        "XGBoost tuned on the raw predictors"
        if is_raw
        else ("The card's own" if bench.own else "The") + f" {bench.family} model on the card's bins"
    )
    figures = _gap(lead, rows, card)
    if better is None:
        return f"The test split holds too few good or bad applicants to tell whether {who if is_raw else 't' + who[1:]} ranks better ({figures})."
    if better:
        return f"{who} ranks significantly better than the {card}: {figures}."
    return f"{who} does not rank significantly better than the {card}: {figures}."


def _split_of_gap(bench: Benchmark, raw: dict, bins: dict) -> str:
    """How much of the gap the same trees recover on the card's bins (pairs), and what they lose (shape)."""
    gap = raw["auc_vs_card"]
    pairs = bins["auc_vs_card"]
    share = max(min(pairs / gap, 1.0), 0.0) if gap > 0 else 0.0
    return (
        f"On the card's own bins the {bench.family} trees rank at AUC {bins['auc']:.3f}: {share:.0%} of the gap is "
        "in pairs of predictors the card's points per bin do not hold, the rest in shapes finer than its bins."
    )


def _crosses_said(estimator) -> list[str]:
    kept = [c for c in getattr(estimator, "crosses_", None) or [] if c.get("kept") and not c.get("by_hand")]
    if not kept:
        return []
    names = ", ".join(" x ".join(map(str, c.get("predictors", []))) for c in kept)
    lift = sum(float(c.get("auc_lift") or 0.0) for c in kept)
    return [f"The card's cross characteristics ({names}) gained {lift:+.4f} AUC on held-out training rows."]


def _remedies(bench: Benchmark, rows: dict, estimator, target: str) -> list[tuple[str, str]]:
    """(option, sentence) for each remedy whose lift was measured on rows the card did not learn from."""
    found = []
    waiting = [c for c in getattr(estimator, "crosses_", None) or [] if c.get("significant") and not c.get("kept")]
    if waiting:
        names = ", ".join(" x ".join(map(str, c.get("predictors", []))) for c in waiting)
        lift = max(float(c.get("auc_lift") or 0.0) for c in waiting)
        found.append(
            (
                "--crosses",
                f"Crosses the card left out ({names}) were measured on held-out training rows to add up to "
                f"{lift:+.4f} AUC: build with --crosses auto to let them in.",
            )
        )
    tree_card = None if bench.own else rows.get(f"additive card from the {bench.family} benchmark")
    if tree_card is not None and _better(tree_card):
        found.append(
            (
                f"--model {bench.family}",
                f"The {bench.family} trees' own additive card ranks significantly better on the test applicants "
                f"(AUC {tree_card['auc']:.3f}): tessaly build <data> {target} --model {bench.family}.",
            )
        )
    return found
