#!/usr/bin/env bash
# Cross-builds the libraries the Windows build links statically: bzip2 and
# WavPack from Debian's source packages for x86-64 and 32-bit x86, and
# GoogleTest (Debian's /usr/src/googletest) for x86-64. Everything lands in
# third_party/mingw/<triplet>/{include,lib}. Idempotent: a library whose
# archive is present is not built again.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
src=$root/third_party/src
mkdir -p "$src"

fetch() {  # fetch PACKAGE: unpacks Debian's source package into $src/PACKAGE
    local pkg=$1
    [[ -d "$src/$pkg" ]] && return
    (cd "$src" && apt-get source -qq --download-only "$pkg" >/dev/null 2>&1)
    local dsc
    dsc=$(ls "$src/${pkg}"_*.dsc | head -n 1)
    rm -rf "$src/$pkg.tmp"
    dpkg-source --no-check -x "$dsc" "$src/$pkg.tmp" >/dev/null
    mv "$src/$pkg.tmp" "$src/$pkg"
}

build_bzip2() {  # build_bzip2 TRIPLET PREFIX
    local triplet=$1 prefix=$2
    [[ -f "$prefix/lib/libbz2.a" ]] && return
    fetch bzip2
    local work
    work=$(mktemp -d)
    local f
    for f in blocksort huffman crctable randtable compress decompress bzlib; do
        "$triplet-gcc" -O2 -D_FILE_OFFSET_BITS=64 -c "$src/bzip2/$f.c" -o "$work/$f.o"
    done
    mkdir -p "$prefix/lib" "$prefix/include"
    "$triplet-ar" rcs "$prefix/lib/libbz2.a" "$work"/*.o
    cp "$src/bzip2/bzlib.h" "$prefix/include/"
    rm -rf "$work"
}

build_wavpack() {  # build_wavpack TRIPLET PREFIX TOOLCHAIN
    local triplet=$1 prefix=$2 toolchain=$3
    [[ -f "$prefix/lib/libwavpack.a" ]] && return
    fetch wavpack
    local work
    work=$(mktemp -d)
    cmake -S "$src/wavpack" -B "$work" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" -DBUILD_SHARED_LIBS=OFF \
        -DWAVPACK_BUILD_PROGRAMS=OFF -DWAVPACK_BUILD_DOCS=OFF -DBUILD_TESTING=OFF \
        -DWAVPACK_BUILD_COOLEDIT_PLUGIN=OFF -DWAVPACK_BUILD_WINAMP_PLUGIN=OFF \
        -DWAVPACK_ENABLE_LIBCRYPTO=OFF -DWAVPACK_INSTALL_CMAKE_MODULE=OFF \
        -DWAVPACK_INSTALL_PKGCONFIG_MODULE=OFF >/dev/null
    cmake --build "$work" -j2 >/dev/null
    cmake --install "$work" >/dev/null
    rm -rf "$work"
}

build_gtest() {  # build_gtest PREFIX TOOLCHAIN
    local prefix=$1 toolchain=$2
    [[ -f "$prefix/lib/libgtest.a" ]] && return
    local work
    work=$(mktemp -d)
    cmake -S /usr/src/googletest -B "$work" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" -DBUILD_GMOCK=OFF \
        -Dgtest_disable_pthreads=ON -DINSTALL_GTEST=ON >/dev/null
    cmake --build "$work" -j2 >/dev/null
    cmake --install "$work" >/dev/null
    rm -rf "$work"
}

# CLI11 is header-only: Debian's headers and package files are copied beside
# the cross-built libraries, so that the cross-build never searches /usr.
copy_cli11() {  # copy_cli11 PREFIX
    local prefix=$1
    [[ -f "$prefix/share/cmake/CLI11/CLI11Config.cmake" ]] && return
    mkdir -p "$prefix/include" "$prefix/share/cmake"
    cp -r /usr/include/CLI "$prefix/include/"
    cp -r /usr/share/cmake/CLI11 "$prefix/share/cmake/"
}

for triplet in x86_64-w64-mingw32 i686-w64-mingw32; do
    prefix=$root/third_party/mingw/$triplet
    case $triplet in
        x86_64-*) toolchain=$root/cmake/mingw-x86_64.cmake ;;
        *) toolchain=$root/cmake/mingw-i686.cmake ;;
    esac
    build_bzip2 "$triplet" "$prefix"
    build_wavpack "$triplet" "$prefix" "$toolchain"
    copy_cli11 "$prefix"
    [[ $triplet == x86_64-* ]] && build_gtest "$prefix" "$toolchain"
done
exit 0
