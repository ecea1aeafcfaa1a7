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

  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT) # corvane_<version>_<arch>.deb
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "The Corvane authors <corvane@example.com>")
  set(CPACK_DEBIAN_PACKAGE_SECTION libs)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # Corvane's own D2XX driver (libcorvane_d2xx.so, on libusb-1.0) is a real driver: it goes beside
  # libcorvane.so, where the loader finds it by name. dpkg-shlibdeps sees that it links libusb-1.0
  # and adds Debian's libusb-1.0-0 to Depends.
  # CPack puts one space before every line of the description; a line that has its own becomes
  # verbatim text in the package managers' display.
  if(TARGET open_driver)
    set(corvane_driver_text
      "an FTDI USB bridge chip. It loads a D2XX driver at run time: by default the
vendor's, installed separately, or Corvane's own driver on libusb-1.0
(CORVANE_DRIVER=open), which this package holds: it leaves data in the chip
rather than dropping it when the application falls behind, detaches the
kernel's serial driver itself and offers the chip's synchronous FIFO mode.
The package also holds the shared library,")
  else()
    set(corvane_driver_text
      "an FTDI USB bridge chip, through the vendor's D2XX driver, which it loads at
run time. The package holds the shared library,")
  endif()
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Corvane lets applications exchange commands and data with FPGA boards behind
${corvane_driver_text} its C header, CMake and
pkg-config files, the corvane command-line tool, a udev rule giving the
console user and the plugdev group access to the supported boards, and a
simulated D2XX driver with simulated boards (corvane --sim) kept in a private
folder, so that the library can be tried without a board.")
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/debian/postinst ${PROJECT_SOURCE_DIR}/packaging/debian/postrm
    ${PROJECT_SOURCE_DIR}/packaging/debian/triggers)
endif()

include(CPack)
