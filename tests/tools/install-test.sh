#!/usr/bin/env bash
# Installs a built carovel into a scratch prefix, then builds and runs the
# consumer program against it twice: with find_package(carovel) and with
# pkg-config, and a C program through the C interface with pkg-config; then
# once more with find_package(carovel) against the build tree.
# Also checks that the package refuses an incompatible version. The consumer
# checks that the library reports VERSION, as its headers do.
#
# Usage: install-test.sh BUILD_DIR WORK_DIR CONSUMER_DIR CXX WITH_TOOL(0|1) VERSION
set -euo pipefail
build=$1 work=$2 consumer=$3 cxx=$4 with_tool=$5 version=$6

rm -rf "$work"
mkdir -p "$work"
prefix=$work/prefix
step() { echo "--- $*"; }

step "install into $prefix"
cmake --install "$build" --prefix "$prefix" >"$work/install.log"
test -f "$prefix/include/carovel/carovel.h"
test -f "$prefix/include/carovel/mixer.h"
test -f "$prefix/include/carovel/carovel_c.h"
grep -q "#define CAROVEL_VERSION_STRING \"$version\"" "$prefix/include/carovel/version.h"
pc=$(find "$prefix" -name carovel.pc)
config=$(find "$prefix" -name carovelConfig.cmake)
test -n "$pc" && test -n "$config"
test -f "$(dirname "$config")/carovelConfigVersion.cmake"
if [ "$with_tool" = 1 ]; then
  # Runs from the install tree: it must find the installed library by itself.
  env -u LD_LIBRARY_PATH "$prefix/bin/carovel-mix" --version
fi

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)

step "find_package consumer"
cmake -S "$consumer" -B "$work/cmake" "${generator[@]}" -DCMAKE_CXX_COMPILER="$cxx" \
  -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=Release >"$work/cmake-configure.log"
cmake --build "$work/cmake" >"$work/cmake-build.log"
"$work/cmake/consumer" "$version"

step "find_package refuses version 1.0"
if cmake -S "$consumer" -B "$work/cmake-wrong" "${generator[@]}" -DCMAKE_CXX_COMPILER="$cxx" \
  -DCMAKE_PREFIX_PATH="$prefix" -DCAROVEL_WANT_VERSION=1.0 >"$work/wrong.log" 2>&1; then
  echo "error: find_package(carovel 1.0) accepted version $(pkg-config --modversion "$pc")" >&2
  exit 1
fi
grep -q "compatible with requested version \"1.0\"" "$work/wrong.log"

step "pkg-config consumer"
export PKG_CONFIG_PATH
PKG_CONFIG_PATH=$(dirname "$pc")
libs=(--libs)
# A static carovel brings its private dependencies along.
[ -e "$(pkg-config --variable=libdir carovel)/libcarovel.so" ] || libs=(--libs --static)
# shellcheck disable=SC2046  # the flags are meant to split
"$cxx" -std=c++17 -o "$work/pc-consumer" "$consumer/main.cpp" \
  $(pkg-config --cflags carovel) $(pkg-config "${libs[@]}" carovel)
LD_LIBRARY_PATH=$(pkg-config --variable=libdir carovel) "$work/pc-consumer" "$version"

# A static carovel needs the C++ runtime at link time, which a C compiler
# does not bring: the C program links the shared library only.
if [ "${libs[*]}" = "--libs" ]; then
  step "pkg-config C consumer (C99, the C interface)"
  # shellcheck disable=SC2046  # the flags are meant to split
  "${CC:-cc}" -std=c99 -Wall -Wextra -pedantic -Werror -o "$work/pc-consumer-c" \
    "$consumer/../../windows/consumer_c.c" $(pkg-config --cflags carovel) \
    $(pkg-config "${libs[@]}" carovel)
  LD_LIBRARY_PATH=$(pkg-config --variable=libdir carovel) "$work/pc-consumer-c"
fi

step "find_package consumer against the build tree"
cmake -S "$consumer" -B "$work/build-tree" "${generator[@]}" -DCMAKE_CXX_COMPILER="$cxx" \
  -Dcarovel_DIR:PATH="$build" -DCMAKE_BUILD_TYPE=Release >"$work/build-tree-configure.log"
grep -qx "carovel_DIR:PATH=$build" "$work/build-tree/CMakeCache.txt"
cmake --build "$work/build-tree" >"$work/build-tree-build.log"
"$work/build-tree/consumer" "$version"
step "all consumers ran"
