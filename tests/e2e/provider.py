"""The provider under lighttpd for end-to-end tests: users and clients registered through the
library (provider_fixture), and a browser that keeps cookies and submits forms as they are on
the page, following redirects that stay on the provider.

    with Provider(tmpdir) as p:
        user_id = p.user("alice", "correct horse 1", "alice@example.com")
        client = p.client("App", "http://127.0.0.1:1/cb")
        b = p.browser()
        answer = b.authorize(client, scope="openid profile", username="alice", password=...)
"""
import base64
import hashlib
import html.parser
import http.client
import json
import os
import secrets
import subprocess
import urllib.parse

from harness import BUILD_DIR, Server

FIXTURE = os.environ.get("PROVIDER_FIXTURE", os.path.join(BUILD_DIR, "tests", "provider_fixture"))


class Client:
    def __init__(self, client_id, secret, redirect_uri, name):
        self.client_id, self.secret, self.redirect_uri, self.name = client_id, secret, redirect_uri, name

    @property
    def public(self):
        return not self.secret


class Answer:
    def __init__(self, status, headers, body):
        self.status, self.headers, self.body = status, headers, body

    def header(self, name):
        got = [v for n, v in self.headers if n.lower() == name.lower()]
        return got[0] if got else None

    def headers_named(self, name):
        return [v for n, v in self.headers if n.lower() == name.lower()]

    @property
    def text(self):
        return self.body.decode("utf-8", "replace")

    def json(self):
        return json.loads(self.body)

    def query(self):
        """The query parameters of the Location header, as a dict of single values."""
        loc = urllib.parse.urlsplit(self.header("Location"))
        return dict(urllib.parse.parse_qsl(loc.query, keep_blank_values=True))


class FormParser(html.parser.HTMLParser):
    """Every form of a page: action, method, its inputs' values and its buttons."""

    def __init__(self):
        super().__init__()
        self.forms = []

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        if tag == "form":
            self.forms.append({"action": a.get("action", ""), "method": a.get("method", "get").lower(),
                               "fields": {}, "buttons": {}})
        elif tag == "input" and self.forms and a.get("name"):
            self.forms[-1]["fields"][a["name"]] = a.get("value", "")
        elif tag == "button" and self.forms and a.get("name"):
            self.forms[-1]["buttons"][a.get("value", "")] = a["name"]


def forms_of(page):
    p = FormParser()
    p.feed(page)
    return p.forms


def pkce_pair():
    verifier = base64.urlsafe_b64encode(secrets.token_bytes(32)).rstrip(b"=").decode()
    challenge = base64.urlsafe_b64encode(hashlib.sha256(verifier.encode()).digest()).rstrip(b"=").decode()
    return verifier, challenge


class Browser:
    """Cookies per name (the provider's only host), no JavaScript, redirects followed on the
    provider and stopped at the first one that leaves it."""

    def __init__(self, provider):
        self.p = provider
        self.cookies = {}

    def request(self, method, target, form=None, headers=None):
        if target.startswith("http"):
            parts = urllib.parse.urlsplit(target)
            assert parts.port == self.p.server.port, target
            target = parts.path + ("?" + parts.query if parts.query else "")
        headers = dict(headers or {})
        body = None
        if form is not None:
            body = urllib.parse.urlencode(form)
            headers["Content-Type"] = "application/x-www-form-urlencoded"
        if self.cookies:
            headers["Cookie"] = "; ".join("%s=%s" % kv for kv in self.cookies.items())
        conn = http.client.HTTPConnection("127.0.0.1", self.p.server.port, timeout=120)
        try:
            conn.request(method, target, body=body, headers=headers)
            resp = conn.getresponse()
            answer = Answer(resp.status, resp.getheaders(), resp.read())
        finally:
            conn.close()
        for line in answer.headers_named("Set-Cookie"):
            name, _, rest = line.partition("=")
            value = rest.split(";", 1)[0]
            if "max-age=0" in line.lower().replace(" ", ""):
                self.cookies.pop(name, None)
            else:
                self.cookies[name] = value
        return answer

    def get(self, target, **kw):
        return self.follow(self.request("GET", target, **kw))

    def follow(self, answer):
        while answer.status in (302, 303) and self.on_provider(answer.header("Location")):
            answer = self.request("GET", answer.header("Location"))
        return answer

    def on_provider(self, location):
        return location.startswith(self.p.issuer + "/")

    def submit(self, page, button=None, **values):
        """Submits the page's only form (or the one holding `button`) with `values` filled in."""
        forms = forms_of(page.text)
        if button is not None:
            forms = [f for f in forms if button in f["buttons"]]
        assert len(forms) == 1, forms
        form = forms[0]
        fields = dict(form["fields"])
        fields.update(values)
        if button is not None:
            fields[form["buttons"][button]] = button
        return self.follow(self.request(form["method"].upper(), form["action"], form=fields))

    def authorize(self, client, username, password, approve=True, **params):
        """The whole browser side of a code flow: returns the answer that leaves the provider."""
        query = {"response_type": "code", "client_id": client.client_id, "redirect_uri": client.redirect_uri,
                 "scope": "openid profile email", "state": "st-" + secrets.token_hex(4)}
        query.update(params)
        page = self.get("/authorize?" + urllib.parse.urlencode(query))
        if page.status == 200 and forms_of(page.text) and "password" in forms_of(page.text)[0]["fields"]:
            page = self.submit(page, username=username, password=password)
        if page.status == 200 and forms_of(page.text) and "approve" in forms_of(page.text)[0]["buttons"]:
            page = self.submit(page, button="approve" if approve else "deny")
        return page


class Provider:
    def __init__(self, tmpdir):
        self.data_dir = os.path.join(tmpdir, "data")
        self.server = Server(self.data_dir)

    def __enter__(self):
        self.server.start()
        self.issuer = self.server.base_url()
        return self

    def __exit__(self, *exc):
        self.server.__exit__(*exc)

    def fixture(self, *args):
        env = dict(os.environ, IDENTITY_DATA_DIR=self.data_dir)
        out = subprocess.run([FIXTURE] + list(args), env=env, capture_output=True, text=True, timeout=120,
                             cwd=os.path.dirname(self.data_dir))
        if out.returncode != 0:
            raise RuntimeError(out.stderr)
        return out.stdout.split()

    def user(self, name, password, email=""):
        return self.fixture("user", name, password, email)[0]

    def delete_user(self, user_id):
        self.fixture("delete-user", user_id)

    def client(self, name, redirect_uri, scopes="openid profile email", public=False, more_uris=()):
        got = self.fixture("client", name, redirect_uri, scopes, "public" if public else "confidential")
        client = Client(got[0], got[1] if len(got) > 1 else "", redirect_uri, name)
        if more_uris:
            path = os.path.join(self.data_dir, "clients.json")
            with open(path) as f:
                clients = json.load(f)
            for c in clients:
                if c["client_id"] == client.client_id:
                    c["redirect_uris"] += list(more_uris)
            with open(path, "w") as f:
                json.dump(clients, f, indent=4)
        return client

    def browser(self):
        return Browser(self)

    def post(self, path, form, headers=None):
        return Browser(self).request("POST", path, form=form, headers=headers)

    def token(self, client, form, basic=True):
        """A token request authenticated as `client` (Basic, or client_secret in the body)."""
        form = dict(form)
        headers = {}
        if client.public:
            form["client_id"] = client.client_id
        elif basic:
            cred = base64.b64encode(("%s:%s" % (client.client_id, client.secret)).encode()).decode()
            headers["Authorization"] = "Basic " + cred
        else:
            form.update(client_id=client.client_id, client_secret=client.secret)
        return self.post("/token", form, headers)

    def exchange(self, client, code, verifier=None, redirect_uri=None, basic=True):
        form = {"grant_type": "authorization_code", "code": code,
                "redirect_uri": redirect_uri or client.redirect_uri}
        if verifier:
            form["code_verifier"] = verifier
        return self.token(client, form, basic)
