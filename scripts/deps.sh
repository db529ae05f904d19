#!/usr/bin/env bash
# Installs, with apt-get, whichever of the packages the builds and tests need
# is missing. Does nothing (and needs no network) when all are there.
#
#   scripts/deps.sh demo    cmake, g++, make
#   scripts/deps.sh test    the above, GoogleTest, the Windows cross compiler,
#                           Wine, clang with its fuzzing runtime, time, and for
#                           the package checks dpkg-dev, file, man-db, python3,
#                           lintian, for the shared-directory checks acl and attr
set -euo pipefail


have() { command -v "$1" >/dev/null 2>&1; }
missing=()
have cmake || missing+=(cmake)
have g++ || missing+=(g++)
have make || missing+=(make)
if [ "${1:-test}" = test ]; then
  [ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
  have x86_64-w64-mingw32-g++ || missing+=(g++-mingw-w64-x86-64)
  have wine || missing+=(wine)
  have clang++ || missing+=(clang)
  [ -x /usr/bin/time ] || missing+=(time)
  have dpkg-shlibdeps || missing+=(dpkg-dev)
  have file || missing+=(file)
  have man || missing+=(man-db)
  have groff || missing+=(groff-base)
  have python3 || missing+=(python3)
  have setfacl || missing+=(acl)
  have setfattr || missing+=(attr)
  have lintian || missing+=(lintian)
  ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 ||
    missing+=(libclang-rt-14-dev)
fi
[ ${#missing[@]} -eq 0 ] && exit 0

echo "== installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update </dev/null
apt-get install -y "${missing[@]}" </dev/null

