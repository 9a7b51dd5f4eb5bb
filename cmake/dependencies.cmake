# Called libraries: zlib, libbz2, WavPack and the LZMA SDK's C decoders,
# gathered in one interface target.
add_library(zorvex_deps INTERFACE)

find_package(ZLIB REQUIRED)
find_package(BZip2 REQUIRED)
find_path(WAVPACK_INCLUDE_DIR wavpack/wavpack.h REQUIRED)
find_library(WAVPACK_LIBRARY NAMES wavpack REQUIRED)
target_include_directories(zorvex_deps INTERFACE ${WAVPACK_INCLUDE_DIR})
target_link_libraries(zorvex_deps INTERFACE ZLIB::ZLIB BZip2::BZip2 ${WAVPACK_LIBRARY})

set(LZMA_SDK_DIR "${ZORVEX_THIRD_PARTY}/lzma-sdk/C")
if(NOT EXISTS "${LZMA_SDK_DIR}/LzmaDec.c")
    message(FATAL_ERROR "LZMA SDK not found in ${LZMA_SDK_DIR}: run scripts/setup.sh")
endif()
add_library(lzmasdk STATIC
    ${LZMA_SDK_DIR}/LzmaDec.c ${LZMA_SDK_DIR}/Lzma2Dec.c
    ${LZMA_SDK_DIR}/Bra.c ${LZMA_SDK_DIR}/Bra86.c ${LZMA_SDK_DIR}/BraIA64.c ${LZMA_SDK_DIR}/Delta.c
    ${LZMA_SDK_DIR}/Ppmd7.c ${LZMA_SDK_DIR}/Ppmd7Dec.c ${LZMA_SDK_DIR}/Ppmd8.c ${LZMA_SDK_DIR}/Ppmd8Dec.c
    ${LZMA_SDK_DIR}/CpuArch.c)
target_include_directories(lzmasdk SYSTEM PUBLIC ${LZMA_SDK_DIR})
# The SDK reads little-endian words at any address on x86 on purpose (Bra86.c).
target_compile_options(lzmasdk PRIVATE -w -fno-sanitize=alignment)
target_link_libraries(zorvex_deps INTERFACE lzmasdk)
