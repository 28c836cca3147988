"""An HTTP proxy that injects faults between a client and a server, for the object-store tests.

    with FaultProxy("127.0.0.1:9000", seed=1) as proxy:      # in front of the S3 test server
        ...point the client at proxy.address...
        proxy.fail(500, rate=0.3)          # answer 500 to 30% of the requests
        proxy.fail(503, code="SlowDown", first=2, match=r"^GET ")  # to the first two GETs
        proxy.stall()                      # accept requests and never answer them
        proxy.stall(delay=2.0)             # answer them two seconds late
        proxy.cut(rate=0.5)                # send the headers and half the body, then hang up
        proxy.drop()                       # hang up without an answer
        proxy.latency = 0.05               # every request 50 ms late
        proxy.pause(1.0)                   # stall everything for a second (refuse=True: hang up)
        proxy.clear()                      # no faults, no latency
        proxy.requests                     # Counter of requests seen, by method

Every fault takes ``rate`` (the share of the requests it hits, drawn from a generator seeded by
``seed``), ``match`` (a regular expression searched in ``"<METHOD> <path>?<query>"``) and
``first`` (it hits only the first N requests it matches). The first fault that takes a request
decides what happens to it. A cut touches only answers with a body of two bytes or more; others
pass through whole.

The proxy serves each client connection in its own thread and keeps it open between requests,
as a real server does; ``close()`` hangs up every connection, ends stalled requests and joins
every thread.
"""

from __future__ import annotations

import http.client
import random
import re
import socket
import threading
import time
from collections import Counter
from dataclasses import dataclass
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from xml.sax.saxutils import escape

# Headers that describe one hop of a connection, not the message.
_HOP = frozenset({"connection", "keep-alive", "proxy-authenticate", "proxy-authorization", "te", "trailer",
                  "transfer-encoding", "upgrade", "expect"})
_CODES = {429: "TooManyRequests", 500: "InternalError", 502: "BadGateway", 503: "SlowDown", 504: "GatewayTimeout"}


@dataclass
class Fault:
    kind: str  # "status", "stall", "cut" or "drop"
    rate: float = 1.0
    match: re.Pattern[str] | None = None
    first: int | None = None  # requests it may still hit; None: no limit
    status: int = 500
    code: str = ""
    message: str = ""
    delay: float | None = None  # a stall's delay; None: never answer


class FaultProxy:
    def __init__(self, upstream: str, seed: int = 0) -> None:
        host, _, port = upstream.rpartition(":")
        self.upstream = (host, int(port))
        self.latency = 0.0
        self.requests: Counter[str] = Counter()
        self.injected: Counter[str] = Counter()
        self._faults: list[Fault] = []
        self._random = random.Random(seed)
        self._lock = threading.Lock()
        self._paused_until = 0.0
        self._refuse_while_paused = False
        self._closing = threading.Event()
        self._server = _Server(self)
        self.address = f"127.0.0.1:{self._server.server_port}"
        self._thread = threading.Thread(target=self._server.serve_forever, kwargs={"poll_interval": 0.05},
                                        name=f"fault-proxy-{self.address}", daemon=True)
        self._thread.start()

    def __enter__(self) -> FaultProxy:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    # -- faults -------------------------------------------------------------

    def _add(self, kind: str, rate: float, match: str | None, first: int | None, **details: object) -> None:
        fault = Fault(kind, rate, re.compile(match) if match else None, first, **details)  # type: ignore[arg-type]
        with self._lock:
            self._faults.append(fault)

    def fail(self, status: int = 500, *, code: str | None = None, message: str = "fault injected by the proxy",
             rate: float = 1.0, match: str | None = None, first: int | None = None) -> None:
        """Answer ``status`` with an S3 error body (``code`` defaults to the usual code of the status)."""
        self._add("status", rate, match, first, status=status, code=code or _CODES.get(status, str(status)),
                  message=message)

    def stall(self, delay: float | None = None, *, rate: float = 1.0, match: str | None = None,
              first: int | None = None) -> None:
        """Hold requests: forever (until the proxy closes) or ``delay`` seconds, then relay them."""
        self._add("stall", rate, match, first, delay=delay)

    def cut(self, *, rate: float = 1.0, match: str | None = None, first: int | None = None) -> None:
        """Relay the answer's headers (with the full Content-Length) and half its body, then hang up."""
        self._add("cut", rate, match, first)

    def drop(self, *, rate: float = 1.0, match: str | None = None, first: int | None = None) -> None:
        """Hang up without an answer."""
        self._add("drop", rate, match, first)

    def pause(self, seconds: float, *, refuse: bool = False) -> None:
        """For ``seconds``, hold every request until the pause ends (``refuse``: hang up instead)."""
        with self._lock:
            self._paused_until = time.monotonic() + seconds
            self._refuse_while_paused = refuse

    def clear(self) -> None:
        with self._lock:
            self._faults.clear()
            self._paused_until = 0.0
            self.latency = 0.0

    def _arrive(self, method: str, path: str) -> Fault | None:
        """Count a request and pick the fault that takes it."""
        line = f"{method} {path}"
        with self._lock:
            self.requests[method] += 1
            paused = self._paused_until - time.monotonic()
            if paused > 0:
                self.injected["pause"] += 1
                return Fault("drop") if self._refuse_while_paused else Fault("stall", delay=paused)
            for fault in self._faults:
                if fault.first == 0 or (fault.match and not fault.match.search(line)):
                    continue
                if fault.rate < 1.0 and self._random.random() >= fault.rate:
                    continue
                if fault.first is not None:
                    fault.first -= 1
                self.injected[fault.kind] += 1
                return fault
        return None

    def _wait(self, seconds: float | None) -> bool:
        """Sleep (None: until close()), cut short by close(); True when the proxy is closing."""
        return self._closing.wait(seconds) if seconds is None or seconds > 0 else self._closing.is_set()

    # -- closing ------------------------------------------------------------

    def close(self) -> None:
        if self._closing.is_set():
            return
        self._closing.set()
        self._server.shutdown()  # no connection is accepted after this
        self._server.hang_up_all()
        self._server.server_close()  # joins the connection threads
        self._thread.join()


class _Server(ThreadingHTTPServer):
    daemon_threads = False  # server_close() joins them
    block_on_close = True

    def __init__(self, proxy: FaultProxy) -> None:
        self.proxy = proxy
        self.live: set[socket.socket] = set()
        self.live_lock = threading.Lock()
        super().__init__(("127.0.0.1", 0), _Handler)

    def process_request(self, request, client_address):  # type: ignore[no-untyped-def]
        with self.live_lock:
            self.live.add(request)
        super().process_request(request, client_address)

    def shutdown_request(self, request):  # type: ignore[no-untyped-def]
        with self.live_lock:
            self.live.discard(request)
        super().shutdown_request(request)

    def hang_up_all(self) -> None:
        with self.live_lock:
            for connection in self.live:
                try:
                    connection.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass  # the client hung up already


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"  # keep connections open between requests
    timeout = 60  # a connection idle this long is closed
    server: _Server

    def setup(self) -> None:
        super().setup()
        self.upstream: http.client.HTTPConnection | None = None

    def finish(self) -> None:
        try:
            super().finish()
        finally:
            if self.upstream is not None:
                self.upstream.close()

    def log_message(self, format: str, *args: object) -> None:
        pass  # quiet: pytest shows stderr of failing tests

    def _body(self) -> bytes:
        if "chunked" in self.headers.get("Transfer-Encoding", "").lower():
            chunks = []
            while size := int(self.rfile.readline().split(b";")[0], 16):
                chunks.append(self.rfile.read(size))
                self.rfile.readline()
            while self.rfile.readline() not in (b"\r\n", b"\n", b""):
                pass  # trailers
            return b"".join(chunks)
        return self.rfile.read(int(self.headers.get("Content-Length") or 0))

    def _hang_up(self) -> None:
        self.close_connection = True

    def _relay(self) -> None:
        proxy = self.server.proxy
        body = self._body()
        fault = proxy._arrive(self.command, self.path)
        if proxy._wait(proxy.latency):
            return self._hang_up()
        if fault is not None and fault.kind == "drop":
            return self._hang_up()
        if fault is not None and fault.kind == "stall":
            if proxy._wait(fault.delay):
                return self._hang_up()
        if fault is not None and fault.kind == "status":
            return self._error(fault)
        try:
            status, reason, headers, data = self._forward(body)
        except OSError:
            return self._error(Fault("status", status=502, code="BadGateway", message="upstream unreachable"))
        cut = fault is not None and fault.kind == "cut" and len(data) >= 2
        self.send_response_only(status, reason)
        for name, value in headers:
            self.send_header(name, value)
        if self.command != "HEAD" and not any(name.lower() == "content-length" for name, _ in headers):
            self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data[: len(data) // 2] if cut else data)
        if cut:
            self.wfile.flush()
            self._hang_up()

    def _forward(self, body: bytes) -> tuple[int, str, list[tuple[str, str]], bytes]:
        headers = [(name, value) for name, value in self.headers.items() if name.lower() not in _HOP]
        for attempt in (1, 2):
            if self.upstream is None:
                self.upstream = http.client.HTTPConnection(*self.server.proxy.upstream, timeout=30)
            try:
                # The client's Host header goes through unchanged: the request is signed with it.
                self.upstream.putrequest(self.command, self.path, skip_host=True, skip_accept_encoding=True)
                for name, value in headers:
                    self.upstream.putheader(name, value)
                if body and not any(name.lower() == "content-length" for name, _ in headers):
                    self.upstream.putheader("Content-Length", str(len(body)))
                self.upstream.endheaders(body or None)
                response = self.upstream.getresponse()
                data = response.read()
            except (http.client.HTTPException, OSError):
                self.upstream.close()
                self.upstream = None
                if attempt == 2:
                    raise
                continue  # the server closed a kept-alive connection: once more on a new one
            kept = [(name, value) for name, value in response.getheaders() if name.lower() not in _HOP]
            return response.status, response.reason, kept, data
        raise AssertionError("unreachable")

    def _error(self, fault: Fault) -> None:
        payload = b"" if self.command == "HEAD" else (
            f"<?xml version='1.0' encoding='UTF-8'?>\n<Error><Code>{escape(fault.code)}</Code>"
            f"<Message>{escape(fault.message)}</Message><RequestId>fault-proxy</RequestId></Error>"
        ).encode()
        self.send_response_only(fault.status)
        self.send_header("Content-Type", "application/xml")
        self.send_header("Content-Length", str(len(payload)))
        self.end_headers()
        self.wfile.write(payload)

    do_GET = do_HEAD = do_PUT = do_POST = do_DELETE = _relay
