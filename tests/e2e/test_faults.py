"""Faults from outside the program: an instrument that vanishes, comes back
or never stops talking, bursts of stop signals, an output nobody reads, a
full disk, and a long run. In each the logger must neither crash, hang nor lose a record, and
must end as it always does.

TORVEX_SOAK_SECONDS sets the length of the real-time soak (default 60);
TORVEX_FAULT_SEED repeats a particular run of the signal bursts."""

import os
import random
import select
import signal
import subprocess
import sys
import time
import unittest

from harness import (NOT_WRITTEN, REQUEST_FAILED, STOPPED, WORKED_RECORD, WORKED_REPLY,
                     EndToEnd, UntouchedFile)

# What the simulator's --stream sends over and over, carriage returns aside.
STREAM_TEXT = b"S,21.50,40.2%,7.25\nQ,1013.4,0.5%\n"
REPLY_LIMIT = 2047
CLOCK_TICK = os.sysconf("SC_CLK_TCK")


def default_record(n):
    """The record of the simulator's n-th default reply."""
    t, h = 2100 + (n % 20) * 5, 400 + (n % 10) * 2
    d, p = 700 + (n % 8) * 25, 10130 + (n % 15) * 4
    return b"VARNOD,SN 0417,FW 2.3,%d.%02d,%d.%d%%;%d,%02d;%d,%d\n" % (
        t // 100, t % 100, h // 10, h % 10, d // 100, d % 100, p // 10, p % 10)


def record_of(text):
    """A plain model of the conversion, for text already stripped of
    carriage returns and cut at 2047 characters."""
    text = text.split(b"\0")[0]
    cursor = 0
    while True:
        line_feed = text.find(b"\n", cursor)
        if line_feed < 0 or len(text) - line_feed - 1 < 2:
            break
        comma = text.find(b",", line_feed + 1)
        if comma < 0:
            break
        text = text[:line_feed] + text[comma:]
        cursor = line_feed
    start = text.find(b"%", 1)
    if start < 1:
        return text
    return text[:start] + text[start:].translate(bytes.maketrans(b",.", b";,"))


# A reply of whole lines: each record of 1278 bytes ends its own line, and
# three of them fit in a page.
FULL_DISK_REPLY = 18 + 126 * 16


def long_reply(number, count):
    """The simulator's --long reply, carriage returns left out."""
    text, line = b"", 1
    while len(text) < count:
        text += b"R%06d,1.5%%,2.25\n" % number if line == 1 else b"L%04d,1.5%%,2.25\n" % line
        line += 1
    return text[:count]


def fill_all_but_one_page(test, disk):
    """Mounts a small file system at `disk` and fills all of it but one page,
    so that a record is torn where that page ends. Returns the filler's path."""
    if os.geteuid() != 0:
        test.skipTest("mounting a small file system needs root")
    page = os.sysconf("SC_PAGE_SIZE")
    os.mkdir(disk)
    subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%d" % (16 * page), "torvex-full", disk],
                   check=True)
    test.cleanups.append(lambda: subprocess.run(["umount", "-l", disk]))
    filler = os.path.join(disk, "filler")
    out = os.open(filler, os.O_WRONLY | os.O_CREAT)
    try:
        while os.write(out, b"x" * page):
            pass
    except OSError:
        pass
    os.ftruncate(out, os.fstat(out).st_size - page)
    os.close(out)
    return filler


def assert_whole_records_only(test, progress, records, polls, line_end=b"\n"):
    """After a full disk: every line of the file is a whole record, in order,
    a run of polls from the fourth on is missing, each with its message after
    the poll's dot, and writing resumed after them."""
    progress = progress.replace("\r\n", "\n")
    dots = progress[:-len("\n" + STOPPED)].split(".")[1:]
    test.assertEqual(len(dots), polls, progress)
    missing = [n for n, after in enumerate(dots, 1) if after == NOT_WRITTEN]
    test.assertGreaterEqual(len(missing), 2, progress)
    test.assertEqual(missing, list(range(4, 4 + len(missing))))
    test.assertLess(missing[-1], polls)
    test.assertEqual(progress, "".join(
        "." + (NOT_WRITTEN if n in missing else "") for n in range(1, polls + 1)) +
        "\n" + STOPPED)
    test.assertEqual(records, b"".join(
        record_of(long_reply(n, FULL_DISK_REPLY)).replace(b"\n", line_end)
        for n in range(1, polls + 1) if n not in missing))


def cpu_seconds(pid):
    """User plus system time the process has used so far."""
    with open("/proc/%d/stat" % pid) as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / CLOCK_TICK


def resident_kib(pid):
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise AssertionError("no VmRSS for %d" % pid)


def descriptors(pid):
    """The open descriptors and what each one leads to."""
    folder = "/proc/%d/fd" % pid
    found = {}
    for name in os.listdir(folder):
        try:
            found[int(name)] = os.readlink(os.path.join(folder, name))
        except FileNotFoundError:
            pass
    return found


def holds(pid, device):
    """Whether the process has `device` open, though it may have vanished."""
    return any(target in (device, device + " (deleted)")
               for target in descriptors(pid).values())


def wait_until(predicate, timeout=10.0, interval=0.01):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            return False
        time.sleep(interval)
    return True


def request_gaps(sim):
    times = [ms for ms, _ in sim.requests()]
    return [b - a for a, b in zip(times, times[1:])]


def figure(text):
    """One line of figures for scripts/reliability to collect."""
    print("figure: " + text, file=sys.stderr, flush=True)


class Faults(EndToEnd):
    def wait_for_output(self, log, expected, timeout):
        deadline = time.monotonic() + timeout
        while log.records() != expected and time.monotonic() < deadline:
            time.sleep(0.02)
        self.assertEqual(log.records(), expected)

    def test_a_vanished_instrument_costs_no_cpu_and_the_stop_still_works(self):
        sim = self.simulator("--vanish-after", "2", link=True)
        log = self.logger("-p", sim.port, "-s", "1", stdout_path=self.path("log.csv"))
        self.assertTrue(sim.wait_for(lambda entries: "vanished" in (w for _, w in entries)))
        pid = log.process.pid
        # The hold on the vanished device goes at the next request at the latest.
        self.assertTrue(wait_until(lambda: not holds(pid, sim.device), 1.2))
        before_cpu, before_fds = cpu_seconds(pid), descriptors(pid)
        time.sleep(3.0)
        used = cpu_seconds(pid) - before_cpu
        figure("vanished instrument: %.2f s of CPU in 3 s" % used)
        self.assertLess(used, 0.1)  # a busy loop would take the whole 3 s
        # Nothing left behind by the attempts to open it again.
        self.assertEqual(descriptors(pid), before_fds)
        self.assertIsNone(log.process.poll())
        sent = time.monotonic()
        log.interrupt()
        status, err = log.finish()
        self.assertLess(time.monotonic() - sent, 0.5)
        self.assertEqual(status, 0)
        self.assertEqual(log.records(), default_record(1) + default_record(2))
        failures = err.count(REQUEST_FAILED)
        self.assertIn(failures, (3, 4, 5))  # one per period of the 3 s or so since
        self.assertEqual(err, self.announce(sim) + ".." + ("." + REQUEST_FAILED) * failures
                         + "\n" + STOPPED)

    def test_an_unplugged_instrument_is_logged_again_once_it_is_back(self):
        # Unplugged in the wait after its second reply, or 100 ms after the
        # reply's last byte, while the logger waits for the silence that ends
        # it: the read notices the hang-up then, and the port goes at once.
        # Meanwhile its stable name leads nowhere, or to a regular file, which
        # must be left as it is. The run goes on either way.
        cases = [
            ("in the wait", "600", "nothing", 1200),
            ("in the wait", "600", "a regular file", 1200),
            ("in the reply's silence", "100", "nothing", 250),
        ]
        for number, (moment, quiet, meanwhile, closed_within_ms) in enumerate(cases):
            with self.subTest(unplugged=moment, name_leads_to=meanwhile):
                sim = self.simulator("--replug-after", "2", "--gap", "3500", "--quiet", quiet,
                                     link=True)
                log = self.logger("-p", sim.port, "-s", "1",
                                  stdout_path=self.path("log%d.csv" % number))
                pid = log.process.pid
                self.assertTrue(sim.wait_for(lambda entries: "vanished" in (w for _, w in entries)))
                seen = time.monotonic()
                if meanwhile == "a regular file":
                    plain = UntouchedFile(self.path("plain.txt"))
                    os.symlink(plain.path, self.path("staged"))
                    os.replace(self.path("staged"), sim.port)
                self.assertTrue(wait_until(lambda: not holds(pid, sim.device),
                                           closed_within_ms / 1000))
                closed_ms = (time.monotonic() - seen) * 1000
                cpu = cpu_seconds(pid)
                device = sim.next_device()
                self.assertIsNotNone(device, "the simulator did not come back")
                outage_cpu = cpu_seconds(pid) - cpu
                # Polling takes up again within one period of the return.
                self.assertTrue(sim.wait_for_requests(4))
                returned_ms = sim.ms_to_request_after_replug()
                self.assertLess(returned_ms, 1060)
                self.assertTrue(holds(pid, device))
                time.sleep(0.7)  # the last reply ends with its 500 ms of silence
                log.interrupt()
                status, err = log.finish()
                polls = len(sim.requests())
                figure("instrument unplugged %s, its name leading to %s meanwhile: port closed "
                       "%.0f ms after the loss, %.3f s of CPU in the outage, requests again "
                       "%.0f ms after its return"
                       % (moment, meanwhile, closed_ms, outage_cpu, returned_ms))
                self.assertLess(outage_cpu, 0.1)
                self.assertEqual(status, 0)
                self.assertEqual(log.records(),
                                 b"".join(default_record(n) for n in range(1, polls + 1)))
                failures = err.count(REQUEST_FAILED)
                self.assertIn(failures, (3, 4, 5))  # the 3.5 s away and the time before
                self.assertEqual(err, self.announce(sim) + ".." + ("." + REQUEST_FAILED) * failures
                                 + "." * (polls - 2) + "\n" + STOPPED)
                if meanwhile == "a regular file":
                    plain.assert_untouched(self)

    def test_a_reply_that_never_stops_gives_whole_records_on_time(self):
        # One byte a millisecond: a poll ends at 2047 characters, never by
        # silence, and takes about 2.2 s of the 3 s period.
        sim = self.simulator("--stream", "1")
        log = self.logger("-p", sim.device, "-s", "3", stdout_path=self.path("log.csv"))
        stream = STREAM_TEXT * (5 * REPLY_LIMIT // len(STREAM_TEXT) + 1)
        # Each poll takes up where the last one stopped: nothing is dropped.
        expected = [record_of(stream[k * REPLY_LIMIT:(k + 1) * REPLY_LIMIT]) for k in range(4)]
        self.wait_for_output(log, expected[0], timeout=5)
        first_kib = resident_kib(log.process.pid)
        self.wait_for_output(log, b"".join(expected[:3]), timeout=10)
        last_kib = resident_kib(log.process.pid)
        log.interrupt()
        status, err = log.finish()
        polls = len(sim.requests())
        self.assertEqual(status, 0)
        self.assertIn(polls, (3, 4))
        self.assertEqual(log.records(), b"".join(expected[:polls]))
        self.assertEqual(err, self.announce(sim) + "." * polls + "\n" + STOPPED)
        for gap in request_gaps(sim):
            self.assertAlmostEqual(gap, 3000, delta=60, msg=request_gaps(sim))
        figure("endless reply: %d polls of 2047 characters, resident %d then %d KiB"
               % (polls, first_kib, last_kib))
        self.assertLessEqual(last_kib - first_kib, 64)

    def test_bursts_of_signals_end_every_run_once_and_in_order(self):
        seed = int(os.environ.get("TORVEX_FAULT_SEED", str(time.time_ns() % 100000)))
        rng = random.Random(seed)
        kinds = [signal.SIGINT, signal.SIGTERM, signal.SIGHUP]
        # Replies 300 ms after the request, then 500 ms of silence: a stop
        # lands in a poll or in a wait about equally often.
        sim = self.scripted(WORKED_REPLY, "--delay", "300")
        runs, per_run, sent = 12, 10, 0
        for run in range(runs):
            to_file = run % 2 == 0
            with self.subTest(run=run, seed=seed, to_file=to_file):
                before = len(sim.requests())
                if to_file:
                    log = self.logger("-p", sim.device, "-s", "1",
                                      stdout_path=self.path("log%d.csv" % run))
                else:
                    log = self.logger("-p", sim.device, "-s", "1", stdout=subprocess.PIPE)
                # The stop handler is in place once the first request is out.
                self.assertTrue(sim.wait_for_requests(before + 1))
                time.sleep(rng.uniform(0, 1.8))
                for _ in range(per_run):
                    log.process.send_signal(rng.choice(kinds))  # never after it is reaped
                    sent += 1
                    time.sleep(rng.uniform(0, 0.004))
                status, err = log.finish()
                if to_file:
                    records = log.records()
                else:
                    records = log.process.stdout.read()
                    log.process.stdout.close()
                polls = len(sim.requests()) - before
                self.assertEqual(status, 0)
                self.assertGreaterEqual(polls, 1)
                self.assertEqual(records, WORKED_RECORD * polls)
                dots = "." * polls + "\n" if to_file else ""
                self.assertEqual(err, self.announce(sim) + dots + STOPPED)
        figure("signal bursts: %d signals over %d runs (seed %d), each run ended once"
               % (sent, runs, seed))

    def test_an_output_closed_by_its_reader_is_reported_and_the_run_goes_on(self):
        reported = 0
        for kept in (0, 1):
            with self.subTest(records_read_before_closing=kept):
                sim = self.scripted(WORKED_REPLY)
                log = self.logger("-p", sim.device, "-s", "1", stdout=subprocess.PIPE)
                out = log.process.stdout
                got = b""
                while len(got) < kept * len(WORKED_RECORD):
                    ready, _, _ = select.select([out], [], [], 5)
                    self.assertTrue(ready, "no record within 5 s")
                    got += os.read(out.fileno(), 4096)
                out.close()
                self.assertEqual(got, WORKED_RECORD * kept)
                # Not killed by the broken pipe: it goes on polling.
                self.assertTrue(sim.wait_for_requests(kept + 3),
                                "the logger ended with %r" % log.process.poll())
                time.sleep(0.7)  # the last reply ends with its 500 ms of silence
                log.interrupt()
                status, err = log.finish()
                polls = len(sim.requests())
                self.assertEqual(status, 1)
                self.assertEqual(err, self.announce(sim) + NOT_WRITTEN * (polls - kept) + STOPPED)
                for gap in request_gaps(sim):
                    self.assertAlmostEqual(gap, 1000, delta=60, msg=request_gaps(sim))
                reported += polls - kept
        figure("output closed by its reader: %d records reported unwritten, every run "
               "ended in order with status 1" % reported)

    def test_a_full_disk_leaves_whole_records_only_and_writing_resumes(self):
        disk = self.path("disk")
        filler = fill_all_but_one_page(self, disk)
        sim = self.simulator("--long", str(FULL_DISK_REPLY))
        log = self.logger("-p", sim.device, "-s", "1", stdout_path=os.path.join(disk, "log.csv"))
        self.assertTrue(wait_until(lambda: log.stderr_so_far().count(NOT_WRITTEN) >= 2, 15),
                        log.stderr_so_far())
        os.remove(filler)
        written_before = len(sim.requests()) - 2
        self.assertTrue(wait_until(lambda: log.records().count(b"\n") >= written_before + 2, 10))
        log.interrupt()
        status, err = log.finish()
        self.assertEqual(status, 1)
        assert_whole_records_only(self, err[len(self.announce(sim)):], log.records(),
                                  len(sim.requests()))

class Soak(EndToEnd):
    """A long run of real polls; a test of its own, so that it can run beside the others."""

    def test_soak_memory_and_descriptors_stay_flat(self):
        seconds = float(os.environ.get("TORVEX_SOAK_SECONDS", "60"))
        sim = self.simulator()
        log = self.logger("-p", sim.device, "-s", "1", stdout_path=self.path("log.csv"))
        pid = log.process.pid
        # Settled once the first records are written (the stream's buffer exists).
        self.assertTrue(sim.wait_for_requests(3))
        time.sleep(0.7)
        base_kib, base_fds, base_cpu = resident_kib(pid), descriptors(pid), cpu_seconds(pid)
        peak_kib = base_kib
        started = time.monotonic()
        while time.monotonic() - started < seconds:
            time.sleep(1.0)
            self.assertIsNone(log.process.poll())
            peak_kib = max(peak_kib, resident_kib(pid))
            self.assertEqual(descriptors(pid), base_fds)
        used = cpu_seconds(pid) - base_cpu
        log.interrupt()
        status, err = log.finish()
        polls = len(sim.requests())
        figure("soak: %d real polls in %.0f s, resident %d KiB at most %d KiB, %d descriptors, "
               "%.2f s of CPU" % (polls, seconds + 3, base_kib, peak_kib, len(base_fds), used))
        self.assertEqual(status, 0)
        self.assertEqual(err, self.announce(sim) + "." * polls + "\n" + STOPPED)
        self.assertEqual(log.records(), b"".join(default_record(n) for n in range(1, polls + 1)))
        gaps = request_gaps(sim)
        self.assertGreaterEqual(polls, int(seconds))
        for gap in gaps:
            self.assertAlmostEqual(gap, 1000, delta=60, msg=gaps)
        self.assertLessEqual(peak_kib - base_kib, 64)
        self.assertLess(used, 0.02 * seconds + 0.1)


if __name__ == "__main__":
    unittest.main()
