# Common settings for every target of the project.

set(ZEK_WARNINGS
  -Wall -Wextra -Werror
  -Wno-unused-parameter            # routine tables and platform signatures keep their full shape
  -Wno-missing-field-initializers
)

if(ZEK_SANITIZE)
  set(ZEK_SANITIZER_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  add_compile_options(${ZEK_SANITIZER_FLAGS})
  add_link_options(${ZEK_SANITIZER_FLAGS})
endif()

# The fuzzing build (ZEK_FUZZ, clang only): everything compiled with
# libFuzzer's coverage and AddressSanitizer and UndefinedBehaviorSanitizer;
# the fuzz targets (`cmake --build ... --target fuzz`) link libFuzzer's main.
if(ZEK_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "the fuzzing build needs clang (CC=clang CXX=clang++)")
  endif()
  if(ZEK_SANITIZE)
    message(FATAL_ERROR "the fuzzing build has its sanitizers already: leave ZEK_SANITIZE off")
  endif()
  set(ZEK_FUZZ_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  add_compile_options(-fsanitize=fuzzer-no-link ${ZEK_FUZZ_FLAGS})
  add_link_options(${ZEK_FUZZ_FLAGS})
endif()

# The time limit of one test case (one GoogleTest case, or one benchmark smoke
# run), in seconds. This is the only place that decides it: scripts/test
# passes no --timeout of its own (a test's TIMEOUT property would win over it
# anyway).
set(ZEK_TEST_TIMEOUT 300 CACHE STRING "Time limit of one test case, in seconds")

# Labels a test can carry, for `ctest -L`:
#   unit   in-process tests (the default)
#   lab    tests that start zekhost processes
#   bench  smoke runs of the benchmark programs (one short pass of each benchmark)
#   fuzz   bounded runs of the fuzz targets (the fuzzing build only)
set(ZEK_TEST_LABELS unit lab bench fuzz)

# Where tests make their temporary directories (TMPDIR of every test): one
# directory per build tree, which scripts/test empties before each run, so
# that a test killed at its time limit leaves nothing behind for long. It is
# in /tmp under a short name because the host directories made there hold
# the hosts' Unix sockets, whose paths are limited to 107 bytes.
string(MD5 _zek_build_hash "${CMAKE_BINARY_DIR}")
string(SUBSTRING "${_zek_build_hash}" 0 10 _zek_build_hash)
set(ZEK_TEST_TMPDIR /tmp/zektest-${_zek_build_hash} CACHE INTERNAL "Temporary directory of the tests")
file(MAKE_DIRECTORY ${ZEK_TEST_TMPDIR})

function(zek_check_label label)
  if(NOT label IN_LIST ZEK_TEST_LABELS)
    message(FATAL_ERROR "unknown test label '${label}' (known: ${ZEK_TEST_LABELS})")
  endif()
endfunction()

# zek_defaults(target): warnings as errors and the repository root on the include path.
function(zek_defaults target)
  target_compile_options(${target} PRIVATE ${ZEK_WARNINGS})
  target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR})
endfunction()

# zek_programs(target NAME=program ...): the programs, drivers and tools a
# test or benchmark starts: each is built before `target`, and its path is
# the compile definition ZEK_NAME (a string) of `target`.
function(zek_programs target)
  foreach(item ${ARGN})
    if(NOT item MATCHES "^([A-Z0-9_]+)=(.+)$")
      message(FATAL_ERROR "zek_programs(${target}): '${item}' is not NAME=program")
    endif()
    add_dependencies(${target} ${CMAKE_MATCH_2})
    target_compile_definitions(${target} PRIVATE "ZEK_${CMAKE_MATCH_1}=\"$<TARGET_FILE:${CMAKE_MATCH_2}>\"")
  endforeach()
endfunction()

# The programs of a lab test of a host with the miniport and the proxy
# driver, and the reader of its logs (for zek_gtest's PROGRAMS).
set(ZEK_HOST_PROGRAMS HOST_BINARY=zekhost HNIC_DRIVER=zekhnic PROXY_DRIVER=zekproxy LOGDUMP_BINARY=zeklogdump)

# zek_gtest(name SOURCES ... LIBS ... [LABEL unit|lab] [PROGRAMS NAME=program ...]):
# one GoogleTest program registered with ctest, each of its cases a test
# carrying the label (`unit` unless LABEL says otherwise); PROGRAMS as
# zek_programs. With ZEK_TESTS off (the release build of a full test run,
# which serves the benchmarks only) the program is left out of the default
# build and of ctest.
function(zek_gtest name)
  cmake_parse_arguments(ARG "" "LABEL" "SOURCES;LIBS;PROGRAMS" ${ARGN})
  if(NOT ARG_LABEL)
    set(ARG_LABEL unit)
  endif()
  zek_check_label(${ARG_LABEL})
  if(ZEK_TESTS)
    add_executable(${name} ${ARG_SOURCES})
  else()
    add_executable(${name} EXCLUDE_FROM_ALL ${ARG_SOURCES})
  endif()
  zek_defaults(${name})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock Threads::Threads)
  if(NOT ARG_SOURCES MATCHES "main\\.cpp")
    target_link_libraries(${name} PRIVATE GTest::gtest_main)
  endif()
  zek_programs(${name} ${ARG_PROGRAMS})
  if(ZEK_TESTS)
    gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                         PROPERTIES TIMEOUT ${ZEK_TEST_TIMEOUT} LABELS ${ARG_LABEL}
                                    ENVIRONMENT TMPDIR=${ZEK_TEST_TMPDIR})
  endif()
endfunction()

# zek_benchmark(name SOURCES ... LIBS ... [SMOKE_ARGS ...] [NO_SMOKE]
# [PROGRAMS NAME=program ...]): a Google Benchmark program, built with
# ZEK_BENCHMARKS. Its smoke run (test `name`, label `bench`) runs every
# benchmark once for its shortest time, with SMOKE_ARGS added (a
# --benchmark_filter that leaves out a costly case, say), and fails on a
# benchmark that reports an error. NO_SMOKE leaves the program out of ctest.
# PROGRAMS as zek_programs.
function(zek_benchmark name)
  if(NOT ZEK_BENCHMARKS)
    return()
  endif()
  cmake_parse_arguments(ARG "NO_SMOKE" "" "SOURCES;LIBS;SMOKE_ARGS;PROGRAMS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  zek_defaults(${name})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} benchmark::benchmark Threads::Threads)
  zek_programs(${name} ${ARG_PROGRAMS})
  if(NOT ARG_NO_SMOKE)
    add_test(NAME ${name} COMMAND ${name} --benchmark_min_time=0 ${ARG_SMOKE_ARGS})
    set_tests_properties(${name} PROPERTIES
      TIMEOUT ${ZEK_TEST_TIMEOUT} LABELS bench FAIL_REGULAR_EXPRESSION "ERROR OCCURRED"
      ENVIRONMENT TMPDIR=${ZEK_TEST_TMPDIR})
  endif()
endfunction()

# zek_fuzz(name SOURCES ... LIBS ... [DEFINES ...]): a libFuzzer target, built
# in the fuzzing build only, and its bounded run (test `name`, label `fuzz`):
# ZEK_FUZZ_SECONDS of fuzzing from the corpus the earlier runs of this build
# tree left, which the run extends. An input that crashes, trips a sanitizer,
# runs over 20 seconds or takes over 2 GB fails the test and is kept beside
# the corpus for replay (`name FILE`).
set(ZEK_FUZZ_SECONDS 20 CACHE STRING "Fuzzing time of one fuzz target's test, in seconds")
function(zek_fuzz name)
  if(NOT ZEK_FUZZ)
    return()
  endif()
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS;DEFINES" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  zek_defaults(${name})
  target_compile_definitions(${name} PRIVATE ${ARG_DEFINES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} Threads::Threads)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  if(NOT TARGET fuzz)
    add_custom_target(fuzz)
  endif()
  add_dependencies(fuzz ${name})
  set(dir ${CMAKE_BINARY_DIR}/fuzz/${name})
  file(MAKE_DIRECTORY ${dir}/corpus)
  add_test(NAME ${name}
           COMMAND ${name} -max_total_time=${ZEK_FUZZ_SECONDS} -timeout=20 -rss_limit_mb=2048
                   -print_final_stats=1 -artifact_prefix=${dir}/ ${dir}/corpus)
  set_tests_properties(${name} PROPERTIES
    TIMEOUT ${ZEK_TEST_TIMEOUT} LABELS fuzz ENVIRONMENT TMPDIR=${ZEK_TEST_TMPDIR})
endfunction()

set(ZEK_EXPORTS_MAP ${CMAKE_CURRENT_LIST_DIR}/exports.map)
set(ZEK_DRIVER_IMAGE_MAP ${CMAKE_CURRENT_LIST_DIR}/driver_image.map)

# zek_exports(library [OBJECTS object-library ...]): a deliverable's shared
# library exports what its headers mark ZEK_EXPORT (include/zek/export.h),
# under its plain C name, and nothing else: its code (and the object
# libraries it is built from) is compiled with hidden visibility, and
# cmake/exports.map keeps C++ names out of its dynamic symbols.
function(zek_exports library)
  cmake_parse_arguments(ARG "" "" "OBJECTS" ${ARGN})
  foreach(target ${library} ${ARG_OBJECTS})
    set_target_properties(${target} PROPERTIES CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
  endforeach()
  target_link_options(${library} PRIVATE -Wl,--version-script=${ZEK_EXPORTS_MAP})
  set_property(TARGET ${library} APPEND PROPERTY LINK_DEPENDS ${ZEK_EXPORTS_MAP})
endfunction()

# zek_platform_exports(library): a shared library of the stand-in platform
# that programs look up by name (the user runtime, WinSock, the registry and
# services, IP Helper): only its C names are dynamic symbols. The C++ of the
# platform it is built from (shared files, the registry store, text helpers)
# stays inside, so nothing outside can bind to it by accident. What they
# share with one another (the user runtime's handle table) goes through C
# names too (platform/user/shared.h).
function(zek_platform_exports library)
  target_link_options(${library} PRIVATE -Wl,--version-script=${ZEK_EXPORTS_MAP})
  set_property(TARGET ${library} APPEND PROPERTY LINK_DEPENDS ${ZEK_EXPORTS_MAP})
endfunction()

# zek_driver_image(name [CORE library] [SOURCES ...] [LIBS ...]): a driver
# image as zekhost loads it, `name.so` in the build's lib/. A driver's code is
# built once as the static library CORE (which in-process tests link) and
# taken into the image whole, so that its DriverEntry is the image's entry
# point, together with what CORE links. SOURCES are compiled into the image
# alone (a test driver has no CORE), LIBS are linked into it. The image
# exports DriverEntry only (cmake/driver_image.map).
function(zek_driver_image name)
  cmake_parse_arguments(ARG "" "CORE" "SOURCES;LIBS" ${ARGN})
  if(NOT ARG_CORE AND NOT ARG_SOURCES)
    message(FATAL_ERROR "zek_driver_image(${name}): neither CORE nor SOURCES")
  endif()
  if(NOT ARG_SOURCES)
    # A library needs a source of its own; the image's code is all in CORE.
    set(image_source ${CMAKE_CURRENT_BINARY_DIR}/${name}_image.cpp)
    file(CONFIGURE OUTPUT ${image_source}
         CONTENT "// The driver image ${name}.so: the library ${ARG_CORE}, linked whole.\n")
    set(ARG_SOURCES ${image_source})
  endif()
  add_library(${name} SHARED ${ARG_SOURCES})
  zek_defaults(${name})
  set_target_properties(${name} PROPERTIES PREFIX "")
  if(ARG_CORE)
    target_link_libraries(${name} PRIVATE "$<LINK_LIBRARY:WHOLE_ARCHIVE,${ARG_CORE}>")
  endif()
  target_link_libraries(${name} PRIVATE ${ARG_LIBS})
  target_link_options(${name} PRIVATE -Wl,--version-script=${ZEK_DRIVER_IMAGE_MAP})
  set_property(TARGET ${name} APPEND PROPERTY LINK_DEPENDS ${ZEK_DRIVER_IMAGE_MAP})
endfunction()

include(GoogleTest)
