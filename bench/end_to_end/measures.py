"""What the kernel says about a process or the machine: when a file is
written (inotify), on-CPU time, wake-ups and memory (/proc), system calls
(perf's count) and disk sync times (strace)."""
import ctypes
import os
import platform
import re
import select
import struct
import time

from .common import BenchError

# ---------------------------------------------------------------- inotify

IN_MODIFY = 0x2
EVENT_HEADER = struct.Struct("iIII")


class Notifier:
    """Wakes up when a watched file is written to, and says when."""

    def __init__(self):
        self.libc = ctypes.CDLL(None, use_errno=True)
        self.fd = self.libc.inotify_init1(os.O_CLOEXEC | os.O_NONBLOCK)
        if self.fd < 0:
            raise BenchError("inotify: " + os.strerror(ctypes.get_errno()))

    def watch(self, path):
        wd = self.libc.inotify_add_watch(self.fd, os.fsencode(path), IN_MODIFY)
        if wd < 0:
            raise BenchError(f"inotify on {path}: " + os.strerror(ctypes.get_errno()))
        return wd

    def wait(self, timeout):
        """(CLOCK_MONOTONIC seconds at wake-up, set of watch descriptors written to)."""
        ready, _, _ = select.select([self.fd], [], [], timeout)
        now = time.monotonic()
        written = set()
        if ready:
            try:
                data = os.read(self.fd, 65536)
            except BlockingIOError:
                data = b""
            offset = 0
            while offset < len(data):
                wd, _mask, _cookie, length = EVENT_HEADER.unpack_from(data, offset)
                written.add(wd)
                offset += EVENT_HEADER.size + length
        return now, written

    def close(self):
        os.close(self.fd)


# ---------------------------------------------------------------- /proc

def cpu_ns(pid):
    """On-CPU time of every thread of the process, in ns: exact, where
    getrusage's user and system times are sampled at the scheduler's tick."""
    total = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        with open(f"/proc/{pid}/task/{task}/schedstat") as stat:
            total += int(stat.read().split()[0])
    return total


def wake_ups(pid):
    """Times every thread of the process gave up the CPU to wait (voluntary context switches)."""
    total = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        with open(f"/proc/{pid}/task/{task}/status") as status:
            for line in status:
                if line.startswith("voluntary_ctxt_switches:"):
                    total += int(line.split()[1])
    return total


def kib_field(path, name):
    """The KiB of the line "name: N kB" in a /proc file."""
    with open(path) as lines:
        for line in lines:
            if line.startswith(name + ":"):
                return int(line.split()[1])
    raise BenchError(f"no {name} in {path}")


def peak_rss_kib(pid):
    return kib_field(f"/proc/{pid}/status", "VmHWM")


def pss_kib(pid):
    """Proportional set size: each page shared by k processes counts 1/k."""
    return kib_field(f"/proc/{pid}/smaps_rollup", "Pss")


def machine_busy_s():
    """CPU time the whole machine has spent on anything but idling, in s, all
    cores together (/proc/stat, sampled at the tick: only for long spans)."""
    with open("/proc/stat") as stat:
        ticks = [int(field) for field in stat.readline().split()[1:9]]
    idle = ticks[3] + ticks[4]  # idle and waiting for I/O
    return (sum(ticks) - idle) / os.sysconf("SC_CLK_TCK")


def filesystem_of(path):
    """"ext4 on /dev/vda": the file system that holds `path`, from /proc/mounts."""
    path = os.path.realpath(path)
    best = ("", "unknown file system", "")
    with open("/proc/mounts") as mounts:
        for line in mounts:
            device, mount_point, kind = line.split()[:3]
            inside = path == mount_point or path.startswith(mount_point.rstrip("/") + "/")
            if inside and len(mount_point) >= len(best[0]):
                best = (mount_point, kind, device)
    return f"{best[1]} on {best[2]}" if best[2] else best[1]


# The kernel's count of system calls as they are entered, by kind: all,
# reads, and the waits the programs use.
SYSTEM_CALL_EVENTS = {
    "raw_syscalls:sys_enter": "all",
    "syscalls:sys_enter_read": "read",
    "syscalls:sys_enter_poll": "wait",
    "syscalls:sys_enter_ppoll": "wait",
    "syscalls:sys_enter_select": "wait",
    "syscalls:sys_enter_pselect6": "wait",
    "syscalls:sys_enter_clock_nanosleep": "wait",
}


def system_call_counts(report):
    """{"all": n, "read": n, "wait": n} from `perf stat -x,` output."""
    counts = {}
    for line in report.splitlines():
        fields = line.split(",")
        if line.startswith("#") or len(fields) < 3 or fields[2] not in SYSTEM_CALL_EVENTS:
            continue
        if not fields[0].isdigit():
            raise BenchError("perf could not count " + fields[2] + ": " + fields[0])
        kind = SYSTEM_CALL_EVENTS[fields[2]]
        counts[kind] = counts.get(kind, 0) + int(fields[0])
    if set(counts) != {"all", "read", "wait"}:
        raise BenchError("perf counted no system calls:\n" + report)
    return counts


SYNC_CALL = re.compile(r"^fdatasync\(1\)\s+= (-?\d+)[^<]*<(\d+\.\d+)>", re.M)


def sync_seconds(trace):
    """The durations of the program's syncs of standard output, from
    `strace -T -e trace=fdatasync` output; a failed sync is an error."""
    times = []
    for result, seconds in SYNC_CALL.findall(trace):
        if result != "0":
            raise BenchError("a disk sync failed: " + trace)
        times.append(float(seconds))
    return times


def machine_description():
    model = platform.processor() or "unknown CPU"
    with open("/proc/cpuinfo") as cpuinfo:
        for line in cpuinfo:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    return model, os.cpu_count()


def load_average():
    return os.getloadavg()[0]

