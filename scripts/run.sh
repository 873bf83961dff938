#!/usr/bin/env bash
# Kept for habit: `panekit ARGS` from the checkout's environment (nox -s panekit -- ARGS).
set -euo pipefail
exec bash "$(dirname "$0")/nox.sh" -s panekit -- "$@"
