#!/usr/bin/env bash
# Installs panekit into .venv (finding a CPython 3.13 first) and runs `python -m panekit ARGS`.
#   scripts/run.sh repl [--port N]     steer a running window from this console
set -euo pipefail
cd "$(dirname "$0")/.."
py=$(scripts/ensure-python.sh)
venv=${PANEKIT_VENV:-.venv}
[ -x "$venv/bin/python" ] || "$py" -m venv "$venv"
"$venv/bin/python" -m pip install -q --disable-pip-version-check . >&2
exec "$venv/bin/python" -m panekit "$@"
