# Cross toolchain for the 64-bit build (the test vehicle): clang for mingw-w64 with lld.
set(SHIMLIST_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-common.cmake)
