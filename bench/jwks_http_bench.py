"""Requests per second of the key set through lighttpd, measured with wrk (16 connections, two
threads, the same seconds each, in one run on one machine):

  served key set   the serve command's server (scripts/run-server.sh) answering
                   /.well-known/jwks.json from the published file
  jwks program     the same lighttpd configuration without a published file: every request
                   starts the jwks program
  plain file       lighttpd with nothing but a document root, serving a file of the same bytes

The three servers run side by side and are measured in turn, round after round, so that a change
in the machine's load falls on each alike. Prints each one's rates and median, wrk's last figures,
and the ratios of the served key set's median to the other two.

    /usr/bin/python3 bench/jwks_http_bench.py [seconds [rounds]]   (10 s, 3 rounds)
"""
import http.client
import os
import re
import socket
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
from harness import BUILD_DIR, LIGHTTPD, SOURCE_DIR, Server, free_port  # noqa: E402

PATH = "/.well-known/jwks.json"


def wait_for(port, proc):
    deadline = time.time() + 30
    while time.time() < deadline:
        if proc.poll() is not None:
            raise RuntimeError("the server ended: %r" % (proc.communicate(),))
        try:
            socket.create_connection(("127.0.0.1", port), timeout=0.2).close()
            return
        except OSError:
            time.sleep(0.02)
    raise RuntimeError("the server did not start")


def get(port, path=PATH):
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
    conn.request("GET", path)
    resp = conn.getresponse()
    body = resp.read()
    conn.close()
    return resp.status, dict(resp.getheaders()), body


def wrk(port, seconds):
    out = subprocess.run(["wrk", "-t2", "-c16", "-d%ds" % seconds, "http://127.0.0.1:%d%s" % (port, PATH)],
                         capture_output=True, text=True, timeout=seconds + 120).stdout
    m = re.search(r"Requests/sec:\s+([0-9.]+)", out)
    if not m or re.search(r"Non-2xx", out):
        raise RuntimeError("wrk failed:\n" + out)
    return float(m.group(1)), out.strip()


def stop(proc):
    proc.terminate()
    try:
        proc.wait(timeout=10)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


def start_plain(tmp, published):
    """lighttpd serving a plain file of the same bytes, nothing else configured."""
    docroot = os.path.join(tmp, "plain", ".well-known")
    os.makedirs(docroot)
    with open(os.path.join(docroot, "jwks.json"), "wb") as f:
        f.write(published)
    port = free_port()
    conf = os.path.join(tmp, "plain.conf")
    with open(conf, "w") as f:
        f.write('server.bind = "127.0.0.1"\nserver.port = %d\nserver.document-root = "%s"\n'
                'server.errorlog = "%s"\nserver.max-keep-alive-requests = 100\n'
                'mimetype.assign = (".json" => "application/json; charset=utf-8")\n'
                % (port, os.path.dirname(docroot), os.path.join(tmp, "plain-error.log")))
    plain = subprocess.Popen([LIGHTTPD, "-D", "-f", conf], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    wait_for(port, plain)
    if get(port)[2] != published:
        stop(plain)
        raise RuntimeError("the plain file differs")
    return plain, port


def median(values):
    s = sorted(values)
    return s[len(s) // 2] if len(s) % 2 else (s[len(s) // 2 - 1] + s[len(s) // 2]) / 2


def main(seconds, rounds):
    names = ["served key set", "jwks program", "plain file"]
    rates = {name: [] for name in names}
    last = {}
    with tempfile.TemporaryDirectory(prefix="tarn-jwks-bench-") as tmp:
        os.chmod(tmp, 0o755)
        run_dir = os.path.join(tmp, "run")
        jwks_file = os.path.join(tmp, "public", "jwks.json")
        env = {k: v for k, v in os.environ.items() if not k.startswith("IDENTITY_")}
        env.update({"IDENTITY_JWKS_FILE": jwks_file, "TARN_SERVICE_USER": "nobody"})
        port = free_port()
        served = subprocess.Popen(["bash", os.path.join(SOURCE_DIR, "scripts", "run-server.sh"), BUILD_DIR, run_dir,
                                   str(port)], env=env, cwd=tmp, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        program = Server(os.path.join(tmp, "program-data"))
        plain = None
        try:
            wait_for(port, served)
            status, _, body = get(port)  # the first request: the program makes the first key and publishes it
            if status != 200 or not os.path.exists(jwks_file):
                raise RuntimeError("no published key set after the first request")
            with open(jwks_file, "rb") as f:
                published = f.read()
            if get(port)[2] != published or body != published:
                raise RuntimeError("the served key set is not the published file")
            # The same configuration, nothing published: the program answers every request.
            program.start()
            if get(program.port)[0] != 200:
                raise RuntimeError("the jwks program did not answer")
            plain, plain_port = start_plain(tmp, published)
            ports = {"served key set": port, "jwks program": program.port, "plain file": plain_port}
            # Rounds of all three in turn, so that a change in the machine's load falls on each alike.
            for _ in range(rounds):
                for name in names:
                    rate, text = wrk(ports[name], seconds)
                    rates[name].append(rate)
                    last[name] = text
        finally:
            stop(served)
            program.stop()
            if plain:
                stop(plain)

    for name in names:
        print("== %s: median %.0f requests/s over %d runs of %d s (%s)\n%s\n"
              % (name, median(rates[name]), rounds, seconds, ", ".join("%.0f" % r for r in rates[name]), last[name]))
    served_rate = median(rates["served key set"])
    print("served key set / plain file: %.2f" % (served_rate / median(rates["plain file"])))
    print("served key set / jwks program: %.1f" % (served_rate / median(rates["jwks program"])))
    print("key set: %d bytes" % len(published))
    try:
        print("load average: %s" % open("/proc/loadavg").read().strip())
    except OSError:
        pass


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 10, int(sys.argv[2]) if len(sys.argv) > 2 else 3)
