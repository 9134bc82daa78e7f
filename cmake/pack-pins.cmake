# Pins a setup build to a course pack: the digests that pack.py wrote (a
# CMake fragment), the runtime and the course locations.
#   cmake -DPINS=FILE -DPYTHON_URL=U -DPYTHON_SHA=DIGEST|ARCHIVE [-DPYTHON_SIZE=BYTES] -DBASE_URL=U
#         -DVERSION=V -DRELEASED=FILE -DOUT=pins.h [-DVARIANT=badpkg] -P pack-pins.cmake
# "badpkg" pins a package digest that the joined parts never have (tests).
include(${CMAKE_CURRENT_LIST_DIR}/pins.cmake)
include(${PINS})
# A runtime archive made during the build is pinned by its path (its size
# only when given, as a publisher pins it).
if(EXISTS "${PYTHON_SHA}")
  file(SHA256 "${PYTHON_SHA}" PYTHON_SHA)
endif()
set(payload_sha ${ZEPT_PACK_PAYLOAD_SHA256})
if(VARIANT STREQUAL "badpkg")
  string(SHA256 payload_sha "not the course package")
endif()
# A release that is out stays what it was: learners who installed it count
# it as complete, so a changed course must come under a new version.
if(EXISTS "${RELEASED}")
  file(STRINGS "${RELEASED}" released_lines)
  foreach(line IN LISTS released_lines)
    if(line MATCHES "^([^ ]+) ([0-9a-f]+)$" AND CMAKE_MATCH_1 STREQUAL VERSION
       AND NOT CMAKE_MATCH_2 STREQUAL ZEPT_PACK_PAYLOAD_SHA256)
      message(FATAL_ERROR "Course version ${VERSION} was released with another package (${RELEASED}): "
                          "set a new ZEPT_COURSE_VERSION for the changed course")
    endif()
  endforeach()
endif()
zept_write_pins(${OUT} "${PYTHON_URL}" "${PYTHON_SHA}" "${PYTHON_SIZE}" "${payload_sha}" "${ZEPT_PACK_PART_SHA256}"
                "${ZEPT_PACK_PART_SIZES}" 1 "${BASE_URL}" "${VERSION}")
