#!/usr/bin/env bash
# Installs what the tile page in web/ and its browser test need: Debian's Chromium, Node.js and
# npm when there is no node, and the npm packages of package-lock.json when node_modules is
# missing or older than the lock file. Quick and quiet when everything is there.
set -euo pipefail
cd "$(dirname "$0")/.."

# Node.js and npm from Debian only where the machine has no node of its own.
packages=(chromium)
command -v node >/dev/null 2>&1 || packages+=(nodejs npm)
scripts/install-packages.sh "${packages[@]}"

# npm keeps its own record of an install in node_modules/.package-lock.json.
if [ ! -e node_modules/.package-lock.json ] || [ package-lock.json -nt node_modules/.package-lock.json ]; then
  if ! command -v npm >/dev/null 2>&1; then
    echo "npm is missing: install Debian's npm (or Node.js with npm)" >&2
    exit 1
  fi
  echo "Installing the web page's npm packages"
  npm ci --no-audit --no-fund --loglevel=error
fi
