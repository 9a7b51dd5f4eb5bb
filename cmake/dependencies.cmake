# Called libraries: zlib, libbz2, WavPack, libzstd and the LZMA SDK's C
# decoders, gathered in one interface target. The Windows builds decode zstd
# with the SDK's decoder instead of libzstd (ZORVEX_ZSTD_SDK). A mingw-w64 cross-build finds bzip2,
# WavPack and GoogleTest in third_party/mingw/<triplet> (scripts/setup-windows.sh)
# through the toolchain file's search roots, and links them statically.
add_library(zorvex_deps INTERFACE)

# Natively, libraries link statically where the system ships them so: the
# zorvex tool runs once per archive, and each shared library adds to the
# dynamic linker's work at every start.
if(NOT WIN32)
    list(PREPEND CMAKE_FIND_LIBRARY_SUFFIXES .a)
endif()

find_package(ZLIB REQUIRED)
find_package(BZip2 REQUIRED)
find_path(WAVPACK_INCLUDE_DIR wavpack/wavpack.h REQUIRED)
find_library(WAVPACK_LIBRARY NAMES wavpack REQUIRED)
target_include_directories(zorvex_deps INTERFACE ${WAVPACK_INCLUDE_DIR})
target_link_libraries(zorvex_deps INTERFACE ZLIB::ZLIB BZip2::BZip2 ${WAVPACK_LIBRARY})

# ISA-L's inflate decodes Deflate several times faster than zlib's; where it is
# not available (the Windows cross-builds) the "deflate" codec uses zlib.
if(NOT WIN32)
    find_path(ISAL_INCLUDE_DIR isa-l/igzip_lib.h)
    find_library(ISAL_LIBRARY NAMES isal)
endif()
if(ISAL_INCLUDE_DIR AND ISAL_LIBRARY)
    target_include_directories(zorvex_deps INTERFACE ${ISAL_INCLUDE_DIR})
    target_compile_definitions(zorvex_deps INTERFACE ZORVEX_HAVE_ISAL)
    target_link_libraries(zorvex_deps INTERFACE ${ISAL_LIBRARY})
endif()

set(LZMA_SDK_DIR "${ZORVEX_THIRD_PARTY}/lzma-sdk/C")
if(NOT EXISTS "${LZMA_SDK_DIR}/LzmaDec.c")
    message(FATAL_ERROR "LZMA SDK not found in ${LZMA_SDK_DIR}: run scripts/setup.sh")
endif()
add_library(lzmasdk STATIC
    ${LZMA_SDK_DIR}/LzmaDec.c ${LZMA_SDK_DIR}/Lzma2Dec.c
    ${LZMA_SDK_DIR}/Bra.c ${LZMA_SDK_DIR}/Bra86.c ${LZMA_SDK_DIR}/BraIA64.c ${LZMA_SDK_DIR}/Delta.c
    ${LZMA_SDK_DIR}/Ppmd7.c ${LZMA_SDK_DIR}/Ppmd7Dec.c ${LZMA_SDK_DIR}/Ppmd7aDec.c ${LZMA_SDK_DIR}/Ppmd8.c ${LZMA_SDK_DIR}/Ppmd8Dec.c
    ${LZMA_SDK_DIR}/XzCrc64.c ${LZMA_SDK_DIR}/XzCrc64Opt.c ${LZMA_SDK_DIR}/Sha256.c ${LZMA_SDK_DIR}/Sha256Opt.c
    ${LZMA_SDK_DIR}/Xz.c ${LZMA_SDK_DIR}/XzDec.c ${LZMA_SDK_DIR}/7zCrc.c ${LZMA_SDK_DIR}/7zCrcOpt.c ${LZMA_SDK_DIR}/Alloc.c
    ${LZMA_SDK_DIR}/Blake2s.c
    ${LZMA_SDK_DIR}/Aes.c ${LZMA_SDK_DIR}/AesOpt.c ${LZMA_SDK_DIR}/Sha1.c ${LZMA_SDK_DIR}/Sha1Opt.c
    ${LZMA_SDK_DIR}/CpuArch.c)
target_include_directories(lzmasdk SYSTEM PUBLIC ${LZMA_SDK_DIR})
# -O2 rather than the Release -O3: the LZMA decoder's big loop runs faster so.
target_compile_options(lzmasdk PRIVATE -w $<$<CONFIG:Release>:-O2>)
# The decoder copies a match byte by byte, as it must when the match overlaps
# its own output. Vectorised, with the run-time overlap check -O2 alone does
# not allow, long matches of repetitive data are copied about twice as fast.
set_source_files_properties(${LZMA_SDK_DIR}/LzmaDec.c PROPERTIES COMPILE_OPTIONS
    "$<$<AND:$<CONFIG:Release>,$<C_COMPILER_ID:GNU>>:-ftree-loop-vectorize;-fvect-cost-model=dynamic>")
# The xz unpacker decodes a stream front to back on the caller's thread; its
# threaded decoder is not used.
set_source_files_properties(${LZMA_SDK_DIR}/XzDec.c PROPERTIES COMPILE_DEFINITIONS Z7_ST)
# The SDK reads and writes unaligned words on purpose on CPUs that allow it.
if(ZORVEX_SANITIZE OR ZORVEX_FUZZ)
    target_compile_options(lzmasdk PRIVATE -fno-sanitize=alignment)
endif()
if(ZORVEX_ZSTD_SDK)
    target_sources(lzmasdk PRIVATE ${LZMA_SDK_DIR}/ZstdDec.c ${LZMA_SDK_DIR}/Xxh64.c)
else()
    find_path(ZSTD_INCLUDE_DIR zstd.h REQUIRED)
    find_library(ZSTD_LIBRARY NAMES zstd REQUIRED)
    target_include_directories(zorvex_deps INTERFACE ${ZSTD_INCLUDE_DIR})
    target_link_libraries(zorvex_deps INTERFACE ${ZSTD_LIBRARY})
endif()
target_link_libraries(zorvex_deps INTERFACE lzmasdk)

if(WIN32)
    # Wide-character Windows APIs throughout; Windows 7 is the oldest target.
    target_compile_definitions(zorvex_deps INTERFACE UNICODE _UNICODE _WIN32_WINNT=0x0601 WINVER=0x0601)
    target_link_libraries(zorvex_deps INTERFACE shlwapi)
endif()
