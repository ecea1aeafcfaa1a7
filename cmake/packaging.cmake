# CPack: the Debian package and a tarball of the same tree from a Linux build; the zip from the
# Windows builds (scripts/package.sh installs the 32-bit and the 64-bit build into one zip).
set(CPACK_PACKAGE_NAME corvane)
set(CPACK_PACKAGE_VENDOR "the Corvane authors")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "host library for FPGA boards behind an FTDI USB bridge chip")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_SOURCE_DIR}/dist) # scripts/package.sh makes them elsewhere and moves them here
set(CPACK_STRIP_FILES ON)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME corvane-${PROJECT_VERSION}-windows)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
else()
  set(CPACK_GENERATOR "DEB;TGZ")
  set(CPACK_PACKAGE_FILE_NAME corvane-${PROJECT_VERSION}-linux-${CMAKE_SYSTEM_PROCESSOR})
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
  # The .deb installs under /usr; the tarball is the prefix's tree itself.
  set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/cpack_generator.cmake)

  # One Debian package per install component (cmake/install.cmake), named and split as Debian
  # splits a library: libcorvane1 to run programs, libcorvane-dev to build them, corvane-tools for
  # the command line, python3-corvane for Python.
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_ALL runtime development tools python)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT) # <package>_<version>_<arch>.deb
  set(CPACK_DEBIAN_PACKAGE_SOURCE corvane)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "The Corvane authors <corvane@example.com>")
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
  set(same_version "(= ${PROJECT_VERSION})")
  # The one package `corvane` that held all of it before is replaced whole: dpkg removes it when
  # any of these comes in, and they take its files over.
  set(CPACK_DEBIAN_PACKAGE_CONFLICTS corvane)
  set(CPACK_DEBIAN_PACKAGE_REPLACES corvane)
  # dpkg-shlibdeps finds the tool's libcorvane.so.1 in the build tree (libcorvane1 is named below).
  get_target_property(corvane_library_dir corvane BINARY_DIR)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${corvane_library_dir})
  # CPack puts one space before every line of a description and takes the first line for the
  # summary; a line that has its own space becomes verbatim text in the package managers' display.
  set(corvane_about "Corvane lets applications exchange commands and data with FPGA boards behind
an FTDI USB bridge chip, through a D2XX driver it loads at run time.")

  set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${CORVANE_PACKAGE_runtime})
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/debian/libcorvane1/postinst
    ${PROJECT_SOURCE_DIR}/packaging/debian/libcorvane1/postrm ${PROJECT_SOURCE_DIR}/packaging/debian/libcorvane1/triggers)
  # Corvane's own D2XX driver (libcorvane_d2xx.so, on libusb-1.0) is a real driver: it goes beside
  # libcorvane.so.1, where the loader finds it by name. dpkg-shlibdeps sees that it links libusb-1.0
  # and adds Debian's libusb-1.0-0 to Depends.
  if(TARGET open_driver)
    set(corvane_driver_text "The driver is the vendor's, installed separately, or Corvane's own driver
on libusb-1.0 (CORVANE_DRIVER=open), which this package holds: it leaves data
in the chip rather than dropping it when the application falls behind,
detaches the kernel's serial driver itself and offers the chip's synchronous
FIFO mode.")
  else()
    set(corvane_driver_text "The driver is the vendor's, installed separately.")
  endif()
  set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "host library for FPGA boards behind an FTDI USB bridge chip
${corvane_about}
${corvane_driver_text}
.
This package holds the shared library and a udev rule giving the console
user and the plugdev group access to the supported boards.")

  set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME ${CORVANE_PACKAGE_development})
  set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
  set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "${CORVANE_PACKAGE_runtime} ${same_version}")
  set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION "development files for the Corvane library
${corvane_about}
.
This package holds what building a program against the library needs: the
C header corvane.h, the C++ header corvane.hpp, the link libcorvane.so, the
CMake package (find_package(Corvane), target Corvane::corvane), the
pkg-config file corvane.pc and the API reference.")

  set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME ${CORVANE_PACKAGE_tools})
  set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION electronics)
  set(CPACK_DEBIAN_TOOLS_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "${CORVANE_PACKAGE_runtime} ${same_version}")
  set(CPACK_DEBIAN_TOOLS_DESCRIPTION "command-line tool for FPGA boards behind an FTDI USB bridge chip
${corvane_about}
.
This package holds the corvane tool, which lists, opens, monitors, tests and
diagnoses boards, and a simulated D2XX driver with simulated boards
(corvane --sim), kept in a private folder where no program finds it by
itself, so that the library can be tried without a board; example board
files describe simulated boards of one's own.")

  set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME ${CORVANE_PACKAGE_python})
  set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "${CORVANE_PACKAGE_runtime} ${same_version}, python3:any")
  # Its simulated boards (corvane.sim, the pytest plugin's fixtures) use the tools' simulated driver.
  set(CPACK_DEBIAN_PYTHON_PACKAGE_RECOMMENDS ${CORVANE_PACKAGE_tools})
  set(CPACK_DEBIAN_PYTHON_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/debian/python3-corvane/postinst
    ${PROJECT_SOURCE_DIR}/packaging/debian/python3-corvane/prerm)
  set(CPACK_DEBIAN_PYTHON_DESCRIPTION "Python 3 package for the Corvane library
${corvane_about}
.
This package holds the Python module corvane (ctypes over the installed
library): boards, callbacks and message queues, simulated boards
(corvane.sim, with corvane-tools) and a pytest plugin giving tests a fresh
simulated board.")
endif()

include(CPack)
