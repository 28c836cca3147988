"""``light-data-cache rm``: this machine's cached copies of the tables of some instruments, one
kind and a range of days, removed (or, with ``dry_run``, listed)."""

from __future__ import annotations

from typing import Any

from halvorn.orrery_data import light_data_cache as cache


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
        exchange, colon, symbol = text.strip().partition(":")
        if not (colon and exchange and symbol):
            raise cache.CacheCommandError(f"instrument must be exchange:symbol, got {text!r}")
        chosen.append(Instrument(exchange, symbol))
    kind = cache._member(DataType, data_type)
    members = None if sources is None else [cache._member(DataSource, name) for name in sources]
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
                        names[cache.cache_name_for(path)] = path
    except cache._CONFIGURATION_ERRORS as error:
        raise cache.CacheCommandError(str(error)) from None
    return str(folder), names


def rm(instruments: str, data_type: str, start: int, end: int, *, sources: list[str] | None = None,
       cache_dir: str | None = None, dry_run: bool = False) -> Any:
    """Removes this machine's cached copies of the tables `copies_of` names (in `cache_dir`,
    else the configured cache folder); the next read of each fetches it from storage. Each
    removed copy is listed with the storage path it held. Readers at work meanwhile are safe:
    a file is removed only while it is still the one examined. Other machines' caches are
    untouched: run it on each (see the README's recipe)."""
    folder_name, names = copies_of(instruments, data_type, start, end, sources)
    with cache._Folder(cache._resolved(cache_dir or folder_name)) as folder:
        files = folder.cache_files()
        chosen = [entry.name in names for entry in files]
        result = cache._remove_chosen(folder, files, chosen, dry_run)
    for each in result.removed:
        each.storage_path = names[each.name]
    return result
