#!/usr/bin/env bash
# Installs what serving needs and is missing, builds the libraries and programs, and serves the
# whole provider through lighttpd on 127.0.0.1. The port is the configuration's (IDENTITY_PORT,
# else "port" in config.json of the checkout, else 8080); an argument overrides it:
# bash scripts/serve.sh 9000. The issuer is IDENTITY_BASE_URL (the URL browsers and applications
# reach, e.g. https://id.example.com behind a TLS proxy), else http://127.0.0.1:<port>. Stop it
# with Ctrl-C. The build leaves a tree that `cmake --install build` installs.
#
# Everything the server keeps lives outside the checkout (git clean never touches it), in the
# state directory: /var/lib/tarn-identity when started as root (lighttpd and the programs then
# run as the system user tarn-identity, which owns the data), else
# ${XDG_STATE_HOME:-~/.local/state}/tarn-identity. There: data/ (the configuration's data_dir,
# IDENTITY_DATA_DIR or "data_dir" of config.json, overrides it), public/jwks.json, the published
# key set (likewise IDENTITY_JWKS_FILE or "jwks_file"), and the server's configuration and log. A run/data left in the checkout by an earlier version is moved
# there once.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target product

if (($(id -u) == 0)); then
  state=/var/lib/tarn-identity
else
  state=${XDG_STATE_HOME:-$HOME/.local/state}/tarn-identity
fi
mkdir -p "$state"
configured=$(build/programs/tarnctl config data_dir) || exit 1
if [[ -z $configured && -d run/data ]]; then
  if [[ ! -e $state/data ]]; then
    mv run/data "$state/data"
    echo "Moved the data directory run/data of this checkout to $state/data"
  elif [[ -n $(ls -A run/data) ]]; then
    echo "Note: run/data of this checkout is not used; the data directory is $state/data (see README)"
  fi
fi
exec bash scripts/run-server.sh build "$state" "$@"
