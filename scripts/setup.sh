#!/usr/bin/env bash
# Installs what the project needs on a fresh Debian machine, builds the
# normal and the sanitizer trees, and shows the programs running.
set -euo pipefail
cd "$(dirname "$0")/.."

if command -v apt-get >/dev/null && [ "$(id -u)" = 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends \
    g++ cmake ninja-build pkg-config \
    nlohmann-json3-dev libssl-dev libgtest-dev libgmock-dev libbenchmark-dev \
    python3 strace \
    libva-dev libvulkan-dev libva2 libva-drm2 libvulkan1 mesa-vulkan-drivers \
    >/dev/null
  # The machine image brings Node.js with its own npm; Debian's npm would
  # conflict with it, so it is installed only where neither is present.
  if ! command -v npm >/dev/null; then
    apt-get install -y -qq --no-install-recommends nodejs npm >/dev/null
  fi
fi

# The real-agent interop test drives vorn-mcp with the official MCP SDK.
for dir in tests/*/interop; do
  if [ -f "$dir/package-lock.json" ]; then
    (cd "$dir" && npm ci --no-audit --no-fund --loglevel=error)
  fi
done

cmake --preset default >/dev/null
cmake --build --preset default
cmake --preset asan >/dev/null
cmake --build --preset asan

echo "--- the programs, built in build/default:"
for prog in bridge/vorn-mcp folder/vorn-folder probes/accelprobe probes/vkdecprobe; do
  bin="build/default/$prog"
  if [ -x "$bin" ]; then
    case "$prog" in
      *probe) echo "\$ $prog --help"; "$bin" --help || true ;;
      *) echo "\$ $prog --version"; "$bin" --version || true ;;
    esac
  fi
done
