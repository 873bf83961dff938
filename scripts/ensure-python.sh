#!/usr/bin/env bash
# Prints the path of a CPython 3.13 that can make virtual environments and build extensions.
# Debian's python3.13 lacks venv support and headers until python3.13-venv and python3.13-dev are
# installed; this installs them when apt-get is at hand.
set -euo pipefail
cd "$(dirname "$0")/.."
py=$(scripts/find-python.sh)
ready() { "$py" -c 'import os, sysconfig, venv, ensurepip; raise SystemExit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))' 2>/dev/null; }
if ! ready && command -v apt-get >/dev/null 2>&1; then
  sudo_cmd=""; [ "$(id -u)" = 0 ] || sudo_cmd="sudo"
  echo "installing python3.13-dev and python3.13-venv" >&2
  $sudo_cmd apt-get update -qq >&2 && $sudo_cmd apt-get install -y -qq python3.13-dev python3.13-venv >&2
fi
echo "$py"
