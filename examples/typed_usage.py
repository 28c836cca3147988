"""Typed use of the reader: checked with `mypy --strict` against the module's stub."""

from __future__ import annotations

import pandas as pd

from halvorn.orrery_data.enums import DataSource, DataType
from halvorn.orrery_data.light_data import CryptoMktData
from halvorn.orrery_utils.priceable.instrument import Instrument


def funding_rates(date: int, symbol: str) -> pd.Series | None:
    """The funding rate of a perpetual on one day, or None when it is not stored."""
    reader = CryptoMktData(
        date,
        Instrument(exchange="binance-futures", symbol=symbol),
        DataType.DerivativeTicker,
        silent_fail=True,
        data_sources=[DataSource.tardis, DataSource.binance],
    )
    table = reader.get()
    if table is None:
        return None
    rates: pd.Series = table["funding_rate"]
    return rates


def store_ticker(date: int, symbol: str, table: pd.DataFrame) -> str | None:
    """Stores a ticker table and answers where it went."""
    reader = CryptoMktData(date, Instrument(exchange="binance-futures", symbol=symbol),
                           DataType.DerivativeTicker)
    reader.write(table)
    return reader.get_path(reader.data_sources[0])


if __name__ == "__main__":
    print(funding_rates(20241206, "BTCUSDT"))
