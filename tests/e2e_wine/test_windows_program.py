"""torvex.exe under Wine, started as a Windows user starts it, logging from the
simulated instrument on COM7.

Wine does not enforce share mode 0 on COM ports, so a port already held by
another program opens anyway here: that case is covered by the POSIX tests
only."""

import calendar
import glob
import os
import pathlib
import re
import shutil
import signal
import termios
import time
import unittest

from wine_session import (TORVEX_EXE, Simulator, WindowsProgram, com_port_link, crlf, drive_c,
                          map_com_port, program_in_group, reboot, run_wine, scratch_directory,
                          service_state, services_named, windows_path, wine_process)

# wine_session puts the POSIX suites on the path: their texts are this suite's too.
from harness import ANNOUNCE, OPEN_FAILED, RECORD_HELD, REQUEST_FAILED, STOPPED, UntouchedFile
from test_command_line import HELP
from test_faults import (FULL_DISK_REPLY, assert_whole_records_only, cpu_seconds, default_record,
                         fill_all_but_one_page, long_reply, record_of, wait_until)
from test_logging import NOT_WRITTEN, WORKED_REPLY

WORKED_RECORD = b"HDR,x.y,21.5,40%;7,25\r\n"
# The simulator's first default reply, as one record.
FIRST_DEFAULT_RECORD = b"VARNOD,SN 0417,FW 2.3,21.05,40.2%;7,25;1013,4\r\n"
ANNOUNCE_COM7 = crlf(ANNOUNCE.format("COM7", 9600))


class WineCase(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.workdir = scratch_directory()

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.workdir, ignore_errors=True)

    def setUp(self):
        self.cleanups = []

    def tearDown(self):
        for cleanup in reversed(self.cleanups):
            cleanup()

    def path(self, name):
        return os.path.join(self.workdir, name)

    def instrument(self, *options, reply=WORKED_REPLY):
        """The simulator on COM7, which it keeps pointed at its current pty;
        `reply=None` keeps its default replies."""
        if reply is not None:
            with open(self.path("reply.bin"), "wb") as out:
                out.write(reply)
            options = ("--script", self.path("reply.bin"), *options)
        # The simulator's log counts from its start: when that was, on this
        # machine's monotonic clock, to within the time the start took.
        before = time.monotonic()
        sim = Simulator("--link", com_port_link(), *options)
        sim.started_between = (before, time.monotonic())
        self.cleanups.append(sim.close)
        return sim

    def program(self, *args, **streams):
        program = WindowsProgram(self.workdir, *args, **streams)
        self.cleanups.append(program.kill)
        return program

    def assert_ended_in_order(self, sim, requests_at_stop):
        """No request after the stop, and the port closed."""
        self.assertTrue(sim.wait_for(lambda log: any(what == "closed" for _, what in log)),
                        sim.log())
        self.assertEqual(len(sim.requests()), requests_at_stop)
        self.assertEqual(sim.log()[-1][1], "closed")


class LoggingToFile(WineCase):
    """`torvex -p com7 > file` through Wine's cmd: the program sees a disk file."""

    def records(self, name):
        try:
            with open(self.path(name), "rb") as records:
                return records.read()
        except FileNotFoundError:  # cmd has not made it yet
            return b""

    def test_worked_example_with_a_dot_per_poll_and_records_flushed(self):
        sim = self.instrument()
        program = self.program("-p", "com7", "-s", "1", records_file="worked.csv")
        # Each record is in the file while the program still runs.
        self.assertTrue(wait_until(lambda: self.records("worked.csv") == WORKED_RECORD * 3),
                        self.records("worked.csv"))
        self.assertTrue(program.running())
        program.ctrl_c()
        status, _, err = program.finish()
        polls = len(sim.requests())  # 3, or 4 when the stop came after the next request

        self.assertEqual(status, 0)
        self.assertEqual(self.records("worked.csv"), WORKED_RECORD * polls)
        self.assertEqual(err, ANNOUNCE_COM7 + b"." * polls + crlf("\n" + STOPPED))
        self.assert_ended_in_order(sim, polls)
        requests = sim.requests()
        self.assertTrue(all(what == b"I\r\n" for _, what in requests), requests)
        # Start to start, one period apart, on the program's own clock.
        gaps = [later - earlier for (earlier, _), (later, _) in zip(requests, requests[1:])]
        self.assertTrue(all(950 <= gap <= 1200 for gap in gaps), gaps)

    def test_each_record_reaches_the_disk_before_the_next_request(self):
        # strace follows Wine's processes: FlushFileBuffers becomes an fsync
        # of the file's descriptor there.
        sim = self.instrument()
        trace = self.path("trace.txt")
        program = self.program("-p", "com7", "-s", "1", records_file="synced.csv",
                               wrapper=("strace", "-f", "-qq", "-o", trace,
                                        "-e", "trace=write,fsync,fdatasync"))
        self.assertTrue(sim.wait_for_requests(3, timeout=20))
        time.sleep(0.7)  # the third reply ends with its 500 ms of silence
        program.ctrl_c()
        status, _, err = program.finish()
        polls = len(sim.requests())

        self.assertEqual(status, 0)
        self.assertEqual(self.records("synced.csv"), WORKED_RECORD * polls)
        steps, records_fd = [], None
        with open(trace) as calls:
            for call in calls:
                call = call.split(None, 1)[1]  # after the pid
                if '"I\\r\\n", 3)' in call:
                    steps.append("request")
                elif call.startswith("write(") and '"HDR,x.y' in call:
                    records_fd = call[len("write("):call.index(",")]
                    steps.append("record")
                elif records_fd and call.startswith(("fsync(%s)" % records_fd,
                                                     "fdatasync(%s)" % records_fd)):
                    steps.append("sync" if call.rstrip().endswith("= 0") else call.strip())
        self.assertEqual(" ".join(steps), " ".join(["request record sync"] * polls))

    def test_a_full_disk_leaves_whole_records_only(self):
        filler = fill_all_but_one_page(self, self.path("disk"))
        sim = self.instrument("--long", str(FULL_DISK_REPLY), reply=None)
        program = self.program("-p", "com7", "-s", "1", records_file="disk\\full.csv")
        # The fourth record is torn by the full disk, the fifth finds no room at all.
        self.assertTrue(sim.wait_for_requests(5, timeout=20))
        time.sleep(0.8)
        os.remove(filler)
        self.assertTrue(sim.wait_for_requests(7))
        time.sleep(0.8)
        program.ctrl_c()
        status, _, err = program.finish()

        self.assertEqual(status, 1)
        assert_whole_records_only(self, err[len(ANNOUNCE_COM7):].decode(),
                                  self.records("disk/full.csv"), len(sim.requests()), b"\r\n")

    def test_ctrl_c_during_a_poll_still_writes_its_record(self):
        sim = self.instrument("--delay", "300")
        program = self.program("-p", "com7", "-s", "1", records_file="poll.csv")
        self.assertTrue(sim.wait_for_requests(1))
        time.sleep(0.1)  # the reply is due in 200 ms, its end in 700 ms
        program.ctrl_c()
        status, _, err = program.finish()

        self.assertEqual(status, 0)
        self.assertEqual(self.records("poll.csv"), WORKED_RECORD)
        self.assertEqual(err, ANNOUNCE_COM7 + b"." + crlf("\n" + STOPPED))
        self.assert_ended_in_order(sim, 1)


class Console(WineCase):
    """Standard output not redirected by Wine's cmd: no disk file, no dots."""

    def test_records_without_dots_and_ctrl_c_ends_the_wait_at_once(self):
        sim = self.instrument(reply=None)
        program = self.program("-p", "com7", "-s", "30")
        self.assertTrue(wait_until(lambda: program.stdout_so_far() == FIRST_DEFAULT_RECORD),
                        program.stdout_so_far())
        stopped_at = time.monotonic()
        program.ctrl_c()
        status, out, err = program.finish()

        self.assertLess(time.monotonic() - stopped_at, 2.0)  # not the 29 s left of the period
        self.assertEqual(status, 0)
        self.assertEqual(out, FIRST_DEFAULT_RECORD)
        self.assertEqual(err, ANNOUNCE_COM7 + crlf(STOPPED))
        self.assert_ended_in_order(sim, 1)

    # Wine's runtime returns a full count from a write to a broken pipe and
    # only sets the stream's error flag: the run must look at that flag too.
    def test_a_record_that_cannot_be_written_is_reported(self):
        sim = self.instrument()
        reader, writer = os.pipe()
        os.close(reader)
        try:
            program = self.program("-p", "com7", "-s", "1", stdout=writer)
        finally:
            os.close(writer)
        self.assertTrue(sim.wait_for_requests(2))
        time.sleep(0.7)  # the second reply ends with its 500 ms of silence
        program.ctrl_c()
        status, _, err = program.finish()

        self.assertEqual(err, ANNOUNCE_COM7 + crlf(NOT_WRITTEN) * 2 + crlf(STOPPED))
        self.assertEqual(status, 1)


def line_settings(device):
    """(speed, stop bits, hardware flow control) of the pty as the program left it."""
    fd = os.open(device, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    try:
        attributes = termios.tcgetattr(fd)
    finally:
        os.close(fd)
    cflag, ispeed = attributes[2], attributes[4]
    return ispeed, 2 if cflag & termios.CSTOPB else 1, bool(cflag & termios.CRTSCTS)


def preset_line(device, speed, two_stop_bits, flow_control):
    fd = os.open(device, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    try:
        attributes = termios.tcgetattr(fd)
        attributes[2] &= ~(termios.CSTOPB | termios.CRTSCTS)
        attributes[2] |= (termios.CSTOPB if two_stop_bits else 0) | (
            termios.CRTSCTS if flow_control else 0)
        attributes[4] = attributes[5] = speed
        termios.tcsetattr(fd, termios.TCSANOW, attributes)
    finally:
        os.close(fd)


class SerialLine(WineCase):
    """What the program makes of the port: a pty reports only 8 data bits and
    no parity, so speed and stop bits are checked, and that the flow control
    the port had is kept; and how it reads a reply that comes in chunks."""

    def test_a_reply_in_chunks_ends_500_ms_after_its_last_byte(self):
        # As from a UART's FIFO: 14 bytes at a time, a shorter rest 4 ms after
        # the reply's last byte. Each read takes what the driver holds and
        # waits on for no more, so the record follows the silence at once.
        sim = self.instrument("--baud", "9600", "--delivery", "fifo")
        program = self.program("-p", "com7", "-s", "5")
        self.assertTrue(sim.wait_for_requests(1))
        asked = time.monotonic()
        self.assertTrue(wait_until(lambda: program.stdout_so_far() == WORKED_RECORD))
        took = time.monotonic() - asked
        program.ctrl_c()
        status, out, _ = program.finish()

        self.assertEqual((status, out), (0, WORKED_RECORD))
        # 34 ms of reply and 500 ms of silence; a read that waited for a fuller
        # count would end the reply only after a second.
        self.assertGreater(took, 0.45)
        self.assertLess(took, 0.8)

    def test_speed_and_stop_bits_set_and_flow_control_kept(self):
        cases = [
            ("4800", termios.B4800, True),
            ("19200", termios.B19200, False),
            ("38400", termios.B38400, True),
        ]
        for baud, speed, flow_control in cases:
            with self.subTest(baud=baud):
                sim = self.instrument()
                preset_line(sim.device, termios.B1200, True, flow_control)
                program = self.program("-p", "com7", "-b", baud, "-s", "30")
                self.assertTrue(sim.wait_for_requests(1))
                settings = line_settings(sim.device)
                program.ctrl_c()
                status, out, err = program.finish()

                self.assertEqual(settings, (speed, 1, flow_control))
                self.assertEqual(status, 0)
                self.assertEqual(out, WORKED_RECORD)
                self.assertEqual(err, crlf(ANNOUNCE.format("COM7", baud) + STOPPED))


def holders(identity):
    """The processes of ours that have the device of `identity` (its stat) open,
    though it may have vanished: Wine's server or the program itself."""
    found = set()
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            for fd in os.listdir("/proc/%s/fd" % pid):
                held = os.stat("/proc/%s/fd/%s" % (pid, fd))
                if (held.st_rdev, held.st_ino) == (identity.st_rdev, identity.st_ino):
                    found.add(int(pid))
        except OSError:  # gone meanwhile, or not ours to look at
            continue
    return found


class Unplugged(WineCase):
    """The adapter pulled out and plugged in again: Windows keeps its COM
    number, so COM7 then leads to the simulator's new pty."""

    def records(self, name):
        with open(self.path(name), "rb") as records:
            return records.read()

    def test_outage_and_return(self):
        # Unplugged in the wait after its second reply, or while the program
        # waits for the silence that ends it. Wine's ReadFile on a hung-up pty
        # only times out, so there too the next request's WriteFile finds the
        # loss. Meanwhile COM7 leads nowhere, or to a regular file, which must
        # be left as it is. The run goes on either way.
        cases = [
            ("in the wait", "600", "nothing"),
            ("in the wait", "600", "a regular file"),
            ("in the reply's silence", "100", "nothing"),
        ]
        for number, (moment, quiet, meanwhile) in enumerate(cases):
            with self.subTest(unplugged=moment, com7_leads_to=meanwhile):
                sim = self.instrument("--replug-after", "2", "--gap", "3500", "--quiet", quiet,
                                      reply=None)
                records_file = "outage%d.csv" % number
                program = self.program("-p", "com7", "-s", "1", records_file=records_file)
                self.assertTrue(sim.wait_for_requests(2))
                old_device = os.stat(sim.device)
                self.assertTrue(holders(old_device))
                self.assertTrue(sim.wait_for(lambda log: "vanished" in (w for _, w in log)))
                seen = time.monotonic()
                if meanwhile == "a regular file":
                    plain = UntouchedFile(self.path("plain.txt"))
                    map_com_port(plain.path)
                # Let go within one period.
                self.assertTrue(wait_until(lambda: not holders(old_device), 1.5))
                closed_ms = (time.monotonic() - seen) * 1000
                pid = program_in_group(program.process.pid, "torvex.exe")
                cpu = cpu_seconds(pid)
                self.assertIsNotNone(sim.next_device(), "the simulator did not come back")
                outage_cpu = cpu_seconds(pid) - cpu
                self.assertTrue(sim.wait_for_requests(4))
                returned_ms = sim.ms_to_request_after_replug()
                self.assertLess(returned_ms, 1100)
                time.sleep(0.7)  # the last reply ends with its 500 ms of silence
                program.ctrl_c()
                status, _, err = program.finish()
                polls = len(sim.requests())
                print("figure: under Wine, unplugged %s, COM7 leading to %s meanwhile: port "
                      "closed %.0f ms after the loss, %.3f s of CPU in the outage, requests "
                      "again %.0f ms after its return"
                      % (moment, meanwhile, closed_ms, outage_cpu, returned_ms))

                self.assertLess(outage_cpu, 0.1)
                self.assertEqual(status, 0)
                self.assertEqual(self.records(records_file),
                                 b"".join(crlf(default_record(n)) for n in range(1, polls + 1)))
                failures = err.count(crlf(REQUEST_FAILED))
                self.assertIn(failures, (3, 4, 5))  # the 3.5 s away and the time before
                self.assertEqual(err, ANNOUNCE_COM7 + b".." + (b"." + crlf(REQUEST_FAILED)) * failures
                                 + b"." * (polls - 2) + crlf("\n" + STOPPED))
                if meanwhile == "a regular file":
                    plain.assert_untouched(self)

    def test_ctrl_c_during_an_outage_ends_the_run_in_order(self):
        sim = self.instrument("--vanish-after", "1")
        program = self.program("-p", "com7", "-s", "1", records_file="outage.csv")
        self.assertTrue(sim.wait_for(lambda log: "vanished" in (w for _, w in log)))
        time.sleep(2.2)  # two periods of the outage at least
        stopped_at = time.monotonic()
        program.ctrl_c()
        status, _, err = program.finish()

        self.assertLess(time.monotonic() - stopped_at, 2.0)
        self.assertEqual(status, 0)
        self.assertEqual(self.records("outage.csv"), WORKED_RECORD)
        failures = err.count(crlf(REQUEST_FAILED))
        self.assertIn(failures, (2, 3, 4))
        self.assertEqual(err, ANNOUNCE_COM7 + b"." + (b"." + crlf(REQUEST_FAILED)) * failures
                         + crlf("\n" + STOPPED))


# The installers of this build and of a later version, and a reader that
# holds a file open as other programs do.
MSI = os.environ.get("TORVEX_MSI", "")
NEXT_MSI = os.environ.get("TORVEX_NEXT_MSI", "")
FILE_READER = os.environ.get("TORVEX_FILE_READER", "")
# Replies that carry their number: "R000001,1.5%,2.25" and one more line.
NUMBERED_REPLY = 34
# The service's stamp: UTC to the millisecond, first on each record and log line.
STAMP = re.compile(rb"^(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d)\.(\d{3})")
STAMP_LENGTH = 23
UNATTENDED_ANNOUNCE = "Conectando al puerto {} a {} baudios, un registro cada {} s\n"
WAITING_FOR_PORT = "Se reintentara cada periodo hasta que el puerto responda\n"
RECORDS_RESUMED = "Registros reanudados\n"
# Writing around a file, and the service's own file that it writes instead.
IN_USE = "No se escribe en {}: otro programa lo tiene abierto sin dejar escribir; se escribe en {}\n"
NOT_PLAIN = "No se escribe en {}: no es un archivo simple del servicio; se escribe en {}\n"


def own_file(name):
    stem, extension = os.path.splitext(name)
    return stem + ".servicio" + extension


def stamp_seconds(line):
    """The seconds since 1970 of the stamp that begins `line`, or None."""
    stamp = STAMP.match(line)
    if stamp is None:
        return None
    whole = calendar.timegm(time.strptime(stamp.group(1).decode(), "%Y-%m-%dT%H:%M:%S"))
    return whole + int(stamp.group(2)) / 1000


class WindowsService(WineCase):
    """torvexsvc.exe installed by its MSI and run by Wine's service manager,
    logging from the simulator into the records folder."""

    def setUp(self):
        super().setUp()
        self.folder = drive_c("ProgramData", "TORVEX")
        shutil.rmtree(self.folder, ignore_errors=True)
        self.cleanups.append(self.uninstall_everything)

    def uninstall_everything(self):
        """What a failed test left: no service may go on holding a port, or
        start at the next boot. Removed without their stop, which may be the fault."""
        for name in services_named("torvex-"):
            run_wine("sc", "delete", name)  # gone once its process ends
        while wine_process("torvexsvc.exe") is not None:
            os.kill(wine_process("torvexsvc.exe"), signal.SIGKILL)
            time.sleep(0.1)
        for msi in (NEXT_MSI, MSI):
            run_wine("msiexec", "/x", windows_path(msi), "/qn")

    def install(self, msi, *properties):
        status, out = run_wine("msiexec", "/i", windows_path(msi), "/qn", *properties)
        self.assertEqual(status, 0, out)

    def records(self, port, files="-*.csv"):
        """The port's records files as one, their lines in the order of
        their stamps (as text); a file's last line that is not whole comes last."""
        lines, torn = [], b""
        for name in glob.glob(os.path.join(self.folder, port + files)):
            with open(name, "rb") as records:
                text = records.read()
            end = text.rfind(b"\n") + 1
            lines += text[:end].splitlines(keepends=True)
            torn += text[end:]
        return b"".join(sorted(lines)) + torn

    def dated_file(self, port):
        """The name of the port's records file for now, at -s 1."""
        return time.strftime(port + "-%Y-%m-%d.csv", time.gmtime())

    def log(self, port):
        """The port's log as text, each line's stamp checked and taken off."""
        with open(os.path.join(self.folder, port + "-mensajes.log"), "rb") as log:
            lines = log.read().split(b"\r\n")
        self.assertEqual(lines[-1], b"", "the last line is not whole")
        for line in lines[:-1]:
            self.assertIsNotNone(stamp_seconds(line), line)
            self.assertEqual(line[STAMP_LENGTH:STAMP_LENGTH + 1], b" ", line)
        return "".join(line[STAMP_LENGTH + 1:].decode() + "\n" for line in lines[:-1])

    def assert_numbered_records(self, port, reply=NUMBERED_REPLY):
        """Every line a stamp, a comma and a whole record of a reply, in CR
        LF, exactly as converted; numbers and stamps rising, no number
        repeated. Returns {number: stamp in seconds since 1970}."""
        lines = self.records(port).split(b"\r\n")
        self.assertEqual(lines[-1], b"", "the last record is not whole")
        stamped = {}
        for line in lines[:-1]:
            stamp = stamp_seconds(line)
            self.assertIsNotNone(stamp, line)
            self.assertEqual(line[STAMP_LENGTH:STAMP_LENGTH + 1], b",", line)
            record = line[STAMP_LENGTH + 1:]
            number = int(record[1:7])
            self.assertEqual(record + b"\n", record_of(long_reply(number, reply)))
            self.assertNotIn(number, stamped)
            stamped[number] = stamp
        self.assertEqual(list(stamped), sorted(stamped))
        self.assertEqual(list(stamped.values()), sorted(stamped.values()))
        return stamped

    def assert_stamped_as_asked(self, sim, stamped):
        """Each record's stamp is the wall clock's time when its request
        reached the simulator (the number-th request), or a little before
        (more on a busy machine): the stamp is taken as the request goes out,
        not once the reply is in, half a second later at the least."""
        requests = sim.requests()
        wall_minus_monotonic = time.time() - time.monotonic()
        earliest, latest = (moment + wall_minus_monotonic for moment in sim.started_between)
        for number, stamp in stamped.items():
            asked = requests[number - 1][0] / 1000
            self.assertGreater(stamp, earliest + asked - 0.3, "record %d" % number)
            self.assertLess(stamp, latest + asked + 0.01, "record %d" % number)

    def test_installed_it_records_stops_in_order_and_survives_a_reboot_and_an_upgrade(self):
        sim = self.instrument("--long", str(NUMBERED_REPLY), reply=None)
        self.install(MSI, "PORT=COM7", "PERIOD=1")
        self.assertEqual(service_state("torvex-COM7"), ("RUNNING", 0))
        # Started at boot, as LocalService.
        _, config = run_wine("reg", "query", r"HKLM\System\CurrentControlSet\Services\torvex-COM7")
        for setting in (r"DisplayName\s+REG_SZ\s+TORVEX COM7\r", r"Start\s+REG_DWORD\s+0x2\r",
                        r"ObjectName\s+REG_SZ\s+NT AUTHORITY\\LocalService\r"):
            self.assertRegex(config, setting)
        # Its folder is on the PATH of every new console.
        self.assertEqual(run_wine("cmd", "/c", "torvex -h"), (0, crlf(HELP).decode()))
        self.assertTrue(wait_until(lambda: self.records("COM7").count(b"\n") >= 3))
        self.assertEqual(list(self.assert_numbered_records("COM7"))[:3], [1, 2, 3])

        # Readers of every kind open the log and the records file between
        # writes. A record due while a reader lets nobody write goes to the
        # service's own file beside it, and the log says so, once a time.
        name = self.dated_file("COM7")
        notices = ""
        for how in ("shares-writing", "shares-reading", "edits"):
            with self.subTest(reader=how):
                status, out = run_wine(FILE_READER, windows_path(os.path.join(
                    self.folder, "COM7-mensajes.log")), "0", how)
                self.assertEqual(status, 0, out)
                status, out = run_wine(FILE_READER, windows_path(os.path.join(self.folder, name)),
                                       "1500", how)
                sizes = re.findall(r"(?:opened|held) (\d+)", out)
                self.assertEqual((status, len(sizes)), (0, 2), out)
                if how == "shares-writing":
                    self.assertGreater(int(sizes[1]), int(sizes[0]), "no record added meanwhile")
                else:
                    notices += IN_USE.format(name, own_file(name))
                # Once the reader is gone, records go where they belong again.
                size = os.path.getsize(os.path.join(self.folder, name))
                self.assertTrue(wait_until(
                    lambda: os.path.getsize(os.path.join(self.folder, name)) > size, 3))

        # `sc stop` is the orderly end: the last record whole, the closing message logged.
        status, out = run_wine("sc", "stop", "torvex-COM7")
        self.assertEqual(status, 0, out)
        # Within the wait hint the service gave (8 s).
        self.assertTrue(wait_until(lambda: service_state("torvex-COM7") == ("STOPPED", 0), 8),
                        service_state("torvex-COM7"))
        self.assertTrue(sim.wait_for(lambda log: log[-1][1] == "closed"))
        before_stop = self.assert_numbered_records("COM7")
        self.assertEqual(self.log("COM7"),
                         UNATTENDED_ANNOUNCE.format("COM7", 9600, 1) + notices + STOPPED)
        self.assertTrue(os.path.exists(os.path.join(self.folder, own_file(name))))

        # Stopped for 5 s and started again: the stamps show the gap.
        time.sleep(5)
        status, out = run_wine("sc", "start", "torvex-COM7")
        self.assertEqual(status, 0, out)
        self.assertTrue(wait_until(
            lambda: self.records("COM7").count(b"\n") >= len(before_stop) + 2, 15))
        stamped = self.assert_numbered_records("COM7")
        self.assert_stamped_as_asked(sim, stamped)
        stamps = list(stamped.values())
        gaps = [later - earlier for earlier, later in zip(stamps, stamps[1:])]
        stop_gap = gaps.pop(len(before_stop) - 1)
        self.assertGreaterEqual(stop_gap, 5.0, stamps)
        self.assertTrue(all(0.7 <= gap <= 1.3 for gap in gaps), gaps)
        before_reboot = list(stamped)

        # A reboot: set to start automatically, it appends to the same file.
        reboot()
        self.assertTrue(wait_until(
            lambda: self.records("COM7").count(b"\n") >= len(before_reboot) + 2, 15),
            "no records after the reboot: %s" % (service_state("torvex-COM7"),))
        self.assertEqual(service_state("torvex-COM7"), ("RUNNING", 0))
        after_reboot = list(self.assert_numbered_records("COM7"))
        self.assertEqual(after_reboot[:len(before_reboot)], before_reboot)

        # A later version over this one keeps the service running and its records.
        self.install(NEXT_MSI)
        self.assertEqual(service_state("torvex-COM7"), ("RUNNING", 0))
        self.assertTrue(wait_until(
            lambda: self.records("COM7").count(b"\n") >= len(after_reboot) + 2, 15),
            "no records after the upgrade")
        self.assertEqual(list(self.assert_numbered_records("COM7"))[:len(after_reboot)],
                         after_reboot)

    def test_a_missing_adapter_is_waited_for_and_uninstall_removes_every_service(self):
        # Bad options refuse the whole install, as they refuse a run.
        self.assertNotEqual(run_wine("msiexec", "/i", windows_path(MSI), "/qn", "PORT=COM5",
                                     "BAUD=300")[0], 0)
        self.assertEqual(glob.glob(drive_c("Program Files*", "TORVEX")), [])
        self.assertNotEqual(run_wine("cmd", "/c", "torvex -h")[0], 0)  # not on the PATH
        metrics_folder = drive_c("metricas")
        shutil.rmtree(metrics_folder, ignore_errors=True)
        self.install(MSI, r"METRICS=C:\metricas")
        self.assertEqual(services_named("torvex-"), [])  # no PORT, no service
        # A port whose name has a space stays one argument of the service's command.
        service_exe = glob.glob(drive_c("Program Files*", "TORVEX", "torvexsvc.exe"))[0]
        status, out = run_wine(service_exe, "install", "-p", "MI COM", "-s", "1")
        self.assertEqual(status, 0, out)
        _, config = run_wine("reg", "query", r"HKLM\System\CurrentControlSet\Services\torvex-MI COM")
        self.assertRegex(config, r'ImagePath\s+REG_\w+\s+"[^"]*torvexsvc.exe" run -p "MI COM" -b 9600 -s 1\r')
        log = os.path.join(self.folder, "MI COM-mensajes.log")
        self.assertTrue(wait_until(lambda: os.path.exists(log)
                                   and "MI COM a 9600" in self.log("MI COM")))
        self.assertEqual(run_wine(service_exe, "remove", "-p", "MI COM")[0], 0)
        # Options are checked as torvex.exe checks them.
        self.assertEqual(run_wine("cmd", "/c", "torvexsvc install -p COM5 -b 300"),
                         (1, crlf("Los baudios indicados no son validos, deben ser 4800, 9600, "
                                  "19200 o 38400\n").decode()))
        self.assertEqual(services_named("torvex-"), [])

        # The install made the records folder. A user's file linked under
        # the name the records are about to take (today's, or tomorrow's
        # past midnight) is left alone: they go to the service's own file.
        planted = UntouchedFile(drive_c("planted.csv"))
        self.cleanups.append(lambda: os.remove(planted.path))
        for day in (0, 1):
            os.link(planted.path, os.path.join(self.folder, time.strftime(
                "COM5-%Y-%m-%d.csv", time.gmtime(time.time() + day * 86400))))
        name = self.dated_file("COM5")

        # COM5 leads nowhere yet: the service runs all the same and waits.
        link = os.path.join(os.path.dirname(com_port_link()), "com5")
        status, out = run_wine("cmd", "/c", "torvexsvc install -p com5 -s 1")
        self.assertEqual(status, 0, out)
        self.assertEqual(service_state("torvex-COM5"), ("RUNNING", 0))
        pid = wine_process("torvexsvc.exe")
        cpu = cpu_seconds(pid)
        time.sleep(3)
        waiting_cpu = cpu_seconds(pid) - cpu
        sim = Simulator("--link", link, "--long", str(NUMBERED_REPLY))
        self.cleanups.append(sim.close)
        self.assertTrue(wait_until(
            lambda: self.records("COM5", "-*.servicio.csv").count(b"\n") >= 2),
            "no records in the service's own file; the planted file holds %r"
            % pathlib.Path(planted.path).read_bytes()[:200])
        planted.assert_untouched(self)
        for linked in glob.glob(os.path.join(self.folder, "COM5-*-*[0-9].csv")):
            os.remove(linked)
        numbers = list(self.assert_numbered_records("COM5"))
        self.assertEqual(numbers, list(range(1, len(numbers) + 1)))
        # An outage's start and end, once each, and the file written around.
        self.assertEqual(self.log("COM5"), UNATTENDED_ANNOUNCE.format("COM5", 9600, 1)
                         + OPEN_FAILED + WAITING_FOR_PORT + NOT_PLAIN.format(name, own_file(name))
                         + RECORDS_RESUMED)
        # Its metrics, for windows_exporter, in the folder the install was given.
        metrics = os.path.join(metrics_folder, "torvex-COM5.prom")
        # Rewritten 10 s at most after the first poll's, which found no port.
        written = r'torvex_records_written_total\{instrument="COM5"\} [1-9]\d*\n'
        self.assertTrue(wait_until(lambda: os.path.exists(metrics) and re.search(
            written, pathlib.Path(metrics).read_text()), 15))
        text = pathlib.Path(metrics).read_text()
        for sample in (r'torvex_request_errors_total\{instrument="COM5"\} [1-9]\d*\n',
                       r'torvex_period_seconds\{instrument="COM5"\} 1\n',
                       r'torvex_records_filesystem_size_bytes\{instrument="COM5"\} [1-9]\d*\n',
                       r'# TYPE torvex_write_errors_total counter\n'):
            self.assertRegex(text, sample)
        last = float(re.search(r'torvex_last_record_timestamp_seconds\{instrument="COM5"\} (\S+)\n',
                               text).group(1))
        self.assertLess(abs(time.time() - last), 12)
        self.assertEqual(os.listdir(metrics_folder), ["torvex-COM5.prom"])
        print("figure: under Wine, the service waiting for its adapter used %.3f s of CPU in 3 s"
              % waiting_cpu)
        self.assertLess(waiting_cpu, 0.1)

        # Uninstall: every TORVEX service goes, the one added by hand too, and
        # the programs with it; the records and logs stay.
        status, out = run_wine("msiexec", "/x", windows_path(MSI), "/qn")
        self.assertEqual(status, 0, out)
        self.assertEqual(services_named("torvex-"), [])
        self.assertEqual(glob.glob(drive_c("Program Files*", "TORVEX")), [])
        self.assertNotEqual(self.records("COM5"), b"")
        self.assertNotEqual(run_wine("cmd", "/c", "torvex -h")[0], 0)
        self.assertEqual(os.listdir(metrics_folder), [])  # stopped in order: no alarm


    def test_a_full_disk_holds_the_records_back_until_there_is_room(self):
        filler = fill_all_but_one_page(self, self.folder)
        # A page more, for the log beside the records: the fourth record is torn.
        os.truncate(filler, os.path.getsize(filler) - os.sysconf("SC_PAGE_SIZE"))
        sim = self.instrument("--long", str(FULL_DISK_REPLY), reply=None)
        # Added from the build folder by its own command, without the installer.
        program = os.path.join(os.path.dirname(os.path.abspath(TORVEX_EXE)), "torvexsvc.exe")
        status, out = run_wine(program, "install", "-p", "com7", "-s", "1")
        self.assertEqual(status, 0, out)
        self.assertTrue(sim.wait_for_requests(5, timeout=20))
        time.sleep(0.8)
        os.remove(filler)
        self.assertTrue(sim.wait_for_requests(7))
        time.sleep(0.8)
        run_wine("sc", "stop", "torvex-COM7")
        # Every record written in the end: the exit code says none was lost.
        self.assertTrue(wait_until(lambda: service_state("torvex-COM7") == ("STOPPED", 0), 8),
                        service_state("torvex-COM7"))
        self.assertEqual(run_wine(program, "remove", "-p", "com7"),
                         (0, "Servicio torvex-COM7 eliminado\r\n"))

        # Whole, in the order taken, none missing: those held came first once there was room.
        numbers = list(self.assert_numbered_records("COM7", FULL_DISK_REPLY))
        self.assertEqual(numbers, list(range(1, len(numbers) + 1)))
        self.assertGreaterEqual(len(numbers), 7)
        log = self.log("COM7")
        self.assertEqual(log.count(RECORD_HELD), 1, "the disk was never full: " + log)
        self.assertEqual(log.count(RECORDS_RESUMED), 1, log)
        self.assertLess(log.index(RECORD_HELD), log.index(RECORDS_RESUMED), log)


class Errors(WineCase):
    def test_command_lines_that_end_before_any_poll(self):
        with open(self.path("datos1.csv"), "wb"):
            pass
        map_com_port("/nonexistent/torvex-no-pty")
        cases = [
            (["-h"], 0, crlf(HELP)),
            # The runtime expands the wildcard before the options are read.
            (["dat*.csv"], 1, crlf("Opcion desconocida: datos1.csv\n")),
            (["-p", "torvexnoport", "-b", "19200"], 1,
             crlf(ANNOUNCE.format("TORVEXNOPORT", 19200) + OPEN_FAILED)),
            (["-p", "com7"], 1, ANNOUNCE_COM7 + crlf(OPEN_FAILED)),
        ]
        for args, expected_status, expected_err in cases:
            with self.subTest(args=args):
                status, out, err = self.program(*args).finish()
                self.assertEqual((status, out, err), (expected_status, b"", expected_err))


if __name__ == "__main__":
    unittest.main()
