"""Helpers shared by the container and audit tests."""
import numpy as np
import pandas as pd

from lumarq.utilities import vantor32 as v

PANDAS_3 = int(pd.__version__.split(".")[0]) >= 3


def depth(word) -> int:
    return (int(word) >> 26) & 7


def entity_bits(word) -> int:
    """Entity field of a mode-00 word."""
    return (int(word) >> 8) & 255


def source_words(tracker, table, column, rows, protected=False, entities=None):
    """Depth-0 words of a registered source column, one per row."""
    pair = tracker.register(table, column, protected)
    entities = np.zeros(rows, np.uint32) if entities is None else np.asarray(entities, np.uint32)
    return np.asarray(v.encode_source_column(tracker._rust, pair, entities, protected), np.uint32)
