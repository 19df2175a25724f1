#!/bin/sh
# Installs the Debian packages that building, running and testing Varno need,
# skipping those already present.  "bench" adds the benchmark's peers.
set -eu

PACKAGES="
  g++ cmake ninja-build make pkg-config
  libgtest-dev
  qt6-base-dev qt6-qpa-plugins
  libpcap-dev
  libcap2-bin
  iproute2 procps util-linux
  python3
  xvfb xdotool trayer x11-utils imagemagick fonts-dejavu-core
  clang libclang-rt-dev
"
if [ "${1:-}" = "bench" ]; then
  PACKAGES="$PACKAGES tcpreplay pmacct time"
fi

missing=""
for p in $PACKAGES; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing="$missing $p"
  fi
done

if [ -z "$missing" ]; then
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "Missing Debian packages:$missing" >&2
  echo "Run as root, or: sudo apt-get install$missing" >&2
  exit 1
fi

echo "Installing:$missing"
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
# shellcheck disable=SC2086
apt-get install -y -q --no-install-recommends $missing
