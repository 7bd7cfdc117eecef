"""From a table of applicants to a card directory: split, fit the estimator, save, score the test part, report."""

from __future__ import annotations

from pathlib import Path

from ._card import describe_unseen, loads, output_columns
from ._errors import InputError
from ._files import check_card_out, staged_card
from ._params import BENCHMARK
from ._progress import Progress
from ._tables import read_table
from ._writers import write_frame

ROW = "row"  # the identity column of test_scores.csv: the applicant's row in the input table


def split_parts(data, y_bad, test_size, seed):
    import numpy as np
    from sklearn.model_selection import train_test_split

    if not 0 < test_size < 1:
        raise InputError(f"--test-size must lie between 0 and 1, not {test_size}")
    try:
        return train_test_split(np.arange(len(data)), test_size=test_size, stratify=y_bad, random_state=seed)
    except ValueError as e:
        raise InputError(f"cannot split {len(data)} applicants into train and test: {e}") from None


def rows_digest(frame, train_idx, test_idx) -> str:
    """Which rows form each part, whatever the order of the table: a digest of each part's row hashes, sorted."""
    import hashlib

    import numpy as np
    import pandas as pd

    rows = pd.util.hash_pandas_object(frame, index=False).to_numpy()
    digest = hashlib.sha256()
    for part in (train_idx, test_idx):
        digest.update(np.sort(rows[np.asarray(part)]).tobytes() + b"|")
    return "sha256:" + digest.hexdigest()


def split_record(*, test_column=None, seed=None, test_size=None, engine=None, table=None, parts=None) -> dict:
    """How a build chose its test part, as the card keeps it: the test column; or an engine's seeded hash of the
    named columns; or rows drawn by position, with a digest of each part (`parts`: the frame of the named
    columns, the training rows, the test rows) that tells whether a table gives the same parts again."""
    if test_column is not None:
        return {"by": "test column", "column": test_column}
    record = {"seed": int(seed), "test_size": float(test_size)}
    if engine is not None:
        return {"by": "row hash", "engine": engine, "table": table, **record, "columns": list(parts)}
    frame, train_idx, test_idx = parts
    return {
        "by": "row position",
        **record,
        "rows": [len(train_idx), len(test_idx)],
        "columns": list(frame.columns),
        "digest": rows_digest(frame, train_idx, test_idx),
    }


# What --test-column holds: booleans, 0 and 1, or these words; a missing value is no test row.
TRUE_WORDS, FALSE_WORDS = ("true", "t", "yes", "y", "1"), ("false", "f", "no", "n", "0")


def test_flags(values, column: str, option: str = "--test-column"):
    """Where a --test-column (or another `option` of flags) is true: the rows that form the test part."""
    import numpy as np
    import pandas as pd

    s = pd.Series(values).reset_index(drop=True)
    present = s.notna().to_numpy()
    if pd.api.types.is_bool_dtype(s):
        return s.fillna(False).to_numpy(dtype=bool)
    number = pd.to_numeric(s, errors="coerce")
    text = s.astype(str).str.strip().str.lower().str.removesuffix(".0")
    true = text.isin(TRUE_WORDS).to_numpy() | (number == 1).to_numpy()
    false = text.isin(FALSE_WORDS).to_numpy() | (number == 0).to_numpy()
    odd = present & ~true & ~false
    if odd.any():
        raise InputError(
            f"{option} '{column}' holds {s[odd].iloc[0]!r}: it must be true or false (or 1 or 0) in every row"
        )
    return np.asarray(true & present, dtype=bool)


def test_part(data, column, y_bad):
    """The rows named by --test-column, refused where a part would be empty or of one outcome."""
    import numpy as np

    test = test_flags(data[column], column)
    for rows, part in ((~test, "training"), (test, "test")):
        if not rows.any() or y_bad[rows].min() == y_bad[rows].max():
            raise InputError(f"--test-column '{column}' leaves the {part} part without good and bad applicants")
    return np.flatnonzero(~test), np.flatnonzero(test)


def predictor_columns(data, target, drop, ids, weight=None) -> list[str]:
    """The predictors: every column but the target, the weight, the dropped ones and the identity columns."""
    if target not in data.columns:
        raise InputError(f"target column '{target}' is not in the table")
    if weight is not None and (weight not in data.columns or weight == target):
        raise InputError(f"--weight column '{weight}' is {'the target' if weight == target else 'not in the table'}")
    for option, names in (("--drop", drop), ("--id", ids)):
        unknown = [c for c in names if c not in data.columns]
        if unknown:
            raise InputError(f"{option} names columns that are not in the table: {', '.join(map(repr, unknown))}")
    if target in ids:
        raise InputError(f"--id '{target}' is the target column")
    if len(set(ids)) != len(ids):
        raise InputError("--id names a column twice")
    predictors = [c for c in data.columns if c not in (target, weight) and c not in drop and c not in ids]
    if not predictors:
        raise InputError("the table has no predictor columns besides the target")
    # test_scores.csv holds the row, the identity columns, the target and the score side by side, and scoring
    # later puts the identity columns beside every output.
    outputs = {ROW, *output_columns(predictors)}
    for name in [target, *ids, *predictors]:
        if name in outputs:
            raise InputError(
                f"column '{name}' is named like an output column (row, score, reason_N, "
                "<predictor>_bin, <predictor>_points): rename it"
            )
    return predictors


def row_weights(data, weight):
    """The --weight column as numbers, refused in one line where it cannot weigh applicants."""
    if weight is None:
        return None
    import pandas as pd

    from ._checks import weights_of

    values = pd.to_numeric(data[weight], errors="coerce")
    bad_text = int((values.isna() & data[weight].notna()).sum())
    if bad_text:
        raise InputError(f"--weight column '{weight}' has {bad_text} values that are not numbers: fix or drop them")
    try:
        return weights_of(values.to_numpy(dtype=float), len(data))
    except InputError as e:
        raise InputError(str(e).replace("sample_weight", f"--weight column '{weight}'")) from None


def check_test_column(columns, test_column, target, ids, weight) -> None:
    if test_column is None:
        return
    if test_column not in columns:
        raise InputError(f"--test-column '{test_column}' is not in the table")
    if test_column == target or test_column == weight or test_column in ids:
        raise InputError(f"--test-column '{test_column}' is the target, the weight or an --id column")


def _benchmark_beside(sc, family, X_train, y_train, w_train, X_test, w_test, progress):
    """(on_bins, finish, close): the benchmark begun as soon as the card's bins are chosen, in a process of its own
    beside the card's training and saving (started now, so its imports are done by then); finish() gives it, or
    None without a benchmark; close() ends the process."""
    from . import _benchmark, _models

    if family is None:
        return None, lambda: None, lambda: None
    beside = None
    if not _benchmark.own(sc, family):
        from ._benchmark_process import Beside

        beside = Beside(["tessaly._benchmark", *_models.FAMILIES[family].packages])
    started = []

    def on_bins(binnings):
        started.append(
            _benchmark.start(
                sc,
                family,
                X_train,
                y_train,
                w_train,
                binnings=binnings,
                shap_data=X_test,
                shap_weight=w_test,
                progress=progress,
                beside=beside,
            )
        )

    return on_bins, lambda: started[0]() if started else None, beside.close if beside else lambda: None


def _test_scores(stage, sc, test, predictors, ids, target, y_test, test_idx, strict) -> dict:
    """test_scores.csv: each test applicant's row, identity columns, outcome and score; returns the unseen values."""
    scored, unseen = sc.card_.apply(test[predictors])
    faults = describe_unseen(unseen)
    if strict and faults:
        raise InputError(f"--strict: the test split holds values the card has never seen: {', '.join(faults)}")
    test_scores = test[ids].reset_index(drop=True)
    test_scores.insert(0, ROW, test_idx)
    test_scores[target] = y_test  # 1 for bad, as the report counts
    test_scores["score"] = scored["score"].to_numpy()
    write_frame(test_scores, stage / "test_scores.csv")
    return unseen


def _save_fine(stage, sc, parts, y, w, **settings) -> None:
    """fine_classes.json: the classes the card's bins were grouped from, counted on both parts, to edit later."""
    from . import _fine_classes

    _fine_classes.save(stage, _fine_classes.fine_classes(sc, *parts, *y, *w, **settings))


def _prepare(source, target, params, test_size, drop, ids, weight, test_column, rejects=None):
    """The unfitted estimator, the predictors, the outcomes and the two parts with their weights; the rejects
    (`_rejects.Given`) leave `data` first where they are rows of it."""
    from ._scorecard import Scorecard, encode_target
    from .fairness.measures import check_protected, groups_of

    sc = Scorecard(**(params or {}))
    sc._check_params()  # a bad option fails before the split, in the estimator's words
    protected = list(sc.protected or ())
    if set(protected) & set(drop):  # read_table leaves dropped columns unread: say why, not "not in the table"
        check_protected(protected, protected, drop=drop)
    data = source if not isinstance(source, (str, Path)) else read_table(source, skip=drop)
    check_test_column(data.columns, test_column, target, ids, weight)
    check_protected(protected, data.columns, target=target, ids=ids, weight=weight, test_column=test_column)
    for column in protected:  # values rather than groups fail before the fit, not after it
        groups_of(data[column], column)
    if rejects is not None:
        data = rejects.split(data, target, weight)
    not_predictors = (test_column, *(() if rejects is None else rejects.columns))
    # A protected column is measured, never a predictor, even where it would rank well.
    predictors = [
        p for p in predictor_columns(data, target, [*drop, *protected], ids, weight) if p not in not_predictors
    ]
    w = row_weights(data, weight)

    y_bad, _ = encode_target(data[target].rename(target), sc.bad)
    train_idx, test_idx = (
        split_parts(data, y_bad, test_size, sc.seed) if test_column is None else test_part(data, test_column, y_bad)
    )
    w_train, w_test = (None, None) if w is None else (w[train_idx], w[test_idx])
    split = split_record(
        test_column=test_column,
        seed=sc.seed,
        test_size=test_size,
        parts=None if test_column is not None else (data[[*predictors, target]], train_idx, test_idx),
    )
    train, test = data.iloc[train_idx], data.iloc[test_idx]
    return sc, predictors, y_bad, train_idx, test_idx, train, test, w_train, w_test, split


def _given(rejects, rejected, reject_outcome, test_size, test_column):
    """The rejects as given, or None without them."""
    if rejects is None and rejected is None:
        if reject_outcome is not None:
            raise InputError("--reject-outcome names a column of the rejects: give --rejects or --rejected too")
        return None
    from .rejects.given import Given

    return Given(rejects, rejected, reject_outcome, flags=test_flags, split=(test_size, test_column))


def _fit_card(sc, parts, predictors, target, weights, progress, on_bins, given) -> None:
    """The estimator fitted on the training part (the test part's applicants give the SHAP rows and the
    baseline's outcomes), by reject inference where rejects are given."""
    (train, test), (w_train, w_test) = parts, weights
    fitted = (train[predictors], train[target], w_train, test[predictors], w_test)
    test_part = (test[predictors], test[target], w_test)
    if given is None:
        sc._fit(*fitted, test_part, progress, on_bins=on_bins)
        return
    from .rejects import fit

    fit(sc, *fitted, test_part, progress, given.for_fit(sc.seed), on_bins=on_bins)
    sc.rejects_.notes.extend(given.notes)


def build(
    source,
    out,
    *,
    target,
    params=None,
    test_size=0.3,
    drop=(),
    ids=(),
    weight=None,
    strict=False,
    test_column=None,
    benchmark=BENCHMARK.default,
    rejects=None,
    rejected=None,
    reject_outcome=None,
    progress: Progress | None = None,
) -> dict:
    """Fit a Scorecard on a stratified training part and write its card directory to `out`.

    `rejects` (a table of rejected applicants) or `rejected` (a column true for the rejected rows), with
    `reject_outcome` (their outcomes known after all): the card is built by reject inference.

    `weight`: a column of sample weights (how many applicants each row stands for), used throughout.
    `test_column`: a column true for the test part (out-of-time validation: true after a cut-off date), no
    predictor; without it the test part is a stratified `test_size` share.
    `benchmark`: the tree family fitted beside the card on its bins and training rows ("none": none).
    """
    from . import _benchmark

    progress = progress or Progress(quiet=True)
    check_card_out(out)  # before any long work; checked again when the card moves in
    family = _benchmark.check(benchmark)
    ids = list(ids)
    given = _given(rejects, rejected, reject_outcome, test_size, test_column)
    sc, predictors, y_bad, train_idx, test_idx, train, test, w_train, w_test, split = _prepare(
        source, target, params, test_size, list(drop), ids, weight, test_column, given
    )
    from . import _report

    on_bins, finish, close = _benchmark_beside(
        sc, family, train[predictors], train[target], w_train, test[predictors], w_test, progress
    )
    try:
        with staged_card(out, check=loads) as stage:
            _fit_card(sc, (train, test), predictors, target, (w_train, w_test), progress, on_bins, given)
            progress.step("saving the card")
            sc.save_into(stage, split=split)
            y_parts = (y_bad[train_idx], y_bad[test_idx])
            _save_fine(
                stage, sc, (train, test), y_parts, (w_train, w_test), test_size=test_size, weight=weight, ids=ids
            )
            unseen = _test_scores(stage, sc, test, predictors, ids, target, y_bad[test_idx], test_idx, strict)
            bench = finish()
            _benchmark.save(bench, stage)
            progress.step("writing the report")
            metrics = sc.report(
                stage / "report.html",
                test[[*predictors, *(sc.protected or ())]],
                test[target],
                sample_weight=w_test,
                challenger=(train[predictors], train[target], w_train),
                benchmark=bench,
            )
            _report.write_metrics(stage / "metrics.json", metrics)
    finally:
        close()
    out = Path(out)
    return {
        "out": out,
        "scorecard": sc,
        "metrics": metrics,
        "report": out / "report.html",
        "test_rows": test_idx,
        "unseen": unseen,
    }
