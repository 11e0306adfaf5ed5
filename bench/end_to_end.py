#!/usr/bin/env python3
"""End-to-end benchmark of the logger against the instrument simulator.

Runs the native program and a typical pyserial script (bench/peers) side by
side against the simulator, which paces its reply at the line speed and hands
it over as real lines do (byte by byte, in a UART FIFO's chunks, or in a USB
adapter's packets), and measures per poll the time from request to record in
the output file against the limit the line sets, the start-to-start period,
CPU time, wake-ups, CPU while waiting, peak resident memory and (native only,
with valgrind) heap allocations made during the loop, (with perf) the system
calls of a poll and (with strace) how long each record's disk sync takes.
Prints one Markdown table and, with --readme, rewrites the
file's "Performance" section with it.

Linux only: inotify tells when a request is logged and when a record lands,
/proc gives CPU time and peak memory. Run it through scripts/bench.
"""
import argparse
import ctypes
import datetime
import json
import os
import platform
import re
import select
import signal
import statistics
import struct
import subprocess
import sys
import tempfile
import time
from pathlib import Path

# A typical five-line reply of 150 bytes (the same as in reply_bench.cpp).
TYPICAL_REPLY = (
    b"VARNOD,SN 0417,FW 2.3,OK\r\n"
    b"T,21.45,21.50,21.38,0.02\r\n"
    b"H,40.2%,7.25,7.31,0.50\r\n"
    b"P,1013.4,1013.6,1012.9,0.3\r\n"
    b"Q,12.50,0.25,3.75,100.0,42.0,7.125,9.50,1.25\r\n"
)
SILENCE_S = 0.5  # the reply ends after this much silence on the line
BITS_PER_BYTE = 10  # start bit, 8 data bits, stop bit
REQUEST_HEX = "490d0a"  # "I\r\n" as the simulator logs it
BAUDS = (9600, 38400)
# How the simulator hands the paced reply over (its --delivery): each byte on
# its own, as a UART's FIFO does, as a USB adapter does.
MODES = ("byte", "fifo", "usb")
DELIVERED = "delivered:"  # the simulator's log word: a reply handed over, in so many writes
PERIOD_S = 1
LONG_PERIOD_S = 10
LONG_POLLS = 4
IDLE_WATCH_S = 5.0
VALGRIND_POLLS = 3
CHECK_POLLS = 4
SYNC_POLLS = 30
COUNTED_POLLS = 10
STOPPED_MESSAGE = b"Terminado por el usuario"
BEGIN_MARK = "<!-- performance table: written by scripts/bench -->"
END_MARK = "<!-- end of performance table -->"


class BenchError(Exception):
    pass


# ---------------------------------------------------------------- inotify

IN_MODIFY = 0x2
EVENT_HEADER = struct.Struct("iIII")


class Notifier:
    """Wakes up when a watched file is written to, and says when."""

    def __init__(self):
        self.libc = ctypes.CDLL(None, use_errno=True)
        self.fd = self.libc.inotify_init1(os.O_CLOEXEC | os.O_NONBLOCK)
        if self.fd < 0:
            raise BenchError("inotify: " + os.strerror(ctypes.get_errno()))

    def watch(self, path):
        wd = self.libc.inotify_add_watch(self.fd, os.fsencode(path), IN_MODIFY)
        if wd < 0:
            raise BenchError(f"inotify on {path}: " + os.strerror(ctypes.get_errno()))
        return wd

    def wait(self, timeout):
        """(CLOCK_MONOTONIC seconds at wake-up, set of watch descriptors written to)."""
        ready, _, _ = select.select([self.fd], [], [], timeout)
        now = time.monotonic()
        written = set()
        if ready:
            try:
                data = os.read(self.fd, 65536)
            except BlockingIOError:
                data = b""
            offset = 0
            while offset < len(data):
                wd, _mask, _cookie, length = EVENT_HEADER.unpack_from(data, offset)
                written.add(wd)
                offset += EVENT_HEADER.size + length
        return now, written

    def close(self):
        os.close(self.fd)


# ---------------------------------------------------------------- /proc

def cpu_ns(pid):
    """User plus system time of every thread of the process, in ns."""
    total = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        with open(f"/proc/{pid}/task/{task}/schedstat") as stat:
            total += int(stat.read().split()[0])
    return total


def wake_ups(pid):
    """Times every thread of the process gave up the CPU to wait (voluntary context switches)."""
    total = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        with open(f"/proc/{pid}/task/{task}/status") as status:
            for line in status:
                if line.startswith("voluntary_ctxt_switches:"):
                    total += int(line.split()[1])
    return total


def peak_rss_kib(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    raise BenchError(f"no VmHWM for process {pid}")


def filesystem_of(path):
    """"ext4 on /dev/vda": the file system that holds `path`, from /proc/mounts."""
    path = os.path.realpath(path)
    best = ("", "unknown file system", "")
    with open("/proc/mounts") as mounts:
        for line in mounts:
            device, mount_point, kind = line.split()[:3]
            inside = path == mount_point or path.startswith(mount_point.rstrip("/") + "/")
            if inside and len(mount_point) >= len(best[0]):
                best = (mount_point, kind, device)
    return f"{best[1]} on {best[2]}" if best[2] else best[1]


# The kernel's count of system calls as they are entered, by kind: all,
# reads, and the waits either program uses.
SYSTEM_CALL_EVENTS = {
    "raw_syscalls:sys_enter": "all",
    "syscalls:sys_enter_read": "read",
    "syscalls:sys_enter_poll": "wait",
    "syscalls:sys_enter_ppoll": "wait",
    "syscalls:sys_enter_select": "wait",
    "syscalls:sys_enter_pselect6": "wait",
}


def system_call_counts(report):
    """{"all": n, "read": n, "wait": n} from `perf stat -x,` output."""
    counts = {}
    for line in report.splitlines():
        fields = line.split(",")
        if line.startswith("#") or len(fields) < 3 or fields[2] not in SYSTEM_CALL_EVENTS:
            continue
        if not fields[0].isdigit():
            raise BenchError("perf could not count " + fields[2] + ": " + fields[0])
        kind = SYSTEM_CALL_EVENTS[fields[2]]
        counts[kind] = counts.get(kind, 0) + int(fields[0])
    if set(counts) != {"all", "read", "wait"}:
        raise BenchError("perf counted no system calls:\n" + report)
    return counts


SYNC_CALL = re.compile(r"^fdatasync\(1\)\s+= (-?\d+)[^<]*<(\d+\.\d+)>", re.M)


def sync_seconds(trace):
    """The durations of the program's syncs of standard output, from
    `strace -T -e trace=fdatasync` output; a failed sync is an error."""
    times = []
    for result, seconds in SYNC_CALL.findall(trace):
        if result != "0":
            raise BenchError("a disk sync failed: " + trace)
        times.append(float(seconds))
    return times


def machine_description():
    model = platform.processor() or "unknown CPU"
    with open("/proc/cpuinfo") as cpuinfo:
        for line in cpuinfo:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    return model, os.cpu_count()


def load_average():
    return os.getloadavg()[0]


# ---------------------------------------------------------------- one run

class Session:
    """One logger against its own simulator, watched until it has written enough records."""

    def __init__(self, name, command, sim, sim_options, work, notifier, wanted, seconds,
                 through_pipe=False):
        self.name = name
        self.dir = Path(tempfile.mkdtemp(prefix=name.replace(" ", "-") + "-", dir=work))
        self.sim_log = self.dir / "requests.log"
        self.csv = self.dir / "records.csv"
        self.err = self.dir / "messages.txt"
        self.wanted = wanted
        self.requests = []  # (bench time of the notification, simulator ms)
        self.record_times = []
        self.cpu_at_records = []  # the program's CPU time as each record lands
        self.wake_ups_at_records = []
        self.deliveries = []  # (simulator ms, writes) of each reply handed over
        self._log_offset = 0
        self._csv_offset = 0
        self._partial_log = b""

        self.sim = subprocess.Popen(
            [sim, "--log", str(self.sim_log), *sim_options],
            stdout=subprocess.PIPE, stdin=subprocess.DEVNULL)
        self.port = self.sim.stdout.readline().decode().strip()
        if not self.port.startswith("/dev/"):
            self.sim.terminate()
            raise BenchError(f"{name}: the simulator gave no pty")
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
                out = open(self.csv, "wb")
            with out, open(self.err, "wb") as err:
                self.proc = subprocess.Popen(command(self.port, seconds), stdout=out,
                                             stderr=err, stdin=subprocess.DEVNULL)
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
            if b"\n" in data:
                cpu, woken = cpu_ns(self.proc.pid), wake_ups(self.proc.pid)
            for _ in range(data.count(b"\n")):
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
        self.messages = self.err.read_bytes()
        if status != 0 or not self.messages.rstrip().endswith(STOPPED_MESSAGE):
            raise BenchError(f"{self.name}: exit status {status}, messages:\n"
                             + self.messages.decode(errors="replace"))

    def kill(self):
        for proc in (getattr(self, "proc", None), self.sim, self.copier):
            if proc is not None and proc.poll() is None:
                proc.kill()
                proc.wait()


def drive(sessions, notifier, limit_s):
    """Feeds notifications to the sessions until each has its records."""
    deadline = time.monotonic() + limit_s
    by_wd = {}
    for session in sessions:
        by_wd[session.log_wd] = session
        by_wd[session.csv_wd] = session
    while not all(session.done() for session in sessions):
        if time.monotonic() > deadline:
            raise BenchError("timed out: " + ", ".join(
                f"{s.name} has {len(s.record_times)} of {s.wanted} records"
                for s in sessions if not s.done()))
        for session in sessions:
            if not session.done() and not session.alive():
                raise BenchError(f"{session.name} ended early:\n"
                                 + session.err.read_bytes().decode(errors="replace"))
        when, written = notifier.wait(0.5)
        for session in {by_wd[wd] for wd in written if wd in by_wd}:
            session.take(when, written)


def run_together(sessions_wanted, work, limit_s, between=None):
    """Runs (name, command, sim options, records wanted, period[, through a
    pipe]) at once.
    Once all have their records, `between` is called with the sessions and a
    function more(wanted, limit_s) that drives them on to more records."""
    notifier = Notifier()
    sessions = []
    try:
        for name, command, sim_options, wanted, seconds, *through_pipe in sessions_wanted:
            sessions.append(Session(name, command, ARGS.sim, sim_options, work, notifier,
                                    wanted, seconds, *through_pipe))
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


# ---------------------------------------------------------------- figures

def median_ms(values):
    return statistics.median(values) * 1000


def period_figures(session, setting_s):
    """Median start-to-start period and its worst deviation from the setting, in ms,
    from the simulator's own stamps."""
    periods = [(b - a) / 1000 for (_, a), (_, b) in zip(session.requests, session.requests[1:])]
    worst = max((period - setting_s for period in periods), key=abs)
    return median_ms(periods), worst * 1000


def timing_figures(session, reply_bytes, baud, mode="byte"):
    """Request-to-record times against the limit the line sets, the period,
    and CPU and wake-ups per poll. The limit is the reply's wire time plus the
    500 ms of silence, or where the line hands bytes over late (a FIFO's rest,
    a USB packet), the time its last bytes were handed over plus the silence."""
    if len(session.requests) < session.wanted:
        raise BenchError(f"{session.name}: {len(session.requests)} requests logged "
                         f"for {session.wanted} records")
    # The simulator stamps requests on its own clock: map it onto ours by the
    # quickest notification of a logged request.
    offset = min(when - ms / 1000 for when, ms in session.requests)
    requested = [ms / 1000 + offset for _, ms in session.requests]
    latencies = [record - request
                 for request, record in zip(requested, session.record_times)]
    if mode == "byte":
        limits = [reply_bytes * BITS_PER_BYTE / baud + SILENCE_S] * len(latencies)
    else:
        if len(session.deliveries) < len(latencies):
            raise BenchError(f"{session.name}: {len(session.deliveries)} replies handed over "
                             f"for {len(latencies)} records")
        limits = [(ms - requested_ms) / 1000 + SILENCE_S
                  for (_, requested_ms), (ms, _) in zip(session.requests, session.deliveries)]
    overheads = [latency - limit for latency, limit in zip(latencies, limits)]
    period, period_worst = period_figures(session, PERIOD_S)
    # Record to record: one whole poll and its wait, start-up excluded.
    cpu_per_poll = [b - a for a, b in zip(session.cpu_at_records, session.cpu_at_records[1:])]
    woken = session.wake_ups_at_records
    wake_ups_per_poll = [b - a for a, b in zip(woken, woken[1:])]
    writes = [count for _, count in session.deliveries[:len(latencies)]]
    return {
        "latency": median_ms(latencies),
        "limit": median_ms(limits),
        "overhead": median_ms(overheads),
        "overhead_worst": max(overheads) * 1000,
        "period": period,
        "period_worst": period_worst,
        "cpu_per_poll": statistics.median(cpu_per_poll) / 1e6,
        "wake_ups": statistics.median(wake_ups_per_poll),
        "chunks": statistics.median(writes) if writes else None,
        "peak_kib": session.peak_kib,
    }


def first_difference(a, b):
    for index, (x, y) in enumerate(zip(a, b)):
        if x != y:
            return index
    return None if len(a) == len(b) else min(len(a), len(b))


# ---------------------------------------------------------------- the table

def fmt_ms(value, digits=2):
    return f"{value:.{digits}f} ms"


def fmt_signed_ms(value):
    return f"{value:+.2f} ms"


def fmt_ratio(mine, theirs):
    if mine <= 0:
        return ""
    ratio = theirs / mine
    return f" ({ratio:.1f}×)" if ratio < 10 else f" ({ratio:.0f}×)"


def fmt_calls(calls, reply_bytes):
    waits_and_reads = calls["wait"] + calls["read"]
    return (f"{calls['all']:.1f} ({calls['all'] / reply_bytes:.2f} per reply byte); "
            f"of them waits and reads {waits_and_reads:.1f} ({waits_and_reads / reply_bytes:.2f})")


# What each delivery must reach, beyond the overhead and period targets.
CPU_TARGETS = {"byte": "< 1 ms; script ≥ 2.5×", "fifo": "≤ 0.3 ms; script ≥ 10×",
               "usb": "≤ 0.3 ms; script ≥ 10×"}


def mode_rows(row, n, s, calls, mode, baud):
    """The rows of one delivery at one speed: n and s are the program's and
    the script's figures, calls their system calls per poll (or None)."""
    if mode == "byte":
        title, limit = f"**{baud} baud**", f"wire-time limit {n['limit']:.1f} ms"
        short = f"{baud} baud"
    else:
        title = f"**{baud} baud, `{mode}`**"
        limit = f"limit: last bytes handed over + 500 ms, median {n['limit']:.1f} ms"
        short = f"{baud} baud, `{mode}`"
    row(f"{title}: request to record in the file, median ({limit})", fmt_ms(n["latency"], 1),
        fmt_ms(s["latency"], 1))
    row(f"{short}: overhead over the limit, median / worst",
        f"{fmt_signed_ms(n['overhead'])} / {fmt_signed_ms(n['overhead_worst'])}",
        f"{fmt_signed_ms(s['overhead'])} / {fmt_signed_ms(s['overhead_worst'])}",
        "median < 2 ms")
    row(f"{short}: start-to-start period at `-s 1`, median / worst deviation",
        f"{n['period']:.2f} ms / {fmt_signed_ms(n['period_worst'])}",
        f"{s['period']:.2f} ms / {fmt_signed_ms(s['period_worst'])}",
        "median within 2 ms of 1000 ms")
    row(f"{short}: CPU per poll (user + system), median", fmt_ms(n["cpu_per_poll"], 3),
        fmt_ms(s["cpu_per_poll"], 3) + fmt_ratio(n["cpu_per_poll"], s["cpu_per_poll"]),
        CPU_TARGETS[mode])
    chunks = n["chunks"]
    row(f"{short}: wake-ups per poll (voluntary context switches), median; "
        f"the line handed each reply over in {chunks:.0f} writes",
        f"{n['wake_ups']:.0f}", f"{s['wake_ups']:.0f}",
        "" if mode == "byte" else f"≤ {chunks:.0f} + 2")
    if calls is None:
        row(f"{short}: system calls per poll", "not measured (no perf)", "not measured")
    else:
        row(f"{short}: system calls per poll", fmt_calls(calls[0], n["bytes"]),
            fmt_calls(calls[1], n["bytes"]), "≤ 2 per reply byte" if mode == "byte" else "")


def build_table(figures, unsynced, calls, idle, long_periods, allocations, syncs, checks, micro,
                machine, started, load):
    native, script = "torvex", "script"
    rows = []

    def row(label, a, b, target=""):
        rows.append(f"| {label} | {a} | {b} | {target} |")

    for mode in MODES:
        for baud in BAUDS:
            mode_rows(row, figures[native][mode, baud], figures[script][mode, baud],
                      calls.get((mode, baud)) if calls is not None else None, mode, baud)
    for mode, (synced, bare) in unsynced.items():
        row(f"Without the disk sync (9600 baud, `{mode}`, records through a pipe): CPU / "
            f"wake-ups per poll, medians; synced to a file in the same run",
            f"{fmt_ms(bare['cpu_per_poll'], 3)} / {bare['wake_ups']:.0f}; synced "
            f"{fmt_ms(synced['cpu_per_poll'], 3)} / {synced['wake_ups']:.0f}", "")
    hourly = {}
    for who in (native, script):
        polls_per_hour = 3600 / 10
        hourly[who] = (figures[who]["byte", 9600]["cpu_per_poll"] * polls_per_hour
                       + idle[who] / IDLE_WATCH_S * 3600 / 1e6) / 1000
    row("CPU per hour of logging at `-s 10` (9600 baud, `byte`)", f"{hourly[native]:.2f} s",
        f"{hourly[script]:.2f} s{fmt_ratio(hourly[native], hourly[script])}")
    n, s = long_periods[native], long_periods[script]
    row(f"Start-to-start period at `-s {LONG_PERIOD_S}` (38400 baud), median / worst deviation",
        f"{n[0]:.2f} ms / {fmt_signed_ms(n[1])}", f"{s[0]:.2f} ms / {fmt_signed_ms(s[1])}",
        f"median within 2 ms of {LONG_PERIOD_S * 1000} ms")
    row(f"CPU while only waiting (`-s {LONG_PERIOD_S}`, {IDLE_WATCH_S:.0f} s of a wait)",
        fmt_ms(idle[native] / 1e6, 3), fmt_ms(idle[script] / 1e6, 3), "none measurable")
    peaks = {who: max(figures[who][run]["peak_kib"] for run in figures[who])
             for who in (native, script)}
    row("Peak resident memory (VmHWM)", f"{peaks[native] / 1024:.2f} MiB",
        f"{peaks[script] / 1024:.2f} MiB{fmt_ratio(peaks[native], peaks[script])}",
        "< 2 MiB; script ≥ 5×")
    if allocations is None:
        native_allocs = "not measured (no valgrind)"
    else:
        short_run, long_run = allocations
        native_allocs = (f"{long_run - short_run} ({short_run} allocs in {VALGRIND_POLLS} polls, "
                         f"{long_run} in {2 * VALGRIND_POLLS})")
    row(f"Heap allocations made by {VALGRIND_POLLS} more polls (valgrind)", native_allocs,
        "not measured", "none")
    if syncs is None:
        row("Disk sync of each record, median / worst", "not measured (no strace)",
            "none: it only flushes")
    else:
        times, where = syncs
        row(f"Disk sync of each record (`fdatasync`, {where}), median / worst of {len(times)}",
            f"{median_ms(times):.2f} ms / {max(times) * 1000:.2f} ms", "none: it only flushes")
    row("Records the same as the program's", "", checks, "identical")

    model, cores = machine
    lines = [
        f"Measured on {started:%Y-%m-%d} by `scripts/bench`: {model}, {cores} cores, "
        f"Linux {platform.release()}, load average {load[0]:.2f} at the start and "
        f"{load[1]:.2f} at the end" + (f"; {ARGS.note}" if ARGS.note else "") + ".",
        f"Simulated instrument on a pseudo-terminal, answering each request with a "
        f"{len(TYPICAL_REPLY)}-byte reply of five lines paced at 10 bits per byte and handed "
        f"over byte by byte (`byte`), as from a UART's FIFO (`fifo`) or as from a USB "
        f"adapter (`usb`); "
        f"{ARGS.polls} polls per program, delivery and speed at `-s {PERIOD_S}`, both programs "
        f"at once, records to a file. System calls are the kernel's count (`perf stat` on its "
        f"tracepoints) over {COUNTED_POLLS} polls of separate runs. "
        f"The script is `bench/peers/serial_logger.py` (Python "
        f"{ARGS.python_version}, pyserial {ARGS.pyserial_version}).",
        "",
        "| | torvex | Python script | target |",
        "|---|---|---|---|",
        *rows,
    ]
    if micro:
        lines += [
            "",
            "Reply pipeline alone (receive from memory, join, rewrite; `bench/reply_bench.cpp`):",
            "",
            "| reply | time per reply | throughput |",
            "|---|---|---|",
            *(f"| {name} | {ns:,.0f} ns | {rate / 1e6:,.0f} MB/s |" for name, ns, rate in micro),
        ]
    return "\n".join(lines)


def write_readme(path, table):
    text = path.read_text()
    block = f"{BEGIN_MARK}\n{table}\n{END_MARK}"
    if BEGIN_MARK in text and END_MARK in text:
        before = text[:text.index(BEGIN_MARK)]
        after = text[text.index(END_MARK) + len(END_MARK):]
        text = before + block + after
    else:
        text = text.rstrip("\n") + "\n\n## Performance\n\n" + block + "\n"
    path.write_text(text)


# ---------------------------------------------------------------- phases

def native_command(port, seconds, baud):
    return [ARGS.torvex, "-p", port, "-b", str(baud), "-s", str(seconds)]


def script_command(port, seconds, baud):
    return [ARGS.python, str(ARGS.peer), "-p", port, "-b", str(baud), "-s", str(seconds)]


def commands(baud):
    return {
        "torvex": lambda port, seconds: native_command(port, seconds, baud),
        "script": lambda port, seconds: script_command(port, seconds, baud),
    }


def delivery_options(mode, baud, reply_file):
    return ["--baud", str(baud), "--delay", "0", "--script", str(reply_file),
            "--delivery", mode]


def timed_runs(work, reply_file):
    """Both programs at once, each with its own simulator, so that they meet
    the same state of the machine: CPU time per wake-up varies with it. One
    run per delivery and speed."""
    figures = {"torvex": {}, "script": {}}
    mismatches = []
    for mode in MODES:
        for baud in BAUDS:
            print(f"  {mode}, {baud} baud, {ARGS.polls} polls", file=sys.stderr, flush=True)
            sessions_wanted = [(who, command, delivery_options(mode, baud, reply_file),
                                ARGS.polls, PERIOD_S)
                               for who, command in commands(baud).items()]
            native, script = run_together(sessions_wanted, work, ARGS.polls * PERIOD_S + 30)
            for session in (native, script):
                figures[session.name][mode, baud] = dict(
                    timing_figures(session, len(TYPICAL_REPLY), baud, mode),
                    bytes=len(TYPICAL_REPLY))
            where = first_difference(native.records, script.records)
            if where is not None:
                mismatches.append(f"{mode}, {baud} baud, record {where + 1}")
    return figures, mismatches


def unsynced_runs(work, reply_file):
    """The program twice at once, per delivery at 9600 baud: records to a file,
    each synced to the disk, and records through a pipe, not synced. Their
    difference is what the disk sync costs a poll."""
    figures = {}
    polls = max(3, ARGS.polls // 3)
    for mode in MODES:
        print(f"  {mode}, 9600 baud, {polls} polls: records synced or not",
              file=sys.stderr, flush=True)
        command = commands(9600)["torvex"]
        options = delivery_options(mode, 9600, reply_file)
        synced, unsynced = run_together(
            [("torvex-synced", command, options, polls, PERIOD_S),
             ("torvex-unsynced", command, options, polls, PERIOD_S, True)],
            work, polls * PERIOD_S + 30)
        figures[mode] = [timing_figures(session, len(TYPICAL_REPLY), 9600, mode)
                         for session in (synced, unsynced)]
    return figures


def counted_runs(work, reply_file):
    """System calls per poll, per delivery and speed, counted by the kernel
    (perf stat on its tracepoints, which slows neither program): from the
    wait after each program's second record to the wait after COUNTED_POLLS
    more, when neither makes a call."""
    if not ARGS.perf:
        return None
    calls = {}
    for mode in MODES:
        for baud in BAUDS:
            print(f"  system calls: perf, {mode}, {baud} baud, {COUNTED_POLLS} polls",
                  file=sys.stderr, flush=True)
            reports, counters = {}, []

            def count(sessions, more):
                more(2, 30)
                time.sleep(0.05)  # both into their waits
                for session in sessions:
                    reports[session.name] = work / f"calls-{session.name}-{mode}-{baud}.txt"
                    counters.append(subprocess.Popen(
                        [ARGS.perf, "stat", "-x", ",", "-o", str(reports[session.name]),
                         "-e", ",".join(SYSTEM_CALL_EVENTS), "-p", str(session.proc.pid)],
                        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                        stderr=subprocess.DEVNULL))
                more(2 + COUNTED_POLLS, COUNTED_POLLS * PERIOD_S + 30)
                time.sleep(0.05)
                for counter in counters:
                    counter.send_signal(signal.SIGINT)
                    counter.wait(timeout=10)

            sessions_wanted = [(who, command, delivery_options(mode, baud, reply_file), 1,
                                PERIOD_S) for who, command in commands(baud).items()]
            try:
                run_together(sessions_wanted, work, 30, between=count)
            finally:
                for counter in counters:
                    if counter.poll() is None:
                        counter.kill()
                        counter.wait()
            calls[mode, baud] = tuple(
                {kind: n / COUNTED_POLLS
                 for kind, n in system_call_counts(reports[who].read_text()).items()}
                for who in ("torvex", "script"))
    return calls


def equivalence_runs(work):
    """Both programs over the simulator's varying replies and over replies
    longer than the buffer, at once; their records must be the same."""
    scenarios = {"varying replies": [], "3000-character replies": ["--long", "3000"]}
    sessions_wanted = []
    for scenario, extra in scenarios.items():
        for who, command in commands(38400).items():
            sessions_wanted.append((f"{who}-{scenario}", command,
                          ["--baud", "38400", "--delay", "0", *extra], CHECK_POLLS, PERIOD_S))
    print(f"  record check: {', '.join(scenarios)}", file=sys.stderr, flush=True)
    sessions = run_together(sessions_wanted, work, CHECK_POLLS * PERIOD_S + 30)
    mismatches, total = [], 0
    for index, scenario in enumerate(scenarios):
        native, script = sessions[2 * index], sessions[2 * index + 1]
        count = min(len(native.records), len(script.records), CHECK_POLLS)
        total += count
        where = first_difference(native.records[:count], script.records[:count])
        if where is not None:
            mismatches.append(f"{scenario}, record {where + 1}")
    return mismatches, total


def long_period_runs(work, reply_file):
    """Both programs at -s 10: CPU while only waiting, in the first poll's
    wait, then the start-to-start period over the next polls."""
    print(f"  -s {LONG_PERIOD_S}: waiting, then {LONG_POLLS} polls", file=sys.stderr, flush=True)
    idle = {}

    def watch_waiting(sessions, more):
        time.sleep(0.5)  # let the first poll's record and wait begin
        before = {session.name: cpu_ns(session.proc.pid) for session in sessions}
        time.sleep(IDLE_WATCH_S)
        for session in sessions:
            idle[session.name] = cpu_ns(session.proc.pid) - before[session.name]
            if session.sim_log.read_text().count(REQUEST_HEX) != 1:
                raise BenchError(f"{session.name} polled while it should have waited")
        more(LONG_POLLS, LONG_POLLS * LONG_PERIOD_S + 30)

    sim_options = ["--baud", "38400", "--delay", "0", "--script", str(reply_file)]
    sessions_wanted = [(who, command, sim_options, 1, LONG_PERIOD_S)
             for who, command in commands(38400).items()]
    sessions = run_together(sessions_wanted, work, 30, between=watch_waiting)
    periods = {session.name: period_figures(session, LONG_PERIOD_S) for session in sessions}
    where = first_difference(sessions[0].records[:LONG_POLLS], sessions[1].records[:LONG_POLLS])
    mismatches = [] if where is None else [f"-s {LONG_PERIOD_S}, record {where + 1}"]
    return idle, periods, mismatches


def allocation_runs(work):
    """valgrind's count of heap allocations for k and 2k polls."""
    if not ARGS.valgrind:
        return None
    print(f"  heap: valgrind, {VALGRIND_POLLS} and {2 * VALGRIND_POLLS} polls",
          file=sys.stderr, flush=True)
    logs = {}
    sessions_wanted = []
    for polls in (VALGRIND_POLLS, 2 * VALGRIND_POLLS):
        logs[polls] = work / f"valgrind-{polls}.txt"

        def command(port, seconds, log=logs[polls]):
            return [ARGS.valgrind, f"--log-file={log}", "--leak-check=no",
                    *native_command(port, seconds, 38400)]
        sessions_wanted.append((f"valgrind-{polls}", command, ["--baud", "38400", "--delay", "0"],
                      polls, PERIOD_S))
    run_together(sessions_wanted, work, 2 * VALGRIND_POLLS * PERIOD_S + 60)
    counts = []
    for polls in (VALGRIND_POLLS, 2 * VALGRIND_POLLS):
        found = re.search(r"total heap usage: ([\d,]+) allocs", logs[polls].read_text())
        if not found:
            raise BenchError(f"no heap summary in {logs[polls]}")
        counts.append(int(found.group(1).replace(",", "")))
    return tuple(counts)


def sync_runs(work, reply_file):
    """How long the disk sync of each record takes, as `strace -T` times the
    call: attached after the first record, for SYNC_POLLS more, at 38400 baud
    with the records on the file system of the work folder."""
    if not ARGS.strace:
        return None
    print(f"  disk sync: strace, {SYNC_POLLS} records", file=sys.stderr, flush=True)
    trace = work / "sync-trace.txt"
    tracers = []

    def attach(sessions, more):
        tracers.append(subprocess.Popen(
            [ARGS.strace, "-qq", "-T", "-e", "trace=fdatasync", "-o", str(trace),
             "-p", str(sessions[0].proc.pid)],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        time.sleep(0.3)  # attached well before the next poll
        more(1 + SYNC_POLLS, SYNC_POLLS * PERIOD_S + 30)

    sim_options = ["--baud", "38400", "--delay", "0", "--script", str(reply_file)]
    try:
        run_together([("torvex-sync", commands(38400)["torvex"], sim_options, 1, PERIOD_S)],
                     work, 30, between=attach)
    finally:
        for tracer in tracers:
            tracer.wait(timeout=10)  # ends with the program
    times = sync_seconds(trace.read_text())
    if len(times) < SYNC_POLLS:
        raise BenchError(f"{len(times)} disk syncs traced for {SYNC_POLLS} records")
    return times, filesystem_of(work)


def micro_benchmarks():
    if not ARGS.reply_bench or not Path(ARGS.reply_bench).exists():
        return None
    print("  reply pipeline micro-benchmarks", file=sys.stderr, flush=True)
    out = subprocess.run([ARGS.reply_bench, "--benchmark_format=json",
                          "--benchmark_min_time=0.5"],
                         capture_output=True, check=True, text=True).stdout
    names = {
        "BM_TypicalReply": f"typical, {len(TYPICAL_REPLY)} bytes in 5 lines",
        "BM_FullBufferOfShortLines": "2047 characters in short lines, all joined",
        "BM_FullBufferOfSeparators": "2047 characters, \"%\" early, every other one a separator",
    }
    return [(names.get(b["name"], b["name"]), b["real_time"], b["bytes_per_second"])
            for b in json.loads(out)["benchmarks"]]


def tool_versions():
    version = subprocess.run(
        [ARGS.python, "-c", "import platform, serial; "
         "print(platform.python_version(), serial.__version__)"],
        capture_output=True, text=True, check=True).stdout.split()
    ARGS.python_version, ARGS.pyserial_version = version


def main():
    global ARGS
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--torvex", required=True)
    parser.add_argument("--sim", required=True)
    parser.add_argument("--python", default="/usr/bin/python3")
    parser.add_argument("--peer", type=Path,
                        default=Path(__file__).resolve().parent / "peers" / "serial_logger.py")
    parser.add_argument("--valgrind", help="valgrind executable; heap counts are skipped without")
    parser.add_argument("--reply-bench", help="the micro-benchmark executable, if built")
    parser.add_argument("--strace", help="strace executable; the disk sync times are skipped without")
    parser.add_argument("--perf", help="perf executable; system calls are not counted without")
    parser.add_argument("--polls", type=int, default=60)
    parser.add_argument("--readme", type=Path, help="rewrite this file's Performance section")
    parser.add_argument("--note", default="", help="added to the description of the machine")
    ARGS = parser.parse_args()
    if ARGS.polls < 3:
        parser.error("--polls must be at least 3")
    # Children must see Ctrl-C as Ctrl-C even when this was started in the background.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    tool_versions()

    started = datetime.datetime.now(datetime.timezone.utc)
    load_at_start = load_average()
    with tempfile.TemporaryDirectory(prefix="torvex-bench-") as temp:
        work = Path(temp)
        reply_file = work / "reply.txt"
        reply_file.write_bytes(TYPICAL_REPLY)
        figures, mismatches = timed_runs(work, reply_file)
        unsynced = unsynced_runs(work, reply_file)
        calls = counted_runs(work, reply_file)
        more_mismatches, checked = equivalence_runs(work)
        mismatches += more_mismatches
        idle, long_periods, more_mismatches = long_period_runs(work, reply_file)
        mismatches += more_mismatches
        allocations = allocation_runs(work)
        syncs = sync_runs(work, reply_file)
    micro = micro_benchmarks()
    checked += len(MODES) * len(BAUDS) * ARGS.polls + LONG_POLLS
    checks = (f"yes, {checked} of {checked}" if not mismatches
              else "**NO**: " + "; ".join(mismatches))

    table = build_table(figures, unsynced, calls, idle, long_periods, allocations, syncs, checks, micro,
                        machine_description(), started, (load_at_start, load_average()))
    print(table)
    if ARGS.readme:
        write_readme(ARGS.readme, table)
        print(f"\n{ARGS.readme} updated.", file=sys.stderr)
    if mismatches:
        print("The script's records differ from the program's: " + "; ".join(mismatches),
              file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except BenchError as error:
        print(f"bench: {error}", file=sys.stderr)
        sys.exit(1)
