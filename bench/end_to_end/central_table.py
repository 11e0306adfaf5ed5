"""docs/performance.md's fleet section: the hardened carrier against the one
before it (records filed per second, the largest fleet at send's default
pace: medians of the rounds, each ratio the median of the rounds' pairs),
then what the hardened one costs to follow live boards, what a backlog
costs, and the largest fleet that follows from them."""
import statistics

from .central import (BACKLOG, BACKLOG_HOURS, BACKLOG_LIMIT_S, BEFORE, CORES, HEADROOM, INSTRUMENTS, LIVE_BOARDS,
                      LIVE_BOARDS_S, RATIO_GOAL, ROUNDS, RUN_RECORDS, fleet_sizes)
from .tables import Table

FLEET_BEGIN = "<!-- fleet capacity: written by scripts/bench -->"
FLEET_END = "<!-- end of fleet capacity -->"


def spread(values, form):
    """"median (least to most)"."""
    return f"{form(statistics.median(values))} ({form(min(values))} to {form(max(values))})"


def times(value):
    return f"{value:.2f}×"


def median_run(runs):
    """The run of median CPU, with every run's CPU, in round order."""
    ordered = sorted(runs, key=lambda run: run["cpu_pct"])
    return dict(ordered[len(ordered) // 2], cpu_runs=[run["cpu_pct"] for run in runs])


def live_line(runs, what, delays=True):
    live = median_run(runs)
    return (f"{what}: the central host took {live['cpu_pct']:.0f}% of one core (the median "
            f"of {len(runs)} runs: {', '.join('%.0f%%' % cpu for cpu in live['cpu_runs'])})" +
            (f"; a record reached its copy {live['median_s']:.2f} s after its time (median), "
             f"{live['worst_s']:.2f} s at worst." if delays else "."))


def comparison(fleet, missed):
    """The table of the hardened carrier against the one before; a ratio
    under RATIO_GOAL is a missed target."""
    rows_missed = []
    table = Table(rows_missed)
    target = f"≥ {RATIO_GOAL}×"
    for count, runs in fleet["rates"].items():
        before, hardened = ([run["rate"] for run in runs[name]] for name in ("before", "hardened"))
        ratios = [new / old for old, new in zip(before, hardened)]
        table.row(f"Records filed per second, {count} board{'s' if count > 1 else ''} at once",
                  spread(before, "{:,.0f}".format), spread(hardened, "{:,.0f}".format),
                  spread(ratios, times), target=target,
                  met=statistics.median(ratios) >= RATIO_GOAL)
    live = fleet["live"]
    before, hardened = ([fleet_sizes(run)[1] for run in live[name]] for name in ("before", "hardened"))
    ratios = [new / old for old, new in zip(before, hardened)]
    every = fleet["every_s"]
    pace = (f"{every['hardened']} s" if every["before"] == every["hardened"] else
            f"{every['before']} s before, {every['hardened']} s hardened")
    table.row(f"Largest fleet at send's default pace ({pace}), boards of {INSTRUMENTS} "
              f"instruments at `-s 1`", spread(before, "{:,}".format),
              spread(hardened, "{:,}".format), spread(ratios, times), target=target,
              met=statistics.median(ratios) >= RATIO_GOAL)
    missed += ["fleet: " + what for what in rows_missed]
    return table.rows, rows_missed


def detail_row(count, runs):
    def both(key, form):
        return " / ".join(form(statistics.median(run[key] for run in runs[name]))
                          for name in ("before", "hardened"))
    return (f"| {count} | {both('span_s', '{:.1f} s'.format)} | "
            f"{both('cpu_pct', '{:.0f}%'.format)} | {both('busy_pct', '{:.0f}%'.format)} |")


def fleet_document(fleet, machine, missed):
    """The fleet section's text; a ratio under RATIO_GOAL, a backlog not
    delivered within BACKLOG_LIMIT_S or a live record later than the pace
    and LIVE_LIMIT_S meanwhile is a missed target."""
    live, backlog, every = fleet["live"], fleet["backlog"], fleet["every_s"]["hardened"]
    minutes, seconds = divmod(round(fleet["duration_s"]), 60)
    rows, rows_missed = comparison(fleet, missed)
    goal = ("met in every row." if not rows_missed else
            f"**missed** in {len(rows_missed)} of {len(rows)} rows (marked).")
    late = backlog["live_late"]
    verdict = "met" if not late else f"**missed** ({late} later)"
    limit = backlog["live_limit_s"]
    if late:
        missed.append(f"fleet: live records within {limit:.0f} s during a backlog")
    if backlog["delivered_s"] is None:
        missed.append(f"fleet: the backlog delivered within {BACKLOG_LIMIT_S} s")
        delivered = (f"**not delivered** within {BACKLOG_LIMIT_S} s of the central host's "
                     f"return ({backlog['delivered']:,} of them there by then; target: "
                     f"within {BACKLOG_LIMIT_S} s)")
    else:
        per_s = backlog["records"] / backlog["delivered_s"]
        day_min = backlog["delivered_s"] * 24 / BACKLOG_HOURS / 60
        delivered = (f"delivered {backlog['delivered_s']:.1f} s after the central host was "
                     f"back, the board's wait before it tried again included ({per_s:,.0f} "
                     f"records/s; target: within {BACKLOG_LIMIT_S} s); a day away would take "
                     f"about {day_min:.1f} min")
    instruments, boards = fleet_sizes(median_run(live["hardened"]))
    fast_instruments, fast_boards = fleet_sizes(median_run(live["fast"]))
    old_instruments, old_boards = fleet_sizes(median_run(live["before"]))
    return "\n".join([
        f"{machine} The fleet part took {minutes} min {seconds} s.", "",
        f"Two carriers, each with its own tree's files. The hardened one (this tree): sshd "
        f"runs `torvexfleet receive` for each board's key, which lets only whole record lines "
        f"of records files land, within the board's quota, and syncs each copy before it "
        f"answers; each board's `torvex-fleet send` runs `torvexfleet send`, a pass every "
        f"`--every` seconds. The one before it (`{BEFORE[:7]}`, taken from git at run time): "
        f"`torvex-fleet receive` checks rsync's command line and runs `rsync --server`, "
        f"which appends and syncs; each board's `torvex-fleet send` is rsync over SSH, a pass "
        f"at most every `--every` seconds, its boards under the C.UTF-8 locale (under a "
        f"decimal comma its send misreads its clock). Each central host is the sshd of its "
        f"tree's `sshd_config` (`torvex-fleet-central`), its copies on {fleet['store']}; the "
        f"boards run on this machine, each with {INSTRUMENTS} records files in /dev/shm (a "
        f"board's disk is its own). The two take turns, the one before first, {ROUNDS} rounds "
        f"of each figure: medians, the least and the most in brackets; a ratio is the median "
        f"of the rounds' pairs, the two runs of a pair one after the other. "
        f"{RUN_RECORDS:,} records per run, written beforehand and shared by the boards; the "
        f"time runs from the boards' start (each opens its connection) to the last record "
        f"filed.", "",
        "| | before | hardened | hardened / before | target |", "|---|---|---|---|---|",
        *rows, "",
        f"Goal: the hardened carrier within {RATIO_GOAL}× of the one before: {goal}", "",
        "| boards sending at once | time, before / hardened | central host's CPU, of one "
        "core | whole machine busy (200% is both cores) |", "|---|---|---|---|",
        *(detail_row(count, runs) for count, runs in fleet["rates"].items()), "",
        f"- **Live**, the hardened carrier. {live['hardened'][0]['boards']} boards each "
        f"logging {INSTRUMENTS} instruments at `-s 1` for {LIVE_BOARDS_S} s "
        f"({live['hardened'][0]['records']:,} records), each pace in turn with the one "
        f"before at its default pace. " +
        live_line(live["hardened"], f"At send's default pace (a pass every {every} s)") + " " +
        live_line(live["fast"], "With `send --every 1`") + " " +
        live_line(live["before"], "The one before, at its default pace", delays=False),
        f"- **Backlog**, the hardened carrier. {BACKLOG_HOURS} hour of {INSTRUMENTS} "
        f"instruments at `-s 1` ({BACKLOG:,} records), written on one board while the central "
        f"host was away, the board's send started after them: {delivered}. Meanwhile "
        f"{LIVE_BOARDS} other boards logged {backlog['live_records']:,} live records, the "
        f"latest of which arrived "
        f"{backlog['live_worst_s']:.2f} s after its time; target: each within the pace and "
        f"2 s, {limit:.0f} s: {verdict}.",
        f"- **Largest fleet**, keeping {HEADROOM:.0%} of the central host's {CORES} cores "
        f"free to catch up after an outage, at the live CPU per board of the median run: "
        f"with the hardened carrier {boards:,} boards of {INSTRUMENTS} ({instruments:,} "
        f"instruments) at send's default pace, {fast_boards:,} ({fast_instruments:,} "
        f"instruments) with `--every 1`; with the one before {old_boards:,} "
        f"({old_instruments:,} instruments) at its default pace. A busy board passes once per "
        f"pace whatever its period, so the period changes this little."])
