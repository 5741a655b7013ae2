"""The serve command's server half (scripts/run-server.sh) as the serve command starts it: the port
comes from the configuration as every program reads it (IDENTITY_PORT over "port" in config.json
over 8080; an argument over both), and lighttpd serves the built jwks there."""
import json
import os
import shutil
import socket
import subprocess
import tempfile
import time
import unittest

from harness import BUILD_DIR, SOURCE_DIR, free_port

RUN_SERVER = os.path.join(SOURCE_DIR, "scripts", "run-server.sh")
CONFIG_PORT = os.path.join(BUILD_DIR, "programs", "config_port")


def base_env(extra):
    """This process's environment without any IDENTITY_ setting, plus `extra`."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("IDENTITY_")}
    env.update(extra)
    return env


def get(port, path):
    conn = socket.create_connection(("127.0.0.1", port), timeout=120)
    try:
        conn.sendall(b"GET %s HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n" % path.encode())
        data = b""
        while chunk := conn.recv(65536):
            data += chunk
    finally:
        conn.close()
    head, _, body = data.partition(b"\r\n\r\n")
    return int(head.split(b" ")[1]), body


class ConfigPort(unittest.TestCase):
    """config_port prints the port every program reads, or refuses in one line."""

    CASES = [
        # (environment, config.json text or None, exit status, stdout)
        ({}, None, 0, b"8080\n"),
        ({}, '{"port": 9001}', 0, b"9001\n"),
        ({"IDENTITY_PORT": "9002"}, '{"port": 9001}', 0, b"9002\n"),
        ({"IDENTITY_PORT": ""}, '{"port": 9001}', 0, b"9001\n"),   # empty counts as unset
        ({}, '{"port": 9001.0}', 0, b"8080\n"),                    # not an integer: ignored
        ({}, '{"port": "9001"}', 0, b"8080\n"),
        ({}, "not json", 0, b"8080\n"),
        ({}, '{"port": 65535}', 0, b"65535\n"),
        ({"IDENTITY_PORT": "1"}, None, 0, b"1\n"),
        ({"IDENTITY_PORT": "0"}, None, 1, b""),
        ({"IDENTITY_PORT": "http"}, None, 1, b""),
        ({"IDENTITY_PORT": "-5"}, None, 1, b""),
        ({}, '{"port": 65536}', 1, b""),
        ({}, '{"port": 0}', 1, b""),
    ]

    def test_cases(self):
        for env, config, status, out in self.CASES:
            with self.subTest(env=env, config=config), tempfile.TemporaryDirectory() as cwd:
                if config is not None:
                    with open(os.path.join(cwd, "config.json"), "w") as f:
                        f.write(config)
                env = dict(env, IDENTITY_DATA_DIR=os.path.join(cwd, "data"))
                run = subprocess.run([CONFIG_PORT], cwd=cwd, env=base_env(env), capture_output=True,
                                     timeout=60)
                self.assertEqual((run.returncode, run.stdout), (status, out), run.stderr)
                if status:
                    self.assertEqual(run.stderr.count(b"\n"), 1, run.stderr)
                    self.assertIn(b"not a TCP port", run.stderr)
                else:
                    self.assertEqual(run.stderr, b"")

    def test_arguments_are_refused(self):
        run = subprocess.run([CONFIG_PORT, "9000"], env=base_env({}), capture_output=True, timeout=60)
        self.assertEqual((run.returncode, run.stdout), (2, b""))


class ServeCommand(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="tarn-serve-e2e-")
        self.cwd = os.path.join(self.tmp.name, "checkout")
        self.run_dir = os.path.join(self.tmp.name, "run")
        os.makedirs(self.cwd)

    def tearDown(self):
        self.tmp.cleanup()

    def serve(self, place):
        """Starts run-server.sh with a free port put where place["chosen"] says ("env", "config"
        or "arg") and another free port in the other places place["all"] names; returns
        (process, port) once lighttpd accepts connections there."""
        for _ in range(5):  # another process may take the free port before lighttpd binds it
            port, decoy = free_port(), free_port()
            where = {name: (port if name == place["chosen"] else decoy) for name in place["all"]}
            env = {"IDENTITY_PORT": str(where["env"])} if "env" in where else {}
            env.update(place.get("extra_env", {}))
            config = os.path.join(self.cwd, "config.json")
            if "config" in where:
                with open(config, "w") as f:
                    json.dump({"port": where["config"]}, f)
            elif os.path.exists(config):
                os.remove(config)
            args = [str(where["arg"])] if "arg" in where else []
            proc = subprocess.Popen(["bash", RUN_SERVER, BUILD_DIR, self.run_dir] + args, cwd=self.cwd,
                                    env=base_env(env), stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            deadline = time.time() + 30
            while time.time() < deadline and proc.poll() is None:
                try:
                    socket.create_connection(("127.0.0.1", port), timeout=0.2).close()
                    return proc, port
                except OSError:
                    time.sleep(0.02)
            self.stop(proc)
        self.fail("lighttpd did not start on the configured port")

    def stop(self, proc):
        if proc.poll() is None:
            proc.terminate()
            try:
                proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
        out, err = proc.communicate()
        return out, err

    CASES = [
        # where the port that must be served goes, and the other places given other ports
        {"chosen": "env", "all": ["env"]},
        {"chosen": "config", "all": ["config"]},
        {"chosen": "env", "all": ["env", "config"]},
        {"chosen": "arg", "all": ["arg", "env", "config"]},
        {"chosen": "config", "all": ["config"], "extra_env": {"IDENTITY_PORT": ""}},
    ]

    def test_port_from_configuration(self):
        for place in self.CASES:
            with self.subTest(place=place):
                shutil.rmtree(self.run_dir, ignore_errors=True)
                proc, port = self.serve(place)
                try:
                    status, body = get(port, "/.well-known/jwks.json")
                    self.assertEqual(status, 200, body)
                    keys = json.loads(body)["keys"]
                    self.assertEqual(len(keys), 1)
                    self.assertEqual(get(port, "/jwks"), (status, body))
                finally:
                    out, _ = self.stop(proc)
                self.assertIn(b"http://127.0.0.1:%d/.well-known/jwks.json" % port, out)
                # The key set was made in RUN_DIR/data, the default data directory.
                with open(os.path.join(self.run_dir, "data", "keys.json")) as f:
                    self.assertEqual([k["kid"] for k in json.load(f)["keys"]], [keys[0]["kid"]])

    def test_ports_that_are_not_ports_are_refused_before_anything_starts(self):
        for env, args in [({"IDENTITY_PORT": "0"}, []), ({"IDENTITY_PORT": "99999"}, []),
                          ({}, ["x"]), ({}, ["0"]), ({}, ["65536"]), ({}, ["080"])]:
            with self.subTest(env=env, args=args):
                run = subprocess.run(["bash", RUN_SERVER, BUILD_DIR, self.run_dir] + args, cwd=self.cwd,
                                     env=base_env(env), capture_output=True, timeout=60)
                self.assertEqual((run.returncode, run.stdout), (1, b""), run.stderr)
                self.assertEqual(run.stderr.count(b"\n"), 1, run.stderr)
                self.assertIn(b"not a TCP port", run.stderr)
                self.assertFalse(os.path.exists(os.path.join(self.run_dir, "lighttpd.conf")))


if __name__ == "__main__":
    unittest.main()
