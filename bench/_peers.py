"""toad's and scorecardpy's logistic-regression cards on given train/test splits, in an environment of their own.

scorecardpy needs pandas below 3 and .venv has pandas 3, so the peers live in a second virtual environment and
run as a child process: the benchmark writes the table (CSV, outcome in column __bad__, 1 = bad) and the split
indices (JSON), and this file, run with that environment's Python, answers with one JSON object of test AUCs.
Create the environment once (the same Python as .venv's base; setuptools below 81 for scorecardpy's
pkg_resources):

    PY=$(.venv/bin/python -c "import sys; print(sys.base_prefix)")/bin/python3.13
    $PY -m venv /tmp/peers-venv
    /tmp/peers-venv/bin/pip install toad scorecardpy "pandas<3" scikit-learn numpy "setuptools<81"

Each peer runs two pipelines, with its own default settings throughout:
  plain   binning, WoE, logistic regression, points (what every card has; no predictor dropped);
  readme  the pipeline of the peer's own quick start, with its predictor selection:
          toad: select (empty 0.5, IV 0.05, correlation 0.7), chi-square bins (min_samples 0.05), WoE,
                stepwise (OLS, both directions, AIC), ScoreCard(C=0.1, class_weight="balanced");
          scorecardpy: var_filter, woebin, LogisticRegression(penalty="l1", C=0.9, solver="liblinear"),
                scorecard.
  plain uses the same binning as readme; plain's regression is the library's default (toad: ScoreCard's
  LogisticRegression(); scorecardpy: the quick start's L1 regression, which it has no other default for).
  toad bins with method "dt" instead of "chi" on 50,000 training rows or more, or where "chi" fails
  (see CHI_ROWS).
A pipeline that fails on a split gets a NaN AUC and its error under "errors"; the others go on.
The test AUC is that of the card's total score (higher is better), as a deployed card would rank applicants.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

VENV = Path(os.environ.get("TESSALY_PEERS_VENV", "/tmp/peers-venv"))
PEERS = ("toad", "scorecardpy")
PIPELINES = ("plain", "readme")
TARGET = "__bad__"
# toad's chi-square merging starts from every distinct value: about a minute per numerical column at 140,000
# rows. Above this many training rows, or where chi-square merging fails (it does on the generated set's n08:
# "bins must be monotonically increasing"), toad bins with its decision tree instead.
CHI_ROWS = 50_000


# -- the benchmark's side (.venv) ---------------------------------------------------------------------------------


def available() -> str | None:
    """None when the peers' environment answers, else why not."""
    python = VENV / "bin" / "python"
    if not python.exists():
        return f"no {python}; create it as the docstring of bench/_peers.py says"
    probe = subprocess.run(
        [str(python), "-W", "ignore", "-c", "import toad, scorecardpy"], capture_output=True, text=True
    )
    if probe.returncode != 0:
        return f"{python} cannot import toad and scorecardpy: {probe.stderr.strip().splitlines()[-1:]}"
    return None


def run(X, y_bad, splits, *, peers=PEERS, pipelines=PIPELINES, timeout=3600) -> dict:
    """{peer: {pipeline: {"auc": [per split], "seconds": [per split], "errors": [...] if any}}} for `splits`, a
    list of (train, test) row positions of X."""
    import numpy as np

    with tempfile.TemporaryDirectory(prefix="tessaly-peers-") as tmp:
        data = X.reset_index(drop=True).copy()
        data[TARGET] = np.asarray(y_bad).astype(int)
        data.to_csv(Path(tmp) / "data.csv", index=False)
        (Path(tmp) / "splits.json").write_text(
            json.dumps([[np.asarray(a).tolist(), np.asarray(b).tolist()] for a, b in splits])
        )
        done = subprocess.run(
            [
                str(VENV / "bin" / "python"),
                "-W",
                "ignore",
                os.path.abspath(__file__),
                tmp,
                ",".join(peers),
                ",".join(pipelines),
            ],
            stdout=subprocess.PIPE,
            text=True,
            timeout=timeout,
        )  # progress on stderr
        if done.returncode != 0:
            raise RuntimeError(f"the peers' run failed with exit code {done.returncode} (its error above)")
        found = json.loads(done.stdout.strip().splitlines()[-1])
    for by_pipeline in found.values():
        for result in by_pipeline.values():
            result["auc"] = [float("nan") if a is None else a for a in result["auc"]]
    return found


# -- the peers' side (/tmp/peers-venv) -----------------------------------------------------------------------------


def _toad(train, test, pipeline):
    import numpy as np
    import toad

    if pipeline == "readme":
        train = toad.selection.select(train, target=TARGET, empty=0.5, iv=0.05, corr=0.7)
    combiner = toad.transform.Combiner()
    try:
        combiner.fit(train, y=TARGET, method="chi" if len(train) < CHI_ROWS else "dt", min_samples=0.05)
    except ValueError:
        combiner = toad.transform.Combiner()
        combiner.fit(train, y=TARGET, method="dt", min_samples=0.05)
    transer = toad.transform.WOETransformer()
    woe = transer.fit_transform(combiner.transform(train), train[TARGET], exclude=[TARGET])
    if pipeline == "readme":
        woe = toad.selection.stepwise(woe, target=TARGET, estimator="ols", direction="both", criterion="aic")
        card = toad.ScoreCard(combiner=combiner, transer=transer, C=0.1, class_weight="balanced")
    else:
        card = toad.ScoreCard(combiner=combiner, transer=transer)
    columns = [c for c in woe.columns if c != TARGET]
    card.fit(woe[columns], woe[TARGET])
    return np.asarray(card.predict(test[columns]), dtype=float)


def _scorecardpy(train, test, pipeline):
    import numpy as np
    import scorecardpy as sc
    from sklearn.linear_model import LogisticRegression

    if pipeline == "readme":
        train = sc.var_filter(train, y=TARGET)
        test = test[train.columns]
    bins = sc.woebin(train, y=TARGET)
    woe = sc.woebin_ply(train, bins)
    columns = [c for c in woe.columns if c != TARGET]
    model = LogisticRegression(penalty="l1", C=0.9, solver="liblinear").fit(woe[columns], woe[TARGET])
    card = sc.scorecard(bins, model, columns)
    return np.asarray(sc.scorecard_ply(test, card, only_total_score=True)["score"], dtype=float)


def _serve(folder, peers, pipelines):
    import contextlib
    import io
    import warnings

    import pandas as pd
    from sklearn.metrics import roc_auc_score

    folder = Path(folder)
    data = pd.read_csv(folder / "data.csv")
    splits = json.loads((folder / "splits.json").read_text())
    runners = {"toad": _toad, "scorecardpy": _scorecardpy}
    out = {p: {k: {"auc": [], "seconds": []} for k in pipelines} for p in peers}
    for i, (train_idx, test_idx) in enumerate(splits):
        train = data.iloc[train_idx].reset_index(drop=True)
        test = data.iloc[test_idx].reset_index(drop=True)
        for peer in peers:
            for pipeline in pipelines:
                start = time.perf_counter()
                try:
                    # Both print progress and warn freely; only the answer goes to stdout.
                    with warnings.catch_warnings(), contextlib.redirect_stdout(io.StringIO()):
                        warnings.simplefilter("ignore")
                        score = runners[peer](train.copy(), test.copy(), pipeline)
                    auc = float(roc_auc_score(test[TARGET], -score))  # a higher score means a better applicant
                except Exception as e:  # a peer's own failure is a finding, not the end of the run
                    auc = None
                    out[peer][pipeline].setdefault("errors", []).append(f"split {i}: {type(e).__name__}: {e}")
                seconds = time.perf_counter() - start
                out[peer][pipeline]["auc"].append(auc)
                out[peer][pipeline]["seconds"].append(seconds)
                print(f"  split {i}: {peer} {pipeline} AUC {auc} ({seconds:.1f} s)", file=sys.stderr, flush=True)
    print(json.dumps(out))


if __name__ == "__main__":
    _serve(sys.argv[1], sys.argv[2].split(","), sys.argv[3].split(","))
