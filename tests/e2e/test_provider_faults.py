"""The provider while a store cannot be used, and racing requests, through a real lighttpd: an
answer that depends on a store that cannot be read says so (5xx), never a success and never an
answer that tells the client to throw its grant away; a grant a request could not look at is
left as it was. Concurrent exchanges of one code or one refresh token are real processes."""
import json
import os
import tempfile
import threading
import unittest
import urllib.parse

from provider import Provider, pkce_pair

PASSWORD = "correct horse 1"
CB = "http://127.0.0.1:9/cb"


class Unusable:
    """A store made unusable for the duration: a directory in its place (unreadable even to
    root) or text that does not parse; the file comes back as it was."""

    def __init__(self, data_dir, name, how):
        self.path, self.how = os.path.join(data_dir, name), how

    def __enter__(self):
        os.rename(self.path, self.path + ".held")
        if self.how == "directory":
            os.mkdir(self.path)
        else:
            with open(self.path, "w") as f:
                f.write('[{"id": ')
        return self

    def __exit__(self, *exc):
        if os.path.isdir(self.path):
            os.rmdir(self.path)
        else:
            os.remove(self.path)
        os.rename(self.path + ".held", self.path)


class ProviderCase(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="tarn-faults-")
        self.p = Provider(self.tmp.name).__enter__()
        self.user_id = self.p.user("alice", PASSWORD, "alice@example.com")
        self.app = self.p.client("App", CB)

    def tearDown(self):
        self.p.__exit__(None, None, None)
        self.tmp.cleanup()

    def tokens(self):
        verifier, challenge = pkce_pair()
        answer = self.p.browser().authorize(self.app, "alice", PASSWORD, code_challenge=challenge,
                                            code_challenge_method="S256")
        got = self.p.exchange(self.app, answer.query()["code"], verifier)
        self.assertEqual(got.status, 200, got.text)
        return got.json()

    def refresh(self, token):
        return self.p.token(self.app, {"grant_type": "refresh_token", "refresh_token": token})

    def userinfo(self, access):
        return self.p.browser().request("GET", "/userinfo", headers={"Authorization": "Bearer " + access})

    def assert_unavailable(self, answer):
        self.assertIn(answer.status, (500, 503), answer.text)
        self.assertEqual(answer.header("Cache-Control"), "no-store")
        self.assertIn(answer.json()["error"], ("server_error", "temporarily_unavailable"))


class StoreFaults(ProviderCase):
    def test_a_grant_is_never_given_up_for_a_store_that_cannot_be_read(self):
        revoke = lambda t: self.p.post("/revoke", {"token": t["refresh_token"], "client_id": self.app.client_id,
                                                   "client_secret": self.app.secret})
        # (what is attempted, the store, how it is unusable, whether the refresh token must still
        # work once the store is back)
        cases = [
            ("revocation of a refresh token", revoke, "tokens.json", "directory"),
            ("refresh", lambda t: self.refresh(t["refresh_token"]), "users.json", "directory"),
            ("refresh", lambda t: self.refresh(t["refresh_token"]), "users.json", "unparseable"),
            ("UserInfo", lambda t: self.userinfo(t["access_token"]), "users.json", "unparseable"),
            ("refresh", lambda t: self.refresh(t["refresh_token"]), "tokens.json", "directory"),
            ("refresh", lambda t: self.refresh(t["refresh_token"]), "keys.json", "directory"),
        ]
        for name, attempt, store, how in cases:
            with self.subTest(name, store=store, how=how):
                tokens = self.tokens()
                with Unusable(self.p.data_dir, store, how):
                    self.assert_unavailable(attempt(tokens))
                # The refresh token was left as it was: it still works.
                again = self.refresh(tokens["refresh_token"])
                self.assertEqual(again.status, 200, again.text)

    def test_code_exchange_with_a_store_that_cannot_be_read_is_a_server_error(self):
        # (the store, how, whether the code is still good afterwards: a code that was found is
        # spent whatever follows)
        cases = [("users.json", "unparseable", False), ("tokens.json", "directory", True)]
        for store, how, kept in cases:
            with self.subTest(store=store, how=how):
                verifier, challenge = pkce_pair()
                answer = self.p.browser().authorize(self.app, "alice", PASSWORD, code_challenge=challenge,
                                                    code_challenge_method="S256")
                code = answer.query()["code"]
                with Unusable(self.p.data_dir, store, how):
                    self.assert_unavailable(self.p.exchange(self.app, code, verifier))
                self.assertEqual(self.p.exchange(self.app, code, verifier).status, 200 if kept else 400)

    def test_sign_in_with_unreadable_users_counts_no_failure(self):
        b = self.p.browser()
        page = b.get("/signin")
        with Unusable(self.p.data_dir, "users.json", "unparseable"):
            for _ in range(4):
                answer = b.submit(page, username="alice", password=PASSWORD)
                self.assertEqual(answer.status, 503, answer.text)
                self.assertNotIn("id_session", b.cookies)
        # Nothing was counted against alice: she signs in at once.
        self.assertEqual(b.submit(page, username="alice", password=PASSWORD).status, 200)
        path = os.path.join(self.p.data_dir, "login_attempts.json")
        if os.path.exists(path):
            with open(path) as f:
                self.assertNotIn("acc_alice", json.load(f))


class LongRequests(ProviderCase):
    def test_a_request_within_the_limits_survives_sign_in_and_consent(self):
        # A state of 2048 bytes is within the limit; carried while the user signs in, it must
        # still fit the web server's request line (8 KiB) on every redirect.
        cases = [
            ("ASCII", "a" * 2048),
            ("UTF-8", "\u00e9" * 1024),
            ("JSON", json.dumps({"k%d" % i: "v w" for i in range(300)})[:2048]),
        ]
        for name, state in cases:
            with self.subTest(name):
                verifier, challenge = pkce_pair()
                answer = self.p.browser().authorize(self.app, "alice", PASSWORD, state=state,
                                                    code_challenge=challenge, code_challenge_method="S256")
                self.assertIn(answer.status, (302, 303), answer.text[:300])
                self.assertEqual(answer.query()["state"], state)
                self.assertEqual(self.p.exchange(self.app, answer.query()["code"], verifier).status, 200)


class Races(ProviderCase):
    def race(self, n, attempt):
        answers = [None] * n
        start = threading.Barrier(n)

        def run(i):
            start.wait()
            answers[i] = attempt()

        threads = [threading.Thread(target=run, args=(i,)) for i in range(n)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        return answers

    def test_one_code_or_refresh_token_is_exchanged_once_among_concurrent_requests(self):
        verifier, challenge = pkce_pair()
        answer = self.p.browser().authorize(self.app, "alice", PASSWORD, code_challenge=challenge,
                                            code_challenge_method="S256")
        code = answer.query()["code"]
        refresh = self.tokens()["refresh_token"]
        cases = [
            ("code", lambda: self.p.exchange(self.app, code, verifier)),
            ("refresh token", lambda: self.refresh(refresh)),
        ]
        for name, attempt in cases:
            with self.subTest(name):
                answers = self.race(8, attempt)
                won = [a for a in answers if a.status == 200]
                self.assertEqual(len(won), 1, [a.text for a in answers])
                for a in answers:
                    if a.status != 200:
                        self.assertEqual((a.status, a.json()["error"]), (400, "invalid_grant"))


if __name__ == "__main__":
    unittest.main()
