"""From a table of applicants to a saved, validated scorecard."""

from __future__ import annotations

import contextlib
import io
import logging
import os
import shutil
import tempfile
import warnings
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np
import pandas as pd

from . import _binning
from ._card import Card
from ._errors import InputError
from ._progress import Progress

MODELS = {"xgb": "xgb", "rf": "rf", "catboost": "catboost"}  # model -> SHAP technique
MODEL_NAME = "model"
TRENDS = ("auto", "auto_heuristic", "auto_asc_desc", "ascending", "descending", "concave", "convex",
          "peak", "valley", "peak_heuristic", "valley_heuristic", "none")


@dataclass
class BuildOptions:
    target: str
    model: str = "xgb"
    test_size: float = 0.3
    seed: int = 42
    trees: int = 100
    max_bins: int = _binning.MAX_BINS
    monotonic_trend: str = "auto"
    special_codes: list = field(default_factory=list)
    drop: list = field(default_factory=list)
    bad: str | None = None
    pdo: int = 20
    target_score: int = 200
    target_odds: int = 15
    resort: bool = False


def read_table(path) -> pd.DataFrame:
    path = Path(path)
    try:
        if path.suffix.lower() in (".parquet", ".pq"):
            data = pd.read_parquet(path)
        else:
            data = pd.read_csv(path)
    except FileNotFoundError:
        raise InputError(f"cannot read '{path}': no such file") from None
    except IsADirectoryError:
        raise InputError(f"cannot read '{path}': it is a directory") from None
    except PermissionError:
        raise InputError(f"cannot read '{path}': permission denied") from None
    except (ValueError, UnicodeDecodeError, OSError, pd.errors.ParserError, pd.errors.EmptyDataError) as e:
        reason = str(e).strip().splitlines()[0] if str(e).strip() else type(e).__name__
        raise InputError(f"cannot read '{path}': {reason}") from None
    if data.empty:
        raise InputError(f"'{path}' has no applicants")
    return data


def encode_target(data: pd.DataFrame, target: str, bad=None) -> tuple[np.ndarray, object]:
    """1 for a bad applicant, 0 for a good one, and the value that means bad."""
    if target not in data.columns:
        raise InputError(f"target column '{target}' is not in the table")
    column = data[target]
    if column.isna().any():
        raise InputError(f"target column '{target}' has {int(column.isna().sum())} missing values")
    values = list(pd.unique(column))
    if len(values) != 2:
        raise InputError(f"target column '{target}' is not binary: it has {len(values)} distinct values")
    if bad is not None:
        matches = [v for v in values if str(v) == str(bad)]
        if not matches:
            raise InputError(f"--bad {bad!r} is not a value of '{target}' ({values[0]!r}, {values[1]!r})")
        bad_value = matches[0]
    elif all(isinstance(v, (bool, np.bool_)) for v in values) or {str(v) for v in values} in ({"0", "1"}, {"0.0", "1.0"}):
        bad_value = next(v for v in values if str(v) in ("1", "1.0", "True"))
    elif any(str(v).strip().lower() == "bad" for v in values):
        bad_value = next(v for v in values if str(v).strip().lower() == "bad")
    else:
        raise InputError(f"cannot tell which value of '{target}' means bad ({values[0]!r} or {values[1]!r}): name it with --bad")
    return (column == bad_value).to_numpy().astype(int), bad_value


def train_model(kind: str, X: pd.DataFrame, y: np.ndarray, trees: int, seed: int):
    if kind == "xgb":
        from xgboost import XGBClassifier

        model = XGBClassifier(n_estimators=trees, max_depth=3, learning_rate=0.1, random_state=seed, n_jobs=2)
    elif kind == "rf":
        from sklearn.ensemble import RandomForestClassifier

        model = RandomForestClassifier(n_estimators=trees, max_depth=6, min_samples_leaf=5, random_state=seed, n_jobs=2)
    elif kind == "catboost":
        from catboost import CatBoostClassifier

        model = CatBoostClassifier(
            iterations=trees, depth=4, random_seed=seed, verbose=False, allow_writing_files=False, thread_count=2
        )
    else:
        raise InputError(f"unknown model '{kind}' (choose from {', '.join(MODELS)})")
    model.fit(X, y)
    return model


def validation(y_bad: np.ndarray, score: np.ndarray) -> dict:
    """AUC, Gini and KS of the total score; a higher score means a better applicant."""
    from sklearn.metrics import roc_auc_score, roc_curve

    auc = float(roc_auc_score(y_bad, -score))
    fpr, tpr, _ = roc_curve(y_bad, -score)
    return {"auc": auc, "gini": 2 * auc - 1, "ks": float(np.max(tpr - fpr)), "n": int(len(y_bad)), "bad": int(y_bad.sum())}


class _Charts:
    """A plotly renderer that keeps the figures shown to it."""

    def __init__(self, on_figure=None):
        from plotly.io._base_renderers import ExternalRenderer

        charts = self

        class Keep(ExternalRenderer):
            def render(self, fig_dict):
                charts.figures.append(fig_dict)
                if charts.on_figure:
                    charts.on_figure(len(charts.figures))

        self.figures: list[dict] = []
        self.on_figure = on_figure
        self.renderer = Keep()

    @contextlib.contextmanager
    def collecting(self):
        import plotly.io as pio

        pio.renderers["tessaly"] = self.renderer
        previous = pio.renderers.default
        pio.renderers.default = "tessaly"
        try:
            yield self
        finally:
            pio.renderers.default = previous


@contextlib.contextmanager
def _quiet_logger(name: str):
    # shap logs its background subsampling as a warning on every build.
    logger = logging.getLogger(name)
    level = logger.level
    logger.setLevel(logging.ERROR)
    try:
        yield
    finally:
        logger.setLevel(level)


def _check_out(out: Path) -> None:
    if out.exists() and not out.is_dir():
        raise InputError(f"output '{out}' is a file, not a directory")
    parent = out.resolve().parent
    if parent.exists() and not parent.is_dir():
        raise InputError(f"output '{out}' is inside '{parent}', which is a file")


@contextlib.contextmanager
def staged(out: Path):
    """A sibling directory to build in, moved onto `out` only if the build succeeds."""
    out = Path(out)
    _check_out(out)
    parent = out.resolve().parent
    try:
        parent.mkdir(parents=True, exist_ok=True)
    except OSError as e:
        raise InputError(f"cannot create '{parent}': {e.strerror}") from None
    stage = Path(tempfile.mkdtemp(prefix=f".{out.name}.", suffix=".tmp", dir=parent))
    try:
        yield stage
    except BaseException:
        shutil.rmtree(stage, ignore_errors=True)
        raise
    old = None
    if out.exists():
        old = Path(tempfile.mkdtemp(prefix=f".{out.name}.", suffix=".old", dir=parent))
        os.rmdir(old)
        os.rename(out, old)
    os.rename(stage, out)
    if old is not None:
        shutil.rmtree(old, ignore_errors=True)


def build(source, out, options: BuildOptions, progress: Progress | None = None) -> dict:
    progress = progress or Progress(quiet=True)
    out = Path(out)
    if options.model not in MODELS:
        raise InputError(f"unknown model '{options.model}' (choose from {', '.join(MODELS)})")
    if not 0 < options.test_size < 1:
        raise InputError(f"--test-size must lie between 0 and 1, not {options.test_size}")
    if options.monotonic_trend not in TRENDS:
        raise InputError(f"unknown monotonic trend '{options.monotonic_trend}' (choose from {', '.join(TRENDS)})")
    if not 2 <= options.max_bins <= _binning.MAX_BINS:
        raise InputError(f"--max-bins must lie between 2 and {_binning.MAX_BINS}, not {options.max_bins}")
    _check_out(out)

    data = source if isinstance(source, pd.DataFrame) else read_table(source)
    y, bad_value = encode_target(data, options.target, options.bad)
    unknown = [c for c in options.drop if c not in data.columns]
    if unknown:
        raise InputError(f"--drop names columns that are not in the table: {', '.join(unknown)}")
    predictors = [c for c in data.columns if c != options.target and c not in options.drop]
    if not predictors:
        raise InputError("the table has no predictor columns besides the target")
    for p in predictors:
        if not isinstance(p, str) or any(c in p for c in "/[]<") or p.endswith("_RF"):
            raise InputError(f"predictor name {p!r} cannot be used: rename the column")

    from sklearn.model_selection import train_test_split

    try:
        train_idx, test_idx = train_test_split(
            np.arange(len(data)), test_size=options.test_size, stratify=y, random_state=options.seed
        )
    except ValueError as e:
        raise InputError(f"cannot split {len(data)} applicants into train and test: {e}") from None
    train, test = data.iloc[train_idx], data.iloc[test_idx]
    y_train, y_test = y[train_idx], y[test_idx]

    with staged(out) as stage, warnings.catch_warnings():
        warnings.simplefilter("ignore")
        binnings = []
        for i, p in enumerate(predictors):
            progress.count("binning predictors", i, len(predictors))
            binnings.append(
                _binning.fit_predictor(
                    p, train[p], y_train,
                    monotonic_trend=options.monotonic_trend,
                    special_codes=options.special_codes,
                    max_bins=options.max_bins,
                )
            )
        progress.count("binning predictors", len(predictors), len(predictors))
        # A predictor whose bins all lie on one side of WoE 0 does not separate good from bad; the
        # card scales each predictor's coefficients to a common magnitude, so it would only add noise.
        flat = [b.name for b in binnings if (b.table["WoE"] < 0).all() or (b.table["WoE"] >= 0).all()]
        if len(flat) == len(binnings):
            raise InputError("no predictor separates good from bad applicants")
        for name in flat:
            progress.note(f"left out '{name}': no split separates good from bad")
        binnings = [b for b in binnings if b.name not in flat]

        bins_dir = stage / "bins"
        bins_dir.mkdir()
        for b in binnings:
            b.table.to_pickle(bins_dir / f"{b.name}.pkl")

        X_train = _binning.one_hot(binnings, train)
        X_test = _binning.one_hot(binnings, test)
        training_df = _binning.binned(binnings, train)
        training_df[options.target] = y_train
        reference = _binning.reference_table(binnings)

        progress.step(f"training {options.model} on {len(train)} applicants ({X_train.shape[1]} features)")
        model = train_model(options.model, X_train, y_train, options.trees, options.seed)

        progress.step("SHAP values and scorecard")
        charts = _Charts(on_figure=lambda n: progress.count("charts", n, len(binnings)))
        scorecard_dir, model_dir, plots_dir = stage / "scorecard", stage / "model", stage / "plots"
        from tessaly import quillvane

        with charts.collecting(), contextlib.redirect_stdout(io.StringIO()), _quiet_logger("shap"):
            scorecard = quillvane.createQuillvane(
                model, training_df, X_test, reference, str(bins_dir),
                show_warnings="Y",
                show_plots="Y",
                target_var=options.target,
                pdo_parm=int(options.pdo),
                target_credit_score=int(options.target_score),
                target_odds=int(options.target_odds),
                model_name=MODEL_NAME,
                assume_higher_prob_bad_rate=0 if options.resort else 1,
                technique=MODELS[options.model],
                plots_directory=str(plots_dir),
                scorecard_directory=str(scorecard_dir),
                model_directory=str(model_dir),
            )

        progress.step("saving the card")
        card = Card.from_scorecard(
            scorecard, binnings,
            target=options.target, bad=bad_value, model=options.model,
            scaling={"pdo": options.pdo, "target_score": options.target_score, "target_odds": options.target_odds,
                     "resort": options.resort},
        )
        card.save(stage)

        scored = card.score(test)
        test_scores = pd.DataFrame({"row": test_idx, options.target: y_test, "score": scored["score"].to_numpy()})
        test_scores.to_csv(stage / "test_scores.csv", index=False)
        metrics = validation(y_test, scored["score"].to_numpy())

        progress.step("writing the report")
        from . import _report

        _report.write(stage / "report.html", card, scorecard, charts.figures, metrics, test_scores, options)
    return {"out": out, "card": card, "metrics": metrics, "report": out / "report.html", "test_rows": test_idx}
