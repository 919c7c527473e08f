# What `cmake --install` lays out and what the Debian package holds: the programs in bin/,
# the library with its headers and its CMake package, and on Linux the man pages, the
# example files and the udev rules for the terminal's USB IDs.
include(CMakePackageConfigHelpers)

set(KEYPROBE_CMAKE_PACKAGE_DIR lib/cmake/IOClassLib)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/IOClassLibConfig.cmake.in
  ${CMAKE_BINARY_DIR}/IOClassLibConfig.cmake
  INSTALL_DESTINATION ${KEYPROBE_CMAKE_PACKAGE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/IOClassLibConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/IOClassLibConfig.cmake ${CMAKE_BINARY_DIR}/IOClassLibConfigVersion.cmake
  DESTINATION ${KEYPROBE_CMAKE_PACKAGE_DIR})

if(WIN32)
  return()
endif()

if(TARGET termsim)
  install(TARGETS termsim RUNTIME DESTINATION bin)
endif()
