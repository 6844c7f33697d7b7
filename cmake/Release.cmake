# Release data: where the payloads come from, the sample release, and the
# check every payload folder passes before it is placed into the executable.
#
# WELLHAVEN_RELEASE_DIR names a release folder (layout in
# tools/release/catalogue.py); the build embeds the files of its payload/
# folder. Left empty, the build embeds the sample release, which
# tools/release/make_sample_release.py writes into the build folder.

set(WELLHAVEN_PYTHON /usr/bin/python3 CACHE FILEPATH "Python 3 for the release tools")

set(WELLHAVEN_RELEASE_TOOLS ${PROJECT_SOURCE_DIR}/tools/release)
set(WELLHAVEN_SAMPLE_RELEASE_DIR ${CMAKE_BINARY_DIR}/sample-release)
set(WELLHAVEN_PAYLOAD_IDS 103 104 105 106 107 108 109 110 111 112 113)

# Target sample_release: writes the sample release into
# ${WELLHAVEN_SAMPLE_RELEASE_DIR} (payload/, installed/0-7, finished/0-7).
function(wellhaven_add_sample_release)
  set(payloads)
  foreach(id IN LISTS WELLHAVEN_PAYLOAD_IDS)
    list(APPEND payloads ${WELLHAVEN_SAMPLE_RELEASE_DIR}/payload/${id}.bin)
  endforeach()
  add_custom_command(
    OUTPUT ${WELLHAVEN_SAMPLE_RELEASE_DIR}/.sample-release ${payloads}
    COMMAND ${WELLHAVEN_PYTHON} ${WELLHAVEN_RELEASE_TOOLS}/make_sample_release.py ${WELLHAVEN_SAMPLE_RELEASE_DIR}
    DEPENDS ${WELLHAVEN_RELEASE_TOOLS}/make_sample_release.py ${WELLHAVEN_RELEASE_TOOLS}/catalogue.py
    COMMENT "Writing the sample release into ${WELLHAVEN_SAMPLE_RELEASE_DIR}"
    VERBATIM)
  add_custom_target(sample_release ALL DEPENDS ${WELLHAVEN_SAMPLE_RELEASE_DIR}/.sample-release)
endfunction()

# Compiles payload/updater.rc into `target`, with the payloads of the release
# folder after they have passed tools/release/check_release.py. The checked
# copy the executable embeds is kept in ${CMAKE_BINARY_DIR}/embedded-payload.
# The check runs on every build, so a missing or changed payload is seen at
# once; only a payload whose content changed is copied again, and that
# recompiles the resources and relinks the executable.
function(wellhaven_add_resources target)
  set(WELLHAVEN_RELEASE_DIR "" CACHE PATH
    "Release folder whose payload/ holds 103.bin to 113.bin; empty for the generated sample release")
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
  add_custom_target(release_check
    COMMAND ${WELLHAVEN_PYTHON} ${WELLHAVEN_RELEASE_TOOLS}/check_release.py
            payloads ${release_dir}/payload --copy-to ${embedded_dir}
    BYPRODUCTS ${embedded}
    COMMENT "Checking the payloads in ${release_dir}/payload"
    VERBATIM)
  if(NOT WELLHAVEN_RELEASE_DIR)
    add_dependencies(release_check sample_release)
  endif()
  add_dependencies(${target} release_check)

  set(rc ${PROJECT_SOURCE_DIR}/payload/updater.rc)
  target_sources(${target} PRIVATE ${rc})
  # The script is UTF-8 (the version block's Japanese description); windres
  # finds the payload files and the icon through the include path.
  set_source_files_properties(${rc} PROPERTIES
    COMPILE_OPTIONS "-c;65001"
    COMPILE_DEFINITIONS "${rc_definitions}"
    INCLUDE_DIRECTORIES "${embedded_dir};${PROJECT_SOURCE_DIR}/payload"
    OBJECT_DEPENDS "${embedded};${PROJECT_SOURCE_DIR}/payload/updater.ico;${PROJECT_SOURCE_DIR}/payload/payload_ids.h")
endfunction()
