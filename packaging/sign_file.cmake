# Signs FILE in place with osslsigncode: Authenticode over SHA-256, with an RFC 3161 time stamp
# when TIMESTAMP_URL is given. A file that cannot be signed is removed, so that the next build
# makes it again instead of shipping it unsigned.
#   cmake -DFILE=... -DOSSLSIGNCODE=... -DPKCS12=... [-DPASSWORD_FILE=...] [-DTIMESTAMP_URL=...]
#         -P sign_file.cmake
set(args sign -pkcs12 ${PKCS12} -h sha256 -n veltra)
if(PASSWORD_FILE)
  list(APPEND args -readpass ${PASSWORD_FILE})
endif()
if(TIMESTAMP_URL)
  list(APPEND args -ts ${TIMESTAMP_URL})
endif()
file(REMOVE ${FILE}.signed)
execute_process(COMMAND ${OSSLSIGNCODE} ${args} -in ${FILE} -out ${FILE}.signed
                RESULT_VARIABLE failed OUTPUT_VARIABLE said ERROR_VARIABLE said)
if(failed)
  file(REMOVE ${FILE} ${FILE}.signed)
  message(FATAL_ERROR "${FILE} could not be signed and is removed: ${said}")
endif()
file(RENAME ${FILE}.signed ${FILE})
message(STATUS "signed ${FILE}")
