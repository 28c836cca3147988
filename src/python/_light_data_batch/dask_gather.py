"""The collection ``to_dask`` returns: a Dask DataFrame whose ``compute()`` on a distributed
cluster brings the partitions to the client and concatenates them there.

Dask finishes a DataFrame's ``compute()`` in the graph: one more task concatenates every
partition on one worker, so the partitions held by the other workers travel to it first, and
the whole frame then travels again to the client. The client here asks for the partitions
themselves, each from the worker that holds it as soon as its task ends (the first travel while
the workers read the others), and concatenates them with the function the collection names for
it (``__dask_postcompute__``): the function Dask's own task concatenates with. Every other
operation gives Dask's own collections, and ``dask.compute``, ``client.compute`` and
``persist`` run as Dask runs them."""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import dask.dataframe as dd


def gathered(collection: dd.DataFrame) -> dd.DataFrame:
    """`collection` as a `DataFrame` of this module; `collection` itself when this Dask's
    collections are not built on expressions."""
    expr = getattr(collection, "expr", None)
    if expr is None or not isinstance(collection, dd.DataFrame):
        return collection
    return DataFrame(expr)


class DataFrame(dd.DataFrame):
    """Dask's DataFrame, but for where ``compute()`` concatenates the partitions on a
    distributed cluster (see the module). Its name is Dask's: it shows as Dask's collection."""

    def compute(self, **kwargs: Any) -> Any:
        try:
            from dask.base import get_scheduler
            from dask.core import flatten
            from dask.utils import shorten_traceback
        except ImportError:  # another Dask: its own compute
            return super().compute(**kwargs)
        if "get" in kwargs:  # refused by Dask, with its own message
            return super().compute(**kwargs)
        # Chosen once: asked again, an asynchronous client would warn twice.
        schedule = get_scheduler(scheduler=kwargs.get("scheduler"), collections=[self])
        kwargs = {**kwargs, "scheduler": schedule}
        plan = _client_finish(self, schedule)
        if plan is None:
            return super().compute(**kwargs)
        client, finish = plan
        expr = self.expr.optimize()  # as dask.compute optimises it, without the last concatenation
        keys = list(flatten(expr.__dask_keys__()))
        if len(keys) < 2:  # one partition already goes from its worker straight to the client
            return super().compute(**kwargs)
        options = {name: value for name, value in kwargs.items() if name not in ("scheduler", "optimize_graph")}
        with shorten_traceback():
            parts = _partitions(client, expr, keys, options)
        return finish(parts)


def _partitions(client: Any, expr: Any, keys: list, options: dict[str, Any]) -> list:
    """The partitions of `keys`, in their order, computed by the distributed `client`, each
    fetched as soon as its task ends: the first travel to the client while the workers read the
    others (the client's ``get`` fetches them all once all have ended). In a task of a worker
    (where ``get`` hands the worker's thread back while it waits) or given options of ``get``'s
    own fetch, ``get`` does it all."""
    try:
        from distributed import as_completed, get_worker
    except ImportError:
        return client.get(expr, keys, **options)
    try:
        get_worker()
    except ValueError:  # not in a worker's task: the usual case
        pass
    else:
        return client.get(expr, keys, **options)
    if {"direct", "sync", "asynchronous"} & options.keys():
        return client.get(expr, keys, **options)
    futures = client.get(expr, keys, sync=False, **options)
    try:
        parts = {}
        # A failed task raises its error here; a cancelled or lost one raises what the client raises for it.
        for future, part in as_completed(futures, loop=client.loop, with_results=True):
            parts[future.key] = part if future.status == "finished" else future.result()
        return [parts[future.key] for future in futures]
    finally:
        for future in futures:
            future.release()


def _client_finish(frame: DataFrame, schedule: Callable) -> tuple[Any, Callable[[list], Any]] | None:
    """The client and the concatenation of the partitions when `schedule` is a distributed
    client's ``get``; None when
    the compute runs elsewhere (Dask's local schedulers concatenate in this process already),
    or when this Dask or distributed lacks a piece of it: Dask then computes as it always does,
    with the same result."""
    try:
        from dask.dataframe.core import _concat
        from distributed import Client
    except ImportError:
        return None
    client = getattr(schedule, "__self__", None)
    if not isinstance(client, Client):
        return None
    try:
        function, extra = frame.__dask_postcompute__()
    except (AttributeError, TypeError, ValueError):
        return None
    # Dask's own task concatenates with _concat: another finish would not give the same frame.
    if function is not _concat or extra:
        return None
    return client, _concat
