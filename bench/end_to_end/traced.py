"""The runs under a tool: system calls counted by perf, heap allocations by
valgrind, disk sync times by strace; and the reply micro-benchmarks."""
import json
import re
import signal
import subprocess
import sys
import time
from pathlib import Path

from .common import (ARGS, BAUDS, COUNTED_POLLS, MODES, PERIOD_S, SYNC_POLLS, TYPICAL_REPLY,
                     VALGRIND_POLLS, BenchError)
from .measures import SYSTEM_CALL_EVENTS, filesystem_of, sync_seconds, system_call_counts
from .sessions import commands, delivery_options, native_command, programs, run_together

def counted_runs(work, reply_file):
    """System calls per poll, per delivery and speed, counted by the kernel
    (perf stat on its tracepoints, which slows neither program): from the
    wait after each program's second record to the wait after COUNTED_POLLS
    more, when none makes a call."""
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
                time.sleep(0.05)  # all into their waits
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
                                PERIOD_S, options) for who, command, options in programs(baud)]
            try:
                sessions = run_together(sessions_wanted, work, 30, between=count)
            finally:
                for counter in counters:
                    if counter.poll() is None:
                        counter.kill()
                        counter.wait()
            calls[mode, baud] = {
                session.name: dict(
                    {kind: n / COUNTED_POLLS
                     for kind, n in system_call_counts(reports[session.name].read_text()).items()},
                    chunks=chunks_counted(session))
                for session in sessions}
    return calls


def chunks_counted(session):
    """The writes the line handed each counted reply over in, on average: the
    counted polls are the third to the (2 + COUNTED_POLLS)-th."""
    writes = [count for _, count in session.deliveries[2:2 + COUNTED_POLLS]]
    if len(writes) < COUNTED_POLLS:
        raise BenchError(f"{session.name}: {len(writes)} replies handed over in "
                         f"{COUNTED_POLLS} counted polls")
    return sum(writes) / COUNTED_POLLS


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

