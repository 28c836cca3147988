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
interpolation a leading ``~`` is expanded to the user's home folder.
"""

from __future__ import annotations

import configparser
import errno
import os
from collections.abc import Mapping
from pathlib import Path

__all__ = ["CONFIG_ENV_VAR", "DEFAULT_CONFIG_PATH", "ConfigLoader", "configuration_key"]

CONFIG_ENV_VAR = "HALVORN_CONFIG"
DEFAULT_CONFIG_PATH = Path(__file__).with_name("default_config.ini")

_PATH_OPTION_SUFFIXES = ("_dir", "_root", "_path")


class _PathExpandingInterpolation(configparser.BasicInterpolation):
    """``%(name)s`` interpolation that also expands ``~`` in path options."""

    def before_get(
        self,
        parser: configparser.RawConfigParser,
        section: str,
        option: str,
        value: str,
        defaults: Mapping[str, str],
    ) -> str:
        value = super().before_get(parser, section, option, value, defaults)
        if option.endswith(_PATH_OPTION_SUFFIXES):
            value = os.path.expanduser(value)
        return value


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
    path = _config_path()
    try:
        status = os.stat(path)
    except OSError:
        return (str(path), object())
    return (str(path), status.st_size, status.st_mtime_ns, status.st_ino,
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
        self.config = configparser.ConfigParser(
            defaults={
                "user_data_dir": _xdg_dir("XDG_DATA_HOME", ".local/share"),
                "user_cache_dir": _xdg_dir("XDG_CACHE_HOME", ".cache"),
            },
            interpolation=_PathExpandingInterpolation(),
        )
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
