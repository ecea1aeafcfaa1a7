# Read by cpack once per generator: the .deb packages install under /usr, the tarball unpacks to
# the prefix's own tree (bin/, lib/, include/, share/).
if(CPACK_GENERATOR STREQUAL "DEB")
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
  # Each package's description begins with its own summary line.
  unset(CPACK_PACKAGE_DESCRIPTION_SUMMARY)
else()
  set(CPACK_PACKAGING_INSTALL_PREFIX /)
  # The Python package is Debian's python3-corvane or the wheel; Debian's Python folder has no
  # meaning in a tree for other distributions.
  list(REMOVE_ITEM CPACK_COMPONENTS_ALL python)
  set(CPACK_ARCHIVE_COMPONENT_INSTALL ON) # the components above, into one archive
  set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
  set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)
endif()
