# What `cmake --install` lays out and what the Debian package holds: the programs in bin/,
# the library with its headers and its CMake package, and on Linux the man pages, the
# example files and the udev rules for the terminal's USB IDs. The 32-bit Windows build
# makes a ZIP package instead (WindowsPackage.cmake).
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
  include(${CMAKE_CURRENT_LIST_DIR}/WindowsPackage.cmake)
  return()
endif()

if(TARGET termsim)
  install(TARGETS termsim RUNTIME DESTINATION bin)
endif()

# Programs and documents of the Linux build.
if(TARGET keyprobe-check)
  install(TARGETS keyprobe-check RUNTIME DESTINATION bin)
  install(FILES ${CMAKE_BINARY_DIR}/60-keyprobe.rules DESTINATION lib/udev/rules.d)
endif()

set(KEYPROBE_DOC_DIR share/doc/keyprobe)
file(GLOB KEYPROBE_EXAMPLES ${PROJECT_SOURCE_DIR}/examples/*)
install(FILES ${KEYPROBE_EXAMPLES} DESTINATION ${KEYPROBE_DOC_DIR}/examples)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${CMAKE_CURRENT_LIST_DIR}/debian/copyright
  DESTINATION ${KEYPROBE_DOC_DIR})

# Man pages and the changelog go in compressed, as Debian wants them; -n keeps the
# archives the same from one build to the next.
find_program(KEYPROBE_GZIP gzip REQUIRED)
set(KEYPROBE_COMPRESSED)
file(GLOB KEYPROBE_MAN_PAGES ${PROJECT_SOURCE_DIR}/man/*.[1-9])
foreach(page ${KEYPROBE_MAN_PAGES} ${CMAKE_CURRENT_LIST_DIR}/debian/changelog)
  get_filename_component(name ${page} NAME)
  set(out ${CMAKE_BINARY_DIR}/compressed/${name}.gz)
  add_custom_command(OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/compressed
    COMMAND ${KEYPROBE_GZIP} -9nc ${page} > ${out}
    DEPENDS ${page})
  list(APPEND KEYPROBE_COMPRESSED ${out})
  if(name STREQUAL "changelog")
    install(FILES ${out} DESTINATION ${KEYPROBE_DOC_DIR})
  else()
    string(REGEX REPLACE ".*\\.([1-9])$" "\\1" section ${name})
    install(FILES ${out} DESTINATION share/man/man${section})
  endif()
endforeach()
add_custom_target(keyprobe_compressed_docs ALL DEPENDS ${KEYPROBE_COMPRESSED})

# The Debian package: `cpack -G DEB` in the build folder, once the build is done. Neither
# cpack nor `make install` builds everything first: that is the build's job, and a package
# made in the middle of a test run must not start compiling the tests.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY TRUE)
set(CPACK_PACKAGE_NAME keyprobe)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "KEYPROBE developers <keyprobe-dev@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "checks whether a payment terminal's debit keys are loaded")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
  "keyprobe asks a Pelsto payment terminal running the Orvik Interface\n"
  "Application whether its ten master/session and ten DUKPT key slots hold keys,\n"
  "over a serial port, TCP/IP, USB HID or the USBIO driver interface.\n"
  "keyprobe-check finds the terminal and tells why it cannot be opened; termsim\n"
  "plays a terminal for tests. The package also holds the IOClassLib library\n"
  "with its headers and CMake package, and udev rules that let the group\n"
  "plugdev open the terminal's USB devices.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_LIST_DIR}/debian/postinst)
set(CPACK_STRIP_FILES ON)
include(CPack)
