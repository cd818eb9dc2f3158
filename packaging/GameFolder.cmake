# What a game ships next to its own files, and nothing else: the program, its
# crash sender (crash reporting stays off without it), the service addresses
# (launcher.ini) and the program's own version (gamelauncher.db, reported in
# the start event). The program reads all of them from its own folder, so the
# tree is flat:
#
#   cmake --install build/release --prefix "<game folder>"
#   cpack -G TGZ   (in build/release: the same tree in one archive, no
#                   top folder, to unpack into the game folder; on Windows
#                   cpack -G ZIP in build/windows)
#
# Included by the top-level CMakeLists.txt once both programs are defined.

# Up to four base URLs of the update service, slots 0 to 3 of launcher.ini.
set(GL_UPDATE_SERVICE_URLS "https://update.keltora.example/" CACHE STRING
    "Base URLs of the update service written into the installed launcher.ini (a list of 1 to 4, each ending with /)")

# The program appends the request path to a base URL as it stands, reads it
# into 1024 bytes and fetches nothing but http and https: anything else
# would only show up as a failed check on the players' machines.
list(LENGTH GL_UPDATE_SERVICE_URLS gl_url_count)
if(gl_url_count LESS 1 OR gl_url_count GREATER 4)
  message(FATAL_ERROR "GL_UPDATE_SERVICE_URLS needs 1 to 4 base URLs, not ${gl_url_count}")
endif()
set(gl_server_lines "")
set(gl_slot 0)
foreach(url IN LISTS GL_UPDATE_SERVICE_URLS)
  string(LENGTH "${url}" gl_url_length)
  if(NOT url MATCHES "^https?://[^ \t\r\n\"';]+/$" OR gl_url_length GREATER 1023)
    message(FATAL_ERROR "GL_UPDATE_SERVICE_URLS: \"${url}\" is not an http:// or https:// base URL "
                        "ending with / (no blanks or quotes, at most 1023 characters)")
  endif()
  string(APPEND gl_server_lines "SERVER_UPGRADE_${gl_slot}=${url}\n")
  math(EXPR gl_slot "${gl_slot} + 1")
endforeach()
string(STRIP "${gl_server_lines}" gl_server_lines)
gl_warn_placeholders(GL_UPDATE_SERVICE_URLS)

set(gl_dist ${CMAKE_BINARY_DIR}/game-folder)
configure_file(${CMAKE_CURRENT_LIST_DIR}/launcher.ini.in ${gl_dist}/launcher.ini @ONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/gamelauncher.db.in ${gl_dist}/gamelauncher.db @ONLY)

# The Windows build lays out the same tree with gamelauncher.exe and
# crashsender.exe, packed as a ZIP: `cpack -G ZIP`.
install(TARGETS gamelauncher crashsender RUNTIME DESTINATION .)
install(FILES ${gl_dist}/launcher.ini ${gl_dist}/gamelauncher.db DESTINATION .)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
else()
  set(CPACK_GENERATOR TGZ)
endif()
set(CPACK_PACKAGE_NAME gamelauncher)
set(CPACK_PACKAGE_VENDOR "${gl_identity_src_VENDOR}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Game-launcher bootstrapper for a game's folder")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME "gamelauncher-${PROJECT_VERSION}-${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR}")
# The archive is unpacked into the game folder itself.
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/CPackProjectConfig.cmake)
set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "/build/" "/\\\\.git" "/\\\\.cache/")
include(CPack)
