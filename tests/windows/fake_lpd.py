#!/usr/bin/env python3
"""fake_lpd.py - a one-job LPD on loopback for the Windows behaviour test.

Listens on 127.0.0.1 at a port the system chooses and writes that port to PORTFILE,
takes one connection that submits one job ("receive a printer job" with its control
and data file subcommands), acknowledges every step with a zero byte and stores each
file under SPOOLDIR by the name the client gave.  Gives up after DEADLINE seconds.
  fake_lpd.py PORTFILE SPOOLDIR QUEUE [DEADLINE]
Exit status 0 once a job with a control file and a data file has been received."""
import os
import socket
import sys
import time


def main():
    portfile, spooldir, queue = sys.argv[1:4]
    deadline = time.monotonic() + (float(sys.argv[4]) if len(sys.argv) > 4 else 60.0)
    server = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind(("127.0.0.1", 0))
    server.listen(1)
    with open(portfile + ".tmp", "w") as f:
        f.write("%d\n" % server.getsockname()[1])
    os.rename(portfile + ".tmp", portfile)

    def left():
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            raise TimeoutError("deadline passed")
        return remaining

    server.settimeout(left())
    conn, _ = server.accept()
    buffer = b""

    def read_line():
        nonlocal buffer
        while b"\n" not in buffer:
            conn.settimeout(left())
            chunk = conn.recv(4096)
            if not chunk:
                return None
            buffer += chunk
        line, _, buffer = buffer.partition(b"\n")
        return line

    def read_bytes(n):
        nonlocal buffer
        while len(buffer) < n:
            conn.settimeout(left())
            chunk = conn.recv(65536)
            if not chunk:
                raise EOFError("connection closed inside a file")
            buffer += chunk
        data, buffer = buffer[:n], buffer[n:]
        return data

    command = read_line()
    if command != b"\x02" + queue.encode():
        print("fake_lpd: unexpected command %r" % command, file=sys.stderr)
        conn.sendall(b"\x01")
        return 1
    conn.sendall(b"\x00")
    received = set()
    for _ in range(16):  # a job has two files; anything beyond a few is a fault
        line = read_line()
        if line is None:
            break
        kind, rest = line[:1], line[1:].decode("ascii")
        size, name = rest.split(" ", 1)
        if kind not in (b"\x02", b"\x03") or "/" in name or not name:
            print("fake_lpd: unexpected subcommand %r" % line, file=sys.stderr)
            return 1
        conn.sendall(b"\x00")
        data = read_bytes(int(size) + 1)
        if data[-1:] != b"\x00":
            print("fake_lpd: file %s not closed by a zero byte" % name, file=sys.stderr)
            return 1
        with open(os.path.join(spooldir, name), "wb") as f:
            f.write(data[:-1])
        conn.sendall(b"\x00")
        received.add("control" if kind == b"\x02" else "data")
        print("fake_lpd: received %s (%s bytes)" % (name, size))
    conn.close()
    return 0 if received == {"control", "data"} else 1


if __name__ == "__main__":
    try:
        sys.exit(main())
    except (OSError, EOFError, ValueError) as error:
        print("fake_lpd: %s" % error, file=sys.stderr)
        sys.exit(1)
