# Shared part of the MinGW-w64 toolchain files: Debian's cross compilers for
# the triple that the including file sets, in their -posix form (its C++
# runtime has std::thread and std::mutex), the C and C++ runtimes linked in
# statically, and OpenSSL from OPENSSL_ROOT_DIR (scripts/build-openssl-mingw.sh
# makes one).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${VEK4_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VEK4_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${VEK4_MINGW_TRIPLE}-windres)

# Libraries and headers only from the target's own folders; programs (the
# build's tools) from this machine.
set(CMAKE_FIND_ROOT_PATH /usr/${VEK4_MINGW_TRIPLE})
if(OPENSSL_ROOT_DIR)
    list(APPEND CMAKE_FIND_ROOT_PATH ${OPENSSL_ROOT_DIR})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# try_compile projects see the same OpenSSL.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES OPENSSL_ROOT_DIR)

# GCC keeps vector values spilled to the stack with aligned moves, but does
# not align Windows stacks for 32-byte (AVX2) or, on 32-bit Windows, 16-byte
# values; the assembler then writes unaligned moves, which cost nothing on
# aligned data.
set(CMAKE_C_FLAGS_INIT "-Wa,-muse-unaligned-vector-move")
set(CMAKE_CXX_FLAGS_INIT "-Wa,-muse-unaligned-vector-move")

# libgcc, libstdc++ and winpthread go into each DLL and program, so that a
# Windows machine needs none of MinGW's runtime DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")
