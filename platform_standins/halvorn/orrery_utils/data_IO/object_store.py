"""Object-store back end of :class:`DataIOModule`: tables as objects in an S3-compatible bucket.

Configuration, section ``[object_store]`` of the platform configuration::

    [object_store]
    endpoint = minio.internal:9000
    bucket = market-data
    region = us-east-1
    use_tls = true
    connect_timeout = 5
    max_attempts = 3

``endpoint`` is ``host[:port]`` or ``http(s)://host[:port]``; without it the
client talks to AWS S3. ``bucket`` is required. ``region`` defaults to
us-east-1, ``use_tls`` to true (it must agree with the scheme of an
``http(s)://`` endpoint), ``connect_timeout`` (seconds) to 5 and
``max_attempts`` (tries per request) to 3. Unknown options are refused, so a
misspelt one does not go unnoticed.

The credentials come from the environment only, never from the configuration
file: ``HALVORN_S3_ACCESS_KEY`` and ``HALVORN_S3_SECRET_KEY``. They are kept
out of every message this module produces.

Keys: a storage path is built under ``LOCAL_DATA_ROOT`` exactly as for local
storage; its object key is the path relative to that root, with ``/``
separators. ``<root>/processed_data/binance/Klines/binance-futures/BTCUSDT/20240107``
is the object ``processed_data/binance/Klines/binance-futures/BTCUSDT/20240107``
of the bucket, whatever the root is on the machine asking. Paths outside the
root are refused.

Writes serialise the whole table in memory and then upload it as one object.
S3 publishes an object only once its upload is complete (a single PUT, or the
completion of a multipart upload for tables above the client's part size), so
a reader sees the previous object or the whole new one, never a part. A table
that fails to serialise uploads nothing.

Reads fetch the whole object in one GET and then check its size again: an
object replaced by a larger one between the size probe and the GET would
otherwise come back cut short, which CSV would not notice.
"""

from __future__ import annotations

import configparser
import errno
import io
import os
from collections.abc import Callable
from typing import BinaryIO
from urllib.parse import urlsplit

import pandas as pd
import pyarrow.fs as pafs

__all__ = [
    "ACCESS_KEY_ENV_VAR",
    "SECRET_KEY_ENV_VAR",
    "ObjectStoreConfigError",
    "ObjectStoreError",
    "ObjectStorage",
]

ACCESS_KEY_ENV_VAR = "HALVORN_S3_ACCESS_KEY"
SECRET_KEY_ENV_VAR = "HALVORN_S3_SECRET_KEY"
SECTION = "object_store"

_OPTIONS = frozenset({"endpoint", "bucket", "region", "use_tls", "connect_timeout", "max_attempts"})
_CREDENTIAL_HINTS = ("key", "secret", "password", "token", "credential")
# Replaced values shorter than this would garble messages more than they protect.
_MIN_SCRUB_LENGTH = 4
# A read retries this many times when the object changes while it is fetched.
_READ_ATTEMPTS = 3


class ObjectStoreConfigError(ValueError):
    """The object-store configuration or credentials are missing or unusable."""


class ObjectStoreError(OSError):
    """A request to the object store failed (network, server or permission error)."""


def _flag(section: configparser.SectionProxy, option: str) -> bool | None:
    if option not in section:
        return None
    try:
        return section.getboolean(option)
    except ValueError:
        raise ObjectStoreConfigError(
            f"[{SECTION}] {option} must be true or false, got {section[option]!r}"
        ) from None


def _number(section: configparser.SectionProxy, option: str, kind: type[int] | type[float], default: float) -> float:
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


def _endpoint(section: configparser.SectionProxy) -> tuple[str | None, str, str]:
    """Return (endpoint override, scheme, endpoint text for messages)."""
    text = section.get("endpoint", "").strip()
    use_tls = _flag(section, "use_tls")
    region = section.get("region", "").strip() or "us-east-1"
    if not text:
        scheme = "http" if use_tls is False else "https"
        return None, scheme, f"AWS S3 ({region})"
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
    return host, scheme, f"{scheme}://{host}"


def _credential(name: str) -> str:
    value = os.environ.get(name, "")
    if not value:
        raise ObjectStoreConfigError(
            f"use_minio_storage is on but environment variable {name} is not set; the object store "
            f"needs {ACCESS_KEY_ENV_VAR} and {SECRET_KEY_ENV_VAR}"
        )
    return value


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
        override, scheme, self.endpoint = _endpoint(section)
        connect_timeout = _number(section, "connect_timeout", float, 5.0)
        max_attempts = int(_number(section, "max_attempts", int, 3))
        access_key = _credential(ACCESS_KEY_ENV_VAR)
        secret_key = _credential(SECRET_KEY_ENV_VAR)
        self._hidden = [s for s in (secret_key, access_key) if len(s) >= _MIN_SCRUB_LENGTH]
        self.bucket = bucket
        self.root = root
        self._fs = pafs.S3FileSystem(
            access_key=access_key,
            secret_key=secret_key,
            region=region,
            scheme=scheme,
            endpoint_override=override,
            connect_timeout=connect_timeout,
            retry_strategy=pafs.AwsStandardS3RetryStrategy(max_attempts=max_attempts),
            # Small objects go up in one PUT at close instead of a multipart upload.
            allow_delayed_open=True,
            allow_bucket_creation=False,
            allow_bucket_deletion=False,
        )

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

    def _scrub(self, text: str) -> str:
        for value in self._hidden:
            text = text.replace(value, "***")
        return text

    def _failure(self, action: str, key: str, error: BaseException) -> ObjectStoreError:
        detail = self._scrub(str(error))
        return ObjectStoreError(f"object store {self.endpoint}: {action} s3://{self.bucket}/{key} failed: {detail}")

    def _missing(self, key: str) -> FileNotFoundError:
        return FileNotFoundError(errno.ENOENT, f"object not found at {self.endpoint}", f"s3://{self.bucket}/{key}")

    def exists(self, path: str | os.PathLike[str] | None) -> bool:
        if path is None:
            return False
        key = self.key(path)
        try:
            info = self._fs.get_file_info(f"{self.bucket}/{key}")
        except OSError as exc:
            # Unknown is not "absent": report the failure instead of False.
            raise self._failure("probing", key, exc) from None
        return info.type == pafs.FileType.File

    def _fetch(self, key: str) -> bytes:
        location = f"{self.bucket}/{key}"
        for _ in range(_READ_ATTEMPTS):
            with self._fs.open_input_file(location) as handle:  # HEAD: size
                data = handle.readall()  # one ranged GET of the whole object
            after = self._fs.get_file_info(location)
            if after.type != pafs.FileType.File or after.size == len(data):
                # Deleted since (what we hold is a whole object), or unchanged in size.
                return data
        raise ObjectStoreError(
            f"object store {self.endpoint}: s3://{self.bucket}/{key} kept changing while being read"
        )

    def read(self, path: str | os.PathLike[str], decode: Callable[[BinaryIO], pd.DataFrame]) -> pd.DataFrame:
        key = self.key(path)
        try:
            data = self._fetch(key)
        except FileNotFoundError:
            raise self._missing(key) from None
        except ObjectStoreError:
            raise
        except OSError as exc:
            raise self._failure("reading", key, exc) from None
        return decode(io.BytesIO(data))

    def write(self, path: str | os.PathLike[str], encode: Callable[[BinaryIO], None]) -> None:
        key = self.key(path)
        buffer = io.BytesIO()
        encode(buffer)  # a table that fails to serialise uploads nothing
        data = buffer.getbuffer()
        try:
            stream = self._fs.open_output_stream(f"{self.bucket}/{key}")
            stream.write(data)
            stream.close()  # the upload completes (and the object appears) here
        except OSError as exc:
            raise self._failure("writing", key, exc) from None
