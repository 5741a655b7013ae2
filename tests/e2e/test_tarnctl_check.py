"""tarnctl check against real data directories: each planted problem found and named on a line of
its own (exit 1), nothing found on a fresh data directory (exit 0), and nothing changed either
way, not even a missing data directory made."""
import json
import os
import unittest

from tarnctl_support import Workspace, snapshot

NO_USABLE_KEY = {"active": "abc", "keys": [{"kid": "abc", "alg": "RS256", "status": "active", "created": 1,
                                            "private_der": "AAAA"}]}


def plant(w, config=None, files=None, modes=None, dir_mode=None):
    if config is not None:
        with open(os.path.join(w.root, "config.json"), "wb") as f:
            f.write(config)
    for name, data in (files or {}).items():
        w.write(name, data)
    for name, mode in (modes or {}).items():
        os.chmod(w.path(name), mode)
    if dir_mode is not None:
        os.chmod(w.data, dir_mode)


# (what is planted, the problem line check must print)
PROBLEMS = [
    (dict(config=b'{"port": 9000,'), "config.json does not parse"),
    (dict(config=b'[{"port": 9000}]'), "config.json: the root is not an object"),
    (dict(config=b'{"port": "9000"}'), 'config.json: "port" is not an integer'),
    (dict(config=b'{"data_dir": 7}'), 'config.json: "data_dir" is not a string'),
    (dict(config=b'{"jwks_file": true}'), 'config.json: "jwks_file" is not a string'),
    (dict(config=b'{"datadir": "elsewhere"}'), 'config.json: unknown member "datadir"'),
    (dict(config=b'{"port": 70000}'), "port 70000 is not a TCP port"),
    (dict(modes={"users.json": 0o644}), "users.json is open to other users (mode 0644); it should be 0600"),
    (dict(files={"tokens.json": b'{"sessions": {'}), "tokens.json does not parse"),
    (dict(files={"keys.json": NO_USABLE_KEY}), "keys.json holds no usable key"),
    (dict(dir_mode=0o755), "is open to other users (mode 0755); it should be 0700"),
]


class Check(unittest.TestCase):
    def setUp(self):
        self.w = Workspace()

    def tearDown(self):
        self.w.__exit__()

    def fresh(self):
        self.w.add_user("alice")
        self.assertEqual(self.w.tarnctl("keys", "rotate").status, 0)

    def check(self, *extra, env=None):
        before = snapshot(self.w.data)
        text = self.w.tarnctl("check", *extra, env=env)
        as_json = self.w.tarnctl("check", "--json", *extra, env=env)
        self.assertEqual(snapshot(self.w.data), before, "check changed the data directory")
        return text, as_json

    def test_a_fresh_data_directory_has_no_problem(self):
        for prepare in [lambda: os.makedirs(self.w.data, mode=0o700), self.fresh]:
            with self.subTest(prepare=prepare):
                prepare()
                text, as_json = self.check()
                self.assertEqual((text.status, text.stderr), (0, b""), text)
                self.assertTrue(text.out.endswith("\nno problems found\n"), text.out)
                report = as_json.json()
                self.assertEqual(report["problems"], [])
                self.assertEqual(report["data_directory"]["mode"], "0700")

    def test_each_planted_problem_is_found(self):
        for planted, line in PROBLEMS:
            with self.subTest(planted=planted):
                self.w.reset()
                self.fresh()
                if os.path.exists(os.path.join(self.w.root, "config.json")):
                    os.remove(os.path.join(self.w.root, "config.json"))
                plant(self.w, **planted)
                text, as_json = self.check()
                self.assertEqual(text.status, 1, text)
                self.assertEqual(text.stderr, b"tarnctl: check found 1 problem\n", text)
                self.assertIn("\nproblems:\n", text.out)
                problems = text.out.split("\nproblems:\n")[1].splitlines()
                self.assertEqual(len(problems), 1, problems)
                self.assertIn(line, problems[0])
                self.assertEqual(as_json.status, 1)
                self.assertEqual(len(as_json.json()["problems"]), 1, as_json.json()["problems"])
                self.assertIn(line, as_json.json()["problems"][0])

    def test_a_missing_data_directory_is_a_problem_and_stays_missing(self):
        text, _ = self.check()
        self.assertEqual(text.status, 1, text)
        self.assertIn("the data directory %s does not exist" % self.w.data, text.out)
        self.assertFalse(os.path.exists(self.w.data))

    def test_where_each_value_came_from(self):
        self.fresh()
        with open(os.path.join(self.w.root, "config.json"), "w") as f:
            json.dump({"base_url": "https://id.example.com", "admin_secret": "do not print me"}, f)
        text, as_json = self.check(env={"IDENTITY_PORT": "9000"})
        self.assertEqual(text.status, 0, text)
        values = {v["name"]: (v["value"], v["source"]) for v in as_json.json()["configuration"]["values"]}
        self.assertEqual(values["port"], ("9000", "environment"))
        self.assertEqual(values["base_url"], ("https://id.example.com", "config.json"))
        self.assertEqual(values["data_dir"], (self.w.data, "--data-dir"))
        self.assertEqual(values["jwks_file"], ("", "default"))
        self.assertEqual(values["admin_secret"][1], "config.json")
        self.assertNotIn(b"do not print me", text.stdout + as_json.stdout)
        self.assertEqual(as_json.json()["configuration"]["config_file"]["state"], "read")

    def test_documents_modes_and_set_aside_copies(self):
        self.fresh()
        self.w.write("tokens.json.corrupt-1700000000", b"{")
        _, as_json = self.check()
        report = as_json.json()
        docs = {d["name"]: d for d in report["documents"]}
        self.assertEqual(docs["users.json"]["state"], "parses")
        self.assertEqual(docs["consents.json"]["state"], "missing")
        self.assertEqual(docs["tokens.json"]["set_aside"], ["tokens.json.corrupt-1700000000"])
        files = {f["name"]: f["mode"] for f in report["data_directory"]["files"]}
        self.assertEqual(files["users.json"], "0600")
        self.assertEqual(report["keys"]["state"], "read")
        self.assertEqual((len(report["keys"]["keys"]), report["keys"]["usable"]), (2, 2))

    def test_a_stale_published_key_set(self):
        self.fresh()
        public = os.path.join(self.w.root, "public")
        os.makedirs(public)
        jwks_file = os.path.join(public, "jwks.json")
        with open(jwks_file, "wb") as f:
            f.write(b'{"keys":[]}\n')
        text, as_json = self.check(env={"IDENTITY_JWKS_FILE": jwks_file})
        self.assertEqual(text.status, 1, text)
        self.assertIn("the published key set %s is not the key set of keys.json" % jwks_file, text.out)
        with open(jwks_file, "rb") as f:
            self.assertEqual(f.read(), b'{"keys":[]}\n')


if __name__ == "__main__":
    unittest.main()
