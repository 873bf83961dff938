#!/usr/bin/env bash
# Installs panekit into .venv (finding a CPython 3.13 first) and runs the `panekit` command.
#   scripts/run.sh open [URL]          open the window (Windows only)
#   scripts/run.sh url | navigate URL | back | forward | reload | ready
#   scripts/run.sh repl [--port N]     steer a running window from this console
# The build is kept in build/<venv> and reused; when the sources have not changed since the last
# install, the command starts at once. PANEKIT_VENV names another environment folder.
set -euo pipefail
cd "$(dirname "$0")/.."
say() { echo "[run.sh] $*" >&2; }
py=$(scripts/ensure-python.sh)
venv=${PANEKIT_VENV:-.venv}
stamp_file="$venv/.panekit-source-stamp"
# Everything the build reads; a change to any of these files means installing again.
stamp=$( { echo "$py"; cat scripts/requirements-build.txt;
           find CMakeLists.txt pyproject.toml README.md LICENSE src -type f \
             ! -name '*.pyc' ! -path '*/__pycache__/*' -print0 | LC_ALL=C sort -z \
             | xargs -0 sha256sum; } | sha256sum | cut -d' ' -f1 )
if [ ! -x "$venv/bin/panekit" ] || [ "$(cat "$stamp_file" 2>/dev/null)" != "$stamp" ]; then
  if [ ! -x "$venv/bin/python" ]; then
    say "making the virtual environment $venv with $py"
    "$py" -m venv "$venv"
  fi
  say "installing build tools into $venv"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check -r scripts/requirements-build.txt >&2
  say "building and installing panekit (the first build takes about a minute)"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation \
    -C "build-dir=build/$(basename "$venv")" -C cmake.define.PANEKIT_MODULES=all \
    -C cmake.define.PANEKIT_TEST_MODULE=OFF . >&2
  echo "$stamp" > "$stamp_file"
fi
exec "$venv/bin/panekit" "$@"
