#!/usr/bin/env bash
# Installs the build into a scratch prefix, then builds and runs the C consumer against the
# installed headers and shared library through pkg-config, and checks that the shared library
# exports only the C interface.
set -euo pipefail
build_dir=$1
src_dir=$(cd "$(dirname "$0")" && pwd)
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT

cmake --install "$build_dir" --prefix "$prefix" >/dev/null
libdir=$(ls -d "$prefix"/lib*/ | head -n 1)
export PKG_CONFIG_PATH="$libdir/pkgconfig"
test -f "$prefix/include/tarn_identity/identity_common.h"
test -f "$libdir/libtarn_identity.a"

cc -std=c11 -Wall -Wextra -Werror -o "$prefix/consumer" "$src_dir/consumer.c" $(pkg-config --cflags --libs tarn-identity)
LD_LIBRARY_PATH="$libdir" "$prefix/consumer" "$prefix/data"

# Every exported symbol is one of the C interface's names (the "u" objects are the standard
# library's template statics, which the loader keeps unique across libraries).
unexpected=$(nm -D --defined-only "$libdir/libtarn_identity.so" | awk '$2 != "u" {print $3}' \
             | grep -vE '^(id_|tarn_|cgi_|html_|json_|url_)' || true)
if [ -n "$unexpected" ]; then
  echo "unexpected exported symbols:"; echo "$unexpected" | head -n 20
  exit 1
fi
echo "install: headers, libraries and pkg-config file in place; exports are C only"
