#!/usr/bin/env python3
"""fake_lpd.py - a one-connection LPD on loopback for the Windows behaviour test.

Listens on 127.0.0.1, or ::1 with --ipv6 (at --port, or a port the system chooses),
writes the port to PORTFILE once it listens, takes one connection, plays MODE and checks every byte the
client sends against what the client must send.  Gives up after --deadline seconds.

  fake_lpd.py MODE PORTFILE [options]
  print   \\x02lp\\n acknowledged, then the data and control file subcommands in the
          --order given, each line, file and closing zero byte compared byte for byte
          with the job built from --data, --host, --user, --jobname, --filename; every
          step acknowledged; then the client must close.  --number NNN: the job
          number the client must give the job.  --pause S: the last acknowledgement
          comes S seconds late; --hold FILE: only once FILE exists.
  queue   \\x03lp\\n, answered by a fixed listing and a close.
  remove  \\x05lp user 42\\n, answered by a close.
  silent  \\x02lp\\n, never answered; the client must close within the deadline.
  slow    \\x02lp\\n and the data file subcommand for --data acknowledged, then the
          file's bytes read slowly (--rate bytes a second, a small receive buffer) and
          compared as they come; the count so far goes to --progress.  Once the file
          --fast exists the rest is read at once.  The client must close before the
          whole file has arrived, after at least one byte of it: a cancel mid-file.
  --source-port N: the client's source port must be N.

Exit status 0 when the client sent exactly what it must; 1 otherwise, with the reason on
standard error."""
import argparse
import os
import re
import socket
import sys
import time

QUEUE = b"lp"
LISTING = (
    b"lp is ready and printing\n"
    b"Rank   Owner      Job  Files                 Total Size\n"
    b"active tester     42   job.bin               100000 bytes\n"
    b"1st    user       43   notes.txt             512 bytes\n"
)


class Fault(Exception):
    pass


def shown(data, limit=120):
    text = repr(bytes(data[:limit]))
    return text + ("... (%d bytes)" % len(data) if len(data) > limit else "")


class Peer:
    def __init__(self, conn, deadline):
        self.conn = conn
        self.deadline = deadline
        self.buffer = b""

    def left(self):
        remaining = self.deadline - time.monotonic()
        if remaining <= 0:
            raise Fault("deadline passed")
        return remaining

    def fill(self):
        """More bytes into the buffer; False at the client's close."""
        self.conn.settimeout(self.left())
        try:
            chunk = self.conn.recv(65536)
        except ConnectionResetError:
            return False
        if not chunk:
            return False
        self.buffer += chunk
        return True

    def line(self, limit=512):
        while b"\n" not in self.buffer:
            if len(self.buffer) > limit:
                raise Fault("no line end in %s" % shown(self.buffer))
            if not self.fill():
                raise Fault("closed before a line end; got %s" % shown(self.buffer))
        line, _, self.buffer = self.buffer.partition(b"\n")
        return line + b"\n"

    def exactly(self, n):
        while len(self.buffer) < n:
            if not self.fill():
                raise Fault("closed after %d of %d bytes" % (len(self.buffer), n))
        data, self.buffer = self.buffer[:n], self.buffer[n:]
        return data

    def expect(self, want, what):
        got = self.exactly(len(want))
        if got != want:
            at = next(i for i in range(len(want)) if got[i] != want[i])
            raise Fault("%s differs at byte %d: expected %s, got %s" % (what, at, shown(want[at:]), shown(got[at:])))
        print("fake_lpd: %s as expected (%d bytes)" % (what, len(want)))

    def expect_line(self, want, what):
        got = self.line()
        if got != want:
            raise Fault("%s: expected %s, got %s" % (what, shown(want), shown(got)))
        print("fake_lpd: %s %s" % (what, shown(got)))

    def until_close(self, what):
        """The client must close now and send nothing more; returns the seconds waited."""
        start = time.monotonic()
        while True:
            if self.buffer:
                raise Fault("bytes after %s: %s" % (what, shown(self.buffer)))
            if not self.fill():
                return time.monotonic() - start

    def ack(self):
        self.conn.sendall(b"\x00")


def control_text(args, stem):
    return (
        "H%s\nP%s\nJ%s\nL%s\nfd%s\nUd%s\nN%s\n"
        % (args.host, args.user, args.jobname, args.user, stem, stem, args.filename)
    ).encode()


def play_print(peer, args):
    with open(args.data, "rb") as f:
        content = f.read()
    peer.expect_line(b"\x02" + QUEUE + b"\n", "job command")
    peer.ack()
    first = peer.line()
    # The job number is the client's to choose: three digits, the same in both names.
    match = re.match(rb"^[\x02\x03]\d+ [cd]fA(\d{3})", first)
    if not match:
        raise Fault("first subcommand %s" % shown(first))
    if args.number is not None and match.group(1).decode() != args.number:
        raise Fault("job number %s, expected %s" % (match.group(1).decode(), args.number))
    stem = "fA%s%s" % (match.group(1).decode(), args.host)
    control = control_text(args, stem)
    data_step = (b"\x03%d d%s\n" % (len(content), stem.encode()), content, "data file")
    control_step = (b"\x02%d c%s\n" % (len(control), stem.encode()), control, "control file")
    steps = [data_step, control_step] if args.order == "data" else [control_step, data_step]
    for index, (line, body, what) in enumerate(steps):
        got = first if index == 0 else peer.line()
        if got != line:
            raise Fault("%s subcommand: expected %s, got %s" % (what, shown(line), shown(got)))
        print("fake_lpd: %s subcommand %s" % (what, shown(got)))
        peer.ack()
        peer.expect(body + b"\x00", what + " and its zero byte")
        if index == 1 and args.pause:
            time.sleep(args.pause)  # the job lasts at least this long
        if index == 1 and args.hold:
            while not os.path.exists(args.hold):  # until the caller lets the job end
                if time.monotonic() > peer.deadline:
                    raise Fault("%s never appeared" % args.hold)
                time.sleep(0.05)
        peer.ack()
    peer.until_close("the job")
    print("fake_lpd: job %s taken, %s first" % (stem, args.order))


def play_queue(peer, args):
    peer.expect_line(b"\x03" + QUEUE + b"\n", "queue command")
    peer.conn.sendall(LISTING)
    peer.conn.shutdown(socket.SHUT_WR)
    peer.until_close("the queue command")


def play_remove(peer, args):
    peer.expect_line(b"\x05" + QUEUE + b" user 42\n", "removal command")
    peer.conn.shutdown(socket.SHUT_WR)
    peer.until_close("the removal command")


def play_silent(peer, args):
    peer.expect_line(b"\x02" + QUEUE + b"\n", "job command")
    waited = peer.until_close("the job command")
    print("fake_lpd: silent; the client closed after %.1f s" % waited)


def write_progress(path, count):
    if path:
        with open(path + ".tmp", "w") as f:
            f.write("%d\n" % count)
        os.replace(path + ".tmp", path)


def play_slow(peer, args):
    with open(args.data, "rb") as f:
        content = f.read()
    peer.expect_line(b"\x02" + QUEUE + b"\n", "job command")
    peer.ack()
    line = peer.line()
    match = re.match(rb"^\x03(\d+) dfA(\d{3})(.*)\n$", line, re.S)
    want = b"\x03%d dfA%s%s\n" % (len(content), match.group(2) if match else b"nnn", args.host.encode())
    if line != want:
        raise Fault("data file subcommand: expected %s, got %s" % (shown(want), shown(line)))
    print("fake_lpd: data file subcommand %s" % shown(line))
    peer.ack()
    if peer.buffer:
        raise Fault("content before the slow reading began: %s" % shown(peer.buffer))
    # A tenth of the rate every tenth of a second: the client's counter moves, slowly.
    step = max(args.rate // 10, 1)
    got = 0
    write_progress(args.progress, got)
    while True:
        fast = args.fast is not None and os.path.exists(args.fast)
        peer.conn.settimeout(peer.left())
        try:
            chunk = peer.conn.recv(65536 if fast else step)
        except ConnectionResetError:
            chunk = b""
        if not chunk:
            break
        if got + len(chunk) > len(content) or chunk != content[got:got + len(chunk)]:
            raise Fault("content differs from the file within bytes %d..%d" % (got, got + len(chunk)))
        got += len(chunk)
        write_progress(args.progress, got)
        if got == len(content):
            raise Fault("the whole file of %d bytes arrived: the transfer was not cancelled" % got)
        if not fast:
            time.sleep(0.1)
    if got == 0:
        raise Fault("the client closed before sending any of the file")
    print("fake_lpd: the client closed after %d of %d bytes of the file" % (got, len(content)))


MODES = {"print": play_print, "queue": play_queue, "remove": play_remove, "silent": play_silent, "slow": play_slow}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("mode", choices=sorted(MODES))
    parser.add_argument("portfile")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--deadline", type=float, default=30.0)
    parser.add_argument("--source-port", type=int)
    parser.add_argument("--data")
    parser.add_argument("--order", choices=("data", "control"), default="data")
    parser.add_argument("--number")
    parser.add_argument("--host", default="winclient")
    parser.add_argument("--user", default="tester")
    parser.add_argument("--jobname", default="winjob")
    parser.add_argument("--filename", default="job.bin")
    parser.add_argument("--rate", type=int, default=8192)
    parser.add_argument("--pause", type=float, default=0.0)
    parser.add_argument("--hold")
    parser.add_argument("--progress")
    parser.add_argument("--fast")
    parser.add_argument("--ipv6", action="store_true", help="listen on ::1 instead")
    args = parser.parse_args()
    deadline = time.monotonic() + args.deadline

    server = socket.socket(socket.AF_INET6 if args.ipv6 else socket.AF_INET, socket.SOCK_STREAM)
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    if args.mode == "slow":
        # Set before listening, so that the connection has it from the start: the
        # system then holds back only a few KB of the file for this reader.
        server.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    server.bind(("::1" if args.ipv6 else "127.0.0.1", args.port))
    server.listen(1)
    with open(args.portfile + ".tmp", "w") as f:
        f.write("%d\n" % server.getsockname()[1])
    os.rename(args.portfile + ".tmp", args.portfile)

    server.settimeout(max(deadline - time.monotonic(), 0.1))
    conn, peer_address = server.accept()
    server.close()
    print("fake_lpd: %s: connection from %s port %d" % (args.mode, peer_address[0], peer_address[1]))
    with conn:
        if args.source_port is not None and peer_address[1] != args.source_port:
            raise Fault("source port %d, expected %d" % (peer_address[1], args.source_port))
        MODES[args.mode](Peer(conn, deadline), args)
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except (Fault, OSError, ValueError) as error:
        print("fake_lpd: FAILED: %s" % (error or type(error).__name__), file=sys.stderr)
        sys.exit(1)
