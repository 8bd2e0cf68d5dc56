"""The package against the library and vexlolpd: jobs stored byte for byte, check,
listing, removal, each error class, a cancel from another thread, the library search,
and the offline install into a fresh virtual environment."""
from __future__ import annotations

import ctypes
import os
import pickle
import re
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

import vexlolpr
from vexlolpr import _native

from conftest import HEADER, PACKAGE_ROOT, child_env, wait_for

ME = "pyuser"
CLIENT = "pyhost"
DEST = "lp@127.0.0.1"


def header_defines() -> dict:
    if not HEADER.is_file():
        pytest.skip(f"the header is not at {HEADER}")
    return dict(re.findall(r"^#define (\w+) (\S+)", HEADER.read_text(), re.M))


def test_version_is_the_librarys():
    assert vexlolpr.__version__ == header_defines()["VEXLOLPR_VERSION_STRING"].strip('"')


def test_constants_are_the_headers():
    defines = header_defines()
    ours = {name: value for name, value in vars(_native).items() if name.startswith("LPR_")}
    assert len(ours) >= 15
    assert {name: int(defines.get(name, "-1"), 0) for name in ours} == ours


def test_records_are_laid_out_as_in_c(tmp_path):
    """ctypes' offsets and sizes against the compiler's, field by field."""
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None or not HEADER.is_file():
        pytest.skip("no C compiler or no header")
    records = {"LPR_COMMONARG": _native.CommonArg, "LPR_PRINTARG": _native.PrintArg,
               "LPR_DELETEARG": _native.DeleteArg, "LPR_QUEUEARG": _native.QueueArg,
               "LPR_JOBINFO": _native.JobInfo, "LPR_JOBENTRY": _native.JobEntry}
    lines = [f'printf("{rec} %zu\\n", sizeof({rec}));' for rec in records]
    for rec, cls in records.items():
        lines += [f'printf("{rec}.{f} %zu\\n", offsetof({rec}, {f}));' for f, _ in cls._fields_]
    source = tmp_path / "layout.c"
    source.write_text('#include <stdio.h>\n#include <stddef.h>\n#include "vexlolpr.h"\n'
                      "int main(void) {\n" + "\n".join(lines) + "\nreturn 0;\n}\n")
    subprocess.run([compiler, "-I", str(HEADER.parent), "-o", str(tmp_path / "layout"), str(source)],
                   check=True, env=child_env(), timeout=60)
    c = subprocess.run([str(tmp_path / "layout")], check=True, capture_output=True, text=True,
                       env=child_env(), timeout=30).stdout.split()
    expected = dict(zip(c[0::2], map(int, c[1::2])))
    actual = {rec: ctypes.sizeof(cls) for rec, cls in records.items()}
    for rec, cls in records.items():
        actual.update({f"{rec}.{f}": getattr(cls, f).offset for f, _ in cls._fields_})
    assert actual == expected


# ---- arguments, before any call ----------------------------------------------------------

@pytest.mark.parametrize("printer, host, env, expected", [
    ("lp@printsrv", None, None, (b"lp", b"printsrv")),
    ("lp@127.0.0.1:5515", None, None, (b"lp", b"127.0.0.1:5515")),
    ("lp", "printsrv:515", None, (b"lp", b"printsrv:515")),
    (b"lp@printsrv", None, None, (b"lp", b"printsrv")),
    (None, None, "lp@envhost", (b"lp", b"envhost")),
    (None, "other", "lp@envhost", (b"lp", b"other")),  # host wins over PRINTER's host
    (None, "printsrv", "lp", (b"lp", b"printsrv")),
    ("lp@printsrv", None, "x@envhost", (b"lp", b"printsrv")),  # printer wins over PRINTER
    (None, None, None, "^no destination: "),
    (None, None, "", "^no destination: "),
    (None, "printsrv", None, "^no queue given"),
    ("", None, None, "^empty printer"),
    ("lp", "", None, "^empty host"),
    ("lp@a", "b", None, "^the host is given twice"),
    ("lp", None, None, r"^no server host for queue 'lp': .*HOST'$"),
    (None, None, "lp", r"\(PRINTER names no host\)$"),
    ("@printsrv", None, None, "^no queue name in printer '@printsrv'"),
    ("lp@", None, None, "^no host name after '@' in printer 'lp@'"),
    (None, None, "lp@", "^no host name after '@' in PRINTER 'lp@'"),
    ("lp@[::1]", None, None, (b"lp", b"[::1]")),
    ("lp", "[fe80::1%eth0]:5515", None, (b"lp", b"[fe80::1%eth0]:5515")),
] + [(f"lp@h:{port}", None, None, f"^bad server 'h:{port}'") for port in ("0", "65536", "x", "", "٣")]
   + [(f"lp@{bad}", None, None, f"^bad server '{re.escape(bad)}'") for bad in ("[::1", "[]", "[::1]x", "[::1]:0", "::1")]
   + [("lp", ":515", None, "^bad server ':515'")])
def test_destination(monkeypatch, printer, host, env, expected):
    if env is None:
        monkeypatch.delenv("PRINTER", raising=False)
    else:
        monkeypatch.setenv("PRINTER", env)
    if isinstance(expected, tuple):
        assert vexlolpr._destination(printer, host) == expected
    else:
        with pytest.raises(ValueError, match=expected):
            vexlolpr._destination(printer, host)


REFUSED = "name can't be sent to the server: it holds a space or a control character"


@pytest.mark.parametrize("call, message", [
    (lambda: vexlolpr.check("l p@h"), "The printer " + REFUSED),
    (lambda: vexlolpr.queue("lp\n@h"), "The printer " + REFUSED),
    (lambda: vexlolpr.remove(7, "lp\x7f@h"), "The printer " + REFUSED),
    (lambda: vexlolpr.print_file("f", DEST, user="a b"), "The user " + REFUSED),
    (lambda: vexlolpr.print_file("f", DEST, user=""), "^empty user name"),
    (lambda: vexlolpr.queue(DEST, client_host=b""), "^empty client host name"),
    (lambda: vexlolpr.check(DEST, user="a\tb"), "The user " + REFUSED),
    (lambda: vexlolpr.remove(7, DEST, user="x\x00"), "NUL"),
    (lambda: vexlolpr.print_file("f", DEST, client_host="ws 1"), "The client host " + REFUSED),
    (lambda: vexlolpr.print_file("f\0g", DEST), "NUL"),
    (lambda: vexlolpr.print_file("f", DEST, job_name="a\0b"), "NUL"),
    (lambda: vexlolpr.print_file("f", DEST, copies=0), "copies"),
    (lambda: vexlolpr.print_file("f", DEST, copies=65536), "copies"),
    (lambda: vexlolpr.print_file("f", DEST, format="F"), "bad format"),
    (lambda: vexlolpr.print_file("f", DEST, format="ff"), "bad format"),
    (lambda: vexlolpr.print_file("f", DEST, retry=0), "bad retry"),
    (lambda: vexlolpr.print_file("f", DEST, retry=11), "bad retry"),
    (lambda: vexlolpr.print_file("f", DEST, retry=True), "bad retry"),
    (lambda: vexlolpr.Job(_native.JobInfo(state=2), b"lp", b"h", b"j", (), None).wait(-1), "bad timeout"),
    (lambda: vexlolpr.Job(_native.JobInfo(state=1, jobnumber=7), b"lp", b"h", b"j", (), None).wait(),
     r"^job 7 was not queued \(unclear\): nothing to follow$"),
    (lambda: vexlolpr.check(DEST, reply_timeout=0), "reply_timeout"),
    (lambda: vexlolpr.check(DEST, busy_timeout=86401), "busy_timeout"),
    (lambda: vexlolpr.remove(0, DEST), "bad job number"),
    (lambda: vexlolpr.remove(65536, DEST), "bad job number"),
    (lambda: vexlolpr.remove(True, DEST), "bad job number"),
])
def test_refused_before_any_call(monkeypatch, call, message):
    def no_call():
        raise AssertionError("the library was called")
    monkeypatch.setattr(_native, "library", no_call)
    with pytest.raises(ValueError, match=message):
        call()


def test_library_older_than_the_package(monkeypatch, tmp_path):
    """A library of 1.1 (its exports, none of 1.2's) is refused by name and version."""
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        pytest.skip("no C compiler")
    exports = ["LPR_Print", "LPR_DeleteJob", "LPR_GetQueue", "LPR_FreeQueue", "LPR_GetLastErrorText",
               "LPR_CancelBlockingCall", "LPR_CancelRequest"]
    (tmp_path / "old.c").write_text("".join(f"int {name}(void) {{ return 0; }}\n" for name in exports))
    old = tmp_path / "libvexlolpr.so.1"
    subprocess.run([compiler, "-shared", "-fPIC", "-o", str(old), str(tmp_path / "old.c")],
                   check=True, env=child_env(), timeout=60)
    monkeypatch.setattr(_native, "_library", None)
    monkeypatch.setenv("VEXLOLPR_LIBRARY", str(old))
    with pytest.raises(vexlolpr.LibraryNotFoundError, match=re.escape(
            f"{old} (a vexlolpr library older than 1.2.0, which this package needs: no LPR_PrintJob)")):
        vexlolpr.print_file(tmp_path / "old.c", DEST)


@pytest.mark.parametrize("explicit", [True, False])
def test_missing_library(monkeypatch, tmp_path, explicit):
    monkeypatch.setattr(_native, "_library", None)
    monkeypatch.setattr(_native.ctypes.util, "find_library", lambda name: None)
    if explicit:
        monkeypatch.setenv("VEXLOLPR_LIBRARY", str(tmp_path / "libnone.so"))
    else:
        monkeypatch.delenv("VEXLOLPR_LIBRARY", raising=False)
    assert vexlolpr.cancel() is False  # nothing to cancel, and nothing loaded for it
    with pytest.raises(vexlolpr.LibraryNotFoundError) as caught:
        vexlolpr.check(DEST)
    text = str(caught.value)
    if explicit:
        assert f"VEXLOLPR_LIBRARY: {tmp_path / 'libnone.so'} (" in text
    else:
        for name in _native._NAMES_BESIDE:
            assert os.path.join(os.path.dirname(_native.__file__), name) + " (no such file)" in text
        assert "the system's library path" in text and "set VEXLOLPR_LIBRARY" in text


# ---- against vexlolpd ----------------------------------------------------------------------

def expected_control(stem, path, user=ME, client_host=CLIENT, job_name=None, banner_class=None,
                     banner=True, format="f", copies=1):
    lines = [f"H{client_host}", f"P{user}", f"J{job_name if job_name is not None else path}"]
    if banner:
        lines += [f"C{banner_class}"] if banner_class is not None else []
        lines += [f"L{user}"]
    for _ in range(copies):
        lines += ([f"T{path}"] if format == "p" else []) + [f"{format}d{stem}"]
    return ("\n".join(lines + [f"Ud{stem}", f"N{path}"]) + "\n").encode()


def one_job(lpd):
    """The control file's name of the one job in lp, once the server has queued it."""
    jobs = wait_for(lambda: lpd.control_files())
    assert len(jobs) == 1, lpd.files()
    return jobs[0]


def file_order(lpd):
    return [m.group(1) for m in re.finditer(r" (data|control) file [cd]fA", lpd.log())]


@pytest.mark.parametrize("kind, options, as_type", [
    ("text", {}, str),
    ("text", {}, Path),
    ("text", {}, os.fsencode),
    ("text", {"copies": 3, "job_name": "quarterly report", "banner_class": "Urgent"}, Path),
    ("bytes", {"banner": False, "banner_class": "Ignored", "format": "l", "control_first": True,
               "copies": 2}, str),
    ("text", {"format": "p", "user": "carol", "client_host": "ws-c", "trace": True, "reply_timeout": 12.345,
              "busy_timeout": 7}, Path),
    ("large", {"yield_to_messages": True, "trace": True}, str),
    ("large", {"trace": True}, str),
])
def test_print_stored_byte_for_byte(lpd, tmp_path, capfd, kind, options, as_type):
    data = {"text": b"first line\nsecond line\n\tindented third\n",
            "bytes": bytes(range(256)) * 4,
            "large": os.urandom(3 * 1024 * 1024 + 17)}[kind]
    path = tmp_path / f"{kind} file.bin"
    path.write_bytes(data)
    options = {"user": ME, "client_host": CLIENT, "reply_timeout": 10, **options}
    job = vexlolpr.print_file(as_type(path), DEST, **options)
    # The library's trace shows the settings it was given.
    trace = capfd.readouterr().err
    assert ("LPR_Print() entered" in trace) == bool(options.get("trace"))
    if options.get("trace"):
        assert ("Yielding to others" in trace) == bool(options.get("yield_to_messages"))
        assert (f"lpr-timeout={options.get('busy_timeout', 10)} "
                f"reply-timeout={round(options['reply_timeout'] * 1000)}") in trace
    cf = one_job(lpd)
    stem = cf[1:]
    assert re.fullmatch(rf"cfA\d{{3}}{options['client_host']}", cf)
    assert (job.state, job.number, job.control_file, job.data_file, job.bytes_sent) == (
        "queued", int(cf[3:6]), cf, f"d{stem}", len(data))
    assert (lpd.spool / "lp" / f"d{stem}").read_bytes() == data
    wanted = {k: v for k, v in options.items()
              if k in ("user", "client_host", "job_name", "banner_class", "banner", "format", "copies")}
    assert (lpd.spool / "lp" / cf).read_bytes() == expected_control(stem, str(path), **wanted)
    assert file_order(lpd)[-2:] == (["control", "data"] if options.get("control_first") else ["data", "control"])


@pytest.mark.parametrize("printer, host, env", [
    (DEST, None, None), ("lp@127.0.0.1:515", None, None), ("other", "127.0.0.1", None),
    (None, None, "lp@127.0.0.1"), (None, "127.0.0.1:515", "other"),
])
def test_check(lpd, monkeypatch, printer, host, env):
    if env is None:
        monkeypatch.delenv("PRINTER", raising=False)
    else:
        monkeypatch.setenv("PRINTER", env)
    before = lpd.connections()
    assert vexlolpr.check(printer, host, user=ME, client_host=CLIENT, reply_timeout=10) is None
    assert wait_for(lambda: lpd.connections() == before + 1)
    assert lpd.files("lp") == [] and lpd.files("other") == []


def test_queue_listing_and_removal(lpd, tmp_path):
    assert vexlolpr.queue(DEST, reply_timeout=10) == lpd.raw_listing().decode().splitlines()
    for name in ("alpha", "beta"):
        (tmp_path / name).write_text(f"{name}\n")
        vexlolpr.print_file(str(tmp_path / name), DEST, user=ME, client_host=CLIENT, job_name=name)
        wait_for(lambda: any(f"N{tmp_path / name}" in (lpd.spool / "lp" / cf).read_text()
                             for cf in lpd.control_files()))
    listing = vexlolpr.queue(DEST, reply_timeout=10)
    assert listing == lpd.raw_listing().decode().splitlines()
    assert sum(ME in line for line in listing) == 2, listing
    long_listing = vexlolpr.queue(DEST, long=True, reply_timeout=10)
    assert long_listing == lpd.raw_listing(command=b"\x04").decode().splitlines()
    assert long_listing != listing

    # The job numbers are the control files' (cfA + three digits); 0 cannot be removed.
    numbers = [int(cf[3:6]) for cf in lpd.control_files()]
    victim = max(numbers)
    assert victim != 0 and len(set(numbers)) == 2
    vexlolpr.remove(victim, DEST, user=ME, client_host=CLIENT, reply_timeout=10)
    left = wait_for(lambda: [int(cf[3:6]) for cf in lpd.control_files()] == [min(numbers)])
    assert left, lpd.files()
    assert sum(ME in line for line in vexlolpr.queue(DEST)) == 1


@pytest.mark.parametrize("printer", [DEST, "lp@nosuch.invalid"])
def test_queue_gives_the_listing_back(lpd, monkeypatch, printer):
    """The library's block goes back through LPR_FreeQueue whether the listing came or not."""
    lib = _native.library()
    real = lib.LPR_FreeQueue
    given_back = []

    def free_queue(variable):
        address = ctypes.cast(variable, ctypes.POINTER(ctypes.c_void_p))
        given_back.append(address.contents.value)
        real(variable)
        given_back.append(address.contents.value)

    monkeypatch.setattr(lib, "LPR_FreeQueue", free_queue)
    try:
        assert vexlolpr.queue(printer, reply_timeout=5)
    except vexlolpr.HostNotFoundError:
        assert given_back == [None, None]  # the library stored NULL: nothing to free
    else:
        assert len(given_back) == 2 and given_back[0] and given_back[1] is None


class FakeServer:
    """A server on 127.0.0.1 that either takes connections and never answers
    ("silent"; ``accepted`` holds them) or takes a job and its data file's subcommand
    and then stops reading ("stalled")."""

    def __init__(self, mode):
        self.sock = socket.socket()
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(8)
        self.sock.settimeout(10 if mode == "stalled" else 0.05)
        self.port = self.sock.getsockname()[1]
        self.done = threading.Event()
        self.accepted = []
        self.thread = threading.Thread(target=self._stall if mode == "stalled" else self._hold)
        self.thread.start()

    def _hold(self):
        deadline = time.monotonic() + 60
        while not self.done.is_set() and time.monotonic() < deadline:
            try:
                self.accepted.append(self.sock.accept()[0])
            except OSError:
                pass

    def _stall(self):
        try:
            conn, _ = self.sock.accept()
        except OSError:
            return
        with conn, conn.makefile("rb") as lines:
            for _ in range(2):  # receive job, then the data file's subcommand
                lines.readline()
                conn.sendall(b"\0")
            self.done.wait(20)

    def close(self):
        self.done.set()
        self.thread.join(10)
        for conn in self.accepted + [self.sock]:
            conn.close()


# Each request as a call of (path, printer, **options).
CALLS = {
    "print": lambda path, printer, **kw: vexlolpr.print_file(path, printer, **kw),
    "check": lambda path, printer, **kw: vexlolpr.check(printer, **kw),
    "queue": lambda path, printer, **kw: vexlolpr.queue(printer, **kw),
    "remove": lambda path, printer, **kw: vexlolpr.remove(17, printer, **kw),
}


LOCAL = {"missing file", "empty file", "directory"}


@pytest.mark.parametrize("case, kind, cls, result, code, line", [
    *[("unresolvable", kind, vexlolpr.HostNotFoundError, 67, 4914,
       "Can't resolve host name nosuch.invalid (error 4914)") for kind in ("print", "check", "queue", "remove")],
    *[("unknown queue", kind, vexlolpr.ServerRefusedError, 59, 5012,
       "Server error: perhaps there is no nosuch printer (error 5012)") for kind in ("print", "check")],
    # The refusal shows at the first send, after the connection counted as made; only a
    # check keeps the connection's own code.
    *[("nothing listening", kind, vexlolpr.LprError, 59, 4943, "LPD is not running on remote host (error 4943)")
      for kind in ("print", "queue", "remove")],
    ("nothing listening", "check", vexlolpr.LprError, 59, 4915, "LPD is not running on remote host (error 4915)"),
    # A receive that runs out of time records no code of its own: the step's failure
    # stands for it.  A send that does, and a check, report the time-out.
    ("silent", "print", vexlolpr.LprError, 59, 4943, "Couldn't verify 'Initial' command (error 4943)"),
    ("silent", "check", vexlolpr.LprTimeoutError, 59, 4913, "Timeout (error 4913)"),
    ("silent", "queue", vexlolpr.LprError, 59, 4943, "Failed to recieve queue list (error 4943)"),
    ("silent", "remove", vexlolpr.LprError, 59, 5007, "Couldn't verify 'Notify' command (error 5007)"),
    ("stalled", "print", vexlolpr.LprTimeoutError, 31, 4913, "Couldn't send data file (error 4913)"),
    ("missing file", "print", vexlolpr.LocalFileError, 1200, 4977, "{path}: File not found (error 4977)"),
    ("empty file", "print", vexlolpr.LocalFileError, 1200, 4965,
     "{path}: Unexpected end of file or dir (error 4965; the file is empty)"),
    ("directory", "print", vexlolpr.LocalFileError, 1200, 4977, "{path}: File not found (error 4977; is a directory)"),
])
def test_errors(lpd, tmp_path, case, kind, cls, result, code, line):
    path = tmp_path / case.replace(" ", "-")
    if case == "empty file":
        path.write_bytes(b"")
    elif case == "directory":
        path.mkdir()
    elif case not in LOCAL:
        # Larger than the socket buffers, so that a server that stops reading shows.
        path.write_bytes(b"x" * (8 << 20))
    fake = FakeServer(case) if case in ("silent", "stalled") else None
    printer = {"unresolvable": "lp@nosuch.invalid", "unknown queue": "nosuch@127.0.0.1",
               "nothing listening": "lp@127.0.0.1:9"}.get(case, f"lp@127.0.0.1:{fake.port}" if fake else DEST)
    before = lpd.connections()
    common = {"user": ME, "client_host": CLIENT, "reply_timeout": 1.0}
    started = time.monotonic()
    try:
        with pytest.raises(vexlolpr.LprError) as caught:
            CALLS[kind](path, printer, **common)
    finally:
        if fake:
            fake.close()
    error = caught.value
    assert (type(error), error.result, error.code) == (cls, result, code)
    assert str(error) == line.format(path=path)
    copy = pickle.loads(pickle.dumps(error))
    assert (type(copy), copy.result, copy.code, copy.text, str(copy)) == (cls, result, code, error.text, str(error))
    assert error.text and error.text in str(error)
    assert time.monotonic() - started < 8  # the reply time-out bounds every wait
    if case in LOCAL or case in ("unresolvable", "nothing listening"):
        assert lpd.connections() == before
    assert lpd.files() == []


def test_cancel_from_another_thread(lpd, tmp_path):
    """A large job paced by the message loop (about 8 MB a second), cancelled from a
    second thread: the call raises CancelledError, and the server keeps nothing."""
    path = tmp_path / "large.bin"
    path.write_bytes(os.urandom(24 * 1024 * 1024))
    assert vexlolpr.cancel() is False
    posted = []

    def canceller():
        # A cancel can be posted once the request has its status display, after the
        # host lookup; until then cancel() says False.
        for _ in range(400):
            if lpd.files() or any(p.name.startswith(".incoming") and any(p.iterdir())
                                  for p in lpd.spool.iterdir()):
                if vexlolpr.cancel():
                    posted.append(time.monotonic())
                    return
            time.sleep(0.01)

    thread = threading.Thread(target=canceller)
    log_before = len(lpd.log())
    started = time.monotonic()
    thread.start()
    try:
        with pytest.raises(vexlolpr.CancelledError) as caught:
            vexlolpr.print_file(path, DEST, user=ME, client_host=CLIENT, yield_to_messages=True,
                                reply_timeout=10)
    finally:
        thread.join(timeout=10)
    ended = time.monotonic()
    assert posted and started < posted[0] <= ended
    error = caught.value
    assert error.code == 4601 and str(error).startswith("interrupted: ")
    assert vexlolpr.cancel() is False
    # The server drops the half-received job once the connection ends (in a file or
    # between two); this job's lines only, the log holds the earlier tests' too.
    ended_log = wait_for(lambda: re.search(r"job abandoned|discarded|abort job|data file \S+: ",
                                           lpd.log()[log_before:]))
    assert ended_log and "queued" not in lpd.log()[log_before:], lpd.log()[log_before:]
    assert wait_for(lambda: lpd.files() == [] and not any(
        any(p.iterdir()) for p in lpd.spool.iterdir() if p.name.startswith(".incoming"))), lpd.files()


# ---- cancel tokens, Ctrl-C, threads ----------------------------------------------------------

@pytest.mark.parametrize("kind, on_main", [("print", True), ("queue", False), ("remove", False)])
def test_token_cancels_its_own_call_only(library_path, tmp_path, kind, on_main):
    """Two calls wait on silent servers with a token each: the one whose token is
    cancelled (on the main thread or not) raises CancelledError, the other meets its own
    4 s reply time-out."""
    (tmp_path / "job").write_bytes(b"job\n")
    servers, tokens, ended = [FakeServer("silent"), FakeServer("silent")], [vexlolpr.CancelToken() for _ in "ab"], {}

    def call(i):
        try:
            CALLS[kind](tmp_path / "job", f"lp@127.0.0.1:{servers[i].port}", cancel_token=tokens[i],
                        reply_timeout=4)
        except vexlolpr.LprError as error:
            ended[i] = (type(error), error.code, time.monotonic() - started)

    def canceller():
        ended["posted"] = wait_for(lambda: all(server.accepted for server in servers)) and tokens[0].cancel()

    threads = [threading.Thread(target=canceller), threading.Thread(target=call, args=(1,))]
    threads += [] if on_main else [threading.Thread(target=call, args=(0,))]
    started = time.monotonic()
    for thread in threads:
        thread.start()
    try:
        if on_main:
            call(0)
    finally:
        for thread in threads:
            thread.join(30)
        for server in servers:
            server.close()
    assert ended["posted"] is True and ended[0][:2] == (vexlolpr.CancelledError, 4601) and ended[0][2] < 3
    assert ended[1][1] in (4943, 5007) and ended[1][2] > 3.5 and not tokens[1].cancelled


@pytest.mark.parametrize("kind", CALLS)
def test_token_cancelled_before_the_call(library_path, tmp_path, kind):
    """A token stays cancelled: a later call raises at once and never connects (a probe
    after it is the server's first connection)."""
    token, server = vexlolpr.CancelToken(), FakeServer("silent")
    assert token.cancel() is False and token.cancelled
    try:
        with pytest.raises(vexlolpr.CancelledError, match=r"^interrupted: User cancelled \(error 4601\)$"):
            CALLS[kind](tmp_path, f"lp@127.0.0.1:{server.port}", cancel_token=token, reply_timeout=4)
        with socket.create_connection(("127.0.0.1", server.port), timeout=10) as probe:
            assert wait_for(lambda: server.accepted)
            assert [conn.getpeername() for conn in server.accepted] == [probe.getsockname()]
    finally:
        server.close()


@pytest.mark.parametrize("call", ["print_file(sys.argv[1], sys.argv[2], reply_timeout=20)",
                                  "queue(sys.argv[2], reply_timeout=20)"])
def test_ctrl_c_cancels_the_call_at_once(library_path, tmp_path, call):
    """SIGINT to a program whose main thread waits on a silent server: KeyboardInterrupt
    comes at once, and the program ends with its request cancelled, not after the 20 s
    reply time-out (the interpreter waits for the request at exit)."""
    (tmp_path / "job").write_bytes(b"job\n")
    server = FakeServer("silent")
    # The library under test needs the environment the tests run in (a preloaded runtime).
    child = subprocess.Popen([sys.executable, "-c", "import sys, vexlolpr\nvexlolpr." + call, str(tmp_path / "job"),
                              f"lp@127.0.0.1:{server.port}"], env=dict(os.environ, PYTHONPATH=str(PACKAGE_ROOT)),
                             stderr=subprocess.PIPE, text=True)
    try:
        connected = wait_for(lambda: server.accepted or child.poll() is not None, 20)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        err = child.communicate(timeout=30)[1]
    finally:
        child.kill()
        child.wait(10)
        server.close()
    assert connected and server.accepted and time.monotonic() - sent < 5, err
    assert child.returncode == -signal.SIGINT and err.rstrip().endswith("KeyboardInterrupt"), err


def test_error_texts_stay_with_their_thread(library_path):
    """Two threads in step fail 500 times each, one at once ("[zz]" is no address), the
    main thread (its requests run on a thread of their own) after a refused
    connection: every error carries its own request's text."""
    own = {"[zz]": "Can't resolve host name [zz]", "127.0.0.1:1": "LPD is not running on remote host"}
    texts, gate, deadline = {host: [] for host in own}, threading.Barrier(2, timeout=30), time.monotonic() + 120

    def fail(host):
        try:
            while len(texts[host]) < 500 and time.monotonic() < deadline:
                gate.wait()
                with pytest.raises(vexlolpr.LprError) as caught:
                    vexlolpr.queue("lp", host, reply_timeout=5)
                texts[host].append(caught.value.text)
        except BaseException:
            # A thread that fails lets the other stop too.  Not after the last round: the
            # other may not yet have woken from the barrier they both passed, and would
            # find it broken.
            gate.abort()
            raise

    thread = threading.Thread(target=fail, args=("[zz]",))
    thread.start()
    try:
        fail("127.0.0.1:1")
    finally:
        thread.join(60)
    assert {host: (len(got), set(got)) for host, got in texts.items()} == {h: (500, {t}) for h, t in own.items()}


# ---- the install ---------------------------------------------------------------------------

FIVE_LINES = """\
import sys, vexlolpr
vexlolpr.print_file(sys.argv[1], "lp@127.0.0.1", user="pyuser", client_host="venv")
print(vexlolpr.queue("lp@127.0.0.1")[-1])
import importlib.metadata as m
print(m.version("vexlolpr"), vexlolpr.__version__, vexlolpr.__file__)
"""


def pythons():
    """The running interpreter, and those named in VEXLOLPR_TEST_PYTHONS."""
    extra = [p for p in os.environ.get("VEXLOLPR_TEST_PYTHONS", "").split(os.pathsep) if p]
    return [sys.executable] + extra


@pytest.mark.parametrize("python", pythons())
def test_offline_install_in_fresh_venv(lpd, tmp_path, python):
    """The README's command in a new virtual environment where no package index can
    be reached, then a five-line script that prints a job."""
    env = child_env()
    env.update(PIP_NO_INDEX="1", PIP_DISABLE_PIP_VERSION_CHECK="1")
    probe = subprocess.run([python, "-c", "import venv, ensurepip"], env=env, capture_output=True,
                           timeout=60)
    if probe.returncode != 0:
        pytest.skip(f"{python} has no venv with pip (Debian: python3-venv)")
    venv = tmp_path / "venv"
    subprocess.run([python, "-m", "venv", str(venv)], env=env, check=True, timeout=180)
    bin_python = str(venv / "bin" / "python")
    install = subprocess.run([bin_python, "-m", "pip", "install", str(PACKAGE_ROOT)], env=env,
                             capture_output=True, text=True, timeout=300)
    assert install.returncode == 0, install.stdout + install.stderr
    (tmp_path / "label.txt").write_text("label\n")
    script = tmp_path / "five.py"
    script.write_text(FIVE_LINES)
    # The script loads the library: it gets the environment the tests run in.
    run = subprocess.run([bin_python, str(script), str(tmp_path / "label.txt")], cwd=tmp_path,
                         capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    listing_line, versions = run.stdout.splitlines()
    assert "pyuser" in listing_line
    installed, version, location = versions.split(" ", 2)
    assert installed == version == vexlolpr.__version__
    assert location.startswith(str(venv))
    assert (lpd.spool / "lp" / one_job(lpd)).read_bytes().startswith(b"Hvenv\nPpyuser\n")
