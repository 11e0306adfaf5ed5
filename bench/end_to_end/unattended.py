"""The unattended run (torvexsvc, as the service runs it) against the console
run (torvex with its records in a file): CPU per poll, when each request goes
out within its period, and how far each record's stamp lies from the moment
its request reached the instrument. The two run at once, each against its
own simulator, half a period apart, in rounds that swap which starts first."""
import datetime
import statistics
import sys

from .common import ARGS, PERIOD_S, REQUEST_HEX
from .sessions import delivery_options, native_command, run_together
from .tables import Table, fmt_ms, fmt_signed_ms

ROUNDS = 2
BAUD, MODE = 9600, "fifo"
NAME = "bench"  # the logger's name, which names its records files
CPU_RATIO = 1.05  # the unattended run's CPU per poll over the console run's, at most
# How much longer the unattended run's periods may be than the console run's,
# median of pairs. The stamp adds well under a microsecond before a request;
# the periods themselves vary by the millisecond tick that times them, which
# leaves the median of about 120 pairs uncertain by some 0.05 ms.
DRIFT_MS = 0.25
UNATTENDED_BEGIN = "<!-- unattended run: written by scripts/bench -->"
UNATTENDED_END = "<!-- end of unattended run -->"


def unattended_command(port, seconds):
    return [ARGS.torvexsvc, "run", NAME, "-p", port, "-b", str(BAUD), "-s", str(seconds)]


def request_walls_ms(sim_log):
    """The wall clock, in ms since 1970, of each request the simulator logged."""
    lines = [line.split(" ", 1) for line in sim_log.read_text().splitlines()]
    at, wall = next((float(ms), float(what[5:])) for ms, what in lines
                    if what.startswith("wall:"))
    return [wall + float(ms) - at for ms, what in lines if what == REQUEST_HEX]


def stamp_ms(record):
    when = datetime.datetime.strptime(record[:23].decode(), "%Y-%m-%dT%H:%M:%S.%f")
    return when.replace(tzinfo=datetime.timezone.utc).timestamp() * 1000


def run_figures(session):
    """CPU per poll (ns) and the requests' start-to-start periods (ms)."""
    cpu = session.cpu_at_records[:session.wanted]
    requested = [ms for _, ms in session.requests[:session.wanted]]
    return {"cpu_polls": [b - a for a, b in zip(cpu, cpu[1:])],
            "periods": [b - a for a, b in zip(requested, requested[1:])]}


def unattended_runs(work, reply_file):
    """{"console": [figures per round], "unattended": [...], "late": [ms per record]}."""
    options = delivery_options(MODE, BAUD, reply_file)
    console = ("console", lambda port, seconds: native_command(port, seconds, BAUD), options,
               ARGS.polls, PERIOD_S)
    unattended = ("unattended", unattended_command, options, ARGS.polls, PERIOD_S,
                  {"unattended": NAME})
    runs = {"console": [], "unattended": [], "late": []}
    for round_number in range(ROUNDS):
        print(f"  unattended and console runs, {ARGS.polls} polls, round {round_number + 1} "
              f"of {ROUNDS}", file=sys.stderr, flush=True)
        pair = [console, unattended] if round_number % 2 == 0 else [unattended, console]
        sessions = run_together(pair, work, ARGS.polls * PERIOD_S + 30, stagger_s=PERIOD_S / 2)
        for session in sessions:
            runs[session.name].append(run_figures(session))
            if session.name == "unattended":
                runs["late"] += [wall - stamp_ms(record) for wall, record in
                                 zip(request_walls_ms(session.sim_log), session.records)]
    return runs


def unattended_document(runs, machine, missed):
    """The section's text; the targets missed are added to `missed`."""
    console, unattended = runs["console"], runs["unattended"]
    cpu = {who: statistics.median(ns for run in runs[who] for ns in run["cpu_polls"]) / 1e6
           for who in ("console", "unattended")}
    ratio = statistics.median(u / c for c_run, u_run in zip(console, unattended)
                              for c, u in zip(c_run["cpu_polls"], u_run["cpu_polls"]))
    polls = sum(len(run["cpu_polls"]) for run in console)
    periods_per_round = len(console[0]["periods"])
    table = Table(missed)
    table.row(f"CPU per poll (on-CPU time), median of {polls} polls; the ratio: median of "
              f"as many pairs", fmt_ms(cpu["console"], 3),
              f"{fmt_ms(cpu['unattended'], 3)} ({ratio:.2f}× the console run)",
              target=f"≤ {CPU_RATIO}× the console run", met=ratio <= CPU_RATIO)
    periods = {who: [ms - PERIOD_S * 1000 for run in runs[who] for ms in run["periods"]]
               for who in ("console", "unattended")}
    table.row(f"Start-to-start period at `-s {PERIOD_S}`, median / worst deviation",
              *(f"{PERIOD_S * 1000 + statistics.median(periods[who]):.2f} ms / "
                f"{fmt_signed_ms(max(periods[who], key=abs))}" for who in periods),
              target=f"median within 2 ms of {PERIOD_S * 1000} ms",
              met=abs(statistics.median(periods["unattended"])) <= 2)
    table.row(f"Drift of the requests' place in their periods over each round's "
              f"{periods_per_round} periods",
              *(", ".join(fmt_signed_ms(sum(run["periods"]) - len(run["periods"]) * PERIOD_S
                                        * 1000) for run in runs[who]) for who in periods))
    # Paired as the CPU is: a period of each run, half a period apart, meets
    # one state of the machine.
    longer = statistics.median(u - c for c_run, u_run in zip(console, unattended)
                               for c, u in zip(c_run["periods"], u_run["periods"]))
    table.row(f"The unattended run's period over the console run's, median of "
              f"{len(periods['console'])} pairs", "", fmt_signed_ms(longer),
              target=f"within {DRIFT_MS} ms", met=abs(longer) <= DRIFT_MS)
    late = runs["late"]
    table.row(f"Request reaching the instrument after the record's stamp, median / least / "
              f"most of {len(late)}", "no stamp",
              f"{statistics.median(late):.2f} ms / {min(late):+.2f} ms / "
              f"{max(late):+.2f} ms")
    return "\n".join([
        machine, "",
        f"`torvex -p PTY -s {PERIOD_S} > file` (the console run) and `torvexsvc run {NAME} -p "
        f"PTY -s {PERIOD_S}` (the unattended run, records stamped, in the day's file of its "
        f"logs folder), at once, half a period apart, each against its own simulator "
        f"(`{MODE}`, {BAUD} baud, the benchmark's 150-byte reply); {len(console)} rounds of "
        f"{periods_per_round + 1} polls, the second started the other way round. Both sync "
        f"each record to the disk; the console run also writes a progress dot per poll.", "",
        "| | console run | unattended run | target |", "|---|---|---|---|", *table.rows])
