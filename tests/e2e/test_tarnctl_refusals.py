"""tarnctl's refusals, each as a process against a real data directory: the exit status (2 for a
usage error, with the usage line; 1 for a refusal), one line on standard error that says why,
nothing on standard output, and every file of the data directory unchanged byte for byte."""
import os
import pwd
import shutil
import unittest

from tarnctl_support import PASSWORD, Workspace, snapshot

PW = (PASSWORD + "\n").encode()

# (arguments, standard input, what the first line of standard error holds)
USAGE_ERRORS = [
    ([], b"", "a command is needed"),
    (["bogus"], b"", "unknown command 'bogus'"),
    (["users"], b"", "'users' needs a command"),
    (["users", "frobnicate"], b"", "unknown command 'users frobnicate'"),
    (["users", "add"], b"", "missing arguments"),
    (["users", "add", "carol", "dave"], PW, "unexpected argument 'dave'"),
    (["users", "add", "carol", "--role", "root", "--password-stdin"], PW, "--role takes owner, admin or user"),
    (["users", "add", "carol", "--email"], PW, "--email needs a value"),
    (["users", "add", "carol", "--bogus"], PW, "unknown option --bogus"),
    (["users", "add", "carol", "-x"], PW, "unknown option -x"),
    (["users", "add", "carol", "--password-stdin", "--password-stdin"], PW, "--password-stdin is given twice"),
    (["users", "list", "--json=1"], b"", "--json takes no value"),
    (["users", "list", "--password-stdin=x"], b"", "unknown option --password-stdin"),
    (["keys", "prune"], b"", "--max-age is needed"),
    (["keys", "prune", "--max-age", "ten"], b"", "--max-age takes a whole number"),
    (["keys", "prune", "--max-age", "1e3"], b"", "--max-age takes a whole number"),
    (["keys", "prune", "--max-age=-5"], b"", "--max-age takes a whole number"),
    (["keys", "rotate", "now"], b"", "unexpected argument 'now'"),
    (["clients", "add", "App"], b"", "--redirect-uri is needed"),
    (["clients", "add", "App"] + ["--redirect-uri", "https://app.example.com/cb"] * 9, b"", "at most 8 redirect URIs"),
    (["clients", "add", "App", "--redirect-uri", "https://a.example/", "--scope", "a", "--scope", "b"], b"",
     "--scope is given twice"),
    (["tokens", "revoke"], b"", "give one of TOKEN, --user USERNAME, --family TOKEN"),
    (["tokens", "revoke", "rt_x", "--user", "alice"], b"", "give one of"),
    (["tokens", "revoke", "--user", "alice", "--family", "rt_x"], b"", "give one of"),
    (["audit", "list", "--max", "0"], b"", "--max takes a whole number from 1"),
    (["audit", "prune"], b"", "--keep is needed"),
    (["audit", "prune", "--keep", "x"], b"", "--keep takes a whole number"),
    (["consents", "revoke", "alice"], b"", "missing arguments"),
    (["check", "extra"], b"", "unexpected argument 'extra'"),
]

# (arguments, standard input, the message)
REFUSALS = [
    (["users", "show", "nobody"], b"", "no user named 'nobody'"),
    (["users", "passwd", "nobody", "--password-stdin"], PW, "no user named 'nobody'"),
    (["users", "delete", "nobody"], b"", "no user named 'nobody'"),
    (["users", "add", "ALICE", "--password-stdin"], PW, "cannot add ALICE: user already exists"),
    (["users", "add", "carol", "--password-stdin"], b"short\n", "cannot add carol: password too short (min 8)"),
    (["users", "add", "carolcarol", "--password-stdin"], b"carolcarol\n",
     "cannot add carolcarol: password must differ from username"),
    (["users", "add", "carol", "--password-stdin"], ("x" * 257 + "\n").encode(), "password too long (max 256)"),
    (["users", "add", "carol", "--email", "carol", "--password-stdin"], PW, "email must look like name@example.com"),
    (["users", "add", "car\x01ol", "--password-stdin"], PW, "username must not contain control or formatting"),
    (["users", "add", " carol", "--password-stdin"], PW, "username must not begin or end with a blank"),
    (["users", "add", "carol", "--password-stdin"], b"", "no password on standard input"),
    (["users", "add", "carol", "--password-stdin"], b"pass\x00word1\n", "the password holds a NUL byte"),
    (["users", "add", "carol"], PW, "no terminal to read the password from"),
    (["users", "passwd", "bob", "--password-stdin"], b"bob\n", "cannot set the password of bob: password too short"),
    (["users", "delete", "alice"], b"", "alice is the last administrator; --force deletes it"),
    (["clients", "add", "App", "--redirect-uri", "ftp://app.example.com/cb"], b"",
     "cannot register App: redirect_uri must be an absolute http:// or https:// URL"),
    (["clients", "add", "App", "--redirect-uri", "https://app.example.com/cb#x"], b"", "must not contain a fragment"),
    (["clients", "add", "App", "--redirect-uri", "https://app.example.com/c b"], b"", "must not contain whitespace"),
    (["clients", "add", "App", "--redirect-uri", "https://app.example.com/" + "x" * 240], b"",
     "must be at most 255 bytes"),
    (["clients", "add", "App", "--redirect-uri", "https://app.example.com/cb", "--redirect-uri", "javascript:x"],
     b"", "redirect_uri must be an absolute http"),
    (["clients", "show", "client_nope"], b"", "no client 'client_nope'"),
    (["clients", "delete", "client_nope"], b"", "no client 'client_nope'"),
    (["tokens", "list", "--user", "nobody"], b"", "no user named 'nobody'"),
    (["tokens", "revoke", "rt_nope"], b"", "no refresh token 'rt_nope'"),
    (["tokens", "revoke", "--family", "rt_nope"], b"", "no refresh token 'rt_nope'"),
    (["tokens", "revoke", "--user", "nobody"], b"", "no user named 'nobody'"),
    (["consents", "revoke", "alice", "client_nope"], b"", "alice has given 'client_nope' no consent"),
    (["consents", "revoke", "nobody", "client_nope"], b"", "no user named 'nobody'"),
    # A stored text comes back printable: no control character reaches the terminal.
    (["users", "show", "n\x1b[2Jx"], b"", "no user named 'n\\x1b[2Jx'"),
]


class Refusals(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.w = Workspace()
        cls.w.add_user("alice", "--email", "alice@example.com")
        cls.w.add_user("bob")
        client = cls.w.add_client("App", "https://app.example.com/cb")
        users = {u["username"]: u["id"] for u in cls.w.tarnctl("users", "list", "--json").json()}
        cls.w.fixture("refresh-tokens", users["bob"], client["client_id"], "2")
        cls.w.fixture("sessions", users["bob"], "bob", "1")
        cls.w.fixture("consent", users["bob"], client["client_id"], "openid profile")

    @classmethod
    def tearDownClass(cls):
        cls.w.__exit__()

    def assert_refused(self, args, stdin, message, status):
        before = snapshot(self.w.data)
        run = self.w.tarnctl(*args, input=stdin)
        self.assertEqual(run.status, status, run)
        self.assertEqual(run.stdout, b"", run)
        lines = run.err.splitlines()
        self.assertTrue(lines[0].startswith("tarnctl: "), run)
        self.assertIn(message, lines[0])
        if status == 2:  # the command's usage line, or every usage line of its group
            self.assertGreaterEqual(len(lines), 2, run)
            self.assertTrue(all(line.startswith("usage: tarnctl") for line in lines[1:]), run)
        else:
            self.assertEqual(len(lines), 1, run)
        self.assertEqual(snapshot(self.w.data), before, "the data directory changed")

    def test_usage_errors_exit_2_with_the_usage_line(self):
        for args, stdin, message in USAGE_ERRORS:
            with self.subTest(args=args):
                self.assert_refused(args, stdin, message, 2)

    def test_refusals_exit_1_with_the_reason(self):
        for args, stdin, message in REFUSALS:
            with self.subTest(args=args):
                self.assert_refused(args, stdin, message, 1)

    def test_a_token_it_cannot_find_is_echoed_masked(self):
        # A session id, or a token mistyped by one character, is a credential: the refusal names it
        # as the listing would.
        users = {u["username"]: u["id"] for u in self.w.tarnctl("users", "list", "--json").json()}
        session = self.w.fixture("sessions", users["bob"], "bob", "1")[0]
        bogus = "rt_" + "k" * 43
        for args, given in [(["tokens", "revoke", session], session), (["tokens", "revoke", bogus], bogus),
                            (["tokens", "revoke", "--family", bogus], bogus)]:
            with self.subTest(args=args):
                masked = given[:6] + "..." + given[-6:]
                self.assert_refused(args, b"", "'%s'" % masked, 1)
                self.assertNotIn(given, self.w.tarnctl(*args).err)

    def test_a_command_usage_error_shows_that_command_usage(self):
        run = self.w.tarnctl("clients", "add", "App")
        self.assertEqual(run.err.splitlines()[1], "usage: tarnctl clients add NAME --redirect-uri URI "
                                                  "[--redirect-uri URI ...] [--scope SCOPES] [--public]")

    def test_data_dir_without_a_value(self):
        run = self.w.tarnctl("users", "list", "--data-dir", data_dir=False)
        self.assertEqual((run.status, run.stdout), (2, b""), run)
        self.assertIn("--data-dir needs a directory", run.err)


class DataDirectoryRefusals(unittest.TestCase):
    """A data directory that cannot serve is refused before anything is read or made."""

    def setUp(self):
        self.w = Workspace()

    def tearDown(self):
        for root, dirs, _ in os.walk(self.w.root):
            for d in dirs:
                os.chmod(os.path.join(root, d), 0o700)
        self.w.__exit__()

    def test_a_missing_data_directory_is_not_made_by_a_command_that_reads(self):
        for args in [["users", "list"], ["clients", "show", "client_x"], ["keys", "list"], ["tokens", "list"],
                     ["consents", "list"], ["audit", "list"]]:
            with self.subTest(args=args):
                run = self.w.tarnctl(*args)
                self.assertEqual((run.status, run.stdout), (1, b""), run)
                self.assertEqual(run.err, "tarnctl: the data directory %s does not exist\n" % self.w.data)
                self.assertFalse(os.path.exists(self.w.data))

    def test_a_data_directory_that_is_a_file(self):
        with open(self.w.data, "wb") as f:
            f.write(b"not a directory")
        for args, stdin in [(["users", "list"], b""), (["users", "add", "carol", "--password-stdin"], PW)]:
            with self.subTest(args=args):
                run = self.w.tarnctl(*args, input=stdin)
                self.assertEqual((run.status, run.stdout), (1, b""), run)
                self.assertEqual(run.err, "tarnctl: the data directory %s is not a directory\n" % self.w.data)
        with open(self.w.data, "rb") as f:
            self.assertEqual(f.read(), b"not a directory")

    def closed(self, mode):
        """The data directory with one user, closed to the user tarnctl acts as (as root, the
        directory belongs to nobody, whom tarnctl becomes)."""
        self.w.add_user("alice")
        if os.getuid() == 0:
            nobody = pwd.getpwnam("nobody")
            os.chmod(self.w.root, 0o755)
            for name in [self.w.data] + [self.w.path(n) for n in os.listdir(self.w.data)]:
                os.chown(name, nobody.pw_uid, nobody.pw_gid)
        os.chmod(self.w.data, mode)

    def test_a_data_directory_that_cannot_be_read(self):
        self.closed(0o000)
        before = sorted(os.listdir(self.w.data)) if os.getuid() == 0 else None
        for args in [["users", "list"], ["users", "show", "alice"], ["keys", "list"]]:
            with self.subTest(args=args):
                run = self.w.tarnctl(*args)
                self.assertEqual((run.status, run.stdout), (1, b""), run)
                self.assertEqual(run.err, "tarnctl: cannot read the data directory %s: Permission denied\n" % self.w.data)
        if before is not None:
            self.assertEqual(sorted(os.listdir(self.w.data)), before)

    def test_a_data_directory_that_cannot_be_changed(self):
        self.closed(0o500)
        with open(self.w.path("users.json"), "rb") as f:
            users = f.read()
        for args, stdin in [(["users", "add", "carol", "--password-stdin"], PW), (["keys", "rotate"], b""),
                            (["sweep"], b"")]:
            with self.subTest(args=args):
                run = self.w.tarnctl(*args, input=stdin)
                self.assertEqual((run.status, run.stdout), (1, b""), run)
                self.assertEqual(run.err, "tarnctl: cannot change the data directory %s: Permission denied\n"
                                 % self.w.data)
        with open(self.w.path("users.json"), "rb") as f:
            self.assertEqual(f.read(), users)

    def test_a_store_that_does_not_parse_is_not_listed_as_empty(self):
        # The library lists an unreadable store as empty; the tool must not print "no users".
        self.w.add_user("alice")
        for document, args in [("users.json", ["users", "list"]), ("users.json", ["users", "show", "alice"]),
                               ("users.json", ["users", "list", "--json"]),
                               ("clients.json", ["clients", "list"]), ("tokens.json", ["tokens", "list"]),
                               ("consents.json", ["consents", "list"]), ("audit_log.json", ["audit", "list"])]:
            with self.subTest(args=args):
                self.w.write(document, b'{"cut short')
                before = snapshot(self.w.data)
                run = self.w.tarnctl(*args)
                os.remove(self.w.path(document))  # the next case has one store that does not parse
                self.assertEqual((run.status, run.stdout), (1, b""), run)
                self.assertEqual(run.err, "tarnctl: %s does not parse, so nothing in it can be shown "
                                          "(tarnctl check names every problem)\n" % document)
                before.pop(document)
                self.assertEqual(snapshot(self.w.data), before)
        self.w.add_user("alice")

    def test_a_key_change_that_cannot_publish_says_so(self):
        self.assertEqual(self.w.tarnctl("keys", "rotate").status, 0)
        missing = os.path.join(self.w.root, "no-such-dir")
        env = {"IDENTITY_JWKS_FILE": os.path.join(missing, "jwks.json")}
        before = snapshot(self.w.data)
        for args in [["keys", "rotate"]]:
            with self.subTest(args=args):
                run = self.w.tarnctl(*args, env=env)
                self.assertEqual((run.status, run.stdout), (1, b""), run)
                self.assertEqual(run.err.count("\n"), 1, run)
                self.assertIn("the published key set %s cannot be written there (No such file or directory); "
                              "nothing was changed" % env["IDENTITY_JWKS_FILE"], run.err)
                self.assertEqual(snapshot(self.w.data), before)
                self.assertFalse(os.path.exists(missing))

    def test_a_ninth_key_is_refused(self):
        for _ in range(7):  # the first key, and seven more
            run = self.w.tarnctl("keys", "rotate")
            self.assertEqual(run.status, 0, run)
        before = snapshot(self.w.data)
        run = self.w.tarnctl("keys", "rotate")
        self.assertEqual((run.status, run.stdout), (1, b""), run)
        self.assertIn("eight keys are kept (prune first)", run.err)
        self.assertEqual(snapshot(self.w.data), before)


if __name__ == "__main__":
    unittest.main()
