#!/usr/bin/env bash
# Installs the Debian packages named on the command line that are missing.
# Usage: scripts/apt-need.sh package...
set -euo pipefail
missing=()
for p in "$@"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
[ ${#missing[@]} -gt 0 ] || exit 0
export DEBIAN_FRONTEND=noninteractive
# tshark's package asks whether non-root users may capture; they may not.
echo "wireshark-common wireshark-common/install-setuid boolean false" | debconf-set-selections
apt-get update -qq
apt-get install -y -qq "${missing[@]}" >/dev/null
