"""The runs with the simulator alone: the three programs side by side per
delivery and speed, with and without the disk sync, the record check and the
long period."""
import sys
import time

from .common import (ARGS, BAUDS, CHECK_POLLS, IDLE_WATCH_S, LONG_PERIOD_S, LONG_POLLS, MODES,
                     PERIOD_S, REQUEST_HEX, TYPICAL_REPLY, BenchError)
from .figures import first_difference, period_figures, timing_figures
from .measures import cpu_ns
from .sessions import commands, delivery_options, programs, run_together

PROGRAMS = ("torvex", "floor", "script")


def timed_runs(work, reply_file):
    """The three programs at once, each with its own simulator, so that they
    meet the same state of the machine: CPU time per wake-up varies with it.
    Their polls interleave, a third of a period apart, so that no two wait on
    the disk or the scheduler at the same moment. One run per delivery and speed."""
    figures = {who: {} for who in PROGRAMS}
    mismatches = []
    for mode in MODES:
        for baud in BAUDS:
            print(f"  {mode}, {baud} baud, {ARGS.polls} polls", file=sys.stderr, flush=True)
            sessions_wanted = [(who, command, delivery_options(mode, baud, reply_file),
                                ARGS.polls, PERIOD_S, options)
                               for who, command, options in programs(baud)]
            sessions = run_together(sessions_wanted, work, ARGS.polls * PERIOD_S + 30,
                                    stagger_s=PERIOD_S / len(sessions_wanted))
            for session in sessions:
                figures[session.name][mode, baud] = dict(
                    timing_figures(session, len(TYPICAL_REPLY), baud, mode),
                    bytes=len(TYPICAL_REPLY))
            native, script = sessions[0], sessions[2]
            # Started apart, they stop together: the first has written more.
            where = first_difference(native.records[:ARGS.polls], script.records[:ARGS.polls])
            if where is not None:
                mismatches.append(f"{mode}, {baud} baud, record {where + 1}")
    return figures, mismatches


def unsynced_runs(work, reply_file):
    """The program and the floor, each twice at once, per delivery at 9600
    baud: records to a file, each synced to the disk, and records through a
    pipe, not synced. Their difference is what the disk sync costs a poll."""
    figures = {}
    polls = max(3, ARGS.polls // 3)
    for mode in MODES:
        print(f"  {mode}, 9600 baud, {polls} polls: records synced or not",
              file=sys.stderr, flush=True)
        options = delivery_options(mode, 9600, reply_file)
        sessions_wanted = []
        for who, command, extra in programs(9600)[:2]:
            sessions_wanted += [
                (f"{who}-synced", command, options, polls, PERIOD_S, extra),
                (f"{who}-unsynced", command, options, polls, PERIOD_S,
                 dict(extra, through_pipe=True))]
        sessions = run_together(sessions_wanted, work, polls * PERIOD_S + 30,
                                stagger_s=PERIOD_S / len(sessions_wanted))
        timed = [timing_figures(session, len(TYPICAL_REPLY), 9600, mode) for session in sessions]
        # {"torvex": (synced, unsynced), "floor": (synced, unsynced)}
        figures[mode] = {"torvex": tuple(timed[:2]), "floor": tuple(timed[2:])}
    return figures


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

