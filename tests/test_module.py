"""Import-time facts: globals, the class, its method table, initialisation."""

from __future__ import annotations

import hashlib
import importlib
import inspect
import json
import logging
import os
import pydoc
import subprocess
import sys
import textwrap
import traceback
import types
import typing

import pandas
import pytest

import halvorn.orrery_data.enums as enums
import halvorn.orrery_data.path_manager as path_manager
import halvorn.orrery_utils.config_loader.config_loader as config_loader
import halvorn.orrery_utils.data_IO.data_IO_module as data_io
import halvorn.orrery_utils.priceable.instrument as instrument_module
import halvorn.orrery_utils.time_utils as time_utils
from halvorn.orrery_data.enums import DataType
from support import METHOD_SIGNATURES

NAME = "halvorn.orrery_data.light_data"
IMPORT_DUNDERS = {"__name__", "__doc__", "__loader__", "__file__", "__package__", "__spec__", "__builtins__"}
GLOBALS = {
    "hashlib": hashlib, "logging": logging, "os": os, "traceback": traceback,
    "List": typing.List, "Optional": typing.Optional, "pd": pandas,
    "DataDestination": enums.DataDestination, "DataSource": enums.DataSource, "DataType": enums.DataType,
    "PathManager": path_manager.PathManager, "ConfigLoader": config_loader.ConfigLoader,
    "DataIOModule": data_io.DataIOModule, "FileType": data_io.FileType,
    "Instrument": instrument_module.Instrument, "TradingDay": time_utils.TradingDay,
}
CLASS_DOC = "\n    This class provide a simple data reader marlin_ledgers for crypto market data dumped by Tick_Harvester.\n    "
INIT_DEFAULTS = (None, False, None, data_io.FileType.Feather, True, True)


def run_fresh(code: str) -> dict:
    """Run ``code`` in a new interpreter; it prints one JSON value last."""
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.splitlines()[-1])


def test_globals_are_bound_in_order_in_a_fresh_interpreter():
    names = run_fresh(
        f"""
        import json, halvorn.orrery_data.light_data as m
        print(json.dumps([k for k in vars(m) if k not in {sorted(IMPORT_DUNDERS)!r}]))
        """
    )
    assert names == [*GLOBALS, "CryptoMktData", "__test__"]


@pytest.mark.parametrize("name", list(GLOBALS))
def test_global_is_the_imported_object(light_data, name):
    assert getattr(light_data, name) is GLOBALS[name]


def test_module_facts(light_data):
    assert light_data.__name__ == NAME
    assert light_data.__doc__ == "\nFollowing defines light data reader marlin_ledgers\n"
    assert isinstance(light_data.__loader__, importlib.machinery.ExtensionFileLoader)
    assert not hasattr(light_data, "pandas")
    assert type(light_data.__test__) is dict and light_data.__test__ == {}
    functions = (types.FunctionType, types.BuiltinFunctionType)
    assert [k for k, v in vars(light_data).items() if isinstance(v, functions)] == []


def test_class_facts(light_data):
    cls = light_data.CryptoMktData
    assert type(cls) is type and cls.__bases__ == (object,)
    assert cls.__name__ == cls.__qualname__ == "CryptoMktData"
    assert cls.__module__ == NAME and cls.__doc__ == CLASS_DOC
    assert cls.DataType is enums.DataType
    # the namespace order given to type(): __qualname__ is consumed by type() itself
    assert list(vars(cls)) == ["__module__", "__doc__", "DataType", *METHOD_SIGNATURES, "__dict__", "__weakref__"]


def expected_signature(name: str) -> inspect.Signature:
    params, annotations = METHOD_SIGNATURES[name]
    defaults = dict(zip(params[4:], INIT_DEFAULTS)) if name == "__init__" else {}
    empty = inspect.Parameter.empty
    return inspect.Signature(
        [
            inspect.Parameter(p, inspect.Parameter.POSITIONAL_OR_KEYWORD, default=defaults.get(p, empty),
                              annotation=annotations.get(p, empty))
            for p in params
        ],
        return_annotation=annotations.get("return", inspect.Signature.empty),
    )


@pytest.mark.parametrize("name", list(METHOD_SIGNATURES))
def test_method_attributes(light_data, name):
    params, annotations = METHOD_SIGNATURES[name]
    function = vars(light_data.CryptoMktData)[name]
    assert getattr(light_data.CryptoMktData, name) is function
    assert function.__name__ == name
    assert function.__qualname__ == f"CryptoMktData.{name}"
    assert function.__module__ == NAME
    assert function.__doc__ is None
    assert function.__kwdefaults__ is None
    assert function.__annotations__ == annotations
    assert all(type(v) is str for v in function.__annotations__.values())
    if name == "__init__":
        assert all(a is b for a, b in zip(function.__defaults__, INIT_DEFAULTS, strict=True))
        assert type(function.__defaults__) is tuple
    else:
        assert function.__defaults__ is None
    code = function.__code__
    assert type(code) is types.CodeType
    assert (code.co_argcount, code.co_posonlyargcount, code.co_kwonlyargcount) == (len(params), 0, 0)
    assert code.co_varnames[: len(params)] == params
    assert not code.co_flags & (inspect.CO_VARARGS | inspect.CO_VARKEYWORDS)
    assert inspect.signature(function) == expected_signature(name)
    assert str(inspect.signature(function)) == str(expected_signature(name))


def test_class_signature_and_help(light_data):
    init = expected_signature("__init__")
    assert inspect.signature(light_data.CryptoMktData) == init.replace(parameters=list(init.parameters.values())[1:])
    text = pydoc.render_doc(light_data.CryptoMktData, renderer=pydoc.plaintext)
    assert "get_path(self, data_source: 'DataSource') -> 'str'" in text
    assert "write_raw_data(self, df: 'pd.DataFrame') -> 'None'" in text


@pytest.mark.parametrize("name", list(METHOD_SIGNATURES))
def test_method_binds_to_an_instance(light_data, platform, instrument, name):
    reader = light_data.CryptoMktData(20240105, instrument, DataType.Klines)
    bound = getattr(reader, name)
    assert type(bound) is types.MethodType
    assert bound.__self__ is reader
    assert bound.__func__ is vars(light_data.CryptoMktData)[name]
    assert bound == getattr(reader, name)


def test_second_import_gives_the_same_initialised_module(light_data, monkeypatch):
    before = dict(vars(light_data))
    monkeypatch.delitem(sys.modules, NAME)
    again = importlib.import_module(NAME)
    assert again is light_data
    assert again.__test__ is before["__test__"] and again.CryptoMktData is before["CryptoMktData"]


def test_reload_leaves_globals_as_they_were(light_data, monkeypatch):
    substitute = object()
    monkeypatch.setattr(light_data, "ConfigLoader", substitute)
    before = {k: v for k, v in vars(light_data).items() if k not in IMPORT_DUNDERS}
    assert importlib.reload(light_data) is light_data
    after = {k: v for k, v in vars(light_data).items() if k not in IMPORT_DUNDERS}
    assert list(after) == list(before)
    assert all(after[k] is before[k] for k in before)
    assert light_data.ConfigLoader is substitute


FAILED_INIT = """
import importlib, json, sys, traceback, types
import halvorn.orrery_data.path_manager, halvorn.orrery_utils.data_IO.data_IO_module  # siblings of siblings loaded
import {module} as original
{setup}
try:
    import halvorn.orrery_data.light_data
except BaseException as exc:
    first = [type(exc).__name__, str(exc), [f.name for f in traceback.extract_tb(exc.__traceback__)]]
else:
    first = ["imported"]
left_behind = "halvorn.orrery_data.light_data" in sys.modules
sys.modules["{module}"] = original
import halvorn.orrery_data.light_data as m
print(json.dumps([first, left_behind, m.__test__, m.{name} is getattr(original, "{name}", original)]))
"""


@pytest.mark.parametrize(
    "module, name, setup, error",
    [
        ("halvorn.orrery_data.enums", "DataSource", 'sys.modules["halvorn.orrery_data.enums"] = None',
         ["ModuleNotFoundError", "import of halvorn.orrery_data.enums halted; None in sys.modules"]),
        ("pandas", "pd", 'sys.modules["pandas"] = None',
         ["ModuleNotFoundError", "import of pandas halted; None in sys.modules"]),
        ("halvorn.orrery_utils.time_utils", "TradingDay",
         'sys.modules["halvorn.orrery_utils.time_utils"] = types.ModuleType("halvorn.orrery_utils.time_utils")',
         ["ImportError", "cannot import name TradingDay"]),
    ],
    ids=["sibling-module", "pandas", "missing-name"],
)
def test_failed_initialisation_raises_and_a_later_import_succeeds(module, name, setup, error):
    first, left_behind, test_dict, same = run_fresh(FAILED_INIT.format(module=module, name=name, setup=setup))
    assert first[:2] == error
    assert "init halvorn.orrery_data.light_data" in first[2]
    assert left_behind is False
    assert test_dict == {} and same is True


def test_from_import_falls_back_to_the_registered_submodule():
    result = run_fresh(
        """
        import json, sys, types
        import halvorn.orrery_data.path_manager
        stand_in = types.ModuleType("halvorn.orrery_utils.time_utils")
        sys.modules["halvorn.orrery_utils.time_utils"] = stand_in
        marker = sys.modules["halvorn.orrery_utils.time_utils.TradingDay"] = types.ModuleType("marker")
        import halvorn.orrery_data.light_data as m
        print(json.dumps(m.TradingDay is marker))
        """
    )
    assert result is True


def test_second_interpreter_is_refused():
    result = run_fresh(
        """
        import json, os, tempfile
        import _xxsubinterpreters as interpreters
        import halvorn.orrery_data.light_data
        out = os.path.join(tempfile.mkdtemp(), "result.json")
        interp = interpreters.create()
        interpreters.run_string(interp, f'''
        import json
        try:
            import halvorn.orrery_data.light_data
        except BaseException as exc:
            result = [type(exc).__name__, str(exc)]
        else:
            result = ["imported"]
        with open({out!r}, "w") as handle:
            json.dump(result, handle)
        ''')
        interpreters.destroy(interp)
        with open(out) as handle:
            print(handle.read())
        """
    )
    assert result == ["ImportError", "Interpreter change detected - this module can only be loaded into one interpreter per process."]
