"""Runs one node test file against the provider under a real lighttpd: a fresh data directory,
the issuer and the fixture tool handed over in the environment (TARN_ISSUER, IDENTITY_DATA_DIR,
PROVIDER_FIXTURE, TARN_ARTIFACTS). The node test runner's exit status is this script's.

    python3 run_node.py rp.test.mjs
"""
import os
import subprocess
import sys
import tempfile

from harness import BUILD_DIR
from provider import FIXTURE, Provider

NODE_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "node")


def main(test_file):
    if not os.path.isdir(os.path.join(NODE_DIR, "node_modules")):
        print("node modules missing: run scripts/install-deps.sh (npm ci in tests/e2e/node)")
        return 1
    artifacts = os.environ.get("TARN_ARTIFACTS", os.path.join(BUILD_DIR, "test-artifacts"))
    os.makedirs(artifacts, exist_ok=True)
    with tempfile.TemporaryDirectory(prefix="tarn-node-") as tmp:
        with Provider(tmp) as p:
            env = dict(os.environ, TARN_ISSUER=p.issuer, IDENTITY_DATA_DIR=p.data_dir, PROVIDER_FIXTURE=FIXTURE,
                       TARN_ARTIFACTS=artifacts)
            run = subprocess.run(["node", "--test", "--test-reporter=tap", test_file], cwd=NODE_DIR, env=env,
                                 timeout=540)
            if run.returncode != 0:
                print(p.server.error_log())
            return run.returncode


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
