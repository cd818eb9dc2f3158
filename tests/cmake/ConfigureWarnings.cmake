# Configures the project (no build) into folders under WORK, as an operator
# would: a release build warns once for each build setting that still holds
# an example host and names it, a release with real hosts and a debug build
# stay quiet, and a crash host the sender could not make a URL of is refused.
#   cmake -DSOURCE=<checkout> -DWORK=<folder> -P ConfigureWarnings.cmake
cmake_minimum_required(VERSION 3.25)

set(failures "")

function(configure name out_var result_var)
  set(dir "${WORK}/${name}")
  file(REMOVE_RECURSE "${dir}")
  execute_process(
    COMMAND ${CMAKE_COMMAND} -S "${SOURCE}" -B "${dir}" -G Ninja
            -DGL_BUILD_TESTS=OFF -DGL_BUILD_BENCH=OFF -DGL_BUILD_TOOLS=OFF ${ARGN}
    OUTPUT_VARIABLE output ERROR_VARIABLE output RESULT_VARIABLE result)
  # CMake wraps warnings at 80 columns: joined again for the checks.
  string(REGEX REPLACE "\n +" " " output "${output}")
  set(${out_var} "${output}" PARENT_SCOPE)
  set(${result_var} "${result}" PARENT_SCOPE)
  file(REMOVE_RECURSE "${dir}")
endfunction()

# expect(<what> <condition>...): records <what> when the condition is false.
macro(expect what)
  if(NOT (${ARGN}))
    list(APPEND failures "${what}")
  endif()
endmacro()

function(count_warnings output var)
  string(REGEX MATCHALL "still holds the placeholder" hits "${output}")
  list(LENGTH hits n)
  set(${var} ${n} PARENT_SCOPE)
endfunction()

# Release with every example left, one of two service URLs real.
configure(placeholders out rc -DCMAKE_BUILD_TYPE=Release
          "-DGL_UPDATE_SERVICE_URLS=https://update.studio.test/\;https://update2.keltora.example/")
count_warnings("${out}" n)
set(ok FALSE)
if(rc EQUAL 0 AND n EQUAL 3)
  set(ok TRUE)
endif()
expect("release with placeholders: configured (${rc}) with three warnings, not ${n}" ok)
foreach(named
    "GL_UPDATE_SERVICE_URLS still holds the placeholder https://update2.keltora.example/, which reaches no server: give the real one with -DGL_UPDATE_SERVICE_URLS=..."
    "GL_CRASH_UPLOAD_HOST still holds the placeholder crash.keltora.example, which reaches no server"
    "GL_CRASH_PRIVACY_URL still holds the placeholder https://www.keltora.example/privacy.html, which reaches no server")
  string(FIND "${out}" "${named}" at)
  expect("release with placeholders: missing \"${named}\"" NOT at EQUAL -1)
endforeach()
string(FIND "${out}" "update.studio.test" at)
expect("release with placeholders: the real URL was named as one" at EQUAL -1)

# Release with real hosts, the crash host over https.
configure(real out rc -DCMAKE_BUILD_TYPE=Release -DGL_UPDATE_SERVICE_URLS=https://update.studio.test/
          -DGL_CRASH_UPLOAD_HOST=https://crash.studio.test:8443 -DGL_CRASH_PRIVACY_URL=https://studio.test/privacy.html)
count_warnings("${out}" n)
set(ok FALSE)
if(rc EQUAL 0 AND n EQUAL 0)
  set(ok TRUE)
endif()
expect("release with real hosts: configured (${rc}) with ${n} warnings, not none" ok)

# Debug builds keep the examples without a word.
configure(debug out rc -DCMAKE_BUILD_TYPE=Debug)
count_warnings("${out}" n)
set(ok FALSE)
if(rc EQUAL 0 AND n EQUAL 0)
  set(ok TRUE)
endif()
expect("debug: configured (${rc}) with ${n} warnings, not none" ok)

# A crash host with a path is no host.
configure(badhost out rc -DCMAKE_BUILD_TYPE=Release -DGL_CRASH_UPLOAD_HOST=crash.studio.test/upload)
string(FIND "${out}" "GL_CRASH_UPLOAD_HOST: \"crash.studio.test/upload\" is neither host[:port] nor https://host[:port]" at)
set(ok FALSE)
if(NOT rc EQUAL 0 AND NOT at EQUAL -1)
  set(ok TRUE)
endif()
expect("bad crash host: not refused with its message (${rc})" ok)

if(failures)
  list(JOIN failures "\n  " shown)
  message(FATAL_ERROR "configure checks failed:\n  ${shown}")
endif()
message(STATUS "configure checks passed")
