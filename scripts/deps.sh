#!/usr/bin/env bash
# Installs the Debian packages drovik needs, quietly and only when missing.
# Usage: scripts/deps.sh [extra-package...]
set -euo pipefail

packages=(g++ cmake ninja-build libgtest-dev libfmt-dev libcli11-dev "$@")
missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  as_root=()
  if ((EUID != 0)); then as_root=(sudo); fi
  export DEBIAN_FRONTEND=noninteractive
  "${as_root[@]}" apt-get update -qq >/dev/null
  "${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
