#!/usr/bin/env bash
# Installs what the native build, the tests and the benchmarks need, and fetches
# the LZMA SDK's C decoders into third_party/. Idempotent; quick when all is there.
#   scripts/setup.sh            native build and tests
#   scripts/setup.sh --windows  also the mingw-w64 cross toolchain, Wine and the
#                               cross-built libraries (scripts/setup-windows.sh)
set -euo pipefail
cd "$(dirname "$0")/.."

native_packages=(
    build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev
    libgtest-dev libgmock-dev libcli11-dev
    zlib1g-dev libbz2-dev libwavpack-dev libzstd-dev libisal-dev
    7zip zip xz-utils bzip2 gzip lzip zstd pigz wavpack libarchive-tools python3 hyperfine time isal lbzip2
    libjpeg-turbo-progs unar
    libfuse3-dev fuse3 archivemount
    dpkg-dev
)
windows_packages=(mingw-w64 libz-mingw-w64-dev wine64 wine googletest xvfb xauth)

want=("${native_packages[@]}")
[[ "${1:-}" == --windows ]] && want+=("${windows_packages[@]}")

missing=()
for p in "${want[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

# Source packages come from the machine's own apt sources with deb-src enabled.
enable_deb_src() {
    local f
    for f in /etc/apt/sources.list.d/*.sources; do
        [[ -e "$f" ]] || continue
        grep -q '^Types:.*deb-src' "$f" || sed -i 's/^Types: deb$/Types: deb deb-src/' "$f"
    done
    if [[ -f /etc/apt/sources.list ]] && grep -q '^deb ' /etc/apt/sources.list &&
        ! grep -q '^deb-src ' /etc/apt/sources.list; then
        sed -n 's/^deb /deb-src /p' /etc/apt/sources.list >/etc/apt/sources.list.d/zorvex-deb-src.list
    fi
}

need_update=0
[[ ${#missing[@]} -gt 0 ]] && need_update=1
[[ -d third_party/lzma-sdk/C ]] || need_update=1
if [[ $need_update == 1 ]]; then
    enable_deb_src
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    [[ ${#missing[@]} -gt 0 ]] && apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# The LZMA SDK's C decoders, from Debian's 7zip source package.
if [[ ! -d third_party/lzma-sdk/C ]]; then
    mkdir -p third_party/src
    (cd third_party/src && apt-get source -qq --download-only 7zip >/dev/null 2>&1)
    dsc=$(ls third_party/src/7zip_*.dsc | head -n 1)
    rm -rf third_party/src/7zip-unpacked
    dpkg-source --no-check -x "$dsc" third_party/src/7zip-unpacked >/dev/null
    mkdir -p third_party/lzma-sdk
    cp -r third_party/src/7zip-unpacked/C third_party/lzma-sdk/C
fi

if [[ "${1:-}" == --windows ]]; then
    bash scripts/setup-windows.sh
fi
