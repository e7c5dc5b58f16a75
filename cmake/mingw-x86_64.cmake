# Cross-builds the 64-bit Windows programs with mingw-w64; they run under Wine.
set(MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
