# 32-bit Windows with MinGW-w64. A 64-bit Linux kernel without 32-bit
# support cannot run what this builds, so its tests run in the x86_64 build.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(VEK4_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
