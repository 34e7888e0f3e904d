# Signs one Windows executable with osslsigncode: Authenticode, SHA-256
# digest, and an RFC 3161 time stamp when a server is given. IN and OUT may
# be the same file; the signed copy replaces it only when signing succeeded.
#   cmake -DIN=a.exe -DOUT=b.exe -DCERT=cert.pem -DKEY=key.pem
#         [-DPASSWORD_FILE=file] [-DTIMESTAMP_URL=url] [-DDESCRIPTION=text]
#         [-DOSSLSIGNCODE=path] -P sign_file.cmake
foreach(name IN ITEMS IN OUT CERT KEY)
  if(NOT DEFINED ${name} OR "${${name}}" STREQUAL "")
    message(FATAL_ERROR "sign_file.cmake: -D${name}= is missing")
  endif()
endforeach()
if(NOT DEFINED OSSLSIGNCODE OR "${OSSLSIGNCODE}" STREQUAL "")
  find_program(OSSLSIGNCODE osslsigncode REQUIRED)
endif()

set(arguments sign -h sha256 -certs "${CERT}" -key "${KEY}")
if(NOT "${PASSWORD_FILE}" STREQUAL "")
  list(APPEND arguments -readpass "${PASSWORD_FILE}")
endif()
if(NOT "${DESCRIPTION}" STREQUAL "")
  list(APPEND arguments -n "${DESCRIPTION}")
endif()
if(NOT "${TIMESTAMP_URL}" STREQUAL "")
  list(APPEND arguments -ts "${TIMESTAMP_URL}")
endif()

# osslsigncode refuses to write over its input, and a half-written file must
# never stand where the executable was.
set(partial "${OUT}.signing")
file(REMOVE "${partial}")
execute_process(
  COMMAND "${OSSLSIGNCODE}" ${arguments} -in "${IN}" -out "${partial}"
  RESULT_VARIABLE result
  OUTPUT_VARIABLE output
  ERROR_VARIABLE output)
if(NOT result EQUAL 0)
  file(REMOVE "${partial}")
  message(FATAL_ERROR "sign_file.cmake: osslsigncode could not sign ${IN}:\n${output}")
endif()
file(RENAME "${partial}" "${OUT}")
