"""jwks through a real lighttpd: the response headers and body as a relying party sees them."""
import os
import subprocess
import tempfile
import unittest

from harness import JWKS_BINARY, Server

HEADERS = [
    ("Content-Type", "application/json; charset=utf-8"),
    ("Cache-Control", "public, max-age=300"),
    ("X-Content-Type-Options", "nosniff"),
]


class JwksOverHttp(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="tarn-e2e-")
        self.data = os.path.join(self.tmp.name, "data")

    def tearDown(self):
        self.tmp.cleanup()

    def assert_key_set_response(self, status, headers, body):
        self.assertEqual(status, 200)
        for name, value in HEADERS:
            got = [v for n, v in headers if n.lower() == name.lower()]
            self.assertEqual(got, [value], name)
        self.assertNotIn("status", [n.lower() for n, _ in headers])
        self.assertTrue(body.startswith(b'{"keys":['), body)
        self.assertTrue(body.endswith(b"]}\n"), body)
        self.assertFalse(body.endswith(b"\n\n"))

    def test_both_paths_any_method_same_answer(self):
        with Server(self.data) as s:
            first = s.get("/.well-known/jwks.json")
            self.assert_key_set_response(*first)
            for path, method, body in [("/jwks", "GET", None),
                                       ("/jwks?x=1&y=%zz", "GET", None),
                                       ("/jwks/extra/path", "GET", None),
                                       ("/.well-known/jwks.json", "POST", b"a=1"),
                                       ("/jwks", "HEAD", None)]:
                status, headers, got = s.get(path, method=method, body=body)
                if method == "HEAD":
                    self.assertEqual(status, 200)
                    continue
                self.assert_key_set_response(status, headers, got)
                self.assertEqual(got, first[2], (path, method))

    def test_unusable_store_answers_empty_set_with_200(self):
        os.makedirs(self.data, mode=0o700)
        with open(os.path.join(self.data, "keys.json"), "w") as f:
            f.write('{"active":"","keys":[{"kid":"x"}]}')
        with Server(self.data) as s:
            status, headers, body = s.get("/.well-known/jwks.json")
        self.assert_key_set_response(status, headers, body)
        self.assertEqual(body, b'{"keys":[]}\n')


class JwksCgiBytes(unittest.TestCase):
    """The bytes the program writes, before the web server rewrites the header block."""

    def test_raw_header_block(self):
        with tempfile.TemporaryDirectory() as tmp:
            env = {"IDENTITY_DATA_DIR": os.path.join(tmp, "data"), "REQUEST_METHOD": "GET"}
            out = subprocess.run([JWKS_BINARY], env=env, cwd=tmp, capture_output=True, timeout=120)
        self.assertEqual(out.returncode, 0)
        head, sep, body = out.stdout.partition(b"\r\n\r\n")
        self.assertEqual(sep, b"\r\n\r\n")
        self.assertEqual(head, b"Content-Type: application/json; charset=utf-8\r\n"
                               b"Cache-Control: public, max-age=300\r\n"
                               b"X-Content-Type-Options: nosniff")
        self.assertTrue(body.startswith(b'{"keys":[') and body.endswith(b"]}\n"), body)
        self.assertEqual(body.count(b"\n"), 1)


if __name__ == "__main__":
    unittest.main()
