"""Names shared by the quarnex time-series tools.

Column roles, learning types, t-shirt sizes and the table of input data
limits, ``INPUT_DATA_LIMITATION``, indexed as::

    INPUT_DATA_LIMITATION[learning_type][ROW][MIN]
    INPUT_DATA_LIMITATION[learning_type][tshirt_size][ROW][MAX]
    INPUT_DATA_LIMITATION[learning_type][tshirt_size][COLUMN][MAX]
"""

from enum import Enum
from fractions import Fraction

__all__ = [
    "DataType",
    "COLUMN_ROLE_TARGET",
    "COLUMN_ROLE_FEATURE",
    "COLUMN_ROLE_SUPPORTING_FEATURE",
    "COLUMN_ROLE_TIMESTAMP",
    "COLUMN_ROLE_ANOMALY_LABEL",
    "MIN",
    "MAX",
    "COLUMN",
    "ROW",
    "THRESHOLD",
    "HOLDOUT_MAX_RATIO",
    "HOLDOUT_MIN",
    "HOLDOUT_MAX",
    "INPUT_DATA_LIMITATION",
    "LEARNING_TYPE_TIMESERIES_FORECASTING",
    "LEARNING_TYPE_TIMESERIES_ANOMALY_PREDICTION",
    "TSHIRT_SIZE_SMALL",
    "TSHIRT_SIZE_MEDIUM",
    "TSHIRT_SIZE_LARGE",
    "TSHIRT_SIZE_EXTRA_LARGE",
]


class DataType(Enum):
    """Which table a message is about; ``value`` is the word used in texts."""

    TRAINING = "training"
    HOLDOUT = "holdout"
    INPUT = "input"


# Column roles (plain str: the data helper refuses str subclasses).
COLUMN_ROLE_TARGET = "target"
COLUMN_ROLE_FEATURE = "feature"
COLUMN_ROLE_SUPPORTING_FEATURE = "supporting feature"
COLUMN_ROLE_TIMESTAMP = "timestamp"
COLUMN_ROLE_ANOMALY_LABEL = "anomaly label"

# Keys of INPUT_DATA_LIMITATION.
MIN = "min"
MAX = "max"
COLUMN = "column"
ROW = "row"
THRESHOLD = "threshold"
HOLDOUT_MAX_RATIO = "holdout_max_ratio"
HOLDOUT_MIN = "holdout_min"
HOLDOUT_MAX = "holdout_max"

LEARNING_TYPE_TIMESERIES_FORECASTING = "forecasting"
LEARNING_TYPE_TIMESERIES_ANOMALY_PREDICTION = "timeseries_anomaly_prediction"

TSHIRT_SIZE_SMALL = "S"
TSHIRT_SIZE_MEDIUM = "M"
TSHIRT_SIZE_LARGE = "L"
TSHIRT_SIZE_EXTRA_LARGE = "XL"

# Maximum row and column counts per t-shirt size, the same for both
# learning types.
_SIZE_LIMITS = {
    TSHIRT_SIZE_SMALL: (10_000, 20),
    TSHIRT_SIZE_MEDIUM: (100_000, 50),
    TSHIRT_SIZE_LARGE: (1_000_000, 200),
    TSHIRT_SIZE_EXTRA_LARGE: (10_000_000, 1000),
}


def _size_entries():
    return {size: {ROW: {MAX: rows}, COLUMN: {MAX: cols}} for size, (rows, cols) in _SIZE_LIMITS.items()}


INPUT_DATA_LIMITATION = {
    LEARNING_TYPE_TIMESERIES_FORECASTING: {
        ROW: {MIN: 10, THRESHOLD: 100, HOLDOUT_MAX_RATIO: Fraction(1, 3)},
        **_size_entries(),
    },
    LEARNING_TYPE_TIMESERIES_ANOMALY_PREDICTION: {
        ROW: {MIN: 10, HOLDOUT_MAX_RATIO: 0.5, HOLDOUT_MIN: 5, HOLDOUT_MAX: 10000},
        **_size_entries(),
    },
}

del _size_entries
