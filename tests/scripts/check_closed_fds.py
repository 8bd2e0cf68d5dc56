#!/usr/bin/env python3
"""No system call names a descriptor after its close.

Runs the command's print jobs (both file orders), check, queue listing and removal
against vexlolpd under strace, in a network namespace of its own, and reads each trace:
once a descriptor is closed, no call may name it (fcntl, poll, setsockopt, a second
close...) until a call hands the number out again.  A call on a closed number would
reach whatever another thread of the application opened under it meanwhile.

usage: check_closed_fds.py VEXLOLPR VEXLOLPD
Exit status: 0 clean, 1 a descriptor was named after its close, 77 skipped (not root,
or strace, unshare or ip missing).
"""
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time

PORT = 5515
# Calls whose result is a new descriptor, and those that put new ones in an array.
CREATING = {"socket", "accept", "accept4", "open", "openat", "openat2", "creat", "eventfd", "eventfd2",
            "dup", "dup2", "dup3", "epoll_create", "epoll_create1", "timerfd_create", "signalfd",
            "signalfd4", "memfd_create", "inotify_init", "inotify_init1", "pidfd_open"}
ARRAY_CREATING = {"pipe", "pipe2", "socketpair"}
# Calls whose first argument is a number that is not a descriptor.
NOT_FD_FIRST = {"select", "pselect6", "socket", "socketpair", "pipe", "pipe2", "mmap", "munmap",
                "epoll_create", "epoll_create1", "eventfd", "eventfd2", "memfd_create", "timerfd_create",
                "inotify_init1", "close_range"}
LINE = re.compile(r"^(\d+)\s+(.*)$")
UNFINISHED = " <unfinished ...>"
RESUMED = re.compile(r"^<\.\.\. (\w+) resumed>(.*)$")


def calls(trace):
    """Each call as (line number, name, text after the opening parenthesis), in the order
    the calls ended: a call that another thread's interrupted is put back together."""
    pending = {}
    for number, line in enumerate(trace.splitlines(), 1):
        m = LINE.match(line)
        if not m:
            continue
        pid, text = m.group(1), m.group(2)
        resumed = RESUMED.match(text)
        if resumed:
            start = pending.pop(pid, None)
            if start is not None:
                yield start[0], start[1], start[2] + resumed.group(2)
            continue
        call = re.match(r"^(\w+)\((.*)$", text)
        if not call:
            continue
        if text.endswith(UNFINISHED):
            pending[pid] = (number, call.group(1), call.group(2)[:-len(UNFINISHED)])
        else:
            yield number, call.group(1), call.group(2)


def violations(trace):
    """Calls that named a closed descriptor, as (line number, text)."""
    closed = set()
    found = []
    lines = trace.splitlines()
    for number, call, rest in calls(trace):
        named = set()
        first = re.match(r"\s*(\d+)[,)]", rest)
        if first and call not in NOT_FD_FIRST:
            named.add(int(first.group(1)))
        if call in ("poll", "ppoll"):
            named |= {int(fd) for fd in re.findall(r"\{fd=(\d+),", rest.split("]")[0])}
        if named & closed:
            found.append((number, lines[number - 1]))
        result = re.search(r"\)\s+=\s+(-?\d+)", rest)
        ok = result is not None and int(result.group(1)) >= 0
        if call == "close" and ok and first:
            closed.add(int(first.group(1)))
        if ok and (call in CREATING or (call == "fcntl" and "F_DUPFD" in rest)):
            closed.discard(int(result.group(1)))
        if ok and call in ARRAY_CREATING:
            pair = re.match(r"\s*(?:\w+, \w+, \w+, )?\[(\d+), (\d+)\]", rest)
            if pair:
                closed -= {int(pair.group(1)), int(pair.group(2))}
    return found


def inside(vexlolpr, vexlolpd, work):
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    spool = os.path.join(work, "spool")
    # A queue for each job: these jobs come within a second and may get the same number.
    queues = [f"q{i}" for i in range(7)]
    server = subprocess.Popen([vexlolpd, "--spool", spool, "--port", str(PORT), "--deadline", "120"] +
                              [arg for q in queues for arg in ("--queue", q)], stderr=subprocess.DEVNULL)
    try:
        deadline = time.time() + 10
        while time.time() < deadline:
            try:
                socket.create_connection(("127.0.0.1", PORT), timeout=1).close()
                break
            except OSError:
                time.sleep(0.1)
        data = os.path.join(work, "job.txt")
        with open(data, "wb") as f:
            f.write(bytes(range(256)) * 200)  # several chunks of a file
        # Each run's exit status: a checked removal of a job that is not there ends in 6.
        runs = [("print", ["print", data], 0),
                ("print, control file first", ["print", "--control-first", data], 0),
                ("print with --yield", ["print", "--yield", data], 0),
                ("check", ["check"], 0),
                ("queue", ["queue"], 0),
                ("remove, checked", ["remove", "1"], 6),
                ("remove, unchecked", ["remove", "--no-check", "1"], 0)]
        failed = 0
        # The job number record: this run's own (private, as the library requires), not
        # the user's, which tests running at the same time use.
        state = os.path.join(work, "state")
        os.mkdir(state, 0o700)
        # LeakSanitizer cannot work under ptrace; the other suites look for leaks.
        env = dict(os.environ, VEXLOLPR_STATE_DIR=state,
                   ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0")
        for queue, (name, args, status) in zip(queues, runs):
            args = args[:1] + ["-P", f"{queue}@127.0.0.1:{PORT}", "-q", "--reply-timeout", "5000"] + args[1:]
            trace = os.path.join(work, "trace")
            rc = subprocess.run(["timeout", "60", "strace", "-f", "-qq", "-o", trace, "-e", "trace=%desc,%network",
                                 "--", vexlolpr] + args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                 env=env).returncode
            with open(trace) as f:
                text = f.read()
            found = violations(text)
            calls = len(text.splitlines())
            if rc != status or not found and calls == 0:
                print(f"FAIL - {name}: exit status {rc}, {calls} calls traced")
                failed += 1
            elif found:
                print(f"FAIL - {name}: {len(found)} calls named a closed descriptor:")
                for number, line in found[:10]:
                    print(f"       line {number}: {line}")
                failed += 1
            else:
                print(f"ok   - {name}: {calls} calls traced, none on a closed descriptor")
        return 1 if failed else 0
    finally:
        server.kill()
        server.wait()


def main():
    if len(sys.argv) == 5 and sys.argv[1] == "--inside":
        sys.exit(inside(sys.argv[2], sys.argv[3], sys.argv[4]))
    if len(sys.argv) != 3:
        print(__doc__)
        sys.exit(2)
    if os.geteuid() != 0:
        print("closed descriptors: skipped: not root")
        sys.exit(77)
    for tool in ("strace", "unshare", "ip", "timeout"):
        if shutil.which(tool) is None:
            print(f"closed descriptors: skipped: {tool} not found")
            sys.exit(77)
    work = tempfile.mkdtemp(prefix="closedfds.")
    try:
        rc = subprocess.run(["timeout", "-k", "10", "240", "unshare", "-n", sys.executable, __file__, "--inside",
                             os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2]), work]).returncode
    finally:
        shutil.rmtree(work, ignore_errors=True)
    sys.exit(rc)


if __name__ == "__main__":
    main()
