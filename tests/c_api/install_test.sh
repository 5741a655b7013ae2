#!/usr/bin/env bash
# Installs the library and builds the C consumer against the installed headers and shared library
# with nothing but what pkg-config says, then runs it.
#
#   install_test.sh tree BUILD_DIR   install BUILD_DIR into a scratch prefix, move the prefix and
#                                    build again (tarn-identity.pc follows its files), also
#                                    statically; check that the shared library exports exactly
#                                    the installed C interface
#   install_test.sh usr SOURCE_DIR   configure a fresh tree for /usr as the serve command does on a
#                                    machine without the test packages, build only what the serve
#                                    command builds, install it into a staging directory (DESTDIR),
#                                    run the installed tarnctl and build the consumer from there
#
# In both, the consumer's compilation must not open bearssl.h: the public headers stand alone.
set -euo pipefail
mode=${1:-}
where=${2:-}
tests_dir=$(cd "$(dirname "$0")" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

fail() { echo "install: $*" >&2; exit 1; }

# consume NAME: builds the consumer with the flags of `pkg-config tarn-identity` (found through
# the caller's PKG_CONFIG_* settings) and runs it against the library directory they name.
consume() {
  local name=$1 cflags libs
  cflags=$(pkg-config --cflags tarn-identity) || fail "$name: pkg-config finds no tarn-identity"
  libs=$(pkg-config --libs tarn-identity)
  local inc=${cflags#-I} lib=${libs#-L}
  inc=${inc%% *} lib=${lib%% *}
  [ -f "$inc/identity_common.h" ] || fail "$name: Cflags name $inc, which has no identity_common.h"
  [ -f "$lib/libtarn_identity.so" ] || fail "$name: Libs name $lib, which has no libtarn_identity.so"
  case $(realpath "$inc") in "$scratch"/*) ;; *) fail "$name: Cflags name $inc, outside the install" ;; esac
  # shellcheck disable=SC2086  # the flags are words
  if cc -M $cflags "$tests_dir/consumer.c" | grep -qE '/bearssl[^/ ]*\.h'; then
    fail "$name: the public headers open bearssl.h"
  fi
  # shellcheck disable=SC2086
  cc -std=c11 -Wall -Wextra -Werror -o "$scratch/consumer-$name" "$tests_dir/consumer.c" $cflags $libs
  LD_LIBRARY_PATH=$lib "$scratch/consumer-$name" "$scratch/data-$name" >/dev/null ||
    fail "$name: the consumer's checks failed"
}

case $mode in
tree)
  [ -d "$where" ] || fail "usage: install_test.sh tree BUILD_DIR"
  cmake --install "$where" --prefix "$scratch/first" >/dev/null
  pc=$(find "$scratch/first" -name tarn-identity.pc)
  [ -n "$pc" ] || fail "no tarn-identity.pc installed"
  PKG_CONFIG_PATH=$(dirname "$pc") consume scratch-prefix
  mv "$scratch/first" "$scratch/moved"
  pc=$scratch/moved/${pc#"$scratch/first/"}
  PKG_CONFIG_PATH=$(dirname "$pc") consume moved-prefix
  libdir=$(dirname "$(dirname "$pc")")
  incdir=$scratch/moved/include/tarn_identity

  # Linked statically, through the private dependencies the file lists.
  # shellcheck disable=SC2046
  cc -std=c11 -Wall -Wextra -Werror -static -o "$scratch/consumer-static" "$tests_dir/consumer.c" \
     $(PKG_CONFIG_PATH=$(dirname "$pc") pkg-config --static --cflags --libs tarn-identity)
  "$scratch/consumer-static" "$scratch/data-static" >/dev/null || fail "static: the consumer's checks failed"

  # The BearSSL views have their own header, for programs that use BearSSL themselves.
  printf '%s\n' '#include "id_keys_bearssl.h"' \
    'int main(void) { const br_rsa_public_key *pk; return id_keys_find("x", 0, &pk) == -1 ? 0 : 1; }' \
    > "$scratch/bearssl_views.c"
  cc -std=c11 -Wall -Wextra -Werror -I"$incdir" -o "$scratch/bearssl_views" "$scratch/bearssl_views.c" \
     -L"$libdir" -ltarn_identity

  # Exported: the functions the installed headers declare, no more and no fewer, and nothing of
  # the C++ implementation (no unique, weak or data symbols).
  nm -D --defined-only "$libdir/libtarn_identity.so" > "$scratch/exports"
  others=$(awk '$2 != "T" || $3 !~ /^(id|tarn|cgi|html|json|url)_/' "$scratch/exports")
  [ -z "$others" ] || fail "exports beyond the C interface:"$'\n'"$(head -n 20 <<<"$others")"
  awk '{print $3}' "$scratch/exports" | sort > "$scratch/exported"
  printf '#include "identity_common.h"\n#include "id_keys_bearssl.h"\n' |
    cc -E -P -I"$incdir" -x c - | grep -oE '\b(id|tarn|cgi|html|json|url)_[A-Za-z0-9_]+ *\(' |
    tr -d ' (' | sort -u > "$scratch/declared"
  if ! diff "$scratch/declared" "$scratch/exported" > "$scratch/diff"; then
    fail "exports and declarations differ (< declared only, > exported only):"$'\n'"$(cat "$scratch/diff")"
  fi
  echo "install: headers, libraries and a relocatable pkg-config file; $(wc -l < "$scratch/exported") exports, all declared C functions"
  ;;
usr)
  [ -f "$where/CMakeLists.txt" ] || fail "usage: install_test.sh usr SOURCE_DIR"
  # As on a server that has only what the serve command installs: no GoogleTest, no Google
  # Benchmark (the tree then leaves its tests and benchmarks out).
  cmake -S "$where" -B "$scratch/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
        -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON >/dev/null
  cmake --build "$scratch/build" -j"$(nproc)" --target product >/dev/null
  DESTDIR=$scratch/stage cmake --install "$scratch/build" >/dev/null
  pc=$(find "$scratch/stage" -name tarn-identity.pc)
  [ -n "$pc" ] || fail "no tarn-identity.pc installed"
  arch=$(cc -print-multiarch)
  if [ -f /etc/debian_version ] && [ -n "$arch" ]; then
    [ "$pc" = "$scratch/stage/usr/lib/$arch/pkgconfig/tarn-identity.pc" ] || fail "tarn-identity.pc at $pc"
  fi
  [ -x "$scratch/stage/usr/libexec/tarn_identity/jwks" ] || fail "jwks not installed"
  [ -x "$scratch/stage/usr/bin/tarnctl" ] || fail "tarnctl not installed"
  "$scratch/stage/usr/bin/tarnctl" --help | grep -q '^usage: tarnctl COMMAND' || fail "the installed tarnctl does not run"
  # A staged tree is found either way: through the search path alone, or as a system root.
  PKG_CONFIG_PATH=$(dirname "$pc") consume staged
  PKG_CONFIG_SYSROOT_DIR=$scratch/stage PKG_CONFIG_LIBDIR=$(dirname "$pc") consume sysroot
  echo "install: a /usr install staged in DESTDIR at ${pc#"$scratch/stage"} builds its consumer"
  ;;
*)
  fail "usage: install_test.sh tree BUILD_DIR | usr SOURCE_DIR"
  ;;
esac
