"""Running loggers against simulators: one Session per logger, each with its
own simulator, driven by the notifications of their files."""
import os
import signal
import subprocess
import tempfile
import time
from pathlib import Path

from .common import ARGS, DELIVERED, REQUEST_HEX, STOPPED_MESSAGE, TYPICAL_REPLY, BenchError
from .measures import Notifier, cpu_ns, peak_rss_kib, wake_ups

# ---------------------------------------------------------------- one run

def start_simulator(sim, log, sim_options, name):
    """The simulator process and the pty it plays the instrument on."""
    proc = subprocess.Popen([sim, "--log", str(log), *sim_options],
                            stdout=subprocess.PIPE, stdin=subprocess.DEVNULL)
    port = proc.stdout.readline().decode().strip()
    if not port.startswith("/dev/"):
        proc.terminate()
        proc.wait()
        raise BenchError(f"{name}: the simulator gave no pty")
    return proc, port


def check_ended_in_order(name, status, messages_file):
    """A logger stopped with Ctrl-C must end with status 0 and its closing message."""
    messages = messages_file.read_bytes()
    if status != 0 or not messages.rstrip().endswith(STOPPED_MESSAGE):
        raise BenchError(f"{name}: exit status {status}, messages:\n"
                         + messages.decode(errors="replace"))


class Session:
    """One logger against its own simulator, watched until it has written enough records.
    With `unattended` (a name), the logger is torvexsvc's run, which writes into
    its logs folder, this session's, the file of the day its stamps name (in
    UTC: a run across midnight times out)."""

    def __init__(self, name, command, sim, sim_options, work, notifier, wanted, seconds,
                 through_pipe=False, lines_per_record=1, unattended=None):
        self.name = name
        self.dir = Path(tempfile.mkdtemp(prefix=name.replace(" ", "-") + "-", dir=work))
        self.sim_log = self.dir / "requests.log"
        self.csv = self.dir / "records.csv"
        environment = None
        if unattended:
            self.csv = self.dir / time.strftime(f"{unattended}-%Y-%m-%d.csv", time.gmtime())
            environment = dict(os.environ, LOGS_DIRECTORY=str(self.dir))
        self.err = self.dir / "messages.txt"
        self.wanted = wanted
        # A record is this many lines: the floor writes each reply as it came.
        self.lines_per_record = lines_per_record
        self._lines = 0
        self.requests = []  # (bench time of the notification, simulator ms)
        self.record_times = []
        self.cpu_at_records = []  # the program's CPU time as each record lands
        self.wake_ups_at_records = []
        self.deliveries = []  # (simulator ms, writes) of each reply handed over
        self._log_offset = 0
        self._csv_offset = 0
        self._partial_log = b""

        self.sim, self.port = start_simulator(sim, self.sim_log, sim_options, name)
        self.sim_log.touch()
        self.csv.touch()
        self.log_wd = notifier.watch(self.sim_log)
        self.csv_wd = notifier.watch(self.csv)
        self.copier = None
        try:
            if through_pipe:
                # The records reach the file through cat: the logger writes to
                # a pipe, so it neither syncs nor shows progress.
                pipe = self.dir / "records.fifo"
                os.mkfifo(pipe)
                with open(self.csv, "wb") as csv:
                    self.copier = subprocess.Popen(["cat", str(pipe)], stdout=csv,
                                                   stdin=subprocess.DEVNULL)
                out = open(pipe, "wb")
            else:
                out = open(os.devnull if unattended else self.csv, "wb")
            with out, open(self.err, "wb") as err:
                self.proc = subprocess.Popen(command(self.port, seconds), stdout=out,
                                             stderr=err, stdin=subprocess.DEVNULL,
                                             env=environment)
        except OSError:
            self.kill()
            raise

    def done(self):
        return len(self.record_times) >= self.wanted

    def take(self, when, written):
        if self.log_wd in written:
            with open(self.sim_log, "rb") as log:
                log.seek(self._log_offset)
                data = self._partial_log + log.read()
            self._log_offset += len(data) - len(self._partial_log)
            *lines, self._partial_log = data.split(b"\n")
            for line in lines:
                stamp, what = line.decode().split(" ", 1)
                if what == REQUEST_HEX:
                    self.requests.append((when, float(stamp)))
                elif what.startswith(DELIVERED):
                    self.deliveries.append((float(stamp), int(what[len(DELIVERED):])))
        if self.csv_wd in written:
            with open(self.csv, "rb") as csv:
                csv.seek(self._csv_offset)
                data = csv.read()
            self._csv_offset += len(data)
            self._lines += data.count(b"\n")
            landed = self._lines // self.lines_per_record - len(self.record_times)
            if landed > 0:
                cpu, woken = cpu_ns(self.proc.pid), wake_ups(self.proc.pid)
            for _ in range(landed):
                self.record_times.append(when)
                self.cpu_at_records.append(cpu)
                self.wake_ups_at_records.append(woken)

    def alive(self):
        return self.proc.poll() is None

    def finish(self):
        """Ends the run with Ctrl-C (SIGINT) and checks that it ended in order."""
        self.peak_kib = peak_rss_kib(self.proc.pid)
        self.proc.send_signal(signal.SIGINT)
        try:
            status = self.proc.wait(timeout=20)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            status = None
        self.sim.terminate()
        self.sim.wait(timeout=10)
        if self.copier:
            self.copier.wait(timeout=10)  # ends with the logger's end of the pipe
        self.records = self.csv.read_bytes().splitlines(keepends=True)
        check_ended_in_order(self.name, status, self.err)

    def kill(self):
        for proc in (getattr(self, "proc", None), self.sim, self.copier):
            if proc is not None and proc.poll() is None:
                proc.kill()
                proc.wait()


def drive(sessions, notifier, limit_s, until=None):
    """Feeds notifications to the sessions until each has its records, or
    with `until` (a time.monotonic() moment), until then."""
    deadline = time.monotonic() + limit_s
    by_wd = {}
    for session in sessions:
        by_wd[session.log_wd] = session
        by_wd[session.csv_wd] = session
    while (time.monotonic() < until if until is not None
           else not all(session.done() for session in sessions)):
        if time.monotonic() > deadline:
            raise BenchError("timed out: " + ", ".join(
                f"{s.name} has {len(s.record_times)} of {s.wanted} records"
                for s in sessions if not s.done()))
        for session in sessions:
            if not session.done() and not session.alive():
                raise BenchError(f"{session.name} ended early:\n"
                                 + session.err.read_bytes().decode(errors="replace"))
        timeout = 0.5 if until is None else min(0.5, max(0.0, until - time.monotonic()))
        when, written = notifier.wait(timeout)
        for session in {by_wd[wd] for wd in written if wd in by_wd}:
            session.take(when, written)


def run_together(sessions_wanted, work, limit_s, between=None, stagger_s=0.0):
    """Runs (name, command, sim options, records wanted, period[, Session
    keyword options]) at once, each started stagger_s after the one before.
    Once all have their records, `between` is called with the sessions and a
    function more(wanted, limit_s) that drives them on to more records."""
    notifier = Notifier()
    sessions = []
    try:
        for index, (name, command, sim_options, wanted, seconds, *options) in enumerate(
                sessions_wanted):
            if index and stagger_s:
                drive(sessions, notifier, limit_s, until=time.monotonic() + stagger_s)
            sessions.append(Session(name, command, ARGS.sim, sim_options, work, notifier,
                                    wanted, seconds, **(options[0] if options else {})))
        drive(sessions, notifier, limit_s)
        if between:
            def more(wanted, limit):
                for session in sessions:
                    session.wanted = wanted
                drive(sessions, notifier, limit)
            between(sessions, more)
        for session in sessions:
            session.finish()
        return sessions
    finally:
        for session in sessions:
            session.kill()
        notifier.close()


# ---------------------------------------------------------------- commands

def native_command(port, seconds, baud):
    return [ARGS.torvex, "-p", port, "-b", str(baud), "-s", str(seconds)]


def script_command(port, seconds, baud):
    return [ARGS.python, str(ARGS.peer), "-p", port, "-b", str(baud), "-s", str(seconds)]


def floor_command(port, seconds, baud):
    return [ARGS.floor, port, str(baud), str(seconds)]


# The floor writes each reply unconverted: as many lines as the reply has.
FLOOR_OPTIONS = {"lines_per_record": TYPICAL_REPLY.count(b"\n")}


def commands(baud):
    return {
        "torvex": lambda port, seconds: native_command(port, seconds, baud),
        "script": lambda port, seconds: script_command(port, seconds, baud),
    }


def programs(baud):
    """(name, command, Session options) of the three programs measured side by side."""
    return [("torvex", commands(baud)["torvex"], {}),
            ("floor", lambda port, seconds: floor_command(port, seconds, baud), FLOOR_OPTIONS),
            ("script", commands(baud)["script"], {})]


def delivery_options(mode, baud, reply_file):
    return ["--baud", str(baud), "--delay", "0", "--script", str(reply_file),
            "--delivery", mode]

