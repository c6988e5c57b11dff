#!/usr/bin/env bash
# Installs what the tile page in web/ and its browser test need: Debian's Chromium, Node.js and
# npm when there is no node, and the npm packages of package-lock.json when node_modules is
# missing or older than the lock file. Quick and quiet when everything is there.
set -euo pipefail
cd "$(dirname "$0")/.."

missing=()
[ -x /usr/bin/chromium ] || missing+=(chromium)
command -v node >/dev/null 2>&1 || missing+=(nodejs npm)

if [ "${#missing[@]}" -gt 0 ]; then
  echo "Installing missing packages: ${missing[*]}"
  if [ "$(id -u)" -eq 0 ]; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
  elif command -v sudo >/dev/null 2>&1; then
    sudo apt-get update -qq
    sudo DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
  else
    echo "These Debian packages are missing and this user cannot install them: ${missing[*]}" >&2
    echo "Run as root: apt-get install ${missing[*]}" >&2
    exit 1
  fi
fi

# npm keeps its own record of an install in node_modules/.package-lock.json.
if [ ! -e node_modules/.package-lock.json ] || [ package-lock.json -nt node_modules/.package-lock.json ]; then
  if ! command -v npm >/dev/null 2>&1; then
    echo "npm is missing: install Debian's npm (or Node.js with npm)" >&2
    exit 1
  fi
  echo "Installing the web page's npm packages"
  npm ci --no-audit --no-fund --loglevel=error
fi
