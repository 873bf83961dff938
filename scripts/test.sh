#!/usr/bin/env bash
# Builds panekit into a private Python 3.13 virtual environment and runs the test suite.
#   scripts/test.sh            normal build, whole suite
#   scripts/test.sh --asan     AddressSanitizer + UndefinedBehaviorSanitizer build, whole suite
# Arguments after the mode are handed to pytest instead of the default "tests".
# For development: PANEKIT_VENV names another environment folder (default .venv / .venv-asan),
# PANEKIT_MODULES="trailbar;helmwire" builds only those modules.
set -euo pipefail
cd "$(dirname "$0")/.."
mode=plain
if [ "${1:-}" = "--asan" ]; then mode=asan; shift; fi

py=$(scripts/ensure-python.sh)
venv=.venv
[ "$mode" = asan ] && venv=.venv-asan
venv=${PANEKIT_VENV:-$venv}
if [ ! -x "$venv/bin/python" ]; then
  "$py" -m venv "$venv"
fi
vpy="$venv/bin/python"
"$vpy" -m pip install -q --disable-pip-version-check --upgrade pip
"$vpy" -m pip install -q --disable-pip-version-check -r scripts/requirements-dev.txt

build_args=(--no-build-isolation --disable-pip-version-check -q)
if [ "$mode" = asan ]; then
  build_args+=(-C cmake.define.PANEKIT_SANITIZE=ON)
fi
build_args+=(-C "build-dir=build/$(basename "$venv")")
build_args+=(-C "cmake.define.PANEKIT_MODULES=${PANEKIT_MODULES:-all}")
# The runtime's own test module is built into the test environment (never into a release).
build_args+=(-C cmake.define.PANEKIT_TEST_MODULE=ON)
"$vpy" -m pip install "${build_args[@]}" .

if [ "$mode" = asan ]; then
  asan=$(g++ -print-file-name=libasan.so)
  ubsan=$(g++ -print-file-name=libubsan.so)
  export LD_PRELOAD="$asan:$ubsan"
  export ASAN_OPTIONS=detect_leaks=0:abort_on_error=0:halt_on_error=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  export PYTHONMALLOC=malloc
fi
# The package lives under src/, so the installed build (not the source tree) is imported.
[ $# -eq 0 ] && set -- tests
exec "$vpy" -m pytest -q -p no:cacheprovider "$@"
