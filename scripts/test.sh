#!/usr/bin/env bash
# Builds panekit into a private Python 3.13 virtual environment and runs the test suite.
#   scripts/test.sh            normal build, whole suite
#   scripts/test.sh --asan     AddressSanitizer + UndefinedBehaviorSanitizer build, whole suite
#   scripts/test.sh --real     normal build, only the real-platform tier (tests_real/, through
#                              scripts/test-real.sh: Windows Forms on Mono under a virtual display)
#   scripts/test.sh --gtk      normal build, only the real-engine tier (tests_gtk/, through
#                              scripts/test-gtk.sh: the GTK host on WebKitGTK under a virtual display;
#                              --gtk --bench runs bench/bench_gtk.py there instead)
# Arguments after the mode are handed to pytest instead of the default "tests".
# The plain run without arguments runs the real-platform tier after the suite, in a process of its
# own, unless PANEKIT_SKIP_REAL=1.
# For development: PANEKIT_VENV names another environment folder (default .venv / .venv-asan),
# PANEKIT_MODULES="trailbar;helmwire" builds only those modules.
set -euo pipefail
cd "$(dirname "$0")/.."
mode=plain
case "${1:-}" in
  --asan) mode=asan; shift ;;
  --real) mode=real; shift ;;
  --gtk) mode=gtk; shift ;;
esac

py=$(scripts/ensure-python.sh)
venv=.venv
[ "$mode" = asan ] && venv=.venv-asan
venv=${PANEKIT_VENV:-$venv}
say() { echo "[test.sh] $*" >&2; }
if [ ! -x "$venv/bin/python" ]; then
  say "making the virtual environment $venv with $py"
  "$py" -m venv "$venv"
fi
vpy="$venv/bin/python"
# Build tools (scikit-build-core, nanobind, CMake, Ninja) and pytest come from the package index.
say "installing build tools and pytest into $venv"
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
say "building panekit ($mode; the first build compiles every module and takes about a minute)"
rm -f "$venv/.panekit-source-stamp"  # scripts/run.sh reinstalls after a build made here
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
if [ "$mode" = real ]; then
  exec bash scripts/test-real.sh "$vpy" "$@"
fi
if [ "$mode" = gtk ]; then
  exec bash scripts/test-gtk.sh "$vpy" "$@"
fi
with_real=0
if [ $# -eq 0 ]; then
  set -- tests
  [ "$mode" = plain ] && [ "${PANEKIT_SKIP_REAL:-0}" != 1 ] && with_real=1
fi
rc=0
say "running pytest $*"
# Most tests wait on sockets and threads rather than compute, so four workers pay off even on
# two cores (PANEKIT_TEST_WORKERS=0 runs everything in this process).
"$vpy" -m pytest -q -p no:cacheprovider -n "${PANEKIT_TEST_WORKERS:-4}" "$@" || rc=$?
if [ "$with_real" = 1 ]; then
  bash scripts/test-real.sh "$vpy" || rc=$((rc ? rc : $?))
fi
exit "$rc"
