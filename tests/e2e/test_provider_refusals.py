"""The provider's refusals through a real lighttpd: requests that must not be redirected, errors
that go back to the client with state and iss, token requests that must fail, forms posted
without their token, outside text that must come back escaped, sign-out targets that are not
registered, and the pages' security headers and HTML."""
import base64
import json
import os
import subprocess
import tempfile
import threading
import unittest
import urllib.parse

from provider import Provider, forms_of, pkce_pair

PASSWORD = "correct horse 1"
CB = "http://127.0.0.1:9/cb"


class ProviderCase(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="tarn-provider-")
        self.p = Provider(self.tmp.name).__enter__()
        self.user_id = self.p.user("alice", PASSWORD, "alice@example.com")
        self.app = self.p.client("App", CB)
        self.public = self.p.client("Public app", CB, public=True)

    def tearDown(self):
        self.p.__exit__(None, None, None)
        self.tmp.cleanup()

    def authz_query(self, client=None, **params):
        client = client or self.app
        verifier, challenge = pkce_pair()
        q = {"response_type": "code", "client_id": client.client_id, "redirect_uri": client.redirect_uri,
             "scope": "openid profile", "state": "s-1", "code_challenge": challenge, "code_challenge_method": "S256"}
        q.update(params)
        return "/authorize?" + urllib.parse.urlencode({k: v for k, v in q.items() if v is not None}), verifier

    def code(self, browser=None, client=None, **params):
        """A code for alice through a browser; returns (code, verifier, browser)."""
        browser = browser or self.p.browser()
        client = client or self.app
        verifier, challenge = pkce_pair()
        answer = browser.authorize(client, "alice", PASSWORD, code_challenge=challenge,
                                   code_challenge_method="S256", **params)
        self.assertIn(answer.status, (302, 303), answer.text)
        return answer.query()["code"], verifier, browser

    def expired_copy(self, id_token):
        """`id_token` signed again with the provider's active key, expired an hour ago."""
        import time

        import jwt
        from cryptography.hazmat.primitives import serialization
        with open(os.path.join(self.p.data_dir, "keys.json")) as f:
            keys = json.load(f)
        entry = [k for k in keys["keys"] if k["kid"] == keys["active"]][0]
        der = base64.urlsafe_b64decode(entry["priv_der_b64"] + "=" * (-len(entry["priv_der_b64"]) % 4))
        key = serialization.load_der_private_key(der, None)
        claims = jwt.decode(id_token, options={"verify_signature": False})
        now = int(time.time())
        claims.update(iat=now - 7200, exp=now - 3600, auth_time=now - 7200)
        return jwt.encode(claims, key, algorithm="RS256", headers={"kid": entry["kid"]})

    def assert_page_headers(self, answer):
        csp = answer.header("Content-Security-Policy")
        self.assertIn("frame-ancestors 'none'", csp)
        self.assertIn("default-src 'none'", csp)
        self.assertEqual(answer.header("X-Frame-Options"), "DENY")
        self.assertEqual(answer.header("Referrer-Policy"), "no-referrer")
        self.assertEqual(answer.header("Cache-Control"), "no-store")
        self.assertEqual(answer.header("Content-Type"), "text/html; charset=utf-8")


class AuthorizationRefusals(ProviderCase):
    def test_requests_that_cannot_name_client_and_uri_are_never_redirected(self):
        cases = [
            ("unknown client", dict(client_id="client_unknown0000")),
            ("unregistered redirect URI", dict(redirect_uri="http://127.0.0.1:9/other")),
            ("redirect URI differing by a slash", dict(redirect_uri=CB + "/")),
            ("no redirect URI", dict(redirect_uri=None)),
            ("no client", dict(client_id=None)),
        ]
        for name, params in cases:
            with self.subTest(name):
                path, _ = self.authz_query(**params)
                answer = self.p.browser().request("GET", path)
                self.assertEqual(answer.status, 400)
                self.assertIsNone(answer.header("Location"))
                self.assert_page_headers(answer)
        repeated = self.authz_query()[0] + "&redirect_uri=" + urllib.parse.quote(CB)
        self.assertEqual(self.p.browser().request("GET", repeated).status, 400)

    def test_other_errors_go_back_with_error_state_and_iss(self):
        cases = [
            ("response type token", dict(response_type="token"), "unsupported_response_type"),
            ("no response type", dict(response_type=None), "invalid_request"),
            ("request object", dict(request="eyJ.x.y"), "request_not_supported"),
            ("request by reference", dict(request_uri="https://x.example/r"), "request_uri_not_supported"),
            ("no scope", dict(scope=None), "invalid_scope"),
            ("only unknown scopes", dict(scope="admin write"), "invalid_scope"),
            ("plain PKCE", dict(code_challenge_method="plain"), "invalid_request"),
            ("PKCE without method", dict(code_challenge_method=None), "invalid_request"),
            ("challenge that is not S256", dict(code_challenge="short"), "invalid_request"),
            ("method without challenge", dict(code_challenge=None), "invalid_request"),
            ("prompt none with login", dict(prompt="none login"), "invalid_request"),
            ("max_age not a number", dict(max_age="-1"), "invalid_request"),
            ("fragment response mode", dict(response_mode="fragment"), "invalid_request"),
            ("id_token_hint not a token", dict(id_token_hint="not.a.token"), "invalid_request"),
            ("nonce too long", dict(nonce="n" * 300), "invalid_request"),
        ]
        for name, params, error in cases:
            with self.subTest(name):
                path, _ = self.authz_query(**params)
                answer = self.p.browser().request("GET", path)
                self.assertEqual(answer.status, 302, answer.text)
                self.assertTrue(answer.header("Location").startswith(CB + "?"))
                q = answer.query()
                self.assertEqual(q["error"], error)
                self.assertTrue(q["error_description"])
                self.assertEqual(q["state"], "s-1")
                self.assertEqual(q["iss"], self.p.issuer)
        # A public client must use PKCE.
        answer = self.p.browser().request("GET", self.authz_query(self.public, code_challenge=None,
                                                                  code_challenge_method=None)[0])
        self.assertEqual(answer.query()["error"], "invalid_request")
        # A repeated parameter is an error; the state, being repeated, is not echoed.
        answer = self.p.browser().request("GET", self.authz_query()[0] + "&state=two")
        self.assertEqual(answer.query(), {"error": "invalid_request", "error_description": "A parameter is repeated.",
                                          "iss": self.p.issuer})

    def test_prompt_none_without_session_or_consent(self):
        path, _ = self.authz_query(prompt="none")
        answer = self.p.browser().request("GET", path)
        self.assertEqual((answer.query()["error"], answer.query()["state"]), ("login_required", "s-1"))
        # Signed in (through another client's flow), but no consent for this one.
        _, _, browser = self.code()
        other = self.p.client("Other", CB)
        answer = browser.request("GET", self.authz_query(other, prompt="none")[0])
        self.assertEqual(answer.query()["error"], "consent_required")
        self.assertEqual(answer.query()["iss"], self.p.issuer)
        # With consent, prompt=none gives the code without a page.
        answer = browser.request("GET", self.authz_query(prompt="none")[0])
        self.assertIn("code", answer.query())

    def test_deny_answers_access_denied(self):
        answer = self.p.browser().authorize(self.app, "alice", PASSWORD, approve=False)
        self.assertEqual(answer.status, 303)
        self.assertEqual(answer.query()["error"], "access_denied")
        self.assertEqual(answer.query()["iss"], self.p.issuer)

    def test_id_token_hint_for_another_user_means_signing_in_again(self):
        self.p.user("bob", PASSWORD)
        code, verifier, browser = self.code()
        alice_token = self.p.exchange(self.app, code, verifier).json()["id_token"]
        bob = self.p.browser()
        bob.authorize(self.app, "bob", PASSWORD)
        page = bob.get(self.authz_query(id_token_hint=alice_token)[0])
        self.assertEqual(page.status, 200)
        self.assertIn('name="password"', page.text)
        answer = bob.request("GET", self.authz_query(id_token_hint=alice_token, prompt="none")[0])
        self.assertEqual(answer.query()["error"], "login_required")
        # Alice's own hint is fine.
        answer = browser.request("GET", self.authz_query(id_token_hint=alice_token, prompt="none")[0])
        self.assertIn("code", answer.query())
        # Expired, the hint still names its user.
        expired = self.expired_copy(alice_token)
        answer = bob.request("GET", self.authz_query(id_token_hint=expired, prompt="none")[0])
        self.assertEqual(answer.query()["error"], "login_required")
        answer = browser.request("GET", self.authz_query(id_token_hint=expired, prompt="none")[0])
        self.assertIn("code", answer.query())

    def test_a_sealed_request_cannot_be_changed(self):
        browser = self.p.browser()
        answer = browser.request("GET", self.authz_query()[0])
        self.assertEqual(answer.status, 302)
        location = answer.header("Location")
        self.assertTrue(location.startswith(self.p.issuer + "/signin?req="))
        sealed = urllib.parse.parse_qs(urllib.parse.urlsplit(location).query)["req"][0]
        payload, mac = sealed.split(".")
        raw = base64.urlsafe_b64decode(payload + "=" * (-len(payload) % 4))
        forged = raw.replace(CB.encode(), b"http://evil.example/cb")
        self.assertNotEqual(forged, raw)
        tampered = base64.urlsafe_b64encode(forged).rstrip(b"=").decode() + "." + mac
        for req in (tampered, payload + "." + mac[:-2] + "AA", payload, ""):
            with self.subTest(req=req[:20]):
                for path in ("/signin?req=", "/authorize?req="):
                    answer = browser.request("GET", path + urllib.parse.quote(req))
                    self.assertEqual(answer.status, 400)
                    self.assertIsNone(answer.header("Location"))


class TokenRefusals(ProviderCase):
    def assert_token_error(self, answer, status, error):
        self.assertEqual(answer.status, status, answer.text)
        self.assertEqual(answer.header("Cache-Control"), "no-store")
        self.assertEqual(answer.json()["error"], error)

    def test_client_authentication(self):
        code, verifier, _ = self.code()
        wrong = self.p.client("App", CB)
        wrong.client_id = self.app.client_id  # the right client, another client's secret
        for basic in (True, False):
            with self.subTest(basic=basic):
                answer = self.p.exchange(wrong, code, verifier, basic=basic)
                self.assert_token_error(answer, 401, "invalid_client")
                self.assertEqual(answer.header("WWW-Authenticate"), 'Basic realm="tarn"')
        # Failed authentication does not spend the code; credentials form-urlencoded before
        # base64 (RFC 6749 2.3.1: every byte, here) authenticate.
        encoded = "".join("%%%02X" % b for b in ("%s" % self.app.secret).encode())
        cred = base64.b64encode(("%s:%s" % (self.app.client_id.replace("_", "%5F"), encoded)).encode()).decode()
        form = {"grant_type": "authorization_code", "code": code, "code_verifier": verifier, "redirect_uri": CB}
        self.assertEqual(self.p.post("/token", form, {"Authorization": "Basic " + cred}).status, 200)
        form = {"grant_type": "authorization_code", "code": "x", "redirect_uri": CB}
        cred = base64.b64encode(("%s:%s" % (self.app.client_id, self.app.secret)).encode()).decode()
        cases = [
            ("no client at all", form, {}, 401, "invalid_client"),
            ("public client with a secret", dict(form, client_id=self.public.client_id, client_secret="sec_x"), {},
             401, "invalid_client"),
            ("confidential client without secret", dict(form, client_id=self.app.client_id), {}, 401,
             "invalid_client"),
            ("two methods", dict(form, client_secret=self.app.secret), {"Authorization": "Basic " + cred}, 400,
             "invalid_request"),
        ]
        for name, body, headers, status, error in cases:
            with self.subTest(name):
                self.assert_token_error(self.p.post("/token", body, headers), status, error)

    def test_code_exchange_refusals(self):
        other = self.p.client("Other", CB, more_uris=["http://127.0.0.1:9/second"])
        two_uris = self.p.client("Two", CB, more_uris=["http://127.0.0.1:9/second"])
        cases = [
            ("code used twice", lambda c, v: [self.p.exchange(self.app, c, v), self.p.exchange(self.app, c, v)][1]),
            ("another client", lambda c, v: self.p.exchange(other, c, v)),
            ("another redirect URI", lambda c, v: self.p.exchange(self.app, c, v, redirect_uri=CB + "/")),
            ("wrong verifier", lambda c, v: self.p.exchange(self.app, c, v[:-1] + ("A" if v[-1] != "A" else "B"))),
            ("no verifier", lambda c, v: self.p.exchange(self.app, c, None)),
        ]
        for name, attempt in cases:
            with self.subTest(name):
                code, verifier, _ = self.code()
                self.assert_token_error(attempt(code, verifier), 400, "invalid_grant")
                # Every failed exchange spends the code.
                self.assert_token_error(self.p.exchange(self.app, code, verifier), 400, "invalid_grant")
        self.assert_token_error(self.p.exchange(self.app, "code_" + "A" * 32, "v" * 43), 400, "invalid_grant")
        # A code presented again ends what its first exchange issued: the refresh token and the
        # token it was rotated into.
        code, verifier, _ = self.code()
        first = self.p.exchange(self.app, code, verifier).json()
        rotated = self.p.token(self.app, {"grant_type": "refresh_token", "refresh_token": first["refresh_token"]})
        self.assertEqual(rotated.status, 200)
        self.assert_token_error(self.p.exchange(self.app, code, verifier), 400, "invalid_grant")
        refresh = {"grant_type": "refresh_token", "refresh_token": rotated.json()["refresh_token"]}
        self.assert_token_error(self.p.token(self.app, refresh), 400, "invalid_grant")
        # A client with two redirect URIs: the code is bound to the one of its request.
        code, verifier, _ = self.code(client=two_uris, redirect_uri="http://127.0.0.1:9/second")
        self.assert_token_error(self.p.exchange(two_uris, code, verifier), 400, "invalid_grant")

    def test_malformed_requests(self):
        cases = [
            ("no grant type", {}, "invalid_request"),
            ("unknown grant type", {"grant_type": "password", "username": "alice", "password": PASSWORD},
             "unsupported_grant_type"),
            ("client credentials", {"grant_type": "client_credentials"}, "unsupported_grant_type"),
            ("no code", {"grant_type": "authorization_code", "redirect_uri": CB}, "invalid_request"),
            ("no redirect URI", {"grant_type": "authorization_code", "code": "x"}, "invalid_request"),
            ("no refresh token", {"grant_type": "refresh_token"}, "invalid_request"),
        ]
        for name, form, error in cases:
            with self.subTest(name):
                self.assert_token_error(self.p.token(self.app, form), 400, error)
        for path, endpoint in (("/token", "token"), ("/revoke", "revocation")):
            answer = self.p.browser().request("GET", path)
            self.assertEqual((answer.status, answer.header("Allow"), answer.header("Cache-Control"), answer.body),
                             (405, "POST", "no-store", b'{"error":"invalid_request","error_description":'
                                                       b'"The %s endpoint takes POST."}\n' % endpoint.encode()))
        # A parameter sent twice.
        cred = base64.b64encode(("%s:%s" % (self.app.client_id, self.app.secret)).encode()).decode()
        status, _, body = self.p.server.get("/token", method="POST",
                                            body="grant_type=refresh_token&refresh_token=a&refresh_token=b",
                                            headers={"Authorization": "Basic " + cred,
                                                     "Content-Type": "application/x-www-form-urlencoded"})
        self.assertEqual((status, json.loads(body)["error"]), (400, "invalid_request"))
        # A body that is not form encoded carries no parameters.
        status, _, body = self.p.server.get("/token", method="POST", body='{"grant_type":"refresh_token"}',
                                            headers={"Authorization": "Basic " + cred,
                                                     "Content-Type": "application/json"})
        self.assertEqual((status, json.loads(body)["error"]), (400, "invalid_request"))

    def test_refresh_scope_and_client(self):
        code, verifier, _ = self.code(scope="openid profile")
        tokens = self.p.exchange(self.app, code, verifier).json()
        other = self.p.client("Other", CB)
        # A wider scope is refused without spending the token.
        wider = self.p.token(self.app, {"grant_type": "refresh_token", "refresh_token": tokens["refresh_token"],
                                        "scope": "openid email"})
        self.assert_token_error(wider, 400, "invalid_scope")
        narrower = self.p.token(self.app, {"grant_type": "refresh_token", "refresh_token": tokens["refresh_token"],
                                           "scope": "openid"})
        self.assertEqual(narrower.status, 200, narrower.text)
        self.assertEqual(narrower.json()["scope"], "openid")
        # Another client presenting it gets invalid_grant.
        stolen = self.p.token(other, {"grant_type": "refresh_token", "refresh_token": narrower.json()["refresh_token"]})
        self.assert_token_error(stolen, 400, "invalid_grant")

    def test_deleted_user(self):
        code, verifier, _ = self.code()
        tokens = self.p.exchange(self.app, code, verifier).json()
        code2, verifier2, _ = self.code()
        self.p.delete_user(self.user_id)
        self.assert_token_error(self.p.exchange(self.app, code2, verifier2), 400, "invalid_grant")
        refresh = self.p.token(self.app, {"grant_type": "refresh_token", "refresh_token": tokens["refresh_token"]})
        self.assert_token_error(refresh, 400, "invalid_grant")
        answer = self.p.browser().request("GET", "/userinfo",
                                          headers={"Authorization": "Bearer " + tokens["access_token"]})
        self.assertEqual(answer.status, 401)
        self.assertEqual(answer.header("WWW-Authenticate"), 'Bearer error="invalid_token"')


class IssuedTokens(ProviderCase):
    def test_tokens_verify_independently_and_carry_their_claims(self):
        import hashlib

        import jwt
        code, verifier, b = self.code(nonce="nonce-1", scope="openid profile")
        answer = self.p.exchange(self.app, code, verifier)
        self.assertEqual(answer.header("Cache-Control"), "no-store")
        tokens = answer.json()
        self.assertEqual(sorted(tokens), ["access_token", "expires_in", "id_token", "refresh_token", "scope",
                                          "token_type"])
        self.assertEqual((tokens["token_type"], tokens["expires_in"], tokens["scope"]), ("Bearer", 3600,
                                                                                          "openid profile"))
        keys = jwt.PyJWKSet.from_json(self.p.browser().request("GET", "/.well-known/jwks.json").text)
        def verify(token, **kw):
            kid = jwt.get_unverified_header(token)["kid"]
            return jwt.decode(token, [k for k in keys.keys if k.key_id == kid][0].key, algorithms=["RS256"], **kw)
        idt = verify(tokens["id_token"], audience=self.app.client_id, issuer=self.p.issuer)
        at = verify(tokens["access_token"], audience=self.app.client_id, issuer=self.p.issuer)
        digest = hashlib.sha256(tokens["access_token"].encode()).digest()[:16]
        self.assertEqual(idt["at_hash"], base64.urlsafe_b64encode(digest).rstrip(b"=").decode())
        self.assertEqual((idt["sub"], idt["nonce"], idt["preferred_username"], idt["token_use"]),
                         (self.user_id, "nonce-1", "alice", "id"))
        self.assertNotIn("email", idt)  # the scope has no "email"
        self.assertLessEqual(abs(idt["auth_time"] - idt["iat"]), 60)
        self.assertEqual((at["sub"], at["scope"], at["client_id"], at["token_use"]),
                         (self.user_id, "openid profile", self.app.client_id, "access"))
        self.assertEqual(at["exp"] - at["iat"], 3600)
        # A refresh keeps the grant; its ID token has no nonce and the original sign-in time,
        # through every rotation.
        refresh = tokens["refresh_token"]
        for _ in range(2):
            refreshed = self.p.token(self.app, {"grant_type": "refresh_token", "refresh_token": refresh}).json()
            idt2 = verify(refreshed["id_token"], audience=self.app.client_id, issuer=self.p.issuer)
            self.assertEqual(idt2["sub"], self.user_id)
            self.assertNotIn("nonce", idt2)
            self.assertEqual(idt2["auth_time"], idt["auth_time"])
            refresh = refreshed["refresh_token"]


class UserInfoAndRevocation(ProviderCase):
    def test_userinfo_refusals(self):
        code, verifier, _ = self.code()
        tokens = self.p.exchange(self.app, code, verifier).json()
        at = tokens["access_token"]
        b = self.p.browser()
        cases = [
            ("no token", "GET", {}, None, 401, "Bearer"),
            ("ID token", "GET", {"Authorization": "Bearer " + tokens["id_token"]}, None, 401,
             'Bearer error="invalid_token"'),
            ("changed token", "GET", {"Authorization": "Bearer " + at[:-3] + "AAA"}, None, 401,
             'Bearer error="invalid_token"'),
            ("token twice", "POST", {"Authorization": "Bearer " + at}, {"access_token": at}, 400,
             'Bearer error="invalid_request"'),
        ]
        for name, method, headers, form, status, challenge in cases:
            with self.subTest(name):
                answer = b.request(method, "/userinfo", form=form, headers=headers)
                self.assertEqual(answer.status, status)
                self.assertEqual(answer.header("WWW-Authenticate"), challenge)
                self.assertEqual(answer.header("Cache-Control"), "no-store")
        for method, headers, form in (("GET", {"Authorization": "bearer " + at}, None),
                                      ("POST", {}, {"access_token": at})):
            answer = b.request(method, "/userinfo", form=form, headers=headers)
            self.assertEqual(answer.json(), {"sub": self.user_id, "preferred_username": "alice",
                                             "email": "alice@example.com"})

    def test_revocation(self):
        code, verifier, _ = self.code()
        tokens = self.p.exchange(self.app, code, verifier).json()
        other = self.p.client("Other", CB)
        # Another client's tokens are left alone, and the answer is still 200.
        for token in (tokens["access_token"], tokens["refresh_token"], "unknown"):
            answer = self.p.post("/revoke", {"token": token, "client_id": other.client_id,
                                             "client_secret": other.secret})
            self.assertEqual((answer.status, answer.body), (200, b""))
        self.assertEqual(self.p.browser().request(
            "GET", "/userinfo", headers={"Authorization": "Bearer " + tokens["access_token"]}).status, 200)
        wrong = self.p.post("/revoke", {"token": "x", "client_id": self.app.client_id, "client_secret": "sec_wrong"})
        self.assertEqual((wrong.status, wrong.json()["error"]), (401, "invalid_client"))
        self.assertEqual(self.p.post("/revoke", {"client_id": self.app.client_id,
                                                 "client_secret": self.app.secret}).status, 400)
        answer = self.p.post("/revoke", {"token": tokens["access_token"], "token_type_hint": "refresh_token",
                                         "client_id": self.app.client_id, "client_secret": self.app.secret})
        self.assertEqual(answer.status, 200)
        self.assertEqual(self.p.browser().request(
            "GET", "/userinfo", headers={"Authorization": "Bearer " + tokens["access_token"]}).status, 401)
        with open(os.path.join(self.p.data_dir, "revoked.json")) as f:
            revoked = json.load(f)
        [(jti, entry)] = revoked.items()
        self.assertEqual(entry["sub"], self.user_id)
        self.assertEqual(entry["client_id"], self.app.client_id)


class Forms(ProviderCase):
    def test_posts_without_their_token_are_refused(self):
        b = self.p.browser()
        page = b.get(self.authz_query()[0])
        form = forms_of(page.text)[0]["fields"]
        # Sign-in: without the token, with a token of another browser, with another form's token.
        stranger = self.p.browser()
        stranger_page = stranger.get("/signin")
        for name, token in (("none", None), ("another browser's", forms_of(stranger_page.text)[0]["fields"]["csrf"]),
                            ("changed", form["csrf"][:-1] + ("A" if form["csrf"][-1] != "A" else "B"))):
            with self.subTest(name):
                fields = dict(form, username="alice", password=PASSWORD)
                if token is None:
                    del fields["csrf"]
                else:
                    fields["csrf"] = token
                answer = b.request("POST", "/signin", form=fields)
                self.assertEqual(answer.status, 403)
                self.assertNotIn("id_session", b.cookies)
        # Without the id_csrf cookie the token counts for nothing.
        cookieless = self.p.browser()
        answer = cookieless.request("POST", "/signin", form=dict(form, username="alice", password=PASSWORD))
        self.assertEqual(answer.status, 403)
        # Consent: signed in, but the form posted without its token.
        page = b.submit(page, username="alice", password=PASSWORD)
        consent = forms_of(page.text)[0]["fields"]
        answer = b.request("POST", "/consent", form={"req": consent["req"], "decision": "approve"})
        self.assertEqual(answer.status, 403)
        self.assertIsNone(answer.header("Location"))
        # The consent token is bound to the user: bob's browser cannot use alice's form.
        self.p.user("bob", PASSWORD)
        bob = self.p.browser()
        bob.get("/signin")
        bob.submit(bob.get("/signin"), username="bob", password=PASSWORD)
        answer = bob.request("POST", "/consent", form=dict(consent, decision="approve"))
        self.assertEqual(answer.status, 403)
        # Sign-out without an ID token asks first; a POST without the token only asks again.
        answer = b.request("POST", "/logout", form={})
        self.assertEqual(answer.status, 200)
        self.assertIn("Sign out?", answer.text)
        self.assertIn("id_session", b.cookies)
        answer = b.submit(answer)
        self.assertIn("Signed out", answer.text)
        self.assertNotIn("id_session", b.cookies)

    def test_outside_text_comes_back_escaped(self):
        nasty = '<script>alert("x")</script>&\'"'
        escaped = "&lt;script&gt;alert(&quot;x&quot;)&lt;/script&gt;&amp;&#39;&quot;"
        self.p.user(nasty, PASSWORD)
        client = self.p.client(nasty, CB)
        b = self.p.browser()
        page = b.get(self.authz_query(client, login_hint=nasty, state=nasty)[0])
        self.assertIn('value="%s"' % escaped, page.text)  # the login hint in the username field
        self.assertIn("<strong>%s</strong>" % escaped, page.text)  # the client name
        self.assertNotIn("<script>", page.text)
        page = b.submit(page, username=nasty, password=PASSWORD)
        self.assertIn("<strong>%s</strong> asks to use your account <strong>%s</strong>" % (escaped, escaped), page.text)
        self.assertNotIn("<script>", page.text)
        answer = b.submit(page, button="approve")
        self.assertEqual(answer.query()["state"], nasty)
        page = b.get("/signin")
        self.assertIn("You are signed in as <strong>%s</strong>" % escaped, page.text)
        page = b.get("/logout?" + urllib.parse.urlencode({"state": nasty, "post_logout_redirect_uri": nasty}))
        self.assertIn('name="state" value="%s"' % escaped, page.text)
        self.assertNotIn("<script>", page.text)

    def test_pages_are_valid_html_with_security_headers(self):
        b = self.p.browser()
        pages = {}
        pages["sign-in"] = b.get(self.authz_query()[0])
        pages["wrong password"] = b.submit(pages["sign-in"], username="alice", password="wrong one")
        pages["consent"] = b.submit(pages["wrong password"], username="alice", password=PASSWORD)
        pages["error"] = b.get(self.authz_query(client_id="client_nobody00000")[0])
        pages["signed in"] = b.get("/signin")
        pages["sign out?"] = b.get("/logout")
        pages["signed out"] = b.submit(pages["sign out?"])
        for name, page in pages.items():
            with self.subTest(name):
                self.assert_page_headers(page)
                path = os.path.join(self.tmp.name, "page.html")
                with open(path, "wb") as f:
                    f.write(page.body)
                out = subprocess.run(["tidy", "-q", "-e", "--doctype", "html5", path], capture_output=True, text=True)
                self.assertEqual((out.returncode, out.stderr), (0, ""), page.text)


class SignIn(ProviderCase):
    def audit(self):
        with open(os.path.join(self.p.data_dir, "audit_log.json")) as f:
            return [(e["event"], e["username"]) for e in json.load(f)]

    def test_one_message_for_a_wrong_name_or_password_and_audit_events(self):
        b = self.p.browser()
        page = b.get("/signin")
        answers = [b.submit(page, username=u, password=pw) for u, pw in (("alice", "wrong pass"),
                                                                          ("nobody", PASSWORD))]
        for answer in answers:
            self.assertEqual(answer.status, 401)
            self.assertIn("Wrong username or password.", answer.text)
        self.assertEqual(answers[0].text.replace("alice", "nobody"), answers[1].text.replace(
            forms_of(answers[1].text)[0]["fields"]["csrf"], forms_of(answers[0].text)[0]["fields"]["csrf"]))
        ok = b.submit(page, username="ALICE", password=PASSWORD)
        self.assertEqual(ok.status, 200)
        self.assertIn("You are signed in as <strong>alice</strong>", ok.text)
        self.assertEqual(self.audit(), [("login_failure", "alice"), ("login_failure", "nobody"),
                                        ("login_success", "alice")])

    def test_lockout_message_as_the_core_gives_it(self):
        b = self.p.browser()
        page = b.get("/signin")
        for _ in range(3):
            self.assertEqual(b.submit(page, username="alice", password="wrong pass").status, 401)
        locked = b.submit(page, username="alice", password=PASSWORD)
        self.assertEqual(locked.status, 429)
        self.assertRegex(locked.text, r"Account temporarily locked after repeated failures\. Try again in \d+ s\.")
        self.assertNotIn("id_session", b.cookies)

    def test_sixty_concurrent_wrong_passwords_check_at_most_three(self):
        pages = []
        for _ in range(60):
            b = self.p.browser()
            pages.append((b, b.get("/signin")))
        answers = [None] * 60
        start = threading.Barrier(60)

        def guess(i):
            b, page = pages[i]
            start.wait()
            answers[i] = b.submit(page, username="alice", password="wrong guess %d" % i)

        threads = [threading.Thread(target=guess, args=(i,)) for i in range(60)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        checked = [a for a in answers if "Wrong username or password." in a.text]
        refused = [a for a in answers if a.status == 429]
        self.assertLessEqual(len(checked), 3)
        self.assertGreaterEqual(len(checked), 1)
        self.assertEqual(len(checked) + len(refused), 60)
        for a in refused:
            self.assertRegex(a.text, r"Account temporarily locked after repeated failures\. Try again in \d+ s\.")
        # The right password is refused too while the lock holds.
        b, page = pages[0]
        self.assertEqual(b.submit(page, username="alice", password=PASSWORD).status, 429)

    def test_cookies_are_secure_behind_tls(self):
        for proto, secure in (("https", True), ("HTTPS", True), ("http", False), (None, False)):
            with self.subTest(proto=proto):
                b = self.p.browser()
                headers = {"X-Forwarded-Proto": proto} if proto else {}
                page = b.request("GET", "/signin", headers=headers)
                fields = dict(forms_of(page.text)[0]["fields"], username="alice", password=PASSWORD)
                answer = b.request("POST", "/signin", form=fields, headers=headers)
                cookies = page.headers_named("Set-Cookie") + answer.headers_named("Set-Cookie")
                self.assertEqual([c.split("=")[0] for c in cookies], ["id_csrf", "id_session"])
                for c in cookies:
                    self.assertIn("HttpOnly", c)
                    self.assertIn("SameSite=Lax", c)
                    self.assertEqual(c.endswith("; Secure"), secure, c)

    def test_authorization_request_by_form_post(self):
        path, _ = self.authz_query()
        query = dict(urllib.parse.parse_qsl(urllib.parse.urlsplit(path).query))
        b = self.p.browser()
        answer = b.request("POST", "/authorize", form=query)
        self.assertEqual(answer.status, 303)
        self.assertTrue(answer.header("Location").startswith(self.p.issuer + "/signin?req="))
        page = b.submit(b.follow(answer), username="alice", password=PASSWORD)
        self.assertIn("Allow access?", page.text)
        # The query string of a POST is not read.
        answer = b.request("POST", path, form={})
        self.assertEqual(answer.status, 400)

    def test_issuer_never_comes_from_the_host_header(self):
        answer = self.p.browser().request("GET", "/.well-known/openid-configuration",
                                          headers={"Host": "evil.example"})
        meta = answer.json()
        self.assertEqual(meta["issuer"], self.p.issuer)
        self.assertTrue(all(v.startswith(self.p.issuer + "/") for k, v in meta.items()
                            if k.endswith("_endpoint") or k == "jwks_uri"))


class SignOut(ProviderCase):
    def test_unregistered_post_logout_redirect_uri_shows_the_signed_out_page(self):
        code, verifier, b = self.code()
        id_token = self.p.exchange(self.app, code, verifier).json()["id_token"]
        for target in ("http://evil.example/cb", CB + "/", "javascript:alert(1)"):
            with self.subTest(target):
                code, verifier, b = self.code(browser=b)
                answer = b.request("GET", "/logout?" + urllib.parse.urlencode(
                    {"id_token_hint": id_token, "post_logout_redirect_uri": target, "state": "x"}))
                self.assertEqual(answer.status, 200)
                self.assertIsNone(answer.header("Location"))
                self.assertIn("You are signed out.", answer.text)
                self.assertNotIn("id_session", b.cookies)
        # Named by client_id instead of a hint: the user confirms, then goes to the registered URI.
        code, verifier, b = self.code(browser=b)
        page = b.get("/logout?" + urllib.parse.urlencode(
            {"client_id": self.app.client_id, "post_logout_redirect_uri": CB, "state": "bye"}))
        answer = b.submit(page)
        self.assertEqual(answer.status, 303)
        self.assertEqual(answer.header("Location"), CB + "?state=bye")
        self.assertNotIn("id_session", b.cookies)
        # An expired ID token of the signed-in user still signs out at once and names the
        # client whose registered URI the browser goes to.
        code, verifier, b = self.code(browser=b)
        answer = b.request("GET", "/logout?" + urllib.parse.urlencode(
            {"id_token_hint": self.expired_copy(id_token), "post_logout_redirect_uri": CB, "state": "late"}))
        self.assertEqual(answer.status, 302)
        self.assertEqual(answer.header("Location"), CB + "?state=late")
        self.assertNotIn("id_session", b.cookies)
        # A hint naming another client than client_id is refused.
        answer = b.request("GET", "/logout?" + urllib.parse.urlencode(
            {"id_token_hint": id_token, "client_id": self.public.client_id}))
        self.assertEqual(answer.status, 400)


if __name__ == "__main__":
    unittest.main()
