#!/usr/bin/env bash
# Builds the packages and checks them the way a user gets them:
#  1. the Debian package (CMake preset "ci": Release, warnings are errors):
#     installed with dpkg -i, the installed feedfix run twice on the example
#     plot in a scratch directory (the first run creates feedfix.ini, the
#     second corrects the plot), its man page found by man, then removed
#     with dpkg -r, leaving nothing of it behind;
#  2. the man page passes groff's checks without a single warning;
#  3. the Windows zip (preset "windows"): unpacked into a scratch directory,
#     README.txt with CR LF line ends, feedfix.exe run from there under Wine
#     on the example with the same result as the Linux program, and its
#     version resource read back (scripts/pe-version.py);
#  4. banner, Debian package, zip and version resource all carry the version
#     of project() in CMakeLists.txt, and so does the package's changelog;
#  5. lintian finds neither an error nor a warning in the Debian package
#     (its informational tags are shown);
#  6. reproducible: both packages are built a second time, in build
#     directories outside the source tree, with another umask, some time
#     later, and must have the same SHA-256 as the first ones; so must the
#     files that `cmake --install` puts down from the two Linux builds. Their
#     times come from the last commit (SOURCE_DATE_EPOCH, see
#     cmake/SourceDateEpoch.cmake), which the package's files must carry.
#
#   scripts/package-check.sh          (as root: it installs and removes the package)
#
# Refuses to run when a package named feedfix is installed already, so that
# it never replaces or removes one it did not install itself.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
linux_build=$root/build-ci
win_build=$root/build-win

fail() { echo "package-check: $*" >&2; exit 1; }

for tool in dpkg dpkg-deb dpkg-shlibdeps file man groff python3 wine wineserver lintian gzip; do
  command -v "$tool" >/dev/null 2>&1 || { echo "package-check: $tool is missing (scripts/deps.sh test)" >&2; exit 2; }
done
[ "$(id -u)" -eq 0 ] || { echo "package-check: run as root (dpkg -i, dpkg -r)" >&2; exit 2; }
if dpkg-query -W -f='${db:Status-Status}' feedfix 2>/dev/null | grep -qv '^not-installed$'; then
  echo "package-check: a feedfix package is installed already; remove it first (dpkg -r feedfix)" >&2
  exit 2
fi

# The packages' time must come from the commit here, not from the caller.
unset SOURCE_DATE_EPOCH
scratch=$(mktemp -d)
installed=0
wine_started=0
cleanup() {
  status=$?
  [ "$wine_started" = 1 ] && { wineserver -k 2>/dev/null || true; }
  [ "$installed" = 1 ] && { dpkg -r feedfix >/dev/null 2>&1 || true; }
  if [ "$status" -eq 0 ]; then rm -rf "$scratch"; else echo "package-check: scratch files kept in $scratch" >&2; fi
}
trap cleanup EXIT

echo "== Debian package"
cmake --preset ci >/dev/null
cmake --build --preset ci -j2 --target feedfix
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$linux_build/CMakeCache.txt")
[ -n "$version" ] || fail "no project version in $linux_build/CMakeCache.txt"
(cd "$linux_build" && cpack -G DEB -B "$linux_build/packages" >/dev/null)
deb=$linux_build/packages/feedfix_${version}-1_$(dpkg --print-architecture).deb
[ -f "$deb" ] || fail "no package $deb"
echo "$deb:"
dpkg-deb -f "$deb" Package Version Section Maintainer Depends Description
dpkg-deb -c "$deb"
[ "$(dpkg-deb -f "$deb" Version)" = "$version-1" ] || fail "package version is not $version-1"
dpkg-deb -f "$deb" Depends | grep -q libc6 || fail "no dependencies found by dpkg-shlibdeps"
dpkg-deb -f "$deb" Maintainer | grep -q '<[^@<>]*@[^@<>]*\.[^@<>]*>$' || fail "maintainer without a mail address"
changelog_version=$(dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/share/doc/feedfix/changelog.Debian.gz |
  gzip -dc | sed -n '1s/^feedfix (\([^)]*\)).*/\1/p')
[ "$changelog_version" = "$version-1" ] ||
  fail "doc/changelog starts with version '$changelog_version', the package is $version-1: add an entry"

echo "== lintian"
# Informational tags are shown; an error or a warning fails the check.
lintian --display-info --fail-on error,warning "$deb" 2>&1 | { grep -v '^running with root privileges' || true; } |
  tee "$scratch/lintian.txt" || fail "lintian finds errors or warnings in $deb"
! grep -q '^[EW]: ' "$scratch/lintian.txt" || fail "lintian finds errors or warnings in $deb"
echo "lintian: no errors, no warnings"

dpkg -i "$deb" >/dev/null
installed=1
dpkg -L feedfix >"$scratch/files.txt"
hash -r
[ "$(command -v feedfix)" = /usr/bin/feedfix ] || fail "installed feedfix is not /usr/bin/feedfix"
mkdir "$scratch/linux"
cp /usr/share/doc/feedfix/examples/example.plt "$scratch/linux/"
cp /usr/share/doc/feedfix/examples/example.plt "$scratch/original.plt"
(
  cd "$scratch/linux"
  feedfix example.plt </dev/null >run1.txt
  grep -q 'INI-file not found. Default file created.' run1.txt || fail "first run: $(cat run1.txt)"
  cmp -s example.plt ../original.plt || fail "first run changed the plot"
  feedfix example.plt </dev/null >run2.txt
  grep -q "   V$version"$'\r$' run2.txt || fail "banner without V$version: $(cat run2.txt)"
  grep -q '  OK' run2.txt || fail "second run: $(cat run2.txt)"
  ! cmp -s example.plt ../original.plt || fail "second run left the plot as it was"
  grep -q $'^PG;8804,0;\r$' example.plt || fail "corrected plot lacks PG;8804,0;"
  [ ! -e '~ffx.log' ] || fail "~ffx.log left behind"
)
echo "installed feedfix: first run created feedfix.ini, second run corrected the plot"

# Debian's container images may keep man pages out of the file system
# (a dpkg path-exclude); the page is then checked in the package only.
dpkg-deb -c "$deb" | grep -q ' \./usr/share/man/man1/feedfix\.1\.gz$' || fail "no man page in the package"
excluded=$(grep -hs '^path-exclude.*/usr/share/man' /etc/dpkg/dpkg.cfg.d/* || true)
if [ -n "$excluded" ]; then
  echo "note: dpkg on this machine excludes man pages ($excluded); man -w skipped, page checked in the package"
else
  page=$(man -w feedfix) || fail "man -w feedfix finds nothing"
  echo "man -w feedfix: $page"
  MANWIDTH=80 man -P cat feedfix 2>/dev/null | grep -q 'feedfix - correct a plotter plot file' ||
    fail "man feedfix does not show the page"
fi

dpkg -r feedfix >/dev/null
installed=0
hash -r
[ "$(dpkg-query -W -f='${db:Status-Status}' feedfix 2>/dev/null || echo not-installed)" = not-installed ] ||
  fail "feedfix still known to dpkg after dpkg -r"
left=0
while IFS= read -r path; do
  # Shared directories (/usr, /usr/bin, ...) stay; everything of feedfix goes.
  if [ -e "$path" ] && { [ ! -d "$path" ] || [[ $path == *feedfix* ]]; }; then
    echo "left behind: $path" >&2
    left=1
  fi
done <"$scratch/files.txt"
[ "$left" = 0 ] || fail "dpkg -r left files behind"
! command -v feedfix >/dev/null || fail "feedfix still on PATH after dpkg -r"
echo "dpkg -r: nothing of the package left"

echo "== man page"
lint=$(groff -man -ww -z "$linux_build/feedfix.1" 2>&1)
[ -z "$lint" ] || fail "groff -man -ww finds: $lint"
echo "groff -man -ww -z: no warnings"

echo "== Windows zip"
cmake --preset windows >/dev/null
cmake --build --preset windows -j2
(cd "$win_build" && cpack -G ZIP -B "$win_build/packages" >/dev/null)
zip=$win_build/packages/feedfix-$version-win64.zip
[ -f "$zip" ] || fail "no zip $zip"
mkdir "$scratch/zip"
(cd "$scratch/zip" && cmake -E tar xf "$zip")
dir=$scratch/zip/feedfix-$version-win64
contents=$(cd "$dir" && find . -type f | sort | tr '\n' ' ')
echo "$(basename "$zip"): $contents"
[ "$contents" = "./README.txt ./examples/example.plt ./feedfix.exe " ] || fail "zip holds: $contents"
lines=$(wc -l <"$dir/README.txt")
[ "$(grep -c $'\r$' "$dir/README.txt")" = "$lines" ] || fail "README.txt has lines without CR LF"
tr -d '\r' <"$dir/README.txt" | cmp -s - "$root/README.md" || fail "README.txt is not README.md"

"$root/scripts/pe-version.py" "$dir/feedfix.exe" | tee "$scratch/version.txt"
fixed=$(echo "$version.0.0.0" | cut -d. -f1-4)
for expected in "FixedFileVersion=$fixed" "FixedProductVersion=$fixed" "FileVersion=$version" \
  "ProductVersion=$version" "OriginalFilename=feedfix.exe" "ProductName=feedfix"; do
  grep -qx "$expected" "$scratch/version.txt" || fail "version resource lacks $expected"
done
grep -q '^FileDescription=.' "$scratch/version.txt" || fail "version resource lacks FileDescription"

# Wine as in scripts/test-windows.sh: the prefix of the Windows build, no
# display, one server for both runs.
unset DISPLAY WAYLAND_DISPLAY
export WINEPREFIX="$win_build/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  timeout 600 wineboot -i </dev/null >/dev/null 2>&1
  timeout 120 wineserver -w
fi
wineserver -k 2>/dev/null || true
wineserver -p
wine_started=1
timeout 120 wine cmd /c exit 0 </dev/null >/dev/null 2>&1
mkdir "$scratch/windows"
cp "$dir/examples/example.plt" "$scratch/windows/"
(
  cd "$scratch/windows"
  timeout 120 wine "$dir/feedfix.exe" example.plt </dev/null >run1.txt
  grep -q 'INI-file not found. Default file created.' run1.txt || fail "Wine, first run: $(cat run1.txt)"
  timeout 120 wine "$dir/feedfix.exe" example.plt </dev/null >run2.txt
  grep -q "   V$version"$'\r$' run2.txt || fail "Wine: banner without V$version"
  grep -q '  OK' run2.txt || fail "Wine, second run: $(cat run2.txt)"
  cmp -s example.plt ../linux/example.plt || fail "Wine: corrected plot differs from the Linux one"
  cmp -s feedfix.ini ../linux/feedfix.ini || fail "Wine: feedfix.ini differs from the Linux one"
)
echo "feedfix.exe from the zip under Wine: same plot and feedfix.ini as the Linux program"
wineserver -k 2>/dev/null || true
wine_started=0

echo "== reproducible packages"
# Every file in the package carries the time of the last commit (or, outside
# a git checkout, of the newest changelog entry).
if epoch=$(git -C "$root" log -1 --format=%ct 2>/dev/null) &&
  [ "$(cd "$(git -C "$root" rev-parse --show-toplevel)" && pwd -P)" = "$(cd "$root" && pwd -P)" ]; then
  origin="last commit"
else
  epoch=$(date -u -d "$(sed -n 's/^ -- .*>  //p' "$root/doc/changelog" | head -1)" +%s)
  origin="newest entry of doc/changelog"
fi
stamp=$(TZ=UTC date -d "@$epoch" '+%Y-%m-%d %H:%M:%S')
times=$(dpkg-deb --fsys-tarfile "$deb" | TZ=UTC tar -tv --full-time | awk '{print $4" "$5}' | sort -u)
[ "$times" = "$stamp" ] || fail "package file times are not $stamp ($origin): $times"
echo "file times in the package: $stamp UTC, from the $origin"

install_hashes() { # build directory -> modes and hashes of what cmake --install puts down
  rm -rf "$scratch/installed"
  DESTDIR="$scratch/installed" cmake --install "$1" --prefix /usr >/dev/null
  (cd "$scratch/installed" && find . -printf '%M %p\n' | sort -k2 && find . -type f -exec sha256sum {} + | sort -k2)
}
install_hashes "$linux_build" >"$scratch/install1.txt"

# The second builds: other directories, another umask, later than the first.
(
  umask 027
  cmake --preset ci -B "$scratch/rebuild-linux" >/dev/null
  cmake --build "$scratch/rebuild-linux" -j2 --target feedfix >/dev/null
  (cd "$scratch/rebuild-linux" && cpack -G DEB -B "$scratch/rebuild-linux/packages" >/dev/null)
  cmake --preset windows -B "$scratch/rebuild-win" >/dev/null
  cmake --build "$scratch/rebuild-win" -j2 >/dev/null
  (cd "$scratch/rebuild-win" && cpack -G ZIP -B "$scratch/rebuild-win/packages" >/dev/null)
)
install_hashes "$scratch/rebuild-linux" >"$scratch/install2.txt"
deb2=$scratch/rebuild-linux/packages/$(basename "$deb")
zip2=$scratch/rebuild-win/packages/$(basename "$zip")
same=1
for pair in "$deb:$deb2" "$zip:$zip2"; do
  first=$(sha256sum <"${pair%%:*}" | cut -d' ' -f1)
  second=$(sha256sum <"${pair#*:}" | cut -d' ' -f1)
  echo "$(basename "${pair%%:*}"): first build $first, second build $second"
  [ "$first" = "$second" ] || same=0
done
[ "$same" = 1 ] || fail "two builds of one commit give different packages"
diff "$scratch/install1.txt" "$scratch/install2.txt" || fail "two builds install different files"
echo "cmake --install: the same $(grep -c '^[0-9a-f]\{64\} ' "$scratch/install1.txt") files, modes and bytes from both builds"
echo "== packages checked: version $version in banner, $(basename "$deb"), $(basename "$zip"), version resource; lintian clean; reproducible"
