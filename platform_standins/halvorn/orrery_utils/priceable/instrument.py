"""Identity of a tradable instrument: the venue it trades on and its symbol."""

from __future__ import annotations

from dataclasses import dataclass

__all__ = ["Instrument"]


@dataclass(frozen=True)
class Instrument:
    """An instrument, e.g. ``Instrument("binance-futures", "BTCUSDT")``.

    Both fields must be non-empty strings. Whether they are usable as storage
    path segments is checked where paths are built
    (:mod:`halvorn.orrery_data.path_manager`).
    """

    exchange: str
    symbol: str

    def __post_init__(self) -> None:
        for field in ("exchange", "symbol"):
            value = getattr(self, field)
            if not isinstance(value, str):
                raise TypeError(f"Instrument.{field} must be a str, got {type(value).__name__}")
            if not value:
                raise ValueError(f"Instrument.{field} must not be empty")

    def __str__(self) -> str:
        return f"{self.exchange}:{self.symbol}"
