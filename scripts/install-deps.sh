#!/usr/bin/env bash
# Installs, from Debian's packages, whatever the build and the server need and this machine
# lacks; with --test also what only the tests and benchmarks use (GoogleTest, Google Benchmark,
# the independent verifiers, a browser, an HTML checker, a load generator, the node modules of
# the relying-party tests, pinned by their lock file). Safe to run again: it does nothing when
# everything is present.
set -euo pipefail
cd "$(dirname "$0")/.."

# Serving: the compilers, the libraries the product links (libssl-dev for the static libcrypto of
# the token endpoint), lighttpd, and adduser for the service user of a server started as root.
packages=(build-essential cmake pkg-config libbearssl-dev rapidjson-dev libssl-dev lighttpd adduser)
if [ "${1:-}" = "--test" ]; then
  packages+=(libgtest-dev libgmock-dev libbenchmark-dev openssl curl python3 python3-jwt
             python3-cryptography chromium tidy wrk)
  command -v node >/dev/null && command -v npm >/dev/null || packages+=(nodejs npm)
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

if [ "${1:-}" = "--test" ]; then
  # The browser comes from Debian: the node modules must never download one.
  node_dir=tests/e2e/node
  if [ ! -f "$node_dir/node_modules/.package-lock.json" ] ||
     [ "$node_dir/package-lock.json" -nt "$node_dir/node_modules/.package-lock.json" ]; then
    echo "installing node modules (npm ci)"
    (cd "$node_dir" && PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --no-audit --no-fund --loglevel=error)
  fi
fi
