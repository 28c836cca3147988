"""Enumerations shared by the market-data modules.

Plain ``enum.Enum`` classes whose values equal their member names, so a member
formats as ``"<Enum>.<member>"`` (``format(DataType.Metrics, "")`` gives
``"DataType.Metrics"``) and its ``name`` is safe to use as a path segment.
"""

from __future__ import annotations

from enum import Enum

__all__ = ["DataDestination", "DataSource", "DataType"]


class DataSource(Enum):
    """Vendor or exchange that the stored data came from."""

    tardis = "tardis"
    binance = "binance"
    coin_market_cap = "coin_market_cap"
    okx = "okx"
    bybit = "bybit"
    deribit = "deribit"


class DataType(Enum):
    """Kind of market data held in one stored table."""

    DerivativeTicker = "DerivativeTicker"
    Liquidations = "Liquidations"
    Metrics = "Metrics"
    Klines = "Klines"
    Trades = "Trades"
    BookTicker = "BookTicker"
    OrderBookSnapshot = "OrderBookSnapshot"
    FundingRate = "FundingRate"


class DataDestination(Enum):
    """Storage area: tables as fetched, or tables after processing."""

    processed_data = "processed_data"
    raw_mkt_data = "raw_mkt_data"
