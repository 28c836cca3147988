"""write_range on real shapes of vendor and exchange files: every stored day stays whole, old or
new; what cannot be stored exactly is refused before anything is written."""

from __future__ import annotations

import _thread
import os
import subprocess
import sys
import threading

import numpy as np
import pandas as pd
import pytest

from halvorn.orrery_data import _light_data_core as light_data_core
from halvorn.orrery_data import light_data
from halvorn.orrery_data.enums import DataSource, DataType
from halvorn.orrery_data.light_data import CryptoMktData
from halvorn.orrery_data.light_data_batch import RangeWriteInterrupted, read_range, write_range
from halvorn.orrery_utils.data_IO import leftovers
from halvorn.orrery_utils.priceable.instrument import Instrument

ETH = Instrument("binance-futures", "ETHUSDT")
TICKER = DataType.DerivativeTicker
DAYS = [20250404, 20250405, 20250406]


def vendor_file(day: int, rows: int = 500, price: float = 0.0) -> pd.DataFrame:
    """A vendor's daily file: cut by receive time, so it opens with rows whose exchange time lies
    a few milliseconds before its midnight; microsecond stamps."""
    received = pd.Timestamp(str(day), tz="UTC") + pd.to_timedelta(np.linspace(0, 86_399e9, rows).astype("int64"))
    return pd.DataFrame({"timestamp": (received - pd.Timedelta("3ms")).as_unit("us").asi8,
                         "local_timestamp": received.as_unit("us").asi8,
                         "mark_price": price + np.arange(rows, dtype="float64")})


def stored(day: int) -> pd.DataFrame:
    return CryptoMktData(day, ETH, TICKER, use_cache=False, write_cache=False).get_raw()


def got(table: pd.DataFrame) -> pd.DataFrame:
    return light_data_core.index_by_time(TICKER, table.copy())  # what get() makes of a stored table


@pytest.fixture
def three_days(storage):
    write_range(pd.concat([vendor_file(day) for day in DAYS], ignore_index=True), ETH, TICKER)
    return {day: stored(day) for day in DAYS}


@pytest.mark.parametrize("given", ["one vendor file", "a file without its receive time, day_by",
                                   "read_range of whole days"])
def test_replace_leaves_every_day_whole(three_days, given):
    new = vendor_file(20250405, price=1000.0)
    options: dict = {}
    if given == "one vendor file":
        frame, changed = new, [20250405]
    elif given.endswith("day_by"):
        frame, changed = new.drop(columns="local_timestamp"), [20250405]
        options["day_by"] = np.full(len(frame), 20250405)
        new = frame
    else:
        frame, changed = read_range(ETH, TICKER, 20250404, 20250406), []
    result = write_range(frame, ETH, TICKER, if_exists="replace", **options)
    assert [(entry.day, entry.action, entry.rows_before, entry.rows_after) for entry in result.plan] == \
        [(day, "replace", 500, 500) for day in (changed or DAYS)]
    for day in DAYS:
        if day in changed:
            pd.testing.assert_frame_equal(stored(day), new)
        else:  # the same rows and values as get() reads them (a read_range result is stored as read)
            pd.testing.assert_frame_equal(CryptoMktData(day, ETH, TICKER).get(), got(three_days[day]))


@pytest.mark.parametrize("frame, refusal", [
    (vendor_file(20250405).drop(columns="local_timestamp"), r"span less than half.*20250404 \(1 rows"),
    (pd.DataFrame({"timestamp": [1735689599_000_000, 1735689600_000], "v": [1.0, 2.0]}),
     r"'timestamp' mixes units: microseconds \(16 digits\) first, then milliseconds \(13 digits\) from row 1"),
    (vendor_file(20250405).assign(local_timestamp=lambda f: f.local_timestamp.astype("float64")
                                  .where(f.index != 7)), r"row 7 .* has no 'local_timestamp'"),
    (vendor_file(20250405).assign(note=lambda f: np.where(f.index < 250, "x", None)).astype({"note": object})
     .pipe(lambda f: f.assign(note=f.note.where(f.index < 499, 5))), r"'note' mixes types"),
    (pd.DataFrame({"mark_price": [1.0]}), r'no time column \("DateTime", "timestamp"'),
], ids=["sliver", "mixed units", "row without a day", "types", "no time"])
def test_what_cannot_be_stored_exactly_is_refused_before_writing(three_days, frame, refusal):
    with pytest.raises(ValueError, match=refusal):
        write_range(frame, ETH, TICKER, if_exists="replace")
    for day in DAYS:
        pd.testing.assert_frame_equal(stored(day), three_days[day])


def test_update_replaces_the_span_it_is_given_and_keeps_the_rest(three_days):
    patch = vendor_file(20250405).iloc[100:110].assign(mark_price=-1.0)
    plan = write_range(patch, ETH, TICKER, if_exists="update", dry_run=True).plan
    assert [(entry.action, entry.rows_before, entry.rows_after) for entry in plan] == [("update", 500, 500)]
    pd.testing.assert_frame_equal(stored(20250405), three_days[20250405])  # a dry run writes nothing
    write_range(patch, ETH, TICKER, if_exists="update")
    want = three_days[20250405].copy()
    want.loc[100:109, "mark_price"] = -1.0
    pd.testing.assert_frame_equal(stored(20250405), want)
    with pytest.raises(ValueError, match=r"'timestamp' holds milliseconds \(13 digits\) in the frame"):
        write_range(patch.assign(timestamp=patch.timestamp // 1000), ETH, TICKER, if_exists="update")


def test_an_interrupt_says_which_days_were_written_and_which_were_in_flight(storage, monkeypatch):
    write = light_data.DataIOModule.write_file_wrapper
    stalled, released = threading.Event(), threading.Event()

    def stall_one(self, dataframe, write_path):
        if write_path.endswith("20250405"):
            stalled.set()
            released.wait(10)  # a stalled upload
        return write(self, dataframe=dataframe, write_path=write_path)

    monkeypatch.setattr(light_data.DataIOModule, "write_file_wrapper", stall_one)
    threading.Thread(target=lambda: stalled.wait(10) and _thread.interrupt_main(), daemon=True).start()
    with pytest.raises(RangeWriteInterrupted) as raised:
        write_range(pd.concat([vendor_file(day) for day in DAYS], ignore_index=True), ETH, TICKER, max_workers=2)
    outcome = raised.value
    assert 20250405 in outcome.in_flight and stored(20250405) is None
    assert sorted(outcome.written + outcome.in_flight + outcome.not_started) == DAYS
    assert all(stored(day) is not None for day in outcome.written)
    released.set()  # the abandoned write ends here, not in a later test
    for thread in threading.enumerate():
        if thread.name.startswith("light_data_batch-write"):
            thread.join(10)


def test_a_dead_writers_leftover_is_reclaimed_by_the_next_write_and_others_are_kept(storage):
    write_range(vendor_file(20250404), ETH, TICKER)
    folder = os.path.dirname(CryptoMktData(20250404, ETH, TICKER).get_path(data_source=DataSource.tardis))
    gone = subprocess.run([sys.executable, "-c", "import os; print(os.getpid())"], capture_output=True,
                          text=True, check=True).stdout.strip()
    names = {"dead": f".20250405.tmp-{leftovers.host_label()}-{gone}-7-0123abcd",
             "alive": f".20250405.tmp-{leftovers.host_label()}-{os.getpid()}-7-0123abcd",
             "other host": f".20250405.tmp-elsewhere-{gone}-7-0123abcd",
             "no host": f".20250405.tmp-{gone}-7-0123abcd"}
    for name in names.values():
        open(os.path.join(folder, name), "wb").close()
    leftovers._last_look.clear()
    write_range(vendor_file(20250405), ETH, TICKER)
    assert sorted(name for name in os.listdir(folder) if ".tmp-" in name) == \
        sorted(names[key] for key in ("alive", "other host", "no host"))


def test_bars_stamped_with_their_end_keep_the_last_bar_in_its_day(storage):
    # Exchange klines: "DateTime" is the bar's end, so a day's last bar is stamped next midnight.
    opens = pd.Timestamp("2025-04-04", tz="UTC").value // 10**6 + 60_000 * np.arange(2 * 1440)
    bars = pd.DataFrame({"DateTime": pd.to_datetime(opens + 60_000, unit="ms", utc=True), "OpenTime": opens,
                         "Close": np.arange(2 * 1440, dtype="float64"), "CloseTime": opens + 59_999})
    result = write_range(bars, ETH, DataType.Klines, data_sources=[DataSource.binance])
    assert result.split_by == "column 'CloseTime'" and result.written == [20250404, 20250405]
    for offset, day in enumerate(result.written):
        table = CryptoMktData(day, ETH, DataType.Klines, data_sources=[DataSource.binance]).get_raw()
        pd.testing.assert_frame_equal(table, bars.iloc[offset * 1440:(offset + 1) * 1440].reset_index(drop=True))
