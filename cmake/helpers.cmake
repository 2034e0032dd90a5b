set(ZORV_INCLUDE_DIR ${CMAKE_SOURCE_DIR}/src/platform/include)

# A plug-in module: a shared library named <name>.so with hidden visibility.
# It takes the host framework's symbols (and libxml2's, libcurl's) from the
# daemon process, so it is not linked against them; libdrask is a load-time
# dependency. Only symbols marked ZORV_EXPORT are dynamic symbols.
function(zorv_add_module name)
  add_library(${name} MODULE ${ARGN})
  set_target_properties(${name} PROPERTIES
    PREFIX ""
    CXX_VISIBILITY_PRESET hidden
    C_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
  target_include_directories(${name} PRIVATE ${ZORV_INCLUDE_DIR}
    ${XML2_INCLUDE_DIRS} ${CURL_INCLUDE_DIRS})
  # Linked with --as-needed off for drask so that it stays a DT_NEEDED
  # entry even before the module calls into it.
  target_link_libraries(${name} PRIVATE -Wl,--no-as-needed drask -Wl,--as-needed)
endfunction()

# A GoogleTest executable registered with CTest. LABELS concurrency marks
# tests that run under ThreadSanitizer; all others run under ASan+UBSan.
function(zorv_add_test name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LABELS;DEPENDS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_include_directories(${name} PRIVATE ${ZORV_INCLUDE_DIR}
    ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR}/tests)
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main
    Threads::Threads)
  if(T_DEPENDS)
    add_dependencies(${name} ${T_DEPENDS})
  endif()
  add_test(NAME ${name} COMMAND ${name})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT}
    ENVIRONMENT "ZORV_BUILD_DIR=${CMAKE_BINARY_DIR};ZORV_SOURCE_DIR=${CMAKE_SOURCE_DIR};TSAN_OPTIONS=suppressions=${CMAKE_SOURCE_DIR}/tests/tsan.supp halt_on_error=1 second_deadlock_stack=1;ASAN_OPTIONS=detect_leaks=1;UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1")
  if(T_LABELS)
    set_tests_properties(${name} PROPERTIES LABELS "${T_LABELS}")
  endif()
endfunction()
