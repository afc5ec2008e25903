"""The column arrays wrap_dataframe_dag reads its source cells from must give exactly what a row
lookup (df.iloc[i][col]) gives, or be refused so that the frame is read cell by cell."""
import numpy as np
import pandas as pd
import pytest

from lumarq.utilities._frame_cells import column_values


def same_cell(a, b):
    if type(a) is not type(b):
        return False
    a_missing, b_missing = pd.isna(a), pd.isna(b)
    if a_missing or b_missing:
        return a_missing and b_missing
    return bool(a == b)


BY_COLUMN = {
    # A float row dtype: the int column is read cast to float64.
    "int+float": pd.DataFrame({"i": [1, 2, 3], "f": [0.5, np.nan, 2.0]}),
    # An object row dtype: each column's own values.
    "int+text": pd.DataFrame({"i": [1, 2, 3], "s": ["x", None, "12"]}),
    "int+bool": pd.DataFrame({"i": [1, 2, 3], "b": [True, False, True]}),
    "float32+float64": pd.DataFrame({"f": np.array([1.5, np.nan, 2.0], np.float32), "d": [1.0, 2.0, 3.0]}),
    # An extension row dtype: the cells rebuilt as that dtype.
    "nullable": pd.DataFrame({"a": pd.array([1, None, 3], dtype="Int64"),
                              "b": pd.array([1.5, 2.5, None], dtype="Float64")}),
    "dates": pd.DataFrame({"d": pd.to_datetime(["2024-01-01", None, "2024-03-01"]),
                           "e": pd.to_datetime(["2024-02-01", "2024-02-02", None])}),
    # Categorical text among other columns gives an object row dtype: each column's own values.
    "int+categorical text": pd.DataFrame({"i": [1, 2], "c": pd.Categorical(["x", "y"])}),
    # A lone categorical column is its own row dtype.
    "one categorical": pd.DataFrame({"c": pd.Categorical(["x", None, "y"])}),
}


@pytest.mark.parametrize("name", list(BY_COLUMN))
def test_column_arrays_reproduce_the_row_lookup(name):
    df = BY_COLUMN[name]
    values = column_values(df)
    assert values is not None
    for j, col in enumerate(df.columns):
        array = values(j)
        assert len(array) == len(df)
        for i in range(len(df)):
            assert same_cell(array[i], df.iloc[i][col]), (col, i, array[i], df.iloc[i][col])


@pytest.mark.parametrize("df", [
    pd.DataFrame([[1, 2.5], [3, np.nan]], columns=["a", "a"]),
    pd.DataFrame({"c": pd.Categorical([1, None]), "i": [1, 2]}),
    pd.DataFrame({"i": [1, 2], "c": pd.Categorical([1.5, 2.5])}),
], ids=["repeated labels", "categorical first", "categorical last"])
def test_frames_no_column_reproduces_are_read_cell_by_cell(df):
    assert column_values(df) is None


def test_a_frame_whose_first_row_fails_is_read_cell_by_cell():
    class Failing(pd.DataFrame):
        @property
        def iloc(self):
            raise RuntimeError("no positional access")

    assert column_values(Failing({"a": [1, 2]})) is None
