# Shared by the tiers that run under a virtual display (test-real.sh, test-gtk.sh); sourced, not
# run. The caller defines say() and `started` (its $SECONDS at start) before sourcing.

# tier_names_folder FOLDER ARG...: whether a pytest argument lies in FOLDER, the tier's own. The
# caller adds FOLDER when none does, so options alone (say --durations=5) still run the tier.
tier_names_folder() {
  local folder=$1 a
  shift
  for a in "$@"; do case "$a" in "$folder"*) return 0 ;; esac; done
  return 1
}

# tier_packages PACKAGE...: installs the Debian packages that are missing, as root (never through
# sudo: otherwise it prints the command to run). A failure is said; the tier's tests then skip.
tier_packages() {
  local missing=() p
  if command -v dpkg-query >/dev/null 2>&1; then
    for p in "$@"; do
      dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
  fi
  [ ${#missing[@]} -gt 0 ] || return 0
  local install=(apt-get install -y -qq -o DPkg::Lock::Timeout=600 --no-install-recommends "${missing[@]}")
  if ! command -v apt-get >/dev/null 2>&1 || [ "$(id -u)" != 0 ]; then
    say "cannot install ${missing[*]} here; as root run: apt-get update && ${install[*]}"
  else
    say "installing ${missing[*]}"
    local step=$SECONDS
    if apt-get update -qq -o DPkg::Lock::Timeout=600 >&2 &&
       DEBIAN_FRONTEND=noninteractive "${install[@]}" >&2; then
      say "packages installed in $((SECONDS - step)) s"
    else
      say "installing the packages failed; tests that need them will skip"
    fi
  fi
}

# tier_display: starts a private Xvfb (stopped when the script exits) and exports DISPLAY; without
# one, DISPLAY is unset and the tier's tests skip. The screen holds a whole 1280 x 860 window.
xpid=""
stop_display() {
  if [ -n "$xpid" ]; then
    kill "$xpid" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$xpid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$xpid" 2>/dev/null || true
    xpid=""
  fi
}
tier_display() {
  trap stop_display EXIT
  if ! command -v Xvfb >/dev/null 2>&1; then
    say "Xvfb is not installed; the tier will skip"
    unset DISPLAY
    return 0
  fi
  local dfile display
  dfile=$(mktemp)
  # -displayfd picks a free display number and writes it once the server accepts connections.
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
}
