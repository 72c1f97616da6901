# 64-bit Windows with MinGW-w64. Programs built with it run here under Wine
# (scripts/wine-run.sh), which is also how CTest runs the tests.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(VEK4_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-run.sh)
