"""The metrics: the unattended run writing its metrics file after each poll
against the same run without (CPU per poll, the two at once, half a period
apart, rounds swapping which starts first), and torvex-metrics refreshing
the metrics of a central store of 840 instruments (CPU and peak memory per
refresh)."""
import os
import random
import statistics
import subprocess
import sys
import time

from .common import ARGS, PERIOD_S
from .sessions import delivery_options, run_together
from .tables import Table, fmt_ms
from .unattended import BAUD, MODE, NAME, run_figures

ROUNDS = 2
CPU_RATIO = 1.05  # with metrics over without, per poll, at most
REFRESH_CPU_S = 0.5  # per refresh of a central store, at most
BOARDS, PER_BOARD = 30, 28  # 840 instruments, the largest fleet at send's default pace
LINES = 2000  # records in each instrument's month file
REFRESHES = 5
METRICS_BEGIN = "<!-- metrics: written by scripts/bench -->"
METRICS_END = "<!-- end of metrics -->"


def logger_command(metrics_folder):
    def command(port, seconds):
        environment = (["TORVEX_METRICS_DIRECTORY=" + str(metrics_folder)] if metrics_folder
                       else ["-u", "TORVEX_METRICS_DIRECTORY"])
        return ["env", *environment, ARGS.torvexsvc, "run", NAME, "-p", port, "-b", str(BAUD),
                "-s", str(seconds)]
    return command


def make_store(store):
    """BOARDS boards of PER_BOARD instruments: a month file each of LINES
    records at -s 10 ending now, a .servicio file for some, the field names
    and limits, and each board's last pass."""
    rng = random.Random(840)
    now = int(time.time())
    month = time.strftime("%Y-%m", time.gmtime(now))
    os.makedirs(os.path.join(store, ".passes"))
    for board in range(BOARDS):
        folder = os.path.join(store, "placa-%02d" % board)
        os.makedirs(folder)
        for number in range(PER_BOARD):
            name = "inst%02d" % number
            lines = []
            for k in range(LINES):
                t = now - (LINES - k) * 10
                stamp = time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(t)) + ".000"
                lines.append("%s,VARNOD,SN %04d,FW 2.3,%.2f,%.1f%%;%.2f;%.1f\n" % (
                    stamp, number, rng.uniform(2, 8), rng.uniform(30, 60),
                    rng.uniform(5, 9), rng.uniform(990, 1030)))
            with open(os.path.join(folder, "%s-%s.csv" % (name, month)), "w") as out:
                out.writelines(lines)
            if number % 7 == 0:
                with open(os.path.join(folder, "%s-%s.servicio.csv" % (name, month)), "w") as out:
                    out.writelines(lines[-3:])
            with open(os.path.join(folder, name + "-campos.txt"), "w") as out:
                out.write("4=Temperatura C\n4 min=2\n4 max=8\n5=Humedad %\n5 max=55\n")
        with open(os.path.join(store, ".passes", "placa-%02d" % board), "w") as out:
            out.write("%d 10\n" % now)


def refresh_runs(work):
    """[(CPU s, peak resident KiB, bytes written)] of each refresh."""
    store, folder = work / "store", work / "textfile"
    print(f"  a central store of {BOARDS * PER_BOARD} instruments", file=sys.stderr, flush=True)
    make_store(str(store))
    folder.mkdir()
    runs = []
    for _ in range(REFRESHES):
        process = subprocess.Popen([ARGS.torvex_metrics, str(store)],
                                   env=dict(os.environ, TORVEX_METRICS_DIRECTORY=str(folder)))
        _, status, usage = os.wait4(process.pid, 0)
        if status != 0:
            raise RuntimeError("torvex-metrics failed: status %d" % status)
        runs.append((usage.ru_utime + usage.ru_stime, usage.ru_maxrss,
                     (folder / "torvex-fleet.prom").stat().st_size))
    return runs


def metrics_runs(work, reply_file):
    """{"without": [figures per round], "with": [...], "refreshes": [...]}."""
    options = delivery_options(MODE, BAUD, reply_file)
    folder = work / "metrics"
    folder.mkdir()
    without = ("without", logger_command(None), options, ARGS.polls, PERIOD_S, {"unattended": NAME})
    with_metrics = ("with", logger_command(folder), options, ARGS.polls, PERIOD_S,
                    {"unattended": NAME})
    runs = {"without": [], "with": []}
    for round_number in range(ROUNDS):
        print(f"  unattended runs with and without metrics, {ARGS.polls} polls, round "
              f"{round_number + 1} of {ROUNDS}", file=sys.stderr, flush=True)
        pair = [without, with_metrics] if round_number % 2 == 0 else [with_metrics, without]
        for session in run_together(pair, work, ARGS.polls * PERIOD_S + 30, stagger_s=PERIOD_S / 2):
            runs[session.name].append(run_figures(session))
    runs["refreshes"] = refresh_runs(work)
    return runs


def metrics_document(runs, machine, missed):
    # Means, not medians: the file is written after one poll in ten at -s 1.
    cpu = {who: statistics.mean(ns for run in runs[who] for ns in run["cpu_polls"]) / 1e6
           for who in ("without", "with")}
    ratio = statistics.median(sum(w_run["cpu_polls"]) / sum(o_run["cpu_polls"])
                              for o_run, w_run in zip(runs["without"], runs["with"]))
    polls = sum(len(run["cpu_polls"]) for run in runs["without"])
    refreshes = runs["refreshes"]
    cpu_s = statistics.median(r[0] for r in refreshes)
    table = Table(missed)
    table.row(f"CPU per poll of the unattended run (on-CPU time), mean of {polls} polls; "
              f"the ratio: median of the rounds' totals", fmt_ms(cpu["without"], 3),
              f"{fmt_ms(cpu['with'], 3)} ({ratio:.2f}× without)",
              target=f"≤ {CPU_RATIO}× without", met=ratio <= CPU_RATIO)
    table.row(f"torvex-metrics on a central store of {BOARDS * PER_BOARD} instruments "
              f"({BOARDS} boards): CPU per refresh, median of {len(refreshes)} / most", "",
              f"{cpu_s:.3f} s / {max(r[0] for r in refreshes):.3f} s",
              target=f"< {REFRESH_CPU_S} s", met=cpu_s < REFRESH_CPU_S)
    table.row("Its peak resident memory, most of the refreshes / the file it writes", "",
              f"{max(r[1] for r in refreshes) / 1024:.1f} MiB / "
              f"{refreshes[-1][2] / 1024:.0f} KiB")
    return "\n".join([
        machine, "",
        f"`torvexsvc run {NAME} -p PTY -s {PERIOD_S}` writing `torvex-{NAME}.prom` "
        f"after a poll every 10 s, and the same run without a metrics folder, at "
        f"once, half a period apart, each against its own simulator (`{MODE}`, {BAUD} baud, the "
        f"benchmark's 150-byte reply); {ROUNDS} rounds, the second started the other way round. "
        f"Then `torvex-metrics` {len(refreshes)} times on a store of {BOARDS} boards of "
        f"{PER_BOARD} instruments, each a month file of {LINES} records, every seventh a "
        f".servicio file too, each its field names and limits, each board its last pass.", "",
        "| | without metrics | with metrics | target |", "|---|---|---|---|", *table.rows])
