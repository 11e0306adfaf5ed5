"""The records page at work: the package's page served by nginx from its two
example files, a board's and the fleet's central host's, read by headless
Chromium, while torvexsvc logs the simulator through the unattended run.

One central store with two boards: board-1 is the live records folder of
three instruments at -s 1 (estufa logs throughout, camara is unplugged for
a few polls, horno is stopped), beside files the page must pass over
(version 1.0's NAME.csv and its rotated copies, a message log, a dated file
with no stamped line, a link leading out of the folder); board-2 holds ten
days of an instrument at -s 60 with an hour missing, in monthly files, and
names for two of its fields. The board's example serves board-1, the central
host's the whole store over TLS with a password. Chromium runs in the time
zone Asia/Kolkata (UTC+05:30), so that UTC shown as local time is seen.

Environment: TORVEXSVC (the service program), TORVEX_SIM (the simulator),
TORVEX_VIEW_SCREENSHOT (where the page's picture is saved). Run with Debian's
/usr/bin/python3 (selenium); reports itself skipped (status 77) where nginx,
libjs-dygraphs, chromium-driver or python3-selenium are missing."""

import base64
import datetime
import http.client
import os
import re
import shutil
import signal
import ssl
import subprocess
import sys
import tempfile
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
ARCHIVE_NAMES = "4 = Temperatura\n# the humidity\n5=Humedad\n"
LIVE_LABELS = ["hora", "campo 4", "campo 5", "campo 6", "campo 7"]
ARCHIVE_LABELS = ["hora", "Temperatura", "Humedad", "campo 6", "campo 7"]
EXACT_UP_TO = 5000  # records a chart draws each as a point (view.js)


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
        if file.startswith(name + "-") and file.endswith(".csv") and file[len(name) + 1].isdigit():
            with open(os.path.join(folder, file), "rb") as text:
                for line in text.read().splitlines(keepends=True):
                    record = line.rstrip(b"\n")
                    found.append((stamp_ms(record[:23].decode()), VALUES_OF_RECORD[record[24:]],
                                  line))
    return sorted(found, key=lambda r: r[0])


def write_archive(folder, now_ms):
    """ARCHIVE_DAYS of archivo at ARCHIVE_PERIOD_MS, an hour from 5 h ago missing,
    filed by UTC month as the service files them."""
    end = now_ms - now_ms % ARCHIVE_PERIOD_MS - ARCHIVE_PERIOD_MS
    t = end - ARCHIVE_DAYS * DAY_MS
    n = 0
    files = {}
    while t <= end:
        n += 1
        if not end - 5 * HOUR_MS <= t < end - 4 * HOUR_MS:
            name = "archivo-%s.csv" % stamp(t)[:7]
            files.setdefault(name, []).append(stamp(t).encode() + b"," + default_record(n))
        t += ARCHIVE_PERIOD_MS
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
        # The central host's password on every request the page makes.
        cls.browser.execute_cdp_cmd("Network.enable", {})
        cls.browser.execute_cdp_cmd("Network.setExtraHTTPHeaders", {"headers": {
            "Authorization": basic(view_hosts.USER, PASSWORD)}})

    # ---- the page, through the browser

    def open(self, url, range_name="dia", keys=()):
        """Loads the page afresh in that range; waits for keys to be read."""
        self.browser.get("about:blank")
        self.browser.get(url + "#" + range_name)
        self.wait_for("the page's instruments %s read" % (keys,), lambda: all(
            self.status(key) and self.status(key)["complete"] for key in keys))

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
            "return document.querySelector('[data-key=\"' + arguments[0] + '\"] .' + "
            "arguments[1]).textContent", key, part)

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
                 (self.central.url, "board-2/", ["archivo"])]
        kolkata = zoneinfo.ZoneInfo(TIME_ZONE)
        for url, prefix, names in cases:
            with self.subTest(url=url, prefix=prefix):
                keys = [prefix + name for name in names]
                self.open(url, "hora", keys)
                self.assertEqual(sorted(k for k in self.status() if k.startswith(prefix)
                                        and "/" not in k[len(prefix):]), keys)
                self.assertEqual(self.browser.find_element("id", "error").text, "")
                if "raro" in names:
                    self.assertIsNone(self.status(prefix + "raro")["last"])
                    self.assertEqual(self.card_text(prefix + "raro", "status"), "sin registros")
                shown = self.browser.find_element("id", "zone").text
                self.assertEqual(shown, "UTC+05:30")
                # The time shown is a recent record's stamp in local time, not
                # hours away from it.
                shown = re.search(r"ultimo registro (\S+ \S+),", self.card_text(keys[0], "status"))
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

    def test_a_new_record_within_one_period_and_2_s(self):
        key = "board-1/estufa"
        self.open(self.central.url, "hora", [key])
        count = len(records_in(self.live, "estufa"))
        self.assertTrue(wait_until(lambda: len(records_in(self.live, "estufa")) > count, 5))
        newest = records_in(self.live, "estufa")[count][0]
        self.wait_for("the new record on the chart",
                      lambda: self.chart(key)[1][0][-1][0] >= newest, timeout=10)
        self.assertLessEqual(time.time() * 1000, newest + 1000 + 2000)
        self.assertChartHoldsRecords(key, self.live, "estufa", LIVE_LABELS)

    def test_an_instrument_stopped_for_three_periods_is_marked_silent(self):
        self.open(self.central.url, "hora", ["board-1/horno"])
        horno = self.services["horno"]
        self.assertTrue(wait_until(lambda: len(records_in(self.live, "horno")) >= 3, 10))
        horno.stop()
        last = records_in(self.live, "horno")[-1][0]
        self.assertFalse(self.status("board-1/horno")["silent"])
        self.wait_for("horno marked silent",
                      lambda: "EN SILENCIO" in self.card_text("board-1/horno", "status"))
        marked = time.time() * 1000
        self.assertTrue(self.status("board-1/horno")["silent"])
        # Three periods of 1 s, then at most one tick of the page's clock and a read.
        self.assertGreaterEqual(marked, last + 3 * 1000)
        self.assertLessEqual(marked, last + 3 * 1000 + 2000)
        for key in ("board-1/estufa", "board-2/archivo"):
            self.assertFalse(self.status(key)["silent"], key)

    def test_z_screenshot(self):
        # Last: every instrument as the cases left it, the whole page in a day's view.
        self.assertTrue(SCREENSHOT, "TORVEX_VIEW_SCREENSHOT is not set")
        self.open(self.central.url, "dia", ["board-1/estufa", "board-2/archivo"])
        height = self.browser.execute_script("return document.documentElement.scrollHeight")
        self.browser.set_window_size(1280, height + 200)
        self.assertTrue(self.browser.save_screenshot(SCREENSHOT))


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
