#!/usr/bin/env bash
# Serves the already built provider programs through lighttpd on 127.0.0.1 until stopped: the
# second half of the serve command, also run by the tests.
#
#   bash scripts/run-server.sh BUILD_DIR RUN_DIR [PORT]
#
# The port is PORT when given, else the configuration's, as every program reads it: IDENTITY_PORT,
# else "port" in config.json of the working directory, else 8080. The data directory is
# IDENTITY_DATA_DIR (relative to the working directory), else RUN_DIR/data. RUN_DIR receives the
# lighttpd configuration, its empty document root and its error log. The issuer is IDENTITY_BASE_URL
# when set, else http://127.0.0.1:PORT: the programs never derive it from a request's Host header.
set -euo pipefail
if (($# < 2 || $# > 3)); then
  echo "usage: run-server.sh BUILD_DIR RUN_DIR [PORT]" >&2
  exit 2
fi
scripts=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd)
mkdir -p "$2"
run=$(cd "$2" && pwd)
data_dir=${IDENTITY_DATA_DIR:-$run/data}
# jwks runs in the directory lighttpd gives it, not in this one.
[[ $data_dir == /* ]] || data_dir=$PWD/$data_dir

if (($# == 3)); then
  port=$3
  if ! [[ $port =~ ^[1-9][0-9]{0,4}$ ]] || ((port > 65535)); then
    echo "run-server.sh: the port argument '$port' is not a TCP port from 1 to 65535" >&2
    exit 1
  fi
else
  port=$(IDENTITY_DATA_DIR=$data_dir "$build/programs/config_port")
fi

base_url=${IDENTITY_BASE_URL:-http://127.0.0.1:$port}
base_url=${base_url%/}

# Paths go into sed replacements: escape what sed would read there.
sed_text() { printf '%s' "$1" | sed -e 's/[\\|&]/\\&/g'; }
mkdir -p "$run/www"
# shellcheck disable=SC2174  # the data directory itself is what must be 0700
mkdir -p -m 0700 "$data_dir"
sed -e "s|@PORT@|$port|" -e "s|@DOCROOT@|$(sed_text "$run/www")|" \
    -e "s|@ERRORLOG@|$(sed_text "$run/lighttpd-error.log")|" \
    -e "s|@JWKS@|$(sed_text "$build/programs/jwks")|g" -e "s|@PROGRAMS@|$(sed_text "$build/programs")|g" \
    -e "s|@DATA_DIR@|$(sed_text "$data_dir")|" -e "s|@BASE_URL@|$(sed_text "$base_url")|" \
    "$scripts/lighttpd.conf.in" > "$run/lighttpd.conf"
# Debian puts lighttpd in /usr/sbin, which is not on an ordinary user's PATH.
lighttpd=$(command -v lighttpd || echo /usr/sbin/lighttpd)
"$lighttpd" -tt -f "$run/lighttpd.conf"

echo "Serving the provider on http://127.0.0.1:$port as the issuer $base_url"
echo "Discovery: $base_url/.well-known/openid-configuration"
echo "Key set: $base_url/.well-known/jwks.json (also /jwks)"
echo "Data directory: $data_dir. Press Ctrl-C to stop."
exec "$lighttpd" -D -f "$run/lighttpd.conf"
