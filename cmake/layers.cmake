# One library per layer (or per namespace group inside the platform).
# Sources are picked up by glob so that a layer grows by adding files; a
# layer without sources yet is an interface library.
function(zv_add_layer target)
  cmake_parse_arguments(ARG "" "" "DIRS;DEPS;EXTRA_SOURCES" ${ARGN})
  set(_srcs)
  foreach(_dir ${ARG_DIRS})
    file(GLOB_RECURSE _dsrcs CONFIGURE_DEPENDS "${CMAKE_SOURCE_DIR}/${_dir}/*.cpp")
    list(APPEND _srcs ${_dsrcs})
  endforeach()
  # Entry points are not part of a layer library.
  list(FILTER _srcs EXCLUDE REGEX "/main\\.cpp$")
  list(APPEND _srcs ${ARG_EXTRA_SOURCES})
  if(_srcs)
    add_library(${target} STATIC ${_srcs})
    target_include_directories(${target} PUBLIC ${CMAKE_SOURCE_DIR} ${CMAKE_BINARY_DIR}/generated)
    target_link_libraries(${target} PUBLIC ${ARG_DEPS} Threads::Threads Boost::headers)
  else()
    add_library(${target} INTERFACE)
    target_include_directories(${target} INTERFACE ${CMAKE_SOURCE_DIR} ${CMAKE_BINARY_DIR}/generated)
    target_link_libraries(${target} INTERFACE ${ARG_DEPS} Threads::Threads Boost::headers)
  endif()
endfunction()

# One GoogleTest binary per layer: every *_test.cpp below tests/<dir>.
# Suites whose name ends in "Concurrency" are the ones CI also runs under TSan;
# with ZV_TESTS_CONCURRENCY_ONLY (the tsan preset) a binary is built of the
# files that hold such a suite only (chosen when CMake configures).
# LOCK names a resource: tests that hold the same lock never run at the same
# time (whole simulated chassis with their own threads and time-outs).
# Where the build optimises, test code carries line tables only (-g1, enough
# for backtraces) and is compiled at -O1 (the code under test keeps the
# build's own flags): each a third quicker to compile. GoogleTest is parsed
# once per binary rather than once per file.
function(zv_add_tests name dir)
  cmake_parse_arguments(ARG "" "LOCK" "DEPS" ${ARGN})
  file(GLOB_RECURSE _srcs CONFIGURE_DEPENDS "${CMAKE_SOURCE_DIR}/tests/${dir}/*_test.cpp")
  if(ZV_TESTS_CONCURRENCY_ONLY)
    set(_concurrency)
    foreach(_src ${_srcs})
      file(STRINGS "${_src}" _suites REGEX "Concurrency" LIMIT_COUNT 1)
      if(_suites)
        list(APPEND _concurrency "${_src}")
      endif()
    endforeach()
    set(_srcs ${_concurrency})
  endif()
  if(NOT _srcs)
    return()
  endif()
  file(GLOB_RECURSE _support CONFIGURE_DEPENDS "${CMAKE_SOURCE_DIR}/tests/${dir}/*_support.cpp")
  add_executable(test_${name} ${_srcs} ${_support})
  target_link_libraries(test_${name} PRIVATE ${ARG_DEPS} GTest::gtest GTest::gmock GTest::gtest_main)
  target_include_directories(test_${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests)
  # Files of the source tree that tests read (__FILE__ may be relative).
  target_compile_definitions(test_${name} PRIVATE ZV_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
  target_compile_options(test_${name} PRIVATE $<$<CONFIG:RelWithDebInfo>:-g1 -O1>)
  target_precompile_headers(test_${name} PRIVATE <gtest/gtest.h> <gmock/gmock.h>)
  set(_props ENVIRONMENT "ZV_TEST_DATA=${CMAKE_SOURCE_DIR}/tests/data")
  if(ARG_LOCK)
    list(APPEND _props RESOURCE_LOCK ${ARG_LOCK})
  endif()
  gtest_discover_tests(test_${name} DISCOVERY_TIMEOUT 60 PROPERTIES ${_props})
endfunction()
