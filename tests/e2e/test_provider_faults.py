"""The provider through a real lighttpd while a store cannot be used: the answer says so (5xx) and
never tells the client to throw a grant away; a grant the request could not look at is kept.
Also long requests carried through sign-in, bodies no program reads, and concurrent exchanges."""
import contextlib
import json
import os
import threading
import unittest
import urllib.parse

from provider import forms_of
from test_provider_refusals import CB, PASSWORD, ProviderCase


@contextlib.contextmanager
def unusable(data_dir, name, how):
    """The store replaced for a while by a directory (unreadable even to root) or by text that
    does not parse."""
    path = os.path.join(data_dir, name)
    os.rename(path, path + ".held")
    if how == "directory":
        os.mkdir(path)
    else:
        with open(path, "w") as f:
            f.write('[{"id": ')
    try:
        yield
    finally:
        (os.rmdir if os.path.isdir(path) else os.remove)(path)
        os.rename(path + ".held", path)


class ProviderFaults(ProviderCase):
    def tokens(self):
        code, verifier, _ = self.code()
        return self.p.exchange(self.app, code, verifier).json()

    def refresh(self, token):
        return self.p.token(self.app, {"grant_type": "refresh_token", "refresh_token": token})

    def assert_unavailable(self, answer, status=503):
        self.assertEqual((answer.status, answer.header("Cache-Control"), answer.json()["error"]),
                         (status, "no-store", "temporarily_unavailable" if status == 503 else "server_error"))

    def test_a_grant_is_never_given_up_for_a_store_that_cannot_be_read(self):
        revoke = lambda t: self.p.post("/revoke", {"token": t["refresh_token"], "client_id": self.app.client_id,
                                                   "client_secret": self.app.secret})
        userinfo = lambda t: self.p.browser().request("GET", "/userinfo",
                                                      headers={"Authorization": "Bearer " + t["access_token"]})
        refresh = lambda t: self.refresh(t["refresh_token"])
        cases = [  # what is attempted, the store, how it cannot be used, the status; the refresh token stays good
            (revoke, "tokens.json", "directory", 503), (revoke, "clients.json", "unparseable", 503),
            (refresh, "users.json", "directory", 503), (refresh, "users.json", "unparseable", 503),
            (refresh, "tokens.json", "directory", 503), (refresh, "clients.json", "unparseable", 503),
            (refresh, "keys.json", "directory", 500), (userinfo, "users.json", "unparseable", 503),
        ]
        for attempt, store, how, status in cases:
            with self.subTest(store=store, how=how, status=status):
                tokens = self.tokens()
                with unusable(self.p.data_dir, store, how):
                    self.assert_unavailable(attempt(tokens), status)
                self.assertEqual(self.refresh(tokens["refresh_token"]).status, 200)

    def test_code_exchange_authorization_and_sign_out_with_a_store_that_cannot_be_read(self):
        # A code that was found is spent whatever follows; one the store could not look at is kept.
        for store, how, kept in (("users.json", "unparseable", 400), ("tokens.json", "directory", 200),
                                 ("clients.json", "unparseable", 200)):
            with self.subTest(store=store, how=how):
                code, verifier, _ = self.code()
                with unusable(self.p.data_dir, store, how):
                    self.assert_unavailable(self.p.exchange(self.app, code, verifier))
                self.assertEqual(self.p.exchange(self.app, code, verifier).status, kept)
        with unusable(self.p.data_dir, "clients.json", "unparseable"):
            page = self.p.browser().request("GET", self.authz_query()[0])
        self.assertEqual((page.status, page.header("Location")), (503, None))
        # Sign-out that cannot end the session says so and keeps the cookie for a retry.
        _, _, b = self.code()
        with unusable(self.p.data_dir, "tokens.json", "directory"):
            self.assertEqual(b.get("/logout").status, 503)
        self.assertIn("You are signed out.", b.submit(b.get("/logout")).text)

    def test_sign_in_with_unreadable_users_counts_no_failure(self):
        b = self.p.browser()
        page = b.get("/signin")
        for store, how in (("users.json", "unparseable"), ("secret.key", "directory")):
            with unusable(self.p.data_dir, store, how):
                for _ in range(4):
                    self.assertEqual(b.submit(page, username="alice", password=PASSWORD).status, 503, store)
        # A name that is not UTF-8 names nobody: the answer for a wrong name, not a server failure.
        answer = b.submit(page, username=b"\xffalice", password=PASSWORD)
        self.assertEqual((answer.status, "Wrong username or password." in answer.text), (401, True))
        self.assertEqual(b.submit(page, username="alice", password=PASSWORD).status, 200)

    def test_the_address_budget_is_per_client_behind_a_proxy(self):
        # Behind the reverse proxy every connection comes from loopback; the address the proxy
        # adds to X-Forwarded-For is the one the budget counts, so one client's failures cannot
        # shut sign-in for all.
        b = self.p.browser()
        page = b.get("/signin")
        fields = dict(forms_of(page.text)[0]["fields"], password="wrong")
        sign_in = lambda name, forwarded: b.request("POST", "/signin", form=dict(fields, username=name),
                                                    headers={"X-Forwarded-For": forwarded}).status
        self.assertEqual([sign_in("nobody%d" % i, "203.0.113.7") for i in range(21)], [401] * 20 + [429])
        self.assertEqual(sign_in("nobody", "198.51.100.4"), 401)
        with open(os.path.join(self.p.data_dir, "audit_log.json")) as f:
            self.assertEqual({e["ip"] for e in json.load(f)}, {"203.0.113.7", "198.51.100.4"})

    def test_long_requests_and_bodies(self):
        # A state of 2048 bytes, carried while the user signs in, fits lighttpd's 8 KiB request
        # line on every redirect.
        for state in ("a" * 2048, "\u00e9" * 1024, json.dumps({"k%d" % i: "v w" for i in range(300)})[:2048]):
            with self.subTest(state=state[:8]):
                code, verifier, _ = self.code(state=state)
                self.assertEqual(self.p.exchange(self.app, code, verifier).status, 200)
        # A nonce that is not UTF-8 (lighttpd lets it through in a POST body) cannot be stored
        # with the code: refused at once, not with server_error after sign-in and consent.
        query = dict(urllib.parse.parse_qsl(urllib.parse.urlsplit(self.authz_query()[0]).query), nonce=b"\xff")
        answer = self.p.browser().request("POST", "/authorize", form=query)
        self.assertEqual((answer.status, answer.query().get("error")), (303, "invalid_request"))
        # A body no program reads (over 1 MiB) is refused before lighttpd buffers it.
        form = {"Content-Type": "application/x-www-form-urlencoded"}
        for size, status in ((1024 * 1024, 400), (1024 * 1024 + 1, 413), (64 * 1024 * 1024, 413)):
            self.assertEqual(self.p.server.get("/token", "POST", b"a" * size, form)[0], status, size)

    def test_one_code_or_refresh_token_is_exchanged_once_among_concurrent_requests(self):
        code, verifier, _ = self.code()
        refresh = self.tokens()["refresh_token"]
        for name, attempt in (("code", lambda: self.p.exchange(self.app, code, verifier)),
                              ("refresh token", lambda: self.refresh(refresh))):
            with self.subTest(name):
                answers, start = [None] * 8, threading.Barrier(8)
                threads = [threading.Thread(target=lambda i=i: (start.wait(), answers.__setitem__(i, attempt())))
                           for i in range(8)]
                [t.start() for t in threads]
                [t.join() for t in threads]
                self.assertEqual(sorted((a.status, a.json().get("error")) for a in answers),
                                 [(200, None)] + [(400, "invalid_grant")] * 7)


if __name__ == "__main__":
    unittest.main()
