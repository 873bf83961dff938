#!/usr/bin/env bash
# Kept for habit: the runner's test sessions (see noxfile.py).
#   scripts/test.sh [pytest args]          nox -s tests [-- args]
#   scripts/test.sh --real [pytest args]   nox -s real  [-- args]
#   scripts/test.sh --asan [pytest args]   nox -s asan  [-- args]
#   scripts/test.sh --gtk [args]           nox -s gtk   [-- args]   (--bench, --webdriver, --screenshot FILE)
set -euo pipefail
session=tests
case "${1:-}" in
  --asan) session=asan; shift ;;
  --real) session=real; shift ;;
  --gtk) session=gtk; shift ;;
esac
exec bash "$(dirname "$0")/nox.sh" -s "$session" -- "$@"
