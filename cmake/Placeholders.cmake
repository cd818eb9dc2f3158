# The example hosts the build settings come with (the reserved ".example"
# names) reach no server: a release built with one left in place ships
# players an update check, a crash upload or a privacy link that can never
# work. Configuring such a build warns once for each setting still holding
# one; debug builds, the fuzz build and the tests keep them silently.
#
# gl_warn_placeholders(<variable>...): each variable is a value or a list of
# URLs or hosts.
function(gl_warn_placeholders)
  if(NOT CMAKE_BUILD_TYPE MATCHES "^(Release|RelWithDebInfo|MinSizeRel)$" OR GL_BUILD_FUZZERS)
    return()
  endif()
  foreach(var ${ARGN})
    set(left "")
    foreach(value IN LISTS ${var})
      # The host part: after an optional scheme, before a port or a path.
      string(REGEX REPLACE "^[A-Za-z]+://" "" host "${value}")
      string(REGEX REPLACE "[:/].*$" "" host "${host}")
      string(TOLOWER "${host}" host)
      if(host MATCHES "(^|\\.)example\\.?$")
        list(APPEND left "${value}")
      endif()
    endforeach()
    if(left)
      list(JOIN left ", " shown)
      message(WARNING "${var} still holds the placeholder ${shown}, which reaches no server: "
                      "give the real one with -D${var}=... before shipping this build.")
    endif()
  endforeach()
endfunction()
