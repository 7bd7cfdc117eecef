"""Input checks: frames, targets, weights and column names, each refused in one line that names the fix.

Nothing of tessaly but its errors below it, so that every layer may call it; numpy and pandas load on first use.
"""

from __future__ import annotations

import re
from typing import TYPE_CHECKING

from ._errors import InputError

if TYPE_CHECKING:
    import numpy as np
    import pandas as pd

# Beyond this, the names fill whole screens and no file system takes them.
LONGEST_NAME = 200


def frame(X, what="X") -> pd.DataFrame:
    import pandas as pd

    if not isinstance(X, pd.DataFrame):
        raise InputError(f"{what} must be a pandas DataFrame of applicants, one column per predictor, "
                         f"not {type(X).__name__}")
    return X


def outcome(y):
    """A one-column frame is a column; anything wider is refused."""
    import numpy as np
    import pandas as pd

    if isinstance(y, pd.DataFrame):
        if y.shape[1] != 1:
            raise InputError(f"y must be one column of outcomes, not a table of {y.shape[1]} columns")
        return y.iloc[:, 0]
    if isinstance(y, np.ndarray) and y.ndim > 1:
        if y.ndim != 2 or y.shape[1] != 1:
            raise InputError(f"y must be one column of outcomes, not an array of shape {y.shape}")
        return y[:, 0]
    return y


def encode_target(y, bad=None) -> tuple[np.ndarray, object]:
    """1 for a bad applicant, 0 for a good one, and the value that means bad.

    Values are compared by meaning (1, 1.0 and "1" are one value), as the card compares predictors.
    """
    import pandas as pd

    from ._values import canonical

    column = pd.Series(y).reset_index(drop=True)
    name = column.name if column.name is not None else "target"
    if column.isna().any():
        raise InputError(f"target column '{name}' has {int(column.isna().sum())} missing values")
    values = list(pd.unique(column))
    if len(values) != 2:
        raise InputError(f"target column '{name}' is not binary: it has {len(values)} distinct values")
    keys = list(canonical(pd.Series(values, dtype=object)))
    if bad is not None:
        want = canonical(pd.Series([bad], dtype=object))[0]
        matches = [v for v, k in zip(values, keys) if k == want or str(v) == str(bad)]
        if not matches:
            raise InputError(f"bad value {bad!r} is not a value of '{name}' ({values[0]!r}, {values[1]!r})")
        bad_value = matches[0]
    elif set(keys) in ({"0", "1"}, {"False", "True"}):
        bad_value = values[keys.index("1" if "1" in keys else "True")]
    elif any(str(v).strip().lower() == "bad" for v in values):
        bad_value = next(v for v in values if str(v).strip().lower() == "bad")
    else:
        raise InputError(f"cannot tell which value of '{name}' means bad ({values[0]!r} or {values[1]!r}): name it "
                         "with bad= (--bad on the command line)")
    return (column == bad_value).to_numpy().astype(int), bad_value


def weights_of(weights, n: int):
    """Sample weights as floats, or None for unweighted; refused in one line where no figure could use them."""
    import numpy as np

    if weights is None:
        return None
    w = np.asarray(weights, dtype=float).reshape(-1)
    if w.shape != (n,):
        raise InputError(f"sample_weight has {w.size} values for {n} applicants: give one weight per applicant")
    if np.isnan(w).any():
        raise InputError(f"sample_weight has {int(np.isnan(w).sum())} missing values: give every applicant a weight")
    if not np.isfinite(w).all() or (w < 0).any():
        raise InputError("sample_weight has negative or infinite values: weights are counts of applicants, 0 or more")
    if not (w > 0).any():
        raise InputError("sample_weight is zero for every applicant: at least one must count")
    return w


def check_columns(data, names, who="the applicants lack") -> None:
    """A one-line refusal of a table that lacks some of the named predictor columns."""
    columns = getattr(data, "columns", data)
    absent = [p for p in names if p not in columns]
    if absent:
        raise InputError(f"{who} the predictor column{'s' * (len(absent) > 1)} {', '.join(map(repr, absent))}")


def check_names(predictors, target, outputs) -> None:
    """Predictor and target names that the models, the card and its `outputs` can carry."""
    for p in [*predictors, target]:
        if not isinstance(p, str) or not p or "\0" in p or len(p) > LONGEST_NAME or any(c in p for c in "/[]<") \
                or p.endswith("_RF") or p != p.strip():
            shown = repr(p)[:60] + ("..." if len(repr(p)) > 60 else "")
            raise InputError(f"column name {shown} cannot be used (it must be text of 1-{LONGEST_NAME} characters "
                             "without '/', '[', ']', '<', NUL or outer spaces, not ending in '_RF'): rename the column")
    if len(set(predictors)) != len(predictors):
        twice = next(p for p in predictors if predictors.count(p) > 1)
        raise InputError(f"X has two columns named '{twice}': rename one")
    if target in predictors:
        raise InputError(f"the target '{target}' is also a column of X: drop it from X, or name y differently")
    outputs = set(outputs)
    clash = [p for p in [*predictors, target] if p in outputs]
    if clash:
        raise InputError(f"column '{clash[0]}' is named like an output column (score, reason_N, <predictor>_bin, "
                         "<predictor>_points): rename it")


def check_ids(ids, outputs) -> list[str]:
    """Columns passed through beside the `outputs`: none named like one of them, none twice."""
    ids = list(ids)
    produced = set(outputs)
    clash = [i for i in ids if i in produced] or [i for i in ids if ids.count(i) > 1]
    if clash:
        raise InputError(f"--id column {clash[0]!r} is named like an output column or given twice: "
                         "rename it in the table")
    return ids


def check_header(names, path) -> None:
    """Column names a table file may have: no control characters, no duplicates."""
    seen = set()
    for name in names:
        if not isinstance(name, str):
            continue
        if re.search(r"[\x00-\x1f\x7f]", name):
            raise InputError(f"'{path}' has a column name with a control character ({name[:40]!r}): rename it")
        if name in seen:
            raise InputError(f"'{path}' has two columns named {name[:80]!r}: rename one")
        seen.add(name)
