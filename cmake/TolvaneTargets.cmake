# Every library takes all sources of its folder, so adding a file needs no CMake edit.
function(tolvane_library name dir)
  cmake_parse_arguments(ARG "" "" "LIBS" ${ARGN})
  file(GLOB _src CONFIGURE_DEPENDS ${dir}/*.cpp ${dir}/*.h)
  add_library(${name} STATIC ${_src})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${ARG_LIBS})
endfunction()

# One GoogleTest executable per test folder; each test case is its own CTest entry.
function(tolvane_test_dir name dir)
  cmake_parse_arguments(ARG "" "LABEL;MAIN" "LIBS" ${ARGN})
  file(GLOB _src CONFIGURE_DEPENDS ${dir}/*.cpp ${dir}/*.h)
  if(NOT _src)
    return()
  endif()
  if(NOT ARG_MAIN)
    set(ARG_MAIN ${PROJECT_SOURCE_DIR}/tests/support/main_plain.cpp)
  endif()
  add_executable(${name} ${_src} ${ARG_MAIN})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/tests)
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} tolvane_testsupport GTest::gtest GTest::gmock)
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    PROPERTIES LABELS ${ARG_LABEL} TIMEOUT 120
               # One variable only: a list here would be split into separate property arguments.
               # Widget tests set QT_QPA_PLATFORM themselves (tests/support/main_gui.cpp).
               ENVIRONMENT "TOLVANE_BUILD_DIR=${PROJECT_BINARY_DIR}")
endfunction()
