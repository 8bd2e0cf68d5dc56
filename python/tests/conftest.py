"""Shared set-up of the package's tests: the package from this tree, a network
namespace of the test process's own, vexlolpd serving the queues lp and other on port
515 inside it, and a relay in front of it that fails chosen steps of jobs.

Environment: VEXLOLPR_LIBRARY, the shared library under test (else the package's own
search); VEXLOLPD, the server (else the server tests are skipped)."""
from __future__ import annotations

import ctypes
import os
import shutil
import socket
import struct
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
PACKAGE_ROOT = HERE.parent
sys.path.insert(0, str(PACKAGE_ROOT))

from vexlolpr import _native  # noqa: E402  (after the path above)

HEADER = PACKAGE_ROOT.parent / "include" / "vexlolpr.h"
CLONE_NEWNET = 0x40000000


def child_env() -> dict:
    """The environment for programs the tests start: without the sanitizer runtime that
    the test runner may preload into Python for an instrumented library."""
    env = dict(os.environ)
    env.pop("LD_PRELOAD", None)
    return env


def _enter_namespace() -> str:
    """Moves this process into a network namespace with only loopback, up.  Done at
    import, while the process has one thread: threads made later inherit it.  Returns
    why it could not be done, or ""."""
    if not sys.platform.startswith("linux"):
        return "network namespaces are a Linux feature"
    if os.geteuid() != 0:
        return "not root: cannot make a network namespace"
    if shutil.which("ip") is None:
        return "ip (iproute2) not found"
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.unshare(CLONE_NEWNET) != 0:
        return f"unshare(CLONE_NEWNET) failed: {os.strerror(ctypes.get_errno())}"
    done = subprocess.run(["ip", "link", "set", "lo", "up"], env=child_env(),
                          capture_output=True, text=True, timeout=30)
    if done.returncode != 0:
        return f"cannot bring lo up: {done.stderr.strip()}"
    return ""


NO_NAMESPACE = _enter_namespace()


def wait_for(predicate, seconds: float = 10.0, step: float = 0.05):
    """Polls until predicate() is true or the time is up; returns its last value."""
    deadline = time.monotonic() + seconds
    while True:
        value = predicate()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(step)


@pytest.fixture(scope="session", autouse=True)
def own_job_numbers(tmp_path_factory):
    """The library's job number record in a directory of this run's own (private, as the
    library requires), not the user's, which tests running at the same time use."""
    state = tmp_path_factory.mktemp("state")
    state.chmod(0o700)
    saved = os.environ.get("VEXLOLPR_STATE_DIR")
    os.environ["VEXLOLPR_STATE_DIR"] = str(state)
    yield
    if saved is None:
        del os.environ["VEXLOLPR_STATE_DIR"]
    else:
        os.environ["VEXLOLPR_STATE_DIR"] = saved


@pytest.fixture(scope="session")
def library_path():
    """The library under test, loaded once; skips where none is found."""
    try:
        lib = _native.library()
    except _native.LibraryNotFoundError as exc:
        if os.environ.get("VEXLOLPR_LIBRARY"):
            raise  # named explicitly: a failure, not a skip
        pytest.skip(f"no vexlolpr library (set VEXLOLPR_LIBRARY): {exc}")
    return lib._name


class Server:
    """vexlolpd on 127.0.0.1:515 with the queues lp and other, logging every command."""

    def __init__(self, program: str, work: Path):
        self.spool = work / "spool"
        self.log_path = work / "lpd.log"
        self._log = open(self.log_path, "wb")
        # It stops itself after the deadline whatever happens here.
        self.process = subprocess.Popen(
            [program, "--spool", str(self.spool), "--queue", "lp", "--queue", "other", "--port", "515",
             "--deadline", "280", "--verbose"],
            stdout=subprocess.DEVNULL, stderr=self._log, env=child_env())

    def accepting(self) -> bool:
        try:
            socket.create_connection(("127.0.0.1", 515), timeout=2).close()
            return True
        except OSError:
            return False

    def stop(self) -> None:
        self.process.terminate()
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait(timeout=10)
        self._log.close()

    def log(self) -> str:
        return self.log_path.read_text(errors="replace")

    def files(self, queue: str = "lp") -> list:
        return sorted(p.name for p in (self.spool / queue).iterdir())

    def control_files(self, queue: str = "lp") -> list:
        return [name for name in self.files(queue) if name.startswith("cfA")]

    def clear(self) -> None:
        for queue in ("lp", "other"):
            for path in (self.spool / queue).iterdir():
                path.unlink()

    def connections(self) -> int:
        return len({line.split()[1] for line in self.log().splitlines()
                    if line.startswith("vexlolpd: #")})

    def raw_listing(self, queue: str = "lp", command: bytes = b"\x03") -> bytes:
        """The short (or, with command 04, long) listing straight from the server."""
        with socket.create_connection(("127.0.0.1", 515), timeout=10) as s:
            s.sendall(command + queue.encode() + b"\n")
            chunks = []
            while True:
                chunk = s.recv(65536)
                if not chunk:
                    return b"".join(chunks)
                chunks.append(chunk)


@pytest.fixture(scope="session")
def server(library_path, tmp_path_factory):
    if NO_NAMESPACE:
        pytest.skip(NO_NAMESPACE)
    program = os.environ.get("VEXLOLPD")
    if not program:
        pytest.skip("VEXLOLPD (the path of vexlolpd) is not set")
    lpd = Server(program, tmp_path_factory.mktemp("lpd"))
    try:
        if not wait_for(lambda: lpd.accepting() or lpd.process.poll() is not None) or not lpd.accepting():
            pytest.fail("vexlolpd does not accept on port 515:\n" + lpd.log())
        yield lpd
    finally:
        lpd.stop()


@pytest.fixture
def lpd(server):
    """The server with empty queues."""
    server.clear()
    yield server


class Relay:
    """127.0.0.1 in front of vexlolpd, one connection at a time.  ``faults``: one per job
    connection in turn, None or (piece, how): piece "job" (the command line), "data" or
    "control" (a file's content); how "refuse" (the server gets the piece but its last
    octet, the client a refusal), "reset" (the same, the client a reset instead of an
    answer) or "reset-queued" (the server gets it whole, the client a reset).
    ``listings``: {3 or 4: bytes answered instead of the server's listing}.
    ``drop_removals``: removals answered with nothing.  ``after(line)`` runs after each
    connection; ``lines`` holds each connection's command line once it is over."""

    def __init__(self, faults=(), listings=None, drop_removals=False):
        self.faults, self.listings, self.drop_removals = list(faults), dict(listings or {}), drop_removals
        self.lines, self.accepted, self.after, self.done = [], 0, None, threading.Event()
        self.sock = socket.create_server(("127.0.0.1", 0))
        self.sock.settimeout(0.05)
        self.printer = f"lp@127.0.0.1:{self.sock.getsockname()[1]}"
        self.thread = threading.Thread(target=self._run)
        self.thread.start()

    def commands(self) -> list:
        return [line[0] if line else 0 for line in self.lines]

    def settled(self) -> None:
        assert wait_for(lambda: len(self.lines) == self.accepted), "the relay is still busy"

    def _run(self):
        deadline = time.monotonic() + 120
        while not self.done.is_set() and time.monotonic() < deadline:
            try:
                client = self.sock.accept()[0]
            except OSError:
                continue
            self.accepted += 1
            client.settimeout(10)
            with client, client.makefile("rb") as reader:  # the file holds the socket open
                line = reader.readline()
                try:
                    self._serve(client, reader, line)
                except OSError:
                    pass
            if self.after:
                self.after(line)
            self.lines.append(line)

    def _serve(self, client, reader, line):
        command = line[0] if line else 0
        if command in self.listings or (command == 5 and self.drop_removals):
            return client.sendall(self.listings.get(command, b""))
        fault = self.faults.pop(0) if command == 2 and self.faults else None
        with socket.create_connection(("127.0.0.1", 515), timeout=10) as server:
            if command != 2:
                server.sendall(line)
                while True:
                    chunk = server.recv(65536)
                    if not chunk:
                        return
                    client.sendall(chunk)
            piece, data = "job", line
            while True:
                if fault and fault[0] == piece:
                    server.sendall(data if fault[1] == "reset-queued" else data[:-1])
                    if fault[1] == "reset-queued":
                        server.recv(1)
                    if fault[1] == "refuse":
                        return client.sendall(b"\1")
                    # A close alone would read as the server's answer: it has the file.
                    return client.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                server.sendall(data)
                answer = server.recv(1)
                client.sendall(answer)
                if answer != b"\0":
                    return
                if piece != "line":
                    data, piece = reader.readline(), "line"
                    if data[:1] not in (b"\2", b"\3"):
                        return server.sendall(data)  # the job's end, or an abort
                else:
                    piece = "control" if data[:1] == b"\2" else "data"
                    data = reader.read(int(data[1:].split()[0]) + 1)

    def close(self):
        self.done.set()
        self.thread.join(30)
        self.sock.close()


@pytest.fixture
def relay(lpd):
    """Relay(...) in front of the server with empty queues; closed after the test."""
    made = []
    yield lambda *args, **kwargs: made.append(Relay(*args, **kwargs)) or made[-1]
    for one in made:
        one.close()
