#!/usr/bin/env bash
# Serves the already built provider programs through lighttpd on 127.0.0.1 until stopped: the
# second half of the serve command, also run by the tests.
#
#   bash scripts/run-server.sh BUILD_DIR RUN_DIR [PORT]
#
# The port is PORT when given, else the configuration's, as every program reads it: IDENTITY_PORT,
# else "port" in config.json of the working directory, else 8080. The data directory is the
# configuration's too (IDENTITY_DATA_DIR, else "data_dir" of config.json; relative to the working
# directory), else RUN_DIR/data; the published key set likewise IDENTITY_JWKS_FILE, else
# "jwks_file", else RUN_DIR/public/jwks.json: the library writes it whenever the keys change, and
# lighttpd serves it as a plain file (the jwks program answers while it is missing). A config.json
# with a problem (tarnctl config names it) is refused before anything starts.
# RUN_DIR receives the lighttpd configuration, its empty document root and its error log. The
# issuer is IDENTITY_BASE_URL when set, else http://127.0.0.1:PORT: the programs never derive it
# from a request's Host header.
#
# Started as root, lighttpd and every program run as an unprivileged user that owns the data
# directory: TARN_SERVICE_USER when set, else the data directory's owner when that is not root,
# else the system user tarn-identity (created when missing). The programs are copied into
# RUN_DIR/programs for it, and the data directory and the key set's directory are given to it.
set -euo pipefail
if (($# < 2 || $# > 3)); then
  echo "usage: run-server.sh BUILD_DIR RUN_DIR [PORT]" >&2
  exit 2
fi
fail() { echo "run-server.sh: $*" >&2; exit 1; }
scripts=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd)
mkdir -p "$2"
run=$(cd "$2" && pwd)
# The configuration as every program reads it (the environment over config.json of the working
# directory); a config.json with a problem stops the server here, with the problem named.
tarnctl=$build/programs/tarnctl
configured_data_dir=$("$tarnctl" config data_dir) || exit 1
configured_jwks_file=$("$tarnctl" config jwks_file) || exit 1
data_dir=${configured_data_dir:-$run/data}
jwks_file=${configured_jwks_file:-$run/public/jwks.json}
# The programs run in the directory lighttpd gives them, not in this one.
[[ $data_dir == /* ]] || data_dir=$PWD/$data_dir
[[ $jwks_file == /* ]] || jwks_file=$PWD/$jwks_file
data_dir=${data_dir%/}
jwks_dir=$(dirname "$jwks_file")
jwks_name=$(basename "$jwks_file")

if (($# == 3)); then
  port=$3
  if ! [[ $port =~ ^[1-9][0-9]{0,4}$ ]] || ((port > 65535)); then
    fail "the port argument '$port' is not a TCP port from 1 to 65535"
  fi
else
  port=$(IDENTITY_DATA_DIR=$data_dir "$build/programs/config_port")
fi

base_url=${IDENTITY_BASE_URL:-http://127.0.0.1:$port}
base_url=${base_url%/}

# Every path and the issuer go into quoted lighttpd strings.
for value in "$run" "$data_dir" "$jwks_file" "$build" "$base_url"; do
  [[ $value != *[\"\\[:cntrl:]]* ]] || fail "'$value' holds a quote, a backslash or a control character"
done
# The key set is served as /<its file name>: a plain name that no endpoint's path begins with.
[[ $jwks_name =~ ^[A-Za-z0-9_-][A-Za-z0-9._-]*$ ]] ||
  fail "the key set's file name '$jwks_name' must be letters, digits, '.', '_' and '-'"
for endpoint in keyset-program authorize signin consent token userinfo revoke logout; do
  [[ $jwks_name != "$endpoint"* ]] || fail "the key set's file name '$jwks_name' begins like the /$endpoint endpoint"
done
# lighttpd runs every file whose name is a program's as that program (cgi.assign below), and
# /jwks is rewritten to the file's name: either would be a loop or an attempt to run the key set.
for program in jwks discovery end_session; do
  [[ $jwks_name != "$program" ]] || fail "the key set's file name '$jwks_name' is the name of the $program program"
done
[[ $jwks_dir != "$data_dir" ]] || fail "the key set's file must not be in the data directory $data_dir"

mkdir -p "$run/www"
# shellcheck disable=SC2174  # the data directory itself is what must be 0700
mkdir -p -m 0700 "$data_dir"
# shellcheck disable=SC2174  # and the key set's directory is readable by all
mkdir -p -m 0755 "$jwks_dir"
programs=$build/programs
errorlog=$run/lighttpd-error.log
server_user=""
user=""
if (($(id -u) == 0)); then
  user=${TARN_SERVICE_USER:-}
  owner=$(stat -c %U "$data_dir")
  if [[ -z $user && $owner != root ]]; then
    user=$owner
  elif [[ -z $user ]]; then
    user=tarn-identity
    if ! id -u "$user" >/dev/null 2>&1; then
      adduser --system --group --no-create-home --home /nonexistent --quiet "$user"
      echo "Created the system user $user"
    fi
  fi
  id -u "$user" >/dev/null 2>&1 || fail "there is no user '$user' to serve as"
  (($(id -u "$user") != 0)) || fail "the provider must not run as root: choose another user (TARN_SERVICE_USER)"
  group=$(id -gn "$user")
  # The data directory is flat: the directory and what it holds change hands, nothing below. Of
  # the key set's directory, which may hold what is not the provider's, only the directory (the
  # key set is replaced by a rename there), the key set and its temporary file.
  find "$data_dir" -maxdepth 1 -exec chown -h "$user:$group" {} +
  chown -h "$user:$group" "$jwks_dir"
  for published in "$jwks_file" "$jwks_file.tmp"; do
    [[ ! -e $published && ! -L $published ]] || chown -h "$user:$group" "$published"
  done
  runuser -u "$user" -- test -w "$data_dir" -a -x "$data_dir" -a -w "$jwks_dir" ||
    fail "$user cannot reach $data_dir and $jwks_dir (a parent directory is closed to it)"
  # lighttpd opens its error log once it is that user; the programs are copied where it can run them.
  install -d -m 0755 "$run/programs"
  install -d -m 0700 -o "$user" -g "$group" "$run/log"
  find "$build/programs" -maxdepth 1 -type f -perm -u+x -exec install -m 0755 {} "$run/programs/" \;
  programs=$run/programs
  errorlog=$run/log/lighttpd-error.log
  server_user="server.username = \"$user\"
server.groupname = \"$group\""
fi

# Paths go into sed replacements: escape what sed would read there.
sed_text() { printf '%s' "$1" | sed -e 's/[\\|&]/\\&/g'; }
sed -e "s|@PORT@|$port|" -e "s|@DOCROOT@|$(sed_text "$run/www")|" \
    -e "s|@ERRORLOG@|$(sed_text "$errorlog")|" \
    -e "s|@JWKS@|$(sed_text "$programs/jwks")|g" -e "s|@PROGRAMS@|$(sed_text "$programs")|g" \
    -e "s|@DATA_DIR@|$(sed_text "$data_dir")|" -e "s|@BASE_URL@|$(sed_text "$base_url")|" \
    -e "s|@JWKS_FILE@|$(sed_text "$jwks_file")|" -e "s|@JWKS_DIR@|$(sed_text "$jwks_dir")|" \
    -e "s|@JWKS_NAME@|$jwks_name|g" -e "s|@JWKS_NAME_RE@|${jwks_name//./\\\\.}|" \
    "$scripts/lighttpd.conf.in" > "$run/lighttpd.conf"
[[ -z $server_user ]] || printf '%s\n' "$server_user" >> "$run/lighttpd.conf"
# Debian puts lighttpd in /usr/sbin, which is not on an ordinary user's PATH.
lighttpd=$(command -v lighttpd || echo /usr/sbin/lighttpd)
"$lighttpd" -tt -f "$run/lighttpd.conf"

echo "Serving the provider on http://127.0.0.1:$port as the issuer $base_url"
[[ -z $user ]] || echo "lighttpd and the programs run as the user $user"
echo "Discovery: $base_url/.well-known/openid-configuration"
echo "Key set: $base_url/.well-known/jwks.json (also /jwks), published in $jwks_file"
echo "Data directory: $data_dir"
echo "The operator's tool: IDENTITY_JWKS_FILE=$jwks_file $build/programs/tarnctl --data-dir $data_dir check"
echo "Press Ctrl-C to stop."
exec "$lighttpd" -D -f "$run/lighttpd.conf"
