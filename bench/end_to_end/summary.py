"""What scripts/bench writes: the full tables of docs/performance.md and the
short summary of README.md, each between its marks."""
import platform

from .common import ARGS, COUNTED_POLLS, PERIOD_S, TYPICAL_REPLY
from .scale import SCALE_BAUD, SCALE_MODE, SETTLE_S
from .tables import (fleet_failures, floor_ratio, fmt_ms, fmt_ratio, fmt_signed_ms, hourly_cpu_s,
                     main_table, micro_table, pooled, scale_table)

BEGIN_MARK = "<!-- performance table: written by scripts/bench -->"
END_MARK = "<!-- end of performance table -->"
SUMMARY_BEGIN = "<!-- performance summary: written by scripts/bench -->"
SUMMARY_END = "<!-- end of performance summary -->"


def machine_line(r):
    model, cores = r["machine"]
    load = r["load"]
    minutes, seconds = divmod(round(r["duration_s"]), 60)
    return (f"Measured on {r['started']:%Y-%m-%d} by `scripts/bench` in {minutes} min {seconds} s: "
            f"{model}, {cores} cores, Linux {platform.release()}, load average {load[0]:.2f} at "
            f"the start and {load[1]:.2f} at the end" + (f"; {ARGS.note}" if ARGS.note else "")
            + ".")


def largest_holding(scale):
    holding = [count for count, row in scale["torvex"].items() if not fleet_failures(row)]
    return max(holding) if holding else None


def document(r):
    """The full tables, with what each run was; also collects the targets missed."""
    missed = []
    lines = [
        machine_line(r), "",
        f"Simulated instrument on a pseudo-terminal, answering each request with a "
        f"{len(TYPICAL_REPLY)}-byte reply of five lines paced at 10 bits per byte and handed "
        f"over byte by byte (`byte`), as from a UART's FIFO (`fifo`) or as from a USB "
        f"adapter (`usb`); {ARGS.polls} polls per program, delivery and speed at "
        f"`-s {PERIOD_S}`, the three programs at once, records to a file. The floor is "
        f"`bench/floor_reader.cpp`. System calls are the kernel's count (`perf stat` on its "
        f"tracepoints) over {COUNTED_POLLS} polls of separate runs. The script is "
        f"`bench/peers/serial_logger.py` (Python {ARGS.python_version}, pyserial "
        f"{ARGS.pyserial_version}).", "",
        *main_table(r, missed),
    ]
    if r["scale"] is not None:
        largest = largest_holding(r["scale"])
        lines += [
            "", f"Many loggers at once, each against its own simulator (`{SCALE_MODE}`, "
            f"{SCALE_BAUD} baud), all at `-s {PERIOD_S}`, each syncing its records to a file of "
            f"its own; the static release build, then the script; watched for "
            f"{ARGS.scale_seconds:.0f} s once all had run for {SETTLE_S:.0f} s. The largest "
            f"number of loggers that met every target: "
            + (f"{largest}." if largest else "none."), "",
            *scale_table(r["scale"], missed)]
    if r["micro"]:
        lines += ["", "Reply pipeline alone (receive from memory, join, rewrite; "
                  "`bench/reply_bench.cpp`):", "", *micro_table(r["micro"])]
    lines += ["", "Targets missed: " + ("; ".join(missed) if missed else "none") + "."]
    return "\n".join(lines), missed


def summary(r, missed):
    """At most ten rows for the README: the figures a user asks about first."""
    figures = r["figures"]
    n, f, s = (figures[who] for who in ("torvex", "floor", "script"))
    rows = [
        ("Overhead over the wire-time limit, median (9600 baud: byte / FIFO / USB)",
         *(" / ".join(fmt_signed_ms(x[mode, 9600]["overhead"]) for mode in ("byte", "fifo", "usb"))
           for x in (n, f, s))),
        ("Start-to-start period at `-s 1`, median / worst deviation (9600 baud, FIFO)",
         *(f"{x['fifo', 9600]['period']:.1f} ms / {fmt_signed_ms(x['fifo', 9600]['period_worst'])}"
           for x in (n, f, s))),
    ]
    for mode, name in (("byte", "byte by byte"), ("fifo", "from a UART FIFO"),
                       ("usb", "from a USB adapter")):
        cpu = {who: ns / 1e6 for who, ns in pooled(figures, mode, "cpu_polls").items()}
        ratio = floor_ratio(*((run, f[key]) for key, run in n.items() if key[0] == mode))
        rows.append((f"CPU per poll, reply handed over {name}",
                     f"{fmt_ms(cpu['torvex'], 2)} ({ratio:.2f}× the floor)",
                     fmt_ms(cpu["floor"], 2),
                     fmt_ms(cpu["script"], 2) + fmt_ratio(cpu["torvex"], cpu["script"])))
    hourly = {who: hourly_cpu_s(figures, r["idle"], who) for who in ("torvex", "script")}
    rows.append(("CPU per hour of logging at `-s 10`", f"{hourly['torvex']:.2f} s", "",
                 f"{hourly['script']:.2f} s{fmt_ratio(hourly['torvex'], hourly['script'])}"))
    peaks = {who: max(x["peak_kib"] for x in figures[who].values()) for who in figures}
    rows.append(("Peak resident memory of one logger", f"{peaks['torvex'] / 1024:.2f} MiB",
                 f"{peaks['floor'] / 1024:.2f} MiB", f"{peaks['script'] / 1024:.1f} MiB"))
    if r["scale"] is not None:
        count = max(r["scale"]["torvex"])

        def fleet(x, memory):
            return (f"{x['median']:+.1f} ms / {x['latest']:+.1f} ms, {x['cpu_pct']:.1f}%, "
                    + memory(x["pss_each_kib"]))
        rows.append((f"{count} loggers at once (FIFO, 9600 baud, `-s 1`): median / latest "
                     "period deviation, CPU of one core, PSS each",
                     fleet(r["scale"]["torvex"][count], lambda kib: f"{kib:.0f} KiB"), "",
                     fleet(r["scale"]["script"][count], lambda kib: f"{kib / 1024:.1f} MiB")))
    verdict = ("Every target was met." if not missed
               else ("1 target was missed" if len(missed) == 1
                     else f"{len(missed)} targets were missed") + " (marked there).")
    return "\n".join([
        machine_line(r) + " " + verdict, "",
        "| | torvex | floor | Python script |", "|---|---|---|---|",
        *("| " + " | ".join(row) + " |" for row in rows)])


def write_section(path, text, begin=BEGIN_MARK, end=END_MARK, heading="Performance"):
    """Replaces what lies between the marks, or appends a section with them."""
    old = path.read_text()
    block = f"{begin}\n{text}\n{end}"
    if begin in old and end in old:
        new = old[:old.index(begin)] + block + old[old.index(end) + len(end):]
    else:
        new = old.rstrip("\n") + f"\n\n## {heading}\n\n" + block + "\n"
    path.write_text(new)
