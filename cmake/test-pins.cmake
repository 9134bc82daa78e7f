# Pins a test build of the setup to the artefacts made for the tests:
#   cmake -DARTEFACTS=DIR -DBASE_URL=https://localhost:PORT -DVARIANT=test|badpkg -DOUT=FILE -P test-pins.cmake
# "badpkg" pins a package digest that the joined parts never have.
include(${CMAKE_CURRENT_LIST_DIR}/pins.cmake)

file(SHA256 ${ARTEFACTS}/python-embed.zip python_sha)
file(SHA256 ${ARTEFACTS}/zept-payload.zip payload_sha)
file(SHA256 ${ARTEFACTS}/zept-payload.part01 part1_sha)
file(SHA256 ${ARTEFACTS}/zept-payload.part02 part2_sha)
if(VARIANT STREQUAL "badpkg")
  string(SHA256 payload_sha "not the course package")
endif()
zept_write_pins(${OUT} "${BASE_URL}/ftp/python/3.12.10/python-3.12.10-embed-amd64.zip" "${python_sha}"
                "${payload_sha}" "${part1_sha};${part2_sha}" "${BASE_URL}/downloads/")
