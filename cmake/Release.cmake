# Release data: the release catalogue, where the payloads come from, the
# sample release, and the check every release folder passes before its
# payloads are placed into the executable and its CRC-32s into the program.
#
# WELLHAVEN_RELEASE_DIR names a release folder (layout in
# tools/release/catalogue.py); the build embeds the files of its payload/
# folder. Left empty, the build embeds the sample release, which
# tools/release/make_sample_release.py writes into the build folder.

set(WELLHAVEN_RELEASE_TOOLS ${PROJECT_SOURCE_DIR}/tools/release)
set(WELLHAVEN_SAMPLE_RELEASE_DIR ${CMAKE_BINARY_DIR}/sample-release)
# Files the build writes; the logic includes release_catalogue.h and
# release_crcs.h from here.
set(WELLHAVEN_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated)
set(WELLHAVEN_RELEASE_CRCS_HEADER ${WELLHAVEN_GENERATED_DIR}/release_crcs.h)

# The release catalogue holds every number of the release. Configuring
# checks it and writes from it release_catalogue.h (the payload ids and
# sizes, the splice recipes, the edition rows) and release_payloads.rc (the
# resource script's payload lines), and takes the payload list; a catalogue
# that contradicts itself stops here with its reasons. An edit of it
# configures again.
set(WELLHAVEN_CATALOGUE ${WELLHAVEN_RELEASE_TOOLS}/release_catalogue.py CACHE FILEPATH
  "The release catalogue; only the tests name another, to build a release of other sizes")
execute_process(
  COMMAND ${Python3_EXECUTABLE} -B ${WELLHAVEN_RELEASE_TOOLS}/catalogue.py ${WELLHAVEN_CATALOGUE}
          ${WELLHAVEN_GENERATED_DIR}
  OUTPUT_VARIABLE WELLHAVEN_PAYLOAD_IDS RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "The release catalogue ${WELLHAVEN_CATALOGUE} is refused, for the reasons above.")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  ${WELLHAVEN_CATALOGUE} ${WELLHAVEN_RELEASE_TOOLS}/catalogue.py)

# Target sample_release: writes the sample release into
# ${WELLHAVEN_SAMPLE_RELEASE_DIR} (payload/, installed/0-7, finished/0-7).
function(wellhaven_add_sample_release)
  set(payloads)
  foreach(id IN LISTS WELLHAVEN_PAYLOAD_IDS)
    list(APPEND payloads ${WELLHAVEN_SAMPLE_RELEASE_DIR}/payload/${id}.bin)
  endforeach()
  # The stamp is not the folder's own marker: the build deletes a custom
  # command's output when the command changes, and the tool refuses a full
  # folder without its marker.
  set(stamp ${CMAKE_BINARY_DIR}/CMakeFiles/sample-release.stamp)
  add_custom_command(
    OUTPUT ${stamp} ${payloads}
    COMMAND ${Python3_EXECUTABLE} ${WELLHAVEN_RELEASE_TOOLS}/make_sample_release.py
            --catalogue ${WELLHAVEN_CATALOGUE} ${WELLHAVEN_SAMPLE_RELEASE_DIR}
    COMMAND ${CMAKE_COMMAND} -E touch ${stamp}
    DEPENDS ${WELLHAVEN_RELEASE_TOOLS}/make_sample_release.py ${WELLHAVEN_RELEASE_TOOLS}/catalogue.py
            ${WELLHAVEN_CATALOGUE}
    COMMENT "Writing the sample release into ${WELLHAVEN_SAMPLE_RELEASE_DIR}"
    VERBATIM)
  add_custom_target(sample_release ALL DEPENDS ${stamp})
endfunction()

# Target release_check: tools/release/check_release.py release on
# `release_dir` on every build. It refuses a release whose payloads are wrong
# or whose finished data.xp3 and scr.xp3 (editions 0 and 1) are not what the
# installed ones and the splice payloads make, and writes
# ${WELLHAVEN_RELEASE_CRCS_HEADER}, the CRC-32s the updater checks its writing
# against, rewritten only when they change. With COPY_TO, the payloads of a
# release that passes are copied there.
function(wellhaven_add_release_check release_dir)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "COPY_TO" "")
  set(copy)
  set(copies)
  if(arg_COPY_TO)
    set(copy --copy-to ${arg_COPY_TO})
    foreach(id IN LISTS WELLHAVEN_PAYLOAD_IDS)
      list(APPEND copies ${arg_COPY_TO}/${id}.bin)
    endforeach()
  endif()
  add_custom_target(release_check
    COMMAND ${Python3_EXECUTABLE} ${WELLHAVEN_RELEASE_TOOLS}/check_release.py --catalogue ${WELLHAVEN_CATALOGUE}
            release ${release_dir} ${copy} --crc-header ${WELLHAVEN_RELEASE_CRCS_HEADER}
    BYPRODUCTS ${WELLHAVEN_RELEASE_CRCS_HEADER} ${copies}
    COMMENT "Checking the release ${release_dir}"
    VERBATIM)
endfunction()

# Gives `target` the folder of release_catalogue.h, written when configuring,
# and of release_crcs.h, written by release_check before anything of
# `target` compiles.
function(wellhaven_use_release_headers target scope)
  target_include_directories(${target} ${scope} ${WELLHAVEN_GENERATED_DIR})
  add_dependencies(${target} release_check)
endfunction()

# Compiles payload/updater.rc into `target`, with the payload lines of the
# catalogue and the payloads of the release folder after it has passed
# tools/release/check_release.py, and gives
# `target` the release's CRC-32s. The checked copy the executable embeds is
# kept in ${CMAKE_BINARY_DIR}/embedded-payload. The check runs on every build,
# so a missing or changed file is seen at once; only a payload whose content
# changed is copied again, and that recompiles the resources and relinks the
# executable.
function(wellhaven_add_resources target)
  set(WELLHAVEN_RELEASE_DIR "" CACHE PATH
    "Release folder (payload/, installed/, finished/; docs/release.md); empty for the generated sample release")
  if(WELLHAVEN_RELEASE_DIR)
    get_filename_component(release_dir "${WELLHAVEN_RELEASE_DIR}" ABSOLUTE)
    if(NOT IS_DIRECTORY "${release_dir}/payload")
      message(FATAL_ERROR "WELLHAVEN_RELEASE_DIR=${release_dir} has no payload/ folder "
                          "(it should hold 103.bin to 113.bin)")
    endif()
    message(STATUS "Payloads: ${release_dir}/payload")
    set(rc_definitions "")
  else()
    wellhaven_add_sample_release()
    set(release_dir ${WELLHAVEN_SAMPLE_RELEASE_DIR})
    message(STATUS "Payloads: the sample release, ${release_dir}/payload")
    # Marks the version block as a special build of sample data (updater.rc).
    set(rc_definitions WELLHAVEN_SAMPLE_BUILD)
  endif()

  set(embedded_dir ${CMAKE_BINARY_DIR}/embedded-payload)
  set(embedded)
  foreach(id IN LISTS WELLHAVEN_PAYLOAD_IDS)
    list(APPEND embedded ${embedded_dir}/${id}.bin)
  endforeach()
  wellhaven_add_release_check(${release_dir} COPY_TO ${embedded_dir})
  if(NOT WELLHAVEN_RELEASE_DIR)
    add_dependencies(release_check sample_release)
  endif()
  wellhaven_use_release_headers(${target} PRIVATE)

  # The version block's name and numbers, from updater.env: release 1.03 is
  # product version 1.0.3.0.
  if(NOT WELLHAVEN_RELEASE MATCHES "^([0-9]+)\\.([0-9])([0-9])$")
    message(FATAL_ERROR "updater.env: WELLHAVEN_RELEASE=${WELLHAVEN_RELEASE} is not a release like 1.03")
  endif()
  set(product_version ${CMAKE_MATCH_1}.${CMAKE_MATCH_2}.${CMAKE_MATCH_3}.0)
  string(REPLACE "." "," file_numbers ${WELLHAVEN_UPDATER_VERSION})
  string(REPLACE "." "," product_numbers ${product_version})
  set(version_header ${WELLHAVEN_GENERATED_DIR}/updater_version.h)
  file(CONFIGURE OUTPUT ${version_header} CONTENT "/* Written by the build from updater.env; do not edit. */
#define UPDATER_NAME \"${WELLHAVEN_UPDATER_NAME}\"
#define UPDATER_RELEASE \"${WELLHAVEN_RELEASE}\"
#define UPDATER_FILE_VERSION ${file_numbers}
#define UPDATER_FILE_VERSION_TEXT \"${WELLHAVEN_UPDATER_VERSION}\"
#define UPDATER_PRODUCT_VERSION ${product_numbers}
#define UPDATER_PRODUCT_VERSION_TEXT \"${product_version}\"
")

  set(rc ${PROJECT_SOURCE_DIR}/payload/updater.rc)
  target_sources(${target} PRIVATE ${rc})
  # The script is UTF-8 (the version block's Japanese description); windres
  # finds the payload lines, the payload files and the icon through the
  # include path.
  set_source_files_properties(${rc} PROPERTIES
    COMPILE_OPTIONS "-c;65001"
    COMPILE_DEFINITIONS "${rc_definitions}"
    INCLUDE_DIRECTORIES "${embedded_dir};${PROJECT_SOURCE_DIR}/payload;${WELLHAVEN_GENERATED_DIR}"
    OBJECT_DEPENDS
      "${embedded};${PROJECT_SOURCE_DIR}/payload/updater.ico;${WELLHAVEN_GENERATED_DIR}/release_payloads.rc;${version_header}")
endfunction()
