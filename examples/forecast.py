"""Prepare a small hourly forecasting table and print what comes back."""
import pandas as pd

from quarnex.utils.constants import LEARNING_TYPE_TIMESERIES_FORECASTING, TSHIRT_SIZE_MEDIUM
from quarnex.utils.data_helper import DataHelper

df = pd.DataFrame({
    "time": pd.date_range("2024-01-01", periods=200, freq="h").astype(str),
    "load": [f'"{i * 1.5}"' for i in range(200)],
})
warnings: list = []
try:
    result = DataHelper.process_data(df, LEARNING_TYPE_TIMESERIES_FORECASTING, ["load"], None, "time",
                                     None, 0.2, None, TSHIRT_SIZE_MEDIUM, warnings)
except NotImplementedError as exc:  # while the pipeline is being built
    print("not yet available:", exc)
else:
    table, holdout, holdout_rows = result[:3]
    print(table.head(), f"\nholdout rows: {holdout_rows}", *warnings, sep="\n")
