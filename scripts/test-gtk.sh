#!/usr/bin/env bash
# The real-engine tier: tests_gtk/ on the GTK host (GTK 3 + WebKitGTK through PyGObject) under a
# private Xvfb display, driven end to end over the control port and by real X input.
#   scripts/test-gtk.sh PYTHON [pytest args]      the tier (paths must lie in tests_gtk/)
#   scripts/test-gtk.sh PYTHON --bench            bench/bench_gtk.py on the same display
#   scripts/test-gtk.sh PYTHON --webdriver        bench/bench_webdriver.py on the same display
#                                                 (also installs WebKitGTK's WebDriver, webkit2gtk-driver)
#   scripts/test-gtk.sh PYTHON --screenshot FILE  the tier's screenshot test, writing FILE (a PNG)
# PYTHON is the virtual environment's interpreter with panekit installed (scripts/test.sh --gtk
# builds it and calls this). Installs what the tier needs: the Debian packages below (as root;
# otherwise it prints the command to run, never calling sudo) and PyGObject with pycairo from the
# package index. Whatever cannot be had is said plainly and the tier's tests skip.
set -euo pipefail
cd "$(dirname "$0")/.."
vpy=$1
shift
mode=tests
case "${1:-}" in
  --bench) mode=bench; shift ;;
  --webdriver) mode=webdriver; shift ;;
  --screenshot) mode=screenshot; shot=$(realpath -m "$2"); shift 2 ;;
esac
say() { echo "[gtk tier] $*" >&2; }
started=$SECONDS

# What the GTK window needs (scripts/gtk-packages.txt, shared with `nox -s open`), and for the tier:
# xdotool sends real input, xclip reads the clipboard, imagemagick takes the screenshot.
mapfile -t packages < <(sed -e 's/#.*//' -e '/^[[:space:]]*$/d' scripts/gtk-packages.txt)
packages+=(xvfb xauth xdotool xclip imagemagick)
# The comparison's other side: WebKitWebDriver, which drives WebKitGTK's MiniBrowser (shipped with
# the engine's library package) on the same engine.
if [ "$mode" = webdriver ]; then packages+=(webkit2gtk-driver); fi
source scripts/tier-lib.sh
if [ "$mode" = tests ]; then tier_names_folder tests_gtk "$@" || set -- "$@" tests_gtk; fi
tier_packages "${packages[@]}"

# PyGObject 3.51 and later need girepository-2.0, which Debian 12 does not have.
if ! "$vpy" -c "import gi, cairo" 2>/dev/null; then
  say "installing PyGObject and pycairo (built from source)"
  step=$SECONDS
  if "$vpy" -m pip install -q --disable-pip-version-check "PyGObject<3.51" pycairo; then
    say "PyGObject and pycairo installed in $((SECONDS - step)) s"
  else
    say "installing PyGObject failed; the tier will skip"
  fi
fi

tier_display
# No session bus here: GTK and WebKit must not wait for one (accessibility bridge, portals), and
# settings stay in memory (the file chooser saves its own; dconf would need the bus).
export NO_AT_BRIDGE=1 GTK_A11Y=none GDK_BACKEND=x11 GSETTINGS_BACKEND=memory
unset WAYLAND_DISPLAY
# The windows' logs, profiles and downloads, kept for a look after a failure.
basetemp=$(mktemp -d "${TMPDIR:-/tmp}/panekit-gtk-tier.XXXXXX")

say "set up in $((SECONDS - started)) s"
run_started=$SECONDS
rc=0
case "$mode" in
  bench)
    timeout -k 10 900 "$vpy" bench/bench_gtk.py || rc=$? ;;
  webdriver)
    timeout -k 10 1800 "$vpy" bench/bench_webdriver.py "$@" || rc=$? ;;
  screenshot)
    PANEKIT_SCREENSHOT="$shot" timeout -k 10 300 "$vpy" -m pytest -q -p no:cacheprovider -rfEs \
      --basetemp "$basetemp" \
      "tests_gtk/test_gtk_window.py::test_screenshot" || rc=$? ;;
  *)
    # The outer limit is a last resort: every wait inside the tier has its own timeout.
    timeout -k 10 900 "$vpy" -m pytest -q -p no:cacheprovider -rfEs --basetemp "$basetemp" "$@" || rc=$?
    [ "$rc" = 0 ] && rm -rf "$basetemp" || say "the windows' logs are under $basetemp" ;;
esac
say "ran in $((SECONDS - run_started)) s (tier wall time $((SECONDS - started)) s)"
exit "$rc"
