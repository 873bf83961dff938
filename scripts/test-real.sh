#!/usr/bin/env bash
# The real-platform tier: tests_real/ on Windows Forms through Mono, under a private Xvfb display.
#   scripts/test-real.sh PYTHON [pytest args]   (paths must lie in tests_real/)
# PYTHON is the virtual environment's interpreter with panekit installed (`nox -s real`
# builds it and calls this). Installs what the tier needs when it can: the Debian packages below
# (when it runs as root; otherwise it prints the command to run, never calling sudo) and pythonnet from the package index. Whatever cannot be
# had is said plainly and the tier's tests skip; a missing platform never fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
vpy=$1
shift
say() { echo "[real tier] $*" >&2; }
started=$SECONDS

# mono-devel alone carries the netstandard facade pythonnet needs; libmonosgen-2.0-1 the runtime
# library clr_loader opens; xdotool sends real input events, imagemagick takes screenshots.
packages=(mono-devel libmonosgen-2.0-1 libmono-system-windows-forms4.0-cil
          libmono-system-drawing4.0-cil libgdiplus xvfb xauth xdotool imagemagick)
source scripts/tier-lib.sh
tier_names_folder tests_real "$@" || set -- "$@" tests_real
tier_packages "${packages[@]}"

if ! "$vpy" -c "import pythonnet" 2>/dev/null; then
  say "installing pythonnet"
  "$vpy" -m pip install -q --disable-pip-version-check "pythonnet>=3.0.3" ||
    say "installing pythonnet failed; the tier will skip"
fi

tier_display

say "set up in $((SECONDS - started)) s"
run_started=$SECONDS
rc=0
# The outer limit is a last resort: every wait inside the tier has its own timeout.
timeout -k 10 600 "$vpy" -m pytest -q -p no:cacheprovider -rfEs "$@" || rc=$?
say "tests ran in $((SECONDS - run_started)) s"
exit "$rc"
