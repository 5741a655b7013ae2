#!/usr/bin/env bash
# Installs, from Debian's packages, whatever the build, the server and the tests need and this
# machine lacks. Safe to run again: it does nothing when everything is present.
set -euo pipefail

packages=(build-essential cmake pkg-config libbearssl-dev rapidjson-dev libgtest-dev libgmock-dev
          libbenchmark-dev libssl-dev openssl lighttpd curl python3 python3-jwt python3-cryptography)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
