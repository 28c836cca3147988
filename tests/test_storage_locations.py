"""Storage paths, the snapshot date and the existence probe."""

from __future__ import annotations

import pathlib
from types import SimpleNamespace

import pytest

from halvorn.orrery_data.enums import DataDestination, DataSource, DataType
from support import frame, mktdata_call

DATE = 20240105
KEYWORDS = ["date", "instrument", "data_type", "data_source", "data_destination"]
REDIRECTED = [DataType.DerivativeTicker, DataType.Liquidations, DataType.Metrics]
PLAIN = [DataType.Klines, DataType.Trades]
OTHER_SOURCES = [s for s in DataSource if s is not DataSource.coin_market_cap]


StrSub, IntSub = type("StrSub", (str,), {}), type("IntSub", (int,), {})


def path_call(instrument, date, data_type, source, destination):
    return mktdata_call(date, instrument, data_type, source, destination)


def assert_path_keywords(platform):
    for args, kwargs in platform.of("get_mktdata_path"):
        assert args == () and list(kwargs) == KEYWORDS


@pytest.mark.parametrize("data_type", PLAIN)
@pytest.mark.parametrize("source", OTHER_SOURCES)
def test_get_path_in_processed_area(platform, build_reader, instrument, source, data_type):
    reader = build_reader(data_type)
    answer = "answer/" + source.name
    platform.path_of = lambda **kwargs: answer
    assert reader.get_path(source) is answer
    assert platform.calls == [path_call(instrument, DATE, data_type, source, DataDestination.processed_data)]
    assert_path_keywords(platform)
    assert platform.calls[0][2]["instrument"] is instrument and platform.calls[0][2]["data_source"] is source


@pytest.mark.parametrize("data_type", PLAIN + REDIRECTED)
@pytest.mark.parametrize("source", list(DataSource))
def test_get_raw_data_path_uses_the_readers_own_date(platform, build_reader, instrument, source, data_type):
    reader = build_reader(data_type)
    assert reader.get_raw_data_path(data_source=source) == platform.path_of(
        **path_call(instrument, DATE, data_type, source, DataDestination.raw_mkt_data)[2])
    assert platform.calls == [path_call(instrument, DATE, data_type, source, DataDestination.raw_mkt_data)]
    assert_path_keywords(platform)


@pytest.mark.parametrize("data_type", PLAIN)
def test_coin_market_cap_uses_the_snapshot_date(platform, build_reader, instrument, data_type):
    reader = build_reader(data_type)
    reader.get_path(DataSource.coin_market_cap)
    assert platform.calls == [
        ("get_last_sunday", (), {"date_int": DATE}),
        path_call(instrument, DATE - 3, data_type, DataSource.coin_market_cap, DataDestination.processed_data),
    ]
    assert_path_keywords(platform)


@pytest.mark.parametrize("data_type", REDIRECTED)
@pytest.mark.parametrize("source", list(DataSource))
def test_redirected_kinds_answer_the_raw_path(platform, build_reader, instrument, source, data_type):
    reader = build_reader(data_type)
    path = reader.get_path(data_source=source)
    raw = path_call(instrument, DATE, data_type, source, DataDestination.raw_mkt_data)
    sunday = [("get_last_sunday", (), {"date_int": DATE})] if source is DataSource.coin_market_cap else []
    assert platform.calls == [*sunday, raw]
    assert path == reader.get_raw_data_path(source)


def test_compute_cmc_historical_snapshot_date(platform, build_reader):
    reader = build_reader()
    platform.last_sunday = lambda date_int: date_int * 10
    assert reader.compute_cmc_historical_snapshot_date(20240107) == 202401070
    assert reader.compute_cmc_historical_snapshot_date(date=-5) == -50
    assert platform.calls == [("get_last_sunday", (), {"date_int": 20240107}), ("get_last_sunday", (), {"date_int": -5})]


@pytest.mark.parametrize("value, name", [(StrSub("p"), "StrSub"), (b"p", "bytes"),
                                         (pathlib.PurePosixPath("p"), "PurePosixPath"), (7, "int")])
@pytest.mark.parametrize("call", [
    lambda r: r.get_path(DataSource.binance), lambda r: r.get_raw_data_path(DataSource.binance),
    lambda r: (setattr(r, "data_type", DataType.Liquidations), r.get_path(DataSource.tardis)),
], ids=["get_path", "get_raw_data_path", "get_path-redirected"])
def test_path_result_must_be_exactly_str(platform, build_reader, call, value, name):
    reader = build_reader()
    platform.path_of = lambda **kwargs: value
    with pytest.raises(TypeError) as excinfo:
        call(reader)
    assert type(excinfo.value) is TypeError and str(excinfo.value) == f"Expected unicode, got {name}"


@pytest.mark.parametrize("data_type", [DataType.Klines, DataType.Metrics])
def test_none_path_passes_through(platform, build_reader, data_type):
    reader = build_reader(data_type)
    platform.path_of = lambda **kwargs: None
    assert reader.get_path(DataSource.binance) is None
    assert reader.get_raw_data_path(DataSource.binance) is None
    assert reader.exists() is False
    assert platform.of("exists") == [((None,), {}), ((None,), {})]


@pytest.mark.parametrize("value, name", [(1.5, "float"), (IntSub(3), "IntSub"), (True, "bool"), ("20240107", "str")])
@pytest.mark.parametrize("data_type", [DataType.Klines, DataType.Metrics])
def test_snapshot_result_must_be_exactly_int(platform, build_reader, data_type, value, name):
    reader = build_reader(data_type)
    platform.last_sunday = lambda date_int: value
    for call in (lambda: reader.compute_cmc_historical_snapshot_date(DATE), lambda: reader.get_path(DataSource.coin_market_cap)):
        with pytest.raises(TypeError) as excinfo:
            call()
        assert str(excinfo.value) == f"Expected int, got {name}"
    assert "get_mktdata_path" not in platform.names()


def test_none_snapshot_passes_through(platform, build_reader, instrument):
    reader = build_reader()
    platform.last_sunday = lambda date_int: None
    assert reader.compute_cmc_historical_snapshot_date(DATE) is None
    reader.get_path(DataSource.coin_market_cap)
    assert platform.calls[-1] == path_call(instrument, None, DataType.Klines, DataSource.coin_market_cap,
                                           DataDestination.processed_data)


def test_attributes_and_globals_are_read_at_each_call(light_data, platform, build_reader, instrument, monkeypatch):
    reader = build_reader()
    reader.date, reader.data_type = 20240301, DataType.Metrics
    reader.get_path(DataSource.bybit)
    assert platform.calls[-1] == path_call(instrument, 20240301, DataType.Metrics, DataSource.bybit, DataDestination.raw_mkt_data)
    platform.path_of = lambda **kwargs: "p"
    names = SimpleNamespace(processed_data="P", raw_mkt_data="R")
    monkeypatch.setattr(light_data, "DataDestination", names)
    monkeypatch.setattr(light_data, "DataType", SimpleNamespace(DerivativeTicker=1, Liquidations=2, Metrics=3))
    monkeypatch.setattr(light_data, "DataSource", SimpleNamespace(coin_market_cap="cmc"))
    reader.data_type = 3
    reader.get_path("cmc")
    assert platform.calls[-2:] == [("get_last_sunday", (), {"date_int": 20240301}), path_call(instrument, 20240301, 3, "cmc", "R")]
    reader.data_type = DataType.Metrics
    reader.get_path(DataSource.coin_market_cap)
    assert platform.calls[-1] == path_call(instrument, 20240301, DataType.Metrics, DataSource.coin_market_cap, "P")


class Recording:
    """Answers every equality test with ``result``, recording what it was compared with."""

    def __init__(self, log, result):
        self.log, self.result = log, result

    def __eq__(self, other):
        self.log.append(other)
        return self.result

    __hash__ = object.__hash__


@pytest.mark.parametrize("result, redirected", [(0, False), ("", False), (1, True), ("yes", True)])
def test_equality_tests_take_the_truth_of_the_result(platform, build_reader, result, redirected):
    reader = build_reader()
    platform.path_of = lambda **kwargs: "p"
    seen_source, seen_type = [], []
    reader.data_type = Recording(seen_type, result)
    source = Recording(seen_source, result)
    reader.get_path(source)
    assert seen_source == [DataSource.coin_market_cap]
    assert seen_type == (REDIRECTED[:1] if redirected else REDIRECTED)
    assert platform.names() == (["get_last_sunday"] if result else []) + ["get_mktdata_path"]
    destination = DataDestination.raw_mkt_data if redirected else DataDestination.processed_data
    assert platform.calls[-1][2]["data_destination"] is destination


@pytest.mark.parametrize("hit, probed", [(0, 1), (1, 2), (None, 3)])
@pytest.mark.parametrize("container", [list, tuple, iter])
def test_exists_walks_the_sources_in_order(platform, build_reader, instrument, hit, probed, container):
    sources = [DataSource.tardis, DataSource.okx, DataSource.binance]
    reader = build_reader()
    reader.data_sources = container(sources)
    if hit is not None:
        platform.existing.add(platform.path_of(DATE, instrument, DataType.Klines, sources[hit], DataDestination.processed_data))
    assert reader.exists() is (hit is not None)
    expected = []
    for source in sources[:probed]:
        expected.append(path_call(instrument, DATE, DataType.Klines, source, DataDestination.processed_data))
        expected.append(("exists", (platform.path_of(**expected[-1][2]),), {}))
    assert platform.calls == expected


@pytest.mark.parametrize("answer, found", [("yes", True), (2, True), ([0], True), ("", False), (0, False), (None, False), ([], False)])
def test_exists_returns_exactly_true_or_false(platform, build_reader, answer, found):
    reader = build_reader(data_sources=[DataSource.tardis, DataSource.binance])
    probes = []
    reader.io_obj.exists = lambda path: probes.append(path) or answer
    assert reader.exists() is found
    assert len(probes) == (1 if found else 2)


def test_exists_with_no_sources_calls_nothing(platform, build_reader):
    reader = build_reader(data_sources=[])
    assert reader.exists() is False
    assert platform.calls == []


@pytest.mark.parametrize("data_type, destination", [(DataType.Liquidations, DataDestination.raw_mkt_data),
                                                    (DataType.Trades, DataDestination.processed_data)])
def test_exists_probes_what_get_path_answers(platform, build_reader, instrument, data_type, destination):
    reader = build_reader(data_type, data_sources=[DataSource.binance])
    path = platform.path_of(DATE, instrument, data_type, DataSource.binance, destination)
    platform.existing.add(path)
    assert reader.exists() is True
    assert platform.of("exists") == [((path,), {})]


Stop = type("Stop", (Exception,), {})


@pytest.mark.parametrize("where", ["path", "probe", "sunday"])
def test_exists_errors_end_the_walk(platform, build_reader, where):
    reader = build_reader(data_sources=[DataSource.coin_market_cap, DataSource.binance])
    error = Stop(where)

    def fail(*args, **kwargs):
        raise error

    if where == "probe":
        reader.io_obj.exists = fail
    elif where == "path":
        platform.path_of = fail
    else:
        platform.last_sunday = fail
    with pytest.raises(Stop) as excinfo:
        reader.exists()
    assert excinfo.value is error
    assert all(kwargs.get("data_source") is not DataSource.binance for _, _, kwargs in platform.calls)


@pytest.mark.parametrize("data_type, method, args, shadowed, returned, expected", [
    (DataType.Klines, "get_path", (DataSource.coin_market_cap,), "compute_cmc_historical_snapshot_date", 20231231, ((DATE,), {})),
    (DataType.Metrics, "get_path", (DataSource.okx,), "get_raw_data_path", "shadow", ((DataSource.okx,), {})),
    (DataType.Klines, "exists", (), "get_path", "shadow", ((), {"data_source": DataSource.tardis})),
    (DataType.Klines, "write", (None,), "get_path", "shadow", ((), {"data_source": DataSource.tardis})),
    (DataType.Klines, "write_raw_data", (None,), "get_raw_data_path", "shadow", ((), {"data_source": DataSource.tardis})),
    (DataType.Klines, "get_raw_data", (), "get_raw_data_path", "shadow", ((), {"data_source": DataSource.tardis})),
])
def test_path_operations_are_called_through_the_reader(platform, build_reader, data_type, method, args, shadowed, returned, expected):
    reader = build_reader(data_type)
    seen = []
    setattr(reader, shadowed, lambda *a, **k: seen.append((a, k)) or returned)
    platform.tables["shadow"] = frame()
    getattr(reader, method)(*args)
    assert seen[0] == expected
