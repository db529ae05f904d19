#!/bin/sh
# Builds the Windows program with mingw-w64 and runs the backend's contract
# cases and the black-box tests against it under Wine.
#
#   scripts/test-windows.sh [LINUX_BUILD_DIR]
#
# LINUX_BUILD_DIR (default: build, relative to the repository) holds, or
# receives, the native test binary feedfix_tests, which drives the Windows
# program through Wine. The Windows program lands in build-win/feedfix.exe,
# the Wine prefix in build-win/wineprefix.
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
(cd "$root" && cmake --preset windows >/dev/null && cmake --build --preset windows -j2 &&
  cmake --build --preset windows -j2 --target feedfix_os_contract)
exe="$win_build/feedfix.exe"
case $exe in
  *[[:space:]]*) echo "test-windows: the tests take the program's path split at blanks: $exe" >&2; exit 2 ;;
esac

# Only system DLLs may be needed: the program is handed over as one file.
dlls=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p')
for dll in $dlls; do
  case $(echo "$dll" | tr '[:upper:]' '[:lower:]') in
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
  timeout 600 wineboot -i </dev/null >/dev/null 2>&1
  timeout 120 wineserver -w
fi

# One Wine server for the whole suite: a server started per run costs about a
# second each time. A server left over in this prefix (the prefix belongs to
# this build directory) is stopped first. The server's helper processes start
# with the first program and keep that program's streams, so a first program
# with no streams of interest starts them, and a test never waits on a pipe
# that a helper holds open.
wineserver -k 2>/dev/null || true
wineserver -p
trap 'wineserver -k 2>/dev/null || true' EXIT
timeout 120 wine cmd /c exit 0 </dev/null >/dev/null 2>&1

status=0
echo "== backend contract under Wine"
timeout 300 wine "$win_build/feedfix_os_contract.exe" </dev/null || status=$?

echo "== black-box tests under Wine"
FEEDFIX_E2E_COMMAND="wine $exe" FEEDFIX_E2E_PLATFORM=windows \
  timeout 1800 "$linux_build/feedfix_tests" --gtest_filter='E2e*' || status=$?

echo "== overlapping runs under Wine"
# The check starts a Wine server of its own in the same prefix.
wineserver -k 2>/dev/null || true
"$root/scripts/overlap-windows.sh" "$exe" || status=$?
echo "== Wine part: $(($(date +%s) - start)) s"
exit $status
