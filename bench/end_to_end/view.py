"""The records page: how soon it charts a month of records at -s 10 and a day
at -s 1, how many bytes it fetches for them, and how much memory it takes;
and on a fleet's central host of 300 instruments on 3 boards (a day at -s 10
each), how soon its summary shows every last record, the longest task that
blocks the page, what it asks while records arrive every 10 s and once none
do, and its renderer's memory after 10 minutes open.

nginx serves the page and a records folder through the board's example file
(tests/view/view_hosts.py, as the page's test sets it up); headless Chromium
opens the page afresh for each run. The records end now, in the files the
service would write: by UTC month at -s 10, by UTC day at -s 1. Times run
from the start of the page's navigation to the chart drawn with the range's
records; bytes are the bodies nginx sent for the records files (its access
log); memory is the page's JavaScript heap (the DevTools protocol) and the
resident memory of its renderer process."""
import base64
import collections
import os
import re
import shutil
import statistics
import sys
import tempfile
import threading
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
BOARDS = ("placa-1", "placa-2", "placa-3")
EACH = 100                # instruments per board
FLEET_PERIOD_MS = 10000
SUMMARY_LIMIT_S = 2.0
LONG_TASK_LIMIT_MS = 200
RSS_LIMIT_MIB = 300
OPEN_S = 600              # the page open this long before its memory is read
FOLLOW_S = 180            # records arriving every 10 s
SILENT_AFTER_S = 60       # three periods and the fleet's delay, with a margin
IDLE_S = 300              # then none: the requests of these minutes are counted
PASSWORD = "banco-de-pruebas"
# Registered before the page's own scripts: every task over 50 ms, as the
# browser reports them.
LONG_TASKS = """window.torvexLongTasks = [];
new PerformanceObserver(list => {
  for (const task of list.getEntries()) torvexLongTasks.push(task.duration);
}).observe({type: "longtask"});"""


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


def append_records(store, names, stop):
    """One record more in each instrument's newest file every 10 s, stamped
    now, until stop is set; how many were appended."""
    appended = 0
    n = 0
    while not stop.wait(FLEET_PERIOD_MS / 1000 - (time.time() % 10)):
        n += 1
        line = stamp(int(time.time() * 1000)).encode() + b"," + default_record(n)
        for board, name in names:
            folder = store / board
            newest = max(p for p in os.listdir(folder) if p.startswith(name + "-"))
            with open(folder / newest, "ab") as out:
                out.write(line)
            appended += 1
    return appended


def requests_by_kind(requests):
    """{kind: count}: each board's listing, the store's, the records files'
    new bytes (a range open at its end: "bytes=N-"), the other reads of them
    (last records, a chart's range), error answers."""
    kinds = collections.Counter()
    for _, path, status, _, range_asked in requests:
        if status >= 400:
            kinds["errors"] += 1
        if path == "/records/":
            kinds["store"] += 1
        elif path.endswith("/"):
            kinds[path.split("/")[2]] += 1
        elif path.startswith("/records/"):
            kinds["files" if re.fullmatch(r"bytes=\d+-", range_asked) else "charts"] += 1
    return kinds


def fleet_scenario(work, driver):
    """The central host's page over 300 instruments: the summary's time in
    RUNS fresh loads, then the last load kept open OPEN_S: records arriving
    for FOLLOW_S (an instrument's charts opened every 15 s), then none."""
    store = Path(tempfile.mkdtemp(dir=work, prefix="store-"))
    now_ms = int(time.time() * 1000)
    names = [(board, "sonda-%03d" % i) for board in BOARDS for i in range(EACH)]
    records = 0
    for board in BOARDS:
        (store / board).mkdir()
    for board, name in names:
        records += write_records(store / board, name, FLEET_PERIOD_MS, 1, now_ms)[0]
    for folder in [store, *(store / board for board in BOARDS)]:
        view_hosts.open_to_all(str(folder))
    nginx = view_hosts.central_nginx(str(work / "nginx-fleet"), str(store), PASSWORD).start()
    driver.execute_cdp_cmd("Network.enable", {"maxTotalBufferSize": 0, "maxResourceBufferSize": 0})
    driver.execute_cdp_cmd("Network.setExtraHTTPHeaders", {"headers": {"Authorization": "Basic " +
                           base64.b64encode(("%s:%s" % (view_hosts.USER, PASSWORD)).encode())
                           .decode()}})
    script = driver.execute_cdp_cmd("Page.addScriptToEvaluateOnNewDocument", {"source": LONG_TASKS})
    try:
        summaries = []
        for _ in range(RUNS):
            driver.get("about:blank")
            driver.get(nginx.url + "#dia")
            opened = time.monotonic()
            deadline = opened + 60
            while not driver.execute_script("return window.torvexView && torvexView.page.summaryAt"):
                if time.monotonic() > deadline:
                    raise BenchError("view: the fleet's summary within 60 s")
                time.sleep(0.05)
            summaries.append(driver.execute_script("return torvexView.page.summaryAt") / 1000)
        stop = threading.Event()
        appended = []
        writer = threading.Thread(target=lambda: appended.append(
            append_records(store, names, stop)))
        logged = len(nginx.requests())
        writer.start()
        try:
            for k in range(FOLLOW_S // 15):
                driver.execute_script(
                    "document.querySelectorAll('#summary tbody a')[arguments[0]].click()",
                    (k * 37) % len(names))
                time.sleep(15)
        finally:
            stop.set()
            writer.join()
        following = requests_by_kind(nginx.requests()[logged:])
        time.sleep(SILENT_AFTER_S)
        logged = len(nginx.requests())
        time.sleep(IDLE_S)
        idle = requests_by_kind(nginx.requests()[logged:])
        time.sleep(max(0, opened + OPEN_S - time.monotonic()))
        heap, rss = memory(driver)
        tasks = driver.execute_script("return torvexLongTasks")
        status = driver.execute_script("return torvexView.status()")
    finally:
        driver.execute_cdp_cmd("Page.removeScriptToEvaluateOnNewDocument",
                               {"identifier": script["identifier"]})
        nginx.stop()
        shutil.rmtree(store, ignore_errors=True)
    errors = [s["error"] for s in status if s["error"]]
    if errors:
        raise BenchError("view: the fleet's page: " + errors[0])
    return {"instruments": len(names), "records": records, "summary_s": statistics.median(summaries),
            "summaries_s": summaries, "longest_task_ms": max(tasks, default=0),
            "long_tasks": len(tasks), "following": dict(following),
            "appended": appended[0] if appended else 0, "idle": dict(idle),
            "heap_mib": heap, "rss_mib": rss, "open_s": OPEN_S}


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
    # A browser of its own: nothing of the scenarios above in its memory.
    driver = view_hosts.browser()
    try:
        driver.execute_cdp_cmd("Performance.enable", {})
        print("  view: 300 instruments on 3 boards, 10 minutes open", file=sys.stderr, flush=True)
        fleet = fleet_scenario(work, driver)
    finally:
        driver.quit()
    return {"month": month, "day": day, "fleet": fleet, "duration_s": time.monotonic() - began,
            "chromium": driver.capabilities.get("browserVersion", "?")}


def fleet_lines(fleet, verdict):
    """The fleet's part of the section."""
    follow, idle = fleet["following"], fleet["idle"]
    follow_min, idle_min = FOLLOW_S / 60, IDLE_S / 60
    busiest = max(idle.get(board, 0) for board in BOARDS) / idle_min
    reads = follow.get("files", 0)
    ratio = reads / fleet["appended"] if fleet["appended"] else float("inf")
    listings = sum(follow.get(board, 0) for board in BOARDS) / follow_min
    return [
        f"**A fleet's central host**: {fleet['instruments']} instruments on {len(BOARDS)} boards, "
        f"a day at `-s 10` each ({fleet['records']:,} records), served with "
        f"`torvex-view-central.conf` (TLS, a password), the page opened afresh {RUNS} times, the "
        f"last kept open {fleet['open_s'] // 60} minutes: records arriving every 10 s for "
        f"{FOLLOW_S // 60} minutes (one per instrument, an instrument's charts of the day opened "
        f"every 15 s), then none.", "",
        "| | measured | goal |", "|---|---|---|",
        f"| The summary with every instrument's last record, from the navigation's start "
        f"(median; runs: {', '.join(f'{t:.2f} s' for t in fleet['summaries_s'])}) | "
        f"{fleet['summary_s']:.2f} s | under {SUMMARY_LIMIT_S:.0f} s: "
        f"{verdict(fleet['summary_s'] < SUMMARY_LIMIT_S, 'the summary within 2 s')} |",
        f"| The longest task blocking the page over those {fleet['open_s'] // 60} minutes "
        f"({fleet['long_tasks']} tasks over 50 ms) | {fleet['longest_task_ms']:.0f} ms | "
        f"none over {LONG_TASK_LIMIT_MS} ms: "
        f"{verdict(fleet['longest_task_ms'] <= LONG_TASK_LIMIT_MS, 'no task over 200 ms')} |",
        f"| Its renderer's memory after {fleet['open_s'] // 60} minutes (JavaScript heap "
        f"{fleet['heap_mib']:.0f} MiB) | {fleet['rss_mib']:.0f} MiB resident | under "
        f"{RSS_LIMIT_MIB} MB: {verdict(fleet['rss_mib'] * 1.048576 < RSS_LIMIT_MIB, 'renderer under 300 MB')} |",
        f"| Requests a minute with no new records, each instrument silent ({IDLE_S // 60} "
        f"minutes): each board's folder listed, records files, error answers | "
        f"{busiest:.1f} a board at most, {idle.get('files', 0) / idle_min:.1f}, "
        f"{idle.get('errors', 0)} (the store's list of boards: {idle.get('store', 0)} in "
        f"{IDLE_S // 60} minutes) | at most one per board folder: "
        f"{verdict(busiest <= 1 and not idle.get('files') and not idle.get('errors'), 'idle: one listing a minute per board')} |",
        f"| Requests a minute while records arrive every 10 s ({FOLLOW_S // 60} minutes, "
        f"{fleet['appended']:,} records): records files read for their new bytes, folder "
        f"listings, other reads (the charts opened), error answers | "
        f"{reads / follow_min:,.0f} ({ratio:.2f} per new record's file), {listings:.0f}, "
        f"{follow.get('charts', 0) / follow_min:.0f}, "
        f"{follow.get('errors', 0)} | one per new record's file, no error: "
        f"{verdict(ratio <= 1 and not follow.get('errors'), 'following: one read per new record')} |"]


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
        *fleet_lines(view["fleet"], verdict), "",
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
