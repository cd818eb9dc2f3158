# Cross build for 64-bit Windows with Debian's MinGW-w64 (posix threads, so
# that std::jthread and std::stop_token exist). Used by the windows presets
# and by scripts/windows-deps for the third-party libraries.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(GL_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${GL_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${GL_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${GL_MINGW_TRIPLE}-windres)
set(CMAKE_AR ${GL_MINGW_TRIPLE}-gcc-ar-posix CACHE FILEPATH "")
set(CMAKE_RANLIB ${GL_MINGW_TRIPLE}-gcc-ranlib-posix CACHE FILEPATH "")

# The .exe files must need nothing but system DLLs: libgcc, libstdc++,
# winpthread and zlib are all linked in.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
# FindZLIB would take libz.dll.a, the import library of zlib1.dll.
set(ZLIB_USE_STATIC_LIBS ON)
set(CMAKE_PROJECT_INCLUDE ${CMAKE_CURRENT_LIST_DIR}/mingw-w64-static-libs.cmake)

# The third-party libraries built by scripts/windows-deps: GL_MINGW_DEPS
# (cache or environment) names the folder it printed; without it, the
# script's pointer to its newest build.
if(NOT GL_MINGW_DEPS)
  if(DEFINED ENV{GL_MINGW_DEPS} AND NOT "$ENV{GL_MINGW_DEPS}" STREQUAL "")
    set(GL_MINGW_DEPS "$ENV{GL_MINGW_DEPS}")
  elseif(DEFINED ENV{XDG_CACHE_HOME} AND NOT "$ENV{XDG_CACHE_HOME}" STREQUAL "")
    set(GL_MINGW_DEPS "$ENV{XDG_CACHE_HOME}/gamelauncher/mingw-deps/current")
  else()
    set(GL_MINGW_DEPS "$ENV{HOME}/.cache/gamelauncher/mingw-deps/current")
  endif()
endif()
set(GL_MINGW_DEPS "${GL_MINGW_DEPS}" CACHE PATH "Third-party libraries built by scripts/windows-deps")
# try_compile projects re-read this file without the cache: pass it on.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES GL_MINGW_DEPS)

set(CMAKE_FIND_ROOT_PATH /usr/${GL_MINGW_TRIPLE} ${GL_MINGW_DEPS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
list(APPEND CMAKE_PREFIX_PATH ${GL_MINGW_DEPS})

# pkg-config (minizip) sees only the Windows libraries.
set(ENV{PKG_CONFIG_LIBDIR} "${GL_MINGW_DEPS}/lib/pkgconfig:/usr/${GL_MINGW_TRIPLE}/lib/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

# ctest runs the test programs under Wine.
find_program(GL_WINE NAMES wine64 wine PATHS /usr/lib/wine)
if(GL_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${GL_WINE})
endif()
