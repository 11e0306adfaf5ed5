"""One central host of a fleet: the records per second it files, each synced
to the disk before its board gets the acknowledgement, while 1, 8 and 32
boards send at once; and an hour's backlog of one board delivered once the
central host is back, while the other boards' live records go on arriving.

Every host is an rsyslogd set up from the package's example files over RELP
and TLS, as the fleet test sets them up (tests/package/fleet_hosts.py). The
boards keep their queues and records in /dev/shm: on a fleet each board has
a disk of its own, so only the central host's store is on this machine's disk."""
import datetime
import json
import os
import shutil
import sys
import tempfile
import time
from pathlib import Path

from .common import BenchError
from .measures import cpu_ns, filesystem_of, machine_busy_s

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tests" / "package"))
import fleet_hosts  # noqa: E402

BOARD_COUNTS = (1, 8, 32)
RUN_RECORDS = 32000  # filed per run, shared by the boards
INSTRUMENTS = 8  # records files a board follows
BACKLOG_HOURS = 1
BACKLOG = 3600 * BACKLOG_HOURS * INSTRUMENTS  # records, at -s 1
LIVE_BOARDS = 7
LIVE_LIMIT_S = 2.0
HEADROOM = 0.5  # of the capacity kept free to catch up after an outage
BOARDS_FOLDER = "/dev/shm"
RECORD = "VARNOD,SN %04d,FW 2.3,21.05,40.2%%;7,25;1013,4,%07d\n"


def board_name(number):
    return "board-%02d" % number


class Store:
    """Counts the lines filed under each board of a central host's store,
    reading only what was added since the last look."""

    def __init__(self, root):
        self.root = root
        self.read = {}  # path: (offset, lines)

    def lines(self, board=None):
        total = 0
        for top, _, files in os.walk(self.root):
            if board and os.path.basename(top) != board:
                continue
            for name in files:
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
        time.sleep(0.05)
    return time.monotonic()


class Fleet:
    """A central host and count boards, each following INSTRUMENTS files of
    records; stopped and removed on leaving."""

    def __init__(self, work, keys, count, per_file, central_changes=()):
        self.folder = Path(tempfile.mkdtemp(dir=work, prefix="central-"))
        self.boards_folder = Path(tempfile.mkdtemp(dir=BOARDS_FOLDER, prefix="torvex-boards-"))
        self.ports = {board_name(n): fleet_hosts.free_port() for n in range(count)}
        self.central = fleet_hosts.central_host(str(self.folder), keys, fleet_hosts.CENTRAL_NAME,
                                                self.ports, central_changes)
        self.store = Store(self.central.store)
        self.edges, self.logs = {}, {}
        for number, (name, port) in enumerate(self.ports.items()):
            logs = self.boards_folder / name / "log"
            logs.mkdir(parents=True)
            for instrument in range(INSTRUMENTS if per_file else 0):
                (logs / f"tty{instrument}.csv").write_text("".join(
                    RECORD % (number, instrument * per_file + i) for i in range(per_file)))
            self.logs[name] = logs
            self.edges[name] = fleet_hosts.edge_host(str(self.boards_folder / name), str(logs),
                                                     name, name, port, keys)

    def start_central(self):
        self.central.start()
        return wait_for(lambda: all(map(fleet_hosts.listening, self.ports.values())), 15,
                        "the central host listening")

    def __enter__(self):
        return self

    def __exit__(self, *_):
        try:
            fleet_hosts.Rsyslog.stop_all([self.central, *self.edges.values()])
        finally:
            for folder in (self.folder, self.boards_folder):
                shutil.rmtree(folder, ignore_errors=True)


def make_keys(work):
    keys = str(work / "fleet-keys")
    os.makedirs(keys)
    fleet_hosts.make_certificate(keys, "ca")
    for name in [fleet_hosts.CENTRAL_NAME] + [board_name(n) for n in range(max(BOARD_COUNTS))]:
        fleet_hosts.make_certificate(keys, name, ca=keys)
    return keys


def filing_run(work, keys, count, central_changes=()):
    """Records filed per second between a tenth and nine tenths of the run,
    with the central rsyslogd's CPU and the machine's as shares of one core."""
    per_file = RUN_RECORDS // count // INSTRUMENTS
    total = per_file * INSTRUMENTS * count
    with Fleet(work, keys, count, per_file, central_changes) as fleet:
        fleet.start_central()
        for edge in fleet.edges.values():
            edge.start()
        wait_for(lambda: fleet.store.lines() >= total // 10, 120, "a tenth of the records filed")
        start, cpu, busy = time.monotonic(), cpu_ns(fleet.central.process.pid), machine_busy_s()
        end = wait_for(lambda: fleet.store.lines() >= total * 9 // 10, 300,
                       "nine tenths of the records filed")
        cpu, busy = cpu_ns(fleet.central.process.pid) - cpu, machine_busy_s() - busy
        wait_for(lambda: fleet.store.lines() >= total, 60, "every record filed")
    span = end - start
    return {"boards": count, "records": total, "rate": (total * 8 // 10) / span,
            "cpu_pct": 100 * cpu / 1e9 / span, "busy_pct": 100 * busy / span}


def queued(edge_folder):
    """Whether a board's rsyslog has handed every line of its files to its
    queue: the read positions it saved reach the files' ends."""
    work = Path(edge_folder) / "rsyslog" / "work"
    states = [json.loads(path.read_text()) for path in work.glob("imfile-state:*")]
    return len(states) == INSTRUMENTS and all(
        state["curr_offs"] == os.path.getsize(state["filename"]) for state in states)


def backlog_run(work, keys):
    """One board's hour of records queued while the central host was away,
    then delivered; LIVE_BOARDS others each log a record a second meanwhile.
    Live delays run from a record's writing to its arrival stamp."""
    per_file = BACKLOG // INSTRUMENTS
    with Fleet(work, keys, 1 + LIVE_BOARDS, 0) as fleet:
        names = list(fleet.ports)
        backlogged, live = names[0], names[1:]
        for instrument in range(INSTRUMENTS):
            (fleet.logs[backlogged] / f"tty{instrument}.csv").write_text("".join(
                RECORD % (0, instrument * per_file + i) for i in range(per_file)))
        fleet.edges[backlogged].start()
        filled = time.monotonic()
        wait_for(lambda: queued(fleet.boards_folder / backlogged), 300, "the backlog queued")
        filled = time.monotonic() - filled
        back = fleet.start_central()
        for name in live:
            fleet.edges[name].start()
        written, next_write = [], time.monotonic()
        while fleet.store.lines(backlogged) < BACKLOG:
            if time.monotonic() > back + 600:
                raise BenchError("fleet: the backlog was not delivered within 600 s")
            if time.monotonic() >= next_write:
                for number, name in enumerate(live, 1):
                    with open(fleet.logs[name] / "tty0.csv", "a") as out:
                        out.write(RECORD % (number, time.time_ns() // 1000000))
                written.append(time.monotonic())
                next_write += 1
            time.sleep(0.02)
        delivered = time.monotonic() - back
        wait_for(lambda: sum(fleet.store.lines(name) for name in live) >= len(written) * len(live),
                 30, "the live records filed")
        delays = live_delays(fleet.central.store, live)
    return {"records": BACKLOG, "queued_s": filled, "delivered_s": delivered,
            "live_records": len(delays), "live_worst_s": max(delays),
            "live_late": sum(delay > LIVE_LIMIT_S for delay in delays)}


def live_delays(store, boards):
    """Seconds from the time written into each live record to its arrival stamp."""
    delays = []
    for board in boards:
        with open(os.path.join(store, board, "tty0.csv")) as text:
            for line in text:
                stamp, _, record = line.rstrip("\n").partition(",")
                sent_ms = int(record.rsplit(",", 1)[1])
                arrived = datetime.datetime.fromisoformat(stamp).timestamp()
                delays.append(arrived - sent_ms / 1000)
    return delays


def fleet_sizes(rate, period_s):
    """Instruments, and boards of INSTRUMENTS, whose records at one per
    period take at most 1 - HEADROOM of the central host's filing rate."""
    instruments = int(rate * (1 - HEADROOM) * period_s)
    return instruments, instruments // INSTRUMENTS


def fleet_runs(work):
    began = time.monotonic()
    print("  fleet: certificates", file=sys.stderr, flush=True)
    keys = make_keys(work)
    rows = []
    for count in BOARD_COUNTS:
        print(f"  fleet: {count} boards sending at once", file=sys.stderr, flush=True)
        rows.append(filing_run(work, keys, count))
    print("  fleet: 8 boards, the central host without its per-record sync", file=sys.stderr,
          flush=True)
    unsynced = filing_run(work, keys, 8, [('sync="on"', 'sync="off"', 1)])
    print(f"  fleet: a backlog of {BACKLOG} records", file=sys.stderr, flush=True)
    backlog = backlog_run(work, keys)
    return {"rows": rows, "unsynced": unsynced, "backlog": backlog,
            "store": filesystem_of(str(work)), "duration_s": time.monotonic() - began}
