"""The signing keys end to end: the real jwks program under lighttpd on a real data directory,
every published key and signature checked with independent code (cryptography, PyJWT)."""
import base64
import hashlib
import json
import os
import shutil
import stat
import subprocess
import tempfile
import threading
import unittest

import jwt
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import rsa

from harness import BUILD_DIR, JWKS_BINARY, Server

SIGN_TOOL = os.path.join(BUILD_DIR, "tests", "sign_token")


def b64url(data):
    return base64.urlsafe_b64encode(data).rstrip(b"=").decode()


def unb64url(text):
    return base64.urlsafe_b64decode(text + "=" * (-len(text) % 4))


def der_length(n):
    if n < 128:
        return bytes([n])
    if n < 256:
        return bytes([0x81, n])
    return bytes([0x82, n >> 8, n & 0xFF])


def der_integer(value):
    body = value.to_bytes((value.bit_length() + 7) // 8 or 1, "big")
    if body[0] & 0x80:
        body = b"\x00" + body
    return b"\x02" + der_length(len(body)) + body


def kid_from_numbers(n, e):
    """First 16 characters of base64url(SHA-256(encoding)); the encoding puts the rsaEncryption
    identifier and NULL straight into the outer SEQUENCE."""
    ints = der_integer(n) + der_integer(e)
    key = b"\x30" + der_length(len(ints)) + ints
    bits = b"\x00" + key
    body = bytes.fromhex("06092A864886F70D0101010500") + b"\x03" + der_length(len(bits)) + bits
    encoding = b"\x30" + der_length(len(body)) + body
    if n.bit_length() == 2048 and e == 65537:
        assert len(encoding) == 292, len(encoding)
    return b64url(hashlib.sha256(encoding).digest())[:16]


def stored_key_entry(private_key, status="retired", created=1700000000):
    pub = private_key.public_key().public_numbers()
    der = private_key.private_bytes(serialization.Encoding.DER, serialization.PrivateFormat.PKCS8,
                                    serialization.NoEncryption())
    return {"kid": kid_from_numbers(pub.n, pub.e), "created": created, "alg": "RS256",
            "priv_der_b64": b64url(der), "status": status}


class KeysEndToEnd(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="tarn-keys-e2e-")
        self.data = os.path.join(self.tmp.name, "data")
        self.keys_path = os.path.join(self.data, "keys.json")

    def tearDown(self):
        self.tmp.cleanup()

    def fetch_set(self, server):
        status, headers, body = server.get("/.well-known/jwks.json")
        self.assertEqual(status, 200)
        self.assertTrue(body.endswith(b"}\n") and body.count(b"\n") == 1, body)
        return body, json.loads(body)

    def read_store(self):
        with open(self.keys_path) as f:
            return json.load(f)

    def assert_published_matches_store(self, published, store):
        """Each published key is the public half of the stored private key with its kid."""
        stored = {k["kid"]: k for k in store["keys"]}
        for jwk in published["keys"]:
            self.assertEqual(list(jwk), ["kty", "use", "alg", "kid", "n", "e"])
            self.assertEqual((jwk["kty"], jwk["use"], jwk["alg"]), ("RSA", "sig", "RS256"))
            entry = stored[jwk["kid"]]
            private = serialization.load_der_private_key(unb64url(entry["priv_der_b64"]), None)
            numbers = private.public_key().public_numbers()
            self.assertEqual(int.from_bytes(unb64url(jwk["n"]), "big"), numbers.n)
            self.assertEqual(int.from_bytes(unb64url(jwk["e"]), "big"), numbers.e)
            self.assertEqual(len(jwk["n"]), 342)
            self.assertEqual(jwk["e"], "AQAB")
            self.assertEqual(jwk["kid"], kid_from_numbers(numbers.n, numbers.e))

    def sign(self, payload):
        """A token from id_jwt_sign_rs256 with the keys of this data directory."""
        env = dict(os.environ, IDENTITY_DATA_DIR=self.data)
        run = subprocess.run([SIGN_TOOL, payload], env=env, cwd=self.tmp.name,
                             capture_output=True, text=True, timeout=300)
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        return run.stdout

    def test_first_request_creates_the_key_and_later_ones_publish_it(self):
        with Server(self.data) as s:
            first_body, first = self.fetch_set(s)
            self.assertEqual(len(first["keys"]), 1)
            store = self.read_store()
            self.assertEqual(len(store["keys"]), 1)
            self.assertEqual(store["active"], first["keys"][0]["kid"])
            self.assertEqual(store["keys"][0]["status"], "active")
            self.assertEqual(stat.S_IMODE(os.stat(self.keys_path).st_mode), 0o600)
            self.assert_published_matches_store(first, store)
            second_body, _ = self.fetch_set(s)
            self.assertEqual(second_body, first_body)
            self.assertEqual(self.read_store(), store)

            # A token signed by the library verifies with the key PyJWT fetches from the server.
            claims = {"sub": "usr_abc", "aud": "client_1", "iss": s.url(""), "scope": "openid"}
            token = self.sign(json.dumps(claims, separators=(",", ":")))
            header = jwt.get_unverified_header(token)
            self.assertEqual(header, {"alg": "RS256", "typ": "JWT", "kid": store["active"]})
            client = jwt.PyJWKClient(s.url("/jwks"))
            key = client.get_signing_key_from_jwt(token)
            self.assertEqual(key.key_id, store["active"])
            got = jwt.decode(token, key.key, algorithms=["RS256"], audience="client_1")
            self.assertEqual(got, claims)
            head, payload, sig = token.split(".")
            forged = head + "." + b64url(b'{"sub":"admin"}') + "." + sig
            with self.assertRaises(jwt.InvalidSignatureError):
                jwt.decode(forged, key.key, algorithms=["RS256"], options={"verify_aud": False})

    def test_sixteen_simultaneous_first_requests_share_one_key(self):
        with Server(self.data) as s:
            results = [None] * 16
            start = threading.Barrier(16)

            def request(i):
                start.wait()
                results[i] = s.get("/.well-known/jwks.json")

            threads = [threading.Thread(target=request, args=(i,)) for i in range(16)]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
        kids = set()
        for status, _, body in results:
            self.assertEqual(status, 200)
            keys = json.loads(body)["keys"]
            self.assertEqual(len(keys), 1, body)
            kids.add(keys[0]["kid"])
        self.assertEqual(len(kids), 1, kids)
        store = self.read_store()
        self.assertEqual([k["kid"] for k in store["keys"]], list(kids))
        self.assertEqual(sorted(os.listdir(self.data)), ["keys.json", "keys.json.lock"])

    def test_retired_and_foreign_keys_are_published_unusable_ones_left_out(self):
        # Keys made by another implementation, stored in the documented format.
        retired = stored_key_entry(rsa.generate_private_key(65537, 2048), "retired")
        active = stored_key_entry(rsa.generate_private_key(65537, 2048), "active")
        edited = stored_key_entry(rsa.generate_private_key(65537, 2048))
        edited["kid"] = ("A" if edited["kid"][0] != "A" else "B") + edited["kid"][1:]
        small = stored_key_entry(rsa.generate_private_key(65537, 1024))
        os.makedirs(self.data, mode=0o700)
        store = {"active": active["kid"], "keys": [retired, edited, small, active]}
        with open(self.keys_path, "w") as f:
            json.dump(store, f)
        with Server(self.data) as s:
            _, published = self.fetch_set(s)
            self.assertEqual([k["kid"] for k in published["keys"]], [retired["kid"], active["kid"]])
            self.assert_published_matches_store(published, store)
            token = self.sign('{"sub":"x"}')
            key = jwt.PyJWKClient(s.url("/.well-known/jwks.json")).get_signing_key_from_jwt(token)
            self.assertEqual(key.key_id, active["kid"])
            self.assertEqual(jwt.decode(token, key.key, algorithms=["RS256"]), {"sub": "x"})
        self.assertEqual(self.read_store(), store)

    def test_unparseable_store_is_set_aside_and_replaced(self):
        # Text that is not JSON, and JSON nested a million levels deep (refused without recursing
        # into it): kept aside byte for byte, and a fresh key takes the store's place.
        for text in ["not json", "[" * 1000000, '{"keys":' + "[" * 200000]:
            with self.subTest(text=text[:20]):
                shutil.rmtree(self.data, ignore_errors=True)
                os.makedirs(self.data, mode=0o700)
                with open(self.keys_path, "w") as f:
                    f.write(text)
                with Server(self.data) as s:
                    _, published = self.fetch_set(s)
                self.assertEqual(len(published["keys"]), 1)
                self.assert_published_matches_store(published, self.read_store())
                aside = [n for n in os.listdir(self.data) if n.startswith("keys.json.corrupt-")]
                self.assertEqual(len(aside), 1)
                with open(os.path.join(self.data, aside[0])) as f:
                    self.assertEqual(f.read(), text)

    def test_store_that_cannot_be_set_aside_answers_the_empty_set(self):
        # An unprivileged jwks in a read-only data directory cannot keep the unreadable store, so
        # it must not replace it: the empty key set, exit status 0, the file untouched.
        deep = "[" * 1000000
        os.chmod(self.tmp.name, 0o755)
        os.makedirs(self.data)
        with open(self.keys_path, "w") as f:
            f.write(deep)
        os.chmod(self.keys_path, 0o644)
        open(self.keys_path + ".lock", "w").close()
        os.chmod(self.keys_path + ".lock", 0o666)
        os.chmod(self.data, 0o555)
        env = {"PATH": "/usr/bin:/bin", "IDENTITY_DATA_DIR": self.data}
        # root ignores directory permissions: run as nobody then, a copy of jwks in the scratch
        # directory, since the build tree may lie where only root can enter (a checkout in /root).
        who, program = {}, JWKS_BINARY
        if os.geteuid() == 0:
            who = {"user": 65534, "group": 65534}
            program = os.path.join(self.tmp.name, "jwks")
            shutil.copyfile(JWKS_BINARY, program)
            os.chmod(program, 0o755)
        run = subprocess.run([program], env=env, cwd="/", capture_output=True, timeout=120, **who)
        os.chmod(self.data, 0o700)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertTrue(run.stdout.endswith(b'\r\n\r\n{"keys":[]}\n'), run.stdout[-200:])
        with open(self.keys_path) as f:
            self.assertEqual(f.read(), deep)
        self.assertEqual(sorted(os.listdir(self.data)), ["keys.json", "keys.json.lock"])

    def test_key_whose_crt_coefficient_is_wrong_is_not_published_and_signs_nothing(self):
        # Consistent in every other number, so only the coefficient check can refuse it; a
        # signature made with it would be right modulo q only and give q away.
        private = rsa.generate_private_key(65537, 2048)
        nums = private.private_numbers()
        pub = nums.public_numbers
        fields = [0, pub.n, pub.e, nums.d, nums.p, nums.q, nums.dmp1, nums.dmq1, (nums.iqmp + 2) % nums.p]
        body = b"".join(der_integer(v) for v in fields)
        der = b"\x30" + der_length(len(body)) + body
        kid = kid_from_numbers(pub.n, pub.e)
        store = {"active": kid, "keys": [{"kid": kid, "created": 1, "alg": "RS256",
                                          "priv_der_b64": b64url(der), "status": "active"}]}
        os.makedirs(self.data, mode=0o700)
        with open(self.keys_path, "w") as f:
            json.dump(store, f)
        with Server(self.data) as s:
            body, published = self.fetch_set(s)
        self.assertEqual(body, b'{"keys":[]}\n')
        env = dict(os.environ, IDENTITY_DATA_DIR=self.data)
        run = subprocess.run([SIGN_TOOL, '{"sub":"x"}'], env=env, cwd=self.tmp.name,
                             capture_output=True, text=True, timeout=300)
        self.assertNotEqual(run.returncode, 0)
        self.assertEqual(run.stdout, "")
        self.assertEqual(self.read_store(), store)

if __name__ == "__main__":
    unittest.main()
