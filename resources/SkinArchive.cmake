# Skins are compiled into the program as ZIP archives: the resource of type
# "ZIPRES" and id <id>, which Qt names ":/ZIPRES/<id>". The archive is packed
# at build time from the skin's source folder.
find_program(ZIP_PROGRAM zip REQUIRED)

# gl_add_skin_archive(<target> <id> <folder>): packs every file below
# <folder> (names relative to it, "/" separated) into ":/ZIPRES/<id>".
function(gl_add_skin_archive target id folder)
  file(GLOB_RECURSE files CONFIGURE_DEPENDS LIST_DIRECTORIES false RELATIVE ${folder} ${folder}/*)
  list(SORT files)
  set(out ${CMAKE_CURRENT_BINARY_DIR}/zipres/${target}_${id}.zip)
  set(deps)
  foreach(f ${files})
    list(APPEND deps ${folder}/${f})
  endforeach()
  add_custom_command(OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/zipres
    COMMAND ${CMAKE_COMMAND} -E rm -f ${out}
    COMMAND ${ZIP_PROGRAM} -q -X -D ${out} ${files}
    WORKING_DIRECTORY ${folder}
    DEPENDS ${deps}
    COMMENT "Packing skin archive ${id} for ${target}"
    VERBATIM)
  gl_add_raw_resource(${target} ZIPRES ${id} ${out})
endfunction()

# gl_add_raw_resource(<target> <type> <id> <file>): <file> as ":/<type>/<id>".
function(gl_add_raw_resource target type id file)
  set_source_files_properties(${file} PROPERTIES QT_RESOURCE_ALIAS ${id})
  qt_add_resources(${target} "${target}_${type}_${id}" PREFIX /${type} FILES ${file})
endfunction()
