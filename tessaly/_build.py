"""From a table of applicants to a card directory: split, fit the estimator, save, score the test part, report."""

from __future__ import annotations

from pathlib import Path

from . import _io
from ._errors import InputError
from ._progress import Progress

ROW = "row"  # the identity column of test_scores.csv: the applicant's row in the input table


def _split(data, y_bad, test_size, seed):
    import numpy as np
    from sklearn.model_selection import train_test_split

    if not 0 < test_size < 1:
        raise InputError(f"--test-size must lie between 0 and 1, not {test_size}")
    try:
        return train_test_split(np.arange(len(data)), test_size=test_size, stratify=y_bad, random_state=seed)
    except ValueError as e:
        raise InputError(f"cannot split {len(data)} applicants into train and test: {e}") from None


def _columns(data, target, drop, ids) -> list[str]:
    """The predictors: every column but the target, the dropped ones and the identity columns."""
    if target not in data.columns:
        raise InputError(f"target column '{target}' is not in the table")
    for option, names in (("--drop", drop), ("--id", ids)):
        unknown = [c for c in names if c not in data.columns]
        if unknown:
            raise InputError(f"{option} names columns that are not in the table: {', '.join(map(repr, unknown))}")
    if target in ids:
        raise InputError(f"--id '{target}' is the target column")
    if len(set(ids)) != len(ids):
        raise InputError("--id names a column twice")
    predictors = [c for c in data.columns if c != target and c not in drop and c not in ids]
    if not predictors:
        raise InputError("the table has no predictor columns besides the target")
    # test_scores.csv holds the row, the identity columns, the target and the score side by side.
    for name in [target, *ids, *predictors]:
        if name in (ROW, "score"):
            raise InputError(f"column '{name}' is named like an output column (row, score, reason_N, "
                             "<predictor>_bin, <predictor>_points): rename it")
    return predictors


def build(source, out, *, target, params=None, test_size=0.3, drop=(), ids=(), strict=False,
          progress: Progress | None = None) -> dict:
    """Fit a Scorecard on a stratified training part and write its card directory to `out`."""
    progress = progress or Progress(quiet=True)
    _io.check_card_out(out)  # before any long work; checked again when the card moves in
    drop, ids = list(drop), list(ids)
    data = source if not isinstance(source, (str, Path)) else _io.read_table(source)
    predictors = _columns(data, target, drop, ids)

    from . import _report
    from ._scorecard import Scorecard, encode_target

    sc = Scorecard(**(params or {}))
    sc._check_params()  # a bad option fails before the split, in the estimator's words
    y_bad, _ = encode_target(data[target].rename(target), sc.bad)
    train_idx, test_idx = _split(data, y_bad, test_size, sc.seed)
    train, test = data.iloc[train_idx], data.iloc[test_idx]

    with _io.staged_card(out) as stage:
        sc.fit(train[predictors], train[target], shap_data=test[predictors], progress=progress)
        progress.step("saving the card")
        sc.save_into(stage)

        scored, unseen = sc.card_.apply(test[predictors])
        faults = _io.describe_unseen(unseen)
        if strict and faults:
            raise InputError(f"--strict: the test split holds values the card has never seen: {', '.join(faults)}")
        test_scores = test[ids].reset_index(drop=True)
        test_scores.insert(0, ROW, test_idx)
        test_scores[target] = y_bad[test_idx]  # 1 for bad, as the report counts
        test_scores["score"] = scored["score"].to_numpy()
        _io.write_frame(test_scores, stage / "test_scores.csv")

        progress.step("writing the report")
        metrics = sc.report(stage / "report.html", test[predictors], test[target],
                            challenger=(train[predictors], train[target]))
        _report.write_metrics(stage / "metrics.json", metrics)
    out = Path(out)
    return {"out": out, "scorecard": sc, "metrics": metrics, "report": out / "report.html", "test_rows": test_idx,
            "unseen": unseen}
