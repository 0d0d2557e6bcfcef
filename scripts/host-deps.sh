#!/usr/bin/env bash
# Installs what the host build and the tests need (Debian 12), when missing.
set -euo pipefail
"$(dirname "$0")/apt-need.sh" cmake g++ make libgtest-dev libxml2-dev pkg-config iproute2 \
  python3 binutils binutils-arm-none-eabi tshark busybox-static mandoc shellcheck systemd \
  libmicrohttpd-dev libpcap-dev prometheus libyaml-dev libgnutls28-dev libcrypt-dev zlib1g-dev \
  openssl curl perl chromium
