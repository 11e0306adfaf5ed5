"""The Debian package of a linux-* build: what it holds, read with dpkg-deb
without installing it (Contents), an install, run and removal through dpkg as
root (Install), and its service run under a real systemd in a container,
against the simulator (Service), an upgrade from 1.0 included.

Environment: TORVEX_DEB (the .deb), TORVEX_DEB_ARCHITECTURE, TORVEX_VERSION,
and TORVEX_EMULATOR where the package's program is for another machine; for
Service, TORVEX_SIM (the simulator, static) and TORVEX_SYSTEMD_ROOT (where the
container's Debian root is made once and kept).

Run as a script; `Install` reports itself skipped (status 77) unless run as
root on a machine where no torvex package is installed, `Service` unless run
as root on a machine where the container can be made and booted."""

import datetime
import glob
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from harness import (OPEN_FAILED, RECORDS_RESUMED, REQUEST_FAILED, STAMP, STOPPED,  # noqa: E402
                     UNATTENDED_ANNOUNCE, WAITING_FOR_PORT, main)
from systemd_container import CannotBoot, Container, make_root  # noqa: E402
from test_command_line import HELP  # noqa: E402
from test_faults import default_record, wait_until  # noqa: E402

DEB = os.environ.get("TORVEX_DEB", "")
ARCHITECTURE = os.environ.get("TORVEX_DEB_ARCHITECTURE", "")
VERSION = os.environ.get("TORVEX_VERSION", "")
EMULATOR = os.environ.get("TORVEX_EMULATOR", "").split()

CONFFILE = "/etc/torvex/example.conf"
CONFFILES = [CONFFILE]
# The rotation of 1.0, which an upgrade removes.
ROTATION = "/etc/logrotate.d/torvex"
# Every entry that is not a directory, and the one directory of its own that
# must be there empty: path, permissions.
ENTRIES = {
    "./usr/bin/torvex": "-rwxr-xr-x",
    "./usr/sbin/torvexsvc": "-rwxr-xr-x",
    "./usr/sbin/torvex-metrics": "-rwxr-xr-x",
    "./usr/lib/tmpfiles.d/torvex.conf": "-rw-r--r--",
    "./lib/systemd/system/torvex-metrics.service": "-rw-r--r--",
    "./lib/systemd/system/torvex-metrics.timer": "-rw-r--r--",
    "./usr/share/doc/torvex/alarms.md": "-rw-r--r--",
    "./usr/share/doc/torvex/examples/torvex-alerts.yml": "-rw-r--r--",
    "./usr/share/doc/torvex/examples/alertmanager.yml": "-rw-r--r--",
    "./usr/lib/sysusers.d/torvex.conf": "-rw-r--r--",
    "./usr/sbin/torvex-fleet": "-rwxr-xr-x",
    "./usr/lib/torvex/torvexfleet": "-rwxr-xr-x",
    "./usr/share/man/man1/torvex.1.gz": "-rw-r--r--",
    "./usr/share/doc/torvex/copyright": "-rw-r--r--",
    "./usr/share/doc/torvex/changelog.gz": "-rw-r--r--",
    "./usr/share/doc/torvex/fleet.md": "-rw-r--r--",
    "./usr/share/doc/torvex/examples/ssh_config": "-rw-r--r--",
    "./usr/share/doc/torvex/examples/sshd_config": "-rw-r--r--",
    "./lib/systemd/system/torvex-fleet-send.service": "-rw-r--r--",
    "./lib/systemd/system/torvex-fleet-central.service": "-rw-r--r--",
    "./usr/share/doc/torvex/examples/torvex-view-board.conf": "-rw-r--r--",
    "./usr/share/doc/torvex/examples/torvex-view-central.conf": "-rw-r--r--",
    "./usr/share/doc/torvex/view.md": "-rw-r--r--",
    "./usr/share/doc/torvex/records-page.png": "-rw-r--r--",
    "./usr/share/doc/torvex/records-page-phone.png": "-rw-r--r--",
    "./usr/share/torvex/view/index.html": "-rw-r--r--",
    "./usr/share/torvex/view/view.css": "-rw-r--r--",
    "./usr/share/torvex/view/records.js": "-rw-r--r--",
    "./usr/share/torvex/view/charts.js": "-rw-r--r--",
    "./usr/share/torvex/view/view.js": "-rw-r--r--",
    "./usr/share/torvex/view/icon.svg": "-rw-r--r--",
    "./usr/share/lintian/overrides/torvex": "-rw-r--r--",
    "./lib/systemd/system/torvex@.service": "-rw-r--r--",
    "." + CONFFILE: "-rw-r--r--",
    "./var/log/torvex/": "drwxr-xr-x",
}

# Debian architecture: ELF class, byte order, machine, and what e_flags must hold.
EF_ARM_ABI_FLOAT_HARD = 0x400
ELF_OF_ARCHITECTURE = {
    "amd64": (2, 1, 62, 0),                     # 64-bit, little-endian, x86-64
    "arm64": (2, 1, 183, 0),                    # 64-bit, little-endian, AArch64
    "armhf": (1, 1, 40, EF_ARM_ABI_FLOAT_HARD),  # 32-bit, little-endian, ARM, hard float
}
PT_INTERP = 3

# What the service promises, each a line of the unit: the unattended run
# named after the instance, writing its own records into the logs folder and
# its messages to the journal, options from the instance's file, a calm
# restart after a crash, an unprivileged user that may open ports and alone
# writes the records, which everyone may read.
UNIT_LINES = [
    "EnvironmentFile=/etc/torvex/%i.conf",
    "ExecStart=/usr/sbin/torvexsvc run %i $TORVEX_OPTIONS",
    "StandardError=journal",
    "Restart=on-failure",
    "RestartSec=30s",
    "User=torvex",
    "SupplementaryGroups=dialout",
    "LogsDirectory=torvex",
    "LogsDirectoryMode=0755",
    "UMask=0022",
    "Environment=TORVEX_METRICS_DIRECTORY=/var/lib/prometheus/node-exporter",
]

# systemd-analyze security's exposure level of the unit (0 to 10, lower is better).
MAXIMUM_EXPOSURE = 1.2

MAN_SECTIONS = ["NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "RECORDS", "MESSAGES",
                "EXIT STATUS", "SIGNALS", "UNATTENDED USE", "RECORDS FILES", "A FLEET OF BOARDS",
                "FILES"]


def run(*command, **kwargs):
    return subprocess.run(command, capture_output=True, text=True, **kwargs)


def elf_header(path):
    """(class, byte order, machine, flags, whether it asks for an interpreter)."""
    with open(path, "rb") as program:
        data = program.read()
    if data[:4] != b"\x7fELF":
        raise AssertionError("%s is no ELF file" % path)
    elf_class, order = data[4], data[5]
    end = "<" if order == 1 else ">"
    if elf_class == 2:
        machine, = struct.unpack_from(end + "H", data, 18)
        phoff, = struct.unpack_from(end + "Q", data, 32)
        flags, = struct.unpack_from(end + "I", data, 48)
        phentsize, phnum = struct.unpack_from(end + "HH", data, 54)
    else:
        machine, = struct.unpack_from(end + "H", data, 18)
        phoff, = struct.unpack_from(end + "I", data, 28)
        flags, = struct.unpack_from(end + "I", data, 36)
        phentsize, phnum = struct.unpack_from(end + "HH", data, 42)
    kinds = [struct.unpack_from(end + "I", data, phoff + i * phentsize)[0]
             for i in range(phnum)]
    return elf_class, order, machine, flags, PT_INTERP in kinds


def package_status():
    done = run("dpkg-query", "-W", "-f=${Status}", "torvex")
    return done.stdout if done.returncode == 0 else "not installed"


class Contents(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.mkdtemp(prefix="torvex-deb-")
        subprocess.run(["dpkg-deb", "-x", DEB, cls.root], check=True)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.root, ignore_errors=True)

    def test_file_list_and_conffiles(self):
        listed = {}
        for line in run("dpkg-deb", "-c", DEB).stdout.splitlines():
            mode, owner, _size, _day, _time, path = line.split(None, 5)
            self.assertEqual(owner, "root/root", path)
            listed[path] = mode
        found = {path: mode for path, mode in listed.items()
                 if not mode.startswith("d") or path in ENTRIES}
        self.assertEqual(found, ENTRIES)
        conffiles = run("dpkg-deb", "-I", DEB, "conffiles").stdout.split()
        self.assertEqual(conffiles, CONFFILES)

    def test_control_data(self):
        fields = ["Package", "Version", "Architecture", "Depends", "Pre-Depends",
                  "Recommends", "Suggests", "Maintainer", "Section", "Description"]
        done = run("dpkg-deb", "-f", DEB, *fields)
        got = {}
        for line in done.stdout.splitlines():
            if line[:1] not in (" ", ""):
                name, _, value = line.partition(": ")
                got[name] = value
        # The program is static: nothing is needed at run time. The records
        # page's charts come from Debian's dygraphs, a web server serves it;
        # a fleet's hosts carry the records over SSH.
        expected = {"Package": "torvex", "Version": VERSION, "Architecture": ARCHITECTURE,
                    "Section": "science", "Recommends": "libjs-dygraphs",
                    "Suggests": "nginx, openssh-client, openssh-server, prometheus-node-exporter"}
        for field, value in expected.items():
            self.assertEqual(got.get(field), value, field)
        # The programs are static: nothing is needed at run time; the records
        # page is recommended, not required.
        for field in ("Depends", "Pre-Depends"):
            self.assertNotIn(field, got)
        self.assertRegex(got.get("Maintainer", ""), r"^[^<>]+ <[^@<>]+@[^@<>]+>$")
        self.assertTrue(got.get("Description"), "no synopsis")

    def test_programs_are_static_programs_of_the_architecture(self):
        self.assertIn(ARCHITECTURE, ELF_OF_ARCHITECTURE)
        want_class, want_order, want_machine, want_flags = ELF_OF_ARCHITECTURE[ARCHITECTURE]
        for program in ("usr/bin/torvex", "usr/sbin/torvexsvc", "usr/sbin/torvex-metrics",
                        "usr/lib/torvex/torvexfleet"):
            elf_class, order, machine, flags, interpreter = elf_header(
                os.path.join(self.root, program))
            self.assertEqual((elf_class, order, machine), (want_class, want_order, want_machine))
            self.assertEqual(flags & want_flags, want_flags, "e_flags %#x" % flags)
            self.assertFalse(interpreter, program + " dynamically linked")

    def test_unit_passes_systemd_analyze_verify(self):
        unit = os.path.join(self.root, "lib/systemd/system/torvex@.service")
        with open(unit) as text:
            lines = [line.strip() for line in text]
        self.assertEqual([line for line in UNIT_LINES if line not in lines], [])
        # Against the package's own tree: its program, and its manual page for
        # the unit's Documentation=; the rest of a system is not there.
        done = run("systemd-analyze", "verify", "--root=" + self.root, "--recursive-errors=no",
                   "torvex@example.service",
                   env=dict(os.environ, MANPATH=os.path.join(self.root, "usr/share/man")))
        self.assertEqual((done.returncode, done.stdout + done.stderr), (0, ""))

    def test_unit_exposure_score_stays_low(self):
        # systemd's own rating of the sandbox: what the hardening is worth.
        done = run("systemd-analyze", "security", "--offline=true", "--root=" + self.root,
                   "torvex@example.service")
        found = re.search(r"Overall exposure level for torvex@example\.service: (\d+\.\d+)",
                          done.stdout)
        self.assertTrue(found, done.stdout + done.stderr)
        self.assertLessEqual(float(found.group(1)), MAXIMUM_EXPOSURE, done.stdout)

    def test_manual_page_renders_without_warnings(self):
        page = os.path.join(self.root, "usr/share/man/man1/torvex.1.gz")
        done = run("man", "--warnings", "-E", "UTF-8", "-l", page,
                   env=dict(os.environ, MANWIDTH="80", LC_ALL="C.UTF-8", MAN_KEEP_FORMATTING=""))
        self.assertEqual((done.returncode, done.stderr), (0, ""))
        text = done.stdout
        for section in MAN_SECTIONS:
            self.assertRegex(text, r"(?m)^%s$" % section)
        self.assertIn("torvex " + VERSION, text)
        self.assertNotIn("@", text.replace("torvex@", ""))

    def test_lintian_reports_no_errors(self):
        # The warnings that stay are printed for the log; overrides carry their reason.
        done = run("lintian", "--allow-root", "--fail-on", "error", DEB)
        print(done.stdout + done.stderr, end="")
        errors = [line for line in done.stdout.splitlines() if line.startswith("E:")]
        self.assertEqual((done.returncode, errors), (0, []))


class Install(unittest.TestCase):
    def test_install_run_and_remove(self):
        paths = [path[1:].rstrip("/") for path in ENTRIES]
        self.addCleanup(run, "dpkg", "--purge", "torvex")
        # A package of another machine installs all the same, and its program
        # runs in the emulator.
        done = run("dpkg", "--force-architecture", "-i", DEB)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(package_status(), "install ok installed")
        for path in paths:
            self.assertTrue(os.path.exists(path), path)

        done = subprocess.run([*EMULATOR, "/usr/bin/torvex", "-h"], capture_output=True,
                              stdin=subprocess.DEVNULL, timeout=30)
        self.assertEqual((done.returncode, done.stdout, done.stderr), (0, b"", HELP))
        done = subprocess.run([*EMULATOR, "/usr/sbin/torvexsvc", "-h"], capture_output=True,
                              stdin=subprocess.DEVNULL, timeout=30)
        self.assertEqual((done.returncode, done.stdout), (0, b""))
        self.assertIn(b"Uso: TORVEXSVC run Nombre", done.stderr)

        done = run("dpkg", "-r", "torvex")
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(package_status(), "deinstall ok config-files")
        left = [path for path in paths if os.path.exists(path)]
        self.assertEqual(left, CONFFILES)

        done = run("dpkg", "--purge", "torvex")
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(package_status(), "not installed")
        self.assertFalse(os.path.exists(os.path.dirname(CONFFILE)))
        self.assertFalse(os.path.exists(ROTATION))


SIM = os.environ.get("TORVEX_SIM", "")
SYSTEMD_ROOT = os.environ.get("TORVEX_SYSTEMD_ROOT", "")
# The instrument's stable name inside the container, as a udev rule gives it.
DEVICE = "/dev/ttyVARNOD"
INSIDE_DEB = "/srv/torvex.deb"
INSIDE_OLD_DEB = "/srv/torvex_1.0.deb"
INSIDE_SIM = "/usr/local/bin/torvex_sim"
SIM_UNIT = "varnod.service"
SIM_LOG = "/run/varnod.log"
RECORDS_FOLDER = "/var/log/torvex"
# At -s 1 an instance's records go to a file per UTC day.
RECORDS_OF_DAY = RECORDS_FOLDER + "/%s-????-??-??.csv"
OLD_RECORDS = RECORDS_FOLDER + "/%s.csv"  # 1.0's, appended by the service manager
# Within one run the simulator's default replies repeat only after 120.
NUMBER_OF_RECORD = {default_record(n): n for n in range(1, 121)}
STAMPED_LINE = re.compile(rb"(%s),(.*\n)" % STAMP.encode())
# The files of a 1.0 package, to make one from this build's for the upgrade.
RELEASE_1_0 = os.path.join(os.path.dirname(os.path.abspath(__file__)), "release-1.0")


def make_release_1_0(deb, folder):
    """A package of version 1.0 made from this build's: 1.0's unit, rotation
    and maintainer scripts around the same console program, without the
    service's program. Returns its path."""
    tree = os.path.join(folder, "tree")
    subprocess.run(["dpkg-deb", "-R", deb, tree], check=True)
    control = os.path.join(tree, "DEBIAN")
    with open(os.path.join(control, "control")) as text:
        fields = re.sub(r"(?m)^Version: .*$", "Version: 1.0", text.read())
    with open(os.path.join(control, "control"), "w") as text:
        text.write(fields)
    for path in ("usr/sbin/torvexsvc", "usr/lib/sysusers.d", "DEBIAN/preinst", "DEBIAN/md5sums"):
        path = os.path.join(tree, path)
        shutil.rmtree(path) if os.path.isdir(path) else os.remove(path)
    copies = {"torvex@.service": "lib/systemd/system/torvex@.service",
              "torvex.logrotate": ROTATION[1:], "postinst": "DEBIAN/postinst",
              "prerm": "DEBIAN/prerm", "postrm": "DEBIAN/postrm"}
    for name, path in copies.items():
        os.makedirs(os.path.dirname(os.path.join(tree, path)), exist_ok=True)
        shutil.copy(os.path.join(RELEASE_1_0, name), os.path.join(tree, path))
        os.chmod(os.path.join(tree, path), 0o755 if path.startswith("DEBIAN/p") else 0o644)
    with open(os.path.join(control, "conffiles"), "w") as text:
        text.write("\n".join(CONFFILES + [ROTATION]) + "\n")
    old = os.path.join(folder, "torvex_1.0.deb")
    subprocess.run(["dpkg-deb", "--root-owner-group", "-b", tree, old], check=True,
                   capture_output=True)
    return old


class Service(unittest.TestCase):
    """torvex@NAME in a Debian system booted under systemd, logging the
    simulator through DEVICE at -s 1: start, stop, an adapter missing at
    boot, a replug, an upgrade from 1.0 and the package's removal, each with
    an instance of its own."""

    @classmethod
    def setUpClass(cls):
        if os.geteuid() != 0:
            raise unittest.SkipTest("the service tests need root")
        folder = tempfile.mkdtemp(prefix="torvex-release-")
        cls.addClassCleanup(shutil.rmtree, folder, ignore_errors=True)
        try:
            make_root(SYSTEMD_ROOT)
            cls.container = Container(SYSTEMD_ROOT, {INSIDE_DEB: DEB, INSIDE_SIM: SIM,
                                                     INSIDE_OLD_DEB: make_release_1_0(DEB, folder)})
        except CannotBoot as reason:
            raise unittest.SkipTest(str(reason))
        cls.addClassCleanup(cls.container.power_off)
        cls.container.run("dpkg", "-i", INSIDE_DEB)
        # For the test only: a restart within a second instead of 30.
        cls.container.write("/etc/systemd/system/torvex@.service.d/test.conf",
                            "[Service]\nRestartSec=1s\n")
        cls.container.run("systemctl", "daemon-reload")

    def instrument(self, *options):
        """The simulator inside, a service of its own, DEVICE leading to its
        pty, SIM_LOG its log."""
        self.container.run("rm", "-f", DEVICE, SIM_LOG)
        self.container.run("systemd-run", "--unit=" + SIM_UNIT, "--collect", INSIDE_SIM,
                           "--link", DEVICE, "--log", SIM_LOG, *options)
        self.addCleanup(self.container.run, "systemctl", "stop", SIM_UNIT, check=False)
        self.plug_in()

    def plug_in(self):
        # Debian gives a serial adapter group dialout, mode 0660.
        self.wait_for("the simulator's pty behind " + DEVICE,
                      lambda: re.match(r"/dev/pts/\d+$", self.link() or ""))
        self.container.run("sh", "-c", 'chgrp dialout "$1" && chmod 660 "$1"', "-", DEVICE)

    def link(self):
        try:
            return os.readlink(self.container.path(DEVICE))
        except FileNotFoundError:
            return None

    def instance(self, name):
        """Enables and starts torvex@NAME on DEVICE, as a user does; enabled,
        it stays loaded with its result once stopped."""
        self.container.write("/etc/torvex/%s.conf" % name, "TORVEX_OPTIONS=-p %s -s 1\n" % DEVICE)
        self.addCleanup(self.container.run, "systemctl", "disable", "--now", "torvex@" + name,
                        check=False)
        self.container.run("systemctl", "enable", "--now", "torvex@" + name)

    def show(self, name, *properties):
        done = self.container.run("systemctl", "show", "torvex@" + name,
                                  "-p", ",".join(properties))
        return dict(line.split("=", 1) for line in done.stdout.splitlines())

    def journal(self, name):
        return self.container.run("journalctl", "-u", "torvex@" + name, "-o", "cat").stdout

    def records(self, path):
        """The bytes of the file, or of the files the pattern names one
        after the other."""
        data = b""
        for found in sorted(glob.glob(self.container.path(path))):
            with open(found, "rb") as records:
                data += records.read()
        return data

    def numbers(self, data):
        """The reply numbers of whole records; fails on anything else."""
        lines = data.split(b"\n")
        self.assertEqual(lines[-1], b"", "the last record is torn")
        numbers = [NUMBER_OF_RECORD.get(line + b"\n") for line in lines[:-1]]
        self.assertNotIn(None, numbers, data)
        return numbers

    def stamped(self, data):
        """The reply numbers of whole stamped records, after checking that
        their stamps rise about one period apart (a late poll is not made up)."""
        lines = data.splitlines(keepends=True)
        matched = [STAMPED_LINE.fullmatch(line) for line in lines]
        self.assertNotIn(None, matched, data)
        times = [datetime.datetime.fromisoformat(m.group(1).decode()) for m in matched]
        steps = [(b - a).total_seconds() for a, b in zip(times, times[1:])]
        self.assertTrue(all(0.9 <= step < 3 for step in steps), steps)
        return self.numbers(b"".join(m.group(2) for m in matched))

    def wait_for(self, what, condition, name=None, timeout=15):
        # Some conditions ask systemctl inside the container: a tenth of a second apart.
        if not wait_until(condition, timeout, interval=0.1):
            journal = self.container.run("journalctl", "-u", "torvex@" + name, "-n", "8",
                                         "-o", "short-monotonic").stdout if name else ""
            self.fail("no %s within %d s\n%s" % (what, timeout, journal))

    def wait_for_records(self, name, count, pattern=RECORDS_OF_DAY):
        path = pattern % name
        self.wait_for("%d records in %s" % (count, path),
                      lambda: self.records(path).count(b"\n") >= count, name)

    def assertEveryRecordOnce(self, numbers, at_least):
        self.assertGreaterEqual(len(numbers), at_least)
        self.assertEqual(numbers, list(range(1, len(numbers) + 1)))

    def owners_and_modes(self, pattern):
        """"PATH USER:GROUP MODE" of the records folder and the files the
        pattern names, as the container sees them."""
        done = self.container.run("sh", "-c", 'stat -c "%n %U:%G %a" "$1" $2', "-",
                                  RECORDS_FOLDER, pattern)
        return done.stdout.splitlines()

    def test_start_and_stop(self):
        self.instrument()
        self.instance("start")
        self.wait_for_records("start", 3)
        self.assertIn(UNATTENDED_ANNOUNCE.format(DEVICE.upper(), 9600, 1), self.journal("start"))

        self.container.run("systemctl", "stop", "torvex@start")
        # ExecMainCode 1: exited (not killed by a signal).
        self.assertEqual(self.show("start", "Result", "ExecMainCode", "ExecMainStatus"),
                         {"Result": "success", "ExecMainCode": "1", "ExecMainStatus": "0"})
        self.assertIn(STOPPED, self.journal("start"))
        self.assertEveryRecordOnce(self.stamped(self.records(RECORDS_OF_DAY % "start")), 3)
        # The logger alone writes its records; everyone may read them.
        found = self.owners_and_modes(RECORDS_OF_DAY % "start")
        self.assertEqual(found[0], RECORDS_FOLDER + " torvex:torvex 755")
        self.assertRegex("\n".join(found[1:]), r"\A(/var/log/torvex/start-\S+\.csv "
                         r"torvex:torvex 644\n?)+\Z")

    def test_no_adapter_at_boot(self):
        self.instance("late")
        self.wait_for("the wait for the adapter",
                      lambda: WAITING_FOR_PORT in self.journal("late"), "late")
        self.assertIn(OPEN_FAILED, self.journal("late"))
        self.assertEqual(self.records(RECORDS_OF_DAY % "late"), b"")
        self.instrument()
        self.wait_for_records("late", 2)
        self.container.run("systemctl", "stop", "torvex@late")
        self.assertEveryRecordOnce(self.stamped(self.records(RECORDS_OF_DAY % "late")), 2)
        # Waited for inside the run, logged once, and its end logged too.
        journal = self.journal("late")
        self.assertEqual((journal.count(OPEN_FAILED), journal.count(RECORDS_RESUMED)), (1, 1))
        self.assertEqual(self.show("late", "NRestarts"), {"NRestarts": "0"})

    def test_replug(self):
        self.instrument("--replug-after", "2", "--gap", "1500")
        self.instance("replug")
        self.wait_for("return of the instrument",
                      lambda: b" replugged\n" in self.records(SIM_LOG), "replug")
        self.plug_in()
        self.wait_for_records("replug", 4)
        self.container.run("systemctl", "stop", "torvex@replug")
        # One outage: the records' stamps show its gap, the log its beginning and end.
        lines = self.records(RECORDS_OF_DAY % "replug").splitlines(keepends=True)
        stamps = [datetime.datetime.fromisoformat(line[:23].decode()) for line in lines]
        outage = max(range(1, len(lines)), key=lambda i: stamps[i] - stamps[i - 1])
        self.assertEveryRecordOnce(self.stamped(b"".join(lines[:outage])) +
                                   self.stamped(b"".join(lines[outage:])), 4)
        journal = self.journal("replug")
        self.assertEqual((journal.count(REQUEST_FAILED), journal.count(RECORDS_RESUMED)), (1, 1))
        # The logger itself took the device back, inside its sandbox.
        self.assertEqual(self.show("replug", "NRestarts"), {"NRestarts": "0"})

    def test_upgrade_from_1_0_keeps_the_old_records_and_logs_on(self):
        self.addCleanup(self.container.run, "dpkg", "-i", INSIDE_DEB)
        self.container.run("dpkg", "--purge", "torvex")
        self.container.run("dpkg", "-i", INSIDE_OLD_DEB)
        self.instrument()
        self.instance("upgrade")
        self.wait_for_records("upgrade", 3, OLD_RECORDS)

        self.container.run("dpkg", "-i", INSIDE_DEB)
        self.wait_for_records("upgrade", 2)
        self.container.run("systemctl", "stop", "torvex@upgrade")
        # The running logger went on with the new program: the old file
        # ends with whole records, and the dated file takes up the numbers.
        before = self.numbers(self.records(OLD_RECORDS % "upgrade"))
        after = self.stamped(self.records(RECORDS_OF_DAY % "upgrade"))
        self.assertGreaterEqual(len(before), 3)
        self.assertEveryRecordOnce(before + after, 5)
        self.assertFalse(os.path.exists(self.container.path(ROTATION)))

    def test_removal_stops_the_loggers(self):
        self.instrument()
        self.instance("removal")
        self.wait_for_records("removal", 1)
        self.addCleanup(self.container.run, "dpkg", "-i", INSIDE_DEB)
        self.container.run("dpkg", "-r", "torvex")
        done = self.container.run("systemctl", "is-active", "torvex@removal", check=False)
        self.assertEqual(done.stdout.strip(), "inactive")
        self.assertIn(STOPPED, self.journal("removal"))


if __name__ == "__main__":
    if sys.argv[1:2] == ["Install"]:
        reason = ("the install test needs root" if os.geteuid() != 0 else
                  "a torvex package is installed on this machine already"
                  if package_status() != "not installed" else None)
        if reason:
            print("skipped: " + reason)
            sys.exit(77)
    main()
