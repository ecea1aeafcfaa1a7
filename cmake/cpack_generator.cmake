# Read by cpack once per generator: the .deb installs under /usr, the tarball unpacks to the
# prefix's own tree (bin/, lib/, include/, share/).
if(CPACK_GENERATOR STREQUAL "DEB")
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
else()
  set(CPACK_PACKAGING_INSTALL_PREFIX /)
endif()
