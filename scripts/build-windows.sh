#!/usr/bin/env bash
# Cross-builds carovel for 64-bit Windows: carovel.dll with its import library,
# the test programs and the DLL consumer check, ready for
# `ctest --test-dir <build-dir>`, which runs them under wine64.
#
# Usage: scripts/build-windows.sh [build-dir [cmake-arguments...]]
#        (default build-dir: build-windows; e.g. -DCAROVEL_WERROR=ON)
#
# It installs what is missing from Debian's packages (the mingw-w64 x86_64
# compilers with the posix thread model, wine64, and dpkg-dev for unpacking
# source packages), then builds into <build-dir>/deps, once:
#  - speexdsp's resampler from Debian's speexdsp source package, as a static
#    library with a pkg-config file, and libsoxr from Debian's libsoxr source
#    package, as a DLL of its own (libsoxr.dll, LGPL-2.1+) with its import
#    library and pkg-config file. The deb-src list they need is private to
#    the build directory; the machine's apt configuration is left alone.
#  - GoogleTest from the sources libgtest-dev ships in /usr/src/googletest.
# Delete <build-dir>/deps to build them again.
set -euo pipefail
cd "$(dirname "$0")/.."
src_dir=$PWD
build=${1:-build-windows}
shift || true
jobs=${JOBS:-2}
triple=x86_64-w64-mingw32
toolchain=$src_dir/cmake/toolchains/mingw-w64-x86_64.cmake

mkdir -p "$build"
build=$(cd "$build" && pwd)
deps=$build/deps              # what the Windows build finds: headers, libs, packages
work=$build/deps-build        # downloads and intermediate builds
mkdir -p "$deps" "$work"

started=$SECONDS
step() { echo "--- build-windows: $* (at $((SECONDS - started)) s)"; }

step "packages"
scripts/install-deps.sh g++-mingw-w64-x86-64-posix wine64 dpkg-dev

run_wine=$src_dir/cmake/toolchains/wine64-run.sh

# Fetches Debian's source package $1 into $work/$1 through a deb-src list of
# the build's own.
apt_ready=
fetch_source() {
  apt_dir=$work/apt
  mkdir -p "$apt_dir/sources" "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial"
  # The deb-src entry mirrors the machine's own entry for its release.
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")
  mirror=$(apt-get indextargets --format '$(RELEASE) $(REPO_URI)' 'Created-By: Packages' 2>/dev/null |
    awk -v r="$codename" '$1 == r { print $2; exit }')
  mirror=${mirror:-http://deb.debian.org/debian/}
  cat >"$apt_dir/sources/deb-src.sources" <<EOF
Types: deb-src
URIs: $mirror
Suites: $codename
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
  apt_opts=(-q -o "Dir::Etc::SourceList=/dev/null" -o "Dir::Etc::SourceParts=$apt_dir/sources"
    -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache"
    -o "Debug::NoLocking=1" -o "APT::Sandbox::User=$(id -un)")
  if [ -z "$apt_ready" ]; then
    apt-get "${apt_opts[@]}" update
    apt_ready=1
  fi
  rm -rf "${work:?}/$1"
  mkdir -p "$work/$1"
  (cd "$work/$1" && apt-get "${apt_opts[@]}" source "$1")
}

# --- speexdsp: the resampler alone, compiled as Debian's amd64 build
# configures it (floating point, SSE and SSE2).
if [ ! -f "$deps/lib/pkgconfig/speexdsp.pc" ]; then
  step "speexdsp from Debian's source package"
  fetch_source speexdsp
  sx=$(dirname "$(dirname "$(ls -d "$work"/speexdsp/speexdsp-*/libspeexdsp/resample.c)")")
  version=${sx##*/speexdsp-}

  mkdir -p "$deps/include/speex" "$deps/lib/pkgconfig" "$work/speexdsp/obj"
  cp "$sx/include/speex/speex_resampler.h" "$sx/include/speex/speexdsp_types.h" \
    "$deps/include/speex/"
  cat >"$deps/include/speex/speexdsp_config_types.h" <<'EOF'
#ifndef __SPEEX_TYPES_H__
#define __SPEEX_TYPES_H__

#include <stdint.h>

typedef int16_t spx_int16_t;
typedef uint16_t spx_uint16_t;
typedef int32_t spx_int32_t;
typedef uint32_t spx_uint32_t;

#endif
EOF
  "$triple-gcc-posix" -O2 -DFLOATING_POINT -DUSE_SSE -DUSE_SSE2 -DEXPORT= \
    -I"$deps/include" -I"$sx/libspeexdsp" \
    -c "$sx/libspeexdsp/resample.c" -o "$work/speexdsp/obj/resample.o"
  rm -f "$deps/lib/libspeexdsp.a"
  "$triple-ar" rcs "$deps/lib/libspeexdsp.a" "$work/speexdsp/obj/resample.o"
  cat >"$deps/lib/pkgconfig/speexdsp.pc" <<EOF
prefix=$deps
libdir=\${prefix}/lib
includedir=\${prefix}/include

Name: speexdsp
Description: speexdsp's resampler, built for Windows from Debian's source package
Version: $version
Libs: -L\${libdir} -lspeexdsp
Cflags: -I\${includedir}
EOF
fi

# --- libsoxr: the library alone, as a DLL (no OpenMP, no tests or examples,
# no libsamplerate-compatible interface). The GCC runtime is linked into it
# (the toolchain's -static), so it imports only DLLs that come with Windows.
if [ ! -f "$deps/lib/pkgconfig/soxr.pc" ]; then
  step "libsoxr from Debian's source package"
  fetch_source libsoxr
  so=$(dirname "$(ls -d "$work"/libsoxr/libsoxr-*/src/soxr.h)")
  so=$(dirname "$so")
  cmake -S "$so" -B "$work/libsoxr/build" -G Ninja -Wno-dev \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$deps" -DBUILD_SHARED_LIBS=ON -DWITH_OPENMP=OFF \
    -DBUILD_TESTS=OFF -DBUILD_EXAMPLES=OFF -DWITH_LSR_BINDINGS=OFF
  cmake --build "$work/libsoxr/build" -j "$jobs"
  cmake --install "$work/libsoxr/build"
  version=${so##*/libsoxr-}
  mkdir -p "$deps/lib/pkgconfig"
  cat >"$deps/lib/pkgconfig/soxr.pc" <<EOF
prefix=$deps
libdir=\${prefix}/lib
includedir=\${prefix}/include

Name: soxr
Description: libsoxr, built for Windows from Debian's source package (LGPL-2.1+)
Version: $version
Libs: -L\${libdir} -lsoxr
Cflags: -I\${includedir}
EOF
fi

# --- GoogleTest, rebuilt when libgtest-dev changes version.
gtest_version=$(dpkg-query -W -f='${Version}' libgtest-dev)
if [ "$(cat "$deps/gtest.version" 2>/dev/null)" != "$gtest_version" ]; then
  step "GoogleTest $gtest_version from /usr/src/googletest"
  rm -rf "$work/googletest"
  cmake -S /usr/src/googletest -B "$work/googletest" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$deps" -DBUILD_GMOCK=OFF
  cmake --build "$work/googletest" -j "$jobs"
  cmake --install "$work/googletest"
  echo "$gtest_version" >"$deps/gtest.version"
fi

# The first start of wine creates its prefix, which takes a while; do it here
# rather than inside a test's time limit.
step "wine prefix"
"$run_wine" "$build/wineprefix" cmd /c ver

# Optimised as the Linux build is (-O2), but without debug information, which
# makes the statically linked test programs three times larger and their
# compilation slower. BUILD_TYPE=RelWithDebInfo brings it back.
step "carovel"
cmake -S "$src_dir" -B "$build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCAROVEL_WINDOWS_DEPS="$deps" \
  -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-Release}" \
  -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" \
  -DCAROVEL_BUILD_TOOLS=OFF -DCAROVEL_BUILD_BENCH=OFF -DCAROVEL_BUILD_FUZZ=OFF "$@"
cmake --build "$build" -j "$jobs"
step "done"
