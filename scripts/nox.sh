#!/usr/bin/env bash
# Runs the project's runner (noxfile.py) with whatever Python is on the machine, installing nox
# into that Python first when it lacks it:  bash scripts/nox.sh -s tests -- tests/repl
# PANEKIT_NOX_PYTHON names the Python that runs nox (default python3); the sessions find their
# own CPython 3.13. Sourced (as scripts/find-python.sh does), it stops once $py has nox.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
py=${PANEKIT_NOX_PYTHON:-python3}
if ! "$py" -c 'import nox' >/dev/null 2>&1; then
  echo "[nox.sh] installing nox into $("$py" -c 'import sys; print(sys.prefix)')" >&2
  "$py" -m pip install -q --disable-pip-version-check nox >&2
fi
[ "${BASH_SOURCE[0]}" = "$0" ] || return 0
exec "$py" -m nox "$@"
