"""Load the platform configuration from an INI file.

The file is the one named by the environment variable ``HALVORN_CONFIG`` when
it is set (and not empty), otherwise ``default_config.ini`` shipped beside this
module. Two defaults are available for interpolation in every section:

``user_data_dir``
    ``$XDG_DATA_HOME`` when it is an absolute path, else ``~/.local/share``.
``user_cache_dir``
    ``$XDG_CACHE_HOME`` when it is an absolute path, else ``~/.cache``.

(Relative XDG values are ignored, as the XDG base-directory rules require.)
Options whose names end in ``_dir``, ``_root`` or ``_path`` are paths: after
interpolation a leading ``~`` is expanded to the user's home folder. A relative
``LOCAL_DATA_CACHE_DIR`` is taken relative to the configuration file's folder
(not to the current folder); an empty one is refused.

A comment may follow a value on the same line after whitespace and ``#`` or
``;``. A missing section or option raises ``KeyError`` (or configparser's
``NoSectionError``/``NoOptionError`` through ``get``) with a message naming
the file and what is missing.
"""

from __future__ import annotations

import configparser
import errno
import os
from collections.abc import Mapping, MutableMapping
from pathlib import Path
from typing import Any

__all__ = ["CONFIG_ENV_VAR", "DEFAULT_CONFIG_PATH", "ConfigLoader", "MissingConfigurationError",
           "configuration_key"]

CONFIG_ENV_VAR = "HALVORN_CONFIG"
DEFAULT_CONFIG_PATH = Path(__file__).with_name("default_config.ini")
_DEFAULT_CONFIG_TEXT = str(DEFAULT_CONFIG_PATH)

_PATH_OPTION_SUFFIXES = ("_dir", "_root", "_path")


_CACHE_DIR_OPTION = "local_data_cache_dir"  # option names are kept in lower case


class MissingConfigurationError(KeyError):
    """A section or option the caller needs is not in the configuration file.

    ``args`` holds the missing name alone, as for a plain ``KeyError``; the
    message names the file too.
    """

    def __init__(self, key: str, message: str = "") -> None:
        super().__init__(key)
        self.message = message or f"{key!r} is missing from the configuration"

    def __str__(self) -> str:
        return self.message


class _PathExpandingInterpolation(configparser.BasicInterpolation):
    """``%(name)s`` interpolation that also expands ``~`` in path options, and
    resolves a relative cache folder against the configuration file's folder."""

    def __init__(self, config_dir: str, source: str) -> None:
        self.config_dir = config_dir
        self.source = source

    def before_get(
        self,
        parser: MutableMapping[str, Mapping[str, str]],
        section: str,
        option: str,
        value: str,
        defaults: Mapping[str, str],
    ) -> str:
        value = super().before_get(parser, section, option, value, defaults)
        if option.endswith(_PATH_OPTION_SUFFIXES):
            value = os.path.expanduser(value)
        if option == _CACHE_DIR_OPTION:
            if not value.strip():
                raise ValueError(f"LOCAL_DATA_CACHE_DIR is empty in {self.source}")
            # Relative to the file, so that the cache does not move with the current folder.
            value = os.path.join(self.config_dir, value)
        return value


class _SectionProxy(configparser.SectionProxy):
    def __getitem__(self, key: str) -> str:
        if not self.parser.has_option(self.name, key):
            source = getattr(self.parser, "source", "the configuration")
            raise MissingConfigurationError(key, f"option {key} is missing from section [{self.name}] of {source}")
        return self.parser.get(self.name, key)


class _Configuration(configparser.ConfigParser):
    """A ConfigParser whose errors for missing sections and options name its file."""

    source = "the configuration"

    def __getitem__(self, key: str) -> configparser.SectionProxy:
        if key != self.default_section and not self.has_section(key):
            raise MissingConfigurationError(key, f"section [{key}] is missing from {self.source}")
        return _SectionProxy(self, key)

    def get(self, section: str, option: str, **kwargs: Any) -> Any:  # type: ignore[override]
        try:
            return super().get(section, option, **kwargs)
        except (configparser.NoSectionError, configparser.NoOptionError) as error:
            error.message = f"{error.message} in {self.source}"
            raise


def _xdg_dir(variable: str, fallback: str) -> str:
    value = os.environ.get(variable, "")
    if not os.path.isabs(value):
        value = os.path.join(os.path.expanduser("~"), fallback)
    # A literal "%" in a folder name must not be read as interpolation syntax.
    return value.replace("%", "%%")


def _config_path() -> Path:
    named = os.environ.get(CONFIG_ENV_VAR, "")
    return Path(os.path.expanduser(named)) if named else DEFAULT_CONFIG_PATH


def configuration_key() -> tuple:
    """What the configuration's values depend on: the file (its path, size and
    modification time) and the folders it interpolates. Equal keys mean equal
    configurations; a missing file gives a key that is never cached."""
    # Asked on every storage path built: plain strings, not a Path, keep it a few microseconds.
    named = os.environ.get(CONFIG_ENV_VAR, "")
    path = os.path.expanduser(named) if named else _DEFAULT_CONFIG_TEXT
    try:
        status = os.stat(path)
    except OSError:
        return (path, object())
    return (path, status.st_size, status.st_mtime_ns, status.st_ino,
            os.environ.get("XDG_DATA_HOME", ""), os.environ.get("XDG_CACHE_HOME", ""),
            os.environ.get("HOME", ""))


class ConfigLoader:
    """Read the configuration afresh; the result is in :attr:`config`.

    Raises ``FileNotFoundError`` (naming the path) when the configuration
    file does not exist, and ``configparser.Error`` when it is malformed.
    """

    config: configparser.ConfigParser
    path: Path

    def __init__(self) -> None:
        self.path = _config_path()
        self.config = _Configuration(
            defaults={
                "user_data_dir": _xdg_dir("XDG_DATA_HOME", ".local/share"),
                "user_cache_dir": _xdg_dir("XDG_CACHE_HOME", ".cache"),
            },
            interpolation=_PathExpandingInterpolation(os.path.dirname(os.path.abspath(self.path)), str(self.path)),
            inline_comment_prefixes=("#", ";"),
        )
        self.config.source = str(self.path)
        # ConfigParser.read() skips missing files silently; open it ourselves
        # so a mistyped HALVORN_CONFIG fails loudly instead of yielding defaults.
        try:
            handle = open(self.path, encoding="utf-8")
        except FileNotFoundError:
            source = CONFIG_ENV_VAR if os.environ.get(CONFIG_ENV_VAR) else "packaged default"
            message = f"configuration file not found ({source})"
            raise FileNotFoundError(errno.ENOENT, message, str(self.path)) from None
        with handle:
            self.config.read_file(handle, source=str(self.path))
