#!/usr/bin/env bash
# Bridge benchmarks: start-up to the initialize answer, tools/list round trip
# and peak RSS against a trivial C responder measured the same way, then the
# CPU an idle bridge uses.
#
#   benchmarks/bridge/run.sh [build dir] [idle seconds]
#
# Needs node and the MCP SDK installed in tests/bridge/interop (npm ci).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="${1:-$here/../../build/default}"
idle="${2:-60}"
bridge="$build/bridge/vorn-mcp"
work="$(mktemp -d /tmp/vorn-bench-XXXXXX)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/profile"

cc -O2 -o "$work/trivial_responder" "$here/trivial_responder.c"
cc -O2 -o "$work/idle_reference" "$here/idle_reference.c"

export BENCH_HOME="$work"
node "$here/sdk_bench.mjs" trivial 200 5000 "$work/trivial_responder"
node "$here/sdk_bench.mjs" vorn-mcp 200 5000 "$bridge" --profile "$work/profile"
python3 "$here/idle_cpu.py" --reference "$work/idle_reference" "$idle" &
python3 "$here/idle_cpu.py" "$bridge" "$idle"
wait
