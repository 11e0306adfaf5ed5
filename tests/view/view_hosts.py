"""The records page's hosts on one machine, for its test and the benchmark:
nginx started from the package's example files, with their addresses and
paths replaced, on a loopback port of its own with its own prefix, and
headless Chromium driven through chromedriver."""
import os
import re
import shutil
import signal
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.normpath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, os.path.join(SOURCE, "tests", "package"))
from fleet_hosts import free_port, listening  # noqa: E402

PAGE = os.path.join(SOURCE, "packaging", "view")
EXAMPLES = os.path.join(SOURCE, "packaging", "nginx")
NGINX = shutil.which("nginx", path=os.environ.get("PATH", "") + ":/usr/sbin:/sbin")
CHROMEDRIVER = "/usr/bin/chromedriver"
DYGRAPHS = "/usr/share/javascript/dygraphs/dygraph.min.js"
USER = "tecnico"
OPENSSL = shutil.which("openssl")
# Each request's method, path, status, body bytes and Range header.
LOG_FORMAT = ("log_format torvex "
              "'$request_method $request_uri $status $body_bytes_sent \"$http_range\"';")
MAIN_CONF = """{user}worker_processes auto;
pid {prefix}/nginx.pid;
error_log {prefix}/error.log;
events {{ worker_connections 256; }}
http {{
    include /etc/nginx/mime.types;
    default_type application/octet-stream;
    {log_format}
    access_log {prefix}/access.log torvex;
    client_body_temp_path {prefix}/body;
    proxy_temp_path {prefix}/proxy;
    fastcgi_temp_path {prefix}/fastcgi;
    uwsgi_temp_path {prefix}/uwsgi;
    scgi_temp_path {prefix}/scgi;
    include {prefix}/site.conf;
}}
"""


def make_certificate(folder, name):
    """NAME.key and NAME.pem in folder: a certificate of its own for the name
    NAME, as docs/view.md has it made."""
    key, pem = (os.path.join(folder, name + ext) for ext in (".key", ".pem"))
    subprocess.run([OPENSSL, "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
                    "-nodes", "-days", "2", "-subj", "/CN=" + name,
                    "-addext", "subjectAltName=DNS:" + name, "-keyout", key, "-out", pem],
                   check=True, capture_output=True, timeout=30)
    return pem, key


def missing():
    """What this machine lacks to run the page, or None."""
    try:
        import selenium  # noqa: F401
    except ImportError:
        return "python3-selenium is not installed (run with Debian's /usr/bin/python3)"
    for path, package in ((NGINX, "nginx"), (CHROMEDRIVER, "chromium-driver"),
                          (DYGRAPHS, "libjs-dygraphs"), (OPENSSL, "openssl")):
        if not path or not os.path.exists(path):
            return package + " is not installed"
    return None


def substituted(name, replacements):
    """The shipped file with each (old, new) replaced; each old must be there once."""
    with open(os.path.join(EXAMPLES, name)) as shipped:
        text = shipped.read()
    for old, new in replacements:
        if text.count(old) != 1:
            raise AssertionError("%s: %r is there %d times, not once"
                                 % (name, old, text.count(old)))
        text = text.replace(old, new)
    return text


def open_to_all(path):
    """nginx's workers run as www-data: the folders on the way must let them pass."""
    while path not in ("/", ""):
        mode = os.stat(path).st_mode
        if mode & 0o005 != 0o005 and path.startswith("/tmp/"):
            os.chmod(path, mode | 0o755)
        path = os.path.dirname(path)


class Nginx:
    """nginx in the foreground with its own prefix, serving a copy of the
    page and the records folder through one of the example files."""

    def __init__(self, prefix, site):
        self.prefix = prefix
        self.port = free_port()
        os.makedirs(prefix)
        shutil.copytree(PAGE, os.path.join(prefix, "view"))
        self.process = None
        user = "user www-data;\n" if os.geteuid() == 0 else ""
        with open(os.path.join(prefix, "nginx.conf"), "w") as out:
            out.write(MAIN_CONF.format(user=user, prefix=prefix, log_format=LOG_FORMAT))
        with open(os.path.join(prefix, "site.conf"), "w") as out:
            out.write(site(self))
        open_to_all(os.path.join(prefix, "view"))

    def page_replacement(self):
        return ("root /usr/share/torvex/view;", "root %s/view;" % self.prefix)

    def start(self):
        command = [NGINX, "-p", self.prefix, "-c", os.path.join(self.prefix, "nginx.conf"),
                   "-g", "daemon off;"]
        check = subprocess.run(command + ["-t"], capture_output=True, text=True, timeout=30)
        if check.returncode != 0:
            raise AssertionError("nginx -t: " + check.stderr)
        with open(os.path.join(self.prefix, "nginx.out"), "ab") as out:
            self.process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=out,
                                            stderr=out, start_new_session=True)
        deadline = time.monotonic() + 10
        while not listening(self.port):
            if time.monotonic() > deadline or self.process.poll() is not None:
                raise AssertionError("nginx did not listen: " + self.errors())
            time.sleep(0.05)
        return self

    def errors(self):
        path = os.path.join(self.prefix, "error.log")
        return open(path).read() if os.path.exists(path) else ""

    def requests(self):
        """[(method, path, status, body bytes, range)] from the access log."""
        path = os.path.join(self.prefix, "access.log")
        if not os.path.exists(path):
            return []
        found = []
        with open(path) as log:
            for line in log:
                m = re.match(r'(\S+) (\S+) (\d+) (\d+) "(.*)"$', line.rstrip("\n"))
                if m:
                    found.append((m[1], m[2], int(m[3]), int(m[4]), m[5]))
        return found

    def stop(self):
        if self.process and self.process.poll() is None:
            os.kill(self.process.pid, signal.SIGQUIT)  # graceful: workers finish their requests
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


def board_nginx(prefix, records):
    """The board's example serving the records folder records over plain HTTP."""
    def site(nginx):
        return substituted("torvex-view-board.conf", [
            ("listen 127.0.0.1:8080;\n    listen [::1]:8080;", "listen 127.0.0.1:%d;" % nginx.port),
            nginx.page_replacement(),
            ("alias /var/log/torvex/;", "alias %s/;" % records),
            ("alias /var/log/torvex/$file;", "alias %s/$file;" % records)])
    nginx = Nginx(prefix, site)
    nginx.url = "http://127.0.0.1:%d/" % nginx.port
    return nginx


def central_nginx(prefix, store, password, changes=()):
    """The central host's example serving the store over TLS with a
    password for USER; changes are more (old, new) replacements."""
    def site(nginx):
        keys = os.path.join(prefix, "keys")
        os.makedirs(keys)
        pem, key = make_certificate(keys, "view")
        nginx.certificate = pem
        hashed = subprocess.run([OPENSSL, "passwd", "-6", "-stdin"], input=password,
                                capture_output=True, text=True, check=True).stdout.strip()
        users = os.path.join(keys, "htpasswd")
        with open(users, "w") as out:
            out.write("%s:%s\n" % (USER, hashed))
        # As the example's comment says: the workers read it through their group.
        if os.geteuid() == 0:
            shutil.chown(users, group="www-data")
        os.chmod(users, 0o640)
        open_to_all(keys)
        return substituted("torvex-view-central.conf", [
            ("listen 443 ssl;\n    listen [::]:443 ssl;", "listen 127.0.0.1:%d ssl;" % nginx.port),
            ("ssl_certificate /etc/torvex/view/view.pem;", "ssl_certificate %s;" % pem),
            ("ssl_certificate_key /etc/torvex/view/view.key;", "ssl_certificate_key %s;" % key),
            ("auth_basic_user_file /etc/torvex/view/htpasswd;",
             "auth_basic_user_file %s;" % users),
            nginx.page_replacement(),
            ("alias /var/log/torvex-fleet/;", "alias %s/;" % store),
            ("alias /var/log/torvex-fleet/$board/;", "alias %s/$board/;" % store),
            ("alias /var/log/torvex-fleet/$file;", "alias %s/$file;" % store), *changes])
    nginx = Nginx(prefix, site)
    nginx.url = "https://127.0.0.1:%d/" % nginx.port
    return nginx


def browser(width=1280, height=900, time_zone=None):
    """Headless Chromium; time_zone (e.g. Asia/Kolkata) is the page's local time."""
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    options = webdriver.ChromeOptions()
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu",
                     "--disable-dev-shm-usage", "--ignore-certificate-errors",
                     "--window-size=%d,%d" % (width, height)):
        options.add_argument(argument)
    environment = dict(os.environ, TZ=time_zone) if time_zone else None
    service = Service(CHROMEDRIVER, env=environment)
    return webdriver.Chrome(service=service, options=options)
