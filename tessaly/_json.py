"""Plain Python values for json.dumps(allow_nan=False): what every JSON file of tessaly is written from."""

from __future__ import annotations

import math
from typing import Any

import numpy as np


def jsonable(value: Any) -> Any:
    """Numpy scalars unwrapped, NaN and infinities as None, dicts' keys as text; other values as they are."""
    if isinstance(value, dict):
        return {str(k): jsonable(v) for k, v in value.items()}
    if isinstance(value, (list, tuple, np.ndarray)):
        return [jsonable(v) for v in value]
    if isinstance(value, (bool, np.bool_)):
        return bool(value)
    if isinstance(value, (int, np.integer)):
        return int(value)
    if isinstance(value, (float, np.floating)):
        return float(value) if math.isfinite(value) else None
    return value
