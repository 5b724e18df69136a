#!/usr/bin/env bash
# Runs every test: the normal build, then the ASan+UBSan build.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --build --preset default >/dev/null
cmake --build --preset asan >/dev/null
status=0
ctest --preset default || status=1
ctest --preset asan || status=1
exit $status
