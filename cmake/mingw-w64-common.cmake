# Shared by cmake/toolchain-*-w64-mingw32.cmake, which set QUILLUP_MINGW_TRIPLE
# and QUILLUP_WIN_ARCH first. Debian's MinGW-w64 compilers come in a win32 and
# a posix thread model; only the posix one has std::thread and std::mutex.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${QUILLUP_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QUILLUP_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${QUILLUP_MINGW_TRIPLE}-windres)
# CMake cannot derive the binutils prefix from a "-posix" compiler name and
# would fall back to the host's ar, which writes no symbol index for COFF.
set(CMAKE_AR ${QUILLUP_MINGW_TRIPLE}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${QUILLUP_MINGW_TRIPLE}-ranlib CACHE FILEPATH "")

# The dependencies scripts/build-windows builds; another prefix with the same
# layout can stand in through -DQUILLUP_WIN_PREFIX or the environment.
if(NOT QUILLUP_WIN_PREFIX)
  if(DEFINED ENV{QUILLUP_WIN_PREFIX})
    set(QUILLUP_WIN_PREFIX $ENV{QUILLUP_WIN_PREFIX})
  else()
    get_filename_component(QUILLUP_WIN_PREFIX
      "${CMAKE_CURRENT_LIST_DIR}/../build-win/${QUILLUP_WIN_ARCH}/prefix" ABSOLUTE)
  endif()
endif()
# try_compile projects read this file again without the cache.
set(ENV{QUILLUP_WIN_PREFIX} ${QUILLUP_WIN_PREFIX})

# Only the prefix is searched, so nothing is picked up from the build host and
# no DLL import library (the MinGW sysroot's libz.dll.a) wins over a static one.
set(CMAKE_FIND_ROOT_PATH ${QUILLUP_WIN_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(OPENSSL_USE_STATIC_LIBS TRUE)
set(ZLIB_USE_STATIC_LIBS TRUE)

# One self-contained exe: libgcc, libstdc++ and winpthread linked in, so no
# MinGW DLL has to ship next to it.
foreach(kind EXE SHARED MODULE)
  set(CMAKE_${kind}_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
endforeach()

# Lets ctest (and gtest_discover_tests) run the test programs under wine.
find_program(QUILLUP_WINE NAMES ${QUILLUP_WINE_NAMES} PATHS /usr/lib/wine NO_DEFAULT_PATH)
if(NOT QUILLUP_WINE)
  find_program(QUILLUP_WINE NAMES ${QUILLUP_WINE_NAMES})
endif()
if(QUILLUP_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QUILLUP_WINE})
endif()
