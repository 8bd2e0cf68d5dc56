#!/usr/bin/env python3
"""Writes the seed inputs of the fuzz targets into corpus/<target>/seed-*.

The seeds are answers of the shapes real LPD servers give (acceptances, refusals with
and without text, listings of BSD lpd and LPRng style) and the shapes at the edges of
what the client handles (empty answers, a listing right at and past the block's bound).
Run it again after changing the input layout of a target; the inputs found by fuzzing
sit beside the seeds, named by their hashes.

Header bytes, as the targets read them:
  initial: flags (bit 0 check-only, bits 1-2 end), then the answer
  acks:    flags (bit 0 control file first, bits 1-2 end), then [length][bytes]...
  queue, remove: flags (bits 0-1 end, bits 2-4 largest piece), seed, then the bytes
  findjob: job number byte (odd: a number of the listing), flags (bit 0 owner, bit 1
           name), then the listing; the servers' own listings are in
           tests/interop/listings/ and seeded too
End: 0 half-close, 1 close, 2 reset.
"""
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
HALF, CLOSE, RESET = 0, 1, 2


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "seed-" + name), "wb") as f:
        f.write(data)


def initial():
    answers = {
        "accept": b"\0",
        "accept-trailing": b"\0ready\n",
        "lone-1": b"\x01",
        "lone-2": b"\x02",
        "lone-ff": b"\xff",
        "byte-text": b"\x01queue lp is disabled\n",
        "byte-text-nolf": b"\x01no line end",
        "byte-text-two-lines": b"\x01first\nsecond\n",
        "byte-lf": b"\x01\n",
        "negative-text": b"\x80high bit\n",
        "letter-text": b"Printer lp is unknown\nmore\n",
        "lower-letter": b"lpd: queue disabled\n",
        "letter-alone": b"Z",
        "digit": b"1 bad\n",
        "nul-inside": b"\x01ab\x00cd\n",
        "letter-nul": b"No\x00hidden\n",
        "long-200": b"\x01" + b"x" * 199,
        "long-300": b"E" + b"y" * 250 + b"\n" + b"z" * 49,
        "lf-at-199": b"\x01" + b"w" * 198 + b"\n",
        "lf-first": b"\n\n",
        "empty": b"",
    }
    for name, answer in answers.items():
        for checkonly in (0, 1):
            for end in (HALF, CLOSE, RESET):
                if end != HALF and name not in ("accept", "empty", "lone-1", "byte-text"):
                    continue
                flags = checkonly | end << 1
                write("initial", "%s-%s-%d" % (name, "check" if checkonly else "job", end), bytes([flags]) + answer)


def acks():
    def job(answers):
        return b"".join(bytes([len(a)]) + a for a in answers)

    zero = b"\0"
    for controlfirst in (0, 1):
        order = "control" if controlfirst else "data"
        for end in (HALF, CLOSE, RESET):
            flags = bytes([controlfirst | end << 1])
            write("acks", "%s-accept-%d" % (order, end), flags + job([zero] * 5))
            # The server closes instead of the final acknowledgements.
            write("acks", "%s-no-final-%d" % (order, end), flags + job([zero, zero]))
            write("acks", "%s-stop-after-%d" % (order, end), flags + job([zero, zero, zero]))
        flags = bytes([controlfirst])
        for step in range(1, 5):
            for value in (1, 2, 3, 0x7F, 0x80, 0xFF):
                answers = [zero] * 5
                answers[step] = bytes([value])
                write("acks", "%s-refuse-%d-%02x" % (order, step, value), flags + job(answers))
        # Several acknowledgements in one piece, taken by the reads that follow.
        write("acks", "%s-all-at-once" % order, flags + job([zero, zero * 4]))
        write("acks", "%s-extra-bytes" % order, flags + job([zero + b"junk", zero + b"more", zero, zero * 3, zero]))
        write("acks", "%s-text-final" % order, flags + job([zero, zero, zero, zero, b"\0ok\n"]))
        write("acks", "%s-refuse-text" % order, flags + job([b"\x01no space\n"]))
        write("acks", "%s-long-final" % order, flags + job([zero, zero, zero, zero, zero * 255, zero * 100]))


def listing_lines(count, width):
    return b"".join(b"%-*d active user %d job %d\n" % (width, i, i, i) for i in range(count))


def queue():
    lpd = (b"lp is ready and printing\nRank   Owner      Job  Files                 Total Size\n"
           b"active root       123  /etc/hosts            1234 bytes\n"
           b"1st    tester     124  report.ps             98765 bytes\n")
    lprng = (b"Printer: lp@server 'Office printer'\r\n Queue: 2 printable jobs\r\n"
             b" Server: pid 4242 active\r\n Rank   Owner/ID          Class Job Files    Size Time\r\n"
             b"active tester@client+123  A   123 hosts    1234 10:21:07\r\n")
    listings = {
        "empty": b"",
        "two-lines": b"a\nb\n",
        "no-final-lf": b"a\nb",
        "lone-lf": b"\n",
        "empty-lines": b"\n\n\n",
        "bsd": lpd,
        "lprng-crlf": lprng,
        "no-entries": b"no entries\n",
        "nul-inside": b"one\x00two\n\x00three\n",
        "space-nul": b"a \x00b\n",
        "exact-8190": b"x" * 8190,
        "over-8191": b"x" * 8191,
        "lf-at-bound": b"x" * 8188 + b"\n",
        "lf-past-bound": b"x" * 8189 + b"\nz",
        "lines-to-bound": listing_lines(270, 10)[:8100] + b"\n" * 45,
        "oversize-lines": listing_lines(400, 12),
        "oversize-one-line": b"y" * 9000 + b"\n",
        "long-then-lines": b"z" * 5000 + b"\n" + listing_lines(200, 4),
        "many-lfs": b"\n" * 5000,
        "binary": bytes(range(256)) * 4,
    }
    for name, listing in listings.items():
        # Small listings in every piece size; the long ones in fewer (they are the bulk
        # of the corpus's bytes).
        classes = (0, 1, 4, 5, 6, 7) if len(listing) < 1000 else (0, 2, 5, 7)
        for sizeclass in classes:
            if sizeclass not in (0, 5) and len(listing) < 20 and name != "two-lines":
                continue
            for end in (HALF, CLOSE, RESET):
                if end != HALF and sizeclass != 0:
                    continue
                flags = end | sizeclass << 2
                write("queue", "%s-%d-%d" % (name, sizeclass, end), bytes([flags, 7 * sizeclass + 1]) + listing)


def remove():
    answers = {
        "empty": b"",
        "removed": b"dfA123client dequeued\ncfA123client dequeued\n",
        "denied": b"lpd: permission denied\n",
        "binary": bytes(range(256)),
        "long": listing_lines(300, 8),
    }
    for name, answer in answers.items():
        for sizeclass in (0, 1, 5, 6, 7):
            if sizeclass not in (0, 5) and len(answer) < 100:
                continue
            for end in (HALF, CLOSE, RESET):
                flags = end | sizeclass << 2
                write("remove", "%s-%d-%d" % (name, sizeclass, end), bytes([flags, 3 * sizeclass + 1]) + answer)


def findjob():
    table = (b"Rank   Owner      Job  Files                                 Total Size\n"
             b"active alice      350  report.txt                            20282 bytes\n"
             b"1st    bob        351  /home/alice/report.txt                7 bytes\n")
    lprng = (b"Printer: lp@host\n Queue: 1 printable job\n"
             b" Rank   Owner/ID                  Class Job Files                 Size Time\n"
             b"active  alice@client+350             A   350 report.txt           20282 10:21:07\n")
    listings = {"table": table, "lprng-long": lprng, "empty": b"no entries\n", "count": b"lp@host  2 jobs\n",
                "nothing": b"", "heading-only": table.split(b"\n")[0] + b"\n",
                "ragged": table.replace(b"  ", b"\t").replace(b"bytes", b"")}
    fixtures = os.path.join(HERE, "..", "interop", "listings")
    for name in sorted(os.listdir(fixtures)) if os.path.isdir(fixtures) else ():
        if name.endswith(".txt"):
            with open(os.path.join(fixtures, name), "rb") as f:
                listings["server-" + name[:-4]] = f.read()
    for name, listing in listings.items():
        for number, flags in ((0, 0), (1, 1), (3, 3)):
            write("findjob", "%s-%d-%d" % (name, number, flags), bytes([number, flags]) + listing)


def main():
    for target in (initial, acks, queue, remove, findjob):
        target()
    return 0


if __name__ == "__main__":
    sys.exit(main())
