# Read by cpack for each package. Only the game-folder archive is unpacked
# into a folder of its own; a source archive keeps its top folder.
if(CPACK_INSTALLED_DIRECTORIES)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
endif()
