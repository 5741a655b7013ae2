#!/usr/bin/env bash
# Builds jwks and serves the key set through lighttpd on 127.0.0.1 (port 8080 unless given),
# with the data directory run/data of this checkout. Stop it with Ctrl-C.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
port=${1:-8080}
data_dir=${IDENTITY_DATA_DIR:-$root/run/data}

bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target jwks

run=$root/run
mkdir -p "$run/www"
mkdir -p -m 0700 "$data_dir"
sed -e "s|@PORT@|$port|" -e "s|@DOCROOT@|$run/www|" -e "s|@ERRORLOG@|$run/lighttpd-error.log|" \
    -e "s|@JWKS@|$root/build/programs/jwks|g" -e "s|@DATA_DIR@|$data_dir|" \
    scripts/lighttpd.conf.in > "$run/lighttpd.conf"
lighttpd -tt -f "$run/lighttpd.conf"

echo "Serving the key set at http://127.0.0.1:$port/.well-known/jwks.json (also /jwks)"
echo "Data directory: $data_dir. Press Ctrl-C to stop."
exec lighttpd -D -f "$run/lighttpd.conf"
