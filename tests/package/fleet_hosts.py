"""The fleet's hosts on one machine, for the fleet test and the benchmark:
rsyslogd instances set up from the package's example files, with their
paths, host names and ports replaced, and certificates made with openssl."""
import os
import shutil
import signal
import socket
import subprocess
import time

EXAMPLES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                        "packaging", "rsyslog")
FLEET_SCRIPT = os.path.join(EXAMPLES, "torvex-fleet")
# What is replaced in the shipped files: each must be there as often as said.
EDGE_FOLLOWS = 'file="/var/log/torvex/*.csv"'
EDGE_CENTRAL = 'target="central.example.org" port="2514"'
KEYS = '"/etc/torvex/fleet/'
CENTRAL_STORE = '"/var/log/torvex-fleet/'
CENTRAL_NAME = "central.example.org"  # in the edge's tls.permittedPeer, left as it is
# Stands in for a Debian host's /etc/rsyslog.conf: its work directory, its
# host name, and everything of the default rule set into its own syslog file.
HOST_CONF = """global(workDirectory="{work}" localHostname="{host}")
*.* action(type="omfile" file="{syslog}")
include(file="{snippet}")
"""
# A user's PATH may lack the sbin folders.
RSYSLOGD = shutil.which("rsyslogd", path=os.environ.get("PATH", "") + ":/usr/sbin:/sbin")
OPENSSL = shutil.which("openssl")


def make_certificate(folder, name, ca=None):
    """NAME.key and NAME.pem in folder: a CA's own when ca is None, else one
    for the name NAME that the CA in folder ca signed, as docs/fleet.md has them made."""
    key, pem = (os.path.join(folder, name + ext) for ext in (".key", ".pem"))
    command = [OPENSSL, "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
               "-nodes", "-keyout", key, "-out", pem, "-days", "2", "-subj", "/CN=" + name]
    if ca:
        command += ["-CA", os.path.join(ca, "ca.pem"), "-CAkey", os.path.join(ca, "ca.key"),
                    "-addext", "subjectAltName=DNS:" + name,
                    "-addext", "basicConstraints=critical,CA:FALSE"]
    subprocess.run(command, check=True, capture_output=True, timeout=30)
    return pem, key


def keys_folder(folder, files):
    """folder holding copies of files: {name there: path}."""
    os.makedirs(folder)
    for name, path in files.items():
        shutil.copy(path, os.path.join(folder, name))
    return folder


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def listening(port):
    with socket.socket() as probe:
        return probe.connect_ex(("127.0.0.1", port)) == 0


def lines_of(path):
    if not os.path.exists(path):
        return []
    with open(path, "rb") as text:
        return text.read().splitlines()


def substituted(name, replacements):
    """The shipped file with each (old, new, times old is there) replaced."""
    with open(os.path.join(EXAMPLES, name)) as shipped:
        text = shipped.read()
    for old, new, times in replacements:
        if text.count(old) != times:
            raise AssertionError("%s: %r is there %d times, not %d"
                                 % (name, old, text.count(old), times))
        text = text.replace(old, new)
    return text


class Rsyslog:
    """One rsyslogd in the foreground, started and stopped by its pid."""

    def __init__(self, folder, host, snippet):
        self.folder = folder
        self.work = os.path.join(folder, "work")
        self.syslog = os.path.join(folder, "syslog")
        self.conf = os.path.join(folder, "rsyslog.conf")
        self.pid_file = os.path.join(folder, "rsyslogd.pid")
        os.makedirs(self.work)
        with open(os.path.join(folder, "snippet.conf"), "w") as out:
            out.write(snippet)
        with open(self.conf, "w") as out:
            out.write(HOST_CONF.format(work=self.work, host=host, syslog=self.syslog,
                                       snippet=os.path.join(folder, "snippet.conf")))
        self.process = None

    def check(self):
        done = subprocess.run([RSYSLOGD, "-N1", "-f", self.conf], capture_output=True,
                              text=True, timeout=30)
        return done.returncode, done.stderr

    def start(self):
        with open(os.path.join(self.folder, "rsyslogd.out"), "ab") as out:
            self.process = subprocess.Popen(
                [RSYSLOGD, "-n", "-f", self.conf, "-i", self.pid_file],
                stdin=subprocess.DEVNULL, stdout=out, stderr=out, start_new_session=True)

    def stop(self, sig=signal.SIGTERM):
        Rsyslog.stop_all([self], sig)

    def restart(self, sig=signal.SIGTERM):
        self.stop(sig)
        self.start()

    @staticmethod
    def stop_all(rsyslogs, sig=signal.SIGTERM):
        """Signals them all first: one that waits out its queue's time-outs
        does not hold up the others."""
        running = [rsyslog for rsyslog in rsyslogs
                   if rsyslog.process is not None and rsyslog.process.poll() is None]
        for rsyslog in running:
            os.kill(rsyslog.process.pid, sig)
        deadline = time.monotonic() + 15
        for rsyslog in running:
            try:
                rsyslog.process.wait(timeout=max(0, deadline - time.monotonic()))
            except subprocess.TimeoutExpired:
                os.kill(rsyslog.process.pid, signal.SIGKILL)
                rsyslog.process.wait()
                raise AssertionError("rsyslogd in %s did not stop in 15 s" % rsyslog.folder)
        for rsyslog in rsyslogs:
            rsyslog.process = None


def central_host(folder, fleet_keys, certificate_name, ports, changes=()):
    """A central rsyslogd holding the certificate for that name out of
    fleet_keys, with a listener per board of ports ({name: port}) written
    by torvex-fleet, filing into folder/store (its .store); changes are
    more replacements in its file."""
    keys = keys_folder(os.path.join(folder, "keys"), {
        "ca.pem": os.path.join(fleet_keys, "ca.pem"),
        "central.pem": os.path.join(fleet_keys, certificate_name + ".pem"),
        "central.key": os.path.join(fleet_keys, certificate_name + ".key")})
    for board, port in ports.items():
        subprocess.run(["sh", FLEET_SCRIPT, "-d", keys, "add", board, str(port)], check=True,
                       capture_output=True, timeout=30)
    store = os.path.join(folder, "store")
    os.makedirs(store)
    central = Rsyslog(os.path.join(folder, "rsyslog"), "central", substituted(
        "torvex-central.conf",
        [(KEYS, '"%s/' % keys, 1), (CENTRAL_STORE, '"%s/' % store, 1), *changes]))
    central.store = store
    return central


def edge_host(folder, logs, name, claims, port, fleet_keys):
    """A board's rsyslogd following logs/*.csv, holding the certificate for
    name out of fleet_keys, writing claims as its host name into its
    messages and sending to port on this machine."""
    keys = keys_folder(os.path.join(folder, "keys"), {
        "ca.pem": os.path.join(fleet_keys, "ca.pem"),
        "board.pem": os.path.join(fleet_keys, name + ".pem"),
        "board.key": os.path.join(fleet_keys, name + ".key")})
    return Rsyslog(os.path.join(folder, "rsyslog"), claims, substituted(
        "torvex-edge.conf", [(EDGE_FOLLOWS, 'file="%s/*.csv"' % logs, 1),
                             (EDGE_CENTRAL, 'target="127.0.0.1" port="%d"' % port, 1),
                             (KEYS, '"%s/' % keys, 3)]))
