"""The test command's install step and the Windows build's question whether
Wine can run the 32-bit exe, with stand-ins for apt, dpkg and Wine's loader:
nothing is installed on this machine and no Wine program runs."""

import os
import shutil
import stat
import subprocess
import sys
import tempfile
import unittest

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CMAKE = os.environ.get("TORVEX_CMAKE", "cmake")

# apt and dpkg as far as scripts/install-missing asks them. FAKE_MISSING
# names the packages not installed at the start, FAKE_REFUSED those apt
# cannot install (then it installs none, as apt does), FAKE_REASON what it
# says then; FAKE_UPDATE_FAILS=1 makes `apt-get update` fail.
STAND_INS = {
    "dpkg-query": r"""#!/bin/sh
for package; do :; done
case " $FAKE_MISSING " in
    *" $package "*) [ -e "$FAKE_STATE/$package" ] || exit 1 ;;
esac
printf 'install ok installed'
""",
    "apt-get": r"""#!/bin/bash
echo "$*" >>"$FAKE_STATE/apt.log"
packages=()
while (($#)); do
    case $1 in
        -o) shift ;;
        -*) ;;
        *) packages+=("$1") ;;
    esac
    shift
done
if [ "${packages[0]}" = update ]; then
    [ "${FAKE_UPDATE_FAILS:-0}" = 1 ] || exit 0
    echo "E: Failed to fetch http://deb.example/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress? [IP: 192.0.2.1 80]"
    echo "E: Some index files failed to download. They have been ignored, or old ones used instead."
    exit 100
fi
echo "install ${packages[*]:1}" >>"$FAKE_STATE/installs"
for package in "${packages[@]:1}"; do
    case " $FAKE_REFUSED " in
        *" $package "*) printf '%b\n' "$FAKE_REASON"; exit 100 ;;
    esac
done
for package in "${packages[@]:1}"; do touch "$FAKE_STATE/$package"; done
""",
    "dpkg": r"""#!/bin/sh
case $1 in
    --print-foreign-architectures) cat "$FAKE_STATE/architectures" 2>/dev/null ;;
    --add-architecture) echo "$2" >>"$FAKE_STATE/architectures" ;;
    *) exit 1 ;;
esac
""",
    "id": "#!/bin/sh\necho 0\n",
}

WINE32_UNMET = ("Reading package lists...\\nThe following packages have unmet dependencies:\\n"
                " wine32:i386 : Depends: libwine:i386 (= 8.0~repack-4) but it is not going to"
                " be installed\\nE: Unable to correct problems, you have held broken packages.")
WINE32_LINE = ("could not install wine32:i386 (wine32:i386 : Depends: libwine:i386"
               " (= 8.0~repack-4) but it is not going to be installed), so the 32-bit exe is"
               " built and checked only, the Windows tests run on the 64-bit exe.")
BOTH_EXES_LINE = "This machine runs 32-bit x86 code: the Windows tests run on both exes."


def write_program(path, text):
    with open(path, "w") as program:
        program.write(text)
    os.chmod(path, os.stat(path).st_mode | stat.S_IXUSR)


class Scratch(unittest.TestCase):
    def setUp(self):
        self.scratch = tempfile.mkdtemp(prefix="torvex-scripts-")
        self.addCleanup(shutil.rmtree, self.scratch)


class InstallStep(Scratch):
    def setUp(self):
        super().setUp()
        self.bin = os.path.join(self.scratch, "bin")
        # The test command's scripts in a tree of their own, on a kernel
        # that runs 32-bit code: this machine's may not.
        self.scripts = os.path.join(self.scratch, "repo", "scripts")
        for directory in (self.bin, self.scripts):
            os.makedirs(directory)
        for name, text in STAND_INS.items():
            write_program(os.path.join(self.bin, name), text)
        for name in ("test", "install-missing"):
            shutil.copy(os.path.join(REPO, "scripts", name), self.scripts)
        write_program(os.path.join(self.scripts, "runs-32bit-code"), "#!/bin/sh\necho yes\n")

    def run_fake(self, command, missing, refused="", reason="", update_fails=False):
        state = tempfile.mkdtemp(dir=self.scratch)
        env = dict(os.environ, PATH=self.bin + os.pathsep + os.environ["PATH"],
                   FAKE_STATE=state, FAKE_MISSING=missing, FAKE_REFUSED=refused,
                   FAKE_REASON=reason, FAKE_UPDATE_FAILS="1" if update_fails else "0")
        done = subprocess.run(command, cwd=self.scratch, env=env, capture_output=True,
                              text=True, timeout=60)

        def lines(name):
            path = os.path.join(state, name)
            return open(path).read().splitlines() if os.path.exists(path) else []
        return done, lines("installs"), lines("apt.log")

    def test_only_a_package_of_the_32bit_tests_that_cannot_be_installed_lets_the_run_go_on(self):
        # (what fails, packages missing, refused, apt's words, status,
        #  line on standard output, line on standard error, installs in order)
        cases = [
            ("nothing", "cmake wine32:i386", "", "", 0, BOTH_EXES_LINE, None,
             ["install cmake", "install wine32:i386"]),
            ("wine32:i386, for want of its i386 libraries", "cmake wine32:i386",
             "wine32:i386", WINE32_UNMET, 0, WINE32_LINE, None,
             ["install cmake", "install wine32:i386"]),
            ("cmake, named alone although g++ is missing too", "g++ cmake wine32:i386",
             "cmake", "E: Unable to locate package cmake", 1, None,
             "could not install cmake (E: Unable to locate package cmake)",
             ["install cmake g++"]),
        ]
        test = ["bash", os.path.join(self.scripts, "test"), "--install-only"]
        for failing, missing, refused, reason, status, out, err, installs in cases:
            for update_fails in (False, True):
                with self.subTest(failing=failing, update_fails=update_fails):
                    done, installed, apt = self.run_fake(test, missing, refused, reason,
                                                         update_fails)
                    self.assertEqual(done.returncode, status, done.stderr)
                    if out:
                        self.assertIn(out, done.stdout.splitlines())
                    else:
                        self.assertNotIn("Windows tests run", done.stdout)
                    if err:
                        self.assertIn(err, done.stderr.splitlines())
                    self.assertEqual(installed, installs)
                    self.assertTrue(all("Acquire::Retries=" in call for call in apt), apt)
                    self.assertEqual("apt-get update failed" in done.stderr, update_fails)

    def test_a_caller_under_set_e_goes_on_past_a_failed_update(self):
        # As scripts/bench and scripts/demo call it.
        script = ('set -euo pipefail; source "%s/install-missing"; install_missing python3 strace;'
                  ' echo went on' % self.scripts)
        done, installed, _ = self.run_fake(["bash", "-c", script], "strace", update_fails=True)
        self.assertEqual((done.returncode, done.stdout.splitlines()[-1]), (0, "went on"),
                         done.stderr)
        self.assertEqual(installed, ["install strace"])


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
            ("loader not installable", "yes", absent,
             "could not install wine32:i386 (E: Unable to correct problems)",
             "Wine's 32-bit loader %s is not installed: could not install wine32:i386"
             " (E: Unable to correct problems)" % absent + tail),
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
