# Optional Authenticode signing of the Windows executable with osslsigncode.
# A release build is given a code-signing certificate and its private key,
# either as cache variables or as environment variables of the same names
# at configure time (the cache wins); without them the build is unsigned.
# Signing fails closed: values that came from the environment are kept in
# the cache, so every later re-configure (an edited CMake file, CMake's own
# re-run) signs as the first one did; and a build folder that was once set to
# sign refuses to configure unsigned until signing is turned off explicitly
# with -DFWU_SIGN_OFF=ON.
#   FWU_SIGN_CERT           certificate (chain), PEM or DER
#   FWU_SIGN_KEY            its private key, PEM or DER
#   FWU_SIGN_PASSWORD_FILE  optional: file holding the key's pass phrase
#   FWU_SIGN_TIMESTAMP_URL  optional: RFC 3161 time-stamp server
# The key's pass phrase is read from a file at build time so that it never
# lands in CMakeCache.txt.
set(FWU_SIGN_VARIABLES FWU_SIGN_CERT FWU_SIGN_KEY FWU_SIGN_PASSWORD_FILE FWU_SIGN_TIMESTAMP_URL)
set(FWU_SIGN_CERT "" CACHE FILEPATH "Authenticode certificate for signing fwupdate.exe (empty: unsigned)")
set(FWU_SIGN_KEY "" CACHE FILEPATH "Private key of FWU_SIGN_CERT")
set(FWU_SIGN_PASSWORD_FILE "" CACHE FILEPATH "File holding the pass phrase of FWU_SIGN_KEY (optional)")
set(FWU_SIGN_TIMESTAMP_URL "" CACHE STRING "RFC 3161 time-stamp server for the signature (optional)")
set(FWU_SIGN_OFF OFF CACHE BOOL "Build unsigned although this build folder was set to sign")
foreach(variable ${FWU_SIGN_VARIABLES})
  if("${${variable}}" STREQUAL "" AND NOT "$ENV{${variable}}" STREQUAL "")
    get_property(help CACHE ${variable} PROPERTY HELPSTRING)
    get_property(type CACHE ${variable} PROPERTY TYPE)
    set(${variable} "$ENV{${variable}}" CACHE ${type} "${help}" FORCE)
  endif()
  # A list separator in a path would split it into two arguments of the
  # signing step.
  if("${${variable}}" MATCHES ";")
    string(REPLACE ";" "<;>" shown "${${variable}}")
    message(FATAL_ERROR "${variable}: a path containing ';' cannot be used for signing: ${shown}")
  endif()
endforeach()

set(FWU_SIGNING OFF)
if(FWU_SIGN_OFF)
  set(FWU_SIGN_WAS_CONFIGURED OFF CACHE INTERNAL "")
  message(STATUS "Signing turned off (FWU_SIGN_OFF)")
elseif("${FWU_SIGN_CERT}${FWU_SIGN_KEY}" STREQUAL "" AND FWU_SIGN_WAS_CONFIGURED)
  message(FATAL_ERROR "This build folder was set to sign, and FWU_SIGN_CERT and FWU_SIGN_KEY are now empty: "
    "give them again, or build unsigned on purpose with -DFWU_SIGN_OFF=ON")
elseif(NOT "${FWU_SIGN_CERT}${FWU_SIGN_KEY}" STREQUAL "")
  # A release build that was meant to be signed must not quietly ship
  # unsigned because half of its signing material is missing.
  foreach(variable FWU_SIGN_CERT FWU_SIGN_KEY)
    if("${${variable}}" STREQUAL "")
      message(FATAL_ERROR "Signing needs both FWU_SIGN_CERT and FWU_SIGN_KEY; ${variable} is empty")
    endif()
  endforeach()
  foreach(variable FWU_SIGN_CERT FWU_SIGN_KEY FWU_SIGN_PASSWORD_FILE)
    if(NOT "${${variable}}" STREQUAL "" AND NOT EXISTS "${${variable}}")
      message(FATAL_ERROR "${variable}: no file at ${${variable}}")
    endif()
  endforeach()
  find_program(FWU_OSSLSIGNCODE osslsigncode REQUIRED)
  set(FWU_SIGNING ON)
  set(FWU_SIGN_WAS_CONFIGURED ON CACHE INTERNAL "Signing was configured for this build folder")
  message(STATUS "Signing with ${FWU_SIGN_CERT}")
endif()

# Signs TARGET's file in place after every link, when signing is configured.
function(fw_sign_after_build target)
  if(NOT FWU_SIGNING)
    return()
  endif()
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND "${CMAKE_COMMAND}" "-DOSSLSIGNCODE=${FWU_OSSLSIGNCODE}"
      "-DIN=$<TARGET_FILE:${target}>" "-DOUT=$<TARGET_FILE:${target}>"
      "-DCERT=${FWU_SIGN_CERT}" "-DKEY=${FWU_SIGN_KEY}"
      "-DPASSWORD_FILE=${FWU_SIGN_PASSWORD_FILE}" "-DTIMESTAMP_URL=${FWU_SIGN_TIMESTAMP_URL}"
      "-DDESCRIPTION=$<TARGET_FILE_NAME:${target}>"
      -P "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/sign_file.cmake"
    COMMENT "Signing $<TARGET_FILE_NAME:${target}> (Authenticode, SHA-256)"
    VERBATIM)
endfunction()
