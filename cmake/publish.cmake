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
