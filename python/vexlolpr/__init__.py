"""Print files on, list and remove jobs of, and check queues of LPD servers (RFC 1179)
through the vexlolpr library.

Every function blocks until its request ends.  Calls on different threads run at the
same time, each with its own connection, time-outs and error text.  ``cancel()``
cancels every call in progress; a ``CancelToken`` given to calls as ``cancel_token=``
cancels those calls and no others.

Ctrl-C: on POSIX a call made from the main thread runs its request on a thread of its
own and waits for it where Python delivers signals, so ``KeyboardInterrupt`` (or any
exception a signal handler raises) comes at once: it cancels that call's request and
is raised.  The request's thread ends once the request notices the cancel, at its next
wait or write (a check, at the end of its reply time-out); the interpreter waits for it
at exit.  On Windows the
call stays on the calling thread, whose windows the library's message loop keeps
alive; Ctrl-C comes through once it returns.

``print_file`` returns a ``Job``: its number, files and state, which ``Job.wait()``
follows in the queue listing and ``Job.remove()`` takes out of the queue.  Every look
into a listing goes through the library's ``LPR_FindJob``.

Destinations are given as the vexlolpr command takes them: ``printer`` is
``"QUEUE@HOST[:PORT]"``, or ``"QUEUE"`` with ``host="HOST[:PORT]"``; when ``printer``
is None the ``PRINTER`` environment variable is read in the same form.

Text: names (queue, host, user, client host, job name, class) given as ``str`` are
sent as UTF-8 (on Windows in the ANSI code page), file paths as the file system
encodes them (``os.fsencode``); ``bytes`` are sent as they are.  Texts that come back
(listing lines, error texts) are decoded as UTF-8, undecodable bytes replaced.
"""
from __future__ import annotations

import ctypes
import enum
import os
import socket
import stat
import sys
import threading
import time
from typing import List, Optional, Tuple, Union

from . import _native
from ._native import LibraryNotFoundError

# The library's version (VEXLOLPR_VERSION_STRING): no export tells it, so the tests
# hold the two equal.  The build backend reads this line.
__version__ = "1.2.0"

__all__ = [
    "print_file", "check", "queue", "remove", "cancel", "CancelToken", "Job", "JobState",
    "LprError", "HostNotFoundError", "LprTimeoutError", "CancelledError",
    "ServerRefusedError", "LocalFileError", "WaitTimeout", "CannotTell", "StillQueued",
    "LibraryNotFoundError", "__version__",
]

PathArg = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
Text = Union[str, bytes]

_ENCODING = "mbcs" if sys.platform == "win32" else "utf-8"
# Bytes that came in as bytes (a PRINTER of another encoding) go out unchanged.
_ERRORS = "strict" if sys.platform == "win32" else "surrogateescape"
_MAX_REPLY_MS = 2147483647
_MAX_BUSY_SECONDS = 86400  # the library counts this wait in milliseconds in 32 bits
_MAX_TRIES = 10            # as the command's --retry
_RETRY_PAUSE = 1.0         # seconds before the first resend; doubled before each next one
_SLICE = 0.05              # a pause sleeps in slices and looks for a cancel after each


# ---- errors --------------------------------------------------------------------------

class LprError(Exception):
    """A request failed.  ``result`` is the library's result value (``LPR_R_*``),
    ``code`` the first failure's error code (``LPR_ERR_*``, 0 when none was recorded)
    and ``text`` the library's last-error text.  ``job`` is the ``Job`` the failure
    concerns (from ``print_file``: what became of it, ``job.state``), or None."""

    def __init__(self, result: int, code: int, text: str, filename: Optional[str] = None,
                 reason: str = "", job: Optional["Job"] = None):
        self.result = result
        self.code = code
        self.text = text
        self.filename = filename
        self.reason = reason
        self.job = job
        super().__init__(_one_line(result, code, text, filename, reason))

    def __reduce__(self):
        # The arguments are not the message: without this a copy or pickle (a process
        # pool handing the error back) could not make the error again.
        return type(self), (self.result, self.code, self.text, self.filename, self.reason, self.job)


class HostNotFoundError(LprError):
    """The server's host name does not resolve (or its ``:PORT`` is not a port)."""


class LprTimeoutError(LprError):
    """A wait ran out of ``reply_timeout`` where the library reports it as a time-out:
    a send that the server stopped taking, a connection, a check.  A reply that does
    not come in time during a job, a listing or a removal is reported as the failure of
    the step that waited for it (``LprError`` with code 4943 or 5007)."""


class CancelledError(LprError):
    """The request was ended by ``cancel()``, its ``CancelToken`` or Ctrl-C; the server
    keeps no job."""


class ServerRefusedError(LprError):
    """The server answered with a refusal (no such queue, no spool space, its own
    failure)."""


class LocalFileError(LprError):
    """The file to print cannot be opened, is empty, or is not a regular file."""


class _JobOutcome(LprError):
    """What a look at the queue listing found about a job, where the call wanted
    otherwise; ``result`` and ``code`` are 0, ``text`` the message."""

    def __init__(self, text: str, job: Optional["Job"] = None):
        super().__init__(0, 0, text, job=job)
        self.args = (text,)

    def __reduce__(self):
        return type(self), (self.text, self.job)


class WaitTimeout(_JobOutcome):
    """``Job.wait()``: the time ran out while the job was still listed."""


class CannotTell(_JobOutcome):
    """The listing cannot tell about the job: the server listed nothing at all, or in
    a form the library does not read."""


class StillQueued(_JobOutcome):
    """``Job.remove()``: the job is still listed after the removal (the server did not
    remove it: another user's job, or the server's own rule)."""


_BY_CODE = {
    _native.LPR_ERR_HOST_NAME: HostNotFoundError,
    _native.LPR_ERR_TIMEOUT: LprTimeoutError,
    _native.LPR_ERR_CANCELLED: CancelledError,
    _native.LPR_ERR_LPD_REPORTED: ServerRefusedError,
    _native.LPR_ERR_SPOOL_SPACE: ServerRefusedError,
    _native.LPR_ERR_SPOOLER_SERVER: ServerRefusedError,
}


def _one_line(result: int, code: int, text: str, filename: Optional[str], reason: str) -> str:
    """The command's error line without its "vexlolpr: " prefix."""
    # A server's refusal text is part of the text: shown on one line.
    text = "".join("?" if ord(c) < 0x20 or ord(c) == 0x7F else c for c in text)
    head = f"{filename}: " if filename is not None else ""
    # After a cancel the text is that of the step it stopped ("Couldn't send data
    # file"), which alone would read like a network failure.
    if code == _native.LPR_ERR_CANCELLED:
        head += "interrupted: "
    if code == 0:  # the text would be an earlier request's
        return f"{head}request failed (result {result})"
    return f"{head}{text or 'request failed'} (error {code}{'; ' + reason if reason else ''})"


def _file_reason(path: bytes) -> str:
    """What the system says about a file the library could not print; the library's
    texts name neither the file nor the reason."""
    try:
        st = os.stat(path)
    except FileNotFoundError:
        return ""
    except OSError as exc:
        return exc.strerror or str(exc)
    if stat.S_ISDIR(st.st_mode):
        return "is a directory"
    if not stat.S_ISREG(st.st_mode):
        return "not a regular file"
    try:
        with open(path, "rb"):
            pass
    except OSError as exc:
        return exc.strerror or str(exc)
    return "the file is empty" if st.st_size == 0 else ""


def _last_error_text(lib: ctypes.CDLL) -> str:
    buf = ctypes.create_string_buffer(512)
    lib.LPR_GetLastErrorText(buf, len(buf))
    return buf.value.decode("utf-8", "replace")


def _failure(lib: ctypes.CDLL, result: int, common: _native.CommonArg,
             path: Optional[bytes] = None, job: Optional["Job"] = None) -> LprError:
    """The error of a failed request; made on the thread that ran it, whose failure the
    last-error text is."""
    code = int(common.errorcode)
    text = _last_error_text(lib)
    if result == _native.LPR_R_BAD_DEVICE and path is not None:
        return LocalFileError(result, code, text, os.fsdecode(path), _file_reason(path), job)
    return _BY_CODE.get(code, LprError)(result, code, text, job=job)


def _cancelled(job: Optional["Job"] = None) -> CancelledError:
    """The error of a call cancelled before its request reached the library: nothing
    was sent; the result is that of a request cancelled at its first wait."""
    return CancelledError(_native.LPR_R_UNEXP_NET_ERR, _native.LPR_ERR_CANCELLED,
                          _CANCELLED_TEXT, job=job)


# ---- arguments -----------------------------------------------------------------------

def _encode(value: Text, what: str) -> bytes:
    data = value if isinstance(value, bytes) else value.encode(_ENCODING, _ERRORS)
    if b"\0" in data:
        raise ValueError(f"{what} contains a NUL character")
    return data


def _frameable(value: Text, what: str) -> bytes:
    """A name that goes into a command line as an operand, refused as the library
    refuses it (spaces separate operands, a control character would end the line)."""
    data = _encode(value, f"the {what} name")
    if not data:
        raise ValueError(f"empty {what} name")
    if any(b <= 0x20 or b == 0x7F for b in data):
        raise ValueError(f"The {what} name can't be sent to the server: "
                         "it holds a space or a control character")
    return data


def _port_ok(text: str) -> bool:
    return text.isdigit() and text.isascii() and 1 <= int(text) <= 65535


def _destination(printer: Optional[Text], host: Optional[Text]) -> Tuple[bytes, bytes]:
    """Queue and host from ``printer``, ``host`` and ``PRINTER``, as the command works
    them out from -P, -H and PRINTER."""
    spec = printer.decode(_ENCODING, _ERRORS) if isinstance(printer, bytes) else printer
    hostname = host.decode(_ENCODING, _ERRORS) if isinstance(host, bytes) else host
    origin = "printer"
    if spec is None:
        spec = os.environ.get("PRINTER")
        origin = "PRINTER"
        if not spec:
            if hostname is not None:
                raise ValueError("no queue given: pass printer='QUEUE' (or set PRINTER=QUEUE)")
            raise ValueError("no destination: pass printer='QUEUE@HOST', or printer='QUEUE' with "
                             "host='HOST', or set PRINTER=QUEUE@HOST")
    if spec == "":
        raise ValueError("empty printer: pass printer='QUEUE@HOST'")
    if hostname == "":
        raise ValueError("empty host: pass host='HOST'")
    queue_name, at, after = spec.partition("@")
    if at:
        if hostname is not None and origin == "printer":
            raise ValueError(f"the host is given twice: in printer={spec!r} and with host=")
        server = hostname if hostname is not None else after
    else:
        if hostname is None:
            raise ValueError(f"no server host for queue {spec!r}: pass printer='{spec}@HOST' or "
                             f"host='HOST'{' (PRINTER names no host)' if origin == 'PRINTER' else ''}")
        server = hostname
    if queue_name == "":
        raise ValueError(f"no queue name in {origin} {spec!r}")
    if server == "":
        raise ValueError(f"no host name after '@' in {origin} {spec!r}")
    if not _server_ok(server):
        raise ValueError(f"bad server {server!r}: expected HOST, HOST:PORT, [IPV6] or [IPV6]:PORT "
                         "with a port 1..65535")
    return _frameable(queue_name, "printer"), _encode(server, "the host name")


def _server_ok(server: str) -> bool:
    """HOST or HOST:PORT, or an IPv6 address in brackets with an optional :PORT (a bare
    one would read as a host and a port)."""
    if server.startswith("["):
        close = server.find("]")
        rest = server[close + 1:]
        return close > 1 and (rest == "" or (rest[0] == ":" and _port_ok(rest[1:])))
    name, colon, port = server.partition(":")
    return name != "" and (not colon or _port_ok(port))


def _login_name() -> str:
    """The real user's login name, as the command finds it."""
    try:
        import pwd
        name = pwd.getpwuid(os.getuid()).pw_name
        if name:
            return name
    except (ImportError, KeyError):
        pass
    for var in ("LOGNAME", "USER", "USERNAME"):
        if os.environ.get(var):
            return os.environ[var]
    return str(os.getuid()) if hasattr(os, "getuid") else "user"


def _short_host_name() -> str:
    """This machine's host name up to its first dot, as LPD clients name themselves."""
    return socket.gethostname().split(".")[0] or "localhost"


def _common(user: Optional[Text], client_host: Optional[Text], reply_timeout: float,
            busy_timeout: int, show_progress: bool, yield_to_messages: bool,
            trace: bool) -> _native.CommonArg:
    milliseconds = round(reply_timeout * 1000)
    if not 1 <= milliseconds <= _MAX_REPLY_MS:
        raise ValueError(f"bad reply_timeout {reply_timeout!r} (seconds, 0.001..{_MAX_REPLY_MS / 1000})")
    if not isinstance(busy_timeout, int) or not 0 <= busy_timeout <= _MAX_BUSY_SECONDS:
        raise ValueError(f"bad busy_timeout {busy_timeout!r} (whole seconds, 0..{_MAX_BUSY_SECONDS})")
    common = _native.CommonArg()
    common.username = _frameable(user if user is not None else _login_name(), "user")
    common.clienthost = _frameable(client_host if client_host is not None else _short_host_name(),
                                   "client host")
    common.showdialog = bool(show_progress)
    common.replytimeout = milliseconds
    common.lprtimeout = busy_timeout
    # A script has no windows to keep alive: chunks go back to back unless asked.
    common.debugflags = ((_native.LPR_DEBUG_TRACE if trace else 0)
                         | (0 if yield_to_messages else _native.LPR_OPT_NOYIELD))
    common.errorcode = 0
    return common


# ---- cancels, and the thread a request runs on ---------------------------------------

_CANCELLED_TEXT = "User cancelled"  # the library's text for LPR_ERR_CANCELLED
_BEFORE, _IN, _AFTER = range(3)    # where a call stands with respect to the library


class _Call:
    """One call's request block, which the library knows the request by, and where the
    call stands; the cancels of its token and of Ctrl-C go through it."""

    def __init__(self, common: _native.CommonArg):
        self.common = common
        self._lock = threading.Lock()
        self._cancelled = False
        self._stage = _BEFORE

    def invoke(self, export, record, *more) -> int:
        with self._lock:
            if self._cancelled:
                self._stage = _AFTER
                raise _cancelled()
            self._stage = _IN
        try:
            return export(ctypes.byref(record), ctypes.byref(self.common), *more)
        finally:
            with self._lock:
                self._stage = _AFTER

    def cancel(self) -> bool:
        """True when the call will end cancelled: it has not reached the library, or
        its request took the cancel."""
        with self._lock:
            self._cancelled = True
            if self._stage != _IN:
                return self._stage == _BEFORE
        lib = _native.loaded()
        # The library knows the request from just inside the export to just before it
        # returns; outside that span (microseconds) the cancel is tried again.
        while lib.LPR_CancelRequest(ctypes.byref(self.common)) != 0:
            with self._lock:
                if self._stage != _IN:
                    return False
            time.sleep(0.0005)
        return True


class _Steps:
    """A call made of several requests and the pauses between them (print_file with
    retries, Job.wait, Job.remove).  A cancel of its token or of ``cancel()`` ends a
    pause at once and keeps the next request from starting; a request in progress is
    reached through its own _Call."""

    # Reentrant, and a plain flag below: cancel() may run in a signal handler, on the
    # main thread, in the middle of these.
    _lock = threading.RLock()
    _running: "set" = set()  # every one in progress, for cancel()

    def __init__(self, cancel_token: Optional["CancelToken"]):
        self.token = cancel_token
        self._cancelled = False

    def __enter__(self) -> "_Steps":
        with _Steps._lock:
            _Steps._running.add(self)
        if self.token is not None:
            self.token._enter(self)
        return self

    def __exit__(self, *exc) -> None:
        if self.token is not None:
            self.token._leave(self)
        with _Steps._lock:
            _Steps._running.discard(self)

    def cancel(self) -> bool:
        self._cancelled = True
        return True

    def check(self, job: Optional["Job"] = None) -> None:
        """Raises CancelledError when a cancel has come: before a next request."""
        if self._cancelled:
            raise _cancelled(job)

    def pause(self, seconds: float, job: Optional["Job"] = None) -> None:
        """Sleeps in slices: a signal's handler (Ctrl-C) runs at once anyway, and a
        cancel ends the pause within a slice with CancelledError."""
        deadline = time.monotonic() + seconds
        while True:
            self.check(job)
            left = deadline - time.monotonic()
            if left <= 0:
                return
            time.sleep(min(left, _SLICE))

    @classmethod
    def cancel_all(cls) -> bool:
        with cls._lock:
            running = list(cls._running)
        for steps in running:
            steps.cancel()
        return bool(running)


class CancelToken:
    """Cancels the calls that are given it as ``cancel_token=``, and no others.

    ``cancel()`` may be called from any thread, at any time, also before the call
    starts or while it starts; it stays in force: every later call given the token
    raises ``CancelledError`` at once, having sent nothing.  One token may serve several
    calls, on several threads, at the same time."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._cancelled = False
        self._calls: list = []  # _Call and _Steps: each has cancel()

    @property
    def cancelled(self) -> bool:
        """True once ``cancel()`` has been called."""
        return self._cancelled

    def cancel(self) -> bool:
        """Cancels the calls in progress with this token and those to come.  True when a
        call in progress takes the cancel, False when none runs with the token.  A call
        notices the cancel at its next wait or write and raises ``CancelledError``; a
        cancel after the last write of a job stops nothing (``print_file`` returns
        normally), and a check that has started is not reached at all: it ends within
        its ``reply_timeout``.  A call between two requests (a pause of ``Job.wait``,
        of ``print_file`` with ``retry``) raises ``CancelledError`` at once."""
        with self._lock:
            self._cancelled = True
            calls = list(self._calls)
        return any([call.cancel() for call in calls])

    def _enter(self, call) -> None:
        with self._lock:
            self._calls.append(call)
            cancelled = self._cancelled
        if cancelled:
            call.cancel()

    def _leave(self, call) -> None:
        with self._lock:
            self._calls.remove(call)

    def __repr__(self) -> str:
        return f"<vexlolpr.CancelToken {'cancelled' if self._cancelled else 'active'}>"


def _check_token(cancel_token: Optional[CancelToken]) -> None:
    if cancel_token is not None and not isinstance(cancel_token, CancelToken):
        raise TypeError(f"cancel_token must be a vexlolpr.CancelToken, not {type(cancel_token).__name__}")


def _hand_off() -> bool:
    # Python runs signal handlers in the main thread between bytecodes: a request
    # blocking there would hold Ctrl-C back until it ended.  On Windows the library's
    # message loop must run on the thread whose windows it keeps alive (and whose window
    # procedures may call cancel()).
    return sys.platform != "win32" and threading.current_thread() is threading.main_thread()


def _run(common: _native.CommonArg, cancel_token: Optional[CancelToken], body):
    """body(call) with the request block made known to the token, on this thread or,
    from the main thread, on one of its own while this one stays open to signals."""
    call = _Call(common)

    def whole():
        if cancel_token is not None:
            cancel_token._enter(call)
        try:
            return body(call)
        finally:
            if cancel_token is not None:
                cancel_token._leave(call)

    if not _hand_off():
        return whole()
    outcome: dict = {}
    ended = threading.Event()

    def worker():
        # The worker holds body and with it every record and buffer the library was
        # given, until the export returns, however early the caller leaves.
        try:
            outcome["value"] = whole()
        except BaseException as exc:  # handed to the caller, whatever it is
            outcome["error"] = exc
        finally:
            ended.set()

    # Not a daemon: a cancelled request ends at its next wait, and the interpreter's
    # exit waits for that rather than unload the library under it.
    thread = threading.Thread(target=worker, name="vexlolpr request")
    try:
        thread.start()
    except RuntimeError:
        # No new threads at the interpreter's shutdown (an atexit handler): the request
        # runs here, as on any other thread.
        return whole()
    except BaseException:
        call.cancel()
        raise
    try:
        # In slices: a signal that another thread took would not end a wait without one.
        while not ended.wait(0.1):
            pass
    except BaseException:
        call.cancel()
        raise
    if "error" in outcome:
        error = outcome.pop("error")
        try:
            raise error
        finally:
            del error  # the frame and the traceback would hold each other
    return outcome["value"]


# ---- jobs ----------------------------------------------------------------------------

class JobState(str, enum.Enum):
    """What became of a job that ``print_file`` sent; each equals its text
    (``job.state == "queued"``)."""

    NOT_QUEUED = "not queued"  # the server cannot have it: nothing whole was sent, or it refused
    UNCLEAR = "unclear"        # everything was sent, the last acknowledgement never came
    QUEUED = "queued"          # the server acknowledged the whole job

    def __str__(self) -> str:
        return self.value


_STATES = {_native.LPR_JOB_NOT_QUEUED: JobState.NOT_QUEUED,
           _native.LPR_JOB_UNCLEAR: JobState.UNCLEAR,
           _native.LPR_JOB_QUEUED: JobState.QUEUED}

_SAME = object()  # a job's later calls: the token that print_file was given


def _seconds(value: float) -> str:
    """Seconds as people write them: 10, 2.5, 0.25."""
    return f"{value:.3f}".rstrip("0").rstrip(".")


def _text(data: bytes) -> str:
    return data.decode(_ENCODING, _ERRORS if sys.platform != "win32" else "replace")


class Job:
    """A job that ``print_file`` sent.

    ``number``: the number it was sent with (1..999; 0 when the server never took the
    job command); ``server_number``: the number the server lists it under, the same
    unless a look at the listing found it under another (a server that numbers jobs
    itself); ``printer`` and ``host``: the queue and the server (``HOST[:PORT]``) as
    given; ``control_file`` and ``data_file``: the files' names (empty when the server
    never took the job command); ``bytes_sent``: octets of the data file sent;
    ``state``: a ``JobState``; ``rank`` and ``position``: the rank as listed
    ("active", "1st", ...) and the 1-based place, as the last look found them (None
    when it did not list the job)."""

    def __init__(self, info: _native.JobInfo, queue_name: bytes, server: bytes, name: bytes,
                 settings: tuple, cancel_token: Optional[CancelToken]):
        self.number = int(info.jobnumber)
        self.server_number = self.number
        self.printer = _text(queue_name)
        self.host = _text(server)
        self.control_file = info.controlfile.decode("utf-8", "replace")
        self.data_file = info.datafile.decode("utf-8", "replace")
        self.bytes_sent = int(info.bytessent)
        # An unknown value would be a newer library's: what it is not sure of is unclear.
        self.state = _STATES.get(info.state, JobState.UNCLEAR)
        self.rank: Optional[str] = None
        self.position: Optional[int] = None
        self._queue, self._server, self._name = queue_name, server, name
        self._settings = settings  # _common's arguments, the user as sent first
        self._token = cancel_token
        self._long = False  # the short listing's form was not read: the long one from now on
        self._seen = False  # a listing has been read since the job was sent

    def __repr__(self) -> str:
        return f"<vexlolpr.Job {self.number} {self.printer}@{self.host} {self.state}>"

    def __getstate__(self) -> dict:
        # A token is of this process: a copy elsewhere (a pool's worker) has none.
        return dict(self.__dict__, _token=None)

    def _where(self) -> str:
        return f"{self.printer}@{self.host}"

    def _find(self, long: bool, name: Optional[bytes], token: Optional[CancelToken]):
        common = _common(*self._settings)
        if long:
            common.debugflags |= _native.LPR_OPT_LONGLIST
        entry = _native.JobEntry()
        entry.size = ctypes.sizeof(entry)

        def look(lib: ctypes.CDLL, address: Optional[int]) -> int:
            if not address:
                return _native.LPR_FIND_NOTHING
            found = lib.LPR_FindJob(address, self.server_number, self._settings[0], name,
                                    ctypes.byref(entry))
            if found < 0:
                raise RuntimeError(f"LPR_FindJob refused its arguments ({found})")
            return found

        return _listing(self._queue, self._server, common, token, look), entry

    def _look(self, steps: _Steps, by_name: bool) -> int:
        """One look at the queue listing (LPR_FIND_*): by server_number and owner, and
        with by_name, when no entry has the number, by owner and job name (a server
        that numbers jobs itself).  Sets server_number, rank and position."""
        steps.check(self)
        name = self._name if by_name else None
        found, entry = self._find(self._long, name, steps.token)
        if found == _native.LPR_FIND_UNKNOWN and not self._long:
            # LPRng's short listing only counts the jobs; its long one lists them.
            self._long = True
            steps.check(self)
            found, entry = self._find(True, name, steps.token)
        if found == _native.LPR_FIND_LISTED:
            self.server_number = int(entry.jobnumber)
            self.rank = entry.rank.decode("utf-8", "replace")
            self.position = int(entry.position)
        else:
            self.rank = self.position = None
        self._seen = self._seen or found in (_native.LPR_FIND_LISTED, _native.LPR_FIND_NOT_LISTED)
        return found

    def _cannot_follow(self, found: int) -> CannotTell:
        why = ("the server lists no jobs" if found == _native.LPR_FIND_NOTHING
               else "the listing's form is not known")
        return CannotTell(f"{self._where()}: cannot follow job {self.number}: {why}", self)

    def _steps(self, cancel_token) -> _Steps:
        token = self._token if cancel_token is _SAME else cancel_token
        _check_token(token)
        return _Steps(token)

    def wait(self, timeout: Optional[float] = None, poll: float = 2.0, *,
             cancel_token=_SAME) -> None:
        """Follows the job in the queue listing and returns once it has left the queue.

        Looks at once, then after ``poll`` seconds, each pause longer by ``poll`` up to
        five times it (2, 4, 6, 8, 10, 10 ... s); the short listing, or the long one
        where the short one's form is not read (LPRng's).  The first look finds the job
        by its number, else by owner and job name (a server that numbers jobs itself:
        ``server_number`` tells its number, followed from then on); a job not listed
        there has already left.  ``timeout`` (seconds, None: no limit) bounds the
        wait: when it runs out with the job still listed, ``WaitTimeout``.  A listing
        that cannot tell (the server lists nothing, or in a form not read) raises
        ``CannotTell``; the listing's own failures raise as ``queue()`` does.  A cancel
        (``cancel_token``, by default the token print_file was given; ``cancel()``;
        Ctrl-C) ends a pause at once.  The job must have been queued."""
        if timeout is not None and (isinstance(timeout, bool) or not isinstance(timeout, (int, float))
                                    or not timeout >= 0):
            raise ValueError(f"bad timeout {timeout!r} (seconds, 0 or more, or None)")
        if isinstance(poll, bool) or not isinstance(poll, (int, float)) or not 0 < poll <= 3600:
            raise ValueError(f"bad poll {poll!r} (seconds, above 0, up to 3600)")
        if self.state is not JobState.QUEUED:
            raise ValueError(f"job {self.number} was not queued ({self.state}): nothing to follow")
        deadline = None if timeout is None else time.monotonic() + timeout
        pause = poll
        with self._steps(cancel_token) as steps, _owned(self):
            while True:
                found = self._look(steps, by_name=not self._seen)
                if found == _native.LPR_FIND_NOT_LISTED:
                    return
                if found != _native.LPR_FIND_LISTED:
                    raise self._cannot_follow(found)
                now = time.monotonic()
                if deadline is not None and now >= deadline:
                    raise WaitTimeout(f"{self._where()}: job {self.number} still queued after "
                                      f"{_seconds(timeout)} s", self)
                steps.pause(pause if deadline is None else min(pause, deadline - now), self)
                pause = min(pause + poll, 5 * poll)

    def remove(self, *, cancel_token=_SAME) -> bool:
        """Removes the job from the queue, by the number the server lists it under, in
        the name of the user it was sent as, and checks the listing before and after.
        True when it was removed; False when it was not in the queue (nothing is
        sent then; a job that was not queued is never looked for).  Raises
        ``StillQueued`` when the server kept it listed, ``CannotTell`` when the listing
        cannot tell after the removal was sent; cancels as ``wait()``."""
        if self.state is JobState.NOT_QUEUED:
            return False
        with self._steps(cancel_token) as steps, _owned(self):
            if self._look(steps, by_name=not self._seen) == _native.LPR_FIND_NOT_LISTED:
                return False
            steps.check(self)
            _delete(self._queue, self._server, self.server_number, _common(*self._settings),
                    steps.token)
            found = self._look(steps, by_name=False)
            if found == _native.LPR_FIND_NOT_LISTED:
                return True
            if found == _native.LPR_FIND_LISTED:
                raise StillQueued(f"{self._where()}: job {self.server_number} is still in the queue", self)
            raise CannotTell(f"{self._where()}: job {self.server_number}: removal sent; the listing "
                             "cannot tell whether it was removed", self)


class _owned:
    """Gives the errors of a job's requests the job, as print_file's have it."""

    def __init__(self, job: Job):
        self.job = job

    def __enter__(self) -> None:
        return None

    def __exit__(self, kind, error, trace) -> bool:
        if isinstance(error, LprError) and error.job is None:
            error.job = self.job
        return False


# ---- requests ------------------------------------------------------------------------

def print_file(path: PathArg, printer: Optional[Text] = None, host: Optional[Text] = None, *,
               copies: int = 1, job_name: Optional[Text] = None, banner_class: Optional[Text] = None,
               banner: bool = True, format: str = "f", control_first: bool = False,
               user: Optional[Text] = None, client_host: Optional[Text] = None,
               reply_timeout: float = 30.0, busy_timeout: int = 10, show_progress: bool = False,
               yield_to_messages: bool = False, trace: bool = False, retry: int = 1,
               cancel_token: Optional[CancelToken] = None) -> Job:
    """Sends the file at ``path`` as one print job; returns the ``Job`` once the server
    has it.

    ``copies`` 1..65535; ``job_name`` defaults to the path as given; ``banner_class``
    is printed on the banner page; ``banner=False`` leaves out banner and class;
    ``format`` is one lower-case letter (``'f'`` plain text, ``'l'`` control characters
    printed, ``'p'`` titled pages); ``control_first`` sends the control file before the
    data file.  ``user`` defaults to the login name, ``client_host`` to this machine's
    short host name.  ``reply_timeout`` bounds each network wait (seconds);
    ``busy_timeout`` is how long a request started from inside another on the same
    thread (a window procedure that its message loop runs, on Windows) waits for it;
    ``show_progress`` shows the library's status display (on a terminal);
    ``yield_to_messages`` pauses one timer tick between chunks (slower); ``trace``
    writes the library's trace lines on standard error.  ``cancel_token``, a
    ``CancelToken``, cancels this call (and the others given it) alone.

    ``retry`` is the number of tries, 1..10 (1: none again).  After a failure that left
    the job not queued the file is sent again after 1, 2, 4 ... s; after one that left
    it unclear, after the same pause, the queue listing is read first: a job listed
    under its number counts as queued (the ``Job`` is returned, its state queued), one
    not listed is sent again, and when the listing cannot tell the failure is raised.
    A local file's failure and a cancel are never tried again; a cancel ends a pause at
    once.

    Raises ``ValueError`` for arguments the protocol cannot carry (nothing is sent),
    ``LocalFileError``, ``HostNotFoundError``, ``LprTimeoutError``,
    ``CancelledError``, ``ServerRefusedError`` or ``LprError``: the last try's, whose
    ``job`` tells what became of that try's job (``job.state``: unclear means it may be
    queued).
    """
    filename = os.fsencode(path) if sys.platform != "win32" else os.fsdecode(path).encode(_ENCODING)
    if b"\0" in filename:
        raise ValueError("the path contains a NUL character")
    if not isinstance(copies, int) or not 1 <= copies <= 65535:
        raise ValueError(f"bad number of copies {copies!r} (1..65535)")
    # Upper-case letters are other control file lines (U unlinks, N names).
    if not (isinstance(format, str) and len(format) == 1 and "a" <= format <= "z"):
        raise ValueError(f"bad format {format!r}: one lower-case letter, such as f, l or p")
    if isinstance(retry, bool) or not isinstance(retry, int) or not 1 <= retry <= _MAX_TRIES:
        raise ValueError(f"bad retry {retry!r} (tries, 1..{_MAX_TRIES})")
    queue_name, server = _destination(printer, host)
    record = _native.PrintArg()
    record.filename = filename
    record.host = server
    record.printer = queue_name
    record.copies = copies
    record.format = format.encode("ascii")
    record.jobname = _encode(job_name, "the job name") if job_name is not None else None
    record.bannerclass = _encode(banner_class, "the class") if banner_class is not None else None
    record.nobanner = not banner
    record.controlfirst = bool(control_first)
    record.checkonly = False
    # The user goes into the job, and a look at the listing finds the job by it.
    settings = (_frameable(user if user is not None else _login_name(), "user"),
                _frameable(client_host if client_host is not None else _short_host_name(), "client host"),
                reply_timeout, busy_timeout, show_progress, yield_to_messages, trace)
    _common(*settings)  # its checks, before anything is sent
    # The name the job is listed by where the file column shows the job's name.
    name = record.jobname if record.jobname is not None else filename
    _check_token(cancel_token)
    lib = _native.library()

    def send() -> Job:
        common = _common(*settings)
        info = _native.JobInfo()
        info.size = ctypes.sizeof(info)

        def body(call: _Call) -> Job:
            try:
                result = call.invoke(lib.LPR_PrintJob, record, ctypes.byref(info))
            except CancelledError as error:
                # Cancelled before it began: nothing was sent, the record says not queued.
                error.job = Job(info, queue_name, server, name, settings, cancel_token)
                raise
            job = Job(info, queue_name, server, name, settings, cancel_token)
            # A cancel that came after the last write stops nothing: the job is whole at
            # the server, and the library says so with its result.
            if result != _native.LPR_OK:
                raise _failure(lib, result, common, filename, job)
            return job

        return _run(common, cancel_token, body)

    if retry == 1:
        return send()
    with _Steps(cancel_token) as steps:
        tries = 1
        while True:
            try:
                return send()
            except (LocalFileError, CancelledError):
                raise
            except LprError as error:
                if tries >= retry or error.job is None:
                    raise
                failed = error
            steps.pause(_RETRY_PAUSE * 2 ** (tries - 1), failed.job)
            if failed.job.state is JobState.UNCLEAR and _listed_after_all(failed, steps):
                return failed.job
            tries += 1
            steps.check(failed.job)


def _listed_after_all(failed: LprError, steps: _Steps) -> bool:
    """Whether the job of a try that ended unclear is at the server after all: True when
    the listing holds its number (its state becomes queued), False when the listing,
    read, does not; raises the try's failure when the listing cannot tell or cannot be
    had, since a job sent again might then be printed twice."""
    job = failed.job
    try:
        found = job._look(steps, by_name=False)
    except CancelledError as error:
        error.job = job
        raise
    except LprError:
        raise failed  # the listing's failure stays attached as its context
    if found == _native.LPR_FIND_LISTED:
        job.state = JobState.QUEUED
        return True
    if found == _native.LPR_FIND_NOT_LISTED:
        return False
    raise failed


def check(printer: Optional[Text] = None, host: Optional[Text] = None, *,
          user: Optional[Text] = None, client_host: Optional[Text] = None,
          reply_timeout: float = 30.0, busy_timeout: int = 10, trace: bool = False,
          cancel_token: Optional[CancelToken] = None) -> None:
    """Checks that the queue accepts jobs: offers a job and withdraws it at once.
    Returns None when it does; raises as ``print_file`` does otherwise.  A check has
    no status display, so neither ``cancel()`` nor a ``CancelToken`` reaches it once it
    has started (it ends within its ``reply_timeout``); a token cancelled before it
    starts makes it raise ``CancelledError`` having sent nothing."""
    queue_name, server = _destination(printer, host)
    job = _native.PrintArg()
    job.host = server
    job.printer = queue_name
    job.copies = 1
    job.format = b"f"
    job.checkonly = True
    common = _common(user, client_host, reply_timeout, busy_timeout, False, False, trace)
    _check_token(cancel_token)
    lib = _native.library()

    def body(call: _Call) -> None:
        result = call.invoke(lib.LPR_Print, job)
        if result != _native.LPR_OK:
            raise _failure(lib, result, common)

    _run(common, cancel_token, body)


def _listing_lines(address: int) -> List[str]:
    """The listing is a row of NUL-terminated lines, each ending in one space that
    stands for the line end, closed by an empty string."""
    lines = []
    while True:
        piece = ctypes.string_at(address)
        if not piece:
            return lines
        address += len(piece) + 1
        # Only the last piece can lack its line end: the server closed without one.
        lines.append((piece[:-1] if piece.endswith(b" ") else piece).decode("utf-8", "replace"))


def _listing(queue_name: bytes, server: bytes, common: _native.CommonArg,
             cancel_token: Optional[CancelToken], use):
    """use(lib, address) on the listing block that LPR_GetQueue gave (None when it gave
    none), before the block goes back."""
    listing = ctypes.c_void_p()
    request = _native.QueueArg()
    request.host = server
    request.printer = queue_name
    request.lplpqueue = ctypes.pointer(listing)
    lib = _native.library()

    def body(call: _Call):
        try:
            result = call.invoke(lib.LPR_GetQueue, request)
            if result != _native.LPR_OK:
                raise _failure(lib, result, common)
            return use(lib, listing.value)
        finally:
            # Whatever happened, the block goes back (a NULL one is left alone), also
            # when the caller has left on Ctrl-C.
            lib.LPR_FreeQueue(ctypes.byref(listing))

    return _run(common, cancel_token, body)


def queue(printer: Optional[Text] = None, host: Optional[Text] = None, *,
          long: bool = False, user: Optional[Text] = None, client_host: Optional[Text] = None,
          reply_timeout: float = 30.0, busy_timeout: int = 10, show_progress: bool = False,
          yield_to_messages: bool = False, trace: bool = False,
          cancel_token: Optional[CancelToken] = None) -> List[str]:
    """The queue's listing, as the server sends it, one string per line: the short one,
    or with ``long=True`` the long one, which each server fills in its own way."""
    queue_name, server = _destination(printer, host)
    common = _common(user, client_host, reply_timeout, busy_timeout, show_progress,
                     yield_to_messages, trace)
    if long:
        common.debugflags |= _native.LPR_OPT_LONGLIST
    _check_token(cancel_token)
    return _listing(queue_name, server, common, cancel_token,
                    lambda lib, address: _listing_lines(address) if address else [])


def _delete(queue_name: bytes, server: bytes, number: int, common: _native.CommonArg,
            cancel_token: Optional[CancelToken]) -> None:
    request = _native.DeleteArg()
    request.host = server
    request.printer = queue_name
    request.jobnumber = number
    lib = _native.library()

    def body(call: _Call) -> None:
        result = call.invoke(lib.LPR_DeleteJob, request)
        if result != _native.LPR_OK:
            raise _failure(lib, result, common)

    _run(common, cancel_token, body)


def remove(job: int, printer: Optional[Text] = None, host: Optional[Text] = None, *,
           user: Optional[Text] = None, client_host: Optional[Text] = None,
           reply_timeout: float = 30.0, busy_timeout: int = 10, show_progress: bool = False,
           yield_to_messages: bool = False, trace: bool = False,
           cancel_token: Optional[CancelToken] = None) -> None:
    """Asks the server to remove job number ``job`` (1..65535) in the name of ``user``.
    The server's answer is not given back: ``queue()`` shows whether the job is gone
    (``Job.remove()`` checks the listing itself)."""
    if isinstance(job, bool) or not isinstance(job, int) or not 1 <= job <= 65535:
        raise ValueError(f"bad job number {job!r} (1..65535)")
    queue_name, server = _destination(printer, host)
    common = _common(user, client_host, reply_timeout, busy_timeout, show_progress,
                     yield_to_messages, trace)
    _check_token(cancel_token)
    _delete(queue_name, server, job, common, cancel_token)


def cancel() -> bool:
    """Cancels every call in progress, on every thread (``CancelToken`` cancels some
    only); may be called from any thread, and from a signal handler.  True when a
    cancel was posted; False when no request is in progress, or none has its status
    display yet (its host lookup) or at all (a check): try again a little later.  A
    request notices the cancel at its next wait or write and raises
    ``CancelledError``; a cancel after the last write of a job stops nothing, and
    ``print_file`` returns normally.  The calls of several requests (``print_file``
    with ``retry``, ``Job.wait``, ``Job.remove``) end their pause at once, and start no
    further request."""
    # Those first: a request that the library cancels would otherwise end and let its
    # call go on to the next.
    paused = _Steps.cancel_all()
    # From a thread that runs no request the library cancels every request; a thread
    # that runs one (a Windows window procedure reached by its message loop) cancels
    # its own, which is what that caller means.
    lib = _native.loaded()
    return (lib is not None and lib.LPR_CancelBlockingCall() == 0) or paused
