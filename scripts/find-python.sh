#!/usr/bin/env bash
# Prints the path of the CPython 3.13 the runner uses (noxfile.py finds it and keeps it in
# .nox/python313.json): $PANEKIT_PYTHON, python3.13 on PATH, Debian's, or a pyenv 3.13 that is
# not active. As root it installs Debian's python3.13-dev/-venv when they are missing.
set -euo pipefail
source "$(dirname "$0")/nox.sh"  # the Python that runs the runner, with nox, as $py
exec "$py" noxfile.py
