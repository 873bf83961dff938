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
# Only the tier's own folder: options alone (say --durations=5) still run tests_real.
has_path=0
for a in "$@"; do case "$a" in tests_real*) has_path=1 ;; esac; done
[ "$has_path" = 1 ] || set -- "$@" tests_real
say() { echo "[real tier] $*" >&2; }
started=$SECONDS

# mono-devel alone carries the netstandard facade pythonnet needs; libmonosgen-2.0-1 the runtime
# library clr_loader opens; xdotool sends real input events, imagemagick takes screenshots.
packages=(mono-devel libmonosgen-2.0-1 libmono-system-windows-forms4.0-cil
          libmono-system-drawing4.0-cil libgdiplus xvfb xauth xdotool imagemagick)
missing=()
if command -v dpkg-query >/dev/null 2>&1; then
  for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
fi
if [ ${#missing[@]} -gt 0 ]; then
  install=(apt-get install -y -qq --no-install-recommends "${missing[@]}")
  if ! command -v apt-get >/dev/null 2>&1 || [ "$(id -u)" != 0 ]; then
    say "cannot install ${missing[*]} here; as root run: apt-get update && ${install[*]}"
  else
    say "installing ${missing[*]} (about a minute)"
    if apt-get update -qq >&2 &&
       DEBIAN_FRONTEND=noninteractive "${install[@]}" >&2; then
      say "packages installed in $((SECONDS - started)) s"
    else
      say "installing the packages failed; tests that need them will skip"
    fi
  fi
fi

if ! "$vpy" -c "import pythonnet" 2>/dev/null; then
  say "installing pythonnet"
  "$vpy" -m pip install -q --disable-pip-version-check "pythonnet>=3.0.3" ||
    say "installing pythonnet failed; the tier will skip"
fi

xpid=""
stop_display() {
  if [ -n "$xpid" ]; then
    kill "$xpid" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$xpid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$xpid" 2>/dev/null || true
    xpid=""
  fi
}
trap stop_display EXIT
if command -v Xvfb >/dev/null 2>&1; then
  dfile=$(mktemp)
  # -displayfd picks a free display number and writes it once the server accepts connections.
  # The screen holds the host's whole 1280 x 860 window, for its screenshot.
  Xvfb -displayfd 3 -screen 0 1600x1000x24 -nolisten tcp 3>"$dfile" >/dev/null 2>&1 &
  xpid=$!
  for _ in $(seq 100); do
    [ -s "$dfile" ] && break
    kill -0 "$xpid" 2>/dev/null || break
    sleep 0.1
  done
  display=$(head -n 1 "$dfile" | tr -d '[:space:]')
  rm -f "$dfile"
  if [ -n "$display" ]; then
    export DISPLAY=":$display"
  else
    say "Xvfb did not start within 10 s; the tier will skip"
    stop_display
    unset DISPLAY
  fi
else
  say "Xvfb is not installed; the tier will skip"
  unset DISPLAY
fi

say "set up in $((SECONDS - started)) s"
run_started=$SECONDS
rc=0
# The outer limit is a last resort: every wait inside the tier has its own timeout.
timeout -k 10 600 "$vpy" -m pytest -q -p no:cacheprovider -rs "$@" || rc=$?
say "tests ran in $((SECONDS - run_started)) s"
exit "$rc"
