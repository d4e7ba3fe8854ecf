# Installation (GNUInstallDirs), the CPort CMake package and pkg-config file, and the Debian package
# (cpack -G DEB). The package is built from a TOLVANE_SHARED build configured with
# CMAKE_INSTALL_PREFIX=/usr; see scripts/package.sh.
include(CMakePackageConfigHelpers)

get_property(_libs GLOBAL PROPERTY TOLVANE_INSTALLED_LIBRARIES)
install(TARGETS ${_libs} EXPORT CPortTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)

get_property(_headers GLOBAL PROPERTY TOLVANE_INSTALLED_HEADERS)
foreach(_entry ${_headers})
  string(REPLACE "|" ";" _parts "${_entry}")
  list(GET _parts 0 _rel)
  list(GET _parts 1 _file)
  install(FILES ${_file} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tolvane/${_rel} COMPONENT dev)
endforeach()
install(FILES ${PROJECT_BINARY_DIR}/generated/tolvane/Version.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tolvane/tolvane COMPONENT dev)

set(_cmakedir ${CMAKE_INSTALL_LIBDIR}/cmake/CPort)
install(EXPORT CPortTargets NAMESPACE CPort:: DESTINATION ${_cmakedir} COMPONENT dev)
configure_package_config_file(cmake/CPortConfig.cmake.in ${PROJECT_BINARY_DIR}/CPortConfig.cmake
                              INSTALL_DESTINATION ${_cmakedir})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/CPortConfigVersion.cmake VERSION ${PROJECT_VERSION}
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/CPortConfig.cmake ${PROJECT_BINARY_DIR}/CPortConfigVersion.cmake
        DESTINATION ${_cmakedir} COMPONENT dev)
file(RELATIVE_PATH PC_RELATIVE_PREFIX "/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/")
configure_file(cmake/cport.pc.in ${PROJECT_BINARY_DIR}/cport.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/cport.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)

# The tools, their desktop entries, icon and manual pages.
foreach(_tool tolvane tolvane-flash tolvane-devsim tolvane-term tolvane-gallery)
  if(TARGET ${_tool})
    install(TARGETS ${_tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
    if(EXISTS ${PROJECT_SOURCE_DIR}/packaging/${_tool}.desktop)
      install(FILES ${PROJECT_SOURCE_DIR}/packaging/${_tool}.desktop
              DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT runtime)
    endif()
  endif()
endforeach()
if(TARGET tolvane)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/icons/tolvane.svg
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps COMPONENT runtime)
  set(_sizes 16 24 32 48 64 128 256)
  add_executable(tolvane-icons ${PROJECT_SOURCE_DIR}/packaging/IconMain.cpp ${PROJECT_SOURCE_DIR}/app/Logo.cpp)
  target_include_directories(tolvane-icons PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(tolvane-icons PRIVATE Qt6::Gui)
  set(_pngs)
  foreach(_s ${_sizes})
    list(APPEND _pngs ${PROJECT_BINARY_DIR}/icons/${_s}x${_s}/tolvane.png)
  endforeach()
  add_custom_command(OUTPUT ${_pngs} COMMAND tolvane-icons ${PROJECT_BINARY_DIR}/icons ${_sizes}
                     DEPENDS tolvane-icons COMMENT "Rendering the icon")
  add_custom_target(tolvane_icon_pngs ALL DEPENDS ${_pngs})
  foreach(_s ${_sizes})
    install(FILES ${PROJECT_BINARY_DIR}/icons/${_s}x${_s}/tolvane.png
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${_s}x${_s}/apps COMPONENT runtime)
  endforeach()
endif()
# Each tool's manual page goes with the tool: the windowed ones exist only in the GUI build.
find_program(GZIP_PROGRAM gzip)
set(_manpages)
foreach(_tool tolvane tolvane-flash tolvane-devsim tolvane-term tolvane-gallery)
  if(NOT TARGET ${_tool})
    continue()
  endif()
  set(_page ${PROJECT_SOURCE_DIR}/docs/man/${_tool}.1)
  set(_gz ${PROJECT_BINARY_DIR}/man/${_tool}.1.gz)
  add_custom_command(OUTPUT ${_gz} COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
                     COMMAND ${GZIP_PROGRAM} -9nc ${_page} > ${_gz}
                     DEPENDS ${_page})
  list(APPEND _manpages ${_gz})
  install(FILES ${_gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT runtime)
endforeach()
if(_manpages)
  add_custom_target(tolvane_manpages ALL DEPENDS ${_manpages})
endif()
# Bash completion: the loader looks a command's file up by the command's name, so the one script
# (which defines the completion of all three) is installed under each name.
foreach(_tool tolvane-flash tolvane-devsim tolvane-term)
  if(TARGET ${_tool})
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/bash-completion/tolvane RENAME ${_tool}
            DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions COMPONENT runtime)
  endif()
endforeach()
install(FILES README.md docs/flashing.md docs/serial-on-linux.md docs/file-formats.md docs/form-data.md docs/network-ports.md
        DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT runtime OPTIONAL)

# The Debian package: everything in one package "tolvane".
set(CPACK_PACKAGE_NAME tolvane)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Tolvane")
set(CPACK_PACKAGE_CONTACT "Tolvane developers <dev@tolvane.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "serial-port firmware flasher, serial terminal and serial component library")
set(CPACK_PACKAGE_DESCRIPTION
    "Tolvane writes .flash firmware images into devices on serial ports (a desktop tool and a command-line\n"
    "flasher with parallel and watch modes), with a simulated device, a VT100 serial terminal and the C++\n"
    "serial component library they are built from. Serial devices belong to the group dialout: join it\n"
    "with 'sudo usermod -aG dialout USER' and log in again.")
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "libc6 (>= 2.36), libstdc++6 (>= 12), libgcc-s1, libqt6core6 (>= 6.4), libqt6gui6 (>= 6.4), libqt6widgets6 (>= 6.4), qt6-qpa-plugins")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-urw-base35")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "qt6-base-dev, cmake")
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
include(CPack)
