"""docs/performance.md's fleet section: what one central host files, what it
costs to follow live boards, what a backlog costs, and the largest fleet
that follows from them."""
from .central import (BACKLOG, BACKLOG_HOURS, CORES, HEADROOM, INSTRUMENTS, LIVE_BOARDS,
                      LIVE_BOARDS_S, RUN_RECORDS, fleet_sizes)

FLEET_BEGIN = "<!-- fleet capacity: written by scripts/bench -->"
FLEET_END = "<!-- end of fleet capacity -->"


def rate_row(row):
    return (f"| {row['boards']} | {row['rate']:,.0f} | {row['span_s']:.1f} s | "
            f"{row['cpu_pct']:.0f}% | {row['busy_pct']:.0f}% |")


def live_line(live, what):
    runs = live.get("cpu_runs", [live["cpu_pct"]])
    return (f"{what}: the central host took {live['cpu_pct']:.0f}% of one core (the median "
            f"of {len(runs)} runs: {', '.join('%.0f%%' % cpu for cpu in runs)}); a record "
            f"reached its copy {live['median_s']:.2f} s after its time (median), "
            f"{live['worst_s']:.2f} s at worst.")


def fleet_document(fleet, machine, missed):
    """The fleet section's text; a live record later than the pace and
    LIVE_LIMIT_S during the backlog is a missed target."""
    rows, live, backlog, every = fleet["rows"], fleet["live"], fleet["backlog"], fleet["every_s"]
    minutes, seconds = divmod(round(fleet["duration_s"]), 60)
    per_s = backlog["records"] / backlog["delivered_s"]
    day_min = backlog["delivered_s"] * 24 / BACKLOG_HOURS / 60
    late = backlog["live_late"]
    verdict = "met" if not late else f"**missed** ({late} later)"
    limit = backlog["live_limit_s"]
    if late:
        missed.append(f"fleet: live records within {limit:.0f} s during a backlog")
    instruments, boards = fleet_sizes(live)
    fast_instruments, fast_boards = fleet_sizes(fleet["live_fast"])
    return "\n".join([
        f"{machine} The fleet part took {minutes} min {seconds} s.", "",
        f"One central host (`torvex-fleet-central`: sshd, each board's pass an rsync that "
        f"appends to its copies and syncs them before it ends), its copies on {fleet['store']}; "
        f"the boards run `torvex-fleet send` on this machine, each with {INSTRUMENTS} records "
        f"files in /dev/shm (a board's disk is its own). {RUN_RECORDS:,} records per run, "
        f"written beforehand and shared by the boards; the time runs from the boards' start "
        f"(each opens its connection) to the last record filed.", "",
        "| boards sending at once | records filed per second | time | central host's CPU, "
        "of one core | whole machine busy (200% is both cores) |",
        "|---|---|---|---|---|",
        *(rate_row(row) for row in rows), "",
        f"- **Live.** {live['boards']} boards each logging {INSTRUMENTS} instruments at `-s 1` "
        f"for {LIVE_BOARDS_S} s ({live['records']:,} records), each pace in turn. " +
        live_line(live, f"At send's default pace (a pass at most every {every} s)") + " " +
        live_line(fleet["live_fast"], "With `send --every 1`"),
        f"- **Backlog.** {BACKLOG_HOURS} hour of {INSTRUMENTS} instruments at `-s 1` "
        f"({BACKLOG:,} records), written on one board while the central host was away: "
        f"delivered {backlog['delivered_s']:.1f} s after the central host was back, the "
        f"board's wait before it tried again included ({per_s:,.0f} records/s); a day away "
        f"would take about {day_min:.1f} min. Meanwhile {LIVE_BOARDS} other boards logged "
        f"{backlog['live_records']:,} live records, the latest of which arrived "
        f"{backlog['live_worst_s']:.2f} s after its time; target: each within the pace and "
        f"2 s, {limit:.0f} s: {verdict}.",
        f"- **Largest fleet**, keeping {HEADROOM:.0%} of the central host's {CORES} cores "
        f"free to catch up after an outage, at the live CPU per board: {boards:,} boards of "
        f"{INSTRUMENTS} ({instruments:,} instruments) at send's default pace, "
        f"{fast_boards:,} ({fast_instruments:,} instruments) with `--every 1`. A busy board "
        f"passes once per pace whatever its period, so the period changes this little."])
