"""docs/performance.md's fleet section: what one central host files, what a
backlog costs, and the largest fleet that follows from them."""
from .central import (BACKLOG, BACKLOG_HOURS, HEADROOM, INSTRUMENTS, LIVE_BOARDS, LIVE_LIMIT_S,
                      RUN_RECORDS, fleet_sizes)

FLEET_BEGIN = "<!-- fleet capacity: written by scripts/bench -->"
FLEET_END = "<!-- end of fleet capacity -->"


def rate_row(label, row):
    return (f"| {label} | {row['rate']:,.0f} | {row['cpu_pct']:.0f}% | "
            f"{row['busy_pct']:.0f}% |")


def fleet_document(fleet, machine, missed):
    """The fleet section's text; a live record later than LIVE_LIMIT_S is a missed target."""
    rows, backlog = fleet["rows"], fleet["backlog"]
    capacity = rows[-1]["rate"]  # the most boards at once: the least this host files
    minutes, seconds = divmod(round(fleet["duration_s"]), 60)
    per_s = backlog["records"] / backlog["delivered_s"]
    day_min = backlog["delivered_s"] * 24 / BACKLOG_HOURS / 60
    late = backlog["live_late"]
    verdict = "met" if not late else f"**missed** ({late} later)"
    if late:
        missed.append(f"fleet: live records within {LIVE_LIMIT_S:.0f} s during a backlog")
    sizes = {period: fleet_sizes(capacity, period) for period in (1, 10)}
    return "\n".join([
        f"{machine} The fleet part took {minutes} min {seconds} s.", "",
        f"One central host (`torvex-central.conf`, RELP over TLS, each record synced to its "
        f"file before the board's acknowledgement), its store on {fleet['store']}; the boards "
        f"are rsyslogd with `torvex-edge.conf` on this machine, each following {INSTRUMENTS} "
        f"records files, their queues in /dev/shm (a board's disk is its own). {RUN_RECORDS:,} "
        f"records per run, shared by the boards; rates and CPU between a tenth and nine tenths "
        f"of them filed.", "",
        "| boards sending at once | records filed per second | central rsyslogd's CPU, "
        "of one core | whole machine busy (200% is both cores) |",
        "|---|---|---|---|",
        *(rate_row(str(row["boards"]), row) for row in rows),
        rate_row(f"{fleet['unsynced']['boards']}, the central host without its per-record "
                 "sync (`sync=\"off\"`)", fleet["unsynced"]), "",
        f"- **Backlog.** {BACKLOG_HOURS} hour of {INSTRUMENTS} instruments at `-s 1` "
        f"({BACKLOG:,} records), queued on one board while the central host was away (in "
        f"{backlog['queued_s']:.1f} s): delivered {backlog['delivered_s']:.1f} s after the "
        f"central host was back ({per_s:,.0f} records/s); a day away would take about "
        f"{day_min:.0f} min. Meanwhile {LIVE_BOARDS} other boards logged "
        f"{backlog['live_records']} live records, the latest of which arrived "
        f"{backlog['live_worst_s']:.2f} s after it was written; target: each within "
        f"{LIVE_LIMIT_S:.0f} s: {verdict}.",
        f"- **Largest fleet**, keeping {HEADROOM:.0%} of the {rows[-1]['boards']}-board rate "
        f"({capacity:,.0f} records/s) free to catch up after an outage as fast as it lasted: "
        f"{sizes[1][0]:,} instruments at `-s 1` ({sizes[1][1]:,} boards of {INSTRUMENTS}), "
        f"{sizes[10][0]:,} at `-s 10` ({sizes[10][1]:,} boards)."])
