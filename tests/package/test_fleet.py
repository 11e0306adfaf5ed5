"""A fleet of boards: each board's records files reach one central host by
torvex-fleet send (rsync over SSH), set up with the package's sshd_config,
ssh_config and torvex-fleet, and the central copy of every file is the
board's file byte for byte, whatever stops: the central host away, either
side's carrier stopped or killed, both killed at once mid-backlog, another
host in the central host's place, a board's key refused and then let in
again, half a record cut back out on a board, strangers knocking, and
random faults. Nothing lost, nothing twice, no restart by hand.

Each board logs with the real torvexsvc against the simulator (board-1 at
-s 1 into day files, board-2 at -s 3 into month files). The hosts run on
loopback ports in namespaces of their own (fleet_hosts.py); the scenarios of
SCENARIOS follow one another on one fleet, while the refusals and the
random faults run beside them on fleets of their own. The boards pass at
most once a second and retry a refusal after 4 s (PACE), not the 10 s and
the minute of send's defaults, which a board of its own checks.

Environment: TORVEXSVC (the unattended program), TORVEX_SIM (the simulator);
TORVEX_FLEET_SEED and TORVEX_FLEET_FAULT_SECONDS for the random faults (a
seed of its own and 15 s by default); TORVEX_FLEET_ONLY=random for those
alone (scripts/reliability). Run as a script; it reports itself skipped
(status 77) where ssh, rsync or namespaces are not to be had."""

import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from harness import Simulator  # noqa: E402
from test_faults import wait_until  # noqa: E402
import fleet_hosts  # noqa: E402
from fleet_hosts import (Board, Central, Host, free_port, make_key, read_bytes,  # noqa: E402
                         size_of)

TORVEXSVC = os.environ.get("TORVEXSVC", "build/native/torvexsvc")
# The board's name, its logger's instance and period.
BOARDS = [("board-1", "ttyUSB0", "1"), ("board-2", "ttyACM0", "3")]
# Both sides up and connected: every copy is the board's file within this.
WITHIN_S = 120
# send's pace in the test: a pass at most each second, a refusal retried after 4 s.
PACE = ("--every", "1", "--retry", "4")
BACKLOG_BYTES = 8 << 20  # a backlog that takes a while to copy, to be cut off mid-way


def stamped_lines(count, month="2026-11"):
    """count records of a logger that was not followed while the central host was away."""
    return b"".join(b"%s-02T10:%02d:%02d.%03d,VARNOD,SN 0417,FW 2.3,backlog %07d,40.2%%;7,25\n"
                    % (month.encode(), n // 60000 % 60, n // 1000 % 60, n % 1000, n)
                    for n in range(count))


class Logger:
    """torvexsvc run INSTANCE against a simulator, into a board's records folder."""

    def __init__(self, records, instance, period, stack):
        self.records, self.instance, self.period = records, instance, period
        self.sim = Simulator()
        stack.append(self.sim.close)
        self.process = None

    def start(self):
        with open(os.path.join(self.records, "..", self.instance + ".log"), "ab") as log:
            self.process = subprocess.Popen(
                [TORVEXSVC, "run", self.instance, "-p", self.sim.device, "-s", self.period],
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=log,
                env=dict(os.environ, LOGS_DIRECTORY=self.records), start_new_session=True)

    def stop(self, sig=signal.SIGTERM):
        if self.process and self.process.poll() is None:
            self.process.send_signal(sig)
            self.process.wait(timeout=10)


class Fleet:
    """A central host and the boards of BOARDS, each logging, in folder."""

    def __init__(self, folder, stack):
        self.folder = folder
        self.port = free_port()
        self.central = Central(os.path.join(folder, "central"), self.port)
        self.keys = {name: make_key(os.path.join(folder, name + ".key"), name)
                     for name, _, _ in BOARDS}
        for name, key in self.keys.items():
            self.central.add(name, key + ".pub")
        line = self.central.known_hosts_line()
        self.boards = [Board(os.path.join(folder, name), name, self.port, line, self.keys[name],
                             PACE) for name, _, _ in BOARDS]
        self.loggers = [Logger(board.records, instance, period, stack)
                        for board, (_, instance, period) in zip(self.boards, BOARDS)]
        self.others = []  # hosts in the central host's place, for a while
        stack.append(self.stop)

    def start(self):
        self.central.start()
        self.central.wait_listening()
        for board, logger in zip(self.boards, self.loggers):
            logger.start()
            board.start()

    def stop(self):
        for logger in self.loggers:
            logger.stop()
        Host.stop_all([self.central, *self.boards, *self.others])

    def hosts(self):
        return [self.central, *self.boards]

    def differences(self, quick=False):
        """Each board file whose central copy is not it byte for byte, and
        each file of the central host that no board has: {path: why};
        quick: by their sizes first."""
        found = {}
        for board in self.boards:
            for name in board.names():
                # The copy first: a record written meanwhile leaves it a prefix.
                path, copy_path = os.path.join(board.records, name), self.central.copy_of(board.name, name)
                if quick and size_of(copy_path) != size_of(path):
                    found["%s/%s" % (board.name, name)] = "sizes differ"
                    continue
                copy, data = read_bytes(copy_path), read_bytes(path)
                if copy != data:
                    written, arrived = data.splitlines(), copy.splitlines()
                    found["%s/%s" % (board.name, name)] = (
                        "written %d, arrived %d, lost %d, twice %d" % (
                            len(written), len(arrived), len(set(written) - set(arrived)),
                            len(arrived) - len(set(arrived))))
        boards = {board.name: board.names() for board in self.boards}
        for top, _, files in os.walk(self.central.store):
            for name in files:
                board = os.path.relpath(top, self.central.store)
                if name not in boards.get(board, {}):
                    found["%s/%s" % (board, name)] = "no board has it"
        return found

    def identical(self, timeout=WITHIN_S):
        """Waits until every copy is its board's file; the differences left."""
        found = {}

        def none_left():
            found.clear()
            found.update(self.differences(quick=True))
            return not found
        if not wait_until(none_left, timeout, 0.05):
            return self.differences()
        return found

    def backlog(self, board, name, data):
        with open(os.path.join(board.records, name), "ab") as out:
            out.write(data)

    def cut_off_mid_backlog(self, board, name):
        """Waits until the copy of name on board is partly there; its size."""
        path = self.central.copy_of(board.name, name)
        whole = len(read_bytes(os.path.join(board.records, name)))
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            try:
                size = os.path.getsize(path)
            except FileNotFoundError:
                size = 0
            if 0 < size < whole:
                return size
            time.sleep(0.001)
        return None


def central_away(fleet, test):
    """5 s away; board-1's carrier restarts meanwhile; board-2 gets a month's backlog."""
    fleet.central.stop()
    fleet.backlog(fleet.boards[1], "backlog-2026-11.csv", stamped_lines(1100))
    time.sleep(2.5)
    fleet.boards[0].restart()
    time.sleep(2.5)
    fleet.central.start()


def carrier_restarted(fleet, test):
    fleet.boards[0].stop()
    time.sleep(1.5)  # a record is written meanwhile
    fleet.boards[0].start()


def carrier_killed(fleet, test):
    fleet.boards[0].stop(signal.SIGKILL)
    time.sleep(1.5)
    fleet.boards[0].start()


def central_killed_mid_backlog(fleet, test):
    fleet.central.stop()
    fleet.backlog(fleet.boards[0], "backlog-2026-10.csv", stamped_lines(BACKLOG_BYTES // 80, "2026-10"))
    fleet.central.start()
    size = fleet.cut_off_mid_backlog(fleet.boards[0], "backlog-2026-10.csv")
    fleet.central.stop(signal.SIGKILL)
    test.assertIsNotNone(size, "the backlog arrived before the kill")
    print("    central host killed with %d bytes of the backlog there" % size)
    time.sleep(1)
    fleet.central.start()


def power_cut_mid_backlog(fleet, test):
    """Every host and logger killed at once while backlogs are copied, as a
    site's power cut does; then all start again."""
    fleet.central.stop()
    for board in fleet.boards:
        fleet.backlog(board, "backlog-2026-09.csv", stamped_lines(BACKLOG_BYTES // 80, "2026-09"))
    fleet.central.start()
    size = fleet.cut_off_mid_backlog(fleet.boards[1], "backlog-2026-09.csv")
    Host.stop_all(fleet.hosts(), signal.SIGKILL)
    for logger in fleet.loggers:
        logger.stop(signal.SIGKILL)
    test.assertIsNotNone(size, "the backlog arrived before the power cut")
    print("    all killed with %d bytes of board-2's backlog there" % size)
    time.sleep(1)
    fleet.start()


def cut_back(fleet, test):
    """board-1's disk full: half a record written, read by a pass, then cut
    back out, as the logger does; in one file as a month's last record, in
    the other followed by the next record."""
    board = fleet.boards[0]
    whole, half = stamped_lines(3, "2026-07"), b"2026-07-31T23:59:59.000,VARNOD,SN 04"
    names = ("cut-2026-07.csv", "cut-2026-08.csv")
    for name in names:
        fleet.backlog(board, name, whole + half)

    def read():
        return all(len(read_bytes(fleet.central.copy_of(board.name, name))) >= len(whole)
                   for name in names)
    test.assertTrue(wait_until(read, 10), "no pass read them")
    for name in names:
        os.truncate(os.path.join(board.records, name), len(whole))
    fleet.backlog(board, names[1], stamped_lines(4, "2026-08").splitlines(True)[-1])


def strangers(fleet, test):
    """What is not a board's own pass is refused, and a board's files land in
    its own folder whatever it asks: each client below runs an rsync or an
    ssh command; none of them may change a copy."""
    board1, board2 = fleet.boards
    config = os.path.join(board2.keys, "ssh_config")
    planted = os.path.join(fleet.folder, "planted")
    os.makedirs(planted)
    with open(os.path.join(planted, "ttyUSB0-2026-12-09.csv"), "wb") as out:
        out.write(b"2026-12-09T00:00:00.000,not board-1's\n")
    foreign_key = make_key(os.path.join(fleet.folder, "foreign.key"), "foreign")
    # A board not let in, at send's own pace: it says once that it tries
    # again each minute, and does not try again meanwhile.
    board3 = Board(os.path.join(fleet.folder, "board-3"), "board-3", fleet.port,
                   fleet.central.known_hosts_line())
    fleet.others.append(board3)
    shutil.copy(os.path.join(planted, "ttyUSB0-2026-12-09.csv"), board3.records)
    tries = fleet.central.log().count("[preauth]")
    board3.start()
    test.assertTrue(wait_until(lambda: "torvex-fleet:" in board3.log(), 15), board3.log())
    time.sleep(1)
    board3.stop()
    test.assertIn("trying again every 60 s", board3.log())
    test.assertEqual(fleet.central.log().count("[preauth]") - tries, 1, fleet.central.log())
    ssh = ["ssh", "-F", config]
    rsync = ["rsync", "-t", "--append", "--fsync", "--timeout=120", "-e"]
    planted_file = os.path.join(planted, "ttyUSB0-2026-12-09.csv")
    clients = [
        ("a key the central host does not know",
         [*rsync, "ssh -F /dev/null -p %d -i %s -o IdentitiesOnly=yes -o BatchMode=yes "
          "-o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null" % (fleet.port, foreign_key),
          planted_file, "torvex-fleet@127.0.0.1:"]),
        ("board-2 asking for board-1's folder",
         [*rsync, " ".join(ssh), planted_file, "torvex-central:../board-1/"]),
        ("board-2 rewriting its copies",
         ["rsync", "-t", "--fsync", "--timeout=120", "-e", " ".join(ssh), planted_file,
          "torvex-central:"]),
        ("board-2 rewriting what does not match (--append-verify)",
         ["rsync", "-t", "--append-verify", "--fsync", "-e", " ".join(ssh), planted_file,
          "torvex-central:"]),
        ("board-2 sending a folder", [*rsync[:1], "-r", *rsync[1:], " ".join(ssh), planted,
                                      "torvex-central:"]),
        ("board-2 asking for a shell command", [*ssh, "torvex-central", "cat /etc/passwd"]),
        ("board-2 asking to read the store",
         ["rsync", "-rt", "-e", " ".join(ssh), "torvex-central:", planted + "/read/"]),
        ("board-2 asking to delete",
         ["rsync", "-rt", "--delete", "-e", " ".join(ssh), planted + "/", "torvex-central:"]),
    ]
    for what, command in clients:
        with test.subTest(client=what):
            done = subprocess.run(command, capture_output=True, timeout=60)
            test.assertNotEqual(done.returncode, 0, what)
            test.assertNotIn(b"root:", done.stdout)
    test.assertFalse(os.path.exists(os.path.join(planted, "read")))
    test.assertFalse(os.path.exists(fleet.central.copy_of("board-2", "planted")))
    # board-2 sending a file named as board-1's: filed under board-2, its own.
    done = subprocess.run([*rsync, " ".join(ssh), planted_file, "torvex-central:"],
                          capture_output=True, timeout=60)
    test.assertEqual(done.returncode, 0, done.stderr)
    test.assertEqual(read_bytes(fleet.central.copy_of("board-2", "ttyUSB0-2026-12-09.csv")),
                     read_bytes(os.path.join(planted, "ttyUSB0-2026-12-09.csv")))
    test.assertNotIn(b"not board-1's", read_bytes(fleet.central.copy_of("board-1", "ttyUSB0-2026-12-09.csv")))
    # Which board-2 has now, as far as the copies are concerned.
    os.replace(os.path.join(planted, "ttyUSB0-2026-12-09.csv"),
               os.path.join(board2.records, "ttyUSB0-2026-12-09.csv"))


# Name, and what happens while the loggers run; after each, every copy must
# become its board's file.
SCENARIOS = [
    ("all arrive", None),
    ("central away 5 s", central_away),
    ("carrier restarted", carrier_restarted),
    ("carrier killed", carrier_killed),
    ("central killed mid-backlog", central_killed_mid_backlog),
    ("both killed at once mid-backlog", power_cut_mid_backlog),
    ("half a record cut back", cut_back),
    ("strangers knock", strangers),
]


def refusals(fleet, report):
    """board-1's key refused (revoked), then for 5 s a host with another host
    key in the central host's place, then the central host back with
    board-1 let in again: no one restarts anything, and both boards send
    again by themselves, each having tried calmly and said so once."""
    fleet.central.fleet("revoke", "board-1")
    time.sleep(1.5)
    fleet.central.stop()
    impostor = Central(os.path.join(fleet.folder, "impostor"), fleet.port)
    for name, key in fleet.keys.items():
        impostor.add(name, key + ".pub")
    fleet.others.append(impostor)
    impostor.start()
    impostor.wait_listening()
    time.sleep(5)
    impostor.stop()
    fleet.central.start()
    fleet.central.add("board-1", fleet.keys["board-1"] + ".pub")
    report["back"] = time.monotonic()
    report["left"] = fleet.identical()
    report["took"] = time.monotonic() - report["back"]
    report["impostor's store"] = sorted(os.listdir(impostor.store))
    report["impostor's log"] = impostor.log()


def random_faults(fleet, seed, seconds, report):
    """Faults of the kinds above, drawn by seed, one every 0.5 to 3 s, for
    seconds. The copies must be the boards' files within WITHIN_S of the
    last fault."""
    draw = random.Random(seed)
    kinds = ["central stopped", "central killed", "carrier stopped", "carrier killed",
             "power cut", "backlog", "another host in the central's place", "key refused"]
    counts = report["counts"] = dict.fromkeys(kinds, 0)
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        kind = draw.choice(kinds)
        counts[kind] += 1
        board = draw.choice(fleet.boards)
        pause = draw.uniform(0.2, 2.0)
        if kind.startswith("central"):
            fleet.central.stop(signal.SIGKILL if kind == "central killed" else signal.SIGTERM)
            time.sleep(pause)
            fleet.central.start()
        elif kind.startswith("carrier"):
            board.stop(signal.SIGKILL if kind == "carrier killed" else signal.SIGTERM)
            time.sleep(pause)
            board.start()
        elif kind == "power cut":
            Host.stop_all(fleet.hosts(), signal.SIGKILL)
            for logger in fleet.loggers:
                logger.stop(signal.SIGKILL)
            time.sleep(pause)
            fleet.start()
        elif kind == "backlog":
            fleet.backlog(board, "backlog-%d-01.csv" % draw.randrange(2000, 2026),
                          stamped_lines(draw.randrange(1, 200000)))
        elif kind == "key refused":
            fleet.central.fleet("revoke", board.name)
            time.sleep(pause)
            fleet.central.add(board.name, fleet.keys[board.name] + ".pub")
        else:
            fleet.central.stop()
            impostor = Central(os.path.join(fleet.folder, "impostor-%d" % sum(counts.values())),
                               fleet.port)
            fleet.others.append(impostor)
            impostor.start()
            time.sleep(pause)
            impostor.stop()
            fleet.central.start()
        time.sleep(draw.uniform(0.5, 3.0))
    report["last"] = time.monotonic()
    time.sleep(1.5)
    for logger in fleet.loggers:
        logger.stop()
    report["left"] = fleet.identical()
    report["took"] = time.monotonic() - report["last"]
    report["sizes"] = [len(data) for board in fleet.boards for data in board.files().values()]


class FleetTest(unittest.TestCase):
    def setUp(self):
        self.scratch = tempfile.mkdtemp(prefix="torvex-fleet-")
        os.chmod(self.scratch, 0o755)  # the central host's account finds its keys
        self.cleanups = []
        self.addCleanup(shutil.rmtree, self.scratch, ignore_errors=True)
        self.addCleanup(lambda: [cleanup() for cleanup in reversed(self.cleanups)])

    def fleet(self, name):
        fleet = Fleet(os.path.join(self.scratch, name), self.cleanups)
        fleet.start()
        self.assertTrue(wait_until(lambda: all(board.files() for board in fleet.boards), 10))
        return fleet

    def beside(self, target, *args):
        """target(*args, report) in a thread of its own; its report."""
        report = {}
        thread = threading.Thread(target=target, args=(*args, report))
        thread.start()
        self.cleanups.append(thread.join)  # before its fleet stops
        return thread, report

    def assert_said_once(self, log):
        """Each outage that a run of the carrier met said once when it began
        (and again only if its cause changed: refused, away), and once when
        it ended."""
        for run in log.split(fleet_hosts.STARTED.decode()):
            said = [line.split(";")[0] for line in run.splitlines()
                    if line.startswith("torvex-fleet:")]
            self.assertEqual([a for a, b in zip(said, said[1:]) if a == b], [], log)
            self.assertFalse(said and "reach the central host again" in said[0], log)

    def assert_identical(self, fleet, what):
        self.assertEqual(fleet.identical(), {}, what)

    def random_run(self):
        """The random faults beside the rest: (thread, report)."""
        seed = int(os.environ.get("TORVEX_FLEET_SEED", random.randrange(1 << 32)))
        seconds = float(os.environ.get("TORVEX_FLEET_FAULT_SECONDS", "15"))
        print("random faults: seed %d, %.0f s (TORVEX_FLEET_SEED=%d to draw them again)"
              % (seed, seconds, seed))
        thread, report = self.beside(random_faults, self.fleet("random"), seed, seconds)
        report["seed"] = seed
        return thread, report

    def check_random_run(self, thread, report):
        thread.join()
        with self.subTest(scenario="random faults", seed=report["seed"]):
            self.assertEqual(report["left"], {}, "seed %d" % report["seed"])
            print("random faults, seed %d: %s; %d files, %d bytes, identical %.1f s after the "
                  "last fault" % (report["seed"], ", ".join("%s %d" % item for item in
                                                            report["counts"].items()),
                                  len(report["sizes"]), sum(report["sizes"]), report["took"]))

    @unittest.skipIf(os.environ.get("TORVEX_FLEET_ONLY") == "random", "random faults alone")
    def test_every_copy_is_the_boards_file_whatever_stops(self):
        refused = self.fleet("refusals")
        beside, report = self.beside(refusals, refused)
        random_thread, random_report = self.random_run()
        fleet = self.fleet("scenarios")
        for name, disruption in SCENARIOS:
            with self.subTest(scenario=name):
                began = time.monotonic()
                if disruption:
                    disruption(fleet, self)
                time.sleep(1)  # records written after it arrive too
                self.assert_identical(fleet, name)
                print("%s: identical %.1f s after it began" % (name, time.monotonic() - began))
        for logger in fleet.loggers:
            logger.stop()
        self.assert_identical(fleet, "after the loggers stopped")
        for board in fleet.boards:
            self.assert_said_once(board.log())
        # Folders and copies that everyone may read (a records page's web server).
        modes = {os.path.relpath(os.path.join(top, name), fleet.central.store):
                 oct(os.stat(os.path.join(top, name)).st_mode & 0o7777)
                 for top, folders, files in os.walk(fleet.central.store)
                 for name in folders + files}
        self.assertEqual({path: mode for path, mode in modes.items()
                          if mode != ("0o755" if os.path.isdir(os.path.join(
                              fleet.central.store, path)) else "0o644")}, {})
        beside.join()
        with self.subTest(scenario="key refused, another host in the central's place"):
            self.assertEqual(report["left"], {})
            print("refusals: identical %.1f s after both were put right" % report["took"])
            self.assertEqual(report["impostor's store"], [], "records sent to another host")
            # Each board tried at most twice in its 5 s, at most once each 4 s.
            self.assertLessEqual(report["impostor's log"].count("[preauth]"), 4,
                                 report["impostor's log"])
            for board in refused.boards:
                log = board.log()
                self.assertEqual(log.count("trying again every 4 s"), 1, log)
                self.assert_said_once(log)
        self.check_random_run(random_thread, random_report)

    @unittest.skipUnless(os.environ.get("TORVEX_FLEET_ONLY") == "random", "run beside the rest")
    def test_random_faults(self):
        self.check_random_run(*self.random_run())


if __name__ == "__main__":
    reason = fleet_hosts.unavailable()
    if reason is None and not os.access(TORVEXSVC, os.X_OK):
        reason = "no unattended program at " + TORVEXSVC
    if reason:
        print("skipped: " + reason)
        sys.exit(77)
    unittest.main(verbosity=2)
