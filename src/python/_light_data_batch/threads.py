"""Reads spread over threads, results in order, stopping at the first failure or interrupt.

The reads run in daemon threads, never in the standard pools: ``concurrent.futures`` joins its
pools' threads when the interpreter exits, so a read stalled on a store would keep the process
alive for as long as the store keeps it waiting. An interrupt (Ctrl-C) in the waiting thread
returns at once; the reads in flight are abandoned: no thread takes another key, a retry of the
object store waits no longer (see `_StopToken`), and whatever an abandoned read still writes is
written whole (cache files are renamed into place) and never handed to anyone.

Ctrl-C reaches only the main thread. So that reads waited on in other threads (a Dask worker
thread of the threaded scheduler, the stream's read-ahead) stop too, the first run in the main
thread puts `_on_interrupt` in front of Python's own SIGINT handler: it counts the interrupt
(nothing else: a handler must not take locks the interrupted code may hold) and raises
KeyboardInterrupt as before. Every wait here checks that count a few times a second.
"""

from __future__ import annotations

import os
import signal
import sys
import threading
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager
from typing import Any, TypeVar

Result = TypeVar("Result")

# How often a waiting or retrying thread looks whether its work was stopped.
_POLL_SECONDS = 0.1
# The interrupts seen so far (see _on_interrupt).
_interrupts = 0
_local = threading.local()


def default_workers() -> int:
    return min(32, (os.cpu_count() or 1) + 4)  # as concurrent.futures chooses


def _on_interrupt(signum: int, frame: Any) -> None:
    global _interrupts
    _interrupts += 1
    signal.default_int_handler(signum, frame)


def watch_interrupts() -> None:
    """Counts Ctrl-C for the reads waited on outside the main thread (see the module's
    docstring). Only Python's own handler is wrapped: a program's own handler, or a SIGINT
    that is ignored, is left as it is. Called from the main thread; elsewhere it does nothing."""
    if threading.current_thread() is not threading.main_thread():
        return
    try:
        if signal.getsignal(signal.SIGINT) is signal.default_int_handler:
            signal.signal(signal.SIGINT, _on_interrupt)
    except (ValueError, OSError):  # an interpreter without signals in this thread
        pass


class Stopped(KeyboardInterrupt):
    """Raised in a thread whose work was stopped: the process was interrupted, or the owner of
    the work stopped it (a stream that was closed)."""


class _StopToken:
    """Whether a piece of work was stopped: by its owner (`stop`), by the work it belongs to
    (`parent`), or by an interrupt of the process after it began. Read without locks, so that
    any thread may ask it at any time."""

    def __init__(self, parent: _StopToken | None = None) -> None:
        self.parent = parent
        self.interrupts = _interrupts
        self.stopped_here = False

    def stop(self) -> None:
        self.stopped_here = True

    def stopped(self) -> bool:
        token: _StopToken | None = self
        while token is not None:
            if token.stopped_here:
                return True
            token = token.parent
        return _interrupts != self.interrupts


def current_token() -> _StopToken | None:
    """The stop token of the work this thread runs for, if any."""
    return getattr(_local, "token", None)


@contextmanager
def _working_for(token: _StopToken) -> Iterator[None]:
    """Runs the block as part of `token`'s work: nested work is stopped with it, and the
    object store's requests made here stop retrying once it is stopped."""
    previous = getattr(_local, "token", None)
    _local.token = token
    store = sys.modules.get("halvorn.orrery_utils.data_IO.object_store")
    stop_when = getattr(store, "stop_when", None)
    try:
        if stop_when is None:
            yield
        else:
            with stop_when(token.stopped):
                yield
    finally:
        _local.token = previous


def _abandonable_thread(name: str, target: Callable[[], None]) -> threading.Thread:
    thread = threading.Thread(target=target, name=name, daemon=True)
    thread.start()
    return thread


class Abandoned(Exception):
    """What a key read by a stopped call gives, were anyone to look."""


def run_all(read: Callable[[Any], Result], keys: Sequence[Any], threads: int, bar: Any = None,
            stop_at: Callable[[Result], bool] | None = None,
            on_interrupt: Callable[[list[Any]], None] | None = None) -> list[Result]:
    """read(key) for every key, in up to `threads` threads, results in the order of `keys`.

    The first failure in that order is raised, and the first result for which `stop_at` is
    true ends the list; reads after it are dropped. Each thread takes the next key when it is
    done with one, so that a small table costs no hand-off between threads beyond its own
    read. An interrupt (KeyboardInterrupt, or any exception in the waiting thread, or the
    stop of the work this call belongs to) raises at once: no thread takes another key, and
    the reads in flight are abandoned (see the module's docstring); `on_interrupt`, when
    given, is called first with the keys whose reads were in flight, in their order."""
    count = len(keys)
    results: list[Any] = [None] * count
    positions = iter(range(count))
    lock = threading.Lock()
    end = [count]  # keys from this position on are not read
    in_flight: set[int] = set()
    token = _StopToken(current_token())

    def stop_from(position: int) -> None:
        with lock:
            end[0] = min(end[0], position)

    def work() -> None:
        while True:
            with lock:
                position = next(positions, count)
                if position >= end[0] or token.stopped():
                    return
                in_flight.add(position)
            try:
                result: Any = read(keys[position])
            except Exception as error:
                result = error
            with lock:
                in_flight.discard(position)
                if token.stopped():
                    results[position] = Abandoned()
                    return
                results[position] = result
            if isinstance(result, BaseException) or (stop_at is not None and stop_at(result)):
                stop_from(position + 1)
            if bar is not None and result is not None:
                bar.update(1)

    def interrupted() -> None:
        token.stop()
        stop_from(0)  # no thread takes another key
        if on_interrupt is not None:
            with lock:
                flying = sorted(in_flight)
            on_interrupt([keys[position] for position in flying])

    threads = min(threads, count)
    watch_interrupts()
    if threads <= 1 and threading.current_thread() is threading.main_thread():
        # Here Ctrl-C interrupts the read itself, as it would a plain call.
        try:
            with _working_for(token):
                work()
        except BaseException:
            interrupted()
            raise
    elif threads >= 1:
        running = [threads]
        finished = threading.Condition(threading.Lock())

        def thread_body() -> None:
            try:
                with _working_for(token):
                    work()
            finally:
                with finished:
                    running[0] -= 1
                    finished.notify_all()

        try:
            for _ in range(threads):
                _abandonable_thread("light_data_batch", thread_body)
            with finished:
                while running[0]:
                    finished.wait(_POLL_SECONDS)
                    if token.stopped():
                        raise Stopped("the reads were stopped")
        except BaseException:
            interrupted()
            raise
    finished_results = results[:end[0]]
    if finished_results and isinstance(finished_results[-1], BaseException):
        raise finished_results[-1]
    return finished_results


class Background:
    """`function(*args)` run in a daemon thread (named `name`) as work of its own, which
    `stop` ends without waiting for it; `result` waits for it, an interrupt ending the wait."""

    def __init__(self, name: str, function: Callable[..., Any], *args: Any) -> None:
        self.token = _StopToken(current_token())
        self._done = threading.Event()
        self._outcome: list[Any] = []
        watch_interrupts()

        def body() -> None:
            try:
                with _working_for(self.token):
                    outcome: Any = (True, function(*args))
            except BaseException as error:  # handed to the waiting thread
                outcome = (False, error)
            if not self.token.stopped_here:
                self._outcome.append(outcome)
            del outcome
            self._done.set()

        self.thread = _abandonable_thread(name, body)

    def result(self) -> Any:
        while not self._done.wait(_POLL_SECONDS):
            if self.token.stopped():
                raise Stopped("the read was stopped")
        ok, value = self._outcome.pop()
        if ok:
            return value
        raise value

    def stop(self, grace: float = 0.0) -> None:
        """No new read starts for this work and its result is dropped; waits at most `grace`
        seconds for the thread to end (reads in flight are abandoned after that)."""
        self.token.stop()
        self.thread.join(grace)
        self._outcome.clear()


def progress_bar(total: int, description: str) -> Any:
    try:
        from tqdm.auto import tqdm
    except ImportError:
        raise ImportError("progress=True needs tqdm: pip install 'halvorn-light-data[progress]'") from None
    return tqdm(total=total, desc=description, unit="table")
