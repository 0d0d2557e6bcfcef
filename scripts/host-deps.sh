#!/usr/bin/env bash
# Installs what the host build and the tests need (Debian 12), when missing.
set -euo pipefail
need=(cmake g++ make libgtest-dev libxml2-dev pkg-config iproute2 python3 binutils)
missing=()
for p in "${need[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}"
fi
