#!/usr/bin/env bash
# Runs one Windows program under wine64: the emulator CTest uses for every
# test. Scratch prefix, no debug channels, no standard input, and a timeout.
. "$(dirname "$0")/wine-env.sh"
wine_prefix_ready
exec timeout "${GATESVC_WINE_TIMEOUT:-600}" "$WINE" "$@" </dev/null
