# Included after project() by cmake/mingw-w64-x86_64.cmake: the platform
# file prefers import libraries (.dll.a), so a library found by name (zlib
# through pkg-config's -lz) would bring its DLL along. Static ones only; the
# system's import libraries are plain .a files too.
set(CMAKE_FIND_LIBRARY_SUFFIXES .a)
