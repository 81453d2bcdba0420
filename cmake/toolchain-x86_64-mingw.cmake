# The same Windows code as 64-bit programs, run under 64-bit Wine by the tests:
# this machine kind runs no 32-bit user code at all.
set(ZIVO_MINGW_ARCH x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-common.cmake)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-exec.sh)
