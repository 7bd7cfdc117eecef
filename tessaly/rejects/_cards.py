"""The grid's cards: refitted on weighted rows with the accepts-only card's bins (and, for the logistic
family, its penalty), so that only the model and its points answer to the inferred outcomes, at a fraction
of a build's cost."""

from __future__ import annotations

import functools
from typing import Any

# Applicants whose SHAP values make a grid card, at most: its points settle long before a build's sample.
SHAP_ROWS = 2_000


class _Penalised:
    """A model family whose logistic regression keeps a penalty chosen before."""

    def __init__(self, family, penalty):
        self._family, self._penalty = family, penalty

    def __getattr__(self, name):
        return getattr(self._family, name)

    def train(self, *args, **kwargs):
        if self._penalty is not None:
            kwargs["penalty"] = self._penalty
        return self._family.train(*args, **kwargs)


@functools.cache
def _on_bins_of(estimator: type) -> type:
    """The estimator's class with its bins (and penalty) given: made from the base's class, which this room
    does not import."""

    class OnBins(estimator):
        _counts_baseline = False
        fixed_: tuple = ([], {}, None)

        def _bin(self, X, y_bad, w, progress):
            return list(self.fixed_[0]), dict(self.fixed_[1]), {}

        def _check_params(self):
            return _Penalised(super()._check_params(), self.fixed_[2])

    return OnBins


def on_bins(base, X, y, w):
    """A card of `base`'s parameters on `base`'s bins, fitted on the weighted rows."""
    params = base.get_params(deep=False)
    light = {"shap_rows": min(params["shap_rows"], SHAP_ROWS), **({"crosses": "none"} if "crosses" in params else {})}
    kind: Any = type(base)
    sc = _on_bins_of(kind)(**{**params, **light})
    sc.fixed_ = (base.binnings_, {}, getattr(base.model_, "C_", None))
    return sc.fit(X, y, sample_weight=w)
