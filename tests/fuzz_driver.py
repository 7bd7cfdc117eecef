"""Calls every function of the module with arbitrary arguments, in a child process.

Each call must return or raise an ordinary exception. Before each call the
arguments are written to the journal, so that when the process crashes the
parent can say which call did it. Prints a JSON summary of the outcomes.

Usage: python fuzz_driver.py JOURNAL EXAMPLES_PER_FUNCTION
"""

import contextlib
import io
import json
import os
import sys
from collections import Counter

import numpy as np
import pandas as pd
import plotly.io
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from tessaly import quillvane

plotly.io.renderers.default = "json"

SIGNATURES = {
    "count_zeros_before_non_zero": ["number"],
    "_validate_inputs": ["model_instance", "training_df", "X_test", "BINS_DIRECTORY", "target_var"],
    "_extract_shap_coefficients": ["model_instance", "X_test", "technique"],
    "_merge_woe_data": ["LIST_BIN_VARS", "target_var", "shap_coefficients_df", "input_ref_df", "BINS_DIRECTORY"],
    "_calculate_credit_scores": [
        "final_coefficients_df",
        "LIST_BIN_VARS",
        "shap_base_value",
        "pdo",
        "target_credit_score",
        "target_odds",
        "assume_higher_prob_bad_rate",
    ],
    "_save_artifacts": ["credit_scores_df", "model_instance", "scorecard_directory", "model_directory", "model_name"],
    "_generate_plots": ["credit_scores_df", "LIST_BIN_VARS", "target_var", "plots_directory", "show_plots"],
    "createQuillvane": ["model", "training_df", "X_test", "input_ref_df", "BINS_DIRECTORY"],
}
GLOBALS = [
    "pd",
    "np",
    "shap",
    "os",
    "pickle",
    "go",
    "make_subplots",
    "warnings",
    "count_zeros_before_non_zero",
    "_validate_inputs",
    "_extract_shap_coefficients",
    "_merge_woe_data",
    "_calculate_credit_scores",
    "_save_artifacts",
    "_generate_plots",
]
OPTIONS = [
    "show_warnings",
    "show_plots",
    "target_var",
    "pdo_parm",
    "target_credit_score",
    "target_odds",
    "model_name",
    "assume_higher_prob_bad_rate",
    "technique",
    "plots_directory",
    "scorecard_directory",
    "model_directory",
]


class Text(str):
    pass


class Number(int):
    pass


class Items(list):
    pass


class Hostile:
    """Every protocol the module may touch either raises or answers with the wrong type."""

    def __init__(self, raises):
        self.raises = raises

    def _answer(self, wrong):
        if self.raises:
            raise RuntimeError("hostile")
        return wrong

    def __eq__(self, other):
        return self._answer(Hostile(True))

    def __ne__(self, other):
        return self._answer(Hostile(True))

    def __lt__(self, other):
        return self._answer(Hostile(True))

    def __ge__(self, other):
        return self._answer(Hostile(True))

    def __bool__(self):
        return self._answer("yes")

    def __float__(self):
        return self._answer("1.0")

    def __index__(self):
        return self._answer(1.5)

    def __len__(self):
        return self._answer(-1)

    def __iter__(self):
        return self._answer(42)

    def __getitem__(self, key):
        return self._answer(Hostile(self.raises))

    def __setitem__(self, key, value):
        self._answer(None)

    def __getattr__(self, name):
        if name.startswith("__"):
            raise AttributeError(name)
        return self._answer(Hostile(self.raises))

    def __call__(self, *args, **kwargs):
        return self._answer(Hostile(self.raises))

    def __hash__(self):
        return 1

    def __repr__(self):
        return f"Hostile(raises={self.raises})"


# Paths stay relative and inside the working directory of the child.
paths = st.text(alphabet="abc_-/.", min_size=0, max_size=6).filter(lambda p: not p.startswith("/") and ".." not in p)
names = st.sampled_from(
    [
        "age",
        "income",
        "target",
        "Bin",
        "WoE",
        "CreditScore",
        "predictor_variables",
        "feature",
        "coefficients",
        "predictor_var",
        "Distribution",
        "x_1",
        "",
    ]
)
frames = st.builds(
    lambda cols, rows, fill: pd.DataFrame({c: [fill] * rows for c in cols}),
    st.lists(names, max_size=5, unique=True),
    st.integers(0, 3),
    st.sampled_from([0.0, -1.5, np.inf, np.nan, "a", None, 1]),
)
scalars = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(-(2**70), 2**70),
    st.floats(allow_nan=True, allow_infinity=True),
    st.sampled_from(["Y", "N", "xgb", "rf", "catboost", "0.001"]),
    paths,
    names,
    st.builds(Text, names),
    st.builds(Number, st.integers(-5, 5)),
    st.sampled_from([np.float32(0.01), np.int64(3), np.float64(np.nan), np.array([1.0]), np.zeros((2, 2))]),
    st.builds(Hostile, st.booleans()),
)
values = st.recursive(
    st.one_of(scalars, frames),
    lambda inner: st.one_of(
        st.lists(inner, max_size=3),
        st.builds(Items, st.lists(inner, max_size=3)),
        st.tuples(inner, inner),
        st.dictionaries(names, inner, max_size=3),
    ),
    max_leaves=6,
)


# Values shaped like what each kind of parameter expects, so calls reach the bodies.
plausible = {
    "str": st.one_of(names, paths, st.sampled_from(["Y", "N", "xgb", "rf", "catboost"])),
    "int": st.integers(-3, 30),
    "list": st.lists(names, max_size=4),
    "float": st.floats(allow_nan=True, allow_infinity=True),
    "frame": frames,
}
KIND = {
    "BINS_DIRECTORY": "str",
    "target_var": "str",
    "technique": "str",
    "show_warnings": "str",
    "scorecard_directory": "str",
    "model_directory": "str",
    "model_name": "str",
    "plots_directory": "str",
    "show_plots": "str",
    "LIST_BIN_VARS": "list",
    "pdo": "int",
    "target_credit_score": "int",
    "target_odds": "int",
    "assume_higher_prob_bad_rate": "int",
    "number": "float",
    "shap_base_value": "float",
}


@st.composite
def calls(draw, function):
    params = SIGNATURES[function]
    if draw(st.integers(0, 3)) == 0:
        # Any shape at all: wrong counts, unknown and repeated keywords.
        args = draw(st.lists(values, min_size=0, max_size=len(params) + 1))
        keywords = {
            name: draw(values) for name in draw(st.lists(st.sampled_from(params + ["extra"]), unique=True, max_size=3))
        }
    else:
        # Every parameter once, the first ones by position and the rest by keyword.
        given_values = [draw(st.one_of(plausible[KIND.get(p, "frame")], values)) for p in params]
        split = draw(st.integers(0, len(params)))
        args, keywords = given_values[:split], dict(zip(params[split:], given_values[split:]))
    if function == "createQuillvane":
        for name in draw(st.lists(st.sampled_from(OPTIONS), unique=True, max_size=4)):
            keywords[name] = draw(st.one_of(plausible[KIND.get(name, "int")], values))
    others = [g for g in GLOBALS if g != function]
    rebound = {
        name: draw(st.sampled_from(["delete", "hostile", "raising"]))
        for name in draw(st.lists(st.sampled_from(others), unique=True, max_size=2))
    }
    return args, keywords, rebound


outcomes = Counter()


def run(function, journal):
    @settings(max_examples=int(sys.argv[2]), deadline=None, database=None, suppress_health_check=list(HealthCheck))
    @given(calls(function))
    def check(call):
        args, keywords, rebound = call
        journal.seek(0)
        journal.truncate()
        journal.write(f"{function} args={args!r} keywords={keywords!r} rebound={rebound!r}\n")
        journal.flush()
        saved = {name: getattr(quillvane, name) for name in rebound}
        try:
            for name, how in rebound.items():
                if how == "delete":
                    delattr(quillvane, name)
                else:
                    setattr(quillvane, name, Hostile(how == "raising"))
            with contextlib.redirect_stdout(io.StringIO()):
                getattr(quillvane, function)(*args, **keywords)
            outcomes[function, "returned"] += 1
        except Exception as e:
            outcomes[function, type(e).__name__] += 1
        finally:
            for name, value in saved.items():
                setattr(quillvane, name, value)

    check()


def main():
    import warnings

    warnings.simplefilter("ignore")
    with open(sys.argv[1], "w") as journal:
        for function in SIGNATURES:
            run(function, journal)
    summary = {}
    for (function, outcome), n in sorted(outcomes.items()):
        summary.setdefault(function, {})[outcome] = n
    print(json.dumps(summary))


if __name__ == "__main__":
    os.environ.setdefault("MPLBACKEND", "Agg")
    main()
