#!/usr/bin/env bash
# Builds the parent project in subproject/, which takes carovel in with
# add_subdirectory, twice: once with nothing set (carovel must be shared, the
# parent's own library static, the parent's build type untouched, and carovel
# must install nothing) and once with the parent's BUILD_SHARED_LIBS=OFF
# (carovel follows it and is static). Each time the consumer program runs and
# checks its mix and carovel's version.
#
# Both parents use one build directory: the second starts from a fresh cache
# (as a new build directory would) but keeps the first one's build outputs.
# carovel compiles its code with the same commands whether the library is
# shared or static, so the second build only archives the objects and builds
# the parent's own files again; any command that differs is rebuilt.
#
# Usage: subproject-test.sh CAROVEL_SOURCE_DIR WORK_DIR CXX VERSION WERROR(0|1)
set -euo pipefail
source_dir=$1 work=$2 cxx=$3 version=$4 werror=$5
parent=$(cd "$(dirname "$0")" && pwd)/subproject

rm -rf "$work"
mkdir -p "$work"
step() { echo "--- $*"; }

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
# The parent starts with no build type of its own, whatever the environment says.
unset CMAKE_BUILD_TYPE

build_dir=$work/build
configure() {  # configure NAME [cmake args...]: a fresh cache in build_dir
  local name=$1
  shift
  # What `cmake --fresh` removes; the build outputs and ninja's logs stay.
  rm -rf "$build_dir/CMakeCache.txt" "$build_dir/CMakeFiles"
  cmake -S "$parent" -B "$build_dir" "${generator[@]}" -DCMAKE_CXX_COMPILER="$cxx" \
    -DCAROVEL_SOURCE_DIR="$source_dir" -DCAROVEL_WERROR="$werror" "$@" \
    >"$work/$name-configure.log" 2>&1 || { cat "$work/$name-configure.log" >&2; return 1; }
  grep "^-- parent:" "$work/$name-configure.log"
}
build() {  # build NAME
  cmake --build "$build_dir" -j 2 >"$work/$1-build.log" 2>&1 ||
    { cat "$work/$1-build.log" >&2; return 1; }
}

step "parent with no settings: shared carovel, static parent library"
configure default -DEXPECT_CAROVEL_TYPE=SHARED_LIBRARY
grep -qx "CMAKE_BUILD_TYPE:STRING=" "$build_dir/CMakeCache.txt"
if grep "^BUILD_SHARED_LIBS:" "$build_dir/CMakeCache.txt"; then
  echo "error: carovel put BUILD_SHARED_LIBS into the parent's cache" >&2
  exit 1
fi
build default
"$build_dir/consumer" "$version"

step "parent install: only the parent's program"
cmake --install "$build_dir" --prefix "$work/prefix" >"$work/install.log"
installed=$(cd "$work/prefix" && find . -type f -o -type l | sort)
if [ "$installed" != "./bin/consumer" ]; then
  echo "error: expected only ./bin/consumer in the parent's install, got:" >&2
  echo "$installed" >&2
  exit 1
fi

step "parent with BUILD_SHARED_LIBS=OFF: static carovel"
# The shared library goes, so a consumer that still needed it would not run.
rm -f "$build_dir"/carovel/src/libcarovel.so*
configure static -DBUILD_SHARED_LIBS=OFF -DEXPECT_CAROVEL_TYPE=STATIC_LIBRARY
build static
"$build_dir/consumer" "$version"
step "both parents built and ran"
