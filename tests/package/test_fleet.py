"""A fleet of boards: the records of two boards' loggers reach one central
store through rsyslog and RELP, set up by the package's example files
torvex-edge.conf and torvex-central.conf, with nothing lost across an outage
of the central side and a restart or kill of a board's rsyslog.

Two edge rsyslogd (boards with host names of their own) and one central
rsyslogd run on loopback ports, each with its own work folder, configuration
and pid file; each edge follows the records file of a logger that polls the
simulator at -s 1. The shipped files are used as they are, with only their
paths, host and port replaced.

Environment: TORVEX (the program), TORVEX_SIM (the simulator). Run as a
script; it reports itself skipped (status 77) where rsyslog or its RELP
modules are not installed or cannot run."""

import contextlib
import datetime
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from harness import Logger, Simulator  # noqa: E402
from test_faults import wait_until  # noqa: E402

EXAMPLES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                        "packaging", "rsyslog")
# What the test replaces in the shipped files: each must be there exactly once.
EDGE_FOLLOWS = 'file="/var/log/torvex/*.csv"'
EDGE_CENTRAL = 'target="central.example.org" port="2514"'
CENTRAL_LISTENS = 'port="2514"'
CENTRAL_STORE = '"/var/log/torvex-fleet/'
# Stands in for a Debian host's /etc/rsyslog.conf: its work directory, its
# host name, and everything of the default rule set into its own syslog file.
HOST_CONF = """global(workDirectory="{work}" localHostname="{host}")
*.* action(type="omfile" file="{syslog}")
include(file="{snippet}")
"""
BOARDS = [("board-1", "ttyUSB0"), ("board-2", "ttyACM0")]
STAMP = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d")
# A user's PATH may lack the sbin folders.
RSYSLOGD = shutil.which("rsyslogd", path=os.environ.get("PATH", "") + ":/usr/sbin:/sbin")


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def listening(port):
    with socket.socket() as probe:
        return probe.connect_ex(("127.0.0.1", port)) == 0


def lines_of(path):
    if not os.path.exists(path):
        return []
    with open(path, "rb") as text:
        return text.read().splitlines()


def substituted(name, replacements):
    with open(os.path.join(EXAMPLES, name)) as shipped:
        text = shipped.read()
    for old, new in replacements:
        if text.count(old) != 1:
            raise AssertionError("%s: %r is there %d times, not once" % (name, old, text.count(old)))
        text = text.replace(old, new)
    return text


class Rsyslog:
    """One rsyslogd in the foreground, started and stopped by its pid."""

    def __init__(self, folder, host, snippet):
        self.folder = folder
        self.work = os.path.join(folder, "work")
        self.syslog = os.path.join(folder, "syslog")
        self.conf = os.path.join(folder, "rsyslog.conf")
        self.pid_file = os.path.join(folder, "rsyslogd.pid")
        os.makedirs(self.work)
        with open(os.path.join(folder, "snippet.conf"), "w") as out:
            out.write(snippet)
        with open(self.conf, "w") as out:
            out.write(HOST_CONF.format(work=self.work, host=host, syslog=self.syslog,
                                       snippet=os.path.join(folder, "snippet.conf")))
        self.process = None

    def check(self):
        done = subprocess.run([RSYSLOGD, "-N1", "-f", self.conf], capture_output=True,
                              text=True, timeout=30)
        return done.returncode, done.stderr

    def start(self):
        with open(os.path.join(self.folder, "rsyslogd.out"), "ab") as out:
            self.process = subprocess.Popen(
                [RSYSLOGD, "-n", "-f", self.conf, "-i", self.pid_file],
                stdin=subprocess.DEVNULL, stdout=out, stderr=out, start_new_session=True)

    def stop(self, sig=signal.SIGTERM):
        if self.process is None:
            return
        if self.process.poll() is None:
            os.kill(self.process.pid, sig)
            try:
                self.process.wait(timeout=15)
            except subprocess.TimeoutExpired:
                os.kill(self.process.pid, signal.SIGKILL)
                self.process.wait()
                raise AssertionError("rsyslogd in %s did not stop in 15 s" % self.folder)
        self.process = None

    def restart(self, sig=signal.SIGTERM):
        self.stop(sig)
        self.start()


class Board:
    """A logger against the simulator, and the edge rsyslogd that follows
    its records file."""

    def __init__(self, folder, host, instance, port, stack):
        self.host, self.instance = host, instance
        logs = os.path.join(folder, "log")
        os.makedirs(logs)
        self.records_path = os.path.join(logs, instance + ".csv")
        self.edge = Rsyslog(os.path.join(folder, "rsyslog"), host, substituted(
            "torvex-edge.conf", [(EDGE_FOLLOWS, 'file="%s/*.csv"' % logs),
                                 (EDGE_CENTRAL, 'target="127.0.0.1" port="%d"' % port)]))
        self.sim = Simulator()
        stack.callback(self.sim.close)
        self.logger = None
        self.stack = stack

    def start(self):
        self.edge.start()
        self.stack.callback(self.edge.stop)
        self.logger = Logger("-p", self.sim.device, "-s", "1", stdout_path=self.records_path)
        self.stack.callback(self.logger.kill)

    def stop_logging(self):
        self.logger.interrupt()
        return self.logger.finish()

    def written(self):
        return lines_of(self.records_path)


def central_away(fleet):
    """The central side away for 5 s. Board-1's rsyslog restarts meanwhile,
    so what waits in its disk queue must outlive the restart. The one record
    that it had sent into the broken connection may be lost: RELP keeps it in
    memory only until the connection is back."""
    board = fleet.boards[0]
    before = len(board.written())
    fleet.central.stop()
    back = time.monotonic() + 5
    time.sleep(3)
    board.edge.restart()
    time.sleep(max(0, back - time.monotonic()))
    fleet.central.start()
    return board.written()[max(0, before - 1):before + 1]


def edge_restarted(fleet):
    fleet.boards[0].edge.stop()
    time.sleep(1.5)  # a record is written meanwhile
    fleet.boards[0].edge.start()
    return []


def edge_killed(fleet):
    fleet.boards[0].edge.stop(signal.SIGKILL)
    time.sleep(1.5)
    fleet.boards[0].edge.start()
    return []


# Name, what happens while the loggers run (it returns the records of
# board-1 that may be lost), how many records of a board may arrive twice:
# RELP sends again the last record it sent before a broken connection or a
# crash. A board whose read position was not saved sends them all again.
SCENARIOS = [
    ("all arrive", None, 0),
    ("central away 5 s", central_away, 1),
    ("edge restarted", edge_restarted, 0),
    ("edge killed", edge_killed, 1),
]


class Fleet(unittest.TestCase):
    def setUp(self):
        self.scratch = tempfile.mkdtemp(prefix="torvex-fleet-")
        self.addCleanup(shutil.rmtree, self.scratch, ignore_errors=True)

    def central_lines(self, host, instance):
        return lines_of(os.path.join(self.store, host, instance + ".csv"))

    def arrived(self, board):
        return [line.partition(b",")[2] for line in self.central_lines(board.host, board.instance)]

    def run_scenario(self, name, disruption, stack):
        folder = os.path.join(self.scratch, name.replace(" ", "-"))
        self.store = os.path.join(folder, "central", "store")
        port = free_port()
        self.central = Rsyslog(os.path.join(folder, "central", "rsyslog"), "central", substituted(
            "torvex-central.conf", [(CENTRAL_LISTENS, 'port="%d"' % port),
                                    (CENTRAL_STORE, '"%s/' % self.store)]))
        self.boards = [Board(os.path.join(folder, host), host, instance, port, stack)
                       for host, instance in BOARDS]
        for rsyslog in [self.central] + [board.edge for board in self.boards]:
            status, err = rsyslog.check()
            self.assertEqual(status, 0, err)
        started = datetime.datetime.now(datetime.timezone.utc)
        self.central.start()
        stack.callback(lambda: self.central.stop())
        self.assertTrue(wait_until(lambda: listening(port), 10), "central not listening")
        for board in self.boards:
            board.start()

        def arrived_at_least(count):
            return lambda: all(len(self.arrived(board)) >= count for board in self.boards)
        self.assertTrue(wait_until(arrived_at_least(2), 15), "no records arrived")
        self.may_lose = {board.host: [] for board in self.boards}
        if disruption:
            self.may_lose[self.boards[0].host] = disruption(self)
        # Records written after the disruption must arrive too.
        after = [len(board.written()) for board in self.boards]
        self.assertTrue(wait_until(lambda: all(len(board.written()) >= count + 2 for
                                               board, count in zip(self.boards, after)), 10))
        for board in self.boards:
            self.assertEqual(board.stop_logging()[0], 0)
        # What has not arrived by then is counted lost.
        wait_until(lambda: all(set(board.written()) - set(self.may_lose[board.host])
                               <= set(self.arrived(board)) for board in self.boards), 20)
        time.sleep(0.3)  # a late repeat would show now
        finished = datetime.datetime.now(datetime.timezone.utc)
        return started, finished

    def check_central_files(self, started, finished):
        names = sorted(os.path.relpath(os.path.join(top, name), self.store)
                       for top, _, files in os.walk(self.store) for name in files)
        self.assertEqual(names, sorted("%s/%s.csv" % board for board in BOARDS))
        for host, instance in BOARDS:
            stamps = [line.partition(b",")[0].decode() for line in self.central_lines(host, instance)]
            for stamp in stamps:
                self.assertRegex(stamp, STAMP)
                when = datetime.datetime.fromisoformat(stamp)
                self.assertTrue(started - datetime.timedelta(seconds=1) <= when <= finished, stamp)

    def check_board(self, board, repeats_allowed):
        """The board's records at the central side: none lost but what the
        scenario allows, none altered, in order, repeats within bounds."""
        written, arrived = board.written(), self.arrived(board)
        self.assertEqual(len(set(written)), len(written), "the simulator repeated a record")
        lost = [record for record in written if record not in arrived]
        altered = [record for record in arrived if record not in written]
        repeated = len(arrived) - len(set(arrived))
        first_seen = list(dict.fromkeys(arrived))
        print("  %-8s %-8s written %3d, arrived %3d, lost %d, repeated %d"
              % (board.host, board.instance, len(written), len(arrived), len(lost), repeated))
        self.assertEqual(altered, [], "altered")
        self.assertLessEqual(len(lost), 1, lost)
        self.assertEqual([record for record in lost if record not in self.may_lose[board.host]],
                         [], "lost")
        self.assertEqual(first_seen, [record for record in written if record not in lost],
                         "out of order")
        self.assertLessEqual(repeated, repeats_allowed, "repeated")
        # Neither the board's nor the central host's own syslog file gets a record.
        for syslog in (board.edge.syslog, self.central.syslog):
            self.assertEqual([line for line in lines_of(syslog)
                              if any(record in line for record in written)], [], syslog)

    def test_every_record_arrives_once_in_order_whatever_stops(self):
        for name, disruption, repeats_allowed in SCENARIOS:
            with self.subTest(scenario=name), contextlib.ExitStack() as stack:
                began = time.monotonic()
                started, finished = self.run_scenario(name, disruption, stack)
                print("%s (%.1f s):" % (name, time.monotonic() - began))
                self.check_central_files(started, finished)
                for board in self.boards:
                    self.check_board(board, repeats_allowed)
                for host, instance in BOARDS:
                    for line in self.central_lines(host, instance)[:1]:
                        print("    %s/%s.csv: %s" % (host, instance, line.decode()))


def unavailable():
    """Why rsyslog with RELP cannot run here, or None."""
    if RSYSLOGD is None:
        return "rsyslogd is not installed (Debian packages rsyslog and rsyslog-relp)"
    with tempfile.TemporaryDirectory() as folder:
        probe = os.path.join(folder, "probe.conf")
        with open(probe, "w") as out:
            out.write('module(load="imrelp")\nmodule(load="omrelp")\n'
                      '*.* action(type="omfile" file="/dev/null")\n')
        done = subprocess.run([RSYSLOGD, "-N1", "-f", probe], capture_output=True, text=True,
                              timeout=30)
    if done.returncode != 0:
        return "rsyslog cannot load its RELP modules (Debian package rsyslog-relp): " \
            + done.stderr.strip().splitlines()[-1]
    return None


if __name__ == "__main__":
    reason = unavailable()
    if reason:
        print("skipped: " + reason)
        sys.exit(77)
    unittest.main(verbosity=2)
