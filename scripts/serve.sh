#!/usr/bin/env bash
# Installs what is missing, builds the libraries and programs, and serves the whole provider
# through lighttpd on 127.0.0.1 with the data directory run/data of this checkout (IDENTITY_DATA_DIR
# overrides it). The port is the configuration's (IDENTITY_PORT, else "port" in config.json of
# the checkout, else 8080); an argument overrides it: bash scripts/serve.sh 9000. The issuer is
# IDENTITY_BASE_URL (the URL browsers and applications reach, e.g. https://id.example.com behind a
# TLS proxy), else http://127.0.0.1:<port>. Stop it with Ctrl-C. The build leaves a tree that
# `cmake --install build` installs.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target product
exec bash scripts/run-server.sh build run "$@"
