# The deliverables: 32-bit Windows programs (PE32 i386).
set(ZIVO_MINGW_ARCH i686)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-common.cmake)
