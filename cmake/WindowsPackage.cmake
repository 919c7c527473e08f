# The Windows release package: `cpack -G ZIP` in the mingw-i686 build folder makes
# keyprobe-<version>-win32.zip with one folder holding the programs, a read-me, the example
# INI files and the licence. Its files form the install component "windows"; the library
# and its CMake package, which the same build installs, stay out of it. Only the 32-bit
# program is shipped, and the read-me describes it: the 64-bit build makes no package.
if(NOT CMAKE_SIZEOF_VOID_P EQUAL 4)
  return()
endif()

set(KEYPROBE_WINDOWS_SOURCE ${CMAKE_CURRENT_LIST_DIR}/windows)
set(KEYPROBE_WINDOWS_STAGE ${CMAKE_BINARY_DIR}/windows-package)

install(TARGETS keyprobe keyprobe-check RUNTIME DESTINATION . COMPONENT windows)

# The text files get CR LF line ends, so that every Notepad shows their lines. The stage is
# made anew, so that a file taken out of the sources leaves the package too.
file(REMOVE_RECURSE ${KEYPROBE_WINDOWS_STAGE})
file(READ ${PROJECT_SOURCE_DIR}/LICENSE KEYPROBE_LICENSE_TEXT)
string(STRIP "${KEYPROBE_LICENSE_TEXT}" KEYPROBE_LICENSE_TEXT)
# configure_file converts the template's line ends, not those of a value put into it.
string(REPLACE "\n" "\r\n" KEYPROBE_LICENSE_TEXT "${KEYPROBE_LICENSE_TEXT}")
file(GLOB KEYPROBE_WINDOWS_EXAMPLES RELATIVE ${KEYPROBE_WINDOWS_SOURCE} ${KEYPROBE_WINDOWS_SOURCE}/examples/*.ini)
foreach(text README.txt LICENSE.txt ${KEYPROBE_WINDOWS_EXAMPLES})
  set(input ${KEYPROBE_WINDOWS_SOURCE}/${text})
  if(EXISTS ${input}.in)
    set(input ${input}.in)
  endif()
  configure_file(${input} ${KEYPROBE_WINDOWS_STAGE}/${text} @ONLY NEWLINE_STYLE CRLF)
endforeach()
install(DIRECTORY ${KEYPROBE_WINDOWS_STAGE}/ DESTINATION . COMPONENT windows)

# As for the Debian package, making the package does not build first: the build does.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY TRUE)
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME keyprobe)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_SYSTEM_NAME win32)
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};windows;/")
include(CPack)
