# Cross-builds the 32-bit Windows programs with mingw-w64; they run under Wine.
set(MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
