#!/usr/bin/env bash
# Builds the provider's programs and serves them through lighttpd on 127.0.0.1 (port 8080 unless
# given), with the data directory run/data of this checkout. The issuer is IDENTITY_BASE_URL when
# set (the URL browsers and applications reach, e.g. https://id.example.com behind a TLS proxy),
# else http://127.0.0.1:<port>. Stop it with Ctrl-C.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
port=${1:-8080}
data_dir=${IDENTITY_DATA_DIR:-$root/run/data}
base_url=${IDENTITY_BASE_URL:-http://127.0.0.1:$port}

bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target jwks discovery authorize signin consent token userinfo revoke end_session

run=$root/run
mkdir -p "$run/www"
mkdir -p -m 0700 "$data_dir"
sed -e "s|@PORT@|$port|" -e "s|@DOCROOT@|$run/www|" -e "s|@ERRORLOG@|$run/lighttpd-error.log|" \
    -e "s|@JWKS@|$root/build/programs/jwks|g" -e "s|@PROGRAMS@|$root/build/programs|g" \
    -e "s|@DATA_DIR@|$data_dir|" -e "s|@BASE_URL@|${base_url%/}|" \
    scripts/lighttpd.conf.in > "$run/lighttpd.conf"
lighttpd -tt -f "$run/lighttpd.conf"

echo "Serving the provider on http://127.0.0.1:$port as the issuer $base_url"
echo "Discovery: $base_url/.well-known/openid-configuration"
echo "Data directory: $data_dir. Press Ctrl-C to stop."
exec lighttpd -D -f "$run/lighttpd.conf"
