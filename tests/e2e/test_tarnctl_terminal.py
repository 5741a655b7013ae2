"""Passwords typed on a terminal: tarnctl runs on a pseudo-terminal as its controlling terminal,
asks twice with echo off, and the terminal shows neither password. And tarnctl run as root on a
data directory another user owns: it acts as that user, so the server can read what it wrote."""
import os
import pty
import pwd
import select
import time
import unittest

from tarnctl_support import TARNCTL, Workspace, clean_env, verifies


class Terminal:
    """tarnctl with a pseudo-terminal as its controlling terminal and standard streams."""

    def __init__(self, argv, env):
        self.pid, self.fd = pty.fork()
        if self.pid == 0:
            try:
                os.execve(argv[0], argv, env)
            finally:
                os._exit(127)
        self.seen = b""

    def read_until(self, text, timeout=60):
        deadline = time.time() + timeout
        while text not in self.seen:
            left = deadline - time.time()
            if left <= 0:
                raise AssertionError("no %r on the terminal; it shows %r" % (text, self.seen))
            ready, _, _ = select.select([self.fd], [], [], left)
            if ready:
                try:
                    chunk = os.read(self.fd, 4096)
                except OSError:  # the program ended and closed its side
                    chunk = b""
                if not chunk:
                    raise AssertionError("the terminal closed before %r; it showed %r" % (text, self.seen))
                self.seen += chunk

    def type(self, text):
        os.write(self.fd, text)

    def finish(self, timeout=120):
        """Everything left on the terminal, and the exit status."""
        deadline = time.time() + timeout
        while time.time() < deadline:
            ready, _, _ = select.select([self.fd], [], [], 0.5)
            if ready:
                try:
                    chunk = os.read(self.fd, 4096)
                except OSError:
                    break
                if not chunk:
                    break
                self.seen += chunk
        _, status = os.waitpid(self.pid, 0)
        os.close(self.fd)
        return os.waitstatus_to_exitcode(status)


class PasswordOnATerminal(unittest.TestCase):
    def setUp(self):
        self.w = Workspace()

    def tearDown(self):
        self.w.__exit__()

    def tarnctl(self, *args):
        return Terminal([TARNCTL] + list(args) + ["--data-dir", self.w.data], clean_env())

    def stored_hash(self, username):
        return [u for u in self.w.read_json("users.json") if u["username"] == username][0]["pass_hash"]

    def test_typed_twice_without_echo(self):
        t = self.tarnctl("users", "add", "alice")
        t.read_until(b"New password for alice: ")
        t.type(b"typed on a terminal\n")
        t.read_until(b"Repeat it: ")
        t.type(b"typed on a terminal\n")
        self.assertEqual(t.finish(), 0, t.seen)
        self.assertNotIn(b"typed on a terminal", t.seen)
        self.assertIn(b"added the user alice", t.seen)
        self.assertTrue(verifies("typed on a terminal", self.stored_hash("alice")))
        # The terminal's echo is back on: the program left its settings as it found them.
        t = self.tarnctl("users", "passwd", "alice")
        t.read_until(b"New password for alice: ")
        t.type(b"another one, typed\n")
        t.read_until(b"Repeat it: ")
        t.type(b"another one, typed\n")
        self.assertEqual(t.finish(), 0, t.seen)
        self.assertNotIn(b"another one", t.seen)
        self.assertTrue(verifies("another one, typed", self.stored_hash("alice")))

    def test_refusals_on_the_terminal_change_nothing(self):
        self.w.add_user("alice")
        with open(self.w.path("users.json"), "rb") as f:
            before = f.read()
        for args, answers, message in [
            (["users", "passwd", "alice"], [b"first long one\n", b"second long one\n"],
             b"tarnctl: the two passwords differ; nothing was changed"),
            # The policy is the library's, checked before the second prompt.
            (["users", "passwd", "alice"], [b"shortpw\n"],
             b"tarnctl: cannot set the password of alice: password too short (min 8)"),
            (["users", "add", "bob"], [b"tiny\n"], b"tarnctl: cannot add bob: password too short (min 8)"),
        ]:
            with self.subTest(args=args, answers=answers):
                t = self.tarnctl(*args)
                prompts = [b"New password for ", b"Repeat it: "]
                for prompt, answer in zip(prompts, answers):
                    t.read_until(prompt)
                    t.type(answer)
                self.assertEqual(t.finish(), 1, t.seen)
                self.assertIn(message, t.seen)
                if len(answers) == 1:
                    self.assertNotIn(b"Repeat it", t.seen)
                for answer in answers:
                    self.assertNotIn(answer.strip(), t.seen)
                with open(self.w.path("users.json"), "rb") as f:
                    self.assertEqual(f.read(), before)

    def test_the_input_ending_is_a_refusal(self):
        t = self.tarnctl("users", "add", "alice")
        t.read_until(b"New password for alice: ")
        t.type(b"\x04")  # end of input, nothing typed
        self.assertEqual(t.finish(), 1, t.seen)
        self.assertIn(b"tarnctl: no password was typed", t.seen)
        self.assertFalse(os.path.exists(self.w.path("users.json")))


@unittest.skipUnless(os.getuid() == 0, "needs root")
class RootActsAsTheOwner(unittest.TestCase):
    def test_files_written_as_root_belong_to_the_data_directory_owner(self):
        nobody = pwd.getpwnam("nobody")
        with Workspace() as w:
            os.chmod(w.root, 0o755)
            os.makedirs(w.data, mode=0o700)
            os.chown(w.data, nobody.pw_uid, nobody.pw_gid)
            w.add_user("alice")
            w.add_client("App", "https://app.example.com/cb")
            self.assertEqual(w.tarnctl("keys", "rotate").status, 0)
            self.assertEqual(w.tarnctl("sweep").status, 0)
            names = sorted(os.listdir(w.data))
            self.assertIn("users.json", names)
            self.assertIn("keys.json", names)
            for name in names:
                with self.subTest(name=name):
                    st = os.stat(w.path(name))
                    self.assertEqual((st.st_uid, st.st_gid), (nobody.pw_uid, nobody.pw_gid))
            # What root could read but the owner cannot is refused, not read.
            os.chmod(w.path("users.json"), 0o000)
            os.chown(w.path("users.json"), 0, 0)
            run = w.tarnctl("users", "list", "--json")
            self.assertEqual((run.status, run.stdout), (1, b""), run)
            self.assertEqual(run.err, "tarnctl: cannot read users.json: Permission denied\n")


if __name__ == "__main__":
    unittest.main()
