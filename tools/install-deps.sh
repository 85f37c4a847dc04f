#!/usr/bin/env bash
# Installs with apt-get what building and testing korvex needs, plus any
# packages named as arguments. Packages already installed are skipped, so on a
# prepared machine it changes nothing and needs no privileges. apt-get runs
# directly as root (CI and containers have no sudo) and through sudo otherwise.
#
#   bash tools/install-deps.sh [PACKAGE...]
set -euo pipefail
packages=(cmake g++ make libgtest-dev xz-utils "$@")
missing=()
for package in "${packages[@]}"; do
  [ "$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null)" = "install ok installed" ] || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
  as_root=()
elif command -v sudo >/dev/null 2>&1; then
  as_root=(sudo)
else
  echo "install-deps: not root and no sudo; as root, run: apt-get install ${missing[*]}" >&2
  exit 1
fi
echo "install-deps: installing ${missing[*]}" >&2
# A fresh machine has empty package lists, and old lists name versions the
# mirror no longer has: refresh them before installing.
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
