#!/usr/bin/env bash
# Prints the path of a CPython 3.13 that can make virtual environments and build extensions.
# Debian's python3.13 lacks venv support and headers until python3.13-venv and python3.13-dev are
# installed: as root this installs them with apt-get; otherwise it prints the command to run.
set -euo pipefail
cd "$(dirname "$0")/.."
py=$(scripts/find-python.sh)
ready() { "$py" -c 'import os, sysconfig, venv, ensurepip; raise SystemExit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))' 2>/dev/null; }
if ! ready; then
  if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
    echo "installing python3.13-dev and python3.13-venv with apt-get" >&2
    apt-get update -qq >&2 && apt-get install -y -qq python3.13-dev python3.13-venv >&2
  else
    echo "error: $py cannot make virtual environments or lacks its C headers (Python.h)." >&2
    if command -v apt-get >/dev/null 2>&1; then
      echo "Install them, then run this again:" >&2
      echo "  sudo apt-get install python3.13-dev python3.13-venv" >&2
    else
      echo "Install a CPython 3.13 with its headers, or set PANEKIT_PYTHON to one." >&2
    fi
    exit 1
  fi
fi
echo "$py"
