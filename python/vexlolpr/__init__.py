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
__version__ = "1.1.0"

__all__ = [
    "print_file", "check", "queue", "remove", "cancel", "CancelToken",
    "LprError", "HostNotFoundError", "LprTimeoutError", "CancelledError",
    "ServerRefusedError", "LocalFileError", "LibraryNotFoundError", "__version__",
]

PathArg = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
Text = Union[str, bytes]

_ENCODING = "mbcs" if sys.platform == "win32" else "utf-8"
# Bytes that came in as bytes (a PRINTER of another encoding) go out unchanged.
_ERRORS = "strict" if sys.platform == "win32" else "surrogateescape"
_MAX_REPLY_MS = 2147483647
_MAX_BUSY_SECONDS = 86400  # the library counts this wait in milliseconds in 32 bits


# ---- errors --------------------------------------------------------------------------

class LprError(Exception):
    """A request failed.  ``result`` is the library's result value (``LPR_R_*``),
    ``code`` the first failure's error code (``LPR_ERR_*``, 0 when none was recorded)
    and ``text`` the library's last-error text."""

    def __init__(self, result: int, code: int, text: str, filename: Optional[str] = None,
                 reason: str = ""):
        self.result = result
        self.code = code
        self.text = text
        self.filename = filename
        self.reason = reason
        super().__init__(_one_line(result, code, text, filename, reason))

    def __reduce__(self):
        # The arguments are not the message: without this a copy or pickle (a process
        # pool handing the error back) could not make the error again.
        return type(self), (self.result, self.code, self.text, self.filename, self.reason)


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
             path: Optional[bytes] = None) -> LprError:
    """The error of a failed request; made on the thread that ran it, whose failure the
    last-error text is."""
    code = int(common.errorcode)
    text = _last_error_text(lib)
    if result == _native.LPR_R_BAD_DEVICE and path is not None:
        return LocalFileError(result, code, text, os.fsdecode(path), _file_reason(path))
    return _BY_CODE.get(code, LprError)(result, code, text)


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

    def invoke(self, export, record) -> int:
        with self._lock:
            if self._cancelled:
                # Nothing has been sent; the result is that of a request cancelled at
                # its first wait.
                self._stage = _AFTER
                raise CancelledError(_native.LPR_R_UNEXP_NET_ERR, _native.LPR_ERR_CANCELLED,
                                     _CANCELLED_TEXT)
            self._stage = _IN
        try:
            return export(ctypes.byref(record), ctypes.byref(self.common))
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


class CancelToken:
    """Cancels the calls that are given it as ``cancel_token=``, and no others.

    ``cancel()`` may be called from any thread, at any time, also before the call
    starts or while it starts; it stays in force: every later call given the token
    raises ``CancelledError`` at once, having sent nothing.  One token may serve several
    calls, on several threads, at the same time."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._cancelled = False
        self._calls: List[_Call] = []

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
        its ``reply_timeout``."""
        with self._lock:
            self._cancelled = True
            calls = list(self._calls)
        return any([call.cancel() for call in calls])

    def _enter(self, call: _Call) -> None:
        with self._lock:
            self._calls.append(call)
            cancelled = self._cancelled
        if cancelled:
            call.cancel()

    def _leave(self, call: _Call) -> None:
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


# ---- requests ------------------------------------------------------------------------

def print_file(path: PathArg, printer: Optional[Text] = None, host: Optional[Text] = None, *,
               copies: int = 1, job_name: Optional[Text] = None, banner_class: Optional[Text] = None,
               banner: bool = True, format: str = "f", control_first: bool = False,
               user: Optional[Text] = None, client_host: Optional[Text] = None,
               reply_timeout: float = 30.0, busy_timeout: int = 10, show_progress: bool = False,
               yield_to_messages: bool = False, trace: bool = False,
               cancel_token: Optional[CancelToken] = None) -> None:
    """Sends the file at ``path`` as one print job and returns when the server has it.

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

    Raises ``ValueError`` for arguments the protocol cannot carry (nothing is sent),
    ``LocalFileError``, ``HostNotFoundError``, ``LprTimeoutError``,
    ``CancelledError``, ``ServerRefusedError`` or ``LprError``.
    """
    filename = os.fsencode(path) if sys.platform != "win32" else os.fsdecode(path).encode(_ENCODING)
    if b"\0" in filename:
        raise ValueError("the path contains a NUL character")
    if not isinstance(copies, int) or not 1 <= copies <= 65535:
        raise ValueError(f"bad number of copies {copies!r} (1..65535)")
    # Upper-case letters are other control file lines (U unlinks, N names).
    if not (isinstance(format, str) and len(format) == 1 and "a" <= format <= "z"):
        raise ValueError(f"bad format {format!r}: one lower-case letter, such as f, l or p")
    queue_name, server = _destination(printer, host)
    job = _native.PrintArg()
    job.filename = filename
    job.host = server
    job.printer = queue_name
    job.copies = copies
    job.format = format.encode("ascii")
    job.jobname = _encode(job_name, "the job name") if job_name is not None else None
    job.bannerclass = _encode(banner_class, "the class") if banner_class is not None else None
    job.nobanner = not banner
    job.controlfirst = bool(control_first)
    job.checkonly = False
    common = _common(user, client_host, reply_timeout, busy_timeout, show_progress,
                     yield_to_messages, trace)
    _check_token(cancel_token)
    lib = _native.library()

    def body(call: _Call) -> None:
        result = call.invoke(lib.LPR_Print, job)
        # A cancel that came after the last write stops nothing: the job is whole at the
        # server, and the library says so with its result.
        if result != _native.LPR_OK:
            raise _failure(lib, result, common, filename)

    _run(common, cancel_token, body)


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
    listing = ctypes.c_void_p()
    request = _native.QueueArg()
    request.host = server
    request.printer = queue_name
    request.lplpqueue = ctypes.pointer(listing)
    _check_token(cancel_token)
    lib = _native.library()

    def body(call: _Call) -> List[str]:
        try:
            result = call.invoke(lib.LPR_GetQueue, request)
            if result != _native.LPR_OK:
                raise _failure(lib, result, common)
            return _listing_lines(listing.value) if listing.value else []
        finally:
            # Whatever happened, the block goes back (a NULL one is left alone), also
            # when the caller has left on Ctrl-C.
            lib.LPR_FreeQueue(ctypes.byref(listing))

    return _run(common, cancel_token, body)


def remove(job: int, printer: Optional[Text] = None, host: Optional[Text] = None, *,
           user: Optional[Text] = None, client_host: Optional[Text] = None,
           reply_timeout: float = 30.0, busy_timeout: int = 10, show_progress: bool = False,
           yield_to_messages: bool = False, trace: bool = False,
           cancel_token: Optional[CancelToken] = None) -> None:
    """Asks the server to remove job number ``job`` (1..65535) in the name of ``user``.
    The server's answer is not given back: ``queue()`` shows whether the job is gone."""
    if isinstance(job, bool) or not isinstance(job, int) or not 1 <= job <= 65535:
        raise ValueError(f"bad job number {job!r} (1..65535)")
    queue_name, server = _destination(printer, host)
    common = _common(user, client_host, reply_timeout, busy_timeout, show_progress,
                     yield_to_messages, trace)
    request = _native.DeleteArg()
    request.host = server
    request.printer = queue_name
    request.jobnumber = job
    _check_token(cancel_token)
    lib = _native.library()

    def body(call: _Call) -> None:
        result = call.invoke(lib.LPR_DeleteJob, request)
        if result != _native.LPR_OK:
            raise _failure(lib, result, common)

    _run(common, cancel_token, body)


def cancel() -> bool:
    """Cancels every call in progress, on every thread (``CancelToken`` cancels some
    only); may be called from any thread, and from a signal handler.  True when a
    cancel was posted; False when no request is in progress, or none has its status
    display yet (its host lookup) or at all (a check): try again a little later.  A
    request notices the cancel at its next wait or write and raises
    ``CancelledError``; a cancel after the last write of a job stops nothing, and
    ``print_file`` returns normally."""
    # From a thread that runs no request the library cancels every request; a thread
    # that runs one (a Windows window procedure reached by its message loop) cancels
    # its own, which is what that caller means.
    lib = _native.loaded()
    return lib is not None and lib.LPR_CancelBlockingCall() == 0
