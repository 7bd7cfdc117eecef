"""How a card treats protected groups it never sees, by role:

measures    per group and cutoff: applicants, bad rate, mean score, AUC, calibration, approval and impact ratio
proxies     each predictor's association with each protected column, and what leaving a flagged one out costs
assessment  all of it for a fitted card on its test applicants: what metrics.json keeps under "fairness"
periods     approval and impact ratio per group in each period of monitoring
chapter     the report's fairness chapter and monitoring's table, from those figures
"""

from .assessment import measure
from .measures import AIR_FLAG, check_protected

__all__ = ["AIR_FLAG", "check_protected", "measure"]
