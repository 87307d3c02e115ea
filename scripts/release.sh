#!/usr/bin/env bash
# Builds the shipping 32-bit preset and makes its release archive from the
# installed tree: build/release/gatesvc-<version>-win32.zip.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scripts/deps.sh
cmake --preset mingw32 >/dev/null
cmake --build --preset mingw32
cpack --config build/mingw32/CPackConfig.cmake -B build/release
