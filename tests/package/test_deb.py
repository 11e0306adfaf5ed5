"""The Debian package of a linux-* build: what it holds, read with dpkg-deb
without installing it (Contents), and an install, run and removal through
dpkg as root (Install).

Environment: TORVEX_DEB (the .deb), TORVEX_DEB_ARCHITECTURE, TORVEX_VERSION,
and TORVEX_EMULATOR where the package's program is for another machine.

Run as a script; `Install` reports itself skipped (status 77) unless run as
root on a machine where no torvex package is installed."""

import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from test_command_line import HELP  # noqa: E402

DEB = os.environ.get("TORVEX_DEB", "")
ARCHITECTURE = os.environ.get("TORVEX_DEB_ARCHITECTURE", "")
VERSION = os.environ.get("TORVEX_VERSION", "")
EMULATOR = os.environ.get("TORVEX_EMULATOR", "").split()

CONFFILE = "/etc/torvex/example.conf"
# Every entry that is not a directory, and the one directory of its own that
# must be there empty: path, permissions.
ENTRIES = {
    "./usr/bin/torvex": "-rwxr-xr-x",
    "./usr/share/man/man1/torvex.1.gz": "-rw-r--r--",
    "./usr/share/doc/torvex/copyright": "-rw-r--r--",
    "./usr/share/doc/torvex/changelog.gz": "-rw-r--r--",
    "./usr/share/doc/torvex/examples/torvex-edge.conf": "-rw-r--r--",
    "./usr/share/doc/torvex/examples/torvex-central.conf": "-rw-r--r--",
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

# What the service promises, each a line of the unit: records appended to
# their file and messages to the journal (not into the records), options from
# the instance's file, a calm restart, an unprivileged user that may open ports.
UNIT_LINES = [
    "EnvironmentFile=/etc/torvex/%i.conf",
    "ExecStart=/usr/bin/torvex $TORVEX_OPTIONS",
    "StandardOutput=append:/var/log/torvex/%i.csv",
    "StandardError=journal",
    "Restart=on-failure",
    "RestartSec=30s",
    "DynamicUser=yes",
    "SupplementaryGroups=dialout",
]

MAN_SECTIONS = ["NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "RECORDS", "MESSAGES",
                "EXIT STATUS", "SIGNALS", "UNATTENDED USE", "A FLEET OF BOARDS", "FILES"]


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
        self.assertEqual(conffiles, [CONFFILE])

    def test_control_data(self):
        fields = ["Package", "Version", "Architecture", "Depends", "Pre-Depends",
                  "Recommends", "Maintainer", "Section", "Description"]
        done = run("dpkg-deb", "-f", DEB, *fields)
        got = {}
        for line in done.stdout.splitlines():
            if line[:1] not in (" ", ""):
                name, _, value = line.partition(": ")
                got[name] = value
        expected = {"Package": "torvex", "Version": VERSION, "Architecture": ARCHITECTURE,
                    "Section": "science"}
        for field, value in expected.items():
            self.assertEqual(got.get(field), value, field)
        # The program is static: nothing is needed at run time.
        for field in ("Depends", "Pre-Depends", "Recommends"):
            self.assertNotIn(field, got)
        self.assertRegex(got.get("Maintainer", ""), r"^[^<>]+ <[^@<>]+@[^@<>]+>$")
        self.assertTrue(got.get("Description"), "no synopsis")

    def test_program_is_a_static_program_of_the_architecture(self):
        self.assertIn(ARCHITECTURE, ELF_OF_ARCHITECTURE)
        elf_class, order, machine, flags, interpreter = elf_header(
            os.path.join(self.root, "usr/bin/torvex"))
        want_class, want_order, want_machine, want_flags = ELF_OF_ARCHITECTURE[ARCHITECTURE]
        self.assertEqual((elf_class, order, machine), (want_class, want_order, want_machine))
        self.assertEqual(flags & want_flags, want_flags, "e_flags %#x" % flags)
        self.assertFalse(interpreter, "dynamically linked")

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

        done = run("dpkg", "-r", "torvex")
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(package_status(), "deinstall ok config-files")
        left = [path for path in paths if os.path.exists(path)]
        self.assertEqual(left, [CONFFILE])

        done = run("dpkg", "--purge", "torvex")
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(package_status(), "not installed")
        self.assertFalse(os.path.exists(os.path.dirname(CONFFILE)))


if __name__ == "__main__":
    if sys.argv[1:2] == ["Install"]:
        reason = ("the install test needs root" if os.geteuid() != 0 else
                  "a torvex package is installed on this machine already"
                  if package_status() != "not installed" else None)
        if reason:
            print("skipped: " + reason)
            sys.exit(77)
    unittest.main(verbosity=2)
