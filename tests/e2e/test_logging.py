"""The real program logging from the simulated instrument over a pseudo-terminal."""

import datetime
import fcntl
import os
import re
import resource
import shutil
import signal
import subprocess
import time
import unittest
import xml.etree.ElementTree as ElementTree

from harness import (ANNOUNCE, NOT_WRITTEN, REQUEST_FAILED, STAMP, STOPPED, TORVEX, TORVEXSVC,
                     UNATTENDED_ANNOUNCE, WORKED_RECORD, WORKED_REPLY, EndToEnd, logger_command,
                     main, stamp_ms)

CONFIGURE_FAILED = "No se pudieron cambiar los tiempos de comunicacion del puerto\n"


class Logging(EndToEnd):
    def test_worked_example_one_record_and_dot_per_poll(self):
        sim = self.scripted()
        log = self.logger("-p", sim.device, "-s", "1", stdout_path=self.path("log.csv"))
        self.assertTrue(sim.wait_for_requests(3))
        time.sleep(0.7)  # let the third reply end with its 500 ms of silence
        log.interrupt()
        status, err = log.finish()
        requests = sim.requests()
        self.assertEqual(status, 0)
        self.assertEqual(log.records(), WORKED_RECORD * len(requests))
        self.assertEqual(err, self.announce(sim) + "." * len(requests) + "\n" + STOPPED)

    def test_requests_are_exact_and_one_period_apart(self):
        sim = self.scripted()
        log = self.logger("-p", sim.device, "-s", "1", "-b", "4800")
        self.assertTrue(sim.wait_for_requests(4))
        log.interrupt()
        self.assertEqual(log.finish()[0], 0)
        requests = sim.requests()
        self.assertTrue(all(what == b"I\r\n" for _, what in requests), requests)
        gaps = [b[0] - a[0] for a, b in zip(requests, requests[1:])]
        for gap in gaps:
            self.assertAlmostEqual(gap, 1000, delta=60, msg=gaps)

    def test_records_on_a_pipe_show_no_dots(self):
        sim = self.scripted()
        log = self.logger("-p", sim.device, "-s", "1", stdout=subprocess.PIPE)
        self.assertTrue(sim.wait_for_requests(2))
        time.sleep(0.7)
        log.interrupt()
        out = log.process.stdout.read()
        log.process.stdout.close()
        status, err = log.finish()
        self.assertEqual(status, 0)
        self.assertEqual(out, WORKED_RECORD * len(sim.requests()))
        self.assertEqual(err, self.announce(sim) + STOPPED)

    def test_a_silent_instrument_gives_no_record_and_no_message(self):
        sim = self.simulator("--silent")
        log = self.logger("-p", sim.device, "-s", "1", stdout_path=self.path("log.csv"))
        self.assertTrue(sim.wait_for_requests(2))
        log.interrupt()
        status, err = log.finish()
        self.assertEqual(status, 0)
        self.assertEqual(log.records(), b"")
        self.assertEqual(err, self.announce(sim) + "." * len(sim.requests()) + "\n" + STOPPED)

    def test_stop_signals_end_the_run_in_order(self):
        # Ctrl-C in the wait ends at once; in a poll, after its record; the
        # other termination signals act like Ctrl-C.
        cases = [
            ("wait", signal.SIGINT, ["--delay", "20"], 0.9),
            ("poll", signal.SIGINT, ["--delay", "400"], 0.15),
            ("wait", signal.SIGTERM, [], 0.9),
            ("wait", signal.SIGHUP, [], 0.9),
            ("poll", signal.SIGQUIT, ["--delay", "400"], 0.15),
        ]
        for moment, sig, options, after_request in cases:
            with self.subTest(moment=moment, signal=sig.name):
                sim = self.scripted(WORKED_REPLY, *options)
                log = self.logger("-p", sim.device, "-s", "5",
                                  stdout_path=self.path("log-%s.csv" % sig.name))
                self.assertTrue(sim.wait_for_requests(1))
                time.sleep(after_request)
                sent = time.monotonic()
                log.interrupt(sig)
                status, err = log.finish()
                took = time.monotonic() - sent
                self.assertEqual(status, 0)
                self.assertEqual(len(sim.requests()), 1)
                self.assertEqual(log.records(), WORKED_RECORD)
                self.assertTrue(err.endswith(".\n" + STOPPED), err)
                if moment == "wait":
                    self.assertLess(took, 0.3)
                else:  # the rest of the reply, then its 500 ms of silence
                    self.assertGreater(took, 0.6)

    def test_a_record_is_in_the_file_before_the_stop(self):
        sim = self.scripted()
        log = self.logger("-p", sim.device, "-s", "30", stdout_path=self.path("log.csv"))
        self.assertTrue(sim.wait_for_requests(1))
        deadline = time.monotonic() + 3
        while log.records() != WORKED_RECORD and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertEqual(log.records(), WORKED_RECORD)
        log.interrupt()
        self.assertEqual(log.finish()[0], 0)

    def traced(self, sim, calls, name, out=subprocess.DEVNULL):
        """The logger at -s 1 under strace, which writes the given calls to
        the file `name`; returns (tracer, trace path)."""
        trace = self.path(name)
        tracer = subprocess.Popen(
            ["strace", "-qq", "-o", trace, "-e", "trace=" + calls,
             *logger_command("-p", sim.device, "-s", "1")],
            stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.DEVNULL,
            # The sanitized build's leak check cannot run under ptrace.
            env=dict(os.environ, ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "")
                     + ":detect_leaks=0"))
        self.addCleanup(tracer.kill)
        return tracer, trace

    def stop_traced(self, tracer):
        """Ctrl-C for the traced logger."""
        with open("/proc/%d/task/%d/children" % (tracer.pid, tracer.pid)) as children:
            os.kill(int(children.read().split()[0]), signal.SIGINT)

    def test_each_record_reaches_the_disk_before_the_next_request(self):
        # strace shows the order of the program's writes and disk syncs.
        # Records to a file are synced one by one; records to a pipe are not.
        for to_file in (True, False):
            with self.subTest(to_file=to_file):
                sim = self.scripted()
                out = open(self.path("log.csv"), "wb") if to_file else subprocess.PIPE
                tracer, trace = self.traced(sim, "write,fsync,fdatasync",
                                            "trace-%s.txt" % to_file, out)
                if to_file:
                    out.close()
                self.assertTrue(sim.wait_for_requests(3))
                time.sleep(0.7)  # the third reply ends with its 500 ms of silence
                self.stop_traced(tracer)
                if not to_file:
                    tracer.stdout.read()
                    tracer.stdout.close()
                self.assertEqual(tracer.wait(timeout=10), 0)
                steps = []
                with open(trace) as calls:
                    for call in calls:
                        if call.startswith('write(1, "HDR'):
                            steps.append("record")
                        elif call.startswith("fdatasync(1)") and call.rstrip().endswith("= 0"):
                            steps.append("sync")
                        elif '"I\\r\\n", 3)' in call:
                            steps.append("request")
                        elif call.startswith(("fdatasync", "fsync")):
                            steps.append(call.strip())
                polls = len(sim.requests())
                per_poll = "request record sync" if to_file else "request record"
                self.assertEqual(" ".join(steps), " ".join([per_poll] * polls))

    def test_unattended_a_new_file_is_named_on_the_disk_before_its_first_record_is_synced(self):
        # torvexsvc under strace: the records file it makes has its folder
        # synced before the first record's sync (else a power cut could lose
        # the name of a file whose records were reported synced); the metrics
        # file is only ever replaced whole, by renaming a temporary one over
        # it, and goes at the stop.
        sim = self.scripted()
        folder, metrics = self.path("records"), self.path("metrics")
        os.mkdir(folder)
        os.mkdir(metrics)
        trace = self.path("unattended-trace.txt")
        tracer = subprocess.Popen(
            ["strace", "-qq", "-o", trace, "-e", "trace=openat,fsync,fdatasync,rename,renameat,renameat2,unlink,unlinkat",
             *logger_command("run", "ttyT", "-p", sim.port, "-s", "1", program=TORVEXSVC)],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            env=dict(os.environ, LOGS_DIRECTORY=folder, TORVEX_METRICS_DIRECTORY=metrics,
                     ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0"))
        self.addCleanup(tracer.kill)
        self.assertTrue(sim.wait_for_requests(3))
        time.sleep(0.7)
        self.stop_traced(tracer)
        self.assertEqual(tracer.wait(timeout=10), 0)
        steps, folder_fd = [], None
        with open(trace) as calls:
            for call in calls:
                result = call.rsplit("= ", 1)[-1].split()[0]
                if "ttyT-" in call and "O_CREAT" in call:
                    steps.append("make " + ("excl" if "O_EXCL" in call else "plain"))
                elif call.startswith("openat") and "O_DIRECTORY" in call:
                    folder_fd = result
                elif folder_fd and call.startswith("fsync(%s)" % folder_fd):
                    steps.append("folder synced")
                elif call.startswith("fdatasync"):
                    steps.append("record synced")
                elif ".prom" in call and call.startswith("openat"):
                    steps.append("metrics opened" + (" whole" if '.prom.tmp"' in call
                                                     and "O_TRUNC" in call else " in place"))
                # rename and unlink, or their *at forms (arm64 has no others)
                elif call.startswith("rename") and '.prom.tmp", ' in call and call.rstrip().endswith("= 0"):
                    steps.append("metrics renamed")
                elif call.startswith("unlink") and 'torvex-ttyT.prom"' in call:
                    steps.append("metrics removed")
        # At -s 1 the metrics are written after the first poll, then 10 s later.
        whole = ["metrics opened whole", "metrics renamed"]
        self.assertEqual(steps, ["make excl", "folder synced", "record synced"] + whole
                         + ["record synced"] * (len(sim.requests()) - 1) + ["metrics removed"])

    def test_each_chunk_the_line_hands_over_costs_one_wait_and_one_read(self):
        # Seen through strace, however the line delivers the reply: each read
        # of the port brings bytes and follows one wait, so there are no more
        # reads than the simulator made writes; one more wait finds the
        # silence that ends the reply. No read finds nothing.
        for delivery in ("byte", "fifo", "usb"):
            with self.subTest(delivery=delivery):
                sim = self.scripted(WORKED_REPLY, "--baud", "9600", "--delivery", delivery)
                tracer, trace = self.traced(sim, "read,ppoll,write", "calls-%s.txt" % delivery)
                self.assertTrue(sim.wait_for_requests(3))
                time.sleep(0.7)
                self.stop_traced(tracer)
                self.assertEqual(tracer.wait(timeout=10), 0)
                polls = []  # [waits, [bytes of each read]] on the port, per poll
                with open(trace) as calls:
                    for call in calls:
                        request = re.match(r'write\((\d+), "I\\r\\n", 3\)', call)
                        if request:
                            port = request.group(1)
                            polls.append([0, []])
                        elif polls and call.startswith("ppoll([{fd=%s," % port):
                            polls[-1][0] += 1
                        elif polls and call.startswith("read(%s," % port):
                            polls[-1][1].append(int(call.rsplit("=", 1)[1]))
                writes = [int(what.split(":")[1]) for _, what in sim.log()
                          if isinstance(what, str) and what.startswith("delivered:")]
                self.assertEqual(len(polls), len(sim.requests()))
                self.assertEqual(len(writes), len(polls))
                for (waits, reads), written in zip(polls, writes):
                    self.assertTrue(all(count > 0 for count in reads), reads)
                    self.assertEqual(sum(reads), len(WORKED_REPLY))
                    self.assertLessEqual(len(reads), written)
                    self.assertEqual(waits, len(reads) + 1)

    def test_a_busy_port_is_not_shared(self):
        sim = self.scripted()
        first = self.logger("-p", sim.device, "-s", "1")
        self.assertTrue(sim.wait_for_requests(1))
        second = self.logger("-p", sim.device)
        status, err = second.finish()
        self.assertEqual((status, err), (1, self.announce(sim) + "No se pudo abrir el puerto\n"))
        first.interrupt()
        self.assertEqual(first.finish()[0], 0)
        # Another program's lock counts too, even for root.
        with open(sim.device, "rb", buffering=0) as holder:
            fcntl.flock(holder, fcntl.LOCK_EX | fcntl.LOCK_NB)
            status, err = self.logger("-p", sim.device).finish()
        self.assertEqual(status, 1)
        self.assertTrue(err.endswith("No se pudo abrir el puerto\n"))

    def test_a_path_that_is_no_terminal_is_left_untouched(self):
        plain = self.path("plain.txt")
        with open(plain, "wb") as out:
            out.write(b"keep me\n")
        before = os.stat(plain)
        done = subprocess.run(logger_command("-p", "./plain.txt", program=os.path.abspath(TORVEX)),
                              cwd=self.scratch, capture_output=True, stdin=subprocess.DEVNULL,
                              timeout=10)
        self.assertEqual(done.returncode, 1)
        self.assertEqual(done.stderr.decode(),
                         ANNOUNCE.format("./PLAIN.TXT", 9600) + CONFIGURE_FAILED)
        after = os.stat(plain)
        with open(plain, "rb") as back:
            self.assertEqual(back.read(), b"keep me\n")
        self.assertEqual((before.st_size, before.st_mtime_ns), (after.st_size, after.st_mtime_ns))

    def test_records_that_cannot_be_written_are_reported(self):
        sim = self.scripted()
        with open("/dev/full", "wb") as full:
            log = self.logger("-p", sim.device, "-s", "1", stdout=full)
        self.assertTrue(sim.wait_for_requests(2))
        time.sleep(0.7)
        log.interrupt()
        status, err = log.finish()
        self.assertEqual(status, 1)
        self.assertEqual(err, self.announce(sim) + NOT_WRITTEN * len(sim.requests()) + STOPPED)

    def test_a_file_at_its_size_limit_is_reported_not_fatal(self):
        # 100 bytes hold four records and a part of the fifth, which is cut back out.
        sim = self.scripted()
        path = self.path("limited.csv")
        with open(path, "wb") as out:
            log = subprocess.Popen(
                logger_command("-p", sim.device, "-s", "1"),
                stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.PIPE,
                preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (100, 100)))
        self.addCleanup(log.kill)
        self.assertTrue(sim.wait_for_requests(6))
        time.sleep(0.7)
        log.send_signal(signal.SIGINT)
        err = log.stderr.read().decode()
        log.stderr.close()
        self.assertEqual(log.wait(timeout=10), 1)
        polls = len(sim.requests())
        self.assertEqual(err, self.announce(sim) + "." * 4
                         + (("." + NOT_WRITTEN) * (polls - 4)) + "\n" + STOPPED)
        with open(path, "rb") as back:
            self.assertEqual(back.read(), WORKED_RECORD * 4)

    def test_a_vanished_instrument_is_reported_each_period(self):
        sim = self.scripted(WORKED_REPLY, "--vanish-after", "1", link=True)
        log = self.logger("-p", sim.port, "-s", "1", stdout_path=self.path("log.csv"))
        self.assertTrue(sim.wait_for(lambda entries: any(w == "vanished" for _, w in entries)))
        time.sleep(2.5)
        log.interrupt()
        status, err = log.finish()
        self.assertEqual(status, 0)
        self.assertEqual(log.records(), WORKED_RECORD)
        failures = err.count(REQUEST_FAILED)
        self.assertIn(failures, (2, 3))
        self.assertEqual(err, self.announce(sim) + "." + ("." + REQUEST_FAILED) * failures
                         + "\n" + STOPPED)

    def test_the_unattended_run_stamps_each_record_as_its_request_goes_out(self):
        # torvexsvc as the service runs it: whole records in the file of their
        # stamp's day (under 3 s) or month, each stamped with the wall clock
        # as its request reached the instrument (the simulator's log), not
        # as the reply ended half a second later; a stop signal ends it in order.
        record = WORKED_RECORD.decode()
        for seconds, sig, date_length in (("1", signal.SIGTERM, 10), ("3", signal.SIGINT, 7)):
            with self.subTest(seconds=seconds, signal=sig.name):
                sim = self.scripted()
                folder = self.path("records-" + seconds)
                status, err = self.unattended(sim, folder, seconds, 2, sig)
                self.assertEqual(status, 0)
                announce = UNATTENDED_ANNOUNCE.format(sim.port.upper(), 9600, seconds)
                self.assertRegex(err, "^%s %s%s %s$" % (STAMP, re.escape(announce), STAMP, STOPPED))
                lines = []
                for name in sorted(os.listdir(folder)):
                    with open(os.path.join(folder, name), newline="") as records:
                        for line in records.read().splitlines(keepends=True):
                            self.assertRegex(line, "^%s,%s$" % (STAMP, re.escape(record)))
                            self.assertEqual(name, "ttyUSB0-%s.csv" % line[:date_length])
                            lines.append(line)
                requests = sim.requests()
                self.assertEqual(len(lines), len(requests))
                late_ms = [round(sim.wall_ms(ms) - stamp_ms(line[:23]), 1)
                           for line, (ms, _) in zip(lines, requests)]
                self.assertTrue(all(abs(late) < 50 for late in late_ms),
                                "requests reached the instrument this many ms after their "
                                "stamps: %s" % late_ms)


# Office's flat XML: a cell's type and value, and the text it shows.
OFFICE = "{urn:oasis:names:tc:opendocument:xmlns:office:1.0}"
TABLE = "{urn:oasis:names:tc:opendocument:xmlns:table:1.0}"
TEXT = "{urn:oasis:names:tc:opendocument:xmlns:text:1.0}"


def calc_rows(fods):
    """[[(value type, value, shown text), ...], ...]: the rows of a flat ODF
    spreadsheet, empty cells at the ends of rows and empty rows left out."""
    rows = []
    for row in ElementTree.parse(fods).iter(TABLE + "table-row"):
        cells = [(cell.get(OFFICE + "value-type"),
                  cell.get(OFFICE + "date-value", cell.get(OFFICE + "value")),
                  "\n".join("".join(p.itertext()) for p in cell.iter(TEXT + "p")))
                 for cell in row.iter(TABLE + "table-cell")]
        while cells and cells[-1][0] is None:
            cells.pop()
        if cells:
            rows.append(cells)
    return rows


@unittest.skipUnless(shutil.which("soffice"), "LibreOffice Calc (soffice) is not installed: "
                     "Debian package libreoffice-calc-nogui")
class Spreadsheet(EndToEnd):
    def test_calc_reads_the_stamp_as_a_date_and_time_and_the_record_after_it(self):
        # A month's file of torvexsvc, converted by Calc with its defaults, as
        # a user opens it: each row a date-time cell that shows the stamp,
        # then the record's fields split at its commas ("40.2%;7,25" gives
        # the text "40.2%;7" and the start of the next field).
        sim = self.simulator()
        folder = self.path("records")
        self.assertEqual(self.unattended(sim, folder, "3", 3)[0], 0)
        files = sorted(os.listdir(folder))
        converted = self.path("calc")
        # A profile of its own, so that soffice runs as root and beside another.
        done = subprocess.run(
            ["soffice", "-env:UserInstallation=file://" + self.path("calc-profile"),
             "--headless", "--convert-to", "fods", "--outdir", converted,
             *(os.path.join(folder, name) for name in files)],
            stdin=subprocess.DEVNULL, capture_output=True, timeout=180)
        self.assertEqual(done.returncode, 0, done.stderr)
        rows = 0
        for name in files:
            with open(os.path.join(folder, name)) as records:
                lines = records.read().splitlines()
            table = calc_rows(os.path.join(converted, name[:-len("csv")] + "fods"))
            self.assertEqual(len(table), len(lines), table)
            for line, cells in zip(lines, table):
                stamp, record = line.split(",", 1)
                kind, value, shown = cells[0]
                self.assertEqual((kind, shown), ("date", stamp),
                                 "Calc made %s of %s" % (cells, line))
                # Calc writes the value to the hundredth of a second.
                when = datetime.datetime.fromisoformat(value).replace(tzinfo=datetime.timezone.utc)
                self.assertLess(abs(when.timestamp() * 1000 - stamp_ms(stamp)), 10, cells)
                fields = record.split(",")
                self.assertEqual(len(cells) - 1, len(fields), cells)
                for (kind, value, shown), field in zip(cells[1:], fields):
                    self.assertEqual(float(value) if kind == "float" else (kind, shown),
                                     float(field) if kind == "float" else ("string", field),
                                     "Calc made %s of %s" % (cells, line))
            rows += len(lines)
        self.assertEqual(rows, len(sim.requests()))


if __name__ == "__main__":
    main()
