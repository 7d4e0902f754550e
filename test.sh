#!/usr/bin/env bash
# Builds and tests both legs: the native Linux tool, and the Windows tool
# cross-built with MinGW-w64 and run under Wine. Installs what is missing.
set -euo pipefail
cd "$(dirname "$0")"
jobs=$(nproc)
say() { printf '\n== %s\n' "$*"; }

need=()
command -v cmake >/dev/null || need+=(cmake)
command -v g++ >/dev/null || need+=(g++)
command -v python3 >/dev/null || need+=(python3)
[ -f /usr/src/googletest/CMakeLists.txt ] || need+=(googletest)
command -v i686-w64-mingw32-g++-posix >/dev/null || need+=(g++-mingw-w64-i686)
command -v x86_64-w64-mingw32-g++-posix >/dev/null || need+=(g++-mingw-w64-x86-64)
[ -x /usr/lib/wine/wine64 ] || need+=(wine wine64)
[ -x /usr/lib/wine/wine ] || need+=(wine32:i386)
command -v clang++ >/dev/null || need+=(clang)
ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 || need+=(libclang-rt-14-dev)
if [ ${#need[@]} -gt 0 ]; then
  say "installing from Debian's packages: ${need[*]}"
  dpkg --add-architecture i386
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" >/dev/null
fi

leg() {  # leg NAME BUILD_DIR [CMAKE_ARGS...]
  local name=$1 dir=$2
  shift 2
  say "$name: build"
  cmake -S . -B "$dir" -DCMAKE_COMPILE_WARNING_AS_ERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j"$jobs" >/dev/null
}

leg "native" build/native
say "native: test"
ctest --test-dir build/native --output-on-failure -j"$jobs"

leg "native with AddressSanitizer and UndefinedBehaviorSanitizer" build/asan -DVORTIQ_SANITIZE=address,undefined
say "native sanitized: test"
ctest --test-dir build/asan --output-on-failure -j"$jobs"

leg "fuzz targets (clang, libFuzzer)" build/fuzz -DCMAKE_CXX_COMPILER=clang++ -DVORTIQ_FUZZ=ON \
  -DVORTIQ_BUILD_TESTS=OFF -DVORTIQ_SANITIZE=address,undefined
seeds=$(mktemp -d)
python3 fuzz/make_seeds.py "$seeds/reader" "$seeds/record" build/native/report/VortiqAPI.dll
say "fuzz: 20 s each; a crash stops the run and leaves its input in $seeds"
build/fuzz/fuzz/fuzz_version_reader -max_total_time=20 -max_len=65536 -artifact_prefix="$seeds/" "$seeds/reader" 2>&1 | tail -1
build/fuzz/fuzz/fuzz_record -max_total_time=20 -artifact_prefix="$seeds/" "$seeds/record" 2>&1 | tail -1
rm -rf "$seeds"

started=$SECONDS
leg "windows i686" build/win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake
(cd build/win32 && cpack -G ZIP >/dev/null && cmake -E tar tf ./*-win32.zip)
# 32-bit Wine needs the kernel to run 32-bit x86 programs; some machines cannot.
if /usr/lib/wine/wine --version >/dev/null 2>&1; then
  say "windows i686: test under Wine (win32 prefix)"
  ctest --test-dir build/win32 --output-on-failure
else
  say "windows i686: this machine cannot run 32-bit x86 programs, so 32-bit Wine cannot start;"
  echo "   checking the i686 files as they stand, and running the tests on the x86_64 build under 64-bit Wine"
  ctest --test-dir build/win32 --output-on-failure -L static
  leg "windows x86_64" build/win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake
  say "windows x86_64: test under Wine (win64 prefix)"
  ctest --test-dir build/win64 --output-on-failure
fi
say "windows leg took $((SECONDS - started)) s"

# Each platform's tool reads the version the other platform's library carries.
say "cross: the Linux tool reads the Windows library's version resource"
VORTIQ_SEARCH_ROOTS=build/win32/report build/native/report/vortiq-list-dlls \
  | grep -F "version:1.0.0 size:$(stat -c %s build/win32/report/VortiqAPI.dll) | $PWD/build/win32/report/VortiqAPI.dll"
if [ -d build/win64 ]; then win=build/win64 arch=win64; else win=build/win32 arch=win32; fi
say "cross: the Windows tool reads the Linux library's version note"
VORTIQ_SEARCH_ROOTS="Z:${PWD//\//\\}\\build\\native\\report" \
  cmake/wine-run.sh "$PWD/$win/wineprefix" "$arch" "$win/report/vortiq-list-dlls.exe" \
  | grep -F "version:1.0.0 size:$(stat -c %s build/native/report/VortiqAPI.dll) | Z:${PWD//\//\\}\\build\\native\\report\\VortiqAPI.dll"
echo "all legs passed"
