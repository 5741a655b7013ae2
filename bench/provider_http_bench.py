"""Requests per second of the token endpoint through a real lighttpd, measured with wrk: the
authorization code exchange (each request a code of its own, issued beforehand) and the refresh
grant (each connection rotating its own chain: every answer's refresh token is the next request's).
Two connections, one per wrk thread, for a few seconds each; prints wrk's own figures.

    /usr/bin/python3 bench/provider_http_bench.py [seconds]
"""
import base64
import hashlib
import os
import re
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
from provider import Provider  # noqa: E402

VERIFIER = "dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk"
CB = "http://127.0.0.1:9/cb"

COMMON = r"""
local tokens, next_one, threads = {}, 1, 0
function setup(thread)
  threads = threads + 1
  thread:set("id", threads)
end
function init(args)
  for line in io.lines(args[1] .. "-" .. id .. ".txt") do tokens[#tokens + 1] = line end
end
wrk.method = "POST"
wrk.headers["Content-Type"] = "application/x-www-form-urlencoded"
wrk.headers["Authorization"] = "Basic %s"
"""

CODE = COMMON + r"""
function request()
  local code = tokens[next_one]
  if not code then wrk.thread:stop() return wrk.format() end
  next_one = next_one + 1
  return wrk.format(nil, "/token", nil, "grant_type=authorization_code&code=" .. code ..
    "&redirect_uri=http%%3A%%2F%%2F127.0.0.1%%3A9%%2Fcb&code_verifier=%s")
end
function response(status, headers, body)
  if status ~= 200 then print("refused: " .. body) wrk.thread:stop() end
end
"""

REFRESH = COMMON + r"""
function request()
  return wrk.format(nil, "/token", nil, "grant_type=refresh_token&refresh_token=" .. tokens[1])
end
function response(status, headers, body)
  local nxt = body:match('"refresh_token":"([^"]+)"')
  if status ~= 200 or not nxt then print("refused: " .. body) wrk.thread:stop() return end
  tokens[1] = nxt
end
"""


def wrk(port, script, prefix, seconds):
    # Thread i reads <prefix>-<i>.txt.
    out = subprocess.run(["wrk", "-t2", "-c2", "-d%ds" % seconds, "-s", script, "http://127.0.0.1:%d" % port, "--",
                          prefix], capture_output=True, text=True, timeout=seconds + 60)
    return out.stdout


def main(seconds):
    with tempfile.TemporaryDirectory(prefix="tarn-http-bench-") as tmp:
        with Provider(tmp) as p:
            user = p.user("alice", "correct horse 1", "alice@example.com")
            c = p.client("Bench", CB)
            basic = base64.b64encode(("%s:%s" % (c.client_id, c.secret)).encode()).decode()
            challenge = base64.urlsafe_b64encode(hashlib.sha256(VERIFIER.encode()).digest()).rstrip(b"=").decode()
            for i in (1, 2):
                codes = p.fixture("codes", user, c.client_id, CB, challenge, str(40 * seconds))
                with open(os.path.join(tmp, "codes-%d.txt" % i), "w") as f:
                    f.write("\n".join(codes) + "\n")
                with open(os.path.join(tmp, "refresh-%d.txt" % i), "w") as f:
                    f.write(p.fixture("refresh-tokens", user, c.client_id, "1")[0] + "\n")
            for name, template, prefix in (("code exchange", CODE % (basic, VERIFIER), "codes"),
                                           ("refresh", REFRESH % basic, "refresh")):
                script = os.path.join(tmp, prefix + ".lua")
                with open(script, "w") as f:
                    f.write(template)
                size = os.path.getsize(os.path.join(p.data_dir, "tokens.json"))
                text = wrk(p.server.port, script, os.path.join(tmp, prefix), seconds)
                print("== token endpoint, %s (tokens.json %d bytes at the start)" % (name, size))
                print(text.strip())


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 5)
