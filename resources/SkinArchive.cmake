# Skins are compiled into the program as ZIP archives: the resource of type
# "ZIPRES" and id <id>, which Qt names ":/ZIPRES/<id>". The archive is packed
# at build time from the skin's source folder.
find_program(ZIP_PROGRAM zip REQUIRED)

# gl_pack_skin_archive(<name> <id> <folder> <out-var>): packs every file
# below <folder> (names relative to it, "/" separated) into a ZIP file at
# build time and names it in <out-var>. A target that lists that file among
# its sources has it made.
function(gl_pack_skin_archive target id folder out_var)
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
  set(${out_var} ${out} PARENT_SCOPE)
endfunction()

# gl_add_skin_archive(<target> <id> <folder>): the packed skin as
# ":/ZIPRES/<id>".
function(gl_add_skin_archive target id folder)
  gl_pack_skin_archive(${target} ${id} ${folder} out)
  gl_add_raw_resource(${target} ZIPRES ${id} ${out})
endfunction()

# gl_add_raw_resource(<target> <type> <id> <file>): <file> as ":/<type>/<id>".
# Qt resources: the Linux build only. The Windows build carries the skin,
# icon, version and manifest as Windows resources (resources/gamelauncher.rc.in).
function(gl_add_raw_resource target type id file)
  set_source_files_properties(${file} PROPERTIES QT_RESOURCE_ALIAS ${id})
  qt_add_resources(${target} "${target}_${type}_${id}" PREFIX /${type} FILES ${file})
endfunction()
