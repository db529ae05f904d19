#!/bin/sh
# Builds the Windows program with mingw-w64 and runs the black-box tests
# against it under Wine.
#
#   scripts/test-windows.sh [LINUX_BUILD_DIR]
#
# LINUX_BUILD_DIR (default: build) holds, or receives, the native test binary
# feedfix_tests, which drives the Windows program through Wine. The Windows
# program lands in build-win/feedfix.exe, the Wine prefix in build-win/wineprefix.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
linux_build=$(cd "$root" && mkdir -p "${1:-build}" && cd "${1:-build}" && pwd)
win_build="$root/build-win"

for tool in x86_64-w64-mingw32-g++ wine wineboot wineserver; do
  command -v "$tool" >/dev/null 2>&1 || {
    echo "test-windows: $tool is missing (apt-get install g++-mingw-w64-x86-64 wine)" >&2
    exit 2
  }
done

echo "== Windows program (mingw-w64)"
cmake -S "$root" -B "$win_build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DFEEDFIX_TESTS=OFF >/dev/null
cmake --build "$win_build" -j2
exe="$win_build/feedfix.exe"

# Only system DLLs may be needed: the program is handed over as one file.
dlls=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p')
for dll in $dlls; do
  case $(echo "$dll" | tr 'A-Z' 'a-z') in
    kernel32.dll | msvcrt.dll | ucrtbase.dll | api-ms-win-*) ;;
    *) echo "test-windows: feedfix.exe needs $dll" >&2; exit 1 ;;
  esac
done

echo "== native test driver"
if [ ! -f "$linux_build/CMakeCache.txt" ]; then
  cmake -S "$root" -B "$linux_build" -DCMAKE_BUILD_TYPE=Debug >/dev/null
fi
cmake --build "$linux_build" -j2 --target feedfix_tests

# A console program needs no display; without one Wine opens no window and
# asks nothing. Mono and Gecko are not installed into the prefix.
unset DISPLAY WAYLAND_DISPLAY
export WINEPREFIX="$win_build/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64

start=$(date +%s)
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "== Wine prefix $WINEPREFIX"
  timeout 600 wineboot -i
  timeout 120 wineserver -w
fi

echo "== black-box tests under Wine"
status=0
FEEDFIX_E2E_COMMAND="wine $exe" FEEDFIX_E2E_PLATFORM=windows \
  timeout 1800 "$linux_build/feedfix_tests" --gtest_filter='E2e*' || status=$?
timeout 120 wineserver -w || true
echo "== Wine part: $(($(date +%s) - start)) s"
exit $status
