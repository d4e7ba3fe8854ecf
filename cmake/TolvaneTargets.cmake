# Every library takes all sources of its folder, so adding a file needs no CMake edit.
# Libraries are static for the tree's own builds and tests; TOLVANE_SHARED makes them shared, with
# a SONAME from the project version, for the installed package.
set(TOLVANE_LIBRARY_TYPE STATIC)
if(TOLVANE_SHARED)
  set(TOLVANE_LIBRARY_TYPE SHARED)
  # Installed programs find the libraries beside them, wherever the tree was installed.
  set(CMAKE_INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
endif()

# The installed name (lib<name>.so) and the CPort:: name of the libraries whose names differ from the
# rule tolvane_x_y → libtolvane-x-y, CPort::x_y.
set(_tolvane_names tolvane_cport=cport:cport tolvane_cportui_core=cportui-core:cportui_core
    tolvane_cportui=cportui:cportui tolvane_samples=cport-samples:samples)

function(tolvane_library name dir)
  cmake_parse_arguments(ARG "" "" "LIBS" ${ARGN})
  file(GLOB _src CONFIGURE_DEPENDS ${dir}/*.cpp ${dir}/*.h)
  add_library(${name} ${TOLVANE_LIBRARY_TYPE} ${_src})
  target_include_directories(${name} PUBLIC $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>
                                            $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/tolvane>)
  target_link_libraries(${name} PUBLIC ${ARG_LIBS})
  string(REPLACE "_" "-" _output ${name})
  string(REGEX REPLACE "^tolvane_" "" _export ${name})
  foreach(_entry ${_tolvane_names})
    if(_entry MATCHES "^${name}=([^:]+):(.+)$")
      set(_output ${CMAKE_MATCH_1})
      set(_export ${CMAKE_MATCH_2})
    endif()
  endforeach()
  set_target_properties(${name} PROPERTIES OUTPUT_NAME ${_output} EXPORT_NAME ${_export})
  set_property(GLOBAL APPEND PROPERTY TOLVANE_INSTALLED_LIBRARIES ${name})
  if(TOLVANE_SHARED)
    # A library finds the others beside itself (a run path is not inherited from the program).
    set_target_properties(${name} PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR}
                                             INSTALL_RPATH "$ORIGIN")
  endif()
  # The headers keep their place in the tree below include/tolvane, so includes read the same.
  file(RELATIVE_PATH _rel ${PROJECT_SOURCE_DIR} ${dir})
  file(GLOB _headers ${dir}/*.h)
  foreach(_h ${_headers})
    set_property(GLOBAL APPEND PROPERTY TOLVANE_INSTALLED_HEADERS "${_rel}|${_h}")
  endforeach()
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
