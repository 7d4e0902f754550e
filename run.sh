#!/usr/bin/env bash
# Builds the tool and our VortiqAPI.dll, installs both to ./out and runs the tool:
# it lists every copy of the library on this machine.
set -euo pipefail
cd "$(dirname "$0")"
need=()
command -v cmake >/dev/null || need+=(cmake)
command -v g++ >/dev/null || need+=(g++)
if [ ${#need[@]} -gt 0 ]; then
  echo "installing from Debian's packages: ${need[*]}"
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" >/dev/null
fi
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DVORTIQ_BUILD_TESTS=OFF >/dev/null
cmake --build build/release -j"$(nproc)" >/dev/null
cmake --install build/release --prefix out >/dev/null
exec out/bin/vortiq-list-dlls
