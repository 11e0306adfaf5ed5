"""A fleet of boards: the records of two boards' loggers reach one central
store through rsyslog and RELP over TLS, set up by the package's example files
torvex-edge.conf and torvex-central.conf and the listeners torvex-fleet writes,
with nothing lost across an outage of the central side and a restart or kill
of a board's rsyslog, filed under the name each board's certificate proves,
and nothing taken from a client the fleet's CA did not certify for the
listener it knocks at, nor sent to a central host of another name.

Two edge rsyslogd and one central rsyslogd run on loopback ports, each with
its own work folder, configuration, keys and pid file; each edge follows the
records file of a logger that polls the simulator at -s 1. The shipped files
are used as they are, with only their paths, host and ports replaced. The
certificates are made afresh with openssl, as docs/fleet.md says.

Environment: TORVEX (the program), TORVEX_SIM (the simulator). Run as a
script; it reports itself skipped (status 77) where rsyslog, its RELP modules
or openssl are not installed or cannot run."""

import contextlib
import datetime
import os
import re
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from harness import Logger, Simulator  # noqa: E402
from test_faults import wait_until  # noqa: E402
from fleet_hosts import (CENTRAL_NAME, OPENSSL, RSYSLOGD, Rsyslog, central_host,  # noqa: E402
                         edge_host, free_port, lines_of, listening, make_certificate)

STAMP = re.compile(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d")
# The name in a board's certificate, its logger's instance, and the host name
# it writes into its messages: board-2 passes itself off as board-1, and its
# records must land under its own name all the same.
BOARDS = [("board-1", "ttyUSB0", "board-1"), ("board-2", "ttyACM0", "board-1")]



def relp_send(port, certificate, message):
    """Opens a RELP session over TLS to the port, as a client holding the
    certificate ((pem, key) or None) and trusting anything, and sends one
    message; True when the central host acknowledged it."""
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    if certificate:
        context.load_cert_chain(*certificate)
    offer = b"relp_version=0\ncommands=syslog"
    frames = b"1 open %d %s\n2 syslog %d %s\n" % (len(offer), offer, len(message), message)
    answer = b""
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=5) as plain, \
                context.wrap_socket(plain) as tls:
            tls.sendall(frames)
            while b"\n2 rsp " not in answer:
                more = tls.recv(4096)
                if not more:
                    break
                answer += more
    except OSError:  # the TLS errors included
        pass
    return b"\n2 rsp 6 200 OK" in answer


class Board:
    """A logger against the simulator, and the edge rsyslogd that follows
    its records file and sends them to its own port on the central host
    with the certificate for its name."""

    def __init__(self, folder, name, instance, claims, port, keys, stack):
        self.name, self.instance = name, instance
        logs = os.path.join(folder, "log")
        os.makedirs(logs)
        self.records_path = os.path.join(logs, instance + ".csv")
        self.edge = edge_host(folder, logs, name, claims, port, keys)
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
    so what waits in its disk queue must outlive the restart. The records
    that it had sent into the broken connection or was still trying to send
    may be lost: RELP keeps them in memory only until the connection is back,
    and over TLS it notices a closed connection only when a write fails.
    Board-2 meanwhile gets a backlog of more records than rsyslog's queues
    hold by default, all of which must arrive."""
    board, other = fleet.boards
    before = len(board.written())
    fleet.central.stop()
    back = time.monotonic() + 5
    backlog = [b"VARNOD,SN 0417,FW 2.3,backlog %d" % number for number in range(BACKLOG)]
    with open(os.path.join(os.path.dirname(other.records_path), "backlog.csv"), "wb") as out:
        out.write(b"".join(record + b"\n" for record in backlog))
    fleet.also_filed["%s/backlog.csv" % other.name] = backlog
    time.sleep(3)
    restarted = len(board.written())
    board.edge.restart()
    time.sleep(max(0, back - time.monotonic()))
    fleet.central.start()
    return {board.name: board.written()[max(0, before - 1):restarted + 1]}


def edge_restarted(fleet):
    fleet.boards[0].edge.stop()
    time.sleep(1.5)  # a record is written meanwhile
    fleet.boards[0].edge.start()
    return {}


def edge_killed(fleet):
    fleet.boards[0].edge.stop(signal.SIGKILL)
    time.sleep(1.5)
    fleet.boards[0].edge.start()
    return {}


BACKLOG = 1100  # records


def impostor(fleet):
    """For 5 s a host that the fleet's CA certified under another name takes
    the central host's ports: the boards send it nothing. rsyslog's RELP
    output gives up on a peer that fails authentication until rsyslog is
    restarted, so once the central host is back the boards' rsyslog are, as
    docs/fleet.md says; then everything arrives. The record each had sent
    into the broken connection may be lost, as when the central side is away."""
    before = [len(board.written()) for board in fleet.boards]
    fleet.central.stop()
    stand_in = fleet.central_host("impostor", "impostor.example.org")
    stand_in.start()
    fleet.addCleanup(stand_in.stop)
    fleet.assertTrue(wait_until(lambda: all(map(listening, fleet.ports.values())), 10))
    time.sleep(5)
    stand_in.stop()
    fleet.assertEqual(os.listdir(stand_in.store), [], "records sent to an impostor")
    fleet.central.start()
    restarted = [len(board.written()) for board in fleet.boards]
    Rsyslog.stop_all([board.edge for board in fleet.boards])
    for board in fleet.boards:
        board.edge.start()
    return {board.name: board.written()[max(0, count - 1):later + 1]
            for board, count, later in zip(fleet.boards, before, restarted)}


# Clients at a board's listener: what each is, the certificate it shows (the
# CA that signed it and its name, or None), whose listener, and under which
# board its record must be filed (None: refused). The last is let in, so a
# refusal above is the central host's doing, not the client's.
STRANGERS = [
    ("no certificate", None, "board-1", None),
    ("another CA's certificate for board-1", ("foreign", "board-1"), "board-1", None),
    ("board-2's certificate at board-1's listener", ("fleet", "board-2"), "board-1", None),
    ("board-2's certificate at its own", ("fleet", "board-2"), "board-2", "board-2"),
]
STRANGER = "stranger"  # their instance name


def strangers(fleet):
    """Each client of STRANGERS sends one record that names board-1 as its host."""
    for number, (what, certificate, listener, filed_under) in enumerate(STRANGERS):
        record = b"record %d of a client with %s" % (number, what.encode())
        shown = certificate and tuple(os.path.join(fleet.keys, certificate[0], certificate[1] + ext)
                                      for ext in (".pem", ".key"))
        message = b"<13>1 - board-1 %s - - - %s" % (STRANGER.encode(), record)
        with fleet.subTest(client=what):
            fleet.assertEqual(relp_send(fleet.ports[listener], shown, message),
                              filed_under is not None, "acknowledged")
            if filed_under:
                fleet.also_filed["%s/%s.csv" % (filed_under, STRANGER)] = [record]
                fleet.assertTrue(wait_until(lambda: fleet.filed("%s/%s.csv" % (
                    filed_under, STRANGER)) == [record], 5), "not filed")
            time.sleep(0.2)  # a late filing would show now
            fleet.assertEqual(fleet.filed_anywhere(record), [filed_under] if filed_under else [])
    return {}


# Name, what happens while the loggers run (it returns the records of each
# board that may be lost), how many of those a board may lose, how many
# records of a board may arrive twice: RELP sends again the last record it
# sent before a broken connection or a crash. A board whose read position was
# not saved sends them all again.
SCENARIOS = [
    ("all arrive", None, 0, 0),
    ("central away 5 s", central_away, 2, 1),
    ("edge restarted", edge_restarted, 0, 0),
    ("edge killed", edge_killed, 0, 1),
    ("impostor in the central's place", impostor, 2, 1),
    ("strangers knock", strangers, 0, 0),
]


class Fleet(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        """The fleet's CA and certificates, and another CA's for board-1."""
        cls.keys = tempfile.mkdtemp(prefix="torvex-fleet-keys-")
        for ca, names in (("fleet", [CENTRAL_NAME, "impostor.example.org"]
                           + [name for name, _, _ in BOARDS]), ("foreign", ["board-1"])):
            folder = os.path.join(cls.keys, ca)
            os.makedirs(folder)
            make_certificate(folder, "ca")
            for name in names:
                make_certificate(folder, name, ca=folder)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.keys, ignore_errors=True)

    def setUp(self):
        self.scratch = tempfile.mkdtemp(prefix="torvex-fleet-")
        self.addCleanup(shutil.rmtree, self.scratch, ignore_errors=True)

    def central_lines(self, board, instance):
        return lines_of(os.path.join(self.store, board, instance + ".csv"))

    def filed(self, path):
        """The records in the store's file BOARD/NAME.csv."""
        return [line.partition(b",")[2] for line in lines_of(os.path.join(self.store, path))]

    def arrived(self, board):
        return [line.partition(b",")[2] for line in self.central_lines(board.name, board.instance)]

    def filed_anywhere(self, record):
        """The boards under which the central host filed record."""
        return [os.path.relpath(top, self.store) for top, _, files in os.walk(self.store)
                for name in files if any(line.partition(b",")[2] == record
                                         for line in lines_of(os.path.join(top, name)))]

    def central_host(self, role, certificate_name):
        """A central rsyslogd holding the certificate for that name, with a
        listener per board written by torvex-fleet, filing into a store of its own."""
        return central_host(os.path.join(self.folder, role), os.path.join(self.keys, "fleet"),
                            certificate_name, self.ports)

    def run_scenario(self, name, disruption, stack):
        self.folder = os.path.join(self.scratch, name.replace(" ", "-"))
        self.ports = {name: free_port() for name, _, _ in BOARDS}
        self.central = self.central_host("central", CENTRAL_NAME)
        self.store = self.central.store
        self.also_filed = {}  # the records of other files in the store: {BOARD/NAME.csv: records}
        self.boards = [Board(os.path.join(self.folder, name), name, instance, claims,
                             self.ports[name], os.path.join(self.keys, "fleet"), stack)
                       for name, instance, claims in BOARDS]
        for rsyslog in [self.central] + [board.edge for board in self.boards]:
            status, err = rsyslog.check()
            self.assertEqual(status, 0, err)
        started = datetime.datetime.now(datetime.timezone.utc)
        self.central.start()
        stack.callback(lambda: self.central.stop())
        self.assertTrue(wait_until(lambda: all(map(listening, self.ports.values())), 10),
                        "central not listening")
        for board in self.boards:
            board.start()

        def arrived_at_least(count):
            return lambda: all(len(self.arrived(board)) >= count for board in self.boards)
        self.assertTrue(wait_until(arrived_at_least(2), 15), "no records arrived")
        self.may_lose = {board.name: [] for board in self.boards}
        if disruption:
            self.may_lose.update(disruption(self))
        # Records written after the disruption must arrive too.
        after = [len(board.written()) for board in self.boards]
        self.assertTrue(wait_until(lambda: all(len(board.written()) >= count + 2 for
                                               board, count in zip(self.boards, after)), 10))
        for board in self.boards:
            self.assertEqual(board.stop_logging()[0], 0)
        # What has not arrived by then is counted lost.
        wait_until(lambda: all(set(board.written()) - set(self.may_lose[board.name])
                               <= set(self.arrived(board)) for board in self.boards)
                   and all(self.filed(path) == records for path, records in self.also_filed.items()),
                   20)
        time.sleep(0.3)  # a late repeat would show now
        finished = datetime.datetime.now(datetime.timezone.utc)
        return started, finished

    def check_central_files(self, started, finished):
        names = sorted(os.path.relpath(os.path.join(top, name), self.store)
                       for top, _, files in os.walk(self.store) for name in files)
        self.assertEqual(names, sorted({"%s/%s.csv" % (name, instance)
                                        for name, instance, _ in BOARDS} | set(self.also_filed)))
        for path, records in self.also_filed.items():
            filed = self.filed(path)
            self.assertEqual([record for record in records if record not in filed], [], path)
            self.assertEqual(filed, records, path)
        for name, instance, _ in BOARDS:
            stamps = [line.partition(b",")[0].decode() for line in self.central_lines(name, instance)]
            for stamp in stamps:
                self.assertRegex(stamp, STAMP)
                when = datetime.datetime.fromisoformat(stamp)
                self.assertTrue(started - datetime.timedelta(seconds=1) <= when <= finished, stamp)

    def check_board(self, board, losses_allowed, repeats_allowed):
        """The board's records at the central side: none lost but what the
        scenario allows, none altered, in order, repeats within bounds."""
        written, arrived = board.written(), self.arrived(board)
        self.assertEqual(len(set(written)), len(written), "the simulator repeated a record")
        lost = [record for record in written if record not in arrived]
        altered = [record for record in arrived if record not in written]
        repeated = len(arrived) - len(set(arrived))
        first_seen = list(dict.fromkeys(arrived))
        print("  %-8s %-8s written %3d, arrived %3d, lost %d, repeated %d"
              % (board.name, board.instance, len(written), len(arrived), len(lost), repeated))
        self.assertEqual(altered, [], "altered")
        self.assertLessEqual(len(lost), losses_allowed, lost)
        self.assertEqual([record for record in lost if record not in self.may_lose[board.name]],
                         [], "lost")
        self.assertEqual(first_seen, [record for record in written if record not in lost],
                         "out of order")
        self.assertLessEqual(repeated, repeats_allowed, "repeated")
        # Neither the board's nor the central host's own syslog file gets a record.
        for syslog in (board.edge.syslog, self.central.syslog):
            self.assertEqual([line for line in lines_of(syslog)
                              if any(record in line for record in written)], [], syslog)

    def test_every_record_arrives_once_in_order_whatever_stops(self):
        for name, disruption, losses_allowed, repeats_allowed in SCENARIOS:
            with self.subTest(scenario=name), contextlib.ExitStack() as stack:
                began = time.monotonic()
                started, finished = self.run_scenario(name, disruption, stack)
                print("%s (%.1f s):" % (name, time.monotonic() - began))
                self.check_central_files(started, finished)
                for board in self.boards:
                    self.check_board(board, losses_allowed, repeats_allowed)
                for board in self.boards:
                    for line in self.central_lines(board.name, board.instance)[:1]:
                        print("    %s/%s.csv: %s" % (board.name, board.instance, line.decode()))


def unavailable():
    """Why rsyslog with RELP cannot run here, or None."""
    if RSYSLOGD is None:
        return "rsyslogd is not installed (Debian packages rsyslog and rsyslog-relp)"
    if OPENSSL is None:
        return "openssl is not installed (Debian package openssl)"
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
