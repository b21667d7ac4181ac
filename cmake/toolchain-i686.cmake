# Cross toolchain for the 32-bit product: clang for mingw-w64 with lld.
set(SHIMLIST_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-common.cmake)
