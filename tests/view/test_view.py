"""The records page at work: the package's page served by nginx from its two
example files, a board's and the fleet's central host's, read by headless
Chromium, while torvexsvc logs the simulator through the unattended run.

One central store with two boards: board-1 is the live records folder of
three instruments at -s 1 (estufa logs throughout, camara is unplugged for
a few polls, horno is stopped), beside files the page must pass over
(version 1.0's NAME.csv and its rotated copies, a message log, a dated file
with no stamped line, a link leading out of the folder); board-2 holds ten
days of an instrument at -s 60 with an hour missing, in monthly files and
the service's file beside the last, names and limits for its fields, and an
instrument whose name is not ASCII. The board's example serves board-1, the
central host's the whole store over TLS with a password. Chromium runs in
the time zone Asia/Kolkata (UTC+05:30), so that UTC shown as local time is
seen. Stores of 300 instruments on 3 boards, a few of them silent, out of
their limits or with lines of every wrong kind, are written for the fleet's
case and for a page opened at the start and left idle until the last case.

Environment: TORVEXSVC (the service program), TORVEX_SIM (the simulator),
TORVEX_VIEW_SCREENSHOT (where the page's picture is saved; the phone's beside
it, NAME-phone.png). Run with Debian's
/usr/bin/python3 (selenium); reports itself skipped (status 77) where nginx,
libjs-dygraphs, chromium-driver or python3-selenium are missing."""

import base64
import collections
import datetime
import glob
import http.client
import os
import re
import shutil
import signal
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import zoneinfo

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
sys.path.insert(0, HERE)
from harness import Simulator  # noqa: E402
from test_faults import default_record, wait_until  # noqa: E402
import view_hosts  # noqa: E402

TORVEXSVC = os.environ.get("TORVEXSVC", "build/native/torvexsvc")
SCREENSHOT = os.environ.get("TORVEX_VIEW_SCREENSHOT", "")
PASSWORD = "sonda-7-azul"
SECRET = "NO-DEBE-SALIR"
TIME_ZONE = "Asia/Kolkata"
HOUR_MS, DAY_MS = 3600000, 86400000
ARCHIVE_PERIOD_MS = 60000
ARCHIVE_DAYS = 10
ARCHIVE_NAMES = "4 = Temperatura\n# the humidity\n5=Humedad\n5 min=40,1\n5 max = 41.5\n"
LIVE_LABELS = ["hora", "campo 4", "campo 5", "campo 6", "campo 7"]
ARCHIVE_LABELS = ["hora", "Temperatura", "Humedad", "campo 6", "campo 7"]
EXACT_UP_TO = 5000  # records a chart draws each as a point (charts.js)
ACCENTED = "Cámara fría 2"
EXAMPLES = [os.path.join(HERE, "..", "examples", "records.txt")]


def values_of(n):
    """The numbers of the simulator's n-th default reply, as its help says."""
    return [(2100 + (n % 20) * 5) / 100, (400 + (n % 10) * 2) / 10,
            (700 + (n % 8) * 25) / 100, (10130 + (n % 15) * 4) / 10]


# The default replies repeat after 120: every record the simulator makes.
VALUES_OF_RECORD = {default_record(n).rstrip(b"\n"): values_of(n) for n in range(1, 121)}


def stamp(ms):
    return datetime.datetime.fromtimestamp(ms / 1000, datetime.timezone.utc).strftime(
        "%Y-%m-%dT%H:%M:%S.%f")[:23]


def stamp_ms(text):
    when = datetime.datetime.strptime(text, "%Y-%m-%dT%H:%M:%S.%f")
    return round(when.replace(tzinfo=datetime.timezone.utc).timestamp() * 1000)


def records_in(folder, name):
    """[(t ms, values, line bytes with its LF)] of every dated file of name, in time order."""
    found = []
    for file in sorted(os.listdir(folder)):
        if re.fullmatch(re.escape(name) + r"-[-\d]+(\.servicio)?\.csv", file):
            with open(os.path.join(folder, file), "rb") as text:
                for line in text.read().splitlines(keepends=True):
                    record = line.rstrip(b"\n")
                    found.append((stamp_ms(record[:23].decode()), VALUES_OF_RECORD[record[24:]],
                                  line))
    return sorted(found, key=lambda r: r[0])


def write_archive(folder, now_ms):
    """ARCHIVE_DAYS of archivo at ARCHIVE_PERIOD_MS, an hour from 5 h ago missing,
    filed by UTC month as the service files them, every 7th record of the last
    3 hours in the service's file (its records file held meanwhile); and a
    few records of an instrument with an accented name."""
    end = now_ms - now_ms % ARCHIVE_PERIOD_MS - ARCHIVE_PERIOD_MS
    t = end - ARCHIVE_DAYS * DAY_MS
    n = 0
    files = {}
    while t <= end:
        n += 1
        if not end - 5 * HOUR_MS <= t < end - 4 * HOUR_MS:
            held = t > end - 3 * HOUR_MS and n % 7 == 0
            name = "archivo-%s%s.csv" % (stamp(t)[:7], ".servicio" if held else "")
            files.setdefault(name, []).append(stamp(t).encode() + b"," + default_record(n))
        t += ARCHIVE_PERIOD_MS
    files["%s-%s.csv" % (ACCENTED, stamp(end)[:7])] = [
        stamp(end - k * ARCHIVE_PERIOD_MS).encode() + b"," + default_record(k + 1)
        for k in range(9, -1, -1)]
    for name, lines in files.items():
        with open(os.path.join(folder, name), "wb") as out:
            out.write(b"".join(lines))
    with open(os.path.join(folder, "archivo-campos.txt"), "w") as out:
        out.write(ARCHIVE_NAMES)


def write_strays(folder, outside):
    """What else a records folder may hold, which the page must pass over."""
    month = stamp(time.time() * 1000)[:7]
    strays = {
        "estufa.csv": b"VARNOD,SN 0417,FW 2.3,21.05,40.2%;7,25;1013,4\n",
        "estufa.csv-20261130": b"VARNOD,SN 0417,FW 2.3,21.10,40.4%;7,50;1013,8\n",
        "estufa.csv-20261031.gz": b"\x1f\x8b\x08\x00garbage",
        "COM3-mensajes.log": b"2026-12-09 10:00:00 Conectando al puerto COM3\n",
        "notas.txt": b"calibrado el lunes\n",
        "raro-%s.csv" % month: b"hola,mundo\nsin hora,ninguna\n",
    }
    for name, data in strays.items():
        with open(os.path.join(folder, name), "wb") as out:
            out.write(data)
    os.symlink(outside, os.path.join(folder, "secreto.csv"))


# The odd instruments of the fleet's store on placa-1: name, the last lines
# written after its 30 good records, and NAME-campos.txt.
RECORD = b"VARNOD,SN 0417,FW 2.3,21.05,40.2%;7,25;1013,4"
ODD = {
    "forma": ([b"STAMP," + RECORD.replace(b"21.05", b"21.05,9")], None),
    "codificación": ([b"STAMP," + RECORD + b"\xff"], None),
    "futuro": ([b"FUTURE," + RECORD], None),
    "límites": ([], "4 max=20\n"),
    "línea larga": ([b"x" * 1000000], None),
}
# What the summary (state, last values) or the card's notes show of each odd
# instrument, and of one silent one; the first four are listed first.
ODD_SHOWN = [("placa-2/sonda-07", "state", "EN SILENCIO"),
             ("placa-1/futuro", "state", "FECHA FUTURA"),
             ("placa-1/límites", "state", "FUERA DE LÍMITES"),
             ("placa-1/límites", "values", "(fuera de límites)"),
             ("placa-1/forma", "values", "registro de otra forma: 8 campos en vez de 7"),
             ("placa-1/codificación", "values", "registro que no es UTF-8"),
             ("placa-1/línea larga", "notes", "… (1.000.000 bytes)")]


def write_fleet(store, now_ms):
    """300 instruments at -s 10 on 3 boards, 30 records each ending a period
    ago; every 25th, from the 7th, silent for an hour; ODD on placa-1.
    Returns the keys that the summary must list first."""
    first = set()
    for board in ("placa-1", "placa-2", "placa-3"):
        folder = os.path.join(store, board)
        os.makedirs(folder)
        names = ["sonda-%02d" % i for i in range(100 - (len(ODD) if board == "placa-1" else 0))]
        for name in names + (list(ODD) if board == "placa-1" else []):
            end = now_ms - 10000 - (HOUR_MS if name[-2:] in ("07", "32", "57", "82") else 0)
            lines = [stamp(end - k * 10000).encode() + b"," + default_record(30 - k) + b""
                     for k in range(29, -1, -1)]
            extra, campos = ODD.get(name, ([], None))
            for line in extra:
                lines.append(line.replace(b"FUTURE", stamp(now_ms + DAY_MS).encode())
                             .replace(b"STAMP", stamp(end + 5000).encode()) + b"\n")
            if end < now_ms - HOUR_MS or campos or name == "futuro":
                first.add(board + "/" + name)
            with open(os.path.join(folder, "%s-%s.csv" % (name, stamp(end)[:7])), "wb") as out:
                out.write(b"".join(lines))
            if campos:
                with open(os.path.join(folder, name + "-campos.txt"), "w") as out:
                    out.write(campos)
        view_hosts.open_to_all(folder)
    return first


FLEET = {}  # what setUpModule makes: the store, its hosts, and a page left idle


def fleet_host(name):
    """A store of the fleet's written now, served by a central host of its own;
    the keys its summary must list first."""
    root = tempfile.mkdtemp(prefix="torvex-fleet-view-")
    unittest.addModuleCleanup(shutil.rmtree, root, ignore_errors=True)
    store = os.path.join(root, "store")
    first = write_fleet(store, time.time() * 1000)
    FLEET["keys"] = [board + "/" + os.path.basename(name).rsplit("-", 2)[0]
                     for board in os.listdir(store)
                     for name in glob.glob(os.path.join(store, board, "*.csv"))]
    FLEET[name] = view_hosts.central_nginx(os.path.join(root, name), store, PASSWORD)
    unittest.addModuleCleanup(FLEET[name].stop)
    FLEET[name].start()
    return first


def setUpModule():
    """The fleet's page opened now and left idle until the last case."""
    fleet_host("idle")
    idle = view_hosts.browser(time_zone=TIME_ZONE)
    unittest.addModuleCleanup(idle.quit)
    authorize(idle)
    idle.get(FLEET["idle"].url)
    if not wait_until(lambda: idle.execute_script(
            "return window.torvexView && torvexView.page.summaryAt !== null"), 30, 0.1):
        raise AssertionError("the idle page's summary within 30 s")
    FLEET["browser"] = idle
    FLEET["read"] = (time.monotonic(), len(FLEET["idle"].requests()))
    # The requests of the idle page's second minute, once every instrument is silent.
    timer = threading.Timer(60, lambda: FLEET.setdefault("minute", len(FLEET["idle"].requests())))
    timer.start()
    unittest.addModuleCleanup(timer.cancel)


def authorize(browser):
    """The central host's password on every request the page makes."""
    browser.execute_cdp_cmd("Network.enable", {"maxTotalBufferSize": 0,
                                                "maxResourceBufferSize": 0})
    browser.execute_cdp_cmd("Network.setExtraHTTPHeaders", {"headers": {
        "Authorization": basic(view_hosts.USER, PASSWORD)}})


class Service:
    """torvexsvc run NAME -s 1 into folder against a simulator of its own."""

    def __init__(self, folder, name, *sim_options):
        self.sim = Simulator(*sim_options, link=True)
        self.err = tempfile.TemporaryFile()
        self.process = subprocess.Popen(
            [TORVEXSVC, "run", name, "-p", self.sim.port, "-s", "1"],
            env=dict(os.environ, LOGS_DIRECTORY=folder), stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL, stderr=self.err)

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            self.process.wait(timeout=10)
        self.sim.close()
        self.err.close()


# Files planted by hand in a board's folder, each of which would set
# window.torvexPlanted (and the title) if a browser ran it.
_PLANT = "<script>window.torvexPlanted = 1; document.title = 'planted';</script>"
HOSTILE_FILES = {
    "evil.html": "<html><body>%s</body></html>" % _PLANT,
    "evil.svg": ('<svg xmlns="http://www.w3.org/2000/svg"><script>window.torvexPlanted = 1;'
                 "</script></svg>"),
    "x.csv.html": _PLANT,
    ".htaccess": _PLANT,
    "evil-2026-12.csv": "2026-12-09T13:45:06.337,%s\n" % _PLANT,
}


def make_store(cls, *boards):
    """A scratch folder for the class: its store with the boards' folders,
    and beside the store a file that must never be served."""
    cls.root = tempfile.mkdtemp(prefix="torvex-view-")
    cls.addClassCleanup(shutil.rmtree, cls.root, ignore_errors=True)
    cls.store = os.path.join(cls.root, "store")
    for board in boards:
        os.makedirs(os.path.join(cls.store, board))
    cls.secret = os.path.join(cls.root, "secret.txt")
    with open(cls.secret, "w") as out:
        out.write(SECRET + "\n")


class RecordsPage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        make_store(cls, "board-1", "board-2")
        cls.live = os.path.join(cls.store, "board-1")
        cls.archive = os.path.join(cls.store, "board-2")
        write_strays(cls.live, cls.secret)
        write_archive(cls.archive, time.time() * 1000)
        view_hosts.open_to_all(cls.archive)
        view_hosts.open_to_all(cls.live)

        cls.services = {}
        for name, options in (("estufa", ()), ("camara", ("--replug-after", "3", "--gap", "3000")),
                              ("horno", ())):
            cls.services[name] = Service(cls.live, name, *options)
            cls.addClassCleanup(cls.services[name].stop)
        cls.board = view_hosts.board_nginx(os.path.join(cls.root, "board"), cls.live)
        cls.addClassCleanup(cls.board.stop)
        cls.board.start()
        cls.central = view_hosts.central_nginx(os.path.join(cls.root, "central"), cls.store,
                                               PASSWORD)
        cls.addClassCleanup(cls.central.stop)
        cls.central.start()
        cls.browser = view_hosts.browser(height=1600, time_zone=TIME_ZONE)
        cls.addClassCleanup(cls.browser.quit)
        authorize(cls.browser)
        cls.downloads = os.path.join(cls.root, "downloads")
        os.makedirs(cls.downloads)
        cls.browser.execute_cdp_cmd("Browser.setDownloadBehavior", {
            "behavior": "allow", "downloadPath": cls.downloads})

    # ---- the page, through the browser

    def open(self, url, range_name="dia", keys=()):
        """Loads the page afresh in that range; waits for its summary, then
        brings each of keys' cards into view and waits for its charts."""
        self.browser.get("about:blank")
        self.browser.get(url + "#" + range_name)
        self.wait_for("the page's summary", lambda: self.browser.execute_script(
            "return window.torvexView && torvexView.page.summaryAt !== null"))
        for key in keys:
            # Brought back into view while the cards above it still grow.
            self.wait_for("the charts of %s" % key, lambda: self.browser.execute_script(
                "arguments[0].scrollIntoView()", self.card(key)) or (
                self.status(key)["complete"] and
                (self.status(key)["charted"] or not self.status(key)["positions"])))

    def card(self, key):
        """The instrument's card, once the page has made it."""
        find = "return document.querySelector('[data-key=\"' + CSS.escape(arguments[0]) + '\"]')"
        self.wait_for("the card of %s" % key, lambda: self.browser.execute_script(find, key))
        return self.browser.execute_script(find, key)

    def status(self, key=None):
        found = {s["key"]: s for s in self.browser.execute_script(
            "return window.torvexView ? torvexView.status() : []")}
        return found.get(key) if key else found

    def wait_for(self, what, condition, timeout=15):
        if not wait_until(condition, timeout, interval=0.1):
            logs = self.browser.get_log("browser")
            self.fail("no %s within %d s\n%s\n%s" % (what, timeout, logs,
                                                      self.central.errors()))

    def chart(self, key):
        """(labels, points, status) of the instrument's charts, a field each:
        the time, then each field's name; each field's [time, value] points;
        the page's status of the instrument at that moment."""
        return self.browser.execute_script("""
            const charts = torvexView.charts(arguments[0]);
            const points = charts.map(g => {
              const field = [];
              for (let i = 0; i < g.numRows(); i++) {
                field.push([g.getValue(i, 0), g.getValue(i, 1)]);
              }
              return field;
            });
            const status = torvexView.status().find(s => s.key === arguments[0]);
            return [["hora", ...charts.map(g => g.getLabels()[1])], points, status];""", key)

    def card_text(self, key, part):
        return self.browser.execute_script(
            "return arguments[0].querySelector('.' + arguments[1]).textContent",
            self.card(key), part)

    def summary(self):
        """{key: {state, values, age}} of the summary's rows shown, and their keys in order."""
        rows = self.browser.execute_script("return torvexView.summary()")
        keys = [(board + "/" if board else "") + name for board, name, _, _, _ in rows]
        return {k: dict(zip(("state", "values", "age"), row[2:])) for k, row in zip(keys, rows)}, keys

    def drawn_in_gap(self, key, before, after):
        """Pixels drawn in the plots' column halfway between two records, the
        charts zoomed to three times the gap, their grid and axis lines off."""
        return self.browser.execute_script("""
            const [key, before, after] = arguments;
            let drawn = 0;
            for (const g of torvexView.charts(key)) {
              g.updateOptions({drawGrid: false, axisLineColor: "transparent",
                               dateWindow: [2 * before - after, 2 * after - before]});
              const canvas = g.hidden_;
              const ratio = canvas.width / g.width_;
              const area = g.getArea();
              const x = Math.round(g.toDomXCoord((before + after) / 2) * ratio);
              const pixels = canvas.getContext("2d").getImageData(
                  x, Math.round(area.y * ratio), 1, Math.round(area.h * ratio)).data;
              for (let i = 3; i < pixels.length; i += 4) if (pixels[i] > 0) drawn++;
            }
            return drawn;""", key, before, after)

    def assertChartHoldsRecords(self, key, folder, name, labels):
        """Each field's points, past the gaps' nulls, are the records of the
        files from the range's start to its last point, time and value; past
        EXACT_UP_TO records, some of them, the lowest and highest among them."""
        got_labels, fields, status = self.chart(key)
        self.assertEqual(got_labels, labels)
        records = [(t, values) for t, values, _ in records_in(folder, name)
                   if status["from"] <= t <= status["last"]]
        self.assertEqual(status["records"], len(records))
        for i, field in enumerate(fields):
            points = [[t, value] for t, value in field if value is not None]
            expected = [[t, values[i]] for t, values in records]
            if len(records) <= EXACT_UP_TO:
                self.assertEqual(points, expected, (key, labels[i + 1]))
            else:
                self.assertLess(len(points), len(expected) / 4, (key, labels[i + 1]))
                known = set(map(tuple, expected))
                self.assertEqual([p for p in points if tuple(p) not in known], [])
                self.assertEqual((min(v for _, v in points), max(v for _, v in points)),
                                 (min(v for _, v in expected), max(v for _, v in expected)))
        return records

    # ---- cases

    def test_the_page_lists_the_instruments_in_local_time(self):
        # URL, key prefix, instruments: the strays are passed over, the dated
        # file with no stamped line is listed with no records.
        cases = [(self.board.url, "", ["camara", "estufa", "horno", "raro"]),
                 (self.central.url, "board-1/", ["camara", "estufa", "horno", "raro"]),
                 (self.central.url, "board-2/", [ACCENTED, "archivo"])]
        kolkata = zoneinfo.ZoneInfo(TIME_ZONE)
        for url, prefix, names in cases:
            with self.subTest(url=url, prefix=prefix):
                keys = [prefix + name for name in names]
                self.open(url, "hora", keys)
                self.assertEqual(sorted(k for k in self.status() if k.startswith(prefix)
                                        and "/" not in k[len(prefix):]), sorted(keys))
                self.assertEqual(self.browser.find_element("id", "error").text, "")
                if "raro" in names:
                    self.assertIsNone(self.status(prefix + "raro")["last"])
                    self.assertEqual(self.card_text(prefix + "raro", "status"), "sin registros")
                shown = self.browser.find_element("id", "zone").text
                self.assertEqual(shown, "UTC+05:30")
                # The time shown is a recent record's stamp in local time, not
                # hours away from it.
                shown = re.search(r"último registro (\S+ \S+),", self.card_text(keys[0], "status"))
                last = self.status(keys[0])["last"]
                folder = os.path.join(self.store, prefix.rstrip("/") or "board-1")
                stamps = [datetime.datetime.fromtimestamp(t / 1000, kolkata).strftime(
                    "%Y-%m-%d %H:%M:%S") for t, _, _ in records_in(folder, names[0])
                    if last - 10000 <= t <= last]
                self.assertIn(shown and shown[1], stamps)

    def test_chart_points_are_the_records_in_the_files(self):
        # Instrument, range; a day's view reads at most twice that day's bytes.
        cases = [("board-2/archivo", "dia"), ("board-2/archivo", "hora"),
                 ("board-2/archivo", "mes"), ("board-1/estufa", "hora")]
        for key, range_name in cases:
            with self.subTest(key=key, range=range_name):
                board, name = key.split("/")
                folder = os.path.join(self.store, board)
                logged = len(self.central.requests())
                self.open(self.central.url, range_name, [key])
                expected = self.assertChartHoldsRecords(
                    key, folder, name, ARCHIVE_LABELS if board == "board-2" else LIVE_LABELS)
                if range_name == "mes":
                    self.assertEqual(len(expected), len(records_in(folder, name)))
                if range_name == "dia":
                    fetched = sum(size for _, path, _, size, _ in self.central.requests()[logged:]
                                  if path.startswith("/records/%s/%s-" % (board, name)))
                    start = self.status(key)["from"]
                    day = sum(len(line) for t, _, line in records_in(folder, name) if t >= start)
                    self.assertLessEqual(fetched, 2 * day)

    def test_a_gap_where_polls_are_missing(self):
        # Instrument, range: the simulator unplugged for 3 s; an hour missing in the files.
        camara = self.services["camara"]
        self.assertTrue(wait_until(lambda: camara.sim.events("replugged"), 15), "no replug")
        cases = [("board-1/camara", "hora", 1000), ("board-2/archivo", "dia", ARCHIVE_PERIOD_MS)]
        for key, range_name, period in cases:
            with self.subTest(key=key):
                board, name = key.split("/")
                folder = os.path.join(self.store, board)
                self.assertTrue(wait_until(lambda: any(
                    b[0] - a[0] > 1.5 * period for a, b in zip(records_in(folder, name),
                                                              records_in(folder, name)[1:])), 15))
                self.open(self.central.url, range_name, [key])
                records = records_in(folder, name)
                before, after = [(a[0], b[0]) for a, b in zip(records, records[1:])
                                 if b[0] - a[0] > 1.5 * period][0]
                _, fields, _ = self.chart(key)
                for field in fields:
                    self.assertEqual([value for t, value in field if before < t < after], [None])
                self.assertEqual(self.drawn_in_gap(key, before, after), 0)

    def test_a_zoom_is_every_charts_and_a_double_click_undoes_it_in_all(self):
        key = "board-2/archivo"
        self.open(self.central.url, "dia", [key])
        ranges = """return torvexView.charts(arguments[0]).map(g => g.xAxisRange()
                      .map(Math.round))"""
        shown = self.browser.execute_script(ranges, key)
        middle = (shown[0][0] + shown[0][1]) // 2
        self.browser.execute_script(  # what a drag across the first chart does
            "torvexView.charts(arguments[0])[0].doZoomXDates_(arguments[1], arguments[2])",
            key, middle - HOUR_MS, middle)
        self.assertEqual(self.browser.execute_script(ranges, key), [[middle - HOUR_MS, middle]] * 4)
        self.browser.execute_script("""
            const canvas = torvexView.charts(arguments[0])[2].canvas_;
            canvas.dispatchEvent(new MouseEvent("dblclick", {bubbles: true}));""", key)
        self.assertEqual(self.browser.execute_script(ranges, key), [shown[0]] * 4)

    def test_a_new_record_within_one_period_and_2_s(self):
        key = "estufa"
        self.open(self.board.url, "hora", [key])
        count = len(records_in(self.live, "estufa"))
        self.assertTrue(wait_until(lambda: len(records_in(self.live, "estufa")) > count, 5))
        newest = records_in(self.live, "estufa")[count][0]
        self.wait_for("the new record on the chart",
                      lambda: self.chart(key)[1][0][-1][0] >= newest, timeout=10)
        self.assertLessEqual(time.time() * 1000, newest + 1000 + 2000)
        self.assertChartHoldsRecords(key, self.live, "estufa", LIVE_LABELS)

    def test_an_instrument_stopped_for_three_periods_is_marked_silent(self):
        self.open(self.board.url, "hora", ["horno"])
        horno = self.services["horno"]
        self.assertTrue(wait_until(lambda: len(records_in(self.live, "horno")) >= 3, 10))
        horno.stop()
        last = records_in(self.live, "horno")[-1][0]
        self.assertFalse(self.status("horno")["silent"])
        self.wait_for("horno marked silent",
                      lambda: "EN SILENCIO" in self.card_text("horno", "status"))
        marked = time.time() * 1000
        self.assertTrue(self.status("horno")["silent"], (self.status("horno"), last, marked,
                                                         self.card_text("horno", "status")))
        # Three periods of 1 s, then at most one tick of the page's clock and a read.
        self.assertGreaterEqual(marked, last + 3 * 1000)
        self.assertLessEqual(marked, last + 3 * 1000 + 2000)
        self.assertFalse(self.status("estufa")["silent"])
        # Listed before those that log.
        order = self.summary()[1]
        self.assertLess(order.index("horno"), order.index("estufa"))

    def test_the_page_reads_names_lines_and_fields_as_the_writer(self):
        cases = []
        for path in EXAMPLES:
            with open(path, encoding="utf-8") as examples:
                for line in examples.read().splitlines():
                    if line and not line.startswith("#"):
                        what, first, second = line.split("\t", 2)
                        given, expected = (first, second) if what in ("fields", "campos") \
                            else (second, first)
                        cases.append((what, list(unescaped(given)), expected))
        self.open(self.board.url, "hora")
        got = self.browser.execute_script("""
            const R = torvexView.records;
            return arguments[0].map(([what, bytes]) => {
              const raw = new Uint8Array(bytes);
              const text = new TextDecoder().decode(raw);
              if (what === "name") return (R.fileKind(text) || {kind: "no"}).kind;
              if (what === "line") return R.isRecordLine(raw) ? "si" : "no";
              if (what === "fields") {
                return R.fieldValues(text.replace(/\\r$/, "")).map((v, i) => [i + 1, v])
                  .filter(([, v]) => v !== null);
              }
              const campo = R.campoLine(raw);
              return campo ? [campo.kind, campo.position, campo.value] : "no";
            });""", [case[:2] for case in cases])
        self.assertGreater(len(cases), 80)
        for (what, given, expected), answer in zip(cases, got):
            with self.subTest(what=what, given=bytes(given)):
                self.assertEqual(meaning(what, answer), meaning(what, expected))

    def test_a_download_is_the_files_lines_for_its_range(self):
        # The hour's records of archivo are in two files, every 7th in the
        # service's: merged in time order.
        key = "board-2/archivo"
        self.open(self.central.url, "hora", [key])
        self.browser.execute_script("arguments[0].querySelector('.download').click()",
                                    self.card(key))
        self.wait_for("the download", lambda: self.browser.execute_script(
            "return torvexView.page.downloads.length") and glob.glob(self.downloads + "/*.csv"))
        got = self.browser.execute_script("return torvexView.page.downloads.at(-1)")
        path = os.path.join(self.downloads, got["name"])
        self.assertTrue(wait_until(lambda: os.path.exists(path), 10), got)
        self.assertTrue(got["name"].startswith("board-2_archivo_"), got)
        expected = [line for t, _, line in records_in(self.archive, "archivo")
                    if got["from"] <= t < got["to"]]
        self.assertGreater(len(expected), 50)
        with open(path, "rb") as saved:
            self.assertEqual(saved.read(), b"".join(expected))

    def test_a_fleet_of_300_instruments_at_a_glance(self):
        first = fleet_host("central")
        self.open(FLEET["central"].url, "hora")
        rows, order = self.summary()
        self.assertEqual(len(rows), 300)
        self.assertEqual(set(order[:len(first)]), first)
        self.assertTrue(all(rows[k]["state"] == "al día" for k in order[len(first):]
                            if "/sonda-" in k))
        for key, part, text in ODD_SHOWN:
            with self.subTest(key=key, part=part):
                shown = self.card_text(key, part) if part == "notes" else rows[key][part]
                self.assertIn(text, shown)
        # A record stamped a day ahead is not the last one; a line of a
        # megabyte is cut, and its card stays short.
        future = self.status("placa-1/futuro")
        self.assertLess(future["last"], time.time() * 1000)
        self.assertGreater(future["future"], time.time() * 1000 + 3600000)
        self.open(FLEET["central"].url, "hora", ["placa-1/línea larga"])
        self.assertLess(self.card(("placa-1/línea larga")).rect["height"], 1200)
        # Filtered by board or name; a click on a name goes to its charts.
        search = self.browser.find_element("id", "filter")
        search.send_keys("PLACA-2")
        self.assertEqual(sorted(self.summary()[1]), sorted(k for k in FLEET["keys"]
                                                            if k.startswith("placa-2/")))
        search.clear()
        search.send_keys("sonda-42")
        rows, order = self.summary()
        self.assertEqual(sorted(order), ["placa-%d/sonda-42" % b for b in (1, 2, 3)])
        self.browser.find_element("link text", "sonda-42").click()
        self.wait_for("the charts of placa-1/sonda-42",
                      lambda: self.status("placa-1/sonda-42")["complete"])
        self.assertLess(abs(self.card("placa-1/sonda-42").rect["y"] -
                            self.browser.execute_script("return window.scrollY")), 200)

    def test_no_horizontal_scroll_and_charts_as_wide_as_their_box(self):
        # Viewport width, device pixels; the phone's picture is saved.
        for width, scale in ((1280, 1), (390, 3)):
            with self.subTest(width=width):
                self.browser.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", {
                    "width": width, "height": 844, "deviceScaleFactor": scale,
                    "mobile": width < 600})
                try:
                    self.open(self.central.url, "dia", ["board-2/archivo"])
                    self.assertLessEqual(self.browser.execute_script(
                        "return document.documentElement.scrollWidth"), width)
                    # Each chart's box, its canvas, and where the box ends.
                    widths = self.browser.execute_script(
                        "return [...arguments[0].querySelectorAll('.chart')].map(c => ["
                        "c.clientWidth, c.querySelector('canvas').clientWidth,"
                        "c.getBoundingClientRect().right])", self.card("board-2/archivo"))
                    self.assertEqual(len(widths), 4)
                    for box, canvas, right in widths:
                        self.assertLessEqual(abs(box - canvas), 1, widths)
                        self.assertLessEqual(right, width, widths)
                    if width < 600:
                        self.assertPinchZoomsEveryChart("board-2/archivo")
                    if width < 600 and SCREENSHOT:
                        # The summary and the first cards, on a taller phone.
                        self.browser.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", {
                            "width": width, "height": 1800, "deviceScaleFactor": 2,
                            "mobile": True})
                        self.browser.execute_script("window.scrollTo(0, 0)")
                        self.wait_for("the charts in view", lambda: all(
                            s["charted"] or not s["positions"] for s in self.status().values()
                            if self.browser.execute_script(
                                "return arguments[0].getBoundingClientRect().top < 1800",
                                self.card(s["key"]))))
                        self.assertTrue(self.browser.save_screenshot(
                            SCREENSHOT.replace(".png", "-phone.png")))
                finally:
                    self.browser.execute_cdp_cmd("Emulation.clearDeviceMetricsOverride", {})

    def assertPinchZoomsEveryChart(self, key):
        """Two fingers spread across a chart: every chart shows the same, shorter range."""
        ranges = "return torvexView.charts(arguments[0]).map(g => g.xAxisRange().map(Math.round))"
        before = self.browser.execute_script(ranges, key)
        x, y, w, h = self.browser.execute_script("""const box = torvexView.charts(arguments[0])[1]
            .canvas_.getBoundingClientRect(); return [box.x, box.y, box.width, box.height]""", key)
        self.browser.execute_cdp_cmd("Emulation.setTouchEmulationEnabled", {"enabled": True})
        for kind, spread in [("touchStart", 0.1)] + [("touchMove", 0.1 + 0.06 * k)
                                                     for k in range(1, 6)] + [("touchEnd", None)]:
            points = [] if spread is None else [{"x": x + w * (0.5 + side * spread), "id": i,
                                                 "y": y + h / 2} for i, side in enumerate((-1, 1))]
            self.browser.execute_cdp_cmd("Input.dispatchTouchEvent",
                                         {"type": kind, "touchPoints": points})
        after = self.browser.execute_script(ranges, key)
        self.assertEqual(after, [after[0]] * 4)
        self.assertLess(after[0][1] - after[0][0], (before[0][1] - before[0][0]) / 2)

    def test_z_idle_for_two_minutes(self):
        # The page opened at the start, left alone with no new records: once
        # its summary was read, only folder listings, no error, none logged.
        began, count = FLEET["read"]
        time.sleep(max(0, began + 121 - time.monotonic()))
        requests = FLEET["idle"].requests()
        self.assertEqual([r for r in requests if r[2] >= 400], [])
        self.assertEqual([r for r in requests[count:] if not r[1].endswith("/")], [])
        # Every instrument silent in the second minute: a board's folder is
        # listed once a minute (twice where its pace changed meanwhile).
        listed = collections.Counter(path for _, path, _, _, _ in requests[FLEET["minute"]:])
        self.assertLessEqual(max(listed.values(), default=0), 2, listed)
        self.assertEqual([e for e in FLEET["browser"].get_log("browser")
                          if e["level"] in ("SEVERE", "WARNING")], [])

    def test_z_screenshot(self):
        # Last: every instrument as the cases left it, the whole page in a day's view.
        self.assertTrue(SCREENSHOT, "TORVEX_VIEW_SCREENSHOT is not set")
        self.open(self.central.url, "dia", ["board-1/estufa", "board-2/archivo"])
        height = self.browser.execute_script("return document.documentElement.scrollHeight")
        self.browser.set_window_size(1280, height + 200)
        self.wait_for("every chart drawn", lambda: all(
            s["charted"] or not s["positions"] for s in self.status().values()))
        self.assertTrue(self.browser.save_screenshot(SCREENSHOT))


def unescaped(text):
    """The bytes of an example's text: \\xHH a byte, \\\\ a backslash."""
    out = bytearray()
    i = 0
    while i < len(text):
        if text.startswith("\\\\", i):
            out += b"\\"
            i += 2
        elif text.startswith("\\x", i):
            out.append(int(text[i + 2:i + 4], 16))
            i += 4
        else:
            out += text[i].encode()
            i += 1
    return bytes(out)


def meaning(what, answer):
    """An example's expectation or the page's answer in one form: numbers as
    numbers, whatever their notation."""
    if what == "fields" and isinstance(answer, str):
        answer = [pair.split("=") for pair in answer.split()]
    if what == "fields":
        return [(int(p), float(v)) for p, v in answer]
    if what == "campos" and answer != "no":
        kind, position, value = answer.split(" ", 2) if isinstance(answer, str) else answer
        return (kind, int(position), value if kind == "name" else float(value))
    return answer


def basic(user, password):
    return "Basic " + base64.b64encode(("%s:%s" % (user, password)).encode()).decode()


class Examples(unittest.TestCase):
    """What nginx answers with the example files, request by request."""

    @classmethod
    def setUpClass(cls):
        make_store(cls, "board-1")
        board = os.path.join(cls.store, "board-1")
        os.symlink(cls.secret, os.path.join(board, "secreto.csv"))
        cls.records = os.path.join(board, "estufa-2026-12.csv")
        with open(cls.records, "wb") as out:
            out.write(b"2026-12-09T13:45:06.337," + default_record(1))
        # Planted by hand: markup that would run on the page's origin if served as such.
        for name, text in HOSTILE_FILES.items():
            with open(os.path.join(board, name), "w") as out:
                out.write(text)
        view_hosts.open_to_all(board)
        cls.hosts = {
            "board": view_hosts.board_nginx(os.path.join(cls.root, "board"), board),
            "central": view_hosts.central_nginx(os.path.join(cls.root, "central"), cls.store,
                                                PASSWORD)}
        for host in cls.hosts.values():
            cls.addClassCleanup(host.stop)
            host.start()
        cls.records_path = {"board": "/records/estufa-2026-12.csv",
                            "central": "/records/board-1/estufa-2026-12.csv"}

    def request(self, host, method, path, authorization=None, headers=None):
        nginx = self.hosts[host]
        if host == "central":
            context = ssl.create_default_context(cafile=nginx.certificate)
            context.check_hostname = False
            connection = http.client.HTTPSConnection("127.0.0.1", nginx.port, context=context,
                                                     timeout=10)
        else:
            connection = http.client.HTTPConnection("127.0.0.1", nginx.port, timeout=10)
        headers = dict(headers or {})
        if authorization:
            headers["Authorization"] = authorization
        # The path goes out exactly as written: http.client neither resolves nor encodes it.
        connection.request(method, path, body=b"x" if method in ("PUT", "POST") else None,
                           headers=headers)
        response = connection.getresponse()
        body = response.read()
        connection.close()
        return response.status, response.headers, body

    def test_answers(self):
        good = basic(view_hosts.USER, PASSWORD)
        records = "RECORDS"
        cases = [
            # host, method, path, authorization, expected status
            ("central", "GET", "/", None, 401),
            ("central", "GET", records, None, 401),
            ("central", "GET", "/records/", None, 401),
            ("central", "GET", "/", basic(view_hosts.USER, "sonda-7-roja"), 401),
            ("central", "GET", records, basic("otro", PASSWORD), 401),
            ("central", "GET", "/", good, 200),
            ("central", "GET", "/dygraphs/dygraph.min.js", good, 200),
            ("central", "GET", "/records/", good, 200),
            ("central", "GET", records, good, 200),
            ("central", "HEAD", records, good, 200),
            ("board", "GET", "/", None, 200),
            ("board", "GET", records, None, 200),
        ]
        for host in ("board", "central"):
            for method in ("PUT", "DELETE", "POST", "PATCH", "OPTIONS"):
                cases.append((host, method, records, good, 405))
                cases.append((host, method, "/records/nuevo-2026-12.csv", good, 405))
        for host in ("board", "central"):
            folder = "/records/" if host == "board" else "/records/board-1/"
            cases += [(host, "GET", folder, good, 200), (host, "GET", "/nada", good, 404)]
            cases += [(host, "GET", folder + name, good, 200 if name.endswith(".csv") else 404)
                      for name in HOSTILE_FILES]
        for host, method, path, authorization, status in cases:
            with self.subTest(host=host, method=method, path=path, authorization=authorization):
                path = self.records_path[host] if path == records else path
                got, headers, _ = self.request(host, method, path, authorization)
                self.assertEqual(got, status)
                # Every answer: the page's own scripts alone, in no frame.
                policy = headers.get("Content-Security-Policy", "")
                for rule in ("script-src 'self';", "object-src 'none'", "frame-ancestors 'none'"):
                    self.assertIn(rule, policy)
                self.assertEqual((headers.get("X-Content-Type-Options"), headers.get("Referrer-Policy")),
                                 ("nosniff", "no-referrer"))
                if status == 200 and (path.endswith(".csv") or path == records):
                    self.assertEqual(headers.get("Content-Type"), "text/plain; charset=utf-8")
        with open(self.records, "rb") as text:
            self.assertEqual(text.read(), b"2026-12-09T13:45:06.337," + default_record(1))
        self.assertFalse(os.path.exists(os.path.join(self.store, "board-1", "nuevo-2026-12.csv")))

    def test_a_part_of_a_records_file(self):
        good = basic(view_hosts.USER, PASSWORD)
        for host in ("board", "central"):
            with self.subTest(host=host):
                status, _, body = self.request(host, "GET", self.records_path[host], good,
                                               {"Range": "bytes=-10"})
                self.assertEqual((status, body), (206, default_record(1)[-10:]))

    def test_nothing_outside_the_folder(self):
        good = basic(view_hosts.USER, PASSWORD)
        paths = ["/records/../secret.txt", "/records/board-1/../../secret.txt",
                 "/records/%2e%2e/secret.txt", "/records/board-1/%2e%2e%2f%2e%2e%2fsecret.txt",
                 "/records/..%2fsecret.txt", "/records/%2E%2E%2Fsecret.txt",
                 "/records../secret.txt", "/records..%2fsecret.txt", "/../secret.txt",
                 "/%2e%2e/secret.txt", "/dygraphs../secret.txt",
                 "/dygraphs/../../../../../etc/passwd", "/records/board-1/secreto.csv",
                 "/records/secreto.csv", "/records/../board/nginx.conf",
                 "/records/..%2fcentral/keys/htpasswd", "/records/../central/keys/view.key"]
        for host in ("board", "central"):
            for path in paths:
                with self.subTest(host=host, path=path):
                    status, _, body = self.request(host, "GET", path, good)
                    self.assertIn(status, (400, 403, 404))
                    for leak in (SECRET.encode(), b"root:", b"PRIVATE KEY", b"$6$", b"server {"):
                        self.assertNotIn(leak, body)


    def test_no_script_of_the_store_runs(self):
        """Opened as a technician would from a link: nothing planted runs."""
        driver = view_hosts.browser()
        self.addCleanup(driver.quit)
        nginx = self.hosts["board"]
        for name in HOSTILE_FILES:
            with self.subTest(name=name):
                driver.get(nginx.url + "records/" + name)
                time.sleep(0.3)
                self.assertIsNone(driver.execute_script("return window.torvexPlanted || null"))
                self.assertNotIn("planted", driver.title)
        driver.get(nginx.url + "records/evil-2026-12.csv")
        self.assertIn("<script>", driver.find_element("tag name", "body").text)


if __name__ == "__main__":
    reason = view_hosts.missing()
    if reason:
        print("skipped: " + reason)
        sys.exit(77)
    result = unittest.main(verbosity=2, exit=False).result
    sys.exit(0 if result.wasSuccessful() else 1)
