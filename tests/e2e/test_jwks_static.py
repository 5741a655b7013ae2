"""The key set as lighttpd serves it: the published file while it exists (with lighttpd's ETag and
Last-Modified, so a conditional request gets 304), the jwks program while it does not and for
every method but GET and HEAD; and the serve command's refusals of places it cannot serve from."""
import os
import pwd
import subprocess
import tempfile
import unittest

from harness import BUILD_DIR, SOURCE_DIR, Server

RUN_SERVER = os.path.join(SOURCE_DIR, "scripts", "run-server.sh")
HEADERS = [
    ("Content-Type", "application/json; charset=utf-8"),
    ("Cache-Control", "public, max-age=300"),
    ("X-Content-Type-Options", "nosniff"),
]
# Not a key set the program could write: proof that the file answered.
PUBLISHED = b'{"keys":[{"kid":"from-the-file"}]}\n'


def header(headers, name):
    return [v for n, v in headers if n.lower() == name.lower()]


class StaticKeySet(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="tarn-static-")
        self.data = os.path.join(self.tmp.name, "data")
        self.public = os.path.join(self.tmp.name, "public")
        self.jwks_file = os.path.join(self.public, "jwks.json")
        os.makedirs(self.public)

    def tearDown(self):
        self.tmp.cleanup()

    def publish(self, body=PUBLISHED):
        with open(self.jwks_file, "wb") as f:
            f.write(body)

    def assert_headers(self, headers):
        for name, value in HEADERS:
            self.assertEqual(header(headers, name), [value], name)

    def test_the_file_answers_get_and_head_of_both_paths(self):
        self.publish()
        with open(os.path.join(self.public, "other.json"), "wb") as f:
            f.write(b"not for the public")
        with Server(self.data, jwks_file=self.jwks_file) as s:
            for path, method, status, body in [
                ("/.well-known/jwks.json", "GET", 200, PUBLISHED),
                ("/jwks", "GET", 200, PUBLISHED),
                ("/jwks?x=1&y=%zz", "GET", 200, PUBLISHED),
                ("/.well-known/jwks.json?x=1", "GET", 200, PUBLISHED),
                ("/jwks/extra/path", "GET", 200, PUBLISHED),
                ("/jwks", "HEAD", 200, b""),
                # Nothing else of the file's directory, nor a path that only begins alike.
                ("/other.json", "GET", 404, None),
                ("/jwks.json.tmp", "GET", 404, None),
                ("/jwkss", "GET", 404, None),
            ]:
                with self.subTest(path=path, method=method):
                    got_status, headers, got = s.get(path, method=method)
                    self.assertEqual(got_status, status)
                    if body is None:
                        continue
                    self.assertEqual(got, body)
                    self.assert_headers(headers)
                    self.assertEqual(len(header(headers, "ETag")), 1)
                    self.assertEqual(len(header(headers, "Last-Modified")), 1)
            # The program never ran: it would have made the first key.
            self.assertFalse(os.path.exists(os.path.join(self.data, "keys.json")))

    def test_a_conditional_request_gets_304(self):
        self.publish()
        with Server(self.data, jwks_file=self.jwks_file) as s:
            _, headers, _ = s.get("/.well-known/jwks.json")
            etag, modified = header(headers, "ETag")[0], header(headers, "Last-Modified")[0]
            for conditions, status in [({"If-None-Match": etag}, 304),
                                       ({"If-Modified-Since": modified}, 304),
                                       ({"If-None-Match": '"something-else"'}, 200)]:
                with self.subTest(conditions=conditions):
                    got, _, body = s.get("/jwks", headers=conditions)
                    self.assertEqual((got, body), (status, b"" if status == 304 else PUBLISHED))

    def test_the_program_answers_while_there_is_no_file_and_every_other_method(self):
        with Server(self.data, jwks_file=self.jwks_file) as s:
            for path in ["/.well-known/jwks.json", "/jwks", "/jwks/extra?x=1"]:
                with self.subTest(path=path):
                    status, headers, body = s.get(path)
                    self.assertEqual(status, 200)
                    self.assert_headers(headers)
                    self.assertTrue(body.startswith(b'{"keys":[{"kty":"RSA"'), body)
            self.assertTrue(os.path.exists(os.path.join(self.data, "keys.json")))
            self.publish()
            status, headers, body = s.get("/.well-known/jwks.json", method="POST", body=b"a=1")
            self.assertEqual(status, 200)
            self.assert_headers(headers)
            self.assertNotEqual(body, PUBLISHED)
            self.assertTrue(body.startswith(b'{"keys":[{"kty":"RSA"'), body)


def run_env(extra):
    env = {k: v for k, v in os.environ.items() if not k.startswith("IDENTITY_")}
    if os.getuid() == 0:
        env["TARN_SERVICE_USER"] = "nobody"
    env.update(extra)
    return env


class ServeRefusals(unittest.TestCase):
    """run-server.sh refuses, in one line and before writing a configuration, places from which
    lighttpd could not serve the key set alone."""

    def test_refusals(self):
        with tempfile.TemporaryDirectory(prefix="tarn-serve-refusals-") as tmp:
            run = os.path.join(tmp, "run")
            data = os.path.join(tmp, "data")
            for env, message in [
                # The library itself publishes nothing there; the configuration is refused.
                ({"IDENTITY_JWKS_FILE": os.path.join(data, "jwks.json"), "IDENTITY_DATA_DIR": data},
                 b"is in the data directory: no key set is published there"),
                ({"IDENTITY_JWKS_FILE": os.path.join(tmp, "pub", "token.json")}, b"/token endpoint"),
                # Named like a program, lighttpd would rewrite /jwks to itself without end, or
                # run the key set as that program.
                ({"IDENTITY_JWKS_FILE": os.path.join(tmp, "pub", "jwks")}, b"is the name of the jwks program"),
                ({"IDENTITY_JWKS_FILE": os.path.join(tmp, "pub", "discovery")}, b"is the name of the discovery program"),
                ({"IDENTITY_JWKS_FILE": os.path.join(tmp, "pub", "end_session")}, b"is the name of the end_session program"),
                ({"IDENTITY_JWKS_FILE": os.path.join(tmp, "pub", ".hidden")}, b"must be letters"),
                ({"IDENTITY_JWKS_FILE": os.path.join(tmp, "pub", "a b.json")}, b"must be letters"),
                ({"IDENTITY_DATA_DIR": os.path.join(tmp, 'da"ta')}, b"holds a quote"),
                ({"IDENTITY_BASE_URL": "https://id.example.com/\\x"}, b"holds a quote"),
            ]:
                with self.subTest(env=env):
                    out = subprocess.run(["bash", RUN_SERVER, BUILD_DIR, run, "1"], env=run_env(env),
                                         capture_output=True, timeout=60)
                    self.assertEqual((out.returncode, out.stdout), (1, b""), out.stderr)
                    self.assertEqual(out.stderr.count(b"\n"), 1, out.stderr)
                    self.assertIn(message, out.stderr)
                    self.assertFalse(os.path.exists(os.path.join(run, "lighttpd.conf")))


@unittest.skipUnless(os.getuid() == 0, "needs root")
class ServedAsAnotherUser(unittest.TestCase):
    """Started as root, lighttpd and the programs run as the service user, which owns the data
    directory and the key set's directory."""

    def test_the_service_user_owns_what_the_programs_write(self):
        import http.client
        import socket
        import time

        from harness import free_port

        nobody = pwd.getpwnam("nobody")
        with tempfile.TemporaryDirectory(prefix="tarn-serve-root-") as tmp:
            os.chmod(tmp, 0o755)
            run = os.path.join(tmp, "run")
            # A data directory an earlier root run left behind: it changes hands.
            os.makedirs(os.path.join(run, "data"), mode=0o700)
            with open(os.path.join(run, "data", "server.log"), "w") as f:
                f.write("")
            port = free_port()
            proc = subprocess.Popen(["bash", RUN_SERVER, BUILD_DIR, run, str(port)], env=run_env({}),
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            try:
                deadline = time.time() + 30
                while True:
                    try:
                        socket.create_connection(("127.0.0.1", port), timeout=0.2).close()
                        break
                    except OSError:
                        self.assertIsNone(proc.poll(), proc.stderr.read() if proc.poll() is not None else "")
                        self.assertLess(time.time(), deadline)
                        time.sleep(0.02)
                conn = http.client.HTTPConnection("127.0.0.1", port, timeout=120)
                conn.request("GET", "/jwks")
                self.assertEqual(conn.getresponse().status, 200)
                conn.close()
                server_uid = int(subprocess.run(["ps", "-o", "uid=", "-p", str(proc.pid)],
                                                capture_output=True, text=True).stdout)
            finally:
                proc.terminate()
                out, _ = proc.communicate(timeout=10)
            self.assertEqual(server_uid, nobody.pw_uid)
            self.assertIn(b"run as the user nobody", out)
            for name in ["data", "data/keys.json", "data/server.log", "public"]:
                with self.subTest(name=name):
                    st = os.stat(os.path.join(run, name))
                    self.assertEqual((st.st_uid, st.st_gid), (nobody.pw_uid, nobody.pw_gid))

    def test_only_the_key_set_of_a_shared_directory_changes_hands(self):
        # The key set's directory may hold what is not the provider's (a web root): root gives
        # the service user the directory, the key set and its temporary file, nothing else.
        with tempfile.TemporaryDirectory(prefix="tarn-serve-root-") as tmp:
            # Closed to the service user, so that the server refuses after the change of hands.
            os.chmod(tmp, 0o700)
            public = os.path.join(tmp, "www")
            os.makedirs(public)
            for name in ["index.html", "jwks.json", "jwks.json.tmp"]:
                with open(os.path.join(public, name), "w") as f:
                    f.write("x")
            env = run_env({"IDENTITY_JWKS_FILE": os.path.join(public, "jwks.json")})
            out = subprocess.run(["bash", RUN_SERVER, BUILD_DIR, os.path.join(tmp, "run"), "1"], env=env,
                                 capture_output=True, timeout=60)
            self.assertEqual(out.returncode, 1, out.stderr)
            self.assertIn(b"cannot reach", out.stderr)
            nobody = pwd.getpwnam("nobody")
            for name, uid in [("", nobody.pw_uid), ("jwks.json", nobody.pw_uid), ("jwks.json.tmp", nobody.pw_uid),
                              ("index.html", 0)]:
                with self.subTest(name=name):
                    self.assertEqual(os.stat(os.path.join(public, name)).st_uid, uid)


if __name__ == "__main__":
    unittest.main()
