"""Reject inference: a card for the applicants an earlier policy turned away, as an audited sensitivity
analysis. Every method is a set of sample weights on accepts and rejects (`_methods`); the estimator fits the
accepts-only card, then the final card on the chosen method's rows (`_inference`); the report's chapter sets
the assumption (the factor K) against its consequences (`chapter`)."""

from ._inference import Inference, baseline_rows, begin, check_rejects, fit, grid, training
from ._methods import FACTORS, METHODS

__all__ = ["FACTORS", "METHODS", "Inference", "baseline_rows", "begin", "check_rejects", "fit", "grid", "training"]
