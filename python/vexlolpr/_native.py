"""The shared library as ctypes sees it: where it is looked for, its six records and
the prototypes of the exports that the package calls.  Owns the one loaded handle."""
from __future__ import annotations

import ctypes
import ctypes.util
import os
import sys
import threading
from typing import List, Optional

# Result values, error codes and option bits of vexlolpr.h; a test compares them with
# the header's own lines.
LPR_OK = 0
LPR_R_NOT_ENOUGH_MEMORY = 8
LPR_R_GEN_FAILURE = 31
LPR_R_NOT_SUPPORTED = 50
LPR_R_UNEXP_NET_ERR = 59
LPR_R_BAD_NET_NAME = 67
LPR_R_BAD_DEVICE = 1200

LPR_ERR_CANCELLED = 4601
LPR_ERR_NO_MEMORY = 4903
LPR_ERR_TIMEOUT = 4913
LPR_ERR_HOST_NAME = 4914
LPR_ERR_NO_LPD = 4915
LPR_ERR_NETWORK = 4943
LPR_ERR_LPD_REPORTED = 5012
LPR_ERR_SPOOL_SPACE = 5014
LPR_ERR_SPOOLER_SERVER = 5023
LPR_ERR_BAD_NAME = 5100

LPR_DEBUG_TRACE = 0x10
LPR_OPT_NOYIELD = 0x20
LPR_OPT_LONGLIST = 0x40

LPR_JOBFILE_SIZE = 264
LPR_JOB_NOT_QUEUED = 0
LPR_JOB_UNCLEAR = 1
LPR_JOB_QUEUED = 2

LPR_FIND_NOT_LISTED = 0
LPR_FIND_LISTED = 1
LPR_FIND_NOTHING = 2
LPR_FIND_UNKNOWN = 3

# The header's types: WORD 16, DWORD 32, BOOL 32 bits on every platform.
WORD = ctypes.c_uint16
DWORD = ctypes.c_uint32
BOOL = ctypes.c_int32


class CommonArg(ctypes.Structure):
    _fields_ = [
        ("username", ctypes.c_char_p),
        ("clienthost", ctypes.c_char_p),
        ("showdialog", BOOL),
        ("replytimeout", DWORD),
        ("lprtimeout", DWORD),
        ("debugflags", WORD),
        ("errorcode", ctypes.c_int32),
    ]


class PrintArg(ctypes.Structure):
    _fields_ = [
        ("filename", ctypes.c_char_p),
        ("host", ctypes.c_char_p),
        ("printer", ctypes.c_char_p),
        ("copies", WORD),
        ("format", ctypes.c_char),
        ("jobname", ctypes.c_char_p),
        ("bannerclass", ctypes.c_char_p),
        ("nobanner", BOOL),
        ("controlfirst", BOOL),
        ("checkonly", BOOL),
    ]


class DeleteArg(ctypes.Structure):
    _fields_ = [
        ("host", ctypes.c_char_p),
        ("printer", ctypes.c_char_p),
        ("jobnumber", WORD),
    ]


class QueueArg(ctypes.Structure):
    # The listing pointer is kept as a plain address: c_char_p would copy the first
    # line into a bytes object and lose the block that LPR_FreeQueue must be given.
    _fields_ = [
        ("host", ctypes.c_char_p),
        ("printer", ctypes.c_char_p),
        ("lplpqueue", ctypes.POINTER(ctypes.c_void_p)),
    ]


class JobInfo(ctypes.Structure):
    _fields_ = [
        ("size", DWORD),
        ("state", ctypes.c_int32),
        ("bytessent", ctypes.c_uint64),
        ("jobnumber", WORD),
        ("reserved", WORD * 3),
        ("controlfile", ctypes.c_char * LPR_JOBFILE_SIZE),
        ("datafile", ctypes.c_char * LPR_JOBFILE_SIZE),
    ]


class JobEntry(ctypes.Structure):
    _fields_ = [
        ("size", DWORD),
        ("jobnumber", DWORD),
        ("position", DWORD),
        ("rank", ctypes.c_char * 24),
    ]


class LibraryNotFoundError(OSError):
    """The shared library could not be loaded; the message names every place tried."""


if sys.platform == "win32":
    # VEXLOLPR.DLL is __stdcall on 32-bit Windows, which WinDLL calls correctly; on
    # 64-bit there is one convention and WinDLL is the same as CDLL.
    _NAMES_BESIDE = ["VEXLOLPR.DLL"]
    _Loader = getattr(ctypes, "WinDLL", ctypes.CDLL)
elif sys.platform == "darwin":
    _NAMES_BESIDE = ["libvexlolpr.1.dylib", "libvexlolpr.dylib"]
    _Loader = ctypes.CDLL
else:
    # The name with the major version first: that is the interface this package speaks.
    _NAMES_BESIDE = ["libvexlolpr.so.1", "libvexlolpr.so"]
    _Loader = ctypes.CDLL

_lock = threading.Lock()
_library: Optional[ctypes.CDLL] = None


# The exports this package needs beyond 1.0's, with the version that brought them.
_LATER = [("LPR_CancelRequest", "1.1.0"), ("LPR_PrintJob", "1.2.0"), ("LPR_FindJob", "1.2.0")]


class _TooOld(Exception):
    pass


def _declare(lib: ctypes.CDLL) -> None:
    """Sets the prototypes; an AttributeError means the file is not this library,
    _TooOld one older than this package."""
    lib.LPR_Print.argtypes = [ctypes.POINTER(PrintArg), ctypes.POINTER(CommonArg)]
    lib.LPR_Print.restype = WORD
    lib.LPR_DeleteJob.argtypes = [ctypes.POINTER(DeleteArg), ctypes.POINTER(CommonArg)]
    lib.LPR_DeleteJob.restype = WORD
    lib.LPR_GetQueue.argtypes = [ctypes.POINTER(QueueArg), ctypes.POINTER(CommonArg)]
    lib.LPR_GetQueue.restype = WORD
    lib.LPR_FreeQueue.argtypes = [ctypes.POINTER(ctypes.c_void_p)]
    lib.LPR_FreeQueue.restype = WORD
    lib.LPR_GetLastErrorText.argtypes = [ctypes.c_char_p, ctypes.c_int]
    lib.LPR_GetLastErrorText.restype = ctypes.c_int
    lib.LPR_CancelBlockingCall.argtypes = []
    lib.LPR_CancelBlockingCall.restype = ctypes.c_int
    # An older library fails here, and the search goes on: the job handle that
    # print_file returns needs LPR_PrintJob, and every look into a listing LPR_FindJob.
    for name, since in _LATER:
        if not hasattr(lib, name):
            raise _TooOld(f"a vexlolpr library older than {since}, which this package needs: no {name}")
    lib.LPR_CancelRequest.argtypes = [ctypes.POINTER(CommonArg)]
    lib.LPR_CancelRequest.restype = ctypes.c_int
    lib.LPR_PrintJob.argtypes = [ctypes.POINTER(PrintArg), ctypes.POINTER(CommonArg),
                                 ctypes.POINTER(JobInfo)]
    lib.LPR_PrintJob.restype = WORD
    # The listing is given as the address LPR_GetQueue stored (see QueueArg).
    lib.LPR_FindJob.argtypes = [ctypes.c_void_p, DWORD, ctypes.c_char_p, ctypes.c_char_p,
                                ctypes.POINTER(JobEntry)]
    lib.LPR_FindJob.restype = ctypes.c_int


def _try(path: str, tried: List[str]) -> Optional[ctypes.CDLL]:
    try:
        lib = _Loader(path)
        _declare(lib)
        return lib
    except OSError as exc:
        tried.append(f"{path} ({exc})")
    except AttributeError as exc:
        tried.append(f"{path} (not the vexlolpr library: {exc})")
    except _TooOld as exc:
        tried.append(f"{path} ({exc})")
    return None


def _load() -> ctypes.CDLL:
    # An explicit path is the caller's choice: when it fails, another library found
    # elsewhere would hide the mistake, so nothing else is tried.
    tried: List[str] = []
    explicit = os.environ.get("VEXLOLPR_LIBRARY")
    if explicit:
        lib = _try(explicit, tried)
        if lib is not None:
            return lib
        raise LibraryNotFoundError(
            "the vexlolpr library could not be loaded from VEXLOLPR_LIBRARY: " + tried[0])
    here = os.path.dirname(os.path.abspath(__file__))
    for name in _NAMES_BESIDE:
        path = os.path.join(here, name)
        if os.path.exists(path):
            lib = _try(path, tried)
            if lib is not None:
                return lib
        else:
            tried.append(f"{path} (no such file)")
    found = ctypes.util.find_library("vexlolpr")
    if found is not None:
        lib = _try(found, tried)
        if lib is not None:
            return lib
    else:
        tried.append("the system's library path (ctypes.util.find_library('vexlolpr') found nothing)")
    raise LibraryNotFoundError(
        "the vexlolpr library could not be loaded; tried: " + "; ".join(tried)
        + ".  Install it, or set VEXLOLPR_LIBRARY to the path of "
        + _NAMES_BESIDE[0] + ".")


def library() -> ctypes.CDLL:
    """The loaded library; loaded on first use, so that importing the package and
    checking arguments work without it."""
    global _library
    with _lock:
        if _library is None:
            _library = _load()
        return _library


def loaded() -> Optional[ctypes.CDLL]:
    """The library when it has been loaded, else None (nothing is loaded here)."""
    return _library
