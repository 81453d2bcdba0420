# The deliverables: 32-bit Windows programs (PE32 i386).
set(ZIVO_MINGW_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-common.cmake)
# Tests run as i686 programs under 32-bit Wine (the 32-bit lane where the machine runs no
# 32-bit code).
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine32.sh)
