#!/usr/bin/env bash
# Installs what building and testing Tessaline needs on Debian 12.
# Run as root (or with sudo available).
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

packages=(
  g++ cmake ninja-build pkg-config
  libgtest-dev libgmock-dev
  jq
)

as_root apt-get update -q
as_root apt-get install -y -q --no-install-recommends "${packages[@]}"
