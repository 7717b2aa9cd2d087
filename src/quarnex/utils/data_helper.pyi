import datetime as datetime
from fractions import Fraction as Fraction
from typing import Any
from typing import Union as Union

import pandas as pd

from quarnex.utils.constants import COLUMN as COLUMN
from quarnex.utils.constants import COLUMN_ROLE_ANOMALY_LABEL as COLUMN_ROLE_ANOMALY_LABEL
from quarnex.utils.constants import COLUMN_ROLE_FEATURE as COLUMN_ROLE_FEATURE
from quarnex.utils.constants import COLUMN_ROLE_SUPPORTING_FEATURE as COLUMN_ROLE_SUPPORTING_FEATURE
from quarnex.utils.constants import COLUMN_ROLE_TARGET as COLUMN_ROLE_TARGET
from quarnex.utils.constants import COLUMN_ROLE_TIMESTAMP as COLUMN_ROLE_TIMESTAMP
from quarnex.utils.constants import HOLDOUT_MAX as HOLDOUT_MAX
from quarnex.utils.constants import HOLDOUT_MAX_RATIO as HOLDOUT_MAX_RATIO
from quarnex.utils.constants import HOLDOUT_MIN as HOLDOUT_MIN
from quarnex.utils.constants import INPUT_DATA_LIMITATION as INPUT_DATA_LIMITATION
from quarnex.utils.constants import (
    LEARNING_TYPE_TIMESERIES_ANOMALY_PREDICTION as LEARNING_TYPE_TIMESERIES_ANOMALY_PREDICTION,
)
from quarnex.utils.constants import LEARNING_TYPE_TIMESERIES_FORECASTING as LEARNING_TYPE_TIMESERIES_FORECASTING
from quarnex.utils.constants import MAX as MAX
from quarnex.utils.constants import MIN as MIN
from quarnex.utils.constants import ROW as ROW
from quarnex.utils.constants import THRESHOLD as THRESHOLD
from quarnex.utils.constants import TSHIRT_SIZE_EXTRA_LARGE as TSHIRT_SIZE_EXTRA_LARGE
from quarnex.utils.constants import TSHIRT_SIZE_LARGE as TSHIRT_SIZE_LARGE
from quarnex.utils.constants import TSHIRT_SIZE_MEDIUM as TSHIRT_SIZE_MEDIUM
from quarnex.utils.constants import TSHIRT_SIZE_SMALL as TSHIRT_SIZE_SMALL
from quarnex.utils.constants import DataType as DataType
from quarnex.utils.messages.messages import Messages as Messages

def _fastpath_stats() -> dict[str, dict[str, int]]: ...
def _method_table() -> list[tuple[str, str, list[tuple[str, str | None, str]], str | None, str]]: ...

class DataHelper:
    @staticmethod
    def process_data(
        df: pd.DataFrame,
        learning_type: str,
        target_columns: Union[list, int, str],
        feature_columns: Union[list, int, str],
        timestamp_column: Union[int, float, str],
        anomaly_label_column: Union[int, float, str],
        holdout_size: Union[float, int],
        user_holdout_df: pd.DataFrame,
        tshirt_size: str,
        warn_msg: list,
    ) -> tuple[pd.DataFrame, pd.DataFrame | None, int, list[int], list[int], int, Any]: ...
    def validate_input_data_col_num(
        self,
        learning_type: str,
        tshirt_size: str,
        target_columns: list | None = None,
        feature_columns: list | None = None,
    ) -> None: ...
    def parse_time_col(self, data_df: pd.DataFrame, time_col: str, data_type: DataType) -> None: ...
    def validate_time_interval(self, df: pd.DataFrame, time_col: str, warn_msg: list, data_type: DataType) -> None: ...
    def check_user_holdout_newer(self, train_df: pd.DataFrame, holdout_df: pd.DataFrame, time_col: str) -> None: ...
    def validate_data_len(
        self, df: pd.DataFrame, learning_type: str, tshirt_size: str, warn_msg: list
    ) -> pd.DataFrame: ...
    def validate_user_holdout_len(
        self,
        train_df: pd.DataFrame,
        holdout_df: pd.DataFrame,
        learning_type: str,
        holdout_size: Union[int, float],
        warn_msg: list,
    ) -> tuple[pd.DataFrame, Union[int, float, Fraction]]: ...
    def check_user_holdout_metadata(self, train_df: pd.DataFrame, holdout_df: pd.DataFrame) -> None: ...
    def check_missing(self, df: pd.DataFrame, col_idx: list, missing_value: Any = ...) -> None: ...
    def validate_input_params(
        self,
        learning_type: str,
        target_columns: Union[list, int, str],
        feature_columns: Union[list, int, str],
        user_holdout_df: pd.DataFrame,
        tshirt_size: str,
    ) -> None: ...
    def validate_input_data(
        self,
        df: pd.DataFrame,
        learning_type: str,
        holdout_size: Union[float, int],
        warn_msg: list,
        holdout_df: pd.DataFrame | None = None,
    ) -> int: ...
    def get_cols_idx(
        self, df: pd.DataFrame, cols: list, col_role: str, learning_type: str, warn_msg: list | None = None
    ) -> list[int] | int: ...
    def check_time_col_specified_twice(
        self, time_col_idx: int, time_col_name: str, other_col_idx: list, col_role: str
    ) -> None: ...
    def str2float(self, df: pd.DataFrame, col_idx: list, col_role: str) -> pd.DataFrame: ...
    def process_data_by_time_col(
        self,
        df: pd.DataFrame,
        holdout_df: pd.DataFrame,
        time_col: str,
        learning_type: str,
        holdout_size: Union[int, float],
        warn_msg: list,
    ) -> tuple[pd.DataFrame, pd.DataFrame | None, Union[int, float, Fraction]]: ...
