"""get and _get: the time index of the three time-normalised kinds and the failure policy."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from pandas.testing import assert_frame_equal

from halvorn.orrery_data.enums import DataType
from support import BINANCE, OTHER, P1, P2, TARDIS, cache_path, failed, frame, reader_factory, shapes

TIMED = [DataType.DerivativeTicker, DataType.Liquidations, DataType.Metrics]
INT64_MAX = 2**63 - 1

# Millisecond counts; CLOSE ends one millisecond before whole minutes.
A = [1704153600000, 1704153660000]
B = [v + 1234 for v in A]
CLOSE = [1704153659999, 1704153719999]
D = [v + 7000 for v in A]


@pytest.fixture
def make(light_data, platform, instrument):
    return reader_factory(light_data, platform, instrument)


@pytest.fixture
def read(make, platform):
    """get() of a one-source reader whose storage holds `table`; the cache stays out of the way."""

    def read(data_type, table, silent=False):
        platform.tables[P1] = table
        reader = make(sources=[TARDIS], data_type=data_type, silent_fail=silent, use_cache=False, write_cache=False)
        return reader.get()

    return read


def nanoseconds(table) -> list[int]:
    assert isinstance(table.index, pd.DatetimeIndex)
    assert table.index.name == "DateTime"
    assert str(table.index.tz) == "UTC"
    return table.index.as_unit("ns").asi8.tolist()


@pytest.mark.parametrize("sources", [[TARDIS, BINANCE], [BINANCE, TARDIS]], ids=["tardis_first", "binance_first"])
def test_missing_data_names_the_first_configured_source(make, sources):
    with pytest.raises(FileNotFoundError) as raised:
        make(sources=sources).get()
    assert raised.value.args == ("Missing data: " + (P1 if sources[0] is TARDIS else P2),)


def test_missing_data_without_sources_raises_the_failed_lookup(make):
    with pytest.raises(IndexError):
        make(sources=[]).get()


@pytest.mark.parametrize("sources", [[], [TARDIS, BINANCE]], ids=["no_sources", "two_failing"])
def test_silent_total_failure_gives_none_with_only_the_per_source_records(make, logs, sources):
    assert make(sources=sources, silent_fail=True).get() is None
    assert shapes(logs.raw) == [record for path in (P1, P2)[: len(sources)] for record in failed(path)]


@pytest.mark.parametrize("raw", [None, {"DateTime": [1]}], ids=["none", "dict"])
@pytest.mark.parametrize("silent", [False, True])
def test_anything_but_a_table_from_get_raw_counts_as_missing(light_data, make, raw, silent):
    cls = type("FixedRaw", (light_data.CryptoMktData,), {"get_raw": lambda self: raw})
    reader = make(cls=cls, silent_fail=silent)
    if silent:
        assert reader.get() is None
    else:
        with pytest.raises(FileNotFoundError, match="^Missing data: " + P1 + "$"):
            reader.get()


PRECEDENCE = {
    # columns of the stored table, the column that gives the time, what is added to it
    "timestamp_over_time": ({"timestamp": A, "Time": B}, "timestamp", 0),
    "time_over_close_time": ({"Time": B, "CloseTime": CLOSE}, "Time", 0),
    "close_time_plus_one": ({"CloseTime": CLOSE, "create_time": D}, "CloseTime", 1),
    "create_time": ({"create_time": D}, "create_time", 0),
    "timestamp_over_all": ({"create_time": D, "CloseTime": CLOSE, "Time": B, "timestamp": A}, "timestamp", 0),
}


@pytest.mark.parametrize("case", PRECEDENCE)
@pytest.mark.parametrize("data_type", TIMED, ids=lambda t: t.name)
def test_time_column_precedence(read, data_type, case):
    columns, source, plus = PRECEDENCE[case]
    table = frame(2, **columns)

    got = read(data_type, table.copy())

    assert nanoseconds(got) == [(v + plus) * 10**6 for v in columns[source]]
    kept = [c for c in table.columns if c != source or source == "CloseTime"]
    assert list(got.columns) == kept
    assert_frame_equal(got.reset_index(drop=True), table[kept])


@pytest.mark.parametrize("data_type", [*TIMED, OTHER], ids=lambda t: t.name)
@pytest.mark.parametrize("stored", [[5, 6], ["2024-01-02", "later"], pd.to_datetime(A, unit="ms", utc=True),
                                    pd.to_datetime(A, unit="ms")], ids=["ints", "text", "zoned", "naive"])
def test_stored_datetime_column_becomes_the_index_unchanged(read, data_type, stored):
    table = frame(2, DateTime=stored, timestamp=A)
    got = read(data_type, table.copy())
    assert_frame_equal(got, table.set_index("DateTime"))
    assert list(got.columns) == ["price", "timestamp"]


EXACT = {
    "seconds": [1733616000, 1704153600, 999999999],
    "milliseconds": [1733616000123, 1704153659999],
    "microseconds": [1733616000123457, 1704153600000001, 1733616000999999],
    "nanoseconds": [1733616000123456789, 1704153600000000001],
}


@pytest.mark.parametrize("unit", EXACT)
@pytest.mark.parametrize("as_text", [False, True])
def test_epoch_counts_scale_to_exact_nanoseconds(read, unit, as_text):
    values = EXACT[unit]
    factor = 10 ** (19 - len(str(values[0])))
    column = [str(v) for v in values] if as_text else values
    got = read(DataType.DerivativeTicker, frame(len(values), timestamp=column))
    assert nanoseconds(got) == [v * factor for v in values]


@pytest.mark.parametrize("digits", [10, 13, 16, 19])
@settings(max_examples=40, deadline=None, database=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(data=st.data())
def test_random_epoch_counts_round_trip_exactly(read, digits, data):
    factor = 10 ** (19 - digits)
    top = min(10**digits - 1, INT64_MAX // factor)
    # The first row decides the factor; later rows may have any width that still fits.
    values = [data.draw(st.integers(10 ** (digits - 1), top))] + data.draw(st.lists(st.integers(0, top), max_size=4))
    data_type = data.draw(st.sampled_from(TIMED))

    got = read(data_type, frame(len(values), timestamp=values))

    assert nanoseconds(got) == [v * factor for v in values]


@pytest.mark.parametrize(
    "values",
    [[1733616000, 10**10], [9999999999999], [1733616000123457, 9999999999999999]],
    ids=["later_row", "first_row_ms", "later_row_us"],
)
@pytest.mark.parametrize("silent", [False, True])
def test_scaling_overflow_raises_instead_of_wrapping(read, logs, values, silent):
    table = frame(len(values), timestamp=values)
    if not silent:
        with pytest.raises((OverflowError, ValueError)):
            read(DataType.Metrics, table)
        return
    assert read(DataType.Metrics, table, silent=True) is None
    assert shapes(logs.raw) == [("DEBUG", f"reading {P1}"), ("ERROR", "<traceback>")]


@pytest.mark.parametrize("zeros", [1, 2])
def test_more_than_nineteen_digits_keep_the_float_factor(read, zeros):
    counts = [1733616000123456789, 1704153600000000001]
    got = read(DataType.Liquidations, frame(2, timestamp=["0" * zeros + str(v) for v in counts]))
    expected = pd.DatetimeIndex(pd.to_datetime(pd.Series(counts) * 10.0**-zeros)).tz_localize("UTC")
    assert nanoseconds(got) == expected.as_unit("ns").asi8.tolist()


@pytest.mark.parametrize("text", [["2024-01-02", "2024-01-03"], ["2024-01-02 08:30:00", "2024-01-02 08:31:15"]])
def test_date_text_is_parsed_then_set_to_utc(read, text):
    got = read(DataType.Metrics, frame(2, create_time=text))
    assert got.index.tolist() == [pd.Timestamp(t, tz="UTC") for t in text]
    assert got.index.name == "DateTime"


PARIS = pd.DatetimeIndex(["2024-01-05 01:00", "2024-01-05 01:05"]).tz_localize("Europe/Paris")


@pytest.mark.parametrize(
    "stored",
    [["2024-01-05T00:00:00Z", "2024-01-05T00:05:00Z"],
     ["2024-01-05T01:00:00+01:00", "2024-01-04T23:05:00-01:00"],
     PARIS],
    ids=["zulu", "mixed_offsets", "zone_aware_column"],
)
def test_times_with_a_zone_keep_their_instants_in_utc(read, stored):
    got = read(DataType.Metrics, frame(2, create_time=stored))
    assert got.index.tolist() == [pd.Timestamp("2024-01-05 00:00", tz="UTC"), pd.Timestamp("2024-01-05 00:05", tz="UTC")]
    assert str(got.index.tz) == "UTC" and got.index.name == "DateTime"


@pytest.mark.parametrize("data_type", TIMED, ids=lambda t: t.name)
@pytest.mark.parametrize("time_column", ["timestamp", "CloseTime", "create_time", None])
def test_table_without_rows_gets_an_empty_utc_index(read, data_type, time_column):
    stored = frame(0, **({time_column: np.array([], "int64")} if time_column else {}))
    expected = stored.drop(columns=[c for c in ["timestamp", "create_time"] if c in stored])
    expected.index = pd.DatetimeIndex([], dtype="datetime64[ns, UTC]", name="DateTime")
    assert_frame_equal(read(data_type, stored), expected)


def test_signed_first_value_is_not_scaled(read):
    got = read(DataType.DerivativeTicker, frame(2, timestamp=[-1, 1733616000]))
    assert nanoseconds(got) == [-1, 1733616000]


@pytest.mark.parametrize("values, want", [
    ([1733616000.0, 1.5], [1733616000 * 10**9, 1_500_000_000]),
    ([1743811200.5, 1743811201.25], [1743811200_500_000_000, 1743811201_250_000_000]),
    ([1743811200123.456, np.nan], [1743811200_123_456_000, None]),
    ([1743811200123456.25, 1743811200123457.75], [1743811200_123_456_000, 1743811200_123_458_000]),
], ids=["whole first", "seconds", "milliseconds with a gap", "microseconds"])
def test_fractional_float_counts_are_scaled_by_their_whole_part_to_the_microsecond(read, values, want):
    got = read(DataType.DerivativeTicker, frame(2, timestamp=values))
    assert [None if pd.isna(stamp) else stamp.value for stamp in got.index] == want


FAILING = [
    (DataType.Metrics, {"Timestamp": A}, KeyError),  # no recognised time column
    (OTHER, {"timestamp": A}, KeyError),  # another kind needs "DateTime" itself
]


@pytest.mark.parametrize(
    "data_type, columns, error",
    FAILING,
    ids=[f"{t.name}-{e.__name__}" for t, _, e in FAILING],
)
@pytest.mark.parametrize("silent", [False, True])
def test_normalisation_failure_propagates_or_is_logged_once(read, logs, data_type, columns, error, silent):
    table = frame(len(next(iter(columns.values()))), **columns)
    if not silent:
        with pytest.raises(error):
            read(data_type, table)
        return
    assert read(data_type, table, silent=True) is None
    assert shapes(logs.raw) == [("DEBUG", f"reading {P1}"), ("ERROR", "<traceback>")]
    assert logs.raw.records[-1].exc_info[0] is error


def test_cache_holds_the_stored_table_and_every_read_normalises_afresh(make, platform):
    stored = frame(2, timestamp=[1733616000123, 1733616060123])
    platform.tables[P1] = stored.copy()
    reader = make(sources=[TARDIS], data_type=DataType.Metrics)

    first, second = reader.get(), reader.get()

    assert_frame_equal(pd.read_feather(cache_path(platform.cache_dir, P1)), stored)
    assert nanoseconds(first) == [1733616000123000000, 1733616060123000000]
    assert_frame_equal(second, first)
    assert platform.names().count("read_file_wrapper") == 1
