"""See and manage the local Feather cache of ``CryptoMktData`` readers.

The command ``light-data-cache`` (also ``python -m halvorn.orrery_data.light_data_cache``)
and the functions :func:`info`, :func:`ls`, :func:`where`, :func:`verify`, :func:`prune`,
:func:`clean_temp` and :func:`clear` work on the cache folder of the configuration
(``LOCAL_DATA_CACHE_DIR``) or on another folder given to them. Each function returns plain
data (dataclasses); the command prints it, as JSON with ``--json``.

Which entries are the reader's, how a cache file is named and opened, and when a writer's
temporary file is a leftover are decided by the reader's own code (the private module
``_light_data_core``), never restated here. Only entries named as the reader names them are
ever looked at or removed: cache files and the reader's temporary files. Entries are examined
through one descriptor of the folder and opened as the reader opens them, so a symbolic link
is never followed and nothing outside the folder is touched; an entry is removed only if it
is still the one examined, and an entry that another process replaced or removed meanwhile is
skipped. Readers in other processes may use the cache at the same time: a reader whose cache
file is removed reads the table from storage again.

The parts, one concern a module: ``reader_rules`` (the reader's names and leftovers, from the
reader), ``cache_folder`` (the folder through one descriptor), ``file_contents`` (what a cache
file holds and whether the reader would serve it, read by the reader's own code),
``operations`` (the functions above), ``printers`` (the command's text output) and
``command_line`` (the command). Import from this package.
"""

from __future__ import annotations

from halvorn.orrery_data._light_data_inputs import parse_age, parse_date, parse_size

from .cache_folder import CacheCommandError, configured_cache_dir
from .command_line import main
from .operations import (BadEntry, CacheFile, Info, Listing, Location, Locations, Removal, Removed, Verification,
                         clean_temp, clear, info, ls, prune, verify, where)
from .printers import human_age, human_size
from .reader_rules import (OTHER_HOST_LEFTOVER_AGE, STORAGE_PATH_KEY, TemporaryName, cache_name_for, host_label,
                           is_leftover, parse_temporary_name)

__all__ = [
    "OTHER_HOST_LEFTOVER_AGE", "STORAGE_PATH_KEY", "TemporaryName", "cache_name_for", "host_label",
    "parse_temporary_name", "is_leftover", "CacheCommandError", "configured_cache_dir", "CacheFile",
    "Info", "Listing", "Location", "Locations", "BadEntry", "Verification", "Removed", "Removal",
    "info", "ls", "where", "verify", "prune", "clean_temp", "clear", "parse_size", "parse_age",
    "parse_date", "main",
]
