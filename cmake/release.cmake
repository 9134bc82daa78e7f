# After the link of a setup exe (and its signing): publishes its size and
# SHA-256 (printed, and in EXE.sha256 in the format of sha256sum).
# With PUBLISH_DIR, the exe is also copied there and its line in that
# folder's SHA256SUMS (beside the course parts) is renewed.
#   cmake -DEXE=path [-DPUBLISH_DIR=dir] -P release.cmake
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
