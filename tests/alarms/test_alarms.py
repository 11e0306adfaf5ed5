"""The shipped alarms end to end: Debian's node exporter, Prometheus and
Alertmanager on loopback ports of their own, with the package's rules and
Alertmanager example (only addresses, waits and the 5 minutes of a limit
shortened), an SMTP sink and a webhook sink; the simulator logged by the
unattended run at -s 2. Run with Debian's /usr/bin/python3 (aiosmtpd);
reported skipped where the packages are missing."""
import email
import email.policy
import http.server
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [os.path.join(HERE, "..", "e2e"), os.path.join(HERE, "..", "package")]
from fleet_hosts import free_port  # noqa: E402
from harness import WORKED_REPLY, Simulator, main  # noqa: E402

PACKAGING = os.path.join(HERE, "..", "..", "packaging", "alarms")
TORVEXSVC = os.environ.get("TORVEXSVC", "build/native/torvexsvc")
TORVEX_METRICS = os.environ.get("TORVEX_METRICS", "build/native/torvex-metrics")
PROGRAMS = ("prometheus", "prometheus-alertmanager", "prometheus-node-exporter")
PERIOD = 2
# Fields 3 (21.5), 4 (40) and 5 (7.25) of the worked reply: 3 above its
# limit, 5 inside both of its own.
FIELDS = "3=Temperatura\n3 max=20\n5 min=5\n5 max=10\n"

try:
    from aiosmtpd.controller import Controller
except ImportError:
    Controller = None


def missing():
    """Why the test cannot run here, or None."""
    absent = [name for name in PROGRAMS if shutil.which(name) is None]
    absent += ["python3-aiosmtpd"] if Controller is None else []
    return "missing " + ", ".join(absent) if absent else None


class Sinks:
    """What Alertmanager sends: mails as messages, webhook posts as JSON."""

    def __init__(self, free_port):
        self.mails, self.posts = [], []
        sinks = self

        class Mail:
            async def handle_DATA(self, server, session, envelope):
                sinks.mails.append(email.message_from_bytes(envelope.content,
                                                            policy=email.policy.default))
                return "250 OK"

        class Hook(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                sinks.posts.append(json.loads(self.rfile.read(int(self.headers["Content-Length"]))))
                self.send_response(200)
                self.end_headers()

            def log_message(self, *args):
                pass

        self.smtp_port, self.hook_port = free_port(), free_port()
        self.smtp = Controller(Mail(), hostname="127.0.0.1", port=self.smtp_port)
        self.smtp.start()
        self.hook = http.server.ThreadingHTTPServer(("127.0.0.1", self.hook_port), Hook)
        threading.Thread(target=self.hook.serve_forever, daemon=True).start()

    def alerts(self, status, alertname, **labels):
        return [alert for post in list(self.posts) for alert in post["alerts"]
                if alert["status"] == status and alert["labels"]["alertname"] == alertname
                and all(alert["labels"].get(k) == v for k, v in labels.items())]

    def mail(self, status, text):
        """Whether a mail of that status ([ALARMA] or [RESUELTA]) says `text`."""
        mark = "[ALARMA]" if status == "firing" else "[RESUELTA]"
        return any(m["Subject"].startswith(mark) and text in m.get_body(("plain",)).get_content()
                   for m in list(self.mails))


def wait_until(check, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if check():
            return True
        time.sleep(0.25)
    return False


class Alarms(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.reason = missing()
        if cls.reason:
            return
        cls.scratch = tempfile.mkdtemp(prefix="torvex-alarms-")
        cls.processes = []
        cls.textfiles = cls.folder("textfile")
        cls.sinks = Sinks(free_port)
        node, alerts, prometheus = free_port(), free_port(), free_port()
        cls.start("node", "prometheus-node-exporter", "--web.listen-address=127.0.0.1:%d" % node,
                  "--collector.disable-defaults", "--collector.textfile",
                  "--collector.textfile.directory=" + cls.textfiles)
        cls.start("alertmanager", "prometheus-alertmanager",
                  "--config.file=" + cls.alertmanager_config(), "--cluster.listen-address=",
                  "--storage.path=" + cls.folder("alertmanager"),
                  "--web.listen-address=127.0.0.1:%d" % alerts)
        cls.start("prometheus", "prometheus", "--config.file=" + cls.prometheus_config(node, alerts),
                  "--storage.tsdb.path=" + cls.folder("prometheus"),
                  "--web.listen-address=127.0.0.1:%d" % prometheus, "--rules.alert.resend-delay=1s")

    @classmethod
    def tearDownClass(cls):
        if cls.reason:
            return
        for process in reversed(cls.processes):
            process.terminate()
            process.wait(timeout=20)
        cls.sinks.smtp.stop()
        cls.sinks.hook.shutdown()
        shutil.rmtree(cls.scratch, ignore_errors=True)

    @classmethod
    def folder(cls, name):
        path = os.path.join(cls.scratch, name)
        os.makedirs(path, exist_ok=True)
        return path

    @classmethod
    def start(cls, name, *command, env=None):
        log = open(os.path.join(cls.scratch, name + ".log"), "wb")
        process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                                   env=env, start_new_session=True)
        log.close()
        cls.processes.append(process)
        return process

    @classmethod
    def write(cls, name, text):
        path = os.path.join(cls.scratch, name)
        with open(path, "w") as out:
            out.write(text)
        return path

    @classmethod
    def shipped(cls, name):
        with open(os.path.join(PACKAGING, name)) as shipped:
            return shipped.read()

    @classmethod
    def prometheus_config(cls, node, alerts):
        """One scrape and one evaluation a second, the shipped rules with a
        limit's 5 minutes made 3 s."""
        rules = cls.write("torvex-alerts.yml", cls.shipped("torvex-alerts.yml").replace("for: 5m", "for: 3s"))
        return cls.write("prometheus.yml", (
            "global: {scrape_interval: 1s, evaluation_interval: 1s}\nrule_files: [%s]\n"
            "alerting: {alertmanagers: [{static_configs: [{targets: ['127.0.0.1:%d']}]}]}\n"
            "scrape_configs: [{job_name: node, static_configs: [{targets: ['127.0.0.1:%d']}]}]\n")
            % (rules, alerts, node))

    @classmethod
    def alertmanager_config(cls):
        """The shipped example to the sinks: plain SMTP, no wait."""
        text = cls.shipped("alertmanager.yml")
        for old, new in ((r'smtp_smarthost: ".*"', 'smtp_smarthost: "127.0.0.1:%d"' % cls.sinks.smtp_port),
                         (r"smtp_require_tls: true", "smtp_require_tls: false"),
                         (r"\n *smtp_auth_\w+: .*", ""),
                         (r"group_wait: \w+", "group_wait: 0s"),
                         (r"group_interval: \w+", "group_interval: 1s"),
                         (r'url: ".*"', 'url: "http://127.0.0.1:%d/torvex"' % cls.sinks.hook_port)):
            text, count = re.subn(old, new, text)
            assert count, old
        return cls.write("alertmanager.yml", text)

    def setUp(self):
        if self.reason:
            self.skipTest(self.reason)

    def test_a_silent_instrument_and_a_reading_past_its_limit_reach_mail_and_webhook(self):
        records = self.folder("records")
        self.write("records/nevera-campos.txt", FIELDS)
        sim = Simulator("--script", self.write("reply.bin", WORKED_REPLY.decode()))
        self.addCleanup(sim.close)
        logger = self.start("logger", TORVEXSVC, "run", "nevera", "-p", sim.port, "-s", str(PERIOD),
                            env=dict(os.environ, LOGS_DIRECTORY=records,
                                     TORVEX_METRICS_DIRECTORY=self.textfiles))

        # Field 3 past its high limit: alarmed, named; field 5, inside its limits, never.
        self.assertTrue(wait_until(lambda: self.sinks.alerts(
            "firing", "TorvexReadingAboveLimit", instrument="nevera", field="3", name="Temperatura"),
            60), self.sinks.posts)
        self.assertTrue(wait_until(lambda: self.sinks.mail(
            "firing", "Instrumento nevera, campo 3 (Temperatura): lee 21.5, por encima"), 10),
            self.sinks.mails)

        # The instrument stops answering: the silent alarm within three
        # periods and a minute, by mail and webhook; its return resolves it.
        sim.process.send_signal(signal.SIGSTOP)
        stopped = time.monotonic()
        self.assertTrue(wait_until(lambda: self.sinks.alerts(
            "firing", "TorvexInstrumentSilent", instrument="nevera"), 3 * PERIOD + 60), self.sinks.posts)
        print("figure: silent alarm at the webhook %.1f s after the instrument stopped (period %d s)"
              % (time.monotonic() - stopped, PERIOD))
        self.assertTrue(wait_until(lambda: self.sinks.mail(
            "firing", "El instrumento nevera no ha dado ningún registro"), 10), self.sinks.mails)
        sim.process.send_signal(signal.SIGCONT)
        self.assertTrue(wait_until(lambda: self.sinks.alerts("resolved", "TorvexInstrumentSilent",
                                                              instrument="nevera"), 30), self.sinks.posts)
        self.assertTrue(wait_until(lambda: self.sinks.mail("resolved", "nevera"), 10), self.sinks.mails)

        self.assertEqual(self.sinks.alerts("firing", "TorvexReadingBelowLimit"), [])
        self.assertEqual([a for post in self.sinks.posts for a in post["alerts"]
                          if a["labels"].get("field") == "5"], [])
        logger.terminate()
        self.assertEqual(logger.wait(timeout=10), 0)
        # Stopped in order: its metrics go, and no alarm stays for it.
        self.assertNotIn("torvex-nevera.prom", os.listdir(self.textfiles))

    def test_a_board_whose_send_stops_raises_the_stale_alarm_on_the_central_host(self):
        from fleet_hosts import TOOLS, Board, Central, Host, make_key
        if os.geteuid() != 0 or None in TOOLS.values():
            self.skipTest("the fleet's hosts need root, %s" % ", ".join(
                name for name, path in TOOLS.items() if path is None))
        fleet = self.folder("fleet")
        for folder in (self.scratch, fleet):
            os.chmod(folder, 0o755)  # the central host's account reads its keys below
        port = free_port()
        central = Central(os.path.join(fleet, "central"), port)
        key = make_key(os.path.join(fleet, "b1.key"), "b1")
        central.add("b1", key + ".pub")
        board = Board(os.path.join(fleet, "b1"), "b1", port, central.known_hosts_line(), key,
                      pace=("--every", "1"))
        self.addCleanup(Host.stop_all, [central, board])
        with open(os.path.join(board.records, time.strftime("t1-%Y-%m.csv", time.gmtime())), "w") as out:
            out.write(time.strftime("%Y-%m-%dT%H:%M:%S.000,T,1\n", time.gmtime()))
        central.start()
        central.wait_listening()
        board.start()
        # The central host's metrics every second, as its timer runs them every 10 s.
        done = threading.Event()
        self.addCleanup(done.set)

        def refresh():
            while not done.wait(1):
                subprocess.run([TORVEX_METRICS, "--every", "1", central.store],
                               env=dict(os.environ, TORVEX_METRICS_DIRECTORY=self.textfiles))
        threading.Thread(target=refresh, daemon=True).start()
        self.assertTrue(wait_until(lambda: os.path.exists(os.path.join(central.store, "b1")), 30),
                        central.log())
        self.assertTrue(wait_until(lambda: os.path.exists(os.path.join(central.store, ".passes", "b1")),
                                   5), "the central host wrote no STORE/.passes/BOARD after a pass")
        board.stop()
        stopped = time.monotonic()
        self.assertTrue(wait_until(lambda: self.sinks.alerts("firing", "TorvexBoardCopiesStale",
                                                              board="b1"), 3 * 1 + 30 + 30),
                        self.sinks.posts)
        print("figure: stale alarm at the webhook %.1f s after the board stopped (pace 1 s)"
              % (time.monotonic() - stopped))
        self.assertTrue(wait_until(lambda: self.sinks.mail("firing", "La placa b1 no ha pasado"), 10))


if __name__ == "__main__":
    main()
