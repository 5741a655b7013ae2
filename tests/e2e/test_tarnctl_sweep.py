"""tarnctl sweep against a real tokens.json of 10,000 expired and 100 live records: it leaves
exactly the live ones, also while four other processes keep creating sessions, none of whose
sessions is lost."""
import json
import subprocess
import time
import unittest

from tarnctl_support import FIXTURE, Workspace, clean_env

EXPIRED, LIVE = 10000, 100


def tokens_document(user_id, now):
    """Sessions, codes and refresh tokens in thirds, the first `EXPIRED` of them past their expiry."""
    sessions, codes, refresh = {}, {}, []
    for i in range(EXPIRED + LIVE):
        expires = now - 3600 - i if i < EXPIRED else now + 3600 + i
        kind = i % 3
        if kind == 0:
            sessions["sess_%037d" % i] = {"user_id": user_id, "username": "alice", "created_at": expires - 86400,
                                          "expires_at": expires}
        elif kind == 1:
            codes["code_%037d" % i] = {"user_id": user_id, "client_id": "client_x", "redirect_uri": "https://a.example/",
                                       "scope": "openid", "code_challenge": "", "code_challenge_method": "plain",
                                       "expires_at": expires}
        else:
            token = "rt_%043d" % i
            refresh.append({"token": token, "user_id": user_id, "username": "alice", "client_id": "client_x",
                            "scope": "openid", "family": token, "expires_at": expires})
    return {"sessions": sessions, "auth_codes": codes, "refresh": refresh, "rotated": []}


def live(doc, now):
    return (sorted(k for k, v in doc["sessions"].items() if v["expires_at"] >= now),
            sorted(k for k, v in doc["auth_codes"].items() if v["expires_at"] >= now),
            sorted(r["token"] for r in doc["refresh"] if r["expires_at"] >= now))


class Sweep(unittest.TestCase):
    def setUp(self):
        self.w = Workspace()
        self.alice = self.w.add_user("alice")
        self.now = int(time.time())
        self.doc = tokens_document(self.alice["id"], self.now)
        self.w.write("tokens.json", self.doc)

    def tearDown(self):
        self.w.__exit__()

    def test_leaves_exactly_the_live_records(self):
        run = self.w.tarnctl("sweep", "--json")
        self.assertEqual(run.status, 0, run)
        removed = {(r["store"], r["what"]): r["removed"] for r in run.json()["removed"]}
        expired = [i for i in range(EXPIRED)]
        self.assertEqual(removed[("tokens.json", "sessions")], sum(1 for i in expired if i % 3 == 0))
        self.assertEqual(removed[("tokens.json", "authorization codes")], sum(1 for i in expired if i % 3 == 1))
        self.assertEqual(removed[("tokens.json", "refresh tokens")], sum(1 for i in expired if i % 3 == 2))
        self.assertEqual(run.json()["failed"], [])
        after = self.w.read_json("tokens.json")
        self.assertEqual(live(after, 0), live(self.doc, self.now))
        self.assertEqual(sum(len(x) for x in live(after, 0)), LIVE)
        # Nothing left to do: a second sweep removes nothing and prints the same table shape.
        again = self.w.tarnctl("sweep")
        self.assertEqual(again.status, 0, again)
        self.assertTrue(again.out.startswith("STORE"), again.out)
        self.assertNotRegex(again.out, r"tokens\.json\s+[1-9]")

    def test_no_session_made_meanwhile_is_lost(self):
        # Unbuffered: the first line is read byte by byte, leaving the rest to communicate().
        creators = [subprocess.Popen([FIXTURE, "sessions", self.alice["id"], "alice", "60"], stdout=subprocess.PIPE,
                                     bufsize=0, env=clean_env({"IDENTITY_DATA_DIR": self.w.data}), cwd=self.w.root)
                    for _ in range(4)]
        made = []
        # Each creator has made its first session before the sweep starts: they overlap.
        for c in creators:
            made.append(c.stdout.readline().decode().strip())
        run = self.w.tarnctl("sweep")
        for c in creators:
            out, _ = c.communicate(timeout=600)
            self.assertEqual(c.returncode, 0)
            made += out.decode().split()
        self.assertEqual(run.status, 0, run)
        self.assertEqual(len(made), 4 * 60)
        after = self.w.read_json("tokens.json")
        self.assertEqual(sorted(set(made) - set(after["sessions"])), [])
        sessions, codes, refresh = live(self.doc, self.now)
        self.assertEqual(sorted(after["sessions"]), sorted(sessions + made))
        self.assertEqual(sorted(after["auth_codes"]), codes)
        self.assertEqual(sorted(r["token"] for r in after["refresh"]), refresh)


if __name__ == "__main__":
    unittest.main()
