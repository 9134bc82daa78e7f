# The publisher's tools (publish/, Debian's Python) in the build: packing a
# course folder into its parts, pinning a setup build to them, checking a
# release.
find_program(ZEPT_PUBLISH_PYTHON NAMES python3 PATHS /usr/bin NO_DEFAULT_PATH REQUIRED)
set(ZEPT_PUBLISH_DIR ${CMAKE_CURRENT_LIST_DIR}/../publish)

# Target name: packs course_dir into parts named by content (of about
# part_bytes each) and SHA256SUMS in out_dir, and its digests and sizes into
# pins_file (a CMake fragment). It runs on every build; an unchanged course
# is not packed again. ARGN: more options of pack.py (--package FILE).
function(zept_pack_course name course_dir part_bytes out_dir pins_file)
  add_custom_target(${name}
    COMMAND ${ZEPT_PUBLISH_PYTHON} ${ZEPT_PUBLISH_DIR}/pack.py ${course_dir} ${out_dir} --part-size ${part_bytes}
            --pins ${pins_file} --stamp ${pins_file}.stamp ${ARGN}
    COMMENT "Packing the course ${course_dir}"
    VERBATIM)
endfunction()

# Target name, after pack: writes pins_dir/pins.h from the pack's digests
# and sizes, the runtime's location, digest (or archive) and size (empty:
# none pinned), the course location and the course version (unchanged
# content leaves the file alone, so an unchanged pack rebuilds nothing).
# released: the file in which check-release records each version it passed
# with its package digest; a pack of another package under a recorded
# version stops the build. ARGN: "badpkg" pins a package digest that the
# joined parts never have.
function(zept_pin_pack name pack pins_file python_url python_sha python_size base_url version pins_dir released)
  add_custom_target(${name}
    COMMAND ${CMAKE_COMMAND} -DPINS=${pins_file} -DPYTHON_URL=${python_url} -DPYTHON_SHA=${python_sha}
            -DPYTHON_SIZE=${python_size} -DBASE_URL=${base_url} -DVERSION=${version} -DRELEASED=${released} -DOUT=${pins_dir}/pins.h
            -DZEPT_HELP_URL=${ZEPT_HELP_URL}
            -DVARIANT=${ARGN}
            -P ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/pack-pins.cmake
    VERBATIM)
  add_dependencies(${name} ${pack})
endfunction()

# Checks the signing options (one way at most: a key file, a key on a
# token, a signing command) and sets ZEPT_SIGN_ARGS to sign.py's options,
# one "--name=value" line each (a pkcs11: URI holds semicolons, a command
# blanks and quotes: neither passes through a CMake list); empty: the exe is
# not signed.
function(zept_check_signing)
  set(ways "")
  foreach(option ZEPT_SIGN_KEY ZEPT_SIGN_PKCS11_KEY ZEPT_SIGN_COMMAND)
    if(NOT "${${option}}" STREQUAL "")
      list(APPEND ways ${option})
    endif()
  endforeach()
  list(LENGTH ways count)
  if(count GREATER 1)
    list(JOIN ways " and " ways)
    message(FATAL_ERROR "Sign in one way: a key file (ZEPT_SIGN_KEY), a key on a token (ZEPT_SIGN_PKCS11_KEY) "
                        "or a signing command (ZEPT_SIGN_COMMAND), not with ${ways}")
  endif()
  set(args "")
  if(NOT "${ZEPT_SIGN_PKCS11_KEY}${ZEPT_SIGN_PKCS11_MODULE}" STREQUAL "")
    if(NOT "${ZEPT_SIGN_PKCS11_KEY}" MATCHES "^pkcs11:" OR NOT ZEPT_SIGN_PKCS11_MODULE)
      message(FATAL_ERROR "A key on a token needs ZEPT_SIGN_PKCS11_MODULE (the token's PKCS#11 module) and "
                          "ZEPT_SIGN_PKCS11_KEY (the key's pkcs11: URI)")
    endif()
    if("${ZEPT_SIGN_PKCS11_KEY}" MATCHES "pin-(value|source)")
      message(FATAL_ERROR "ZEPT_SIGN_PKCS11_KEY holds a PIN: give it with ZEPT_SIGN_PIN_ENV or ZEPT_SIGN_PIN_FILE "
                          "instead, so that it is never on a command line")
    endif()
    if(ZEPT_SIGN_PIN_ENV AND ZEPT_SIGN_PIN_FILE)
      message(FATAL_ERROR "The token's PIN comes from ZEPT_SIGN_PIN_ENV or from ZEPT_SIGN_PIN_FILE, not both")
    endif()
    string(APPEND args "--pkcs11-module=${ZEPT_SIGN_PKCS11_MODULE}\n--pkcs11-key=${ZEPT_SIGN_PKCS11_KEY}\n")
    if(ZEPT_SIGN_PIN_ENV)
      string(APPEND args "--pin-env=${ZEPT_SIGN_PIN_ENV}\n")
    elseif(ZEPT_SIGN_PIN_FILE)
      string(APPEND args "--pin-file=${ZEPT_SIGN_PIN_FILE}\n")
    endif()
  elseif(ZEPT_SIGN_KEY)
    string(APPEND args "--key=${ZEPT_SIGN_KEY}\n")
  elseif(NOT "${ZEPT_SIGN_COMMAND}" STREQUAL "")
    string(APPEND args "--command=${ZEPT_SIGN_COMMAND}\n")
    if(ZEPT_SIGN_CAFILE)
      string(APPEND args "--cafile=${ZEPT_SIGN_CAFILE}\n")
    endif()
  elseif(ZEPT_SIGN_CERT)
    message(FATAL_ERROR "ZEPT_SIGN_CERT needs its key: ZEPT_SIGN_KEY (a key file) or ZEPT_SIGN_PKCS11_KEY (a key on "
                        "a token)")
  endif()
  if(ways MATCHES "KEY$")
    if(NOT ZEPT_SIGN_CERT)
      message(FATAL_ERROR "${ways} needs ZEPT_SIGN_CERT (the certificate of the key, PEM)")
    endif()
    string(APPEND args "--cert=${ZEPT_SIGN_CERT}\n")
  endif()
  if(args AND ZEPT_SIGN_TIMESTAMP_URL)
    string(APPEND args "--timestamp=${ZEPT_SIGN_TIMESTAMP_URL}\n")
  endif()
  set(ZEPT_SIGN_ARGS "${args}" PARENT_SCOPE)
endfunction()

# Writes the options of a step after the link of target name to path, one
# "--name=value" a line (only when they changed), and makes the link depend
# on them: changed options link again, and the step runs again.
function(zept_link_options name path options)
  set(written "")
  if(EXISTS ${path})
    file(READ ${path} written)
  endif()
  if(NOT EXISTS ${path} OR NOT "${written}" STREQUAL "${options}")
    file(WRITE ${path} "${options}")
  endif()
  set_property(TARGET ${name} APPEND PROPERTY LINK_DEPENDS ${path})
endfunction()

# After the link of target name: signs it (when configured), then prints
# its size and SHA-256 and writes EXE.sha256; with publish_dir, also copies
# it there and renews its line in that folder's SHA256SUMS. The signing
# options are in a file (read by sign.py, rewritten only when they change)
# that the link depends on, so that another way of signing signs again.
function(zept_sign_and_publish name publish_dir)
  set(options ${CMAKE_BINARY_DIR}/gen/signing.txt)
  zept_link_options(${name} ${options} "${ZEPT_SIGN_ARGS}")
  set(sign "")
  if(NOT "${ZEPT_SIGN_ARGS}" STREQUAL "")
    set(sign COMMAND ${ZEPT_PUBLISH_PYTHON} ${ZEPT_PUBLISH_DIR}/sign.py $<TARGET_FILE:${name}> @${options})
  endif()
  add_custom_command(TARGET ${name} POST_BUILD ${sign}
    COMMAND ${CMAKE_COMMAND} -DEXE=$<TARGET_FILE:${name}> -DPUBLISH_DIR=${publish_dir}
            -P ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/release.cmake
    VERBATIM)
endfunction()

# After target name is signed and published: its winget manifests (the
# version, installer and default-locale files) in out_dir. Without
# ZEPT_WINGET_ID none is written; with it, every text the manifest needs
# must be set, and the configure step names the one that is missing.
function(zept_winget_manifest name out_dir setup_url)
  if(NOT ZEPT_WINGET_ID)
    file(REMOVE_RECURSE ${out_dir})
    if(ZEPT_COURSE_DIR)
      message(STATUS "No winget manifest: set ZEPT_WINGET_ID to write one (see the README)")
    endif()
    return()
  endif()
  foreach(option ZEPT_WINGET_PUBLISHER ZEPT_WINGET_NAME ZEPT_WINGET_LICENSE ZEPT_WINGET_DESCRIPTION)
    if("${${option}}" STREQUAL "")
      file(REMOVE_RECURSE ${out_dir})
      message(FATAL_ERROR "The winget manifest needs ${option}: set it, or drop ZEPT_WINGET_ID")
    endif()
  endforeach()
  if(NOT ZEPT_WINGET_ID MATCHES "^[^. /\\:*?\"<>|]+(\\.[^. /\\:*?\"<>|]+)+$")
    message(FATAL_ERROR "ZEPT_WINGET_ID must be Publisher.Package (dot-separated, no blanks), not '${ZEPT_WINGET_ID}'")
  endif()
  zept_check_url(ZEPT_SETUP_URL "${setup_url}")
  set(args "--id=${ZEPT_WINGET_ID}\n--version=${ZEPT_COURSE_VERSION}\n--url=${setup_url}\n")
  string(APPEND args "--publisher=${ZEPT_WINGET_PUBLISHER}\n--name=${ZEPT_WINGET_NAME}\n")
  string(APPEND args "--license=${ZEPT_WINGET_LICENSE}\n--description=${ZEPT_WINGET_DESCRIPTION}\n")
  if(ZEPT_WINGET_LICENSE_URL)
    zept_check_url(ZEPT_WINGET_LICENSE_URL "${ZEPT_WINGET_LICENSE_URL}")
    string(APPEND args "--license-url=${ZEPT_WINGET_LICENSE_URL}\n")
  endif()
  if(ZEPT_HELP_URL)
    string(APPEND args "--support-url=${ZEPT_HELP_URL}\n")
  endif()
  set(options ${CMAKE_BINARY_DIR}/gen/winget.txt)
  zept_link_options(${name} ${options} "${args}")
  add_custom_command(TARGET ${name} POST_BUILD
    COMMAND ${ZEPT_PUBLISH_PYTHON} ${ZEPT_PUBLISH_DIR}/winget.py $<TARGET_FILE:${name}> ${out_dir} @${options}
    VERBATIM)
endfunction()
