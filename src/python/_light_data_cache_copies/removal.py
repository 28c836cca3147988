"""``light-data-cache rm``: this machine's cached copies of the tables of some instruments, one
kind and a range of days, removed (or, with ``dry_run``, listed)."""

from __future__ import annotations

from typing import Any

from halvorn.orrery_data._light_data_inputs import parse_instrument
from halvorn.orrery_data.light_data_cache.cache_folder import CONFIGURATION_ERRORS, CacheCommandError, Folder, resolved
from halvorn.orrery_data.light_data_cache.operations import _member, _remove_chosen
from halvorn.orrery_data.light_data_cache.reader_rules import cache_name_for


def copies_of(instruments: str, data_type: str, start: int, end: int, sources: list[str] | None = None
              ) -> tuple[str, dict[str, str]]:
    """The configured cache folder and, by cache file name, the storage path of each table of
    `instruments` ("exchange:symbol", several joined by commas), `data_type` (a DataType name)
    and the days from `start` to `end` (both included), for `sources` (DataSource names; the
    readers' own sources when None), as the readers of this configuration name them."""
    from halvorn.orrery_data._light_data_batch import arguments
    from halvorn.orrery_data._light_data_batch.day_read import reader_on
    from halvorn.orrery_data.enums import DataSource, DataType
    from halvorn.orrery_utils.priceable.instrument import Instrument

    chosen = []
    for text in instruments.split(","):
        try:
            exchange, symbol = parse_instrument(text)
        except ValueError as error:
            raise CacheCommandError(str(error)) from None
        chosen.append(Instrument(exchange, symbol))
    kind = _member(DataType, data_type)
    members = None if sources is None else [_member(DataSource, name) for name in sources]
    try:
        call = arguments.call(chosen, kind, start, end, None, members, None, True, False)
        names: dict[str, str] = {}
        folder = None
        for instrument in call.instruments:
            template = call.options.reader(instrument, call.days[0])
            folder = template.cache_dir
            for day in call.days:
                reader = reader_on(template, day)
                for source in reader.data_sources:
                    path = reader.get_path(data_source=source)
                    if path is not None:
                        names[cache_name_for(path)] = path
    except CONFIGURATION_ERRORS as error:
        raise CacheCommandError(str(error)) from None
    return str(folder), names


def rm(instruments: str, data_type: str, start: int, end: int, *, sources: list[str] | None = None,
       cache_dir: str | None = None, dry_run: bool = False) -> Any:
    """Removes this machine's cached copies of the tables `copies_of` names (in `cache_dir`,
    else the configured cache folder); the next read of each fetches it from storage. Each
    removed copy is listed with the storage path it held. Readers at work meanwhile are safe:
    a file is removed only while it is still the one examined. Other machines' caches are
    untouched: run it on each (see the README's recipe)."""
    folder_name, names = copies_of(instruments, data_type, start, end, sources)
    with Folder(resolved(cache_dir or folder_name)) as folder:
        files = folder.cache_files()
        chosen = [entry.name in names for entry in files]
        result = _remove_chosen(folder, files, chosen, dry_run)
    for each in result.removed:
        each.storage_path = names[each.name]
    return result
