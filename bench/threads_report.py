#!/usr/bin/env python3
"""Turns the raw lines of bench/threads.sh (one per measurement) into its Markdown section:
the tables, the acceptance lines and the list of problems; prints it and writes it to
--out.  Exit status 0 when every workload ran and every job that should succeed did, 1
otherwise: the figures themselves never decide it."""

import argparse
import os
import platform
import re
import statistics
import sys
import time


def parse_line(line):
    return {k: v.strip() for k, v in re.findall(r"(\w+)=(.*?)(?=\s\w+=|\s*$)", line.strip())}


def num(rec, key, default=None):
    try:
        return float(rec[key])
    except (KeyError, ValueError, TypeError):
        return default


def fmt(x, digits=None):
    if x is None:
        return "n/a"
    if digits is not None:
        return f"{x:.{digits}f}"
    if x >= 100:
        return f"{x:.0f}"
    if x >= 10:
        return f"{x:.1f}"
    if x >= 0.1:
        return f"{x:.2f}"
    return f"{x:.3f}"


def median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def main():
    ap = argparse.ArgumentParser()
    for name in ("raw", "out", "unavailable", "profile", "log", "commit"):
        ap.add_argument("--" + name, required=True)
    for name in ("embedded", "sanitized", "seconds", "delay", "slow-jobs", "stuck-ms", "loop-jobs", "burst-jobs",
                 "healthy-threads", "healthy-jobs"):
        ap.add_argument("--" + name, type=int, required=True)
    a = ap.parse_args()

    records = [parse_line(l) for l in open(a.raw) if l.strip()]
    unavailable = {}
    for line in open(a.unavailable):
        if line.strip():
            what, _, reason = line.strip().partition(" ")
            unavailable[what] = reason
    problems = []

    def where(rec):
        return f"{rec.get('part')} round {rec.get('round')}"

    # A record is good when it ran and every job that should have succeeded did, and the
    # server's own count agrees where there is one.
    def good(rec):
        w = where(rec)
        if "error" in rec:
            problems.append(f"{w}: {rec['error']}")
            return False
        ok = True
        failed = int(num(rec, "failed", 0))
        if failed:
            problems.append(f"{w}: {failed} of {rec.get('jobs')} jobs failed")
            ok = False
        if rec.get("status") not in (None, "0"):
            problems.append(f"{w}: the client ended with status {rec.get('status')}")
            ok = False
        done = int(num(rec, "ok", num(rec, "jobs", 0) - failed))
        for key in ("server_jobs", "sink_jobs", "spool_jobs"):
            if key in rec and int(num(rec, key, -1)) != done:
                problems.append(f"{w}: the client reported {done} jobs printed, the server ({key}) {rec[key]}")
                ok = False
        for key in ("server_errors", "sink_errors"):
            if int(num(rec, key, 0)):
                problems.append(f"{w}: the server saw {rec[key]} protocol errors")
                ok = False
        if "stuck_outlived" in rec and rec["stuck_outlived"] != "1":
            problems.append(f"{w}: the request to the silent printer ended before the healthy jobs did: "
                            "they did not run beside it")
            ok = False
        if rec.get("part") == "memory":
            for key, value in rec.items():
                if key.startswith("held") and value != "1":
                    problems.append(f"{w}: not every request reached the holding server ({key})")
                    ok = False
        return ok

    by = {}
    for rec in records:
        rec["good"] = good(rec)
        by.setdefault(rec.get("part"), []).append(rec)

    def series(part):
        return [r for r in by.get(part, []) if r["good"]]

    def rate(r):
        s = num(r, "seconds")
        return num(r, "jobs") / s if s else None

    lines = []
    if not a.embedded:
        lines.append("# vexlolpr benchmark: threads")
        lines.append("")
    lines.append("## Requests of several threads at once")
    lines.append("")
    lines.append(
        f"Run {time.strftime('%Y-%m-%d %H:%M:%S %Z')}, commit {a.commit}, profile `{a.profile}`, {a.seconds} s; "
        f"{platform.node()}, Linux {platform.release()}, {os.cpu_count()} CPUs, load average at the end "
        f"{' '.join(f'{x:.2f}' for x in os.getloadavg())}."
    )
    lines.append("")
    lines.append(
        "`bench/threads` calls `LPR_Print` from several threads of one process (no status display, "
        "`LPR_OPT_NOYIELD`, 1 KiB jobs). Every measurement runs in network, mount and PID namespaces "
        "of its own, as root unless said otherwise, with its servers on loopback there. Figures are "
        "medians over rounds; latencies are per job, from the call to its return."
    )
    lines.append("")

    # ---- 1: servers behind a slow hop ------------------------------------------------
    slow = {}
    for part in sorted({p for p in by if p and p.startswith("slow-")}, key=lambda p: int(p[5:])):
        s = series(part)
        slow[int(part[5:])] = (median([rate(r) for r in s]), median([num(r, "mean_ms") for r in s]),
                               max([num(r, "max_ms", 0) for r in s], default=None), len(s), len(by[part]))
    one = slow.get(1, (None,))[0]
    lines.append(f"### Servers that answer each acknowledgement after {a.delay} ms")
    lines.append("")
    lines.append(
        f"An in-process server, one thread per connection, sleeps {a.delay} ms before every "
        f"acknowledgement (a printer across a slow hop; five of them a job). Each client thread "
        f"prints {a.slow_jobs} jobs; all start together."
    )
    lines.append("")
    lines.append("| client threads | jobs | jobs/s | jobs/s ÷ (threads × one-thread rate) | mean / max ms a job |")
    lines.append("|--:|--:|--:|--:|--:|")
    ratios = {}
    for t, (r, mean, mx, n, total) in sorted(slow.items()):
        ratio = r / (t * one) if r and one else None
        ratios[t] = ratio
        note = "" if n == total else f" ({n} of {total} rounds good)"
        lines.append(f"| {t} | {t * a.slow_jobs} | {fmt(r)}{note} | {fmt(ratio, 2)} | {fmt(mean)} / {fmt(mx)} |")
    lines.append("")

    # ---- 2: a stuck printer beside healthy threads -------------------------------------
    # Per run: healthy jobs printed (summed over rounds), the medians over rounds of each
    # round's mean and largest latency, the largest of all, and how thread A ended.
    def stuck_rows(parts):
        rows = []
        for label, part in parts:
            rs = by.get(part, [])
            if not rs:
                continue
            ran = [r for r in rs if "error" not in r]
            ok = sum(int(num(r, "ok", 0)) for r in ran)
            jobs = sum(int(num(r, "jobs", 0)) for r in ran)
            timed = [r for r in ran if num(r, "ok")]
            mean = median([num(r, "mean_ms") for r in timed])
            mx = median([num(r, "max_ms") for r in timed])
            worst = max([num(r, "max_ms", 0) for r in timed], default=None)
            ends = [r for r in rs if "stuck_seconds" in r]
            if ends:
                secs = [num(r, "stuck_seconds") for r in ends]
                codes = sorted({f"{r.get('stuck_result')}/{r.get('stuck_errorcode')}" for r in ends})
                early = sum(1 for r in ends if r.get("stuck_outlived") != "1")
                stuck = (f"failed ({', '.join(codes)}) after {fmt(min(secs))}"
                         + (f"-{fmt(max(secs))}" if max(secs) - min(secs) >= 0.01 else "") + " s"
                         + (f"; {early} round(s) ended BEFORE the healthy jobs" if early else ""))
            else:
                stuck = "—"
            rows.append((label, part, ok, jobs, mean, mx, stuck, len(rs), worst))
        return rows

    hj = a.healthy_threads * a.healthy_jobs
    lines.append("### One thread held by a printer that never answers")
    lines.append("")
    lines.append(
        f"Thread A prints to an in-process printer that accepts and never answers (reply time-out "
        f"{a.stuck_ms / 1000:g} s); once A waits there, {a.healthy_threads} other threads print "
        f"{a.healthy_jobs} jobs each to the sink (bench/lpdsink); lprtimeout 3 s. The same run without "
        "the silent printer is the baseline. Jobs: summed over rounds; mean and max: medians over rounds "
        "of each round's figure, and the largest latency of all rounds in brackets."
    )
    lines.append("")
    lines.append("| run | rounds | healthy jobs ok | mean ms | max ms (largest) | thread A (result/errorcode) |")
    lines.append("|---|--:|--:|--:|--:|---|")
    srows = stuck_rows([("without the silent printer", "stuck-0"), ("with the silent printer", "stuck-1")])
    for label, part, ok, jobs, mean, mx, stuck, n, worst in srows:
        lines.append(f"| {label} | {n} | {ok}/{jobs} | {fmt(mean)} | {fmt(mx)} ({fmt(worst)}) | {stuck} |")
    lines.append("")

    # ---- 3: in-process jobs/s against the sink -----------------------------------------
    labels = [("root", "library, one thread, as root"), ("nobody", "library, one thread, as nobody"),
              ("mini", "minimal client, TCP_NODELAY")]
    loop, burst = {}, {}
    for u, _ in labels:
        loop[u] = median([rate(r) for r in series(f"loop-{u}")])
        burst[u] = median([rate(r) for r in series(f"burst-{u}")])
    rounds3 = max([len(by.get(f"loop-{u}", [])) for u, _ in labels], default=0)
    lines.append("### In-process jobs/s against the sink")
    lines.append("")
    text = (f"{a.loop_jobs} jobs in a fresh namespace per measurement ({rounds3} round{'s' if rounds3 != 1 else ''}, "
            "the clients "
            "taking turns): as root the library sends from reserved ports 601-800 here, none of them "
            "held by TIME_WAIT. ")
    if a.burst_jobs:
        text += (f"{a.burst_jobs} jobs in one namespace, once: the ports that the earlier jobs left in "
                 "TIME_WAIT are part of that figure. ")
    text += ("The unprivileged run is the same program under `setpriv` as the user nobody. "
             "Ratio: to the minimal client of the same column.")
    lines.append(text)
    lines.append("")
    head = f"| client | {a.loop_jobs} jobs, jobs/s |"
    if a.burst_jobs:
        head += f" {a.burst_jobs} jobs in one namespace, jobs/s |"
    lines.append(head)
    lines.append("|---|--:|" + ("--:|" if a.burst_jobs else ""))
    for u, label in labels:
        if u in unavailable:
            lines.append(f"| {label} | n/a: {unavailable[u]} |" + (" |" if a.burst_jobs else ""))
            continue
        cell = fmt(loop[u]) + (f" ({loop[u] / loop['mini']:.2f}x)" if loop[u] and loop["mini"] else "")
        row = f"| {label} | {cell} |"
        if a.burst_jobs:
            ratio = f" ({burst[u] / burst['mini']:.2f}x)" if burst[u] and burst["mini"] else ""
            row += f" {fmt(burst[u])}{ratio} |"
        lines.append(row)
    lines.append("")

    # ---- 4: memory and descriptors -----------------------------------------------------
    mem = next(iter(by.get("memory", [])), None)
    mem_ok = mem is not None and mem["good"]
    rounds4 = int(num(mem, "rounds", 0)) if mem else 0
    lines.append("### Resident memory and descriptors around requests in flight")
    lines.append("")
    if mem is None or "error" in mem:
        lines.append(f"Not measured{': ' + mem['error'] if mem else ''}.")
    else:
        lines.append(
            f"{mem.get('threads')} threads each print one job to a server (another process) that holds "
            f"its first acknowledgement until all {mem.get('threads')} wait there; VmRSS "
            "(/proc/self/status) and the entries of /proc/self/fd of the client process are sampled then, "
            f"before the first round and after each of {rounds4} rounds (every thread joined)."
        )
        lines.append("")
        lines.append("| sample | VmRSS KiB | open descriptors |")
        lines.append("|---|--:|--:|")
        lines.append(f"| before | {mem.get('rss_before_kb')} | {mem.get('fds_before')} |")
        for r in range(1, rounds4 + 1):
            lines.append(f"| round {r}: all in flight | {mem.get(f'rss_flight{r}_kb')} | {mem.get(f'fds_flight{r}')} |")
            lines.append(f"| round {r}: after | {mem.get(f'rss_after{r}_kb')} | {mem.get(f'fds_after{r}')} |")
    lines.append("")

    # ---- 5: the rows -------------------------------------------------------------
    lines.append("### The issue's rows")
    lines.append("")
    if "vexlolpd" in unavailable:
        lines.append(f"(a) and (b) not measured: {unavailable['vexlolpd']}.")
        irows = []
    else:
        lines.append(
            f"(a), (b): thread A prints to a printer that accepts and never answers (reply time-out "
            f"{a.stuck_ms / 1000:g} s); {a.healthy_threads} other threads print {a.healthy_jobs} jobs each "
            "to vexlolpd (tools/vexlolpd, a spool of its own, one connection at a time); a job counts as "
            "printed only when vexlolpd's spool holds it."
        )
        lines.append("")
        lines.append("| row | rounds | healthy jobs ok | mean ms | max ms (largest) | thread A (result/errorcode) |")
        lines.append("|---|--:|--:|--:|--:|---|")
        irows = stuck_rows([("vexlolpd alone (baseline)", "issue-base"),
                            ("(a) beside the silent printer, lprtimeout 3 s", "issue-a"),
                            ("(b) beside the silent printer, lprtimeout 30 s", "issue-b")])
        for label, part, ok, jobs, mean, mx, stuck, n, worst in irows:
            lines.append(f"| {label} | {n} | {ok}/{jobs} | {fmt(mean)} | {fmt(mx)} ({fmt(worst)}) | {stuck} |")
    r1, r8 = slow.get(1, (None,))[0], slow.get(8, (None,))[0]
    lines.append("")
    lines.append(f"(c): a server answering each acknowledgement after {a.delay} ms, {a.slow_jobs} jobs a thread "
                 "(the runs of the first table).")
    lines.append("")
    lines.append("| row | jobs/s | × one thread |")
    lines.append("|---|--:|--:|")
    lines.append(f"| (c) 1 thread × {a.slow_jobs} jobs | {fmt(r1)} | 1.00 |")
    lines.append(f"| (c) 8 threads × {a.slow_jobs} jobs | {fmt(r8)} | {fmt(r8 / r1, 2) if r1 and r8 else 'n/a'} |")
    lines.append("")

    # ---- acceptance --------------------------------------------------------------------
    checks = []

    def check(text, value):
        if value is None:
            checks.append(f"- n/a — {text}" + ("" if "not judged" in text else " (figures missing)"))
        else:
            checks.append(f"- {'PASS' if value else 'FAIL'} — {text}")

    for t in sorted(ratios):
        if t > 1:
            check(f"{t} threads behind a slow hop: jobs/s ≥ 0.8 × {t} × the one-thread rate "
                  f"(ratio {fmt(ratios[t], 2)})", ratios[t] >= 0.8 if ratios[t] is not None else None)

    # Beyond noise: the healthy jobs' latency with the silent printer beside them more than
    # twice the baseline's and 10 ms above it.  Taking turns with the silent request would
    # cost seconds: lprtimeout, or its reply time-out.
    def within_noise(base, other):
        if base is None or other is None:
            return None
        return other <= max(2 * base, base + 10)

    def stuck_check(rows, base_part, parts, what):
        base = next((r for r in rows if r[1] == base_part), None)
        for label, part, ok, jobs, mean, mx, stuck, n, worst in rows:
            if part not in parts:
                continue
            check(f"{what} {label}: {ok}/{jobs} healthy jobs printed", ok == jobs and jobs > 0)
            check(f"{what} {label}: healthy latency within noise of the baseline (medians over rounds: mean "
                  f"{fmt(mean)} vs {fmt(base[4] if base else None)} ms, max {fmt(mx)} vs "
                  f"{fmt(base[5] if base else None)} ms; beyond noise: over twice the baseline and over 10 ms "
                  "above it)",
                  (within_noise(base[4], mean) and within_noise(base[5], mx)) if base and mean is not None
                  else None)

    stuck_check(srows, "stuck-0", ("stuck-1",), "sink")
    stuck_check(irows, "issue-base", ("issue-a", "issue-b"), "vexlolpd")
    for u in ("root", "nobody"):
        if u in unavailable:
            continue
        ratio = loop[u] / loop["mini"] if loop[u] and loop["mini"] else None
        check(f"in-process jobs/s as {u} ≥ 0.8 × the minimal client ({fmt(loop[u])} vs {fmt(loop['mini'])}, "
              f"{fmt(ratio, 2)}x)", ratio >= 0.8 if ratio is not None else None)
    if mem_ok:
        fds = [int(num(mem, f"fds_after{r}", -1)) for r in range(1, rounds4 + 1)]
        before = int(num(mem, "fds_before", -1))
        check(f"descriptors after every round equal to before ({before}; after: {', '.join(map(str, fds))})",
              all(f == before for f in fds))
        if a.sanitized:
            check("VmRSS flat after the first round: not judged in a build with a sanitizer (its allocator "
                  "keeps freed memory)", None)
        elif rounds4 >= 2:
            first, last = num(mem, "rss_after1_kb"), num(mem, f"rss_after{rounds4}_kb")
            check(f"VmRSS flat after the first round: after round {rounds4} within max(256 KiB, 2 %) of after "
                  f"round 1 ({fmt(first)} vs {fmt(last)} KiB)", abs(last - first) <= max(256, 0.02 * first))
    else:
        check("memory and descriptors flat", None)
    check(f"(c) 8 threads ≥ 6 × one thread behind a slow hop ({fmt(r8)} vs {fmt(r1)} jobs/s)",
          r8 >= 6 * r1 if r1 and r8 else None)
    lines.append("### Acceptance (figures of this run)")
    lines.append("")
    if a.profile != "full":
        lines.append(f"Profile `{a.profile}`: smaller sizes than the full run; the figures are indicative only.")
        lines.append("")
    lines.extend(checks)
    lines.append("")

    for what, reason in unavailable.items():
        problems.append(f"{what}: not measured: {reason}")
    if problems:
        lines.append("### Problems")
        lines.append("")
        lines.extend(f"- {p}" for p in problems)
        lines.append("")
        lines.append(f"Client and server messages: {a.log}")
        lines.append("")

    text = "\n".join(lines)
    with open(a.out, "w") as f:
        f.write(text)
    print(text)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
