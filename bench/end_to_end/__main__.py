"""End-to-end benchmark of the logger against the instrument simulator.

Runs the native program, the floor (bench/floor_reader.cpp: the cheapest
correct logger) and a typical pyserial script (bench/peers) side by side
against the simulator, which paces its reply at the line speed and hands it
over as real lines do (byte by byte, in a UART FIFO's chunks, or in a USB
adapter's packets), and measures per poll the time from request to record in
the output file against the limit the line sets, the start-to-start period,
on-CPU time, wake-ups, CPU while waiting, peak resident memory and (native
only, with valgrind) heap allocations made during the loop, (with perf) the
system calls of a poll and (with strace) how long each record's disk sync
takes; then many loggers at once on this machine (periods, CPU, PSS), what
one central host of a fleet files (bench/end_to_end/central.py), how soon
the records page charts a month and a day (bench/end_to_end/view.py), and
the unattended run against the console run (bench/end_to_end/unattended.py).
Prints the tables; with --docs and --readme, rewrites docs/performance.md's
tables and README.md's summary (with --only fleet, view or unattended, that
section alone). Exit status 1 when a target is missed, 2 when a phase
failed (named on standard error), with no table written.

Linux only: inotify tells when a request is logged and when a record lands,
/proc gives CPU time and memory. Run it through scripts/bench:
    PYTHONPATH=bench python3 -m end_to_end --torvex ... --sim ... --floor ...
"""
import argparse
import datetime
import signal
import sys
import tempfile
import time
import traceback
from pathlib import Path

from .common import ARGS, BAUDS, LONG_POLLS, MODES, TYPICAL_REPLY, BenchError
from .measures import load_average, machine_description
from .runs import equivalence_runs, long_period_runs, timed_runs, unsynced_runs
from .central import end_all, fleet_runs
from .central_table import FLEET_BEGIN, FLEET_END, fleet_document
from .view import view_document, view_runs
from .scale import SCALE_COUNTS, scale_runs
from .summary import (SUMMARY_BEGIN, SUMMARY_END, document, machine_line, summary,
                      write_section)
from .traced import allocation_runs, counted_runs, micro_benchmarks, sync_runs, tool_versions
from .unattended import UNATTENDED_BEGIN, UNATTENDED_END, unattended_document, unattended_runs
from .metrics import METRICS_BEGIN, METRICS_END, metrics_document, metrics_runs

PHASES = ("timed", "unsynced", "counted", "check", "long", "heap", "sync", "micro", "scale",
          "fleet", "view", "unattended", "metrics")
# The phases that write a section of their own, alone or in the whole run.
SECTIONS = {"fleet", "view", "unattended", "metrics"}
VIEW_BEGIN = "<!-- records page: written by scripts/bench -->"
VIEW_END = "<!-- end of records page -->"


def parse_arguments():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--torvex", required=True)
    parser.add_argument("--torvexsvc", help="the unattended run's program")
    parser.add_argument("--torvex-metrics", help="the fleet's metrics program")
    parser.add_argument("--sim", required=True)
    parser.add_argument("--floor", required=True, help="the floor reader executable")
    parser.add_argument("--static", help="the static release build, for many loggers at once "
                        "(--torvex without)")
    parser.add_argument("--python", default="/usr/bin/python3")
    parser.add_argument("--peer", type=Path, default=Path(__file__).resolve().parent.parent
                        / "peers" / "serial_logger.py")
    parser.add_argument("--valgrind", help="valgrind executable; heap counts are skipped without")
    parser.add_argument("--reply-bench", help="the micro-benchmark executable, if built")
    parser.add_argument("--strace", help="strace executable; the disk sync times are skipped without")
    parser.add_argument("--perf", help="perf executable; system calls are not counted without")
    parser.add_argument("--polls", type=int, default=60)
    parser.add_argument("--scale", default=",".join(map(str, SCALE_COUNTS)),
                        type=lambda text: sorted({int(n) for n in text.split(",")}),
                        help="how many loggers at once, e.g. 1,8,32,64")
    parser.add_argument("--scale-seconds", type=float, default=15)
    parser.add_argument("--only", type=lambda text: text.split(","), default=list(PHASES),
                        help="run only these phases: " + ",".join(PHASES))
    parser.add_argument("--docs", type=Path, help="rewrite this file's tables")
    parser.add_argument("--readme", type=Path, help="rewrite this file's performance summary")
    parser.add_argument("--began", type=float, default=time.time(),
                        help="when the benchmark began, in seconds since the epoch (with the build)")
    parser.add_argument("--note", default="", help="added to the description of the machine")
    vars(ARGS).update(vars(parser.parse_args()))
    if ARGS.polls < 3:
        parser.error("--polls must be at least 3")
    if not set(ARGS.only) <= set(PHASES):
        parser.error("--only takes " + ",".join(PHASES))
    if ARGS.readme and set(ARGS.only) != set(PHASES):
        parser.error("--readme needs every phase")
    if ARGS.docs and set(ARGS.only) != set(PHASES) and not set(ARGS.only) <= SECTIONS:
        parser.error("--docs needs every phase, or the fleet, view, unattended or metrics parts "
                     "alone")
    if "unattended" in ARGS.only and not ARGS.torvexsvc:
        parser.error("the unattended part needs --torvexsvc")
    if "metrics" in ARGS.only and not (ARGS.torvexsvc and ARGS.torvex_metrics):
        parser.error("the metrics part needs --torvexsvc and --torvex-metrics")


class PhaseFailed(Exception):
    pass


class Stopped(KeyboardInterrupt):
    """A SIGTERM (a time-out's) or SIGHUP: the bench ends as on Ctrl-C."""


def stop_on_signals():
    """SIGTERM and SIGHUP raise Stopped, so that every phase ends what it
    started on the way out; once only, so that nothing cuts that short."""
    def stop(number, _frame):
        for ignored in (signal.SIGTERM, signal.SIGHUP):
            signal.signal(ignored, signal.SIG_IGN)
        raise Stopped(number)
    for number in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(number, stop)


def run_phases(work, reply_file):
    """The results of the phases asked for; None for the others. A phase that
    fails raises PhaseFailed, naming it."""
    try:
        return measured_phases(work, reply_file)
    except KeyboardInterrupt:
        raise
    except Exception as error:  # noqa: BLE001 (whatever it was, the phase failed)
        traceback.print_exc()
        raise PhaseFailed(f"phase {CURRENT[0]} failed: {error}") from error


CURRENT = ["none"]  # the phase running


def measured_phases(work, reply_file):
    r = dict.fromkeys(("figures", "unsynced", "calls", "idle", "long_periods", "allocations",
                       "syncs", "checks", "micro", "scale", "fleet", "view", "unattended",
                       "metrics"))
    run = set(ARGS.only)
    mismatches, checked = [], 0
    r["figures"] = {"torvex": {}, "floor": {}, "script": {}}

    # Each phase fills its results in r and returns the mismatches it found
    # and how many records it checked.
    def timed():
        r["figures"], found = timed_runs(work, reply_file)
        return found, len(MODES) * len(BAUDS) * ARGS.polls

    def long():
        r["idle"], r["long_periods"], found = long_period_runs(work, reply_file)
        return found, LONG_POLLS

    def into(key, runs):
        def phase():
            r[key] = runs()
            return [], 0
        return phase

    phases = [("timed", timed), ("unsynced", into("unsynced", lambda: unsynced_runs(work, reply_file))),
              ("counted", into("calls", lambda: counted_runs(work, reply_file))),
              ("check", lambda: equivalence_runs(work)), ("long", long),
              ("heap", into("allocations", lambda: allocation_runs(work))),
              ("sync", into("syncs", lambda: sync_runs(work, reply_file))),
              ("scale", into("scale", lambda: scale_runs(work))),
              ("micro", into("micro", micro_benchmarks)),
              ("fleet", into("fleet", lambda: fleet_runs(work))),
              ("view", into("view", lambda: view_runs(work))),
              ("unattended", into("unattended", lambda: unattended_runs(work, reply_file))),
              ("metrics", into("metrics", lambda: metrics_runs(work, reply_file)))]
    for name, phase in phases:
        if name in run:
            CURRENT[0] = name
            found, count = phase()
            mismatches += found
            checked += count
    if checked:
        r["checks"] = ((f"yes, {checked} of {checked}" if not mismatches
                        else "**NO**: " + "; ".join(mismatches)), not mismatches)
    return r


def main():
    parse_arguments()
    # Children must see Ctrl-C as Ctrl-C even when this was started in the background.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    stop_on_signals()
    tool_versions()

    started = datetime.datetime.now(datetime.timezone.utc)
    load_at_start = load_average()
    with tempfile.TemporaryDirectory(prefix="torvex-bench-") as temp:
        work = Path(temp)
        reply_file = work / "reply.txt"
        reply_file.write_bytes(TYPICAL_REPLY)
        try:
            r = run_phases(work, reply_file)
        finally:
            end_all()  # the fleets' hosts and folders, however the phases ended
    r.update(machine=machine_description(), started=started,
             load=(load_at_start, load_average()), duration_s=time.time() - ARGS.began)
    tables, missed = document(r)
    if not set(ARGS.only) <= SECTIONS:
        print(tables)
    if ARGS.docs and set(ARGS.only) == set(PHASES):
        write_section(ARGS.docs, tables)
    if r["fleet"]:
        fleet = fleet_document(r["fleet"], machine_line(r), missed)
        print("\n" + fleet)
        if ARGS.docs:
            write_section(ARGS.docs, fleet, FLEET_BEGIN, FLEET_END, "Fleet capacity")
    if r["view"]:
        view = view_document(r["view"], machine_line(r), missed)
        print("\n" + view)
        if ARGS.docs:
            write_section(ARGS.docs, view, VIEW_BEGIN, VIEW_END, "Records page")
    if r["unattended"]:
        unattended = unattended_document(r["unattended"], machine_line(r), missed)
        print("\n" + unattended)
        if ARGS.docs:
            write_section(ARGS.docs, unattended, UNATTENDED_BEGIN, UNATTENDED_END,
                          "Unattended run")
    if r["metrics"]:
        metrics = metrics_document(r["metrics"], machine_line(r), missed)
        print("\n" + metrics)
        if ARGS.docs:
            write_section(ARGS.docs, metrics, METRICS_BEGIN, METRICS_END, "Metrics")
    if ARGS.docs:
        print(f"\n{ARGS.docs} updated.", file=sys.stderr)
    if ARGS.readme:
        write_section(ARGS.readme, summary(r, missed), SUMMARY_BEGIN, SUMMARY_END)
        print(f"{ARGS.readme} updated.", file=sys.stderr)
    if missed:
        print("Targets missed:\n  " + "\n  ".join(missed), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except (BenchError, PhaseFailed) as error:
        print(f"bench: {error}", file=sys.stderr)
        sys.exit(2)
    except KeyboardInterrupt as stop:
        number = stop.args[0] if isinstance(stop, Stopped) else signal.SIGINT
        print(f"bench: stopped by {signal.Signals(number).name}", file=sys.stderr)
        sys.exit(128 + number)
