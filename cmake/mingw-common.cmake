# Shared part of the mingw-w64 toolchain files: compilers, the search roots
# (the system's mingw sysroot and our cross-built libraries) and static
# linking, so that the programs and the DLL need only system DLLs.
set(CMAKE_C_COMPILER ${ZORVEX_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZORVEX_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${ZORVEX_MINGW_TRIPLET}-windres)

get_filename_component(ZORVEX_MINGW_PREFIX
    "${CMAKE_CURRENT_LIST_DIR}/../third_party/mingw/${ZORVEX_MINGW_TRIPLET}" ABSOLUTE)
set(CMAKE_FIND_ROOT_PATH /usr/${ZORVEX_MINGW_TRIPLET} ${ZORVEX_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Static archives only: zlib's import library must not win over libz.a.
set(CMAKE_FIND_LIBRARY_SUFFIXES .a)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
# FindZLIB would take the import library libz.dll.a.
set(ZLIB_LIBRARY /usr/${ZORVEX_MINGW_TRIPLET}/lib/libz.a CACHE FILEPATH "Static zlib of the mingw-w64 sysroot")
