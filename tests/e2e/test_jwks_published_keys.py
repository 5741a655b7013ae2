"""The published key set through a change of keys: after the first request, a rotation by tarnctl
and a pruning, the file holds byte for byte what the jwks program answers, lighttpd serves it,
and tokens the library signs verify through the served file with PyJWT and with node's jose."""
import json
import os
import subprocess
import time
import unittest

import jwt

from harness import BUILD_DIR, JWKS_BINARY, Server
from tarnctl_support import Workspace, clean_env

SIGN_TOOL = os.path.join(BUILD_DIR, "tests", "sign_token")
NODE_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "node")


class PublishedKeySet(unittest.TestCase):
    def setUp(self):
        self.w = Workspace()
        self.jwks_file = os.path.join(self.w.root, "public", "jwks.json")
        os.makedirs(os.path.dirname(self.jwks_file))

    def tearDown(self):
        self.w.__exit__()

    def program_body(self):
        """The jwks program's body, run as a CGI process that is told of no published file."""
        run = subprocess.run([JWKS_BINARY], env=clean_env({"IDENTITY_DATA_DIR": self.w.data, "REQUEST_METHOD": "GET"}),
                             cwd=self.w.root, capture_output=True, timeout=300)
        self.assertEqual(run.returncode, 0, run.stderr)
        head, sep, body = run.stdout.partition(b"\r\n\r\n")
        self.assertEqual(sep, b"\r\n\r\n", run.stdout)
        return body

    def published(self):
        with open(self.jwks_file, "rb") as f:
            return f.read()

    def assert_file_is_the_program_body(self, keys):
        body = self.program_body()
        self.assertEqual(self.published(), body)
        self.assertEqual(len(json.loads(body)["keys"]), keys)
        self.assertEqual(os.stat(self.jwks_file).st_mode & 0o777, 0o644)
        return body

    def served_becomes(self, server, body, before):
        """The served key set until it is `body`: lighttpd may answer from its one-second cache
        of the file's state, but every answer is the old file or the new one, whole."""
        deadline = time.time() + 10
        while True:
            status, headers, got = server.get("/.well-known/jwks.json")
            self.assertEqual(status, 200)
            self.assertIn(got, (before, body))
            if got == body:
                self.assertTrue([v for n, v in headers if n.lower() == "etag"], headers)
                return
            self.assertLess(time.time(), deadline, "the served key set is still the old one")
            time.sleep(0.05)

    def sign(self, sub):
        run = subprocess.run([SIGN_TOOL, json.dumps({"sub": sub, "iss": "https://id.example"})],
                             env=clean_env({"IDENTITY_DATA_DIR": self.w.data, "IDENTITY_JWKS_FILE": self.jwks_file}),
                             cwd=self.w.root, capture_output=True, text=True, timeout=300)
        self.assertEqual(run.returncode, 0, run.stderr)
        return run.stdout

    def verify(self, server, tokens):
        """(PyJWT's, jose's) verdicts per token: the subject when it verifies, else None."""
        url = server.url("/.well-known/jwks.json")
        client = jwt.PyJWKClient(url, cache_jwk_set=False, cache_keys=False)
        by_pyjwt = []
        for token in tokens:
            try:
                key = client.get_signing_key_from_jwt(token)
                by_pyjwt.append(jwt.decode(token, key.key, algorithms=["RS256"])["sub"])
            except jwt.PyJWKClientError:
                by_pyjwt.append(None)
        run = subprocess.run(["node", "verify_tokens.mjs", url] + tokens, cwd=NODE_DIR, capture_output=True,
                             text=True, timeout=120)
        self.assertEqual(run.returncode, 0, run.stderr)
        by_jose = []
        for result in json.loads(run.stdout):
            if not result["ok"]:
                self.assertEqual(result["code"], "ERR_JWKS_NO_MATCHING_KEY", result)
            by_jose.append(result["payload"]["sub"] if result["ok"] else None)
        return by_pyjwt, by_jose

    def tarnctl(self, *args):
        run = self.w.tarnctl(*args, env={"IDENTITY_JWKS_FILE": self.jwks_file})
        self.assertEqual(run.status, 0, run)
        return run

    def test_the_file_follows_every_change_and_tokens_verify_through_it(self):
        # The first key, made without the published file, created long ago so that it can be pruned.
        self.program_body()
        with open(self.w.path("keys.json")) as f:
            store = json.load(f)
        store["keys"][0]["created"] = 1000
        self.w.write("keys.json", store)
        self.assertFalse(os.path.exists(self.jwks_file))

        with Server(self.w.data, jwks_file=self.jwks_file) as s:
            # The first request: the program answers and writes the missing file.
            status, _, first = s.get("/.well-known/jwks.json")
            self.assertEqual(status, 200)
            self.assertEqual(first, self.assert_file_is_the_program_body(1))
            self.served_becomes(s, first, first)
            old = self.sign("before the rotation")
            self.assertEqual(self.verify(s, [old]), (["before the rotation"], ["before the rotation"]))

            self.tarnctl("keys", "rotate")
            rotated = self.assert_file_is_the_program_body(2)
            self.served_becomes(s, rotated, first)
            new = self.sign("after the rotation")
            self.assertNotEqual(jwt.get_unverified_header(old)["kid"], jwt.get_unverified_header(new)["kid"])
            both = ["before the rotation", "after the rotation"]
            self.assertEqual(self.verify(s, [old, new]), (both, both))

            pruned = self.tarnctl("keys", "prune", "--max-age", "86400", "--json").json()
            self.assertEqual(pruned["removed"], [jwt.get_unverified_header(old)["kid"]], pruned)
            last = self.assert_file_is_the_program_body(1)
            self.served_becomes(s, last, rotated)
            only_new = [None, "after the rotation"]
            self.assertEqual(self.verify(s, [old, new]), (only_new, only_new))


if __name__ == "__main__":
    unittest.main()
