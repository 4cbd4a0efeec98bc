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

# zek_defaults(target): warnings as errors and the repository root on the include path.
function(zek_defaults target)
  target_compile_options(${target} PRIVATE ${ZEK_WARNINGS})
  target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR})
endfunction()

# zek_gtest(name SOURCES ... LIBS ...): one GoogleTest program registered with ctest.
function(zek_gtest name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  zek_defaults(${name})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock Threads::Threads)
  if(NOT ARG_SOURCES MATCHES "main\\.cpp")
    target_link_libraries(${name} PRIVATE GTest::gtest_main)
  endif()
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                       PROPERTIES TIMEOUT 300)
endfunction()

# zek_benchmark(name SOURCES ... LIBS ...): a Google Benchmark program (not run by ctest).
function(zek_benchmark name)
  if(NOT ZEK_BENCHMARKS)
    return()
  endif()
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  zek_defaults(${name})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} benchmark::benchmark Threads::Threads)
endfunction()

include(GoogleTest)
