"""tarnctl as a process against a real data directory, for the end-to-end tests.

    with Workspace() as w:
        out = w.tarnctl("users", "add", "alice", "--password-stdin", input=b"a long passphrase\\n")
        w.assertions...
"""
import hashlib
import hmac
import json
import os
import shutil
import subprocess
import tempfile

from harness import BUILD_DIR

TARNCTL = os.environ.get("TARNCTL", os.path.join(BUILD_DIR, "programs", "tarnctl"))
FIXTURE = os.environ.get("PROVIDER_FIXTURE", os.path.join(BUILD_DIR, "tests", "provider_fixture"))
PASSWORD = "a long passphrase"


class Run:
    def __init__(self, proc):
        self.status, self.stdout, self.stderr = proc.returncode, proc.stdout, proc.stderr

    def json(self):
        return json.loads(self.stdout)

    @property
    def out(self):
        return self.stdout.decode()

    @property
    def err(self):
        return self.stderr.decode()

    def __repr__(self):
        return "Run(%d, %r, %r)" % (self.status, self.stdout[:2000], self.stderr[:2000])


def clean_env(extra=None):
    """The environment without any IDENTITY_ setting (the tests name their data directory)."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("IDENTITY_")}
    env.update(extra or {})
    return env


def snapshot(directory):
    """Every file below `directory` with its bytes and mode: what a refusal must leave as it was."""
    files = {}
    if not os.path.isdir(directory):
        return None
    for root, _, names in os.walk(directory):
        for name in names:
            path = os.path.join(root, name)
            with open(path, "rb") as f:
                files[os.path.relpath(path, directory)] = (f.read(), os.stat(path).st_mode)
    return files


def verifies(password, stored):
    """The stored hash string checked with Python's own PBKDF2: pbkdf2$<iterations>$<salt>$<key>."""
    scheme, iterations, salt, key = stored.split("$")
    derived = hashlib.pbkdf2_hmac("sha256", password.encode(), bytes.fromhex(salt), int(iterations))
    return scheme == "pbkdf2" and hmac.compare_digest(derived.hex(), key.lower())


class Workspace:
    """A scratch directory with a data directory (not created until something makes it), run as
    the working directory of every process so that no config.json of the checkout is read."""

    def __init__(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="tarnctl-e2e-")
        self.root = self.tmp.name
        self.data = os.path.join(self.root, "data")

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.tmp.cleanup()

    def path(self, name):
        return os.path.join(self.data, name)

    def tarnctl(self, *args, input=b"", env=None, data_dir=True, cwd=None):
        argv = [TARNCTL] + list(args) + (["--data-dir", self.data] if data_dir else [])
        # A session of its own: no controlling terminal, so that a password is never asked of
        # whoever runs the tests.
        proc = subprocess.run(argv, input=input, env=clean_env(env), cwd=cwd or self.root, capture_output=True,
                              timeout=300, start_new_session=True)
        return Run(proc)

    def fixture(self, *args):
        proc = subprocess.run([FIXTURE] + list(args), env=clean_env({"IDENTITY_DATA_DIR": self.data}),
                              cwd=self.root, capture_output=True, timeout=300, check=True)
        return proc.stdout.decode().split()

    def add_user(self, name, *extra, password=PASSWORD):
        run = self.tarnctl("users", "add", name, "--password-stdin", "--json", *extra,
                           input=(password + "\n").encode())
        assert run.status == 0, run
        return run.json()

    def add_client(self, name, *uris, extra=()):
        args = ["clients", "add", name, "--json"]
        for u in uris:
            args += ["--redirect-uri", u]
        run = self.tarnctl(*args, *extra)
        assert run.status == 0, run
        return run.json()

    def read_json(self, name):
        with open(self.path(name), "rb") as f:
            return json.load(f)

    def write(self, name, data):
        os.makedirs(self.data, mode=0o700, exist_ok=True)
        with open(self.path(name), "wb") as f:
            f.write(data if isinstance(data, bytes) else json.dumps(data, indent=4).encode())
        os.chmod(self.path(name), 0o600)

    def reset(self):
        shutil.rmtree(self.data, ignore_errors=True)
