# Windows x86 with mingw-w64, for the libraries that also ship in 32 bits: cmake --preset mingw32
set(VM_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
