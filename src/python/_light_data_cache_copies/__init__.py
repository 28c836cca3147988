"""The cache command's operations on the copies of chosen tables, beside ``light_data_cache``:
``storage``: the configured storage, where it keeps a table and what it holds now;
``removal``: ``rm``, the cached copies of some instruments, one kind, a range of days;
``staleness``: ``stale``, the cached copies whose stored table changed or is gone. Private:
use the ``light-data-cache`` command or ``light_data_cache``."""
