"""One central host of a fleet, with the hardened carrier (torvexfleet's
receive and send, this tree's) and with the one before it (BEFORE's
torvex-fleet: rsync over SSH, its command line checked by the central
host's forced command), taking turns on this machine: the records per
second it files while 1, 8 and 32 boards each send 8 files written
beforehand; its CPU while 32 boards each log 8 instruments live, and how
late their records are, at send's default pace (both carriers) and at a
pass a second; and an hour's backlog of one board delivered once the
central host is back, while 7 other boards' live records go on arriving.

Every host is set up from its tree's files as that tree's fleet test sets
them up (tests/package/fleet_hosts.py; BEFORE's taken from git into a
scratch folder): the central host's sshd, each board's torvex-fleet send.
The boards keep their records in /dev/shm: on a fleet each board has a disk
of its own, so only the central host's copies are on this machine's disk.
Whatever way the bench ends, the hosts it started are killed and the
folders it made removed (Scratch)."""
import collections
import datetime
import importlib.util
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

from .common import BenchError
from .measures import filesystem_of, machine_busy_s

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tests" / "package"))
import fleet_hosts  # noqa: E402

# The carrier before the hardened one: the last commit with it.
BEFORE = "d83138e722ff4581ecb5d7d36c9004e0f5fe0e55"
BEFORE_FILES = ("packaging/fleet", "tests/package/fleet_hosts.py")
RATIO_GOAL = 0.8  # the hardened carrier's figures over the one before's, at least
ROUNDS = 3  # each carrier and number of boards this often, in turns: the medians count
BOARD_COUNTS = (1, 8, 32)
RUN_RECORDS = 320000  # filed per run, shared by the boards
INSTRUMENTS = 8  # records files a board follows
LIVE_BOARDS_S = 30  # how long 32 boards log live: several passes of each
FAST = ("--every", "1")  # a pass a second, against send's default pace
BACKLOG_HOURS = 1
BACKLOG = 3600 * BACKLOG_HOURS * INSTRUMENTS  # records, at -s 1
BACKLOG_LIMIT_S = 120  # the backlog on the central host within this, once it is back
LIVE_BOARDS = 7
LIVE_LIMIT_S = 2.0  # after the board's pace
HEADROOM = 0.5  # of the central host's CPU kept free to catch up after an outage
CORES = os.cpu_count() or 1
BOARDS_FOLDER = "/dev/shm"
# A stamped record as the unattended run writes it; the last field numbers it.
RECORD = "%s,VARNOD,SN %04d,FW 2.3,21.05,40.2%%;7,25;1013,4,%07d\n"


# The hosts a carrier's fleet_hosts module sets up, and what its boards
# need in their environment besides.
Carrier = collections.namedtuple("Carrier", "name hosts board_env")
# Every Scratch not yet ended.
_scratches = []


class Scratch:
    """The hosts a fleet started, each a process group of its own (unshare
    and the PID namespace whose first process it holds), and the folders it
    made: end() kills the ones and removes the others, as the bench's last
    act whatever ended it (end_all)."""

    def __init__(self):
        self.hosts, self.folders = [], []
        _scratches.append(self)

    def folder(self, parent, prefix):
        """A new folder that the central host's account can enter."""
        path = Path(tempfile.mkdtemp(dir=parent, prefix=prefix))
        self.folders.append(path)
        os.chmod(path, 0o755)
        return path

    def end(self):
        for host in self.hosts:
            process = host.process
            if process is not None and process.poll() is None:
                try:
                    os.killpg(process.pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
                process.wait()
        for folder in self.folders:
            shutil.rmtree(folder, ignore_errors=True)
        if self in _scratches:
            _scratches.remove(self)


def end_all():
    for scratch in list(_scratches):
        scratch.end()


def hardened_carrier():
    reason = fleet_hosts.unavailable()
    if reason:
        raise BenchError("fleet: " + reason)
    return Carrier("hardened", fleet_hosts, {})


def carrier_before(scratch):
    """BEFORE's torvex-fleet and fleet_hosts.py, from git into a scratch
    folder, its hosts a module of their own."""
    folder = scratch.folder(tempfile.gettempdir(), "torvex-fleet-before-")
    archive = subprocess.run(["git", "-C", str(ROOT), "archive", BEFORE, *BEFORE_FILES],
                             capture_output=True)
    if archive.returncode != 0:
        raise BenchError(f"fleet: the carrier before ({BEFORE[:7]}) is not in git here: "
                         + archive.stderr.decode(errors="replace").strip())
    subprocess.run(["tar", "-x", "-C", str(folder)], input=archive.stdout, check=True)
    source = importlib.util.spec_from_file_location("fleet_hosts_before",
                                                  folder / BEFORE_FILES[1])
    hosts = importlib.util.module_from_spec(source)
    source.loader.exec_module(hosts)
    reason = hosts.unavailable()
    if reason:
        raise BenchError(f"fleet: the carrier before ({BEFORE[:7]}): {reason}")
    # Its send reads its clock wrong where a decimal comma is the locale's.
    return Carrier("before", hosts, {"LC_ALL": "C.UTF-8"})


def default_every_s(carrier):
    """send's default pace, as torvex-fleet --help states it."""
    done = subprocess.run(["bash", carrier.hosts.FLEET_SCRIPT, "--help"], capture_output=True,
                          text=True, check=True)
    return int(re.search(r"--every SECONDS .*?\((\d+)\)", done.stdout, re.S).group(1))


def board_name(number):
    return "board-%02d" % number


def stamp(seconds=None):
    moment = datetime.datetime.fromtimestamp(time.time() if seconds is None else seconds,
                                             datetime.timezone.utc)
    return moment.strftime("%Y-%m-%dT%H:%M:%S.%f")[:-3]


def file_name(instrument):
    return "tty%d-2026-12.csv" % instrument


class Store:
    """Counts the lines filed under each board of a central host's store,
    reading only what was added since the last look. Names beginning with a
    dot are no copies: the central host's own files, or a copy being made,
    counted once it has its name."""

    def __init__(self, root):
        self.root = root
        self.read = {}  # path: (offset, lines)

    def lines(self, board=None):
        total = 0
        for top, folders, files in os.walk(self.root):
            folders[:] = [name for name in folders if not name.startswith(".")]
            if board and os.path.basename(top) != board:
                continue
            for name in files:
                if name.startswith("."):
                    continue
                path = os.path.join(top, name)
                offset, count = self.read.get(path, (0, 0))
                with open(path, "rb") as text:
                    text.seek(offset)
                    data = text.read()
                self.read[path] = (offset + len(data), count + data.count(b"\n"))
                total += self.read[path][1]
        return total


def wait_for(predicate, timeout_s, what):
    deadline = time.monotonic() + timeout_s
    while not predicate():
        if time.monotonic() > deadline:
            raise BenchError(f"fleet: {what} within {timeout_s:.0f} s")
        time.sleep(0.02)
    return time.monotonic()


class Fleet:
    """A central host and count boards of a carrier, each sending at pace
    (send's options); stopped and removed on leaving, killed at once when
    left by an exception (a SIGTERM, Ctrl-C, a failure)."""

    def __init__(self, work, carrier, count, pace=()):
        self.carrier, self.scratch = carrier, Scratch()
        try:
            os.chmod(work, 0o755)  # the central host's account finds its keys
            folder = self.scratch.folder(work, "central-")
            boards_folder = self.scratch.folder(BOARDS_FOLDER, "torvex-boards-")
            port = fleet_hosts.free_port()  # one module hands out every port of the run
            self.central = carrier.hosts.Central(str(folder / "central"), port)
            self.scratch.hosts.append(self.central)
            self.store = Store(self.central.store)
            self.boards = {}
            for number in range(count):
                name = board_name(number)
                board = carrier.hosts.Board(str(boards_folder / name), name, port, "", pace=pace)
                board.env = dict(board.env or {}, **carrier.board_env)
                self.scratch.hosts.append(board)
                self.central.add(name, board.key + ".pub")
                self.boards[name] = board
            for board in self.boards.values():
                board.set_known_host(self.central.known_hosts_line())
        except BaseException:
            self.scratch.end()
            raise

    def write(self, name, number, records, first=0):
        """records records into each of a board's INSTRUMENTS files."""
        for instrument in range(INSTRUMENTS):
            with open(os.path.join(self.boards[name].records, file_name(instrument)), "a") as out:
                out.write("".join(RECORD % (stamp(), number * INSTRUMENTS + instrument, first + i)
                                  for i in range(records)))

    def start_central(self):
        self.central.start()
        self.central.wait_listening(15)
        return time.monotonic()

    def __enter__(self):
        return self

    def __exit__(self, kind, *_):
        try:
            if kind is None:
                self.carrier.hosts.Host.stop_all([self.central, *self.boards.values()])
        finally:
            self.scratch.end()


def filing_run(work, carrier, count):
    """Records filed per second from the boards' start to the last one filed,
    with the central host's CPU and the machine's as shares of one core."""
    per_file = RUN_RECORDS // count // INSTRUMENTS
    total = per_file * INSTRUMENTS * count
    with Fleet(work, carrier, count) as fleet:
        for number, name in enumerate(fleet.boards):
            fleet.write(name, number, per_file)
        fleet.start_central()
        start, busy = time.monotonic(), machine_busy_s()
        for board in fleet.boards.values():
            board.start()
        end = wait_for(lambda: fleet.store.lines() >= total, 300, "every record filed")
        cpu, busy = fleet.central.cpu_s(), machine_busy_s() - busy
    span = end - start
    return {"boards": count, "records": total, "rate": total / span, "span_s": span,
            "cpu_pct": 100 * cpu / span, "busy_pct": 100 * busy / span}


class Arrivals(threading.Thread):
    """Notes when each line of the given boards' copies first appears."""

    def __init__(self, store, boards):
        super().__init__(daemon=True)
        self.store, self.boards, self.first_seen, self.done = store, boards, {}, False
        self.offsets = {}

    def run(self):
        while not self.done:
            now = time.time()
            for board in self.boards:
                folder = os.path.join(self.store, board)
                for name in os.listdir(folder) if os.path.isdir(folder) else []:
                    path = os.path.join(folder, name)
                    try:  # a new copy is made under another name first
                        with open(path, "rb") as text:
                            text.seek(self.offsets.get(path, 0))
                            data = text.read()
                    except FileNotFoundError:
                        continue
                    whole = data[:data.rfind(b"\n") + 1]
                    self.offsets[path] = self.offsets.get(path, 0) + len(whole)
                    for line in whole.splitlines():
                        self.first_seen.setdefault(line, now)
            time.sleep(0.02)

    def delays(self):
        return [seen - datetime.datetime.fromisoformat(line.split(b",")[0].decode())
                .replace(tzinfo=datetime.timezone.utc).timestamp()
                for line, seen in self.first_seen.items()]


def log_live(fleet, boards, until):
    """One record a second into each of the boards' INSTRUMENTS files, until until()."""
    written, next_write = 0, time.monotonic()
    while not until():
        if time.monotonic() >= next_write:
            for number, name in enumerate(boards, 1):
                fleet.write(name, number, 1, written)
            written += 1
            next_write += 1
        time.sleep(0.01)
    return written


def live_run(work, carrier, count, pace=()):
    """count boards each logging INSTRUMENTS instruments at -s 1, sending at
    pace: the central host's CPU as a share of one core, and how late the
    records arrive."""
    with Fleet(work, carrier, count, pace) as fleet:
        fleet.start_central()
        for board in fleet.boards.values():
            board.start()
        time.sleep(2)
        arrivals = Arrivals(fleet.central.store, list(fleet.boards))
        arrivals.start()
        cpu, start = fleet.central.cpu_s(), time.monotonic()
        seconds = log_live(fleet, list(fleet.boards), lambda: time.monotonic() > start + LIVE_BOARDS_S)
        span = time.monotonic() - start
        cpu = fleet.central.cpu_s() - cpu
        wait_for(lambda: len(arrivals.first_seen) >= seconds * INSTRUMENTS * count, 60,
                 "the live records filed")
        arrivals.done = True
        delays = sorted(arrivals.delays())
    return {"boards": count, "records": len(delays), "cpu_pct": 100 * cpu / span,
            "median_s": delays[len(delays) // 2], "worst_s": delays[-1], "pace": " ".join(pace)}


def backlog_run(work, carrier, every_s):
    """One board's hour of records written while the central host was away,
    then delivered, within BACKLOG_LIMIT_S or not (delivered_s None, the
    records there by then counted); LIVE_BOARDS others each log a record a
    second meanwhile, each due within every_s (the pace) and LIVE_LIMIT_S."""
    per_file = BACKLOG // INSTRUMENTS
    with Fleet(work, carrier, 1 + LIVE_BOARDS) as fleet:
        names = list(fleet.boards)
        backlogged, live = names[0], names[1:]
        fleet.write(backlogged, 0, per_file)
        fleet.boards[backlogged].start()
        time.sleep(3)  # the board has found the central host away, and waits
        back = fleet.start_central()
        for name in live:
            fleet.boards[name].start()
        arrivals = Arrivals(fleet.central.store, live)
        arrivals.start()
        seconds = log_live(fleet, live, lambda: fleet.store.lines(backlogged) >= BACKLOG
                           or time.monotonic() > back + BACKLOG_LIMIT_S)
        delivered = fleet.store.lines(backlogged)
        delivered_s = time.monotonic() - back if delivered >= BACKLOG else None
        wait_for(lambda: len(arrivals.first_seen) >= seconds * INSTRUMENTS * len(live), 60,
                 "the live records filed")
        arrivals.done = True
        delays = arrivals.delays()
    limit = every_s + LIVE_LIMIT_S
    return {"records": BACKLOG, "delivered": delivered, "delivered_s": delivered_s,
            "live_records": len(delays),
            "live_worst_s": max(delays), "live_limit_s": limit,
            "live_late": sum(delay > limit for delay in delays)}


def fleet_sizes(live):
    """Boards of INSTRUMENTS at -s 1 whose passes take at most 1 - HEADROOM
    of the central host's cores, from its CPU with live['boards'] boards."""
    per_board = live["cpu_pct"] / 100 / live["boards"]
    boards = int(CORES * (1 - HEADROOM) / per_board)
    return boards * INSTRUMENTS, boards


def say(what):
    print("  fleet: " + what, file=sys.stderr, flush=True)


def fleet_runs(work):
    """Both carriers in turns, the one before first in each pair, ROUNDS
    times; the runs of each in round order, so that the nth of one and the
    nth of the other met the same state of the machine."""
    began = time.monotonic()
    scratch = Scratch()
    try:
        carriers = before, hardened = carrier_before(scratch), hardened_carrier()
        every_s = {carrier.name: default_every_s(carrier) for carrier in carriers}
        rates = {count: {carrier.name: [] for carrier in carriers} for count in BOARD_COUNTS}
        for round_ in range(ROUNDS):
            for count in BOARD_COUNTS:
                for carrier in carriers:
                    say(f"{count} board{'s' if count > 1 else ''} sending at once, "
                        f"{carrier.name} ({round_ + 1} of {ROUNDS})")
                    rates[count][carrier.name].append(filing_run(work, carrier, count))
        live = {"before": [], "hardened": [], "fast": []}
        for round_ in range(ROUNDS):
            for key, carrier, pace in (("before", before, ()), ("hardened", hardened, ()),
                                       ("fast", hardened, FAST)):
                say(f"{BOARD_COUNTS[-1]} boards logging live, {carrier.name}, send "
                    f"{' '.join(pace) or 'at its default pace'} ({round_ + 1} of {ROUNDS})")
                live[key].append(live_run(work, carrier, BOARD_COUNTS[-1], pace))
        say(f"a backlog of {BACKLOG} records, {hardened.name}")
        backlog = backlog_run(work, hardened, every_s["hardened"])
    finally:
        scratch.end()
    return {"rates": rates, "live": live, "every_s": every_s, "backlog": backlog,
            "store": filesystem_of(str(work)), "duration_s": time.monotonic() - began}
