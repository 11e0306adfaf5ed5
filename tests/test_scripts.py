"""The Windows build's question whether Wine can run the 32-bit exe, with
stand-ins for Wine's loader: no Wine program runs."""

import os
import shutil
import stat
import subprocess
import sys
import tempfile
import unittest

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CMAKE = os.environ.get("TORVEX_CMAKE", "cmake")


def write_program(path, text):
    with open(path, "w") as program:
        program.write(text)
    os.chmod(path, os.stat(path).st_mode | stat.S_IXUSR)


class Scratch(unittest.TestCase):
    def setUp(self):
        self.scratch = tempfile.mkdtemp(prefix="torvex-scripts-")
        self.addCleanup(shutil.rmtree, self.scratch)


class WineAvailability(Scratch):
    """The Windows build's tests of the 32-bit exe run only where the kernel
    runs 32-bit code and Wine's 32-bit loader is there and starts."""

    def skip_reason(self, runs_32bit, loader, wine32_missing=None):
        """The reason a configure run gives the 32-bit exe's Wine tests, or None."""
        source = os.path.join(self.scratch, "probe")
        if not os.path.exists(source):
            os.makedirs(source)
            with open(os.path.join(source, "CMakeLists.txt"), "w") as lists:
                lists.write("cmake_minimum_required(VERSION 3.16)\nproject(probe NONE)\n"
                            "set(CMAKE_SIZEOF_VOID_P 4)\nset(TORVEX_WINE_LOADER ${LOADER})\n"
                            "include(%s/tests/e2e_wine/wine_availability.cmake)\n"
                            "if(TORVEX_WINE_SKIP)\n  list(GET TORVEX_WINE_SKIP -1 reason)\n"
                            '  message(STATUS "skipped because: ${reason}")\nendif()\n' % REPO)
        env = dict(os.environ, TORVEX_RUNS_32BIT=runs_32bit)
        env.pop("TORVEX_WINE32_MISSING", None)
        if wine32_missing:
            env["TORVEX_WINE32_MISSING"] = wine32_missing
        # One build directory for all: Python is looked for once.
        done = subprocess.run([CMAKE, "-S", source, "-B", os.path.join(source, "build"),
                               "-DLOADER=" + loader, "-DPython3_EXECUTABLE=" + sys.executable],
                              env=env, capture_output=True, text=True, timeout=60)
        self.assertEqual(done.returncode, 0, done.stderr)
        found = [line.split("skipped because: ", 1)[1] for line in done.stdout.splitlines()
                 if "skipped because: " in line]
        return found[0] if found else None

    def test_skipped_with_the_reason_unless_kernel_and_loader_both_run_32bit_code(self):
        starts = os.path.join(self.scratch, "wine")
        write_program(starts, "#!/bin/sh\necho wine-8.0\n")
        fails = os.path.join(self.scratch, "broken-wine")
        write_program(fails, "#!/bin/sh\necho 'cannot execute: Exec format error' >&2\nexit 126\n")
        absent = os.path.join(self.scratch, "no-wine")
        tail = ", so Wine cannot start the 32-bit torvex.exe"
        cases = [
            ("kernel and loader run it", "yes", starts, None, None),
            ("no 32-bit kernel", "no", starts, None, "this kernel runs no 32-bit x86 code" + tail),
            ("loader not installed", "yes", absent, None,
             "Wine's 32-bit loader %s is not installed (Debian package wine32:i386)" % absent
             + tail),
            ("loader does not start", "yes", fails, None,
             "Wine's 32-bit loader %s does not start (126: cannot execute: Exec format error)"
             % fails + tail),
        ]
        for name, runs_32bit, loader, wine32_missing, reason in cases:
            with self.subTest(name):
                found = self.skip_reason(runs_32bit, loader, wine32_missing)
                if reason is None:
                    self.assertIsNone(found)
                else:
                    self.assertTrue(found and found.startswith(reason), found)


if __name__ == "__main__":
    unittest.main()
