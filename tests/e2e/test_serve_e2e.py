"""The serve command's server half (scripts/run-server.sh) as the serve command starts it: the port
comes from the configuration as every program reads it (IDENTITY_PORT over "port" in config.json
over 8080; an argument over both), and lighttpd serves the built jwks there."""
import http.client
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


def run_env(extra):
    """This process's environment without any IDENTITY_ setting, plus `extra`. Run as root, the
    server serves as nobody rather than creating its system user on the test machine."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("IDENTITY_")}
    if os.getuid() == 0:
        env["TARN_SERVICE_USER"] = "nobody"
    env.update(extra)
    return env


class ServeCommand(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="tarn-serve-e2e-")
        os.chmod(self.tmp.name, 0o755)  # the service user reaches the data directory below it
        self.cwd = os.path.join(self.tmp.name, "checkout")
        self.run_dir = os.path.join(self.tmp.name, "run")
        os.makedirs(self.cwd)

    def tearDown(self):
        self.tmp.cleanup()

    def write_config(self, text):
        path = os.path.join(self.cwd, "config.json")
        if text is None:
            if os.path.exists(path):
                os.remove(path)
        else:
            with open(path, "w") as f:
                f.write(text)

    def test_config_port_prints_the_configured_port_or_refuses_in_one_line(self):
        for env, config, args, status, out in [
            ({}, None, [], 0, b"8080\n"),
            ({}, '{"port": 9001}', [], 0, b"9001\n"),
            ({"IDENTITY_PORT": "9002"}, '{"port": 9001}', [], 0, b"9002\n"),
            ({"IDENTITY_PORT": ""}, '{"port": 65535}', [], 0, b"65535\n"),  # empty is unset
            ({"IDENTITY_PORT": "0"}, None, [], 1, b""),
            ({"IDENTITY_PORT": "http"}, None, [], 1, b""),
            ({}, '{"port": 65536}', [], 1, b""),
            ({}, None, ["9000"], 2, b""),
        ]:
            with self.subTest(env=env, config=config, args=args):
                self.write_config(config)
                env = dict(env, IDENTITY_DATA_DIR=os.path.join(self.tmp.name, "data"))
                run = subprocess.run([CONFIG_PORT] + args, cwd=self.cwd, env=run_env(env),
                                     capture_output=True, timeout=60)
                self.assertEqual((run.returncode, run.stdout), (status, out), run.stderr)
                self.assertEqual(run.stderr.count(b"\n"), 1 if status else 0, run.stderr)

    def serve(self, chosen, others, extra_env):
        """Starts run-server.sh with a free port in the place `chosen` ("env", "config" or "arg")
        and another in each of `others`; returns (process, port) once lighttpd accepts there."""
        for _ in range(5):  # another process may take the free port before lighttpd binds it
            port, decoy = free_port(), free_port()
            where = dict({name: decoy for name in others}, **{chosen: port})
            env = dict({"IDENTITY_PORT": str(where["env"])} if "env" in where else {}, **extra_env)
            self.write_config(json.dumps({"port": where["config"]}) if "config" in where else None)
            args = [str(where["arg"])] if "arg" in where else []
            proc = subprocess.Popen(["bash", RUN_SERVER, BUILD_DIR, self.run_dir] + args, cwd=self.cwd,
                                    env=run_env(env), stdout=subprocess.PIPE, stderr=subprocess.PIPE)
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
        return proc.communicate()[0]

    def test_lighttpd_serves_the_key_set_on_the_configured_port(self):
        for chosen, others, extra_env in [("env", [], {}), ("config", [], {}), ("env", ["config"], {}),
                                          ("arg", ["env", "config"], {}),
                                          ("config", [], {"IDENTITY_PORT": ""})]:
            with self.subTest(chosen=chosen, others=others, env=extra_env):
                shutil.rmtree(self.run_dir, ignore_errors=True)
                proc, port = self.serve(chosen, others, extra_env)
                try:
                    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=120)
                    conn.request("GET", "/.well-known/jwks.json")
                    resp = conn.getresponse()
                    self.assertEqual(resp.status, 200)
                    keys = json.loads(resp.read())["keys"]
                    conn.request("GET", "/.well-known/openid-configuration")
                    issuer = json.loads(conn.getresponse().read())["issuer"]
                    conn.close()
                finally:
                    out = self.stop(proc)
                self.assertIn(b"http://127.0.0.1:%d/.well-known/jwks.json" % port, out)
                self.assertEqual(issuer, "http://127.0.0.1:%d" % port)
                # Made in RUN_DIR/data, the data directory when IDENTITY_DATA_DIR is unset.
                with open(os.path.join(self.run_dir, "data", "keys.json")) as f:
                    self.assertEqual([k["kid"] for k in json.load(f)["keys"]], [keys[0]["kid"]])

    def test_the_issuer_is_the_configured_base_url(self):
        proc, port = self.serve("env", [], {"IDENTITY_BASE_URL": "https://id.example.com/"})
        try:
            conn = http.client.HTTPConnection("127.0.0.1", port, timeout=120)
            conn.request("GET", "/.well-known/openid-configuration", headers={"Host": "evil.example"})
            meta = json.loads(conn.getresponse().read())
            conn.close()
        finally:
            out = self.stop(proc)
        self.assertEqual((meta["issuer"], meta["token_endpoint"]),
                         ("https://id.example.com", "https://id.example.com/token"))
        self.assertIn(b"as the issuer https://id.example.com\n", out)

    def test_ports_that_are_not_ports_are_refused_before_anything_starts(self):
        for env, args in [({"IDENTITY_PORT": "0"}, []), ({"IDENTITY_PORT": "99999"}, []),
                          ({}, ["x"]), ({}, ["0"]), ({}, ["65536"]), ({}, ["080"])]:
            with self.subTest(env=env, args=args):
                run = subprocess.run(["bash", RUN_SERVER, BUILD_DIR, self.run_dir] + args, cwd=self.cwd,
                                     env=run_env(env), capture_output=True, timeout=60)
                self.assertEqual((run.returncode, run.stdout), (1, b""), run.stderr)
                self.assertEqual(run.stderr.count(b"\n"), 1, run.stderr)
                self.assertIn(b"not a TCP port", run.stderr)
                self.assertFalse(os.path.exists(os.path.join(self.run_dir, "lighttpd.conf")))

    def test_a_config_json_with_a_problem_stops_the_server(self):
        for text, message in [('{"port": 9000,', b"config.json does not parse"),
                              ('{"data-dir": "elsewhere"}', b'unknown member "data-dir"'),
                              ('{"data_dir": ["x"]}', b'"data_dir" is not a string')]:
            with self.subTest(text=text):
                self.write_config(text)
                run = subprocess.run(["bash", RUN_SERVER, BUILD_DIR, self.run_dir, "1"], cwd=self.cwd,
                                     env=run_env({}), capture_output=True, timeout=60)
                self.assertEqual((run.returncode, run.stdout), (1, b""), run.stderr)
                self.assertEqual(run.stderr.count(b"\n"), 1, run.stderr)
                self.assertIn(message, run.stderr)
                self.assertFalse(os.path.exists(os.path.join(self.run_dir, "lighttpd.conf")))

    def test_the_data_directory_and_the_published_key_set_come_from_config_json(self):
        published = os.path.join(self.tmp.name, "public", "keys.json")
        proc = None
        for _ in range(5):
            port = free_port()
            self.write_config(json.dumps({"port": port, "data_dir": "served-data", "jwks_file": published}))
            proc = subprocess.Popen(["bash", RUN_SERVER, BUILD_DIR, self.run_dir], cwd=self.cwd, env=run_env({}),
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            try:
                deadline = time.time() + 30
                while time.time() < deadline and proc.poll() is None:
                    try:
                        socket.create_connection(("127.0.0.1", port), timeout=0.2).close()
                        break
                    except OSError:
                        time.sleep(0.02)
                if proc.poll() is None:
                    break
            except BaseException:
                self.stop(proc)
                raise
        try:
            conn = http.client.HTTPConnection("127.0.0.1", port, timeout=120)
            conn.request("GET", "/.well-known/jwks.json")
            body = conn.getresponse().read()
            conn.close()
        finally:
            self.stop(proc)
        with open(os.path.join(self.cwd, "served-data", "keys.json")) as f:
            self.assertEqual(len(json.load(f)["keys"]), 1)
        with open(published, "rb") as f:
            self.assertEqual(f.read(), body)


if __name__ == "__main__":
    unittest.main()
