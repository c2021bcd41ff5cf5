# 32-bit Windows: cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686-w64-mingw32.cmake
# Dependencies come from build-win/x86/prefix (scripts/build-windows --arch x86).
set(CMAKE_SYSTEM_PROCESSOR x86)
set(QUILLUP_MINGW_TRIPLE i686-w64-mingw32)
set(QUILLUP_WIN_ARCH x86)
# 32-bit programs need Debian's wine32 (i386); wine64 alone cannot run them.
set(QUILLUP_WINE_NAMES wine wine32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
