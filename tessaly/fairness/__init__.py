"""How a card treats protected groups it never sees, by role:

measures  per group and cutoff: applicants, bad rate, mean score, AUC, calibration, approval and impact ratio
proxies   each predictor's association with each protected column, and what leaving a flagged one out costs
chapter   the report's fairness chapter, from the figures metrics.json keeps
"""

from .measures import AIR_FLAG, check_protected, measure

__all__ = ["AIR_FLAG", "check_protected", "measure"]
