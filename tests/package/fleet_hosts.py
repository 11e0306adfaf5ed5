"""The fleet's hosts on one machine, for the fleet test and the benchmark.

The central host is the sshd of the package's sshd_config, the boards run
torvex-fleet send with its ssh_config: only paths, ports and the address are
replaced. Each host runs in a PID namespace of its own, so that stopping or
killing it ends every process it had, as systemd ends a unit's; the central
host also has a mount namespace, where its account torvex-fleet exists (a
passwd of its own bound over /etc/passwd) and /run is its own. Root only."""
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
EXAMPLES = os.path.join(ROOT, "packaging", "fleet")
FLEET_SCRIPT = os.path.join(EXAMPLES, "torvex-fleet")
# The passes' program, as the script finds it in the package.
FLEET_PROGRAM = os.path.abspath(os.environ.get("TORVEXFLEET",
                                               os.path.join(ROOT, "build", "native", "torvexfleet")))
FLEET_ENV = {"TORVEX_FLEET_PROGRAM": FLEET_PROGRAM}
TOOLS = {name: shutil.which(name, path=os.environ.get("PATH", "") + ":/usr/sbin:/sbin")
         for name in ("sshd", "ssh", "ssh-keygen", "unshare", "nsenter", "flock")}
ACCOUNT_UID = 64726  # the central host's account, seen from outside its namespace
KEYS = "/etc/torvex/fleet/"
STARTED = b"-- started\n"  # in a host's output before each start
# The ports that every free_port() of this process has handed out: the
# kernel may give a port again once its probe socket is closed.
_handed_out = set()


def unavailable():
    """Why the fleet's hosts cannot run here, or None."""
    missing = [name for name, path in TOOLS.items() if path is None]
    if missing:
        return ("%s not installed (Debian packages openssh-server, openssh-client, util-linux)"
                % ", ".join(missing))
    if not os.access(FLEET_PROGRAM, os.X_OK):
        return "no fleet program at " + FLEET_PROGRAM
    if os.geteuid() != 0:
        return "not root: the hosts need namespaces of their own"
    done = subprocess.run([TOOLS["unshare"], "--mount", "--pid", "--fork", "true"],
                          capture_output=True, text=True, timeout=30)
    if done.returncode != 0:
        return "no namespaces here: " + done.stderr.strip()
    return None


def free_port():
    """A loopback port nobody listens on, never the same twice in this process."""
    while True:
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            port = probe.getsockname()[1]
        if port not in _handed_out:
            _handed_out.add(port)
            return port


def listening(port):
    with socket.socket() as probe:
        return probe.connect_ex(("127.0.0.1", port)) == 0


def read_bytes(path):
    try:
        with open(path, "rb") as text:
            return text.read()
    except FileNotFoundError:
        return b""


def size_of(path):
    try:
        return os.path.getsize(path)
    except FileNotFoundError:
        return -1


def lines_of(path):
    return read_bytes(path).splitlines()


def substituted(name, replacements):
    """The shipped file with each (old, new) replaced; each old must be there once."""
    with open(os.path.join(EXAMPLES, name)) as shipped:
        text = shipped.read()
    for old, new in replacements:
        if text.count(old) != 1:
            raise AssertionError("%s: %r is there %d times, not once" % (name, old, text.count(old)))
        text = text.replace(old, new)
    return text


def make_key(path, comment):
    """An ed25519 key pair, path and path.pub, as docs/fleet.md has it made."""
    subprocess.run([TOOLS["ssh-keygen"], "-q", "-t", "ed25519", "-N", "", "-C", comment,
                    "-f", path], check=True, capture_output=True, timeout=30)
    return path


class Host:
    """Processes in PID (and, given setup, mount) namespaces of their own:
    the namespace's first process ends them all when it ends."""

    def __init__(self, folder, argv, setup=None, env=None):
        self.folder, self.argv, self.setup, self.env = folder, argv, setup, env
        self.process = None
        self.output = os.path.join(folder, "output.log")

    def start(self):
        # With a mount namespace, a /proc of its own: its processes' numbers
        # there are those they know themselves by.
        namespaces = ["--pid", "--fork", "--kill-child"] + (["--mount-proc"] if self.setup else [])
        script = (self.setup or "") + ' exec "$@"'
        with open(self.output, "ab") as out:
            out.write(STARTED)
            out.flush()
            self.process = subprocess.Popen(
                [TOOLS["unshare"], *namespaces, "sh", "-c", script, "host", *self.argv],
                stdin=subprocess.DEVNULL, stdout=out, stderr=out, start_new_session=True,
                env=dict(os.environ, **(self.env or {})))

    def running(self):
        return self.process is not None and self.process.poll() is None

    def first_process(self):
        """The PID of the namespace's first process, once it is there."""
        deadline = time.monotonic() + 5
        while time.monotonic() < deadline and self.running():
            try:
                with open("/proc/%d/task/%d/children" % ((self.process.pid,) * 2)) as children:
                    found = children.read().split()
                if found:
                    return int(found[0])
            except OSError:
                pass
            time.sleep(0.01)
        return None

    def stop(self, sig=signal.SIGTERM):
        """SIGTERM to the first process, as a service manager stops it; SIGKILL
        to the whole namespace, as a power cut or a kill of the unit."""
        Host.stop_all([self], sig)

    @staticmethod
    def stop_all(hosts, sig=signal.SIGTERM):
        running = [host for host in hosts if host.running()]
        for host in running:
            target = host.process.pid if sig == signal.SIGKILL else host.first_process()
            if target:
                try:
                    os.kill(target, sig)
                except ProcessLookupError:
                    pass
        deadline = time.monotonic() + 15
        for host in running:
            try:
                host.process.wait(timeout=max(0, deadline - time.monotonic()))
            except subprocess.TimeoutExpired:
                host.process.kill()
                host.process.wait()
                raise AssertionError("%s did not stop in 15 s" % host.folder)
        for host in hosts:
            host.process = None

    def cpu_s(self):
        """CPU time of every process of the namespace so far, those ended and
        waited for included (they count in their parent's)."""
        first = self.first_process()
        if first is None:
            return 0.0
        namespace = os.readlink("/proc/%d/ns/pid" % first)
        ticks = 0
        for entry in os.listdir("/proc"):
            try:
                if entry.isdigit() and os.readlink("/proc/%s/ns/pid" % entry) == namespace:
                    with open("/proc/%s/stat" % entry) as stat:
                        fields = stat.read().rsplit(")", 1)[1].split()
                    ticks += sum(int(field) for field in fields[11:15])
            except OSError:  # ended meanwhile
                pass
        return ticks / os.sysconf("SC_CLK_TCK")

    def restart(self, sig=signal.SIGTERM):
        self.stop(sig)
        self.start()

    def log(self):
        return read_bytes(self.output).decode(errors="replace")


class Central(Host):
    """sshd of the package's sshd_config on a loopback port, storing into
    folder/store, its keys and lists in folder/keys, as torvex-fleet makes
    them; host_key: the host key it proves (None: one of its own)."""

    def __init__(self, folder, port, host_key=None, changes=()):
        os.makedirs(folder)
        os.chmod(folder, 0o755)
        self.keys, self.store = os.path.join(folder, "keys"), os.path.join(folder, "store")
        os.makedirs(self.keys)
        self.port = port
        if host_key:
            for ext in ("", ".pub"):
                shutil.copy(host_key + ext, os.path.join(self.keys, "central.key" + ext))
        passwd, group = os.path.join(folder, "passwd"), os.path.join(folder, "group")
        with open("/etc/passwd") as system, open(passwd, "w") as out:
            out.write(system.read() + "torvex-fleet:*:%d:%d::%s:/bin/sh\n"
                      % (ACCOUNT_UID, ACCOUNT_UID, self.store))
        with open("/etc/group") as system, open(group, "w") as out:
            out.write(system.read() + "torvex-fleet:x:%d:\n" % ACCOUNT_UID)
        # The account, and /run/sshd for sshd's privilege separation.
        self.namespace = ("mount --make-rprivate / && mount --bind %s /etc/passwd && "
                          "mount --bind %s /etc/group && mount -t tmpfs tmpfs /run && "
                          "mkdir /run/sshd &&" % (passwd, group))
        conf = os.path.join(folder, "sshd_config")
        with open(conf, "w") as out:
            # /tmp is writable by all, which sshd's StrictModes refuses in a key's path.
            out.write(substituted("sshd_config", [
                ("Port 2222", "Port %d\nListenAddress 127.0.0.1" % port),
                ("HostKey " + KEYS, "HostKey %s/" % self.keys),
                ("AuthorizedKeysFile " + KEYS, "AuthorizedKeysFile %s/" % self.keys),
                ("StrictModes yes", "StrictModes no"), *changes]))
        super().__init__(folder, [TOOLS["sshd"], "-D", "-e", "-f", conf], setup=self.namespace)

    def fleet(self, *args):
        """torvex-fleet run as on this host (as root, its account there):
        while it runs, among its processes."""
        first = self.first_process() if self.running() else None
        enter = ([TOOLS["nsenter"], "-t", str(first), "--pid", "--mount"] if first else
                 [TOOLS["unshare"], "--mount", "sh", "-c", self.namespace + ' exec "$@"', "fleet"])
        return subprocess.run([*enter, "bash", FLEET_SCRIPT, "-d", self.keys, "-s", self.store, *args],
                              capture_output=True, text=True, timeout=30,
                              env=dict(os.environ, **FLEET_ENV))

    def add(self, board, public_key, *options):
        done = self.fleet("add", *options, board, public_key)
        if done.returncode != 0:
            raise AssertionError("torvex-fleet add %s: %s" % (board, done.stderr))
        return done

    def known_hosts_line(self):
        with open(os.path.join(self.keys, "central.key.pub")) as public:
            return "torvex-central " + " ".join(public.read().split()[:2]) + "\n"

    def start(self):
        super().start()

    def wait_listening(self, timeout=10):
        deadline = time.monotonic() + timeout
        while not listening(self.port):
            if time.monotonic() > deadline or not self.running():
                raise AssertionError("the central host is not listening: " + self.log())
            time.sleep(0.02)

    def copy_of(self, board, name):
        return os.path.join(self.store, board, name)

    def refusals(self):
        """The central host's log of what it refused."""
        return read_bytes(self.store + ".log").decode(errors="replace")


class Board(Host):
    """torvex-fleet send of one board, with the package's ssh_config: its
    key (made here unless given), the central host it knows, its records in
    folder/records; pace: send's options (--every, --retry)."""

    def __init__(self, folder, name, port, known_hosts_line, key=None, pace=(), env=None):
        os.makedirs(folder)
        self.name = name
        self.keys = os.path.join(folder, "keys")
        self.records = os.path.join(folder, "records")
        os.makedirs(self.keys)
        os.makedirs(self.records)
        self.key = os.path.join(self.keys, "board.key")
        if key:
            for ext in ("", ".pub"):
                shutil.copy(key + ext, self.key + ext)
        else:
            make_key(self.key, name)
        self.set_known_host(known_hosts_line)
        with open(os.path.join(self.keys, "ssh_config"), "w") as out:
            out.write(substituted("ssh_config", [
                ("HostName central.example.org", "HostName 127.0.0.1"),
                ("Port 2222", "Port %d" % port),
                ("IdentityFile " + KEYS, "IdentityFile %s/" % self.keys),
                ("UserKnownHostsFile " + KEYS, "UserKnownHostsFile %s/" % self.keys)]))
        run = os.path.join(folder, "run")
        super().__init__(folder, ["bash", FLEET_SCRIPT, "-d", self.keys, "send", *pace, self.records],
                         env=dict(FLEET_ENV, RUNTIME_DIRECTORY=run, **(env or {})))
        self.ssh_config = os.path.join(self.keys, "ssh_config")

    def set_known_host(self, line):
        with open(os.path.join(self.keys, "known_hosts"), "w") as out:
            out.write(line)

    def names(self):
        return sorted(os.listdir(self.records))

    def files(self):
        """The records files: {name: bytes}."""
        return {name: read_bytes(os.path.join(self.records, name)) for name in self.names()}
