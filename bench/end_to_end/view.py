"""The records page: how soon it charts a month of records at -s 10 and a day
at -s 1, how many bytes it fetches for them, and how much memory it takes.

nginx serves the page and a records folder through the board's example file
(tests/view/view_hosts.py, as the page's test sets it up); headless Chromium
opens the page afresh for each run. The records end now, in the files the
service would write: by UTC month at -s 10, by UTC day at -s 1. Times run
from the start of the page's navigation to the chart drawn with the range's
records; bytes are the bodies nginx sent for the records files (its access
log); memory is the page's JavaScript heap (the DevTools protocol) and the
resident memory of its renderer process."""
import os
import shutil
import statistics
import sys
import tempfile
import time
from pathlib import Path

from .common import BenchError
from .measures import kib_field

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tests" / "view"))
sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tests" / "e2e"))
import view_hosts  # noqa: E402
from test_faults import default_record  # noqa: E402

DAY_MS = 86400000
MONTH_DAYS = 31
RUNS = 3  # page loads per figure; the median is shown
DAY_LIMIT_S = 1.0
MONTH_LIMIT_S = 3.0
DAY_BYTES_LIMIT = 2.0  # a day's view fetches at most this many times a day's bytes


def stamp(ms):
    return time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(ms // 1000)) + ".%03d" % (ms % 1000)


def write_records(folder, name, period_ms, days, now_ms):
    """Records of name every period_ms for days, the last one a period ago,
    filed as the service files them; (records, bytes of the last day, sizes
    of the files)."""
    daily = period_ms < 3000
    end = now_ms - now_ms % period_ms - period_ms
    count = days * DAY_MS // period_ms
    files, day_bytes = {}, 0
    for i in range(count):
        t = end - (count - 1 - i) * period_ms
        text = stamp(t)
        line = text.encode() + b"," + default_record(i + 1)
        files.setdefault("%s-%s.csv" % (name, text[:10] if daily else text[:7]), []).append(line)
        if t > now_ms - DAY_MS:
            day_bytes += len(line)
    sizes = {}
    for file, lines in files.items():
        data = b"".join(lines)
        (folder / file).write_bytes(data)
        sizes[file] = len(data)
    return count, day_bytes, sizes


def renderer_rss_kib(driver):
    """The resident memory of the largest renderer process under chromedriver."""
    children = {}
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/stat") as stat:
                parent = int(stat.read().rsplit(")", 1)[1].split()[1])
            children.setdefault(parent, []).append(int(pid))
        except (OSError, ValueError, IndexError):
            continue
    found, todo = [], [driver.service.process.pid]
    while todo:
        pid = todo.pop()
        for child in children.get(pid, []):
            todo.append(child)
            try:
                with open(f"/proc/{child}/cmdline", "rb") as cmdline:
                    if b"--type=renderer" in cmdline.read():
                        found.append(kib_field(f"/proc/{child}/status", "VmRSS"))
            except OSError:
                continue
    return max(found) if found else None


def page_load(driver, nginx, range_name, name):
    """One fresh load of the page in that range: (the stages drawn, seconds
    from the navigation's start, the bytes of name's files fetched)."""
    logged = len(nginx.requests())
    driver.get("about:blank")
    driver.get(nginx.url + "#" + range_name)
    deadline = time.monotonic() + 60
    while True:
        status = driver.execute_script("return window.torvexView ? torvexView.status() : []")
        if status and status[0]["complete"]:
            break
        if time.monotonic() > deadline:
            raise BenchError(f"view: the {range_name} view of {name} within 60 s: {status}")
        time.sleep(0.05)
    fetched = sum(size for _, path, _, size, _ in nginx.requests()[logged:]
                  if path.startswith("/records/" + name + "-"))
    if status[0]["error"]:
        raise BenchError(f"view: {status[0]['error']}")
    return {stage["goal"]: stage["at"] / 1000 for stage in status[0]["drawn"]}, fetched


def memory(driver):
    metrics = driver.execute_cdp_cmd("Performance.getMetrics", {})["metrics"]
    heap = next(m["value"] for m in metrics if m["name"] == "JSHeapUsedSize")
    return heap / 1048576, (renderer_rss_kib(driver) or 0) / 1024


def scenario(work, driver, name, period_ms, days):
    """The page over one instrument's records: a day's view, and a month's
    when days reach one."""
    folder = Path(tempfile.mkdtemp(dir=work, prefix="records-"))
    now_ms = int(time.time() * 1000)
    count, day_bytes, sizes = write_records(folder, name, period_ms, days, now_ms)
    view_hosts.open_to_all(str(folder))
    nginx = view_hosts.board_nginx(str(work / ("nginx-" + name)), str(folder)).start()
    try:
        runs = {"dia": [], "mes": []}
        for range_name in runs if days >= MONTH_DAYS else ("dia",):
            for _ in range(RUNS):
                runs[range_name].append(page_load(driver, nginx, range_name, name))
        heap, rss = memory(driver)
    finally:
        nginx.stop()
        shutil.rmtree(folder, ignore_errors=True)
    day = runs["dia"]
    result = {"name": name, "period_s": period_ms // 1000, "records": count,
              "files": len(sizes), "total_bytes": sum(sizes.values()),
              "day_bytes": day_bytes, "day_s": statistics.median(max(s.values()) for s, _ in day),
              "day_fetched": max(fetched for _, fetched in day), "heap_mib": heap, "rss_mib": rss}
    if runs["mes"]:
        # The month's view is drawn first with its last hour, then its last day, then whole.
        stages = [[at for _, at in sorted(s.items(), reverse=True)] for s, _ in runs["mes"]]
        result["month_day_s"] = statistics.median(stage[1] for stage in stages)
        result["month_s"] = statistics.median(stage[2] for stage in stages)
        result["month_fetched"] = max(fetched for _, fetched in runs["mes"])
    return result


def view_runs(work):
    reason = view_hosts.missing()
    if reason:
        raise BenchError("view: " + reason)
    began = time.monotonic()
    driver = view_hosts.browser()
    try:
        driver.execute_cdp_cmd("Performance.enable", {})
        print("  view: a month at -s 10", file=sys.stderr, flush=True)
        month = scenario(work, driver, "mes10", 10000, MONTH_DAYS)
        print("  view: a day at -s 1", file=sys.stderr, flush=True)
        day = scenario(work, driver, "dia1", 1000, 1)
    finally:
        driver.quit()
    return {"month": month, "day": day, "duration_s": time.monotonic() - began,
            "chromium": driver.capabilities.get("browserVersion", "?")}


def view_document(view, machine, missed):
    """The records page's section of docs/performance.md; collects targets missed."""
    month, day = view["month"], view["day"]

    def verdict(ok, what):
        if not ok:
            missed.append("view: " + what)
        return "met" if ok else "**missed**"

    minutes, seconds = divmod(round(view["duration_s"]), 60)
    rows = []
    for run in (month, day):
        ratio = run["day_fetched"] / run["day_bytes"]
        rows.append(
            f"| {run['records']:,} records at `-s {run['period_s']}` in {run['files']} "
            f"file(s), {run['total_bytes'] / 1048576:.1f} MiB | {run['day_s']:.2f} s "
            f"({verdict(run['day_s'] <= DAY_LIMIT_S, 'a day within 1 s')}) | "
            f"{run['day_fetched'] / 1048576:.2f} MiB: {ratio:.2f}× the day's "
            f"{run['day_bytes'] / 1048576:.2f} MiB "
            f"({verdict(ratio <= DAY_BYTES_LIMIT, 'at most twice a day' + chr(39) + 's bytes')}), "
            f"{100 * run['day_fetched'] / run['total_bytes']:.0f}% of the files |")
    return "\n".join([
        f"{machine} The records page's part took {minutes} min {seconds} s.", "",
        f"The page (`packaging/view`) served by nginx with `torvex-view-board.conf`, opened "
        f"afresh {RUNS} times per figure in headless Chromium {view['chromium']} on this "
        f"machine (medians of the times, the most bytes of any run); the records end now, "
        f"filed as the service files them.", "",
        "| records | last day charted | bytes fetched for the day's view |",
        "|---|---|---|",
        *rows, "",
        f"- **A month's view** of the {month['records']:,} records at `-s 10`: its last day "
        f"charted after {month['month_day_s']:.2f} s, the whole month after "
        f"{month['month_s']:.2f} s "
        f"({verdict(month['month_s'] <= MONTH_LIMIT_S, 'the whole month within 3 s')}; "
        f"target 3 s), {month['month_fetched'] / 1048576:.1f} MiB fetched for "
        f"{month['total_bytes'] / 1048576:.1f} MiB of files.",
        f"- **Memory** of the page once it charted the month: JavaScript heap "
        f"{month['heap_mib']:.0f} MiB, its renderer process {month['rss_mib']:.0f} MiB "
        f"resident; with the day at `-s 1`: {day['heap_mib']:.0f} MiB and "
        f"{day['rss_mib']:.0f} MiB."])
