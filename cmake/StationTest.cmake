# station_module_tests(<module> [LIBS ...] [ENVIRONMENT VAR=VALUE ...]): every *.cpp in the calling
# folder becomes one GoogleTest program, <module>_tests, whose tests CTest discovers one by one and
# runs with the given environment.
# Test suites whose name contains "Concurrency" are the ones the ThreadSanitizer build runs; with
# STATION_CONCURRENCY_TESTS_ONLY the program holds only the files that define such suites, and a
# module without any gets no program.
function(station_module_tests module)
  cmake_parse_arguments(ARG "" "" "LIBS;ENVIRONMENT" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  if(STATION_CONCURRENCY_TESTS_ONLY)
    set(kept)
    foreach(source IN LISTS sources)
      file(STRINGS ${source} hits REGEX "TEST(_F|_P)?\\([A-Za-z0-9_]*Concurrency")
      if(hits)
        list(APPEND kept ${source})
      endif()
    endforeach()
    set(sources ${kept})
    if(NOT sources)
      return()
    endif()
  endif()
  add_executable(${module}_tests ${sources})
  add_dependencies(station_tests ${module}_tests)
  target_include_directories(${module}_tests PRIVATE ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR}/tests)
  target_link_libraries(${module}_tests PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
  target_compile_definitions(${module}_tests PRIVATE
    STATION_SOURCE_DIR="${PROJECT_SOURCE_DIR}" STATION_BINARY_DIR="${PROJECT_BINARY_DIR}")
  gtest_discover_tests(${module}_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
    PROPERTIES ENVIRONMENT "MTOOLS_SKIP_CHECK=1;${ARG_ENVIRONMENT}")
endfunction()
