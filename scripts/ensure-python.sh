#!/usr/bin/env bash
# Same as scripts/find-python.sh (the interpreter it prints can make environments and build).
exec bash "$(dirname "$0")/find-python.sh"
