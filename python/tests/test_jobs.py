"""The job handle against vexlolpd, through a relay that fails chosen steps: the Job
after each way a job can end, wait() and remove() in each listing form (and those that
cannot tell), and print_file's retries."""
from __future__ import annotations

import pickle
import threading

import pytest

import vexlolpr

ME, CLIENT = "jobuser", "jobhost"
DATA = b"one line of the job\n" * 30
COUNTED = b"lp@127.0.0.1  1 jobs\n"  # LPRng's short form: a count only


def send(path, printer, **options):
    return vexlolpr.print_file(path, printer, user=ME, client_host=CLIENT, reply_timeout=5, **options)


def failure(path, printer, **options):
    with pytest.raises(vexlolpr.LprError) as caught:
        send(path, printer, **options)
    return caught.value


def spooled(lpd, relay):
    """lp's control files once every connection is over (the server serves one at a
    time: a listing's answer comes after the job's end)."""
    relay.settled()
    lpd.raw_listing()
    return lpd.control_files()


def bsd_form(number):
    return (b"Rank   Owner      Job  Files                                 Total Size\n"
            + f"1st    {ME:<10} {number:<4} job.txt                               600 bytes\n".encode())


def lprng_long(number):
    return (b"Printer: lp@127.0.0.1 'Office'\n Queue: 1 printable job\n"
            b" Rank   Owner/ID                  Class Job Files                 Size Time\n"
            + f"active {ME}@{CLIENT}+{number}  A     {number:03d} job.txt  600 10:21:07\n".encode())


@pytest.fixture
def data(tmp_path):
    (tmp_path / "job.txt").write_bytes(DATA)
    return tmp_path / "job.txt"


@pytest.mark.parametrize("fault, control_first, state, numbered, sent, at_server", [
    (None, False, "queued", True, 600, True),
    (None, True, "queued", True, 600, True),
    (("job", "refuse"), False, "not queued", False, 0, False),
    (("data", "refuse"), False, "not queued", True, 600, False),
    (("data", "reset"), False, "not queued", True, 600, False),
    (("control", "refuse"), False, "not queued", True, 600, False),
    (("control", "reset"), False, "unclear", True, 600, False),
    (("control", "reset-queued"), False, "unclear", True, 600, True),
    (("control", "reset"), True, "not queued", True, 0, False),
    (("data", "reset-queued"), True, "unclear", True, 600, True),
])
def test_job_says_how_far_it_got(relay, lpd, data, fault, control_first, state, numbered, sent, at_server):
    server = relay([fault])
    if state == "queued":
        job = send(data, server.printer, control_first=control_first)
    else:
        error = failure(data, server.printer, control_first=control_first)
        job, copy = error.job, pickle.loads(pickle.dumps(error))
        assert (type(copy), str(copy), vars(copy.job)) == (type(error), str(error), vars(job))
    stem = f"fA{job.number:03d}{CLIENT}"
    assert (job.state, job.number > 0, job.bytes_sent, job.server_number) == (state, numbered, sent, job.number)
    assert (job.control_file, job.data_file) == ((f"c{stem}", f"d{stem}") if numbered else ("", ""))
    assert repr(job) == f"<vexlolpr.Job {job.number} {server.printer} {state}>"
    assert spooled(lpd, server) == ([job.control_file] if at_server else [])


@pytest.mark.parametrize("case, listings, timeout, error, looks", [
    ("held", {}, 0, "job {n} still queued after 0 s", [3, 3]),  # vexlolpd prints nothing
    ("held a while", {}, 1, "job {n} still queued after 1 s", None),
    ("removed meanwhile", {}, 30, None, [3, 3]),
    ("lists nothing", {3: b""}, 0, "cannot follow job {n}: the server lists no jobs", [3]),
    ("form not read", {3: COUNTED, 4: b"Printer lp is ready\n"}, 0,
     "cannot follow job {n}: the listing's form is not known", [3, 4]),
    # The long form is asked once, and from then on.
    ("LPRng", {3: COUNTED, 4: lprng_long}, 0, "job {n} still queued after 0 s", [3, 4, 4]),
    ("renumbered", {3: lambda n: bsd_form(n + 500)}, 0, "job {n} still queued after 0 s", [3, 3, 3]),
])
def test_wait(relay, lpd, data, case, listings, timeout, error, looks):
    server = relay()
    job = send(data, server.printer)
    server.listings = {k: v(job.number) if callable(v) else v for k, v in listings.items()}
    if case == "removed meanwhile":
        server.after = lambda line: line[:1] == b"\3" and lpd.clear()  # once seen listed
    if error is None:
        assert job.wait(timeout, poll=0.05) is None and job.rank is None
    else:
        cls = vexlolpr.CannotTell if "cannot" in error else vexlolpr.WaitTimeout
        with pytest.raises(cls, match=f"^{server.printer}: {error.format(n=job.number)}$") as caught:
            job.wait(timeout, poll=0.05)
        assert caught.value.job is job and isinstance(caught.value, vexlolpr.LprError)
    if error and "still queued" in error:
        assert (job.rank, job.position) == ("active" if case == "LPRng" else "1st", 1)
        with pytest.raises(cls):
            job.wait(timeout=0)  # a second look, in the form found readable
    if case == "renumbered":
        # Followed by the server's number from then on, not by name.
        assert (job.server_number, job.number) == (job.number + 500, int(job.control_file[3:6]))
        server.listings[3] = bsd_form(job.number + 501)
        assert job.wait(timeout=0) is None
    server.settled()
    assert server.commands()[1:] == looks if looks else server.commands().count(3) >= 3


@pytest.mark.parametrize("case, result, sent, left", [
    ("queued", True, [3, 5, 3], False),
    ("gone before", False, [3], False),
    ("server keeps it", (vexlolpr.StillQueued, "job {n} is still in the queue"), [3, 5, 3], True),
    ("lists nothing", (vexlolpr.CannotTell, "job {n}: removal sent; the listing cannot tell whether it was removed"),
     [3, 5, 3], False),
    ("renumbered", True, [3, 5, 3], False),
    ("not queued", False, [], False),
])
def test_remove(relay, lpd, data, case, result, sent, left):
    server = relay([("job", "refuse")] if case == "not queued" else [], drop_removals=case == "server keeps it",
                   listings={3: b""} if case == "lists nothing" else {})
    job = failure(data, server.printer).job if case == "not queued" else send(data, server.printer)
    other = job.number % 999 + 1
    if case == "gone before":
        spooled(lpd, server)
        lpd.clear()
    if case == "renumbered":  # vexlolpd numbers a job by its control file's name
        spooled(lpd, server)
        (lpd.spool / "lp" / job.control_file).rename(lpd.spool / "lp" / f"cfA{other:03d}{CLIENT}")
    if isinstance(result, bool):
        assert job.remove() is result
    else:
        with pytest.raises(result[0], match=f"^{server.printer}: {result[1].format(n=job.number)}$") as caught:
            job.remove()
        assert caught.value.job is job
    assert spooled(lpd, server) == ([job.control_file] if left else [])
    assert server.commands()[1:] == sent
    if case == "renumbered":
        assert job.server_number == other and server.lines[2].endswith(f" {other}\n".encode())


@pytest.mark.parametrize("faults, tries, listings, outcome, connections", [
    # Not queued, then unclear and not listed: sent a third time.
    ([("job", "refuse"), ("control", "reset")], 3, {}, "queued", [2, 2, 3, 2]),
    # Unclear and listed: queued after all, not sent again.
    ([("data", "reset"), ("control", "reset-queued")], 3, {}, "queued", [2, 2, 3]),
    ([("control", "refuse"), ("data", "refuse")], 2, {}, "not queued", [2, 2]),
    # Unclear, and the listing cannot tell: not sent again.
    ([("control", "reset")], 3, {3: COUNTED, 4: b"?\n"}, "unclear", [2, 3, 4]),
    ([("control", "reset")], 3, {3: b""}, "unclear", [2, 3]),
    ([], 3, {}, "local file", []),
])
def test_retry(relay, lpd, data, monkeypatch, faults, tries, listings, outcome, connections):
    server = relay(faults, listings=listings)
    path = data.parent / "missing" if outcome == "local file" else data
    # The file would be there for a second try.
    monkeypatch.setattr(vexlolpr._Steps, "pause", lambda steps, seconds, job=None: path.write_bytes(DATA))
    if outcome == "queued":
        job = send(path, server.printer, retry=tries)
    else:
        error = failure(path, server.printer, retry=tries)
        job = error.job
        assert isinstance(error, vexlolpr.LocalFileError) == (outcome == "local file")
    assert job.state == ("not queued" if outcome == "local file" else outcome)
    assert spooled(lpd, server) == ([job.control_file] if outcome == "queued" else [])
    assert server.commands() == connections


@pytest.mark.parametrize("how", ["token", "cancel()"])
def test_cancel_ends_the_pause_before_a_retry(relay, lpd, data, monkeypatch, how):
    """A minute's pause before the second try: the cancel ends it and nothing is sent again."""
    server, token, posted, pausing = relay([("job", "refuse")]), vexlolpr.CancelToken(), [], threading.Event()
    monkeypatch.setattr(vexlolpr, "_RETRY_PAUSE", 60.0)
    real = vexlolpr._Steps.pause
    monkeypatch.setattr(vexlolpr._Steps, "pause", lambda *args: pausing.set() or real(*args))
    thread = threading.Thread(target=lambda: posted.append(
        pausing.wait(30) and (token.cancel() if how == "token" else vexlolpr.cancel())))
    thread.start()
    try:
        with pytest.raises(vexlolpr.CancelledError, match=r"^interrupted: User cancelled \(error 4601\)$") as caught:
            send(data, server.printer, retry=3, cancel_token=token)
    finally:
        thread.join(30)
    assert posted == [True] and caught.value.job.state == "not queued"
    assert spooled(lpd, server) == [] and server.commands() == [2]
