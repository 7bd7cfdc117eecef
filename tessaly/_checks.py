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
        raise InputError(
            f"{what} must be a pandas DataFrame of applicants, one column per predictor, not {type(X).__name__}"
        )
    return X


def no_containers(X: pd.DataFrame) -> None:
    """Refuse a column holding lists, dicts or arrays: no bin can hold them, and hashing them fails deep inside."""
    import numpy as np
    import pandas as pd

    for name in X.columns:
        column = X[name]
        # A column of plain values infers as one kind; lists, dicts and their mixtures infer as "mixed".
        if column.dtype == object and pd.api.types.infer_dtype(column, skipna=True) == "mixed":
            kinds = column.map(type, na_action="ignore")
            held = kinds.isin([list, tuple, dict, set, np.ndarray])
            if held.any():
                raise InputError(
                    f"column '{name}' holds {kinds[held].iloc[0].__name__} values: a predictor holds "
                    "one number or text per applicant; flatten it or drop the column"
                )


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
        raise InputError(
            f"cannot tell which value of '{name}' means bad ({values[0]!r} or {values[1]!r}): name it "
            "with bad= (--bad on the command line)"
        )
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
        if (
            not isinstance(p, str)
            or not p
            or "\0" in p
            or len(p) > LONGEST_NAME
            or any(c in p for c in "/[]<")
            or p.endswith("_RF")
            or p != p.strip()
        ):
            shown = repr(p)[:60] + ("..." if len(repr(p)) > 60 else "")
            raise InputError(
                f"column name {shown} cannot be used (it must be text of 1-{LONGEST_NAME} characters "
                "without '/', '[', ']', '<', NUL or outer spaces, not ending in '_RF'): rename the column"
            )
    if len(set(predictors)) != len(predictors):
        twice = next(p for p in predictors if predictors.count(p) > 1)
        raise InputError(f"X has two columns named '{twice}': rename one")
    if target in predictors:
        raise InputError(f"the target '{target}' is also a column of X: drop it from X, or name y differently")
    outputs = set(outputs)
    clash = [p for p in [*predictors, target] if p in outputs]
    if clash:
        raise InputError(
            f"column '{clash[0]}' is named like an output column (score, reason_N, <predictor>_bin, "
            "<predictor>_points): rename it"
        )


def check_ids(ids, outputs) -> list[str]:
    """Columns passed through beside the `outputs`: none named like one of them, none twice."""
    ids = list(ids)
    produced = set(outputs)
    clash = [i for i in ids if i in produced] or [i for i in ids if ids.count(i) > 1]
    if clash:
        raise InputError(
            f"--id column {clash[0]!r} is named like an output column or given twice: rename it in the table"
        )
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


def _check_group_value(name, value) -> None:
    """A category of a group set by hand: text, a number or true/false, one line where it is not."""
    import numpy as np

    if value is None:
        raise InputError(
            f"a group set by hand for '{name}' holds null: missing values get a bin of their own, "
            "leave null out of the groups"
        )
    if isinstance(value, (list, tuple, dict)):
        raise InputError(
            f"a group set by hand for '{name}' holds a list or object {str(value)[:40]}: a group is "
            "a flat list of values"
        )
    if isinstance(value, int) and not isinstance(value, bool) and abs(value) > 2**53:
        raise InputError(
            f"a group set by hand for '{name}' holds the integer {str(value)[:30]}, too large for a "
            "number to hold exactly: write it as text, in quotes"
        )
    if not isinstance(value, (str, int, float, np.integer, np.floating)):
        raise InputError(
            f"a group set by hand for '{name}' holds {type(value).__name__} {str(value)[:40]!r}: give text or numbers"
        )


def hand_splits(name, given, numerical: bool, present: np.ndarray) -> list:
    """Split points or groups of values set by hand, checked against the predictor; one line where they do not fit.
    Groups are checked in time linear in their values."""
    import numpy as np
    import pandas as pd

    from ._values import canonical

    given = list(given)
    groups = [isinstance(g, (list, tuple)) for g in given]
    if numerical:
        if any(groups):
            raise InputError(f"'{name}' is numerical: set its bins by hand as split points, e.g. [25, 35, 50]")
        try:
            x = pd.to_numeric(pd.Series(given, dtype=object), errors="coerce").to_numpy(dtype=float)
        except OverflowError:  # an integer beyond any float
            x = np.full(len(given), np.nan)
        if not np.isfinite(x).all() or any(isinstance(v, bool) for v in given):
            raise InputError(f"the split points set by hand for '{name}' must be finite numbers, not {given!r}"[:300])
        if not (np.diff(x) > 0).all():
            raise InputError(
                f"the split points set by hand for '{name}' must be ascending without repeats: {given!r}"[:300]
            )
        return [float(v) for v in x]
    if not given or not all(groups) or not all(len(g) for g in given):
        raise InputError(
            f'\'{name}\' is categorical: set its bins by hand as groups of values, e.g. [["own"], ["rent", "free"]]'
        )
    for value in (v for g in given for v in g):
        _check_group_value(name, value)
    keyed = [list(canonical(pd.Series(list(g), dtype=object))) for g in given]
    if any(k is None for g in keyed for k in g):
        _check_group_value(name, None)  # NaN given from Python reads as missing, as null does
    flat = pd.Series([k for g in keyed for k in g], dtype=object)
    twice = flat[flat.duplicated()]  # hashed once each: linear in the number of categories
    if len(twice):
        raise InputError(f"the value {twice.iloc[0]!r} of '{name}' is in two groups set by hand: keep it in one")
    left = sorted(set(present.astype(str)) - set(flat))
    if left:
        raise InputError(
            f"'{name}' holds {len(left)} value{'s' * (len(left) > 1)} in no group set by hand "
            f"({', '.join(map(repr, left[:3]))}{', ...' if len(left) > 3 else ''}): add them to a group"
        )
    return keyed


def check_training(X, y, *, outputs, bad=None, bins=None, shap_data=None):
    """The training table with a fresh index, y as 1 bad / 0 good, the bad value, the target's name and the two
    outcome values (sorted; bad second where they cannot be). `outputs(predictors)`: the columns scoring adds."""
    import numpy as np
    import pandas as pd

    X = frame(X)
    y = outcome(y)
    if len(X) != len(y):
        raise InputError(f"X has {len(X)} applicants but y has {len(y)} outcomes")
    y_bad, bad_value = encode_target(y, bad)
    target = getattr(y, "name", None)
    target = "target" if target is None else target
    predictors = list(X.columns)
    if not predictors:
        raise InputError("the table has no predictor columns besides the target")
    check_names(predictors, target, outputs(predictors))
    no_containers(X)
    crosses = {k: v["cross"] for k, v in (bins or {}).items() if isinstance(v, dict) and "cross" in v}
    for name, pair in crosses.items():
        strangers = [p for p in pair if p not in predictors]
        if strangers:
            raise InputError(
                f"bins (--bins) name the cross {name!r} of {', '.join(map(repr, strangers))}, which "
                f"{'is' if len(strangers) == 1 else 'are'} no predictor of X: check the names or remove the cross"
            )
    unknown = [p for p in (bins or {}) if p not in predictors and p not in crosses]
    if unknown:
        raise InputError(
            f"bins (--bins) are set by hand for {', '.join(map(repr, unknown[:3]))}, which "
            f"{'is' if len(unknown) == 1 else 'are'} no predictor of X: check the names"
        )
    if shap_data is not None:
        check_columns(getattr(shap_data, "columns", []), predictors, "shap_data lacks")
    values = list(pd.unique(pd.Series(y)))
    try:
        classes = np.array(sorted(values), dtype=object)
    except TypeError:  # values of two types: bad second, as sklearn's positive class
        classes = np.array([v for v in values if v != bad_value] + [bad_value], dtype=object)
    return X.reset_index(drop=True), y_bad, bad_value, target, classes


def check_test_part(test, bad_value) -> tuple:
    """A labelled test part (X_test, y_test) or (X_test, y_test, test_weight), y as 1 bad / 0 good."""
    if not isinstance(test, (tuple, list)) or len(test) not in (2, 3):
        raise InputError("test must be (X_test, y_test) or (X_test, y_test, test_weight)")
    X_test, y_test, *w = test
    X_test = frame(X_test, "X_test")
    y_test = encode_target(outcome(y_test), bad_value)[0]
    return X_test, y_test, weights_of(w[0] if w else None, len(X_test))
