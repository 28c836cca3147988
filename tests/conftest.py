"""Fixtures shared by the whole suite (the helpers they use are in ``support``).

Three ways to drive a reader:

* ``storage``: the real platform stand-ins on real files, configured through
  an INI file in a temporary folder (nothing touches the user's folders);
* ``platform``: recording fakes bound over the module's globals
  (``ConfigLoader``, ``PathManager``, ``TradingDay``, ``DataIOModule``).
  The module reads its globals at each use, so binding over them is the
  supported way to substitute a collaborator. Every call a fake receives is
  appended to ``platform.calls`` as ``(name, args, kwargs)``; tests assert on
  that record.
* ``lean``: fakes over the same globals that record nothing, for the
  reference-leak tests; their behaviour is set through ``support.B``.
"""

from __future__ import annotations

import logging
import textwrap
import threading
from pathlib import Path
from types import SimpleNamespace

import pytest

import halvorn.orrery_data.light_data as light_data_module
from halvorn.orrery_data.enums import DataType
from halvorn.orrery_utils.priceable.instrument import Instrument
from support import DEFAULTS, LEAN, B, FakePlatform, S3Server, default_path


# The fixtures that start a Dask cluster: a test that uses one is marked python_only.
CLUSTER_FIXTURES = {"cluster", "command_line_workers", "unconfigured_workers"}


def pytest_collection_modifyitems(items: list[pytest.Item]) -> None:
    for item in items:
        if CLUSTER_FIXTURES & set(getattr(item, "fixturenames", ())):
            item.add_marker(pytest.mark.python_only)


@pytest.fixture(scope="session")
def light_data():
    return light_data_module


@pytest.fixture
def instrument() -> Instrument:
    return Instrument(exchange="binance-futures", symbol="BTCUSDT")


@pytest.fixture
def storage(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> SimpleNamespace:
    """Real stand-ins: storage root and cache folder under ``tmp_path``."""
    root = tmp_path / "store"
    cache_dir = tmp_path / "cache"
    config_path = tmp_path / "platform.ini"
    config_path.write_text(
        textwrap.dedent(
            f"""\
            [env]
            use_minio_storage = false

            [data_related]
            LOCAL_DATA_ROOT = {root}
            LOCAL_DATA_CACHE_DIR = {cache_dir}
            """
        )
    )
    monkeypatch.setenv("HALVORN_CONFIG", str(config_path))
    return SimpleNamespace(root=root, cache_dir=cache_dir, config_path=config_path)


@pytest.fixture
def platform(light_data, tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> FakePlatform:
    fake = FakePlatform(cache_dir=str(tmp_path / "cache"))
    fake.path_of = default_path
    for name, value in fake.collaborators().items():
        monkeypatch.setattr(light_data, name, value)
    return fake


@pytest.fixture
def build_reader(light_data, platform, instrument):
    """Reader on the recording fakes (date 20240105); the construction calls are cleared."""

    def build(data_type=DataType.Klines, **kwargs):
        reader = light_data.CryptoMktData(20240105, instrument, data_type, **kwargs)
        platform.calls.clear()
        return reader

    return build


# Threads that reads and writes of many tables abandon on an interrupt, which may still be at work.
_ABANDONABLE = ("light_data_batch", "light_data_stream", "object-store-lookup")


@pytest.fixture
def lean(light_data, monkeypatch):
    # Reference counts are process-wide: reads that earlier tests abandoned must end first.
    for thread in threading.enumerate():
        if thread.daemon and thread.name.startswith(_ABANDONABLE):
            thread.join(60)
    for name, value in LEAN.items():
        monkeypatch.setattr(light_data, name, value)
    vars(B).update(DEFAULTS)
    logging.disable(logging.CRITICAL)  # log records would pile up in pytest's handlers
    yield
    logging.disable(logging.NOTSET)


@pytest.fixture
def logs(caplog: pytest.LogCaptureFixture):
    """Root-logger records at every level, as (levelname, message) pairs."""
    caplog.set_level(logging.DEBUG)

    def records() -> list[tuple[str, str]]:
        return [(r.levelname, r.getMessage()) for r in caplog.records]

    records.raw = caplog  # type: ignore[attr-defined]
    return records


@pytest.fixture(scope="session")
def s3_server() -> str:
    """The address of one S3-API test server (moto) for the session; tests make their own buckets."""
    server = S3Server()
    yield server.address
    server.stop()
