# After the link of a setup exe: signs it when a certificate is configured,
# then publishes its size and SHA-256 (printed, and in EXE.sha256 in the
# format of sha256sum).
# With PUBLISH_DIR, the exe is also copied there and its line in that
# folder's SHA256SUMS (beside the course parts) is renewed.
#   cmake -DEXE=path [-DSIGN_CERT=pem -DSIGN_KEY=pem [-DSIGN_TIMESTAMP_URL=url]] [-DPUBLISH_DIR=dir] -P release.cmake
if(SIGN_CERT)
  find_program(OSSLSIGNCODE osslsigncode REQUIRED)
  set(timestamp "")
  if(SIGN_TIMESTAMP_URL)
    set(timestamp -t ${SIGN_TIMESTAMP_URL})
  endif()
  execute_process(
    COMMAND ${OSSLSIGNCODE} sign -certs ${SIGN_CERT} -key ${SIGN_KEY} -h sha256
            -n "Tarnwick - Olvenmark" ${timestamp} -in ${EXE} -out ${EXE}.signed
    RESULT_VARIABLE failed OUTPUT_QUIET)
  if(failed)
    file(REMOVE ${EXE} ${EXE}.signed)
    message(FATAL_ERROR "signing ${EXE} failed")
  endif()
  file(RENAME ${EXE}.signed ${EXE})
endif()
file(SHA256 ${EXE} digest)
file(SIZE ${EXE} size)
math(EXPR kib "(${size} + 1023) / 1024")
get_filename_component(name ${EXE} NAME)
file(WRITE ${EXE}.sha256 "${digest}  ${name}\n")
message("${name}: ${size} bytes (${kib} KiB), SHA-256 ${digest}")
if(PUBLISH_DIR)
  file(COPY_FILE ${EXE} ${PUBLISH_DIR}/${name})
  set(sums "")
  if(EXISTS ${PUBLISH_DIR}/SHA256SUMS)
    file(STRINGS ${PUBLISH_DIR}/SHA256SUMS lines)
    foreach(line IN LISTS lines)
      if(NOT line MATCHES "  ${name}$")
        string(APPEND sums "${line}\n")
      endif()
    endforeach()
  endif()
  file(WRITE ${PUBLISH_DIR}/SHA256SUMS "${sums}${digest}  ${name}\n")
endif()
