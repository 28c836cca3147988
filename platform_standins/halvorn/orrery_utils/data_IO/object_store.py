"""Object-store back end of :class:`DataIOModule`: tables as objects in an S3-compatible bucket.

Configuration, section ``[object_store]`` of the platform configuration::

    [object_store]
    endpoint = minio.internal:9000
    bucket = market-data
    region = us-east-1
    use_tls = true
    connect_timeout = 5
    request_timeout = 10
    max_attempts = 4
    retry_backoff = 0.1
    retry_backoff_max = 2
    max_connections = 32

``endpoint`` is ``host[:port]`` or ``http(s)://host[:port]``; without it the
client talks to AWS S3. ``bucket`` is required. ``region`` defaults to
us-east-1, ``use_tls`` to true (it must agree with the scheme of an
``http(s)://`` endpoint). The numbers are positive:

* ``connect_timeout`` (seconds, default 5): to open a connection;
* ``request_timeout`` (seconds, default 10): how long a request may wait for
  the store's next bytes (its answer, or more of a body) before it counts as
  stalled;
* ``max_attempts`` (default 4): tries per request;
* ``retry_backoff`` (seconds, default 0.1): the wait before the first retry,
  doubled before each further one, up to ``retry_backoff_max`` (seconds,
  default 2); each wait is drawn between half that value and all of it, so
  that clients failing together do not retry together;
* ``max_connections`` (default 32): connections the client keeps open to the
  store, hence requests in flight at once. A store answers many requests at
  once, each after a round trip: reads of many small tables are bound by
  round trips, not bandwidth, and need dozens in flight to hide them. Callers
  that fan reads out read it as ``requests_in_flight``.

Unknown options are refused, so a misspelt one does not go unnoticed.

The credentials come from the environment only, never from the configuration
file: ``HALVORN_S3_ACCESS_KEY`` and ``HALVORN_S3_SECRET_KEY``. They are kept
out of every message and exception this module produces, and out of the
records that botocore and urllib3 log.

Failures. A request that fails with a throttling or server error (HTTP 429,
500, 502, 503, 504, or an error code such as SlowDown), a connection that
cannot be opened or breaks, a body cut short or damaged in transit (a 404
answer to a GET whose body names no error is one), or a timeout, is tried
again after a wait, up to ``max_attempts`` tries. Only a store that answers
"no such object" makes a read raise ``FileNotFoundError`` and ``exists``
answer False; that answer is never retried. Every other
failure raises ``ObjectStoreError`` (an ``OSError``) naming the endpoint, the
object and the cause, chained to botocore's exception unless that exception's
text carries a credential. A missing bucket is such a failure, not missing
data.

Keys: a storage path is built under ``LOCAL_DATA_ROOT`` exactly as for local
storage; its object key is the path relative to that root, with ``/``
separators. ``<root>/processed_data/binance/Klines/binance-futures/BTCUSDT/20240107``
is the object ``processed_data/binance/Klines/binance-futures/BTCUSDT/20240107``
of the bucket, whatever the root is on the machine asking. Paths outside the
root are refused.

Writes serialise the whole table in memory and then upload it in one PUT. S3
publishes an object only once its upload is complete, so a reader sees the
previous object or the whole new one, never a part. A table that fails to
serialise uploads nothing.

Reads fetch the whole object in one GET. S3 answers a GET from one version of
the object, and its Content-Length is that version's size, so a body that
arrives whole is one whole version even when the object is replaced while it
is sent; a shorter body is a cut transfer and is fetched again. (Objects
written here carry a CRC32 checksum, which botocore checks on the way back.)

The botocore client is built once per endpoint, region, credentials and
timeouts, and shared by every ``ObjectStorage`` of the process: building one
takes a tenth of a second, and readers build a storage object each.
"""

from __future__ import annotations

import configparser
import contextlib
import enum
import errno
import functools
import io
import logging
import os
import random
import threading
import time
from collections import OrderedDict
from collections.abc import Callable, Iterable, Iterator
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, BinaryIO, NoReturn, TypeVar, cast
from urllib.parse import urlsplit

if TYPE_CHECKING:
    import pandas as pd

__all__ = [
    "ACCESS_KEY_ENV_VAR",
    "SECRET_KEY_ENV_VAR",
    "ObjectStoreConfigError",
    "ObjectStoreError",
    "ObjectStorage",
    "stop_when",
]

ACCESS_KEY_ENV_VAR = "HALVORN_S3_ACCESS_KEY"
SECRET_KEY_ENV_VAR = "HALVORN_S3_SECRET_KEY"
SECTION = "object_store"

_DEFAULTS: dict[str, tuple[type[int] | type[float], float]] = {
    "connect_timeout": (float, 5.0),
    "request_timeout": (float, 10.0),
    "max_attempts": (int, 4),
    "retry_backoff": (float, 0.1),
    "retry_backoff_max": (float, 2.0),
    "max_connections": (int, 32),
}
_OPTIONS = frozenset({"endpoint", "bucket", "region", "use_tls", *_DEFAULTS})
_CREDENTIAL_HINTS = ("key", "secret", "password", "token", "credential")
# Replaced values shorter than this would garble messages more than they protect.
_MIN_SCRUB_LENGTH = 4

# A store that is busy or failing for the moment answers with one of these.
_RETRY_STATUSES = frozenset({429, 500, 502, 503, 504})
_RETRY_CODES = frozenset({
    "SlowDown", "Throttling", "ThrottlingException", "TooManyRequests", "RequestLimitExceeded",
    "RequestTimeout", "InternalError", "ServiceUnavailable",
})
# What a 404 must say to mean "no such object". A HEAD answer has no body, hence no code of its
# own; botocore names it after the status.
_GET_ABSENT = frozenset({"NoSuchKey"})
_HEAD_ABSENT = frozenset({"404", "NotFound", "NoSuchKey"})
_BUCKET_ABSENT = frozenset({"404", "NotFound", "NoSuchBucket"})

# Keys per ListObjectsV2 page (S3 answers at most 1000).
_LIST_PAGE = 1000
# Requests of one exists_many call that may run at once, at most (and at most max_connections).
_LOOKUP_THREADS = 16
# Clients kept for reuse; the least recently used one beyond this is closed.
_MAX_CLIENTS = 8


class ObjectStoreConfigError(ValueError):
    """The object-store configuration or credentials are missing or unusable."""


class ObjectStoreError(OSError):
    """A request to the object store failed (network, server or permission error)."""


class _CutBody(Exception):
    """A GET body shorter than its Content-Length."""


class _Verdict(enum.Enum):
    ABSENT = "absent"
    RETRY = "retry"
    FAIL = "fail"


_ABSENT = object()  # what _call returns for a confirmed "no such object"
_T = TypeVar("_T")

# What a thread's requests ask before each try and while waiting to retry: whether the work
# they belong to was stopped (see stop_when).
_stopping = threading.local()
# How often a retry's wait asks it.
_STOP_POLL = 0.05


@contextlib.contextmanager
def stop_when(stopped: Callable[[], bool]) -> Iterator[None]:
    """Within the block, this thread's requests start no new try once ``stopped()`` is true:
    a retry's wait ends early and the request raises ``ObjectStoreError`` saying it was
    stopped. ``stopped`` is called often and from this thread only; it must not block."""
    previous = getattr(_stopping, "stopped", None)
    _stopping.stopped = stopped
    try:
        yield
    finally:
        _stopping.stopped = previous


def _identity(etag: object) -> str:
    """The identity of an object's version as the store names it: its ETag (the same in a GET,
    a HEAD and a listing), which changes with each upload of new content."""
    return f"etag {etag}"


def _stop_check() -> Callable[[], bool] | None:
    return getattr(_stopping, "stopped", None)


def _wait_unless_stopped(seconds: float, stopped: Callable[[], bool] | None) -> bool:
    """Sleeps `seconds`; False as soon as `stopped()` is true (then at once)."""
    if stopped is None:
        time.sleep(seconds)
        return True
    deadline = time.monotonic() + seconds
    while not stopped():
        left = deadline - time.monotonic()
        if left <= 0:
            return True
        time.sleep(min(left, _STOP_POLL))
    return False


def _run_jobs(jobs: list[Callable[[], set[str]]], threads: int) -> set[str]:
    """The union of the jobs' answers, run in up to `threads` daemon threads. The threads are
    never joined at exit (the standard pools' are), so a stalled request cannot keep the
    process alive; once the waiting thread is interrupted or one job fails, no job starts and
    the retries of those in flight end (they share the waiting thread's stop_when)."""
    stopped_outside = _stop_check()
    pending = list(reversed(jobs))
    found: set[str] = set()
    failures: list[BaseException] = []
    lock = threading.Condition(threading.Lock())
    running = [0]
    abandoned = [False]

    def stopped() -> bool:
        return abandoned[0] or bool(failures) or (stopped_outside is not None and stopped_outside())

    def body() -> None:
        with stop_when(stopped):
            while True:
                with lock:
                    if not pending or stopped():
                        running[0] -= 1
                        lock.notify_all()
                        return
                    job = pending.pop()
                try:
                    answer = job()
                except BaseException as exc:  # handed to the waiting thread
                    with lock:
                        failures.append(exc)
                    continue
                with lock:
                    found.update(answer)

    try:
        for _ in range(min(threads, len(jobs))):
            with lock:
                running[0] += 1
            threading.Thread(target=body, name="object-store-lookup", daemon=True).start()
        with lock:
            while running[0]:
                lock.wait(_STOP_POLL * 2)
                if stopped_outside is not None and stopped_outside():
                    break
    except BaseException:
        abandoned[0] = True
        raise
    abandoned[0] = True
    if failures:
        raise failures[0]
    if stopped_outside is not None and stopped_outside():
        raise ObjectStoreError("object store: the lookups were stopped")
    return found


def _flag(section: configparser.SectionProxy, option: str) -> bool | None:
    if option not in section:
        return None
    try:
        return section.getboolean(option)
    except ValueError:
        raise ObjectStoreConfigError(
            f"[{SECTION}] {option} must be true or false, got {section[option]!r}"
        ) from None


def _number(section: configparser.SectionProxy, option: str) -> float:
    kind, default = _DEFAULTS[option]
    if option not in section:
        return default
    text = section[option]
    try:
        value = kind(text)
    except ValueError:
        value = None
    if value is None or not value > 0 or value == float("inf"):
        what = "whole number" if kind is int else "number"
        raise ObjectStoreConfigError(f"[{SECTION}] {option} must be a positive {what}, got {text!r}")
    return value


def _endpoint(section: configparser.SectionProxy) -> tuple[str | None, bool, str]:
    """Return (endpoint URL for the client or None for AWS S3, whether to use TLS, endpoint text for messages)."""
    text = section.get("endpoint", "").strip()
    use_tls = _flag(section, "use_tls")
    region = section.get("region", "").strip() or "us-east-1"
    if not text:
        return None, use_tls is not False, f"AWS S3 ({region})"
    if "://" in text:
        parts = urlsplit(text)
        if parts.username is not None or parts.password is not None:
            # Never echo the value: it carries a user name or password.
            raise ObjectStoreConfigError(
                f"[{SECTION}] endpoint must not carry credentials; set {ACCESS_KEY_ENV_VAR} and "
                f"{SECRET_KEY_ENV_VAR} instead"
            )
        if parts.scheme not in ("http", "https") or not parts.netloc or parts.path not in ("", "/") \
                or parts.query or parts.fragment:
            raise ObjectStoreConfigError(
                f"[{SECTION}] endpoint must be host[:port] or http(s)://host[:port], got {text!r}"
            )
        scheme, host = parts.scheme, parts.netloc
        if use_tls is not None and use_tls != (scheme == "https"):
            raise ObjectStoreConfigError(
                f"[{SECTION}] endpoint {text!r} contradicts use_tls = {section['use_tls']}"
            )
    else:
        if any(ch in text for ch in "/@?# ") or any(ord(ch) < 32 for ch in text):
            raise ObjectStoreConfigError(
                f"[{SECTION}] endpoint must be host[:port] or http(s)://host[:port], got {text!r}"
            )
        scheme, host = ("http" if use_tls is False else "https"), text
    url = f"{scheme}://{host}"
    return url, scheme == "https", url


def _credential(name: str) -> str:
    value = os.environ.get(name, "")
    if not value:
        raise ObjectStoreConfigError(
            f"use_minio_storage is on but environment variable {name} is not set; the object store "
            f"needs {ACCESS_KEY_ENV_VAR} and {SECRET_KEY_ENV_VAR}"
        )
    return value


def _scrub(text: str, hidden: Iterable[str]) -> str:
    for value in hidden:
        text = text.replace(value, "***")
    return text


# ---------------------------------------------------------------------------
# Clients, shared by every ObjectStorage of the process


@dataclass(frozen=True)
class _ClientSettings:
    endpoint_url: str | None
    use_tls: bool
    region: str
    connect_timeout: float
    request_timeout: float
    max_connections: int
    access_key: str = field(repr=False)
    secret_key: str = field(repr=False)


_clients: OrderedDict[_ClientSettings, Any] = OrderedDict()
_clients_lock = threading.Lock()
# Buckets seen to exist, per client: a HEAD answer of 404 cannot tell a missing object from a
# missing bucket, and a missing bucket must not pass for missing data.
_known_buckets: set[tuple[_ClientSettings, str]] = set()
# Every credential handed to a client; the log filter below replaces them. A tuple, replaced
# whole under _clients_lock, so that the filter reads it without a lock.
_hidden: tuple[str, ...] = ()


class _HideCredentials(logging.Filter):
    """Replaces credentials in the records of botocore's and urllib3's loggers.

    At DEBUG level botocore logs each request with its Authorization header (which holds the
    access key) and each response body (which a store may echo credentials into).
    """

    def filter(self, record: logging.LogRecord) -> bool:
        hidden = _hidden
        try:
            message = record.getMessage()
        except Exception:  # noqa: BLE001 - a malformed record; the handler reports it as usual
            return True
        scrubbed = _scrub(message, hidden)
        if scrubbed != message:
            record.msg, record.args = scrubbed, None
        if record.exc_info and not record.exc_text:
            record.exc_text = logging.Formatter().formatException(record.exc_info)
        if record.exc_text:
            record.exc_text = _scrub(record.exc_text, hidden)
        return True


_log_filter = _HideCredentials()


def _guard_logs() -> None:
    """Put the filter on every botocore and urllib3 logger (they exist once a client is built)."""
    for name in list(logging.Logger.manager.loggerDict):
        if name.split(".")[0] in ("botocore", "urllib3"):
            logger = logging.getLogger(name)
            if _log_filter not in logger.filters:
                logger.addFilter(_log_filter)


def _client(settings: _ClientSettings) -> Any:
    with _clients_lock:
        client = _clients.get(settings)
        if client is not None:
            _clients.move_to_end(settings)
            return client
        import botocore.session  # type: ignore[import-untyped]
        from botocore.config import Config  # type: ignore[import-untyped]

        global _hidden
        new = {settings.access_key, settings.secret_key} - set(_hidden)
        _hidden += tuple(value for value in new if len(value) >= _MIN_SCRUB_LENGTH)
        config = Config(
            connect_timeout=settings.connect_timeout,
            read_timeout=settings.request_timeout,
            retries={"total_max_attempts": 1},  # ObjectStorage._call retries, with its own backoff
            max_pool_connections=settings.max_connections,
            # A custom endpoint (MinIO, ...) serves buckets as paths, not as host names.
            s3={"addressing_style": "path" if settings.endpoint_url else "auto"},
            # The configuration names the endpoint; AWS_ENDPOINT_URL* must not redirect it.
            ignore_configured_endpoint_urls=True,
        )
        session = botocore.session.get_session()
        # No timestamp of an answer is read here: a listing's dates stay text, which spares a
        # date parse per key listed (most of a listing's parse).
        session.get_component("response_parser_factory").set_parser_defaults(timestamp_parser=str)
        try:
            client = session.create_client(
                "s3",
                endpoint_url=settings.endpoint_url,
                use_ssl=settings.use_tls,
                region_name=settings.region,
                aws_access_key_id=settings.access_key,
                aws_secret_access_key=settings.secret_key,
                config=config,
            )
        except (_botocore_errors().BotoCoreError, ValueError) as exc:
            raise ObjectStoreConfigError(
                f"[{SECTION}] the S3 client could not be set up: {_scrub(str(exc), _hidden)}"
            ) from None
        _guard_logs()
        _clients[settings] = client
        if len(_clients) > _MAX_CLIENTS:
            _, oldest = _clients.popitem(last=False)
            oldest.close()  # its connections; a storage object still holding it reconnects
        return client


# ---------------------------------------------------------------------------
# Failures


@functools.cache
def _botocore_errors() -> Any:
    """botocore's exception classes, imported on first use: importing botocore takes a tenth of a
    second, which processes on local storage need not pay."""
    from types import SimpleNamespace

    import botocore.exceptions  # type: ignore[import-untyped]
    from botocore.parsers import ResponseParserError  # type: ignore[import-untyped]

    return SimpleNamespace(**vars(botocore.exceptions), ResponseParserError=ResponseParserError)


def _status_and_code(error: BaseException) -> tuple[int | None, str]:
    response = getattr(error, "response", None) or {}
    status = response.get("ResponseMetadata", {}).get("HTTPStatusCode")
    return status, str(response.get("Error", {}).get("Code", ""))


def _verdict(error: BaseException, absent: frozenset[str]) -> _Verdict:
    errors = _botocore_errors()
    if isinstance(error, errors.ClientError):
        status, code = _status_and_code(error)
        if status == 404 and code in absent:
            return _Verdict.ABSENT
        if status == 404 and code in ("", "404"):
            # An answer with a body names what is missing; one without a code lost its body on
            # the way (a body cut short does not parse) and says nothing yet: ask again.
            return _Verdict.RETRY
        if status in _RETRY_STATUSES or code in _RETRY_CODES:
            return _Verdict.RETRY
        return _Verdict.FAIL
    if isinstance(error, errors.SSLError):  # a certificate that fails now fails on the next try too
        return _Verdict.FAIL
    if isinstance(error, (errors.ConnectionError, errors.HTTPClientError, errors.IncompleteReadError,
                          errors.FlexibleChecksumError, _CutBody, ConnectionError, TimeoutError)):
        return _Verdict.RETRY
    return _Verdict.FAIL


def _describe(error: BaseException) -> str:
    if isinstance(error, _botocore_errors().ClientError):
        status, code = _status_and_code(error)
        message = error.response.get("Error", {}).get("Message", "")
        text = f"HTTP {status}" if not code or code == str(status) else f"HTTP {status} {code}"
        return f"{text}: {message}" if message else text
    text = str(error)
    return f"{type(error).__name__}: {text}" if text else type(error).__name__


def _chain(error: BaseException) -> Iterable[BaseException]:
    seen: set[int] = set()
    pending = [error]
    while pending:
        current = pending.pop()
        if id(current) in seen:
            continue
        seen.add(id(current))
        yield current
        pending.extend(e for e in (current.__cause__, current.__context__) if e is not None)


def _carries(error: BaseException, hidden: Iterable[str]) -> bool:
    """Whether an exception, or one chained to it, shows or holds one of the ``hidden`` values
    (in its text or any attribute); an exception whose text cannot be made counts as showing."""
    for current in _chain(error):
        try:
            texts = (str(current), repr(current), repr(vars(current)))
        except Exception:  # noqa: BLE001 - cannot be checked, so it is not passed on
            return True
        if any(value in text for text in texts for value in hidden):
            return True
    return False


# ---------------------------------------------------------------------------
# The back end


class ObjectStorage:
    """Back end that keeps each table as one object of an S3-compatible bucket."""

    def __init__(self, config: configparser.ConfigParser, root: str) -> None:
        if not config.has_section(SECTION):
            raise ObjectStoreConfigError(
                f"use_minio_storage is on but the configuration has no [{SECTION}] section "
                "(endpoint, bucket, region, use_tls)"
            )
        section = config[SECTION]
        for option in sorted(set(config.options(SECTION)) - set(config.defaults())):
            if option in _OPTIONS:
                continue
            if any(hint in option for hint in _CREDENTIAL_HINTS):
                raise ObjectStoreConfigError(
                    f"[{SECTION}] {option}: credentials are not read from the configuration file; "
                    f"set {ACCESS_KEY_ENV_VAR} and {SECRET_KEY_ENV_VAR} in the environment"
                )
            raise ObjectStoreConfigError(
                f"[{SECTION}] unknown option {option!r}; known: {', '.join(sorted(_OPTIONS))}"
            )
        bucket = section.get("bucket", "").strip()
        if not bucket or any(ch in bucket for ch in "/\\ ") or any(ord(ch) < 32 for ch in bucket):
            raise ObjectStoreConfigError(f"[{SECTION}] bucket must name a bucket, got {bucket!r}")
        region = section.get("region", "").strip() or "us-east-1"
        endpoint_url, use_tls, self.endpoint = _endpoint(section)
        numbers = {option: _number(section, option) for option in _DEFAULTS}
        access_key = _credential(ACCESS_KEY_ENV_VAR)
        secret_key = _credential(SECRET_KEY_ENV_VAR)
        self._hidden = [s for s in (secret_key, access_key) if len(s) >= _MIN_SCRUB_LENGTH]
        self.bucket = bucket
        self.root = root
        self._attempts = int(numbers["max_attempts"])
        self._backoff = numbers["retry_backoff"]
        self._backoff_max = numbers["retry_backoff_max"]
        self.requests_in_flight = int(numbers["max_connections"])
        settings = _ClientSettings(endpoint_url, use_tls, region, numbers["connect_timeout"], numbers["request_timeout"],
                                   self.requests_in_flight, access_key, secret_key)
        self._bucket_id = (settings, bucket)
        self._client = _client(settings)

    def __repr__(self) -> str:
        return f"ObjectStorage(endpoint={self.endpoint!r}, bucket={self.bucket!r})"

    def key(self, path: str | os.PathLike[str]) -> str:
        """Return the object key of a storage path (its part below the storage root)."""
        text = os.fspath(path)
        if not isinstance(text, str):
            raise TypeError(f"storage path must be a str, got {type(text).__name__}")
        if not os.path.isabs(text):
            raise ValueError(f"storage path {text!r} must be absolute (under LOCAL_DATA_ROOT {self.root!r})")
        normal = os.path.normpath(text)
        if os.path.commonpath([normal, self.root]) != self.root or normal == self.root:
            raise ValueError(f"storage path {text!r} is not below LOCAL_DATA_ROOT {self.root!r}")
        return os.path.relpath(normal, self.root).replace(os.sep, "/")

    def storage_url(self, path: str | os.PathLike[str]) -> str:
        return f"s3://{self.bucket}/{self.key(path)}"

    # -- requests ---------------------------------------------------------

    def _pause(self, attempt: int) -> float:
        ceiling = min(self._backoff_max, self._backoff * 2 ** (attempt - 1))
        return random.uniform(ceiling / 2, ceiling)

    def _call(self, action: str, target: str, request: Callable[[], _T],
              absent: frozenset[str] = frozenset()) -> _T | object:
        """Run ``request`` until it succeeds, retrying passing failures.

        Returns its result, or ``_ABSENT`` when the store answers 404 with one of the ``absent``
        codes; raises ``ObjectStoreError`` for any other failure.
        """
        errors = _botocore_errors()
        failures = (errors.ClientError, errors.BotoCoreError, errors.ResponseParserError, _CutBody, OSError)
        attempt = 1
        stopped = _stop_check()
        while True:
            if stopped is not None and stopped():
                self._stopped(action, target, attempt)
            try:
                result = request()
            except failures as exc:
                failure = exc
            else:
                _known_buckets.add(self._bucket_id)
                return result
            verdict = _verdict(failure, absent)
            if verdict is _Verdict.ABSENT:
                return _ABSENT
            if verdict is _Verdict.FAIL or attempt >= self._attempts:
                self._raise(action, target, failure, attempt)
            if not _wait_unless_stopped(self._pause(attempt), stopped):
                self._stopped(action, target, attempt + 1)
            attempt += 1

    def _stopped(self, action: str, target: str, attempt: int) -> NoReturn:
        raise ObjectStoreError(f"object store {self.endpoint}: {action} s3://{self.bucket}/{target} stopped "
                               f"before try {attempt}: the work it was for was stopped")

    def _raise(self, action: str, target: str, error: BaseException, attempts: int) -> NoReturn:
        detail = _scrub(_describe(error), self._hidden)
        if attempts > 1:
            detail += f" (after {attempts} attempts)"
        failure = ObjectStoreError(
            f"object store {self.endpoint}: {action} s3://{self.bucket}/{target} failed: {detail}"
        )
        # Keep botocore's exception as the cause, unless its text carries a credential.
        raise failure from (None if _carries(error, self._hidden) else error)

    def _missing(self, key: str) -> FileNotFoundError:
        return FileNotFoundError(errno.ENOENT, f"object not found at {self.endpoint}", f"s3://{self.bucket}/{key}")

    def _check_bucket(self, action: str, key: str) -> None:
        """Raise ``ObjectStoreError`` unless the bucket is known to exist."""
        if self._bucket_id in _known_buckets:
            return
        found = self._call(action, key, lambda: self._client.head_bucket(Bucket=self.bucket), _BUCKET_ABSENT)
        if found is _ABSENT:
            raise ObjectStoreError(
                f"object store {self.endpoint}: {action} s3://{self.bucket}/{key} failed: "
                f"the bucket {self.bucket} does not exist"
            )

    # -- existence ----------------------------------------------------------

    def exists(self, path: str | os.PathLike[str] | None) -> bool:
        if path is None:
            return False
        key = self.key(path)
        return key in self._probe(key)

    def _probe(self, key: str) -> set[str]:
        """HEAD one key: ``{key}`` when the object exists, else an empty set."""
        found = self._call("probing", key, lambda: self._client.head_object(Bucket=self.bucket, Key=key),
                           _HEAD_ABSENT)
        if found is not _ABSENT:
            return {key}
        self._check_bucket("probing", key)
        return set()

    def _list(self, folder: str, asked: set[str]) -> set[str]:
        """The keys of ``asked`` (all directly in ``folder``) that name objects, by one listing."""
        return set(self._list_tags(folder, asked))

    def exists_many(self, paths: Iterable[str | os.PathLike[str] | None]) -> list[bool]:
        keys = [None if path is None else self.key(path) for path in paths]
        folders: dict[str, set[str]] = {}
        for key in keys:
            if key is not None:
                folders.setdefault(key[: key.rfind("/") + 1], set()).add(key)
        # A folder with two or more of the keys is answered by one listing, a lone key by a HEAD.
        jobs: list[Callable[[], set[str]]] = [
            functools.partial(self._list, folder, asked) if len(asked) > 1
            else functools.partial(self._probe, next(iter(asked)))
            for folder, asked in folders.items()
        ]
        found: set[str] = set()
        if len(jobs) == 1:
            found = jobs[0]()
        elif jobs:
            found = _run_jobs(jobs, min(_LOOKUP_THREADS, self.requests_in_flight))
        return [key is not None and key in found for key in keys]

    # -- identities -------------------------------------------------------

    def identities_many(self, paths: Iterable[str | os.PathLike[str] | None]) -> list[str | None]:
        keys = [None if path is None else self.key(path) for path in paths]
        folders: dict[str, set[str]] = {}
        for key in keys:
            if key is not None:
                folders.setdefault(key[: key.rfind("/") + 1], set()).add(key)
        found: dict[str, str] = {}
        jobs: list[Callable[[], set[str]]] = []
        lock = threading.Lock()

        def collect(answer: dict[str, str]) -> set[str]:
            with lock:
                found.update(answer)
            return set(answer)

        for folder, asked in folders.items():
            if len(asked) > 1:
                jobs.append(functools.partial(lambda f, a: collect(self._list_tags(f, a)), folder, asked))
            else:
                jobs.append(functools.partial(lambda k: collect(self._head_tag(k)), next(iter(asked))))
        if len(jobs) == 1:
            jobs[0]()
        elif jobs:
            _run_jobs(jobs, min(_LOOKUP_THREADS, self.requests_in_flight))
        return [None if key is None or key not in found else found[key] for key in keys]

    def _head_tag(self, key: str) -> dict[str, str]:
        answer = self._call("probing", key, lambda: self._client.head_object(Bucket=self.bucket, Key=key),
                            _HEAD_ABSENT)
        if answer is _ABSENT:
            self._check_bucket("probing", key)
            return {}
        return {key: _identity(cast(dict, answer).get("ETag"))}

    def _list_tags(self, folder: str, asked: set[str]) -> dict[str, str]:
        """The identities of the keys of ``asked`` (all directly in ``folder``) that name
        objects, by one listing."""
        # Listing starts just before the first asked key and stops after the last one: keys
        # come in UTF-8 byte order, which is the order of Python's str comparison.
        first, last = min(asked), max(asked)
        params: dict[str, Any] = {"Bucket": self.bucket, "Prefix": folder, "Delimiter": "/",
                                  "MaxKeys": _LIST_PAGE, "StartAfter": first[:-1]}
        found: dict[str, str] = {}
        while True:
            page: Any = self._call("listing", folder, lambda: self._client.list_objects_v2(**params))
            items = page.get("Contents", ())
            found.update((item["Key"], _identity(item.get("ETag"))) for item in items if item["Key"] in asked)
            if not page.get("IsTruncated") or (items and items[-1]["Key"] >= last):
                return found
            token = page.get("NextContinuationToken")
            if not token:
                raise ObjectStoreError(
                    f"object store {self.endpoint}: listing s3://{self.bucket}/{folder} failed: "
                    "a truncated page came without a continuation token"
                )
            params["ContinuationToken"] = token

    # -- reads and writes -------------------------------------------------

    def _fetch(self, key: str) -> bytes:
        return self._fetch_identified(key)[0]

    def _fetch_identified(self, key: str) -> tuple[bytes, str]:
        response = self._client.get_object(Bucket=self.bucket, Key=key)
        body = response["Body"]
        try:
            data: bytes = body.read()  # botocore raises IncompleteReadError on a short body
        except BaseException:
            body.close()
            raise
        expected = response.get("ContentLength")
        if expected is not None and len(data) != expected:
            raise _CutBody(f"{len(data)} of {expected} bytes arrived")
        return data, _identity(response.get("ETag"))

    def read_bytes(self, path: str | os.PathLike[str]) -> tuple[bytes, str]:
        key = self.key(path)
        answer = self._call("reading", key, lambda: self._fetch_identified(key), _GET_ABSENT)
        if answer is _ABSENT:
            _known_buckets.add(self._bucket_id)
            raise self._missing(key)
        return cast(tuple, answer)

    def read_identified(self, path: str | os.PathLike[str],
                        decode: Callable[[BinaryIO], pd.DataFrame]) -> tuple[pd.DataFrame, str]:
        key = self.key(path)
        answer = self._call("reading", key, lambda: self._fetch_identified(key), _GET_ABSENT)
        if answer is _ABSENT:
            _known_buckets.add(self._bucket_id)
            raise self._missing(key)
        data, identity = cast(tuple, answer)
        return decode(io.BytesIO(data)), identity

    def read(self, path: str | os.PathLike[str], decode: Callable[[BinaryIO], pd.DataFrame]) -> pd.DataFrame:
        key = self.key(path)
        data = self._call("reading", key, lambda: self._fetch(key), _GET_ABSENT)
        if data is _ABSENT:
            _known_buckets.add(self._bucket_id)  # NoSuchKey, not NoSuchBucket
            raise self._missing(key)
        return decode(io.BytesIO(cast(bytes, data)))

    def write(self, path: str | os.PathLike[str], encode: Callable[[BinaryIO], None]) -> None:
        key = self.key(path)
        buffer = io.BytesIO()
        encode(buffer)  # a table that fails to serialise uploads nothing

        def put() -> object:
            buffer.seek(0)  # each try sends the whole table
            return self._client.put_object(Bucket=self.bucket, Key=key, Body=buffer)

        self._call("writing", key, put)
