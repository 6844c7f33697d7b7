# The updater's logic compiled natively against the simulated Windows, and
# the native test suite.
option(WELLHAVEN_SANITIZE "Build the host logic and tests with ASan and UBSan" OFF)
# By default the tests run the Windows builds of this checkout's presets;
# empty turns their tests off.
set(WELLHAVEN_UPDATER_EXE ${PROJECT_SOURCE_DIR}/build/windows/${WELLHAVEN_UPDATER_NAME}.exe CACHE FILEPATH
  "The built Windows updater, for the tests that run it under Wine")
set(WELLHAVEN_UPDATER_EXE64 ${PROJECT_SOURCE_DIR}/build/windows64/${WELLHAVEN_UPDATER_NAME}.exe CACHE FILEPATH
  "The 64-bit Windows build of the updater, for the Wine tests where 32-bit x86 programs do not run")

if(WELLHAVEN_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

add_library(simwin STATIC
  platform/sim/sim_files.cpp
  platform/sim/sim_registry.cpp
  platform/sim/sim_module.cpp
  platform/sim/sim_user.cpp
  platform/sim/sim_state.cpp
  platform/sim/sim_entry.cpp
  platform/sim/sim_handles.cpp
  platform/sim/sim_memory.cpp
  platform/sim/sim_strings.cpp
  platform/sim/sim_disk.cpp
  platform/sim/sim_refusals.cpp
  platform/sim/sim_process.cpp
)
target_include_directories(simwin PUBLIC ${PROJECT_SOURCE_DIR})
# Optimised, sanitizers and all: the fault sweep runs the program's CRC-32
# and the simulated disk hundreds of thousands of times.
target_compile_options(simwin PRIVATE -Wall -Wextra -Werror -O2)

add_library(wellhaven_logic STATIC ${WELLHAVEN_LOGIC_SOURCES})
target_include_directories(wellhaven_logic PUBLIC ${PROJECT_SOURCE_DIR})
target_compile_options(wellhaven_logic PRIVATE ${WELLHAVEN_LOGIC_OPTIONS} -O2)
# The CRC-32 walks its buffer a pointer step at a time, which AddressSanitizer
# checks at every read; UBSan's check of each step for wrapping took half
# its time.
set_source_files_properties(replace/crc.cpp TARGET_DIRECTORY wellhaven_logic PROPERTIES
  COMPILE_OPTIONS -fno-sanitize=pointer-overflow)
target_link_libraries(wellhaven_logic PUBLIC simwin)

# The sample release, for the tests of whole updates; the logic takes its
# CRC-32s from it.
include(cmake/Release.cmake)
wellhaven_add_sample_release()
wellhaven_add_release_check(${WELLHAVEN_SAMPLE_RELEASE_DIR})
add_dependencies(release_check sample_release)
wellhaven_use_release_headers(wellhaven_logic PUBLIC)

enable_testing()
add_subdirectory(tests)
