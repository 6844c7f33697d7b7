# The release artefact: a 32-bit GUI executable that needs nothing but
# KERNEL32, ADVAPI32 and USER32. No C runtime and no C++ library are linked:
# the process starts in the program's own entry point, which calls WinMain.
add_executable(updater WIN32 ${WELLHAVEN_LOGIC_SOURCES} control/entry.cpp)
set_target_properties(updater PROPERTIES OUTPUT_NAME ${WELLHAVEN_UPDATER_NAME})
target_include_directories(updater PRIVATE ${PROJECT_SOURCE_DIR})
# Without a runtime nothing may need one: no DWARF unwind tables, no stack
# protector, and no stack probe. MinGW probes a frame of about 4,000 bytes
# or one of a size known only at run time; -Wstack-usage refuses both (its
# warning is an error), well below that. Constant data keeps the alignment
# its type needs, without the 32 bytes GCC gives every array of that size or
# more for faster copies, which the program never makes of its texts and
# tables.
target_compile_options(updater PRIVATE ${WELLHAVEN_LOGIC_OPTIONS}
  -Os -ffunction-sections -fdata-sections -fno-asynchronous-unwind-tables
  -fno-stack-protector -Wstack-usage=2048 -malign-data=abi)
# With -fdata-sections MinGW's GCC gives zero-filled data a .data section of
# its own, bytes on disk; the CRC-32's tables stay in .bss, which takes none.
set_source_files_properties(replace/crc.cpp TARGET_DIRECTORY updater PROPERTIES COMPILE_OPTIONS -fno-data-sections)
# The entry symbol carries the leading underscore of 32-bit C names. 32-bit
# Windows aligns the stack to 4 bytes only, where GCC assumes 16 on entry to
# every function: told so, it never relies on more.
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "i686")
  set(wellhaven_entry _WellhavenStart)
  target_compile_options(updater PRIVATE -mpreferred-stack-boundary=2)
else()
  set(wellhaven_entry WellhavenStart)
  # MinGW's default medium model reaches every other object's data through a
  # pointer of its own, for data a DLL might export; the program takes none
  # from a DLL, so the small model addresses it directly.
  target_compile_options(updater PRIVATE -mcmodel=small)
endif()
# -nostdlib drops the runtime's start-up and libraries alike, libgcc too: a
# call the compiler makes for the program (a stack probe, a 64-bit division)
# fails the link instead of bringing code that wants a runtime. The three
# DLLs are the only libraries, without those CMake adds to every Windows
# program (the one other C++ target, the behaviour probe, names its own).
set(CMAKE_CXX_STANDARD_LIBRARIES "")
target_link_options(updater PRIVATE
  -nostdlib -Wl,--subsystem,windows -Wl,-e,${wellhaven_entry} -s
  -Wl,--gc-sections -Wl,--no-insert-timestamp)
target_link_libraries(updater PRIVATE kernel32 advapi32 user32)

# Payloads, icon and version block from payload/updater.rc, with the release
# check before the resources are compiled (cmake/Release.cmake).
include(cmake/Release.cmake)
wellhaven_add_resources(updater)

# The box robot that answers the updater's boxes in the Wine tests: built
# only with the tests, so that a release build holds the updater alone.
option(BUILD_TESTING "Build the box robot and register the checks of the executable" ON)
if(BUILD_TESTING)
  add_subdirectory(tools/wine/robot)
  add_subdirectory(tools/probe)
else()
  file(REMOVE ${CMAKE_BINARY_DIR}/boxrobot.exe ${CMAKE_BINARY_DIR}/behaviour_probe.exe)
  return()
endif()

# `ctest --preset windows`: the checks of this build's own executable (its
# resources, imports and headers). The host build runs them too, with the
# rest of the suite.
enable_testing()
add_test(NAME pe.resources COMMAND ${Python3_EXECUTABLE} -B ${PROJECT_SOURCE_DIR}/tests/release/test_pe.py)
set_tests_properties(pe.resources PROPERTIES LABELS pe ENVIRONMENT
  "WELLHAVEN_SOURCE_DIR=${PROJECT_SOURCE_DIR};WELLHAVEN_UPDATER_EXE=$<TARGET_FILE:updater>;WELLHAVEN_TEST_WORK=${CMAKE_BINARY_DIR}")
