#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: first the optimised build, then the whole
# suite again under AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh --test
jobs=$(nproc)

echo "== build and test (RelWithDebInfo)"
cmake --preset default >/dev/null
cmake --build --preset default -j"$jobs"
ctest --preset default -j"$jobs"

echo "== build and test (ASan + UBSan)"
cmake --preset asan >/dev/null
cmake --build --preset asan -j"$jobs"
ctest --preset asan -j"$jobs"
