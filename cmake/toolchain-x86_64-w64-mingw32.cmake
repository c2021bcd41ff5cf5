# 64-bit Windows: cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-x86_64-w64-mingw32.cmake
# Dependencies come from build-win/x64/prefix (scripts/build-windows --arch x64).
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(QUILLUP_MINGW_TRIPLE x86_64-w64-mingw32)
set(QUILLUP_WIN_ARCH x64)
set(QUILLUP_WINE_NAMES wine64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
