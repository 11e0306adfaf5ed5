"""Shared helpers for the end-to-end tests: the logger binary, the instrument
simulator on a pseudo-terminal, and exact reads of what the logger wrote."""

import datetime
import os
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

TORVEX = os.environ.get("TORVEX", "build/native/torvex")
TORVEX_SIM = os.environ.get("TORVEX_SIM", "build/native/tools/torvex_sim")
TORVEXSVC = os.environ.get("TORVEXSVC", "build/native/torvexsvc")
# A build for another machine runs in its emulator (e.g. /usr/bin/qemu-aarch64).
EMULATOR = os.environ.get("TORVEX_EMULATOR", "").split()

ANNOUNCE = "Conectando al puerto {} a {} baudios, pulse Ctrl-C para terminar...\n"
STOPPED = "Terminado por el usuario\n"
UNATTENDED_ANNOUNCE = "Conectando al puerto {} a {} baudios, un registro cada {} s\n"
# The time that begins each line written unattended: UTC, to the millisecond.
STAMP = r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}"
OPEN_FAILED = "No se pudo abrir el puerto\n"
REQUEST_FAILED = "Error al solicitar la informacion\n"
NOT_WRITTEN = "No se pudo escribir el registro\n"
WORKED_REPLY = b"HDR,x.y\r\nT,21.5\r\nH,40%,7.25\r\n"
# What the services' unattended run says besides.
WAITING_FOR_PORT = "Se reintentara cada periodo hasta que el puerto responda\n"
RECORDS_RESUMED = "Registros reanudados\n"
RECORD_HELD = "No se pudo escribir el registro; se guarda hasta que se pueda\n"
WORKED_RECORD = b"HDR,x.y,21.5,40%;7,25\n"


def logger_command(*args, program=TORVEX):
    """The command line that starts the logger, through the emulator if any."""
    return [*EMULATOR, program, *args]


class UntouchedFile:
    """A regular file that the port's name is led to: the logger must leave
    it as it is, content and modification time."""

    CONTENT = b"keep me\n"

    def __init__(self, path):
        self.path = path
        with open(path, "wb") as out:
            out.write(self.CONTENT)
        self.before = os.stat(path)

    def assert_untouched(self, test):
        with open(self.path, "rb") as back_in:
            test.assertEqual(back_in.read(), self.CONTENT)
        after = os.stat(self.path)
        test.assertEqual((self.before.st_size, self.before.st_mtime_ns),
                         (after.st_size, after.st_mtime_ns))


def stamp_ms(stamp):
    """Milliseconds since 1970 of a stamp of the unattended run."""
    when = datetime.datetime.strptime(stamp, "%Y-%m-%dT%H:%M:%S.%f")
    return when.replace(tzinfo=datetime.timezone.utc).timestamp() * 1000


def run_logger(*args, timeout=10):
    """Runs the logger to its end; returns (status, stdout bytes, stderr bytes)."""
    done = subprocess.run(logger_command(*args), stdin=subprocess.DEVNULL, capture_output=True,
                          timeout=timeout)
    return done.returncode, done.stdout, done.stderr


class Simulator:
    """The instrument simulator on a pseudo-terminal of its own.

    `port` is the name to give the logger: the pty itself, or with `link` a
    stable name that the simulator keeps leading to its current pty, as udev
    does for an adapter. An instrument that may vanish needs the link: once
    its pty is gone, another program's new pty may get the same number."""

    def __init__(self, *options, link=False):
        self.scratch = tempfile.mkdtemp(prefix="torvex-e2e-")
        self.log_path = os.path.join(self.scratch, "requests.log")
        if link:
            # At most 18 characters, as -p takes; Python's temporary names
            # are lower case, so the upper-cased name finds only this one.
            self.link_folder = tempfile.mkdtemp(prefix="tv", dir="/tmp")
            options = ("--link", os.path.join(self.link_folder, "p"), *options)
        self.process = subprocess.Popen([TORVEX_SIM, "--log", self.log_path, *options],
                                        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                        start_new_session=True)
        self.device = self.process.stdout.readline().decode().strip()
        if not self.device.startswith("/"):
            raise RuntimeError("simulator gave no device: %r" % self.device)
        self.port = os.path.join(self.link_folder, "p") if link else self.device

    def next_device(self, timeout=10.0):
        """The pty of a replugged instrument, once it is there."""
        ready, _, _ = select.select([self.process.stdout], [], [], timeout)
        return self.process.stdout.readline().decode().strip() if ready else None

    def events(self, word):
        """The simulator's times of an event ("vanished", "replugged", ...)."""
        return [ms for ms, what in self.log() if what == word]

    def ms_to_request_after_replug(self):
        """How long after the instrument came back the first request reached it."""
        back = self.events("replugged")[0]
        return [ms for ms, _ in self.requests() if ms > back][0] - back

    def log(self):
        """[(ms, request bytes or event word)] in the order the simulator saw them."""
        entries = []
        if not os.path.exists(self.log_path):
            return entries
        with open(self.log_path) as log:
            for line in log:
                stamp, what = line.split()
                try:
                    entries.append((float(stamp), bytes.fromhex(what)))
                except ValueError:
                    entries.append((float(stamp), what))
        return entries

    def requests(self):
        return [(ms, what) for ms, what in self.log() if isinstance(what, bytes)]

    def wall_ms(self, ms):
        """The wall clock, in ms since 1970, at a time of the simulator's log."""
        at, wall = next((at, float(what[5:])) for at, what in self.log()
                        if isinstance(what, str) and what.startswith("wall:"))
        return wall + ms - at

    def wait_for(self, predicate, timeout=10.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if predicate(self.log()):
                return True
            time.sleep(0.02)
        return False

    def wait_for_requests(self, count, timeout=10.0):
        return self.wait_for(lambda log: sum(isinstance(w, bytes) for _, w in log) >= count,
                             timeout)

    def close(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process.stdout.close()
        shutil.rmtree(self.scratch, ignore_errors=True)
        if hasattr(self, "link_folder"):
            shutil.rmtree(self.link_folder, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class Logger:
    """The logger running in the background, its standard output in a file."""

    def __init__(self, *args, stdout_path=None, stdout=None, program=TORVEX, env=None):
        self.stdout_path = stdout_path
        self.stderr_file = tempfile.TemporaryFile()
        out = stdout if stdout is not None else (
            open(stdout_path, "wb") if stdout_path else subprocess.DEVNULL)
        self.process = subprocess.Popen(logger_command(*args, program=program),
                                        stdin=subprocess.DEVNULL, stdout=out,
                                        stderr=self.stderr_file, env=env)
        if stdout_path and stdout is None:
            out.close()

    def interrupt(self, sig=signal.SIGINT):
        self.process.send_signal(sig)

    def finish(self, timeout=10):
        """Waits for the end; returns (status, stderr text)."""
        status = self.process.wait(timeout=timeout)
        self.stderr_file.seek(0)
        return status, self.stderr_file.read().decode("latin-1")

    def stderr_so_far(self):
        self.stderr_file.seek(0)
        return self.stderr_file.read().decode("latin-1")

    def records(self):
        with open(self.stdout_path, "rb") as out:
            return out.read()

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        self.stderr_file.close()


class EndToEnd(unittest.TestCase):
    def setUp(self):
        self.scratch = tempfile.mkdtemp(prefix="torvex-e2e-")
        self.cleanups = [lambda: shutil.rmtree(self.scratch, ignore_errors=True)]

    def tearDown(self):
        for cleanup in reversed(self.cleanups):
            cleanup()

    def simulator(self, *options, link=False):
        sim = Simulator(*options, link=link)
        self.cleanups.append(sim.close)
        return sim

    def logger(self, *args, **kwargs):
        logger = Logger(*args, **kwargs)
        self.cleanups.append(logger.kill)
        return logger

    def path(self, name):
        return os.path.join(self.scratch, name)

    def scripted(self, reply=WORKED_REPLY, *options, link=False):
        """A simulator that answers every request with the given bytes."""
        script = self.path("reply.bin")
        with open(script, "wb") as out:
            out.write(reply)
        return self.simulator("--script", script, *options, link=link)

    def announce(self, sim, baud=9600):
        return ANNOUNCE.format(sim.port.upper(), baud)

    def unattended(self, sim, folder, seconds, records, sig=signal.SIGTERM):
        """torvexsvc's run as the service runs it, logger ttyUSB0, its records
        in `folder`, stopped with `sig` once `records` replies have ended.
        Returns (status, messages)."""
        os.mkdir(folder)
        run = self.logger("run", "ttyUSB0", "-p", sim.port, "-s", seconds, program=TORVEXSVC,
                          env=dict(os.environ, LOGS_DIRECTORY=folder))
        self.assertTrue(sim.wait_for_requests(records, timeout=int(seconds) * records + 5))
        time.sleep(0.7)  # the last reply ends with its 500 ms of silence
        run.interrupt(sig)
        return run.finish()


def main():
    """Runs the tests named on the command line; when every one of them was
    skipped, says why and ends with CTest's skip status."""
    result = unittest.main(verbosity=2, exit=False).result
    if not result.wasSuccessful():
        sys.exit(1)
    if result.skipped and len(result.skipped) >= result.testsRun:
        print("skipped: " + result.skipped[0][1])
        sys.exit(77)
