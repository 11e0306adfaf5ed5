"""The full tables of docs/performance.md, each figure judged against its target."""
import statistics

from .common import IDLE_WATCH_S, LONG_PERIOD_S, PERIOD_S, VALGRIND_POLLS
from .figures import median_ms

# torvex's CPU per poll over the floor's, at most, per delivery.
FLOOR_RATIOS = {"byte": 1.3, "fifo": 1.15, "usb": 1.15}
# At the largest number of loggers at once, for each of them.
FLEET_PERIOD_MS = 2.0  # every logger's median period within this of the setting
FLEET_LATE_MS = 20.0  # no period later than this
FLEET_CPU_PCT = 10.0  # all loggers together, of one core
FLEET_PSS_KIB = 128.0  # per logger, the static build


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


def floor_ratio(*runs):
    """torvex's CPU over the floor's: the median over pairs of polls, each of
    the program with the floor's poll a fraction of a period later. A pair
    meets one state of the machine, so a wake-up dearer for a while (other
    work, the host) skews no ratio; runs are (program, floor) figures."""
    return statistics.median(mine / floor for n, f in runs
                             for mine, floor in zip(n["cpu_polls"], f["cpu_polls"]))


class Table:
    """Rows of a Markdown table whose last column is a target; a target
    that was missed is marked in the row and remembered."""

    def __init__(self, missed):
        self.rows = []
        self.missed = missed

    def row(self, label, *cells, target="", met=None, why=""):
        if met is False:
            self.missed.append(f"{label.split(';')[0].replace('**', '')}: {why or target}")
            target += " **(missed)**"
        self.rows.append("| " + " | ".join((label, *cells, target)) + " |")


def mode_rows(table, n, f, s, calls, mode, baud):
    """The rows of one delivery at one speed: n, f and s are the figures of
    the program, the floor and the script; calls their system calls per
    poll (or None)."""
    if mode == "byte":
        title, limit = f"**{baud} baud**", f"wire-time limit {n['limit']:.1f} ms"
        short = f"{baud} baud"
    else:
        title = f"**{baud} baud, `{mode}`**"
        limit = f"limit: last bytes handed over + 500 ms, median {n['limit']:.1f} ms"
        short = f"{baud} baud, `{mode}`"
    table.row(f"{title}: request to record in the file, median ({limit})",
              *(fmt_ms(x["latency"], 1) for x in (n, f, s)))
    table.row(f"{short}: overhead over the limit, median / worst",
              *(f"{fmt_signed_ms(x['overhead'])} / {fmt_signed_ms(x['overhead_worst'])}"
                for x in (n, f, s)),
              target="median < 2 ms", met=n["overhead"] < 2)
    table.row(f"{short}: start-to-start period at `-s {PERIOD_S}`, median / worst deviation",
              *(f"{x['period']:.2f} ms / {fmt_signed_ms(x['period_worst'])}" for x in (n, f, s)),
              target=f"median within 2 ms of {PERIOD_S * 1000} ms",
              met=abs(n["period"] - PERIOD_S * 1000) <= 2)
    table.row(f"{short}: CPU per poll (on-CPU time), median",
              f"{fmt_ms(n['cpu_per_poll'], 3)} ({floor_ratio((n, f)):.2f}× the floor)",
              fmt_ms(f["cpu_per_poll"], 3),
              fmt_ms(s["cpu_per_poll"], 3) + fmt_ratio(n["cpu_per_poll"], s["cpu_per_poll"]))
    table.row(f"{short}: wake-ups per poll (voluntary context switches), median; "
              f"the line handed each reply over in {n['chunks']:.0f} writes",
              *(f"{x['wake_ups']:.0f}" for x in (n, f, s)))
    if calls is None:
        table.row(f"{short}: system calls per poll", "not measured (no perf)", "", "")
    else:
        # One wait and one read per chunk, one wait for the silence and one
        # for the next period: more would be a wasted call.
        mine = calls["torvex"]
        table.row(f"{short}: system calls per poll; the line handed each counted reply over "
                  f"in {mine['chunks']:.1f} writes",
                  *(fmt_calls(calls[who], n["bytes"]) for who in ("torvex", "floor", "script")),
                  target="waits and reads ≤ 2 per write + 2",
                  met=mine["wait"] + mine["read"] <= 2 * mine["chunks"] + 2 + 1e-9)


def pooled(figures, mode, key):
    """{program: median} of a per-poll figure over the runs of one delivery at every speed."""
    return {who: statistics.median(value for (run_mode, _), run in runs.items()
                                   if run_mode == mode for value in run[key])
            for who, runs in figures.items()}


def delivery_rows(table, figures, mode):
    """CPU and wake-ups per poll over the runs of one delivery at every speed,
    judged against the floor: more polls, less noise than one run."""
    cpu = {who: ns / 1e6 for who, ns in pooled(figures, mode, "cpu_polls").items()}
    woken = pooled(figures, mode, "wake_polls")
    polls = sum(len(run["cpu_polls"]) for (run_mode, _), run in figures["torvex"].items()
                if run_mode == mode)
    ratio = floor_ratio(*((run, figures["floor"][key]) for key, run in figures["torvex"].items()
                          if key[0] == mode))
    table.row(f"**`{mode}`, both speeds**: CPU per poll, median of {polls} polls; the "
              f"ratio: median of as many pairs",
              f"{fmt_ms(cpu['torvex'], 3)} ({ratio:.2f}× the floor)", fmt_ms(cpu["floor"], 3),
              fmt_ms(cpu["script"], 3) + fmt_ratio(cpu["torvex"], cpu["script"]),
              target=f"≤ {FLOOR_RATIOS[mode]}× the floor", met=ratio <= FLOOR_RATIOS[mode])
    table.row(f"`{mode}`, both speeds: wake-ups per poll, median",
              *(f"{woken[who]:.0f}" for who in ("torvex", "floor", "script")),
              target="≤ the floor's", met=woken["torvex"] <= woken["floor"])


def hourly_cpu_s(figures, idle, who):
    """CPU per hour at -s 10: 360 polls (9600 baud, byte by byte) and the rest waiting."""
    return (figures[who]["byte", 9600]["cpu_per_poll"] * 3600 / 10
            + idle[who] / IDLE_WATCH_S * 3600 / 1e6) / 1000


def main_table(r, missed):
    """The per-delivery rows and the rest; r holds the results of the phases."""
    table = Table(missed)
    figures, unsynced, calls = r["figures"], r["unsynced"], r["calls"]
    for mode in dict.fromkeys(mode for mode, _ in figures["torvex"]):
        bauds = [baud for run_mode, baud in figures["torvex"] if run_mode == mode]
        for baud in bauds:
            table_calls = calls.get((mode, baud)) if calls else None
            mode_rows(table, figures["torvex"][mode, baud], figures["floor"][mode, baud],
                      figures["script"][mode, baud], table_calls, mode, baud)
        delivery_rows(table, figures, mode)
    for mode, pair in (unsynced or {}).items():
        n, f = (pair[who] for who in ("torvex", "floor"))
        table.row(f"Without the disk sync (9600 baud, `{mode}`, records through a pipe): CPU / "
                  f"wake-ups per poll, medians; synced to a file in the same run",
                  *(f"{fmt_ms(x[1]['cpu_per_poll'], 3)} / {x[1]['wake_ups']:.0f}; synced "
                    f"{fmt_ms(x[0]['cpu_per_poll'], 3)} / {x[0]['wake_ups']:.0f}" for x in (n, f)),
                  f"torvex {floor_ratio((n[1], f[1])):.2f}× the floor; synced "
                  f"{floor_ratio((n[0], f[0])):.2f}×")
    idle, long_periods = r["idle"], r["long_periods"]
    if idle is not None and ("byte", 9600) in figures["torvex"]:
        hourly = {who: hourly_cpu_s(figures, idle, who) for who in ("torvex", "script")}
        table.row("CPU per hour of logging at `-s 10` (9600 baud, `byte`)",
                  f"{hourly['torvex']:.2f} s", "",
                  f"{hourly['script']:.2f} s{fmt_ratio(hourly['torvex'], hourly['script'])}")
    if long_periods is not None:
        n, s = long_periods["torvex"], long_periods["script"]
        table.row(f"Start-to-start period at `-s {LONG_PERIOD_S}` (38400 baud), median / worst "
                  f"deviation", f"{n[0]:.2f} ms / {fmt_signed_ms(n[1])}", "",
                  f"{s[0]:.2f} ms / {fmt_signed_ms(s[1])}",
                  target=f"median within 2 ms of {LONG_PERIOD_S * 1000} ms",
                  met=abs(n[0] - LONG_PERIOD_S * 1000) <= 2)
        table.row(f"CPU while only waiting (`-s {LONG_PERIOD_S}`, {IDLE_WATCH_S:.0f} s of a wait)",
                  fmt_ms(idle["torvex"] / 1e6, 3), "", fmt_ms(idle["script"] / 1e6, 3),
                  target="none measurable", met=idle["torvex"] < 50_000)
    if figures["torvex"]:
        peaks = {who: max(figures[who][run]["peak_kib"] for run in figures[who])
                 for who in figures}
        table.row("Peak resident memory (VmHWM)", f"{peaks['torvex'] / 1024:.2f} MiB",
                  f"{peaks['floor'] / 1024:.2f} MiB",
                  f"{peaks['script'] / 1024:.2f} MiB{fmt_ratio(peaks['torvex'], peaks['script'])}",
                  target="< 2 MiB; script ≥ 5×",
                  met=peaks["torvex"] < 2048 and peaks["script"] >= 5 * peaks["torvex"])
    allocations = r["allocations"]
    if allocations is not None:
        short_run, long_run = allocations
        table.row(f"Heap allocations made by {VALGRIND_POLLS} more polls (valgrind)",
                  f"{long_run - short_run} ({short_run} allocs in {VALGRIND_POLLS} polls, "
                  f"{long_run} in {2 * VALGRIND_POLLS})", "", "not measured",
                  target="none", met=long_run == short_run)
    if r["syncs"] is not None:
        times, where = r["syncs"]
        table.row(f"Disk sync of each record (`fdatasync`, {where}), median / worst of "
                  f"{len(times)}", f"{median_ms(times):.2f} ms / {max(times) * 1000:.2f} ms",
                  "the same call", "none: it only flushes")
    if r["checks"] is not None:
        checks, same = r["checks"]
        table.row("Records the same as the program's", "", "not converted", checks,
                  target="identical", met=same)
    return ["| | torvex | floor | Python script | target |", "|---|---|---|---|---|",
            *table.rows]


def fleet_failures(row):
    """The targets for many loggers that a row of the static build misses."""
    checks = [
        (abs(row["worst_median"]) <= FLEET_PERIOD_MS,
         f"a logger's median period {row['worst_median']:+.2f} ms off"),
        (row["latest"] <= FLEET_LATE_MS, f"a period {row['latest']:+.2f} ms late"),
        (row["cpu_pct"] < FLEET_CPU_PCT, f"{row['cpu_pct']:.1f}% of one core"),
        (row["pss_each_kib"] < FLEET_PSS_KIB, f"PSS {row['pss_each_kib']:.0f} KiB each"),
    ]
    return [failure for held, failure in checks if not held]


def scale_table(rows, missed):
    """One row per program and number of loggers; the targets apply to the
    static build at the largest number."""
    table = Table(missed)
    largest = max(rows["torvex"])
    for count in sorted(rows["torvex"]):
        for who, name in (("torvex", "torvex (static)"), ("script", "Python script")):
            x = rows[who][count]
            cells = (f"{x['median']:+.2f} ms / {x['worst_median']:+.2f} ms / "
                     f"{x['latest']:+.2f} ms",
                     f"{x['cpu_pct']:.1f}% / {x['sim_pct']:.1f}% / {x['busy_pct']:.0f}%",
                     f"{x['pss_kib'] / 1024:.1f} MiB ({x['pss_each_kib']:.0f} KiB each)")
            if who != "torvex" or count != largest:
                table.row(f"{count} × {name}", *cells)
                continue
            table.row(f"**{count} × {name}**", *cells,
                      target=f"median periods within {FLEET_PERIOD_MS:.0f} ms, none over "
                      f"{FLEET_LATE_MS:.0f} ms late; CPU < {FLEET_CPU_PCT:.0f}%; PSS < "
                      f"{FLEET_PSS_KIB:.0f} KiB each", met=not fleet_failures(x),
                      why=", ".join(fleet_failures(x)))
    return ["| loggers at once | period deviation: median of all / worst logger's median / "
            "latest | CPU of one core: loggers / simulators / whole machine | PSS, sum "
            "(per logger) | target |", "|---|---|---|---|---|", *table.rows]


def micro_table(micro):
    return ["| reply | time per reply | throughput |", "|---|---|---|",
            *(f"| {name} | {ns:,.0f} ns | {rate / 1e6:,.0f} MB/s |" for name, ns, rate in micro)]
