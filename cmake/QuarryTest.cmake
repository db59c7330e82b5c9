# The checkout as the tests see it: under Wine through its drive Z:, which maps to "/".
if(WIN32 AND CMAKE_CROSSCOMPILING)
  string(REPLACE "/" "\\" QUARRY_TEST_SOURCE_DIR "Z:${CMAKE_SOURCE_DIR}")
else()
  set(QUARRY_TEST_SOURCE_DIR ${CMAKE_SOURCE_DIR})
endif()

# quarry_add_test(NAME SOURCES... [LIBS libs...] [LABELS labels...])
# Builds one test executable and registers it with CTest. Each test runs in its own
# temporary working directory below the build tree, so no test writes into the checkout.
function(quarry_add_test name)
  cmake_parse_arguments(QT "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${QT_SOURCES} ${QT_UNPARSED_ARGUMENTS})
  target_link_libraries(${name} PRIVATE ${QT_LIBS})
  set(workdir ${CMAKE_BINARY_DIR}/testwork/${name})
  file(MAKE_DIRECTORY ${workdir})
  add_test(NAME ${name} COMMAND ${name} WORKING_DIRECTORY ${workdir})
  set_tests_properties(${name} PROPERTIES
    ENVIRONMENT "QUARRY_SOURCE_DIR=${QUARRY_TEST_SOURCE_DIR};ASAN_OPTIONS=detect_leaks=1:abort_on_error=1;UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1"
    TIMEOUT 300)
  if(QT_LABELS)
    set_tests_properties(${name} PROPERTIES LABELS "${QT_LABELS}")
  endif()
endfunction()

# quarry_add_gtests(DIR LIB NAME...): each tests/DIR/NAME.cpp is one GoogleTest executable
# named DIR_NAME, linked with LIB.
function(quarry_add_gtests dir lib)
  foreach(base ${ARGN})
    set(src ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/${base}.cpp)
    # A file named *_threads_test.cpp holds threaded tests: the ThreadSanitizer run takes them.
    if(base MATCHES "_threads_test$")
      quarry_add_test(${dir}_${base} SOURCES ${src} LIBS ${lib} GTest::gtest GTest::gtest_main testsupport LABELS threads)
    else()
      quarry_add_test(${dir}_${base} SOURCES ${src} LIBS ${lib} GTest::gtest GTest::gtest_main testsupport)
    endif()
  endforeach()
endfunction()
