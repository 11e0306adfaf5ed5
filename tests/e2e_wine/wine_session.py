"""Wine for the Windows program's tests: one private prefix per test run with
its own wineserver, torvex.exe started the way a console user starts it,
COM7 mapped to the instrument simulator's pseudo-terminal, and the service
manager, the installer and a reboot for the service program.

Run as a script, `start` makes the prefix and `stop` ends its server; CTest
runs them as the fixture around every test that needs Wine."""

import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))

from harness import Simulator  # noqa: E402  (shared with the POSIX suites)

TORVEX_EXE = os.environ.get("TORVEX_EXE", "build/windows/torvex.exe")
COM_PORT = "com7"


def prefix():
    # Never fall back to ~/.wine: a test run must not touch the user's prefix.
    path = os.environ.get("WINEPREFIX")
    if not path:
        raise RuntimeError("WINEPREFIX is not set")
    return path


def loader():
    """Wine's loader for the exe's word size, as the build chose it: Debian's
    `wine` wrapper would take the 32-bit one even where it cannot run."""
    path = os.environ.get("WINELOADER")
    if not path:
        raise RuntimeError("WINELOADER is not set")
    return path


def wine_environment(**extra):
    # WINEARCH comes with the loader: a 32-bit prefix for the 32-bit exe
    # (half the size, quicker to make), a 64-bit one for the 64-bit exe.
    env = dict(os.environ, WINEPREFIX=prefix(), WINEDEBUG="-all")
    env.update(extra)
    return env


def crlf(text):
    """What a text-mode stream of the Windows runtime writes for `text`."""
    if isinstance(text, str):
        text = text.encode()
    return text.replace(b"\n", b"\r\n")


def start():
    path = prefix()
    stop()
    os.makedirs(path)
    # No .NET or HTML engine: nothing here uses them, and asking for
    # them would slow the start.
    start_server(["wineboot.exe", "-i"], WINEDLLOVERRIDES="mscoree,mshtml=")
    # Booted as it was being made, the prefix goes on starting Wine's own
    # services for a long while, each timing out, and the service manager
    # refuses every other start meanwhile; booted again, they start at once.
    reboot()


def start_server(first=None, **extra):
    """The server, then a first program (`first`, or the warm-up alone): a
    boot, which also starts the services set to start automatically."""
    # Wine's own output goes to a file: its helper processes outlive this
    # script and would otherwise hold CTest's pipes open.
    with open(prefix() + ".log", "ab") as log:
        quiet = dict(stdin=subprocess.DEVNULL, stdout=log, stderr=log, env=wine_environment())
        # The server first, in a session of its own and away from CTest's
        # and every test's terminal, so that it lives for the whole run.
        subprocess.run(["wineserver", "-p"], start_new_session=True, check=True, timeout=60,
                       **quiet)
        if first:
            subprocess.run([loader(), *first], check=True, timeout=180,
                           **dict(quiet, env=wine_environment(**extra)))
        # The first program after the server starts may miss Ctrl-C: warm up.
        subprocess.run([loader(), "cmd", "/c", "exit"], check=True, timeout=60, **quiet)


def kill_server():
    """Every Wine process of the prefix killed, services included, without a stop."""
    quiet = dict(env=wine_environment(), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                 stderr=subprocess.DEVNULL, timeout=60)
    subprocess.run(["wineserver", "-k"], **quiet)
    subprocess.run(["wineserver", "-w"], **quiet)


def reboot():
    """A power cut, then the prefix started again."""
    kill_server()
    start_server()


def stop():
    """Ends the prefix's server and removes the prefix (some 600 MB)."""
    path = prefix()
    if not os.path.isdir(path):
        return
    kill_server()
    shutil.rmtree(path)


def run_wine(*command, timeout=60):
    """Runs a Windows program to its end: (status, standard output and error
    as text, line ends as Windows writes them)."""
    done = subprocess.run([loader(), *command], env=wine_environment(), stdin=subprocess.DEVNULL,
                          capture_output=True, timeout=timeout, start_new_session=True)
    return done.returncode, (done.stdout + done.stderr).decode(errors="replace")


def windows_path(host_path):
    """How a Windows program names a file of this machine (drive Z: is /)."""
    return "Z:" + os.path.abspath(host_path).replace("/", "\\")


def drive_c(*parts):
    return os.path.join(prefix(), "drive_c", *parts)


def service_state(name):
    """(state, exit code) as `sc query` reports them, or None when there is
    no such service."""
    _, out = run_wine("sc", "query", name)
    found = {name: (number, word)
             for name, number, word in re.findall(r"^\s*(\w+)\s*:\s*(\d+)\s+(\S+)", out, re.M)}
    if "STATE" not in found:
        return None
    return found["STATE"][1], int(found["WIN32_EXIT_CODE"][0])


def services_named(start):
    """The names of the services whose names begin with `start`."""
    _, out = run_wine("reg", "query", r"HKLM\System\CurrentControlSet\Services")
    names = [line.strip().rsplit("\\", 1)[-1] for line in out.splitlines() if "\\" in line]
    return sorted(name for name in names if name.lower().startswith(start.lower()))


def processes():
    """(pid, process group, program as started) of every process there is."""
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/stat" % entry, "rb") as stat:
                fields = stat.read().rsplit(b")", 1)[1].split()
            with open("/proc/%s/cmdline" % entry, "rb") as cmdline:
                command = cmdline.read().split(b"\0")[0]
        except OSError:
            continue
        yield int(entry), int(fields[2]), command


def wine_process(program):
    """The pid of the Wine process running `program` (a file name), or None."""
    ending = b"\\" + program.lower().encode()
    return next((pid for pid, _, command in processes() if command.lower().endswith(ending)),
                None)


def com_port_link():
    """The link that maps COM7, for a simulator that keeps it pointed at its pty."""
    return os.path.join(prefix(), "dosdevices", COM_PORT)


def map_com_port(device):
    """Points COM7 at `device`; a path that does not exist leaves it dangling."""
    link = com_port_link()
    staged = link + ".new"
    if os.path.lexists(staged):
        os.remove(staged)
    os.symlink(device, staged)
    os.replace(staged, link)


def program_in_group(group, name):
    """The pid of the Wine process `name` in process group `group`, or None."""
    return next((pid for pid, in_group, command in processes()
                 if in_group == group and command == name.encode()), None)


class WindowsProgram:
    """torvex.exe under Wine in a process group of its own, as in a console
    of its own: SIGINT is the user's Ctrl-C.

    With `records_file`, Wine's cmd does the redirection, as a user's
    `torvex ... > log.csv` does; only then does the program see a disk file.
    `wrapper` goes before the command, e.g. strace and its options."""

    def __init__(self, workdir, *args, records_file=None, stdout=None, wrapper=()):
        self.workdir = workdir
        self.through_cmd = bool(records_file)
        self.stderr_file = tempfile.TemporaryFile()
        self.stdout_file = tempfile.TemporaryFile()
        if self.through_cmd:
            # Started by its file, so that the launcher is cmd itself and
            # ends with its status, not at once with 0 as `wine cmd` does.
            cmd = os.path.join(prefix(), "drive_c", "windows", "system32", "cmd.exe")
            command = [loader(), cmd, "/c", " ".join(["torvex.exe", *args, ">", records_file])]
            stdout = subprocess.DEVNULL
        else:
            command = [loader(), "torvex.exe", *args]
            stdout = self.stdout_file if stdout is None else stdout
        self.process = subprocess.Popen([*wrapper, *command], cwd=workdir, env=wine_environment(),
                                        stdin=subprocess.DEVNULL, stdout=stdout,
                                        stderr=self.stderr_file, start_new_session=True)

    def ctrl_c(self):
        if not self.through_cmd:
            os.killpg(self.process.pid, signal.SIGINT)
            return
        # Windows' cmd ignores Ctrl-C while its command runs; Wine's ends at
        # once and leaves the program running. So only the program gets it.
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            pid = program_in_group(self.process.pid, "torvex.exe")
            if pid is not None:
                os.kill(pid, signal.SIGINT)
                return
            time.sleep(0.02)
        raise RuntimeError("torvex.exe not found under cmd")

    def running(self):
        return self.process.poll() is None

    def stdout_so_far(self):
        self.stdout_file.seek(0)
        return self.stdout_file.read()

    def finish(self, timeout=20):
        """Waits for the end; returns (status, standard output, standard error)."""
        status = self.process.wait(timeout=timeout)
        self.stderr_file.seek(0)
        return status, self.stdout_so_far(), self.stderr_file.read()

    def kill(self):
        if self.running():
            os.killpg(self.process.pid, signal.SIGKILL)
            self.process.wait()
        self.stdout_file.close()
        self.stderr_file.close()


def scratch_directory():
    """A working directory holding a copy of torvex.exe, as a user has it."""
    workdir = tempfile.mkdtemp(prefix="torvex-wine-")
    shutil.copy(TORVEX_EXE, os.path.join(workdir, "torvex.exe"))
    return workdir


__all__ = ["Simulator", "WindowsProgram", "com_port_link", "crlf", "drive_c", "map_com_port",
           "program_in_group", "reboot", "run_wine", "scratch_directory", "service_state",
           "services_named", "windows_path", "wine_process"]

if __name__ == "__main__":
    actions = {"start": start, "stop": stop}
    if len(sys.argv) != 2 or sys.argv[1] not in actions:
        sys.exit("usage: wine_session.py start|stop")
    actions[sys.argv[1]]()
