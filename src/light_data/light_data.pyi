"""
Following defines light data reader marlin_ledgers
"""

import hashlib as hashlib
import logging as logging
import os as os
import traceback as traceback
from typing import List as List
from typing import Optional as Optional

import pandas as pd
from halvorn.orrery_data.enums import DataDestination as DataDestination
from halvorn.orrery_data.enums import DataSource as DataSource
from halvorn.orrery_data.enums import DataType as DataType
from halvorn.orrery_data.path_manager import PathManager as PathManager
from halvorn.orrery_utils.config_loader.config_loader import ConfigLoader as ConfigLoader
from halvorn.orrery_utils.data_IO.data_IO_module import DataIOModule as DataIOModule
from halvorn.orrery_utils.data_IO.data_IO_module import FileType as FileType
from halvorn.orrery_utils.priceable.instrument import Instrument as Instrument
from halvorn.orrery_utils.time_utils import TradingDay as TradingDay

__test__: dict[str, object]

_DataType = DataType

class CryptoMktData:
    """Reader and writer of one date's table of one instrument and kind of data."""

    DataType = _DataType
    use_minio_storage: bool
    date: int
    instrument: Instrument
    data_type: _DataType
    silent_fail: bool
    data_sources: List[DataSource]
    _file_type: FileType
    cache_dir: str
    _use_cache: bool
    _write_cache: bool
    trading_day: TradingDay
    io_obj: DataIOModule

    def __init__(
        self,
        date: int,
        instrument: Instrument,
        data_type: _DataType,
        use_minio_storage: bool | None = None,
        silent_fail: bool = False,
        data_sources: List[DataSource] | None = None,
        file_type: FileType = ...,
        use_cache: bool = True,
        write_cache: bool = True,
    ) -> None: ...
    def get_path(self, data_source: DataSource) -> str | None: ...
    def compute_cmc_historical_snapshot_date(self, date: int) -> int | None: ...
    def get_raw_data_path(self, data_source: DataSource) -> str | None: ...
    def exists(self) -> bool: ...
    def get_raw(self) -> pd.DataFrame | None: ...
    def _read_cache(self, cache_path: str) -> pd.DataFrame: ...
    def remove_cache(self) -> None: ...
    def _get(self) -> Optional[pd.DataFrame]: ...
    def get(self) -> Optional[pd.DataFrame]: ...
    def write(self, df: pd.DataFrame) -> None: ...
    def get_raw_data(self) -> pd.DataFrame: ...
    def write_raw_data(self, df: pd.DataFrame) -> None: ...
