"""The call-overhead cases: a reader method against the leanest interpreter-level method that
does the same work, in loops of calls with the collector off."""

from __future__ import annotations

import textwrap
import types
from collections.abc import Callable

import halvorn.orrery_data.light_data as light_data
from halvorn.orrery_data.enums import DataSource, DataType
from halvorn.orrery_data.light_data import CryptoMktData

from single_read_setup import DATE0, INSTRUMENT, SOURCE, Bench, Row, TrivialPathManager, rebound, timed_row
from timing import fmt_time, verdict

# The reader's rules for the timed calls, written as interpreter-level functions whose
# globals are the extension module's own: they read DataSource, DataType, PathManager and
# DataDestination from light_data's globals at each use, as the reader must (a substitute
# bound over a global is seen), test the result type, and bind their arguments. They are the
# floor of a call-overhead case: the leanest interpreter-level method that does the same work.
_RULES = compile(textwrap.dedent("""
    def exists(self):
        for data_source in self.data_sources:
            if self.io_obj.exists(self.get_path(data_source=data_source)):
                return True
        return False

    def get_path(self, data_source):
        date = self.date
        if data_source == DataSource.coin_market_cap:
            date = self.compute_cmc_historical_snapshot_date(self.date)
        data_type = self.data_type
        if (data_type == DataType.DerivativeTicker or data_type == DataType.Liquidations
                or data_type == DataType.Metrics):
            return self.get_raw_data_path(data_source)
        path = PathManager.get_mktdata_path(date=date, instrument=self.instrument, data_type=self.data_type,
                                            data_source=data_source,
                                            data_destination=DataDestination.processed_data)
        if path is not None and type(path) is not str:
            raise TypeError("Expected unicode, got " + type(path).__name__)
        return path

    def get_raw_data_path(self, data_source):
        path = PathManager.get_mktdata_path(date=self.date, instrument=self.instrument,
                                            data_type=self.data_type, data_source=data_source,
                                            data_destination=DataDestination.raw_mkt_data)
        if path is not None and type(path) is not str:
            raise TypeError("Expected unicode, got " + type(path).__name__)
        return path
"""), "<reader rules>", "exec")


def _rule(name: str) -> types.FunctionType:
    code = next(c for c in _RULES.co_consts if isinstance(c, types.CodeType) and c.co_name == name)
    return types.FunctionType(code, vars(light_data), name)


class PyReader:
    """A reader whose timed methods are the interpreter-level floor (_RULES)."""

    exists = _rule("exists")
    get_path = _rule("get_path")
    get_raw_data_path = _rule("get_raw_data_path")

    def __init__(self, reader: CryptoMktData) -> None:
        vars(self).update(vars(reader))


# Call loops for the call-overhead cases: each runs one call `len(loops)` times.


def exists_calls(obj, loops: range) -> Callable[[], None]:
    def run() -> None:
        for _ in loops:
            obj.exists()
    return run


def get_path_calls(obj, source: DataSource, loops: range) -> Callable[[], None]:
    def run() -> None:
        for _ in loops:
            obj.get_path(source)
    return run


def bad_calls(obj, loops: range) -> Callable[[], None]:
    def run() -> None:
        for _ in loops:
            try:
                obj.exists(1)
            except TypeError:
                pass
    return run


def builder_calls(builder, loops: range) -> Callable[[], None]:
    """The keyword call of the path builder that get_path makes, alone: its
    arguments are read before the loop, so only the call itself is timed."""
    def run() -> None:
        build, date, instrument, data_type = builder.get_mktdata_path, DATE0, INSTRUMENT, DataType.Klines
        source, destination = SOURCE, light_data.DataDestination.processed_data
        for _ in loops:
            build(date=date, instrument=instrument, data_type=data_type, data_source=source,
                  data_destination=destination)
    return run


def exists_without_sources(bench: Bench) -> Row:
    reader = CryptoMktData(DATE0, INSTRUMENT, DataType.Klines, data_sources=[])
    assert reader.exists() is False
    loops = range(bench.call_loops)
    t_r, t_f = bench.call_overhead(exists_calls(reader, loops), exists_calls(PyReader(reader), loops))
    return timed_row("exists(), no data sources", "call", t_r, t_f, "≤ 1.0x", verdict(t_r / t_f, 1.0))


def get_path_trivial_path_manager(bench: Bench, data_type: DataType, what: str) -> Row:
    reader = CryptoMktData(DATE0, INSTRUMENT, data_type, data_sources=[SOURCE])
    loops = range(bench.call_loops)
    with rebound(light_data, PathManager=TrivialPathManager):
        assert reader.get_path(SOURCE) == PyReader(reader).get_path(SOURCE) == "/data/path"
        t_r, t_f = bench.call_overhead(get_path_calls(reader, SOURCE, loops),
                                       get_path_calls(PyReader(reader), SOURCE, loops))
        # What the reader cannot avoid: one keyword call of the path builder,
        # timed against the reader for its own share.
        t_r2, t_b = bench.call_overhead(get_path_calls(reader, SOURCE, loops),
                                        builder_calls(TrivialPathManager, loops))
    return timed_row(f"get_path(source), {what}, trivial PathManager", "call", t_r, t_f, "≤ 1.0x",
                     f"{verdict(t_r / t_f, 1.0)}; builder call alone {fmt_time(t_b)}, "
                     f"reader minus builder {fmt_time(t_r2 - t_b)}")


def get_path_standin_path_manager(bench: Bench) -> Row:
    """The same call on the stand-in PathManager, which validates its arguments and
    stats the configuration file on every call (it parses the file again only when
    the file changed)."""
    reader = CryptoMktData(DATE0, INSTRUMENT, DataType.Klines, data_sources=[SOURCE])
    few = range(max(bench.call_loops // 50, 20))
    t_r, t_s = bench.call_overhead(get_path_calls(reader, SOURCE, few),
                                   builder_calls(light_data.PathManager, few), loops=len(few))
    t_f, _ = bench.call_overhead(get_path_calls(PyReader(reader), SOURCE, few), lambda: None, loops=len(few))
    return timed_row("get_path(source), klines, stand-in PathManager (info)", "call", t_r, t_f, "(info)",
                     f"stand-in alone {fmt_time(t_s)}; reader minus stand-in {fmt_time(t_r - t_s)}")


def binding_error(bench: Bench) -> Row:
    """A call with a surplus argument, against the interpreter's own refusal of it. The
    reader's refusal also adds the traceback entry that names the method; the goal bounds
    what that entry may cost."""
    reader = CryptoMktData(DATE0, INSTRUMENT, DataType.Klines, data_sources=[])
    loops = range(bench.call_loops)
    t_r, t_f = bench.call_overhead(bad_calls(reader, loops), bad_calls(PyReader(reader), loops))
    return timed_row("binding error: exists(1), TypeError caught", "call", t_r, t_f, "≤ 1.3x",
                     verdict(t_r / t_f, 1.3))
