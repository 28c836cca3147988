"""The object store of the cold and coverage cases: an S3-API server (moto) on 127.0.0.1, a
proxy in front of it that holds every request like a distant store, and their configuration."""

from __future__ import annotations

import contextlib
import os
import subprocess
import sys
from pathlib import Path
from typing import Iterator

ACCESS_KEY, SECRET_KEY = "AKIABENCHACCESS00001", "bench-secret-never-logged"


def write_config(path: Path, root: Path, cache: Path, endpoint: str | None = None, bucket: str = "") -> Path:
    text = f"[env]\nuse_minio_storage = {'true' if endpoint else 'false'}\n" \
           f"[data_related]\nLOCAL_DATA_ROOT = {root}\nLOCAL_DATA_CACHE_DIR = {cache}\n"
    if endpoint:
        text += f"[object_store]\nendpoint = http://{endpoint}\nbucket = {bucket}\nregion = us-east-1\n"
    path.write_text(text)
    return path


@contextlib.contextmanager
def configured(config: Path) -> Iterator[None]:
    saved = os.environ.get("HALVORN_CONFIG")
    os.environ["HALVORN_CONFIG"] = str(config)
    try:
        yield
    finally:
        if saved is None:
            os.environ.pop("HALVORN_CONFIG", None)
        else:
            os.environ["HALVORN_CONFIG"] = saved


SERVER = """
import sys
from moto.server import ThreadedMotoServer
server = ThreadedMotoServer(ip_address="127.0.0.1", port=0, verbose=False)
server.start()
print("%s:%s" % server.get_host_and_port(), flush=True)
sys.stdin.read()
server.stop()
"""

# A TCP proxy that holds every request (a chunk from the client that starts
# with an HTTP method) for a fixed delay before passing it on, like a distant
# object store.
PROXY = """
import asyncio, sys
target_host, target_port, delay = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
METHODS = (b"GET ", b"HEAD ", b"PUT ", b"POST ", b"DELETE ")

async def pipe(reader, writer, delayed):
    try:
        while data := await reader.read(1 << 16):
            if delayed and data.startswith(METHODS):
                await asyncio.sleep(delay)
            writer.write(data)
            await writer.drain()
    except (ConnectionError, asyncio.CancelledError):
        pass
    finally:
        writer.close()

async def handle(client_reader, client_writer):
    server_reader, server_writer = await asyncio.open_connection(target_host, target_port)
    await asyncio.gather(pipe(client_reader, server_writer, True), pipe(server_reader, client_writer, False))

async def main():
    server = await asyncio.start_server(handle, "127.0.0.1", 0)
    print("127.0.0.1:%d" % server.sockets[0].getsockname()[1], flush=True)
    loop = asyncio.get_running_loop()
    await loop.run_in_executor(None, sys.stdin.read)

asyncio.run(main())
"""


class Process:
    """A helper process that prints its address, and stops when its stdin closes."""

    def __init__(self, code: str, *args: str) -> None:
        self.process = subprocess.Popen([sys.executable, "-c", code, *args], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.address = self.process.stdout.readline().strip()
        if not self.address:
            self.stop()
            raise RuntimeError("helper process did not start")

    def stop(self) -> None:
        if self.process.stdin and not self.process.stdin.closed:
            self.process.stdin.close()
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
