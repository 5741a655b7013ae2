"""Every tarnctl subcommand as a process against a real data directory: what it prints (its JSON
parsed and checked against the stored documents) and what it leaves in the data directory."""
import json
import os
import re
import time
import unittest

from tarnctl_support import PASSWORD, Workspace, verifies

DATE = r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d"


def header_and_rows(text):
    """The header's column names and each row's cells (columns are two or more blanks apart)."""
    lines = text.splitlines()
    return re.split(r"  +", lines[0]), [re.split(r"  +", line) for line in lines[1:]], lines


class Users(unittest.TestCase):
    def setUp(self):
        self.w = Workspace()

    def tearDown(self):
        self.w.__exit__()

    def stored(self, username):
        return [u for u in self.w.read_json("users.json") if u["username"] == username]

    def test_add_list_show(self):
        alice = self.w.add_user("alice", "--email", "alice@example.com", "--role", "user")
        bob = self.w.add_user("bob", "--role", "admin")
        carol = self.w.add_user("carol")
        # The first user owns the data directory, whatever --role says.
        self.assertEqual([alice["role"], bob["role"], carol["role"]], ["owner", "admin", "user"])
        self.assertEqual(alice["email"], "alice@example.com")
        self.assertNotIn("pass_hash", json.dumps([alice, bob, carol]))
        self.assertTrue(verifies(PASSWORD, self.stored("alice")[0]["pass_hash"]))

        listed = self.w.tarnctl("users", "list", "--json").json()
        self.assertEqual(listed, [alice, bob, carol])
        self.assertEqual([u["id"] for u in listed], [u["id"] for u in self.w.read_json("users.json")])

        header, rows, lines = header_and_rows(self.w.tarnctl("users", "list").out)
        self.assertEqual(header, ["ID", "USERNAME", "EMAIL", "ROLE", "CREATED", "LAST SIGN-IN"])
        self.assertEqual([r[:4] for r in rows], [[alice["id"], "alice", "alice@example.com", "owner"],
                                                 [bob["id"], "bob", "-", "admin"], [carol["id"], "carol", "-", "user"]])
        for r in rows:
            self.assertRegex(r[4] + "|" + r[5], "^%s\\|%s$" % (DATE, DATE))
        # Aligned: every column starts where its header does.
        for line in lines[1:]:
            self.assertEqual(line[lines[0].index("ROLE") - 2:lines[0].index("ROLE")], "  ")

        for name in ["bob", "BOB"]:  # exactly, else ignoring case
            with self.subTest(name=name):
                self.assertEqual(self.w.tarnctl("users", "show", name, "--json").json(), bob)
        shown = self.w.tarnctl("users", "show", "alice").out
        self.assertIn("username:     alice\n", shown)
        self.assertIn("email:        alice@example.com\n", shown)
        self.assertRegex(shown, r"created:      %s\n" % DATE)
        self.assertNotIn("pbkdf2", shown)

    def test_passwd_replaces_the_hash(self):
        self.w.add_user("alice")
        before = self.stored("alice")[0]["pass_hash"]
        run = self.w.tarnctl("users", "passwd", "alice", "--password-stdin", input=b"another long one\n")
        self.assertEqual(run.status, 0, run)
        self.assertEqual(run.out, "set the password of alice (%s)\n" % self.stored("alice")[0]["id"])
        after = self.stored("alice")[0]["pass_hash"]
        self.assertNotEqual(before, after)
        self.assertTrue(verifies("another long one", after))
        self.assertFalse(verifies(PASSWORD, after))

    def test_a_trailing_carriage_return_is_part_of_the_password(self):
        # One line of standard input is the password up to the line feed, as given.
        self.w.add_user("alice", password="windows line\r")
        self.assertTrue(verifies("windows line\r", self.stored("alice")[0]["pass_hash"]))

    def test_delete_ends_the_users_grants(self):
        self.w.add_user("alice")
        bob = self.w.add_user("bob")
        client = self.w.add_client("App", "https://app.example.com/cb")
        self.w.fixture("refresh-tokens", bob["id"], client["client_id"], "2")
        self.w.fixture("sessions", bob["id"], "bob", "2")
        run = self.w.tarnctl("users", "delete", "bob", "--json")
        self.assertEqual(run.status, 0, run)
        self.assertEqual(run.json(), bob)
        self.assertEqual(self.stored("bob"), [])
        tokens = self.w.read_json("tokens.json")
        self.assertEqual([s for s in tokens.get("sessions", {}).values() if s.get("user_id") == bob["id"]], [])
        self.assertEqual([r for r in tokens.get("refresh", []) if r.get("user_id") == bob["id"]], [])
        # The last administrator goes only when asked twice.
        run = self.w.tarnctl("users", "delete", "alice", "--force")
        self.assertEqual(run.status, 0, run)
        self.assertEqual(self.w.read_json("users.json"), [])


class Clients(unittest.TestCase):
    def setUp(self):
        self.w = Workspace()

    def tearDown(self):
        self.w.__exit__()

    def test_the_secret_is_printed_once(self):
        run = self.w.tarnctl("clients", "add", "My app", "--redirect-uri", "https://app.example.com/cb",
                             "--scope", "openid profile email")
        self.assertEqual(run.status, 0, run)
        m = re.fullmatch(r"client_id:     (client_[A-Za-z0-9_-]{11})\nclient_secret: (sec_[A-Za-z0-9_-]{22})\n"
                         r"The secret is shown this once: store it now\.\n", run.out)
        self.assertIsNotNone(m, run.out)
        client_id, secret = m.groups()
        stored = self.w.read_json("clients.json")
        self.assertEqual([(c["client_id"], c["secret"], c["scopes"], c["redirect_uris"]) for c in stored],
                         [(client_id, secret, "openid profile email", ["https://app.example.com/cb"])])
        for args in [["clients", "list"], ["clients", "list", "--json"], ["clients", "show", client_id],
                     ["clients", "show", client_id, "--json"]]:
            with self.subTest(args=args):
                shown = self.w.tarnctl(*args)
                self.assertEqual(shown.status, 0, shown)
                self.assertIn(client_id, shown.out)
                self.assertNotIn(secret, shown.out)
                self.assertIn(secret[:8], shown.out)

    def test_json_of_add_list_show_delete(self):
        confidential = self.w.add_client("App", "https://app.example.com/cb")
        public = self.w.add_client("SPA", "http://localhost:3000/cb", extra=["--public"])
        secret = confidential.pop("client_secret")
        self.assertEqual(secret[:8], confidential["secret_prefix"])
        self.assertNotIn("client_secret", public)
        self.assertEqual((public["public"], public["secret_prefix"]), (True, ""))
        self.assertNotIn("secret", [c for c in self.w.read_json("clients.json") if c["client_id"] ==
                                    public["client_id"]][0])
        listed = self.w.tarnctl("clients", "list", "--json").json()
        self.assertEqual(listed, [confidential, public])
        self.assertEqual(self.w.tarnctl("clients", "show", public["client_id"], "--json").json(), public)
        header, rows, _ = header_and_rows(self.w.tarnctl("clients", "list").out)
        self.assertEqual(header, ["CLIENT ID", "NAME", "TYPE", "SECRET", "SCOPES", "REDIRECT URIS"])
        self.assertEqual(rows, [[confidential["client_id"], "App", "confidential", secret[:8] + "...", "openid profile",
                                 "https://app.example.com/cb"],
                                [public["client_id"], "SPA", "public", "-", "openid profile", "http://localhost:3000/cb"]])

        run = self.w.tarnctl("clients", "delete", confidential["client_id"], "--json")
        self.assertEqual((run.status, run.json()), (0, confidential))
        self.assertEqual([c["client_id"] for c in self.w.read_json("clients.json")], [public["client_id"]])

    def test_several_redirect_uris(self):
        uris = ["https://app.example.com/cb", "https://app.example.com/other", "http://127.0.0.1:8000/cb"]
        client = self.w.add_client("App", *uris)
        self.assertEqual(client["redirect_uris"], uris)
        self.assertEqual(self.w.read_json("clients.json")[0]["redirect_uris"], uris)
        shown = self.w.tarnctl("clients", "show", client["client_id"]).out
        self.assertEqual(re.findall(r"redirect_uri: (.*)\n", shown), uris)


class Tokens(unittest.TestCase):
    def setUp(self):
        self.w = Workspace()
        self.alice = self.w.add_user("alice")
        self.bob = self.w.add_user("bob")
        self.client = self.w.add_client("App", "https://app.example.com/cb")["client_id"]
        self.alice_tokens = self.w.fixture("refresh-tokens", self.alice["id"], self.client, "2")
        self.bob_tokens = self.w.fixture("refresh-tokens", self.bob["id"], self.client, "2")
        self.sessions = self.w.fixture("sessions", self.alice["id"], "alice", "1") + \
            self.w.fixture("sessions", self.bob["id"], "bob", "1")

    def tearDown(self):
        self.w.__exit__()

    def active(self):
        return [r["token"] for r in self.w.read_json("tokens.json")["refresh"]]

    def test_listings_never_show_a_whole_credential(self):
        for args in [["tokens", "list"], ["tokens", "list", "--json"], ["tokens", "list", "--user", "bob"],
                     ["tokens", "list", "--user", "bob", "--json"]]:
            with self.subTest(args=args):
                run = self.w.tarnctl(*args)
                self.assertEqual(run.status, 0, run)
                for secret in self.alice_tokens + self.bob_tokens + self.sessions:
                    self.assertNotIn(secret.encode(), run.stdout)
                    self.assertNotIn(secret[10:30].encode(), run.stdout)
        listed = self.w.tarnctl("tokens", "list", "--json").json()
        self.assertEqual(sorted(listed), ["refresh", "rotated", "sessions"])
        self.assertEqual([r["token_masked"] for r in listed["refresh"]],
                         [t[:6] + "..." + t[-6:] for t in self.alice_tokens + self.bob_tokens])
        self.assertEqual([(r["user_id"], r["client_id"]) for r in listed["refresh"]],
                         [(self.alice["id"], self.client)] * 2 + [(self.bob["id"], self.client)] * 2)
        self.assertEqual([s["session_id_masked"] for s in listed["sessions"]],
                         [s[:6] + "..." + s[-6:] for s in self.sessions])
        bobs = self.w.tarnctl("tokens", "list", "--user", "bob", "--json").json()
        self.assertEqual([r["user_id"] for r in bobs["refresh"] + bobs["sessions"]], [self.bob["id"]] * 3)
        text = self.w.tarnctl("tokens", "list", "--user", "bob").out
        sessions, refresh, rotated = text.split("\n\n")
        header, rows, _ = header_and_rows(sessions)
        self.assertEqual(header, ["SESSION", "USER", "CREATED", "EXPIRES"])
        self.assertEqual([r[:2] for r in rows], [[self.sessions[1][:6] + "..." + self.sessions[1][-6:], "bob"]])
        header, rows, _ = header_and_rows(refresh)
        self.assertEqual(header, ["REFRESH TOKEN", "USER", "CLIENT", "SCOPE", "EXPIRES"])
        self.assertEqual([r[:4] for r in rows], [[t[:6] + "..." + t[-6:], self.bob["id"], self.client,
                                                  "openid profile email"] for t in self.bob_tokens])
        self.assertEqual(rotated, "0 exchanged refresh tokens remembered for reuse detection\n")

    def test_revoke_whole_masked_family_and_user(self):
        token = self.alice_tokens[0]
        run = self.w.tarnctl("tokens", "revoke", token, "--json")
        self.assertEqual((run.status, run.json()), (0, {"token_masked": token[:6] + "..." + token[-6:], "revoked": 1}))
        self.assertNotIn(token, self.active())

        masked = self.alice_tokens[1][:6] + "..." + self.alice_tokens[1][-6:]
        run = self.w.tarnctl("tokens", "revoke", masked)
        self.assertEqual((run.status, run.out), (0, "revoked the refresh token %s\n" % masked), run)
        self.assertEqual(self.active(), self.bob_tokens)

        run = self.w.tarnctl("tokens", "revoke", "--family", self.bob_tokens[0], "--json")
        self.assertEqual(run.status, 0, run)
        self.assertEqual(run.json()["revoked"], 1)
        self.assertEqual(self.active(), self.bob_tokens[1:])

        run = self.w.tarnctl("tokens", "revoke", "--user", "bob")
        self.assertEqual((run.status, run.out), (0, "ended every refresh token and session of bob (%s)\n"
                                                 % self.bob["id"]), run)
        tokens = self.w.read_json("tokens.json")
        self.assertEqual(tokens["refresh"], [])
        self.assertEqual([s["user_id"] for s in tokens["sessions"].values()], [self.alice["id"]])


class ConsentsAndAudit(unittest.TestCase):
    def setUp(self):
        self.w = Workspace()
        self.alice = self.w.add_user("alice")
        self.client = self.w.add_client("App", "https://app.example.com/cb")["client_id"]

    def tearDown(self):
        self.w.__exit__()

    def test_consents(self):
        self.w.fixture("consent", self.alice["id"], self.client, "openid profile")
        self.w.fixture("consent", "usr_gone", self.client, "openid")
        listed = self.w.tarnctl("consents", "list", "--json").json()
        self.assertEqual([(c["user_id"], c["client_id"], c["scopes"]) for c in listed],
                         [(self.alice["id"], self.client, "openid profile"), ("usr_gone", self.client, "openid")])
        header, rows, _ = header_and_rows(self.w.tarnctl("consents", "list").out)
        self.assertEqual(header, ["USER", "CLIENT", "SCOPES", "GRANTED"])
        self.assertEqual([r[:3] for r in rows], [["alice", self.client, "openid profile"],
                                                 ["usr_gone (no such user)", self.client, "openid"]])
        self.assertRegex(rows[0][3], "^%s$" % DATE)
        run = self.w.tarnctl("consents", "revoke", "alice", self.client, "--json")
        self.assertEqual(run.status, 0, run)
        self.assertEqual(run.json(), listed[0])
        self.assertEqual(self.w.read_json("consents.json")[self.alice["id"]], {})

    def test_audit(self):
        for event in ["login", "logout", "consent"]:
            self.w.fixture("audit", event, self.alice["id"], "alice", "detail of " + event)
        listed = self.w.tarnctl("audit", "list", "--json").json()
        self.assertEqual([e["event"] for e in listed], ["consent", "logout", "login"])
        self.assertEqual([e["event"] for e in self.w.tarnctl("audit", "list", "--max", "2", "--json").json()],
                         ["consent", "logout"])
        header, rows, _ = header_and_rows(self.w.tarnctl("audit", "list").out)
        self.assertEqual(header, ["TIME", "EVENT", "USER", "ADDRESS", "DETAIL"])
        self.assertEqual([r[1:] for r in rows], [[e, "alice", "192.0.2.1", "detail of " + e]
                                                 for e in ["consent", "logout", "login"]])
        self.assertRegex(rows[0][0], "^%s$" % DATE)
        run = self.w.tarnctl("audit", "prune", "--keep", "1", "--json")
        self.assertEqual((run.status, run.json()), (0, {"removed": 2, "kept": 1}))
        self.assertEqual([e["event"] for e in self.w.read_json("audit_log.json")], ["consent"])


class Keys(unittest.TestCase):
    def setUp(self):
        self.w = Workspace()

    def tearDown(self):
        self.w.__exit__()

    def test_rotate_and_prune(self):
        self.assertEqual(self.w.tarnctl("keys", "rotate").status, 0)
        keys = self.w.tarnctl("keys", "list", "--json").json()
        stored = self.w.read_json("keys.json")
        self.assertEqual([k["kid"] for k in keys], [k["kid"] for k in stored["keys"]])
        self.assertEqual([k["status"] for k in keys], ["retired", "active"])
        self.assertEqual(stored["active"], keys[1]["kid"])
        for k in keys:  # no key material
            self.assertTrue(set(k) <= {"kid", "created", "alg", "status", "usable"}, k)
        header, rows, _ = header_and_rows(self.w.tarnctl("keys", "list").out)
        self.assertEqual(header[:3], ["KID", "STATUS", "CREATED"])
        self.assertEqual([r[:2] for r in rows], [[keys[0]["kid"], "retired"], [keys[1]["kid"], "active"]])
        self.assertRegex(rows[1][2], "^%s$" % DATE)

        # Nothing is old enough yet; a dry run then names the retired key and keeps it.
        run = self.w.tarnctl("keys", "prune", "--max-age", "3600", "--json")
        self.assertEqual((run.status, run.json()), (0, {"removed": []}))
        stored["keys"][0]["created"] = int(time.time()) - 7200
        self.w.write("keys.json", stored)
        run = self.w.tarnctl("keys", "prune", "--max-age", "3600", "--dry-run", "--json")
        self.assertEqual((run.status, run.json()), (0, {"would_remove": [keys[0]["kid"]]}))
        self.assertEqual(len(self.w.read_json("keys.json")["keys"]), 2)
        run = self.w.tarnctl("keys", "prune", "--max-age", "3600")
        self.assertEqual((run.status, run.out), (0, "removed 1 retired keys: %s\n" % keys[0]["kid"]))
        self.assertEqual([k["kid"] for k in self.w.read_json("keys.json")["keys"]], [keys[1]["kid"]])


class WhereTheDataDirectoryComesFrom(unittest.TestCase):
    def test_data_dir_option_environment_and_config_json(self):
        with Workspace() as w:
            elsewhere = os.path.join(w.root, "elsewhere")
            with open(os.path.join(w.root, "config.json"), "w") as f:
                json.dump({"data_dir": elsewhere}, f)
            w.add_user("alice")  # --data-dir wins
            for env, where in [({}, elsewhere), ({"IDENTITY_DATA_DIR": w.data}, w.data)]:
                with self.subTest(env=env):
                    run = w.tarnctl("users", "add", "bob" + str(len(env)), "--password-stdin", input=b"long enough pw\n",
                                    env=env, data_dir=False)
                    self.assertEqual(run.status, 0, run)
                    with open(os.path.join(where, "users.json")) as f:
                        self.assertIn("bob" + str(len(env)), [u["username"] for u in json.load(f)])


if __name__ == "__main__":
    unittest.main()
