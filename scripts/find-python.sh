#!/usr/bin/env bash
# Prints the path of a CPython 3.13 interpreter, or fails with a message.
# Looks in this order: $PANEKIT_PYTHON, python3.13 on PATH, Debian's /usr/bin/python3.13,
# a pyenv-installed 3.13.x (active or not), and finally python3 if it is 3.13.
set -u
is313() { "$1" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' >/dev/null 2>&1; }
try() { if [ -n "${1:-}" ] && is313 "$1"; then command -v "$1" 2>/dev/null || echo "$1"; exit 0; fi; }
try "${PANEKIT_PYTHON:-}"
if command -v python3.13 >/dev/null 2>&1; then try "$(command -v python3.13)"; fi
try /usr/bin/python3.13
try /usr/local/bin/python3.13
if command -v pyenv >/dev/null 2>&1; then
  root=$(pyenv root 2>/dev/null)
  for v in $(pyenv versions --bare 2>/dev/null | grep -E '^3\.13(\.[0-9]+)?$' | sort -t. -k3,3nr); do
    try "$root/versions/$v/bin/python3.13"
  done
fi
for d in "$HOME"/.pyenv/versions/3.13*/bin/python3.13; do try "$d"; done
if command -v python3 >/dev/null 2>&1; then try "$(command -v python3)"; fi
echo "error: no CPython 3.13 found (set PANEKIT_PYTHON to one)" >&2
exit 1
