"""The stand-in configuration loader as a new user meets it: pasted snippets, relative
folders and missing sections."""

from __future__ import annotations

import configparser
import re

import pytest

from halvorn.orrery_utils.config_loader.config_loader import ConfigLoader

from test_documentation import ROOT


def test_the_readme_configuration_snippet_works_when_pasted(tmp_path, monkeypatch):
    snippet = re.search(r"## Configuration.*?```ini\n(.*?)```", (ROOT / "README.md").read_text(), re.DOTALL)[1]
    path = tmp_path / "platform.ini"
    path.write_text(snippet)
    monkeypatch.setenv("HALVORN_CONFIG", str(path))
    monkeypatch.setenv("XDG_DATA_HOME", str(tmp_path / "data"))
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path / "cache"))

    section = ConfigLoader().config["data_related"]

    assert section["LOCAL_DATA_ROOT"] == f"{tmp_path}/data/halvorn/market_data"
    assert section["LOCAL_DATA_CACHE_DIR"] == f"{tmp_path}/cache/halvorn/light_data"


@pytest.mark.parametrize("value, expected", [
    ("cache", "{config}/cache"),
    ("../shared/cache  # beside the project", "{config}/../shared/cache"),
    ("/var/cache/light", "/var/cache/light"),
    ("", ValueError),
])
def test_a_relative_cache_folder_follows_the_configuration_file(tmp_path, monkeypatch, value, expected):
    folder = tmp_path / "conf"
    folder.mkdir()
    (folder / "platform.ini").write_text(f"[data_related]\nLOCAL_DATA_CACHE_DIR = {value}\n")
    monkeypatch.setenv("HALVORN_CONFIG", str(folder / "platform.ini"))
    monkeypatch.chdir(tmp_path)  # not the configuration's folder
    section = ConfigLoader().config["data_related"]
    if expected is ValueError:
        with pytest.raises(ValueError, match="LOCAL_DATA_CACHE_DIR is empty"):
            section["LOCAL_DATA_CACHE_DIR"]
    else:
        assert section["LOCAL_DATA_CACHE_DIR"] == expected.format(config=folder)


@pytest.mark.parametrize("read, error, missing", [
    (lambda c: c["data_related"], KeyError, "data_related"),
    (lambda c: c["env"]["LOCAL_DATA_CACHE_DIR"], KeyError, "LOCAL_DATA_CACHE_DIR"),
    (lambda c: c.getboolean("data_related", "use_minio_storage"), configparser.NoSectionError, "data_related"),
    (lambda c: c.getboolean("env", "use_minio_storage"), configparser.NoOptionError, "use_minio_storage"),
])
def test_a_missing_section_or_option_is_named_with_the_file(tmp_path, monkeypatch, read, error, missing):
    path = tmp_path / "platform.ini"
    path.write_text("[env]\n")
    monkeypatch.setenv("HALVORN_CONFIG", str(path))
    with pytest.raises(error) as raised:
        read(ConfigLoader().config)
    assert missing in str(raised.value) and str(path) in str(raised.value)
