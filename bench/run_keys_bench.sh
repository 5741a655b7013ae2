#!/usr/bin/env bash
# Builds and runs the signing-key benchmarks and prints their figures:
#  (a) a whole jwks process with an existing keys.json against the floor of a CGI process (a
#      minimal C program writing the same bytes), medians over 300 runs with hyperfine;
#  (b) RS256 signing of a typical access token against OpenSSL RSA-2048 signing;
#  (c) key generation over 20 keys: median and maximum.
# Usage: bench/run_keys_bench.sh [build-dir]   (default: build-bench)
set -euo pipefail
src="$(cd "$(dirname "$0")/.." && pwd)"
build="$(realpath -m "${1:-$src/build-bench}")"
py=/usr/bin/python3

cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARN_BENCHMARKS=ON >/dev/null
cmake --build "$build" -j2 --target jwks keys_sign_bench keys_keygen_bench >/dev/null

work="$(mktemp -d /tmp/tarn-keys-bench-XXXXXX)"
trap 'rm -rf "$work"' EXIT
cd "$work"
export IDENTITY_DATA_DIR="$work/data"

# One key pair, created by the first request; then the response every later request gives.
"$build/programs/jwks" >/dev/null
"$build/programs/jwks" >response.bin
grep -q '"kid"' response.bin || { echo "jwks published no key" >&2; exit 1; }
"$py" - response.bin >response.inc <<'PY'
import sys
data = open(sys.argv[1], "rb").read()
for i in range(0, len(data), 64):
    print('"' + "".join("\\x%02x" % b for b in data[i:i + 64]) + '"')
PY
cc -O2 -DKEYS_RESPONSE_INC='"response.inc"' -I"$work" "$src/bench/keys_jwks_floor.c" -o floor
cmp <(./floor) response.bin

echo "== (a) whole jwks process vs the floor of a CGI process"
file -b "$build/programs/jwks" | cut -d, -f1-5 | sed "s/^/   jwks: /"
hyperfine -N --warmup 20 --runs 300 --export-json a.json -n floor ./floor \
  -n jwks "$build/programs/jwks" >/dev/null 2>&1
"$py" - a.json <<'PY'
import json, statistics, sys
r = {x["command"]: statistics.median(x["times"]) for x in json.load(open(sys.argv[1]))["results"]}
f = r["floor"]
print("   floor (cc -O2) median %.3f ms" % (f * 1e3))
print("   jwks median %.3f ms, ratio to the floor %.2f (goal <= 1.5)" % (r["jwks"] * 1e3, r["jwks"] / f))
PY

echo "== (b) RS256 signing vs OpenSSL, and the in-process part of a jwks request"
"$build/bench/keys_sign_bench" --benchmark_min_time=0.5 --benchmark_color=false 2>/dev/null |
  grep -oE "(RS256 signing|load keys).*" | sed "s/^/   /"

echo "== (c) key generation"
"$build/bench/keys_keygen_bench" | sed "s/^/   /"
