# gl_check_update_keys(<keys> <out-var>): refuses, at configure time, a list
# of update keys the program could not use, so that a typo never turns into a
# build that trusts nothing (every update refused) or fewer keys than meant.
# A key is 32 bytes in standard base64 (44 characters, one "=" at the end,
# whose last digit leaves the unused bits zero); at most two keys, so that
# one can be replaced without locking out the players who have not updated.
# <out-var> receives the keys separated by spaces, for the generated header.
function(gl_check_update_keys keys out)
  set(text "")
  set(count 0)
  foreach(key IN LISTS keys)
    string(STRIP "${key}" key)
    if(key STREQUAL "")
      continue()
    endif()
    if(NOT key MATCHES "^[A-Za-z0-9+/][A-Za-z0-9+/][A-Za-z0-9+/][A-Za-z0-9+/]+[AEIMQUYcgkosw048]=$")
      message(FATAL_ERROR "GL_UPDATE_PUBLIC_KEYS: '${key}' is not a public key (32 bytes in base64, as mkpackage keygen prints it)")
    endif()
    string(LENGTH "${key}" length)
    if(NOT length EQUAL 44)
      message(FATAL_ERROR "GL_UPDATE_PUBLIC_KEYS: '${key}' is ${length} characters long, a public key is 44")
    endif()
    math(EXPR count "${count} + 1")
    string(APPEND text " ${key}")
  endforeach()
  if(count GREATER 2)
    message(FATAL_ERROR "GL_UPDATE_PUBLIC_KEYS: ${count} keys; at most two (the current one and its successor)")
  endif()
  if(count GREATER 0)
    message(STATUS "Launcher packages must be signed by one of ${count} update key(s)")
  endif()
  string(STRIP "${text}" text)
  set(${out} "${text}" PARENT_SCOPE)
endfunction()
