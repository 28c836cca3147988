"""What get() guarantees whatever the pandas version (2.2 or 3.x).

Epoch counts always give a nanosecond UTC index. Date text gives the same
instants, at the resolution that the installed pandas parses text to
(nanoseconds on 2.2, microseconds on 3.x). Text columns keep their values,
in pandas' own text dtype (object on 2.2, str on 3.x).
"""

import pandas as pd
import pytest

from halvorn.orrery_data.enums import DataSource, DataType


@pytest.fixture
def stored(light_data, storage, instrument):
    def store_and_get(data_type, table):
        reader = light_data.CryptoMktData(20241206, instrument, data_type,
                                          data_sources=[DataSource.binance])
        reader.write(table)
        return reader.get()
    return store_and_get


@pytest.mark.parametrize("counts", [[1733443200, 1733443201],
                                    [1733443200123, 1733443200124],
                                    [1733443200123456, 1733443200123457],
                                    [1733443200123456789, 1733443200123456790]])
def test_epoch_counts_give_a_nanosecond_utc_index(stored, counts):
    table = stored(DataType.Liquidations, pd.DataFrame({"timestamp": counts, "qty": [1.0, 2.0]}))
    assert str(table.index.dtype) == "datetime64[ns, UTC]"
    scale = 10 ** (19 - len(str(counts[0])))
    assert table.index.asi8.tolist() == [c * scale for c in counts]


def test_date_text_gives_the_same_instants_and_text_values(stored):
    text = ["2024-12-06 00:05:00", "2024-12-06 23:55:00"]
    table = stored(DataType.Metrics, pd.DataFrame({"create_time": text, "symbol": ["BTCUSDT"] * 2}))
    assert str(table.index.tz) == "UTC"
    expected_unit = "ns" if pd.__version__.startswith("2.") else "us"
    assert table.index.unit == expected_unit
    assert list(table.index) == [pd.Timestamp(t, tz="UTC") for t in text]
    assert table["symbol"].tolist() == ["BTCUSDT", "BTCUSDT"]
