"""Reads spread over threads, results in order, stopping at the first failure or interrupt."""

from __future__ import annotations

import os
import threading
from collections.abc import Callable, Sequence
from concurrent.futures import ThreadPoolExecutor
from typing import Any, TypeVar

Result = TypeVar("Result")


def default_workers() -> int:
    return min(32, (os.cpu_count() or 1) + 4)  # as concurrent.futures chooses


def run_all(read: Callable[[Any], Result], keys: Sequence[Any], threads: int, bar: Any = None,
            stop_at: Callable[[Result], bool] | None = None) -> list[Result]:
    """read(key) for every key, in up to `threads` threads, results in the order of `keys`.

    The first failure in that order is raised, and the first result for which `stop_at` is
    true ends the list; reads after it are dropped. Each thread takes the next key when it is
    done with one, so that a small table costs no hand-off between threads beyond its own
    read. An interrupt (KeyboardInterrupt, or any exception in the waiting thread) stops the
    taking of keys at once; the call raises it as soon as the reads in flight end."""
    count = len(keys)
    results: list[Any] = [None] * count
    positions = iter(range(count))
    lock = threading.Lock()
    end = [count]  # keys from this position on are not read

    def stop_from(position: int) -> None:
        with lock:
            end[0] = min(end[0], position)

    def work() -> None:
        while True:
            with lock:
                position = next(positions, count)
                if position >= end[0]:
                    return
            try:
                result: Any = read(keys[position])
            except Exception as error:
                result = error
            results[position] = result
            if isinstance(result, BaseException) or (stop_at is not None and stop_at(result)):
                stop_from(position + 1)
            if bar is not None and result is not None:
                bar.update(1)

    threads = min(threads, count)
    if threads <= 1:
        try:
            work()
        except BaseException:
            stop_from(0)
            raise
    else:
        pool = ThreadPoolExecutor(max_workers=threads, thread_name_prefix="light_data_batch")
        try:
            for future in [pool.submit(work) for _ in range(threads)]:
                future.result()
        except BaseException:
            stop_from(0)  # no thread takes another key
            raise
        finally:
            pool.shutdown(wait=True)
    finished = results[:end[0]]
    if finished and isinstance(finished[-1], BaseException):
        raise finished[-1]
    return finished


def progress_bar(total: int, description: str) -> Any:
    try:
        from tqdm.auto import tqdm
    except ImportError:
        raise ImportError("progress=True needs tqdm: pip install 'halvorn-light-data[progress]'") from None
    return tqdm(total=total, desc=description, unit="table")
