"""A real lighttpd serving the built jwks binary over CGI on a free loopback port.

    with Server(data_dir) as s:
        status, headers, body = s.get("/.well-known/jwks.json")
"""
import http.client
import os
import socket
import subprocess
import tempfile
import time

SOURCE_DIR = os.environ.get("TARN_SOURCE_DIR", os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..")))
BUILD_DIR = os.environ.get("TARN_BUILD_DIR", os.path.join(SOURCE_DIR, "build"))
JWKS_BINARY = os.environ.get("JWKS_BINARY", os.path.join(BUILD_DIR, "programs", "jwks"))
PROGRAMS_DIR = os.path.dirname(os.path.abspath(JWKS_BINARY))
LIGHTTPD = "/usr/sbin/lighttpd"


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Server:
    """lighttpd with mod_cgi: the key set at /jwks and /.well-known/jwks.json (the published file
    when it exists, else jwks), and the provider's endpoints, with the issuer
    http://127.0.0.1:<port>."""

    def __init__(self, data_dir, env=None, jwks_file=None):
        self.data_dir = os.path.abspath(data_dir)
        self.env = env or {}
        # The published key set: lighttpd serves it while it exists, and the programs write it
        # only when given one (IDENTITY_JWKS_FILE); without, the directory stays empty.
        self.jwks_file = os.path.abspath(jwks_file) if jwks_file else None
        self.proc = None
        self.port = None
        self._scratch = tempfile.TemporaryDirectory(prefix="tarn-lighttpd-")

    def url(self, path):
        return "http://127.0.0.1:%d%s" % (self.port, path)

    def base_url(self, port=None):
        """The issuer: the server's own loopback URL."""
        return "http://127.0.0.1:%d" % (port or self.port)

    def _write_config(self, port):
        scratch = self._scratch.name
        os.makedirs(os.path.join(scratch, "www"), exist_ok=True)
        with open(os.path.join(SOURCE_DIR, "scripts", "lighttpd.conf.in")) as f:
            text = f.read()
        jwks_file = self.jwks_file or os.path.join(scratch, "public", "jwks.json")
        os.makedirs(os.path.dirname(jwks_file), exist_ok=True)
        name = os.path.basename(jwks_file)
        for key, value in {
            "@JWKS_FILE@": self.jwks_file or "",
            "@JWKS_DIR@": os.path.dirname(jwks_file),
            "@JWKS_NAME_RE@": name.replace(".", "\\."),
            "@JWKS_NAME@": name,
            "@PORT@": str(port),
            "@DOCROOT@": os.path.join(scratch, "www"),
            "@ERRORLOG@": os.path.join(scratch, "error.log"),
            "@JWKS@": os.path.abspath(JWKS_BINARY),
            "@PROGRAMS@": PROGRAMS_DIR,
            "@DATA_DIR@": self.data_dir,
            "@BASE_URL@": self.base_url(port),
        }.items():
            text = text.replace(key, value)
        for name, value in self.env.items():
            text += 'setenv.add-environment += ("%s" => "%s")\n' % (name, value)
        path = os.path.join(scratch, "lighttpd.conf")
        with open(path, "w") as f:
            f.write(text)
        return path

    def _ready(self):
        try:
            with socket.create_connection(("127.0.0.1", self.port), timeout=0.2):
                return True
        except OSError:
            return False

    def start(self):
        for _ in range(5):  # another process may take the free port before lighttpd binds it
            self.port = free_port()
            conf = self._write_config(self.port)
            self.proc = subprocess.Popen([LIGHTTPD, "-D", "-f", conf], stdout=subprocess.DEVNULL,
                                         stderr=subprocess.PIPE)
            deadline = time.time() + 10
            while time.time() < deadline and self.proc.poll() is None:
                if self._ready():
                    return self
                time.sleep(0.02)
            self.stop()
        raise RuntimeError("lighttpd did not start")

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        if self.proc and self.proc.stderr:
            self.proc.stderr.close()
        self.proc = None

    def error_log(self):
        try:
            with open(os.path.join(self._scratch.name, "error.log")) as f:
                return f.read()
        except OSError:
            return ""

    def get(self, path, method="GET", body=None, headers=None):
        """One request; returns (status, [(name, value), ...], body bytes)."""
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=120)
        try:
            conn.request(method, path, body=body, headers=headers or {})
            resp = conn.getresponse()
            return resp.status, resp.getheaders(), resp.read()
        finally:
            conn.close()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
        self._scratch.cleanup()
