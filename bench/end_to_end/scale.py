"""Many loggers on one machine: N loggers at once, each against its own
simulator (fifo delivery, 9600 baud, -s 1), each writing its records to a
file of its own, as one service instance per instrument does."""
import signal
import statistics
import subprocess
import sys
import time

from .common import ARGS, PERIOD_S, REQUEST_HEX, BenchError
from .measures import cpu_ns, machine_busy_s, pss_kib
from .sessions import (check_ended_in_order, delivery_options, native_command, script_command,
                       start_simulator)

SCALE_COUNTS = (1, 8, 32, 64)
SCALE_BAUD = 9600
SCALE_MODE = "fifo"
SETTLE_S = 3.0  # after the last logger started, before the watch begins


class Pair:
    """One logger and its simulator, left alone until the end of the run."""

    def __init__(self, folder, command, sim_options):
        folder.mkdir()
        self.sim_log = folder / "requests.log"
        self.launched = time.monotonic()  # the simulator's clock starts about now
        self.proc = None
        self.sim, port = start_simulator(ARGS.sim, self.sim_log, sim_options, folder.name)
        self.err = folder / "messages.txt"
        try:
            with open(folder / "records.csv", "wb") as out, open(self.err, "wb") as err:
                self.proc = subprocess.Popen(command(port, PERIOD_S), stdout=out, stderr=err,
                                             stdin=subprocess.DEVNULL)
        except OSError:
            self.kill()
            raise

    def request_times(self):
        """When each request came, on this benchmark's clock, from the simulator's stamps."""
        times = []
        for line in self.sim_log.read_text().splitlines():
            stamp, what = line.split(" ", 1)
            if what == REQUEST_HEX:
                times.append(self.launched + float(stamp) / 1000)
        return times

    def stop(self):
        self.proc.send_signal(signal.SIGINT)

    def finish(self):
        try:
            status = self.proc.wait(timeout=20)
        except subprocess.TimeoutExpired:
            status = None
        check_ended_in_order(self.err.parent.name, status, self.err)

    def kill(self):
        for proc in (self.proc, self.sim):
            if proc is not None and proc.poll() is None:
                proc.kill()
                proc.wait()


def periods_in(times, start, end):
    """Start-to-start periods, in ms, of the requests made between start and end."""
    inside = [t for t in times if start <= t <= end]
    return [(b - a) * 1000 for a, b in zip(inside, inside[1:])]


def fleet_figures(periods_by_logger, logger_cpu_s, sim_cpu_s, busy_s, span_s, pss):
    """The row of one run: period deviations from the setting over all
    loggers, CPU as a percentage of one core, PSS in KiB."""
    setting_ms = PERIOD_S * 1000
    everything = [p for periods in periods_by_logger for p in periods]
    if not everything or any(len(periods) < 2 for periods in periods_by_logger):
        raise BenchError("a logger made fewer than three requests while it was watched")
    medians = [statistics.median(periods) - setting_ms for periods in periods_by_logger]
    return {
        "loggers": len(periods_by_logger),
        "median": statistics.median(everything) - setting_ms,
        "worst_median": max(medians, key=abs),
        "latest": max(everything) - setting_ms,
        "earliest": min(everything) - setting_ms,
        "periods": len(everything),
        "cpu_pct": 100 * logger_cpu_s / span_s,
        "sim_pct": 100 * sim_cpu_s / span_s,
        "busy_pct": 100 * busy_s / span_s,
        "pss_kib": sum(pss),
        "pss_each_kib": sum(pss) / len(pss),
    }


def fleet_run(work, label, command, count, watch_s):
    """count loggers at once; watched for watch_s seconds once all run."""
    folder = work / f"scale-{label}-{count}"
    folder.mkdir()
    sim_options = delivery_options(SCALE_MODE, SCALE_BAUD, work / "reply.txt")
    pairs = []
    try:
        for index in range(count):
            pairs.append(Pair(folder / str(index), command, sim_options))
        time.sleep(SETTLE_S)
        for pair in pairs:
            if pair.proc.poll() is not None:
                raise BenchError(f"{label} {pair.err.parent.name} ended early:\n"
                                 + pair.err.read_bytes().decode(errors="replace"))
        start, busy_start = time.monotonic(), machine_busy_s()
        cpu_start = [(cpu_ns(pair.proc.pid), cpu_ns(pair.sim.pid)) for pair in pairs]
        time.sleep(watch_s)
        cpu_end = [(cpu_ns(pair.proc.pid), cpu_ns(pair.sim.pid)) for pair in pairs]
        end, busy_end = time.monotonic(), machine_busy_s()
        pss = [pss_kib(pair.proc.pid) for pair in pairs]
        for pair in pairs:
            pair.stop()
        for pair in pairs:
            pair.finish()
        return fleet_figures(
            [periods_in(pair.request_times(), start, end) for pair in pairs],
            sum(b[0] - a[0] for a, b in zip(cpu_start, cpu_end)) / 1e9,
            sum(b[1] - a[1] for a, b in zip(cpu_start, cpu_end)) / 1e9,
            busy_end - busy_start, end - start, pss)
    finally:
        for pair in pairs:
            pair.kill()


def scale_runs(work):
    """{"torvex": {N: row}, "script": {N: row}} for each N of ARGS.scale."""
    static = ARGS.static or ARGS.torvex
    programs = {
        "torvex": lambda port, seconds: [static, *native_command(port, seconds, SCALE_BAUD)[1:]],
        "script": lambda port, seconds: script_command(port, seconds, SCALE_BAUD),
    }
    rows = {who: {} for who in programs}
    for count in ARGS.scale:
        for who, command in programs.items():
            print(f"  {count} × {who} at once, {SCALE_MODE}, {SCALE_BAUD} baud, "
                  f"{ARGS.scale_seconds:.0f} s watched", file=sys.stderr, flush=True)
            rows[who][count] = fleet_run(work, who, command, count, ARGS.scale_seconds)
    return rows

