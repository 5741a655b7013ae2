"""The provider through a real lighttpd while a store cannot be used: the answer says so (5xx) and
never tells the client to throw a grant away; a grant the request could not look at is kept.
Also long requests carried through sign-in, and concurrent exchanges of one code or token."""
import json
import os
import tempfile
import threading
import unittest

from provider import Provider, pkce_pair

PASSWORD = "correct horse 1"
CB = "http://127.0.0.1:9/cb"


class Unusable:
    """The store replaced for a while by a directory (unreadable even to root) or by text that
    does not parse; then put back as it was."""

    def __init__(self, data_dir, name, how):
        self.path, self.how = os.path.join(data_dir, name), how

    def __enter__(self):
        os.rename(self.path, self.path + ".held")
        if self.how == "directory":
            os.mkdir(self.path)
        else:
            with open(self.path, "w") as f:
                f.write('[{"id": ')

    def __exit__(self, *exc):
        (os.rmdir if os.path.isdir(self.path) else os.remove)(self.path)
        os.rename(self.path + ".held", self.path)


class ProviderFaults(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="tarn-faults-")
        self.p = Provider(self.tmp.name).__enter__()
        self.p.user("alice", PASSWORD, "alice@example.com")
        self.app = self.p.client("App", CB)

    def tearDown(self):
        self.p.__exit__(None, None, None)
        self.tmp.cleanup()

    def code(self, **params):
        verifier, challenge = pkce_pair()
        answer = self.p.browser().authorize(self.app, "alice", PASSWORD, code_challenge=challenge,
                                            code_challenge_method="S256", **params)
        self.assertIn(answer.status, (302, 303), answer.text[:300])
        return answer, verifier

    def tokens(self):
        answer, verifier = self.code()
        return self.p.exchange(self.app, answer.query()["code"], verifier).json()

    def refresh(self, token):
        return self.p.token(self.app, {"grant_type": "refresh_token", "refresh_token": token})

    def assert_unavailable(self, answer, status=503):
        self.assertEqual(answer.status, status, answer.text)
        self.assertEqual(answer.header("Cache-Control"), "no-store")
        self.assertEqual(answer.json()["error"], "temporarily_unavailable" if status == 503 else "server_error")

    def test_a_grant_is_never_given_up_for_a_store_that_cannot_be_read(self):
        revoke = lambda t: self.p.post("/revoke", {"token": t["refresh_token"], "client_id": self.app.client_id,
                                                   "client_secret": self.app.secret})
        userinfo = lambda t: self.p.browser().request("GET", "/userinfo",
                                                      headers={"Authorization": "Bearer " + t["access_token"]})
        refresh = lambda t: self.refresh(t["refresh_token"])
        cases = [  # what is attempted, the store, how it cannot be used, the status; the refresh token stays good
            ("revocation", revoke, "tokens.json", "directory", 503),
            ("revocation", revoke, "clients.json", "unparseable", 503),
            ("refresh", refresh, "users.json", "directory", 503),
            ("refresh", refresh, "users.json", "unparseable", 503),
            ("refresh", refresh, "tokens.json", "directory", 503),
            ("refresh", refresh, "clients.json", "unparseable", 503),
            ("refresh", refresh, "keys.json", "directory", 500),
            ("UserInfo", userinfo, "users.json", "unparseable", 503),
        ]
        for name, attempt, store, how, status in cases:
            with self.subTest(name, store=store, how=how):
                tokens = self.tokens()
                with Unusable(self.p.data_dir, store, how):
                    self.assert_unavailable(attempt(tokens), status)
                self.assertEqual(self.refresh(tokens["refresh_token"]).status, 200)

    def test_code_exchange_and_authorization_with_a_store_that_cannot_be_read(self):
        # A code that was found is spent whatever follows; one the store could not look at is kept.
        for store, how, kept in (("users.json", "unparseable", False), ("tokens.json", "directory", True),
                                 ("clients.json", "unparseable", True)):
            with self.subTest(store=store, how=how):
                answer, verifier = self.code()
                with Unusable(self.p.data_dir, store, how):
                    self.assert_unavailable(self.p.exchange(self.app, answer.query()["code"], verifier))
                self.assertEqual(self.p.exchange(self.app, answer.query()["code"], verifier).status,
                                 200 if kept else 400)
        with Unusable(self.p.data_dir, "clients.json", "unparseable"):
            page = self.p.browser().get("/authorize?response_type=code&scope=openid&client_id=%s&redirect_uri=%s"
                                        % (self.app.client_id, CB))
        self.assertEqual((page.status, page.header("Location")), (503, None))

    def test_sign_out_that_cannot_end_the_session_says_so(self):
        b = self.p.browser()
        b.submit(b.get("/signin"), username="alice", password=PASSWORD)
        with Unusable(self.p.data_dir, "tokens.json", "directory"):
            self.assertEqual(b.get("/logout").status, 503)
        self.assertIn("id_session", b.cookies)  # kept for a retry: the session still lives
        self.assertIn("You are signed out.", b.submit(b.get("/logout")).text)

    def test_sign_in_with_unreadable_users_counts_no_failure(self):
        b = self.p.browser()
        page = b.get("/signin")
        with Unusable(self.p.data_dir, "users.json", "unparseable"):
            for _ in range(4):
                self.assertEqual(b.submit(page, username="alice", password=PASSWORD).status, 503)
        self.assertNotIn("id_session", b.cookies)
        self.assertEqual(b.submit(page, username="alice", password=PASSWORD).status, 200)

    def test_a_request_within_the_limits_survives_sign_in_and_consent(self):
        # A state of 2048 bytes, carried while the user signs in, must fit lighttpd's 8 KiB
        # request line on every redirect.
        for state in ("a" * 2048, "\u00e9" * 1024, json.dumps({"k%d" % i: "v w" for i in range(300)})[:2048]):
            with self.subTest(state=state[:8]):
                answer, verifier = self.code(state=state)
                self.assertEqual(answer.query()["state"], state)
                self.assertEqual(self.p.exchange(self.app, answer.query()["code"], verifier).status, 200)

    def test_a_body_the_programs_never_read_is_refused_before_it_is_buffered(self):
        form = {"Content-Type": "application/x-www-form-urlencoded"}
        for size, status in ((1024 * 1024, 400), (1024 * 1024 + 1, 413), (64 * 1024 * 1024, 413)):
            with self.subTest(size=size):
                self.assertEqual(self.p.server.get("/token", "POST", b"a" * size, form)[0], status)

    def test_one_code_or_refresh_token_is_exchanged_once_among_concurrent_requests(self):
        answer, verifier = self.code()
        refresh = self.tokens()["refresh_token"]
        for name, attempt in (("code", lambda: self.p.exchange(self.app, answer.query()["code"], verifier)),
                              ("refresh token", lambda: self.refresh(refresh))):
            with self.subTest(name):
                answers, start = [None] * 8, threading.Barrier(8)

                def run(i):
                    start.wait()
                    answers[i] = attempt()

                threads = [threading.Thread(target=run, args=(i,)) for i in range(8)]
                [t.start() for t in threads]
                [t.join() for t in threads]
                self.assertEqual(sorted((a.status, a.json().get("error")) for a in answers),
                                 [(200, None)] + [(400, "invalid_grant")] * 7)


if __name__ == "__main__":
    unittest.main()
