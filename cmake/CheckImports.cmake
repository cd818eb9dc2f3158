# cmake -DOBJDUMP=<objdump> -DEXE=<file.exe> -P CheckImports.cmake
cmake_minimum_required(VERSION 3.25)
# Fails unless every DLL in the import table of EXE is one that every
# Windows installation has. A DLL of the toolchain (libstdc++-6.dll,
# libgcc_s_seh-1.dll, libwinpthread-1.dll) or of a library (zlib1.dll,
# libcurl.dll) would make the program fail to start on a player's machine.
set(system_dlls
  advapi32 bcrypt comctl32 comdlg32 crypt32 dbghelp gdi32 gdiplus imm32 iphlpapi
  kernel32 msvcrt netapi32 normaliz ntdll ole32 oleaut32 psapi rpcrt4 secur32
  setupapi shell32 shlwapi ucrtbase user32 userenv uxtheme version winhttp
  wininet winmm wintrust wldap32 ws2_32
  # The imaging component (PNG decoding for the window), part of Windows
  # since Vista.
  windowscodecs)
execute_process(COMMAND ${OBJDUMP} -p ${EXE} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${EXE} failed (${rc})")
endif()
string(REGEX MATCHALL "DLL Name: [^\r\n]+" lines "${dump}")
if(NOT lines)
  message(FATAL_ERROR "${EXE}: no import table found")
endif()
set(foreign "")
foreach(line ${lines})
  string(REGEX REPLACE "^DLL Name: *" "" dll "${line}")
  string(STRIP "${dll}" dll)
  string(TOLOWER "${dll}" name)
  string(REGEX REPLACE "\\.dll$" "" name "${name}")
  message(STATUS "imports ${dll}")
  # The API sets (api-ms-win-crt-*, api-ms-win-core-*) are the system's own.
  if(NOT name IN_LIST system_dlls AND NOT name MATCHES "^api-ms-win-")
    list(APPEND foreign "${dll}")
  endif()
endforeach()
if(foreign)
  message(FATAL_ERROR "${EXE} needs DLLs that are not part of Windows: ${foreign}")
endif()
