#!/usr/bin/env python3
"""Turns the benchmark's raw figures (one line per measurement, written by run.sh) into
the Markdown table, the acceptance lines and the list of problems; prints it and writes
it to --out.  Exit status 0 when every client was measured and every job succeeded, 1
otherwise: the figures themselves never decide it."""

import argparse
import os
import platform
import re
import statistics
import sys
import time

CLIENTS = [
    ("mini-nodelay", "minimal client, TCP_NODELAY"),
    ("mini-nagle", "minimal client, Nagle"),
    ("cmd", "`vexlolpr` command (no-yield default)"),
    ("cmd-yield", "`vexlolpr` command `--yield`"),
    ("lib", "library in one process (no-yield)"),
    ("lib-yield", "library in one process (yield)"),
    ("lprng", "LPRng `lpr`"),
    ("cups", "CUPS lpd backend"),
]
MINIMAL = ("mini-nodelay", "mini-nagle")
PEERS = ("lprng", "cups")
# One 8192-octet chunk per 1 ms timer tick.
YIELD_CEILING = 8192 / 0.001 / 1e6
MiB = 1024 * 1024
GiB = 1024 * MiB


def parse_line(line):
    return {k: v.strip() for k, v in re.findall(r"(\w+)=(.*?)(?=\s\w+=|\s*$)", line.strip())}


def num(rec, key, default=None):
    try:
        return float(rec[key])
    except (KeyError, ValueError):
        return default


def size_text(n):
    for unit, factor in (("GiB", GiB), ("MiB", MiB), ("KiB", 1024)):
        if n >= factor and n % factor == 0:
            return f"{n // factor} {unit}"
    return f"{n} B"


def fmt(x, unit=""):
    if x is None:
        return "n/a"
    if x >= 100:
        s = f"{x:.0f}"
    elif x >= 10:
        s = f"{x:.1f}"
    elif x >= 0.1:
        s = f"{x:.2f}"
    else:
        s = f"{x:.3f}"
    return s + unit


def ratio(x, ref):
    if x is None or not ref:
        return ""
    return f" ({x / ref:.2f}x)"


def port_waits(log):
    """Per peer, the failed connection attempts its messages report in the jobs-in-a-row
    series."""
    counts = {}
    section = None
    try:
        for line in open(log, errors="replace"):
            if line.startswith("== "):
                words = line.split()
                section = words[1] if len(words) > 2 and words[2] == "row" and words[1] in PEERS else None
            elif section and "Address already in use" in line and (
                "cannot open connection" in line or "Unable to reserve port" in line
            ):
                counts[section] = counts.get(section, 0) + 1
    except OSError:
        pass
    return counts


def main():
    ap = argparse.ArgumentParser()
    for name in ("raw", "out", "unavailable", "profile", "clients", "row-clients", "log", "commit"):
        ap.add_argument("--" + name, required=True)
    for name in ("rounds", "big", "yield-size", "jobs", "lib-jobs", "row-jobs", "seconds"):
        ap.add_argument("--" + name, type=int, required=True)
    a = ap.parse_args()

    records = [parse_line(l) for l in open(a.raw) if l.strip()]
    unavailable = {}
    for line in open(a.unavailable):
        if line.strip():
            client, _, reason = line.strip().partition(" ")
            unavailable[client] = reason
    wanted = a.clients.split(",")
    row_wanted = [c for c in a.row_clients.split(",") if c in wanted]

    problems = []
    notes = []

    def good(rec):
        """A measurement whose every job succeeded and reached the sink whole.  The other
        programs' failures in the jobs-in-a-row series are figures, not faults of the run:
        as root they send from reserved ports, which TIME_WAIT uses up."""
        where = f"{rec.get('client')} {rec.get('workload')} round {rec.get('round')}"
        if rec.get("workload") == "row" and rec.get("client") in PEERS:
            before = len(problems)
            ok = good_strict(rec, where)
            notes.extend(problems[before:])
            del problems[before:]
            return ok
        return good_strict(rec, where)

    def good_strict(rec, where):
        if "error" in rec:
            problems.append(f"{where}: {rec['error']}")
            return False
        jobs, failed = int(num(rec, "jobs", 0)), int(num(rec, "failed", 0))
        ok = True
        if failed:
            problems.append(f"{where}: {failed} of {jobs} jobs failed (first exit status {rec.get('exit_status')})")
            ok = False
        sink_jobs = int(num(rec, "sink_jobs", -1))
        if sink_jobs != jobs - failed:
            problems.append(f"{where}: the client reported {jobs - failed} jobs done, the sink received {sink_jobs}")
            ok = False
        want_bytes = int(num(rec, "bytes", 0)) * (jobs - failed)
        if int(num(rec, "sink_bytes", -1)) != want_bytes:
            problems.append(f"{where}: the sink received {rec.get('sink_bytes')} data octets, not {want_bytes}")
            ok = False
        if int(num(rec, "sink_errors", 0)):
            problems.append(f"{where}: the sink saw {rec.get('sink_errors')} protocol errors")
            ok = False
        return ok

    by = {}
    for rec in records:
        rec["good"] = good(rec)
        by.setdefault((rec.get("client"), rec.get("workload")), []).append(rec)

    def series(client, workload):
        return [r for r in by.get((client, workload), []) if r["good"] and num(r, "seconds")]

    def median(values):
        values = [v for v in values if v is not None]
        return statistics.median(values) if values else None

    big_rate, cpu, rss_big, rss_small, each_rate, loop_rate, row = {}, {}, {}, {}, {}, {}, {}
    for c, _ in CLIENTS:
        s = series(c, "big")
        big_rate[c] = median([num(r, "bytes") / num(r, "seconds") / 1e6 for r in s])
        cpu[c] = median([(num(r, "user_s", 0) + num(r, "sys_s", 0)) / (num(r, "bytes") / GiB) for r in s])
        rss_big[c] = max([num(r, "rss_kb") / 1024 for r in s if num(r, "rss_kb")], default=None)
        s = series(c, "small")
        rss_small[c] = max([num(r, "rss_kb") / 1024 for r in s if num(r, "rss_kb")], default=None)
        each_rate[c] = median([num(r, "jobs") / num(r, "seconds") for r in series(c, "each")])
        loop_rate[c] = median([num(r, "jobs") / num(r, "seconds") for r in series(c, "loop")])
        rs = by.get((c, "row"), [])
        if rs:
            r = rs[0]
            if "error" in r:
                row[c] = (None, None, None, None)
            else:
                jobs, failed = int(num(r, "jobs", 0)), int(num(r, "failed", 0))
                row[c] = (jobs - failed, jobs, jobs / num(r, "seconds", 1), int(num(r, "sink_jobs", -1)))

    def best(d, pick):
        values = [d[c] for c in MINIMAL if d.get(c) is not None]
        return pick(values) if values else None

    ref_big, ref_each = best(big_rate, max), best(each_rate, max)
    ref_loop = loop_rate.get("mini-nodelay")
    ref_rss, ref_cpu = best(rss_big, min), best(cpu, min)

    bigname, yname = size_text(a.big), size_text(a.yield_size)
    head = [
        "client",
        f"{bigname} job, MB/s",
        "1 KiB jobs, process per job, jobs/s",
        f"1 KiB jobs, {a.lib_jobs} in one process, jobs/s",
        f"{a.row_jobs} jobs in a row",
        f"peak RSS MiB, 1 KiB / {bigname} job",
        "CPU s/GiB",
    ]
    rows = []
    for c, label in CLIENTS:
        if c not in wanted:
            continue
        if c in unavailable:
            rows.append([label] + [f"n/a: {unavailable[c]}"] + [""] * (len(head) - 2))
            continue
        lib = c.startswith("lib")
        if c == "cmd-yield":
            r = big_rate[c]
            cell_big = "n/a" if r is None else f"{fmt(r)} on {yname} ({r / YIELD_CEILING:.2f}x yield ceiling)"
        else:
            cell_big = "—" if lib else fmt(big_rate[c]) + ratio(big_rate[c], ref_big)
        cell_each = "—" if lib else fmt(each_rate[c]) + ratio(each_rate[c], ref_each)
        if c in ("lib", "lib-yield", "mini-nodelay"):
            cell_loop = fmt(loop_rate[c]) + ratio(loop_rate[c], ref_loop)
        else:
            cell_loop = "—"
        if c in row:
            ok, jobs, rate, sink = row[c]
            if ok is None:
                cell_row = "failed to run"
            else:
                cell_row = f"{ok}/{jobs} ok, {fmt(rate)} jobs/s"
                if sink != ok:
                    cell_row += f", sink counted {sink}"
        else:
            cell_row = "not run" if c not in row_wanted else "n/a"
        if lib:
            cell_rss = cell_cpu = "—"
        else:
            cell_rss = f"{fmt(rss_small[c])} / {fmt(rss_big[c])}" + ratio(rss_big[c], ref_rss)
            cell_cpu = fmt(cpu[c]) + ("" if c == "cmd-yield" else ratio(cpu[c], ref_cpu))
        rows.append([label, cell_big, cell_each, cell_loop, cell_row, cell_rss, cell_cpu])
    if "cmd-yield" in wanted:
        rows.append(["yield ceiling: 8192 B per 1 ms tick", fmt(YIELD_CEILING), "", "", "", "", ""])

    lines = []
    lines.append("# vexlolpr benchmark")
    lines.append("")
    lines.append(
        f"Run {time.strftime('%Y-%m-%d %H:%M:%S %Z')}, commit {a.commit}, profile `{a.profile}`, "
        f"{a.rounds} round(s), {a.seconds} s; {platform.node()}, Linux {platform.release()}, "
        f"{os.cpu_count()} CPUs, load average at the end {' '.join(f'{x:.2f}' for x in os.getloadavg())}."
    )
    lines.append("")
    lines.append(
        "Every client runs in network and mount namespaces of its own against the same sink "
        "LPD (bench/lpdsink: acknowledges everything, counts and discards) on 127.0.0.1:515; "
        "within a round the clients take turns on each workload. Figures are medians over "
        "rounds (peak RSS: the largest). The ratio in brackets is to the best minimal "
        "client of the column (highest rate, lowest RSS and CPU). MB = 10^6 bytes."
    )
    lines.append("")
    lines.append("| " + " | ".join(head) + " |")
    lines.append("|" + "|".join(["---"] + ["--:"] * (len(head) - 1)) + "|")
    for r in rows:
        lines.append("| " + " | ".join(r) + " |")
    lines.append("")
    lines.append(
        f"The `--yield` command's large job is {yname} (at its ceiling a {bigname} job would "
        "take minutes); its ratio is to the yield ceiling. CPU s/GiB: user+system time of "
        "the client process of the large job (`/usr/bin/time -v`), per GiB sent."
    )
    lines.append("")

    # ---- acceptance -----------------------------------------------------------------
    checks = []

    def check(text, value):
        if value is None:
            checks.append(f"- n/a — {text} (figures missing)")
        else:
            checks.append(f"- {'PASS' if value else 'FAIL'} — {text}")

    def have(*xs):
        return all(x is not None for x in xs)

    b, l_ = big_rate.get("cmd"), big_rate.get("lprng")
    check(
        f"no-yield {bigname} job >= 0.95x the best minimal client "
        f"({fmt(b)} vs {fmt(ref_big)} MB/s{ratio(b, ref_big)}) and > LPRng ({fmt(l_)} MB/s)",
        (b >= 0.95 * ref_big and b > l_) if have(b, ref_big, l_) else None,
    )
    e, m = each_rate.get("cmd"), each_rate.get("mini-nodelay")
    check(
        f"one process per 1 KiB job >= 0.9x the minimal client with TCP_NODELAY "
        f"({fmt(e)} vs {fmt(m)} jobs/s{ratio(e, m)})",
        e >= 0.9 * m if have(e, m) else None,
    )
    lr = loop_rate.get("lib")
    check(f"library in one process >= 1000 jobs/s ({fmt(lr)} jobs/s)", lr >= 1000 if have(lr) else None)
    rw = row.get("cmd")
    check(
        f"{a.row_jobs} jobs in a row with the command all succeed"
        + (f" ({rw[0]}/{rw[1]}, sink counted {rw[3]})" if rw and rw[0] is not None else ""),
        (rw[0] == rw[1] == rw[3]) if rw and rw[0] is not None else None,
    )
    rl = row.get("lib")
    if rl and rl[0] is not None:
        check(f"{a.row_jobs} jobs in a row through the library in one process all succeed "
              f"({rl[0]}/{rl[1]}, sink counted {rl[3]})", rl[0] == rl[1] == rl[3])
    rs, rb, rlp = rss_small.get("cmd"), rss_big.get("cmd"), rss_big.get("lprng")
    check(
        f"peak RSS of the command below LPRng's lpr ({fmt(rb)} vs {fmt(rlp)} MiB)",
        rb < rlp if have(rb, rlp) else None,
    )
    check(
        f"peak RSS of the command constant in file size ({fmt(rs)} MiB at 1 KiB, {fmt(rb)} MiB at "
        f"{bigname}; within 10% or 0.5 MiB)",
        abs(rb - rs) <= max(0.5, 0.1 * rs) if have(rs, rb) else None,
    )
    cu = big_rate.get("cups")
    check(
        f"no-yield {bigname} job >= 1.2x the CUPS lpd backend ({fmt(b)} vs {fmt(cu)} MB/s{ratio(b, cu)})",
        b >= 1.2 * cu if have(b, cu) else None,
    )
    cc, cl, ccu = cpu.get("cmd"), cpu.get("lprng"), cpu.get("cups")
    check(f"CPU s/GiB at most LPRng's ({fmt(cc)} vs {fmt(cl)})", cc <= cl if have(cc, cl) else None)
    check(f"CPU s/GiB at most the CUPS lpd backend's ({fmt(cc)} vs {fmt(ccu)})",
          cc <= ccu if have(cc, ccu) else None)
    y = big_rate.get("cmd-yield")
    check(
        f"`--yield` >= 0.9x the yield ceiling of {fmt(YIELD_CEILING)} MB/s ({fmt(y)} MB/s"
        + (f" ({y / YIELD_CEILING:.3f}x))" if y else ")"),
        y >= 0.9 * YIELD_CEILING if have(y) else None,
    )
    ye = each_rate.get("cmd-yield")
    check(
        "`--yield` 1 KiB jobs without the ~40 ms delayed-ACK stall: under 20 ms a job "
        f"({fmt(1000 / ye) if ye else 'n/a'} ms a job, process per job)",
        1000 / ye < 20 if have(ye) else None,
    )
    lines.append("## Acceptance (figures of this run)")
    lines.append("")
    if a.profile != "full":
        lines.append(f"Profile `{a.profile}`: smaller sizes than the full run; the figures are indicative only.")
        lines.append("")
    lines.extend(checks)
    lines.append("")

    missing = [c for c in wanted if c not in unavailable and not any(k[0] == c for k in by)]
    for c in missing:
        problems.append(f"{c}: no measurement recorded")
    for c, reason in unavailable.items():
        if c in wanted:
            problems.append(f"{c}: not measured: {reason}")
    if notes:
        lines.append("## Notes")
        lines.append("")
        lines.extend(f"- {n}" for n in notes)
        for c, count in port_waits(a.log).items():
            lines.append(f"- {c} row: {count} connection attempts found no free reserved local port "
                         "('Address already in use': TIME_WAIT holds them) and were retried after a pause")
        lines.append("")
        lines.append(
            "A client process still running after its time limit is killed and its job counted "
            f"as failed. Client and sink messages: {a.log}"
        )
        lines.append("")
    if problems:
        lines.append("## Problems")
        lines.append("")
        lines.extend(f"- {p}" for p in problems)
        lines.append("")
        lines.append(f"Client and sink messages: {a.log}")
        lines.append("")

    text = "\n".join(lines)
    with open(a.out, "w") as f:
        f.write(text)
    print(text)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
