"""A bare Debian system booted under systemd-nspawn, for the service tests.

The root is made once with mmdebstrap and kept; every boot lays a throw-away
layer over it (--volatile=overlay), so what a test run installs or writes
goes with the power-off. Commands run inside through nsenter, as the host has
no machined; files inside are read through /proc/INIT/root. Every step has a
time-out, and the container is powered off when this process ends, however it
ends (the parent-death signal of systemd-nspawn)."""

import ctypes
import os
import shutil
import signal
import subprocess
import tempfile
import time

SUITE = "bookworm"
PACKAGES = "systemd,systemd-sysv,dbus"
PR_SET_PDEATHSIG = 1


class CannotBoot(Exception):
    """The machine cannot make or boot the container: the tests are skipped."""


def children(pid):
    """The processes whose parent is `pid`."""
    found = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open("/proc/%s/stat" % entry) as stat:
                    parent = int(stat.read().rsplit(")", 1)[1].split()[1])
            except (OSError, IndexError, ValueError):
                continue
            if parent == pid:
                found.append(int(entry))
    return found


def make_root(root, timeout=600):
    """The Debian root at `root`, made unless one of this suite and these
    packages is there; half-made roots are built aside and never taken."""
    stamp = os.path.join(root, ".made-of")
    made_of = "%s %s\n" % (SUITE, PACKAGES)
    try:
        with open(stamp) as text:
            if text.read() == made_of:
                return
    except OSError:
        pass
    if not shutil.which("mmdebstrap"):
        raise CannotBoot("mmdebstrap is not installed")
    shutil.rmtree(root, ignore_errors=True)
    partial = root + ".partial"
    shutil.rmtree(partial, ignore_errors=True)
    try:
        done = subprocess.run(["mmdebstrap", "--variant=minbase", "--include=" + PACKAGES,
                               SUITE, partial], stdin=subprocess.DEVNULL,
                              capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        shutil.rmtree(partial, ignore_errors=True)
        raise CannotBoot("mmdebstrap took longer than %d s" % timeout)
    if done.returncode != 0:
        shutil.rmtree(partial, ignore_errors=True)
        last = (done.stderr.strip().splitlines() or ["no message"])[-1]
        raise CannotBoot("mmdebstrap could not make a Debian root: " + last)
    with open(os.path.join(partial, ".made-of"), "w") as text:
        text.write(made_of)
    os.rename(partial, root)


def _die_with_parent():
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGTERM)


class Container:
    def __init__(self, root, binds, boot_timeout=60):
        """Boots `root` with the host files of `binds` ({inside: host path})
        mounted read-only."""
        if not shutil.which("systemd-nspawn") or not shutil.which("nsenter"):
            raise CannotBoot("systemd-nspawn (package systemd-container) is not installed")
        self.machine = "torvex-test-%d" % os.getpid()
        self.output = tempfile.TemporaryFile(mode="w+")
        command = ["systemd-nspawn", "-q", "--boot", "--register=no", "--keep-unit",
                   "--volatile=overlay", "--private-network", "-D", root,
                   "--machine=" + self.machine]
        command += ["--bind-ro=%s:%s" % (host, inside) for inside, host in binds.items()]
        self.nspawn = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=self.output,
                                       stderr=subprocess.STDOUT, preexec_fn=_die_with_parent)
        self.init = None
        try:
            self._wait_for_boot(boot_timeout)
        except CannotBoot:
            self.power_off()
            raise

    def _wait_for_boot(self, timeout):
        deadline = time.monotonic() + timeout
        state = "no init"
        while time.monotonic() < deadline:
            if self.nspawn.poll() is not None:
                break
            if self.init is None:
                found = children(self.nspawn.pid)
                self.init = found[0] if found else None
            if self.init is not None:
                try:
                    done = self.run("systemctl", "is-system-running", "--wait", check=False,
                                    timeout=max(1, deadline - time.monotonic()))
                    state = done.stdout.strip() or done.stderr.strip()
                except subprocess.TimeoutExpired:
                    state = "still starting"
                if state in ("running", "degraded"):
                    return
            time.sleep(0.2)
        self.output.seek(0)
        last = (self.output.read().strip().splitlines() or [""])[-1]
        raise CannotBoot("the container did not boot within %d s (%s) %s" % (timeout, state, last))

    def run(self, *command, check=True, timeout=30, input=None):
        """Runs a command inside; returns the CompletedProcess (text)."""
        done = subprocess.run(["nsenter", "-t", str(self.init), "-a", *command],
                              capture_output=True, text=True, input=input, timeout=timeout,
                              stdin=None if input is not None else subprocess.DEVNULL)
        if check and done.returncode != 0:
            raise AssertionError("%s: status %d: %s" % (" ".join(command), done.returncode,
                                                         done.stderr.strip()))
        return done

    def path(self, inside):
        """The host's way to a regular file or folder inside (no symbolic links)."""
        return "/proc/%d/root%s" % (self.init, inside)

    def write(self, inside, text):
        self.run("sh", "-c", 'mkdir -p "$(dirname "$1")" && cat > "$1"', "-", inside, input=text)

    def power_off(self, timeout=60):
        """An orderly shutdown (SIGTERM to systemd-nspawn); past the time-out
        the container's init is killed, which ends everything inside. The
        throw-away layer goes with it."""
        if self.nspawn.poll() is None:
            self.nspawn.send_signal(signal.SIGTERM)
            try:
                self.nspawn.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                try:
                    os.kill(self.init, signal.SIGKILL)
                except (ProcessLookupError, TypeError):
                    pass
                try:
                    self.nspawn.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    self.nspawn.kill()
                    self.nspawn.wait()
        # systemd-nspawn leaves this empty folder behind on a host without machined.
        try:
            os.rmdir("/run/systemd/nspawn/propagate/" + self.machine)
        except OSError:
            pass
        self.output.close()

