"""Random mixes of positional and keyword arguments bind exactly when ``inspect.signature(...).bind``
does, and otherwise fail with the TypeError text of the binding rules."""

from __future__ import annotations

import inspect

import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from halvorn.orrery_data.enums import DataSource, DataType
from halvorn.orrery_utils.data_IO.data_IO_module import FileType
from support import METHOD_SIGNATURES, takes

DATE = 20240105
STORED = pd.DataFrame({"DateTime": [1, 2], "price": [1.0, 2.0]})
# Keyword names: every parameter name of any method (right for some, wrong for others), and others.
NAMES = sorted({p for params, _ in METHOD_SIGNATURES.values() for p in params} | {"bogus", "Date", "df_"})


class EveryPathHoldsATable(dict):
    # Storage of the recording fakes in which every path holds a fresh copy of STORED.
    def get(self, key, default=None):
        return STORED.copy()


def binding_error(name, params, args, kwargs):
    """The TypeError text the binding rules give for this call, or None when it binds."""
    init = name == "__init__"
    required = 4 if init else len(params)
    if len(args) > len(params):
        return takes(name, "at most" if init else "exactly", len(params), len(args))
    for i in range(len(args), required):
        if params[i] not in kwargs:
            return takes(name, "at least" if init else "exactly", required, i)
    for key in kwargs:  # leftover keywords, in the order they were passed
        if key in params[: len(args)]:
            return f"{name}() got multiple values for keyword argument '{key}'"
        if key not in params:
            return f"{name}() got an unexpected keyword argument '{key}'"
    return None


@settings(max_examples=200, deadline=None, database=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(data=st.data())
def test_binding_matches_the_interpreter(light_data, platform, build_reader, instrument, tmp_path, data):
    platform.tables = EveryPathHoldsATable()
    reader = build_reader()
    # A valid value for every parameter, so that a call that binds runs its body to the end.
    valid = dict(self=reader, date=DATE, instrument=instrument, data_type=DataType.Klines, use_minio_storage=False,
                 silent_fail=False, data_sources=[DataSource.tardis], file_type=FileType.Feather, use_cache=True,
                 write_cache=True, data_source=DataSource.binance, cache_path=str(tmp_path / "absent.feather"),
                 df=STORED.copy())
    name = data.draw(st.sampled_from(sorted(METHOD_SIGNATURES)), label="method")
    params = METHOD_SIGNATURES[name][0]
    positional = data.draw(st.integers(0, len(params) + 2), label="positional")
    args = [valid[params[i]] if i < len(params) else 0 for i in range(positional)]
    keys = [p for p in params[positional:] if data.draw(st.booleans())]
    keys += data.draw(st.lists(st.sampled_from(NAMES), max_size=3))
    keys = data.draw(st.permutations(list(dict.fromkeys(keys))), label="keywords")
    kwargs = {key: valid.get(key, 1) for key in keys}
    method = getattr(light_data.CryptoMktData, name)

    expected = binding_error(name, params, args, kwargs)
    try:
        inspect.signature(method).bind(*args, **kwargs)
        assert expected is None
    except TypeError:
        assert expected is not None
    if expected is None:
        method(*args, **kwargs)  # the body runs and succeeds with these values
    else:
        with pytest.raises(TypeError) as raised:
            method(*args, **kwargs)
        assert type(raised.value) is TypeError and str(raised.value) == expected
