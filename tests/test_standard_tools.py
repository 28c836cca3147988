"""The methods as the standard library's tools meet interpreter-level functions."""

from __future__ import annotations

import copy
import pickle
import typing
from unittest import mock

import pandas as pd
import pytest

from halvorn.orrery_data.enums import DataSource
from support import METHOD_SIGNATURES


@pytest.mark.parametrize("name", METHOD_SIGNATURES)
def test_methods_pickle_and_copy_by_reference(light_data, name):
    method = getattr(light_data.CryptoMktData, name)
    assert pickle.loads(pickle.dumps(method)) is method
    assert copy.deepcopy({"method": method})["method"] is method


def test_type_hints_resolve_in_the_module_globals(light_data):
    C = light_data.CryptoMktData
    assert typing.get_type_hints(C.get) == {"return": typing.Optional[pd.DataFrame]}
    hints = typing.get_type_hints(C.__init__)
    assert hints["data_sources"] == typing.List[DataSource] and hints["date"] is int


def test_autospec_checks_the_signatures(light_data):
    reader = mock.create_autospec(light_data.CryptoMktData, instance=True)
    with pytest.raises(TypeError, match="data_source"):
        reader.get_path()
    with pytest.raises(TypeError):
        reader.get(1)
    reader.get_path(DataSource.tardis)
    reader.get_path.assert_called_once_with(DataSource.tardis)
    with pytest.raises(TypeError, match="date"):
        mock.create_autospec(light_data.CryptoMktData)()
