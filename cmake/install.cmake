# What `cmake --install` puts where, and the files only installing needs (CMake package, pkg-config
# file, man page, udev rule). Linux: the usual tree under the prefix, the simulated driver in a
# private folder that no loader searches. Windows: one folder per word size (bin32/ or bin64/),
# so that installing the 32-bit and the 64-bit build into one prefix gives the Windows zip.
# Debian's multiarch folder under any prefix (Debian's loader, pkg-config and CMake search
# /usr/local/lib/<arch> too).
if(NOT WIN32 AND CMAKE_LIBRARY_ARCHITECTURE AND NOT DEFINED CACHE{CMAKE_INSTALL_LIBDIR})
  set(CMAKE_INSTALL_LIBDIR lib/${CMAKE_LIBRARY_ARCHITECTURE} CACHE PATH "Object code libraries")
endif()
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(packaging_dir ${PROJECT_SOURCE_DIR}/packaging)

if(WIN32)
  set(CORVANE_INSTALL_BINDIR bin${CORVANE_DLL_BITS})
  # The .def beside the import library lets an MSVC user make an import library of their own.
  set(corvane_def ${CMAKE_BINARY_DIR}/bin/${CORVANE_DLL_NAME}.def)
  target_link_options(corvane PRIVATE "-Wl,--output-def,${corvane_def}")
  install(TARGETS corvane corvane_tool
    RUNTIME DESTINATION ${CORVANE_INSTALL_BINDIR}
    ARCHIVE DESTINATION ${CORVANE_INSTALL_BINDIR})
  install(FILES ${corvane_def} DESTINATION ${CORVANE_INSTALL_BINDIR})
  # Only corvane.exe --sim (or a user who copies it) loads the simulated driver from here.
  install(TARGETS board_sim RUNTIME DESTINATION ${CORVANE_INSTALL_BINDIR}/sim)
  target_compile_definitions(corvane_tool PRIVATE CORVANE_SIM_DRIVER_RELATIVE="sim/${CORVANE_DRIVER_DLL}")
  install(FILES Libraries/lib_usb/include/corvane.h Libraries/lib_usb/include/corvane.hpp DESTINATION include)
  # bin/: the .NET assembly with both DLLs beside it (each Windows build adds its own), so an
  # "Any CPU" program finds the one of its word size.
  if(CORVANE_DOTNET_ASSEMBLY)
    install(TARGETS corvane RUNTIME DESTINATION bin)
    install(FILES ${CORVANE_DOTNET_ASSEMBLY} DESTINATION bin)
  endif()
  install(DIRECTORY docs/ DESTINATION docs)
  install(FILES README.md DESTINATION docs)
  install(FILES LICENSE DESTINATION . RENAME LICENSE.txt)
  configure_file(${packaging_dir}/README.txt.in ${CMAKE_BINARY_DIR}/packaging/README.txt @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${CMAKE_BINARY_DIR}/packaging/README.txt DESTINATION .)
  include(cmake/packaging.cmake)
  return()
endif()

# Four components, one Debian package each (cmake/packaging.cmake): runtime (libcorvane1: the
# shared library, Corvane's own driver, the udev rule), development (libcorvane-dev: headers,
# the development link, the CMake package, pkg-config), tools (corvane-tools: the tool, its man
# page, the simulated driver, example board files) and python (python3-corvane). `cmake --install`
# installs the first three; `--component python` the fourth.
set(CORVANE_SIM_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/corvane/sim)
set(CORVANE_CMAKE_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Corvane)
set(CORVANE_PYTHON_INSTALL_DIR lib/python3/dist-packages) # Debian's folder for every Python 3
set(CORVANE_PACKAGE_runtime libcorvane${PROJECT_VERSION_MAJOR})
set(CORVANE_PACKAGE_development libcorvane-dev)
set(CORVANE_PACKAGE_tools corvane-tools)
set(CORVANE_PACKAGE_python python3-corvane)

# libcorvane.so.1.0.0, libcorvane.so.1 (the SONAME) and libcorvane.so.
set_target_properties(corvane PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
# The header folder of the install tree, for the imported target.
set_property(TARGET corvane APPEND PROPERTY INTERFACE_INCLUDE_DIRECTORIES
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
set_property(TARGET corvane PROPERTY PUBLIC_HEADER ${PROJECT_SOURCE_DIR}/Libraries/lib_usb/include/corvane.h
  ${PROJECT_SOURCE_DIR}/Libraries/lib_usb/include/corvane.hpp)
install(TARGETS corvane EXPORT CorvaneTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT development
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)
install(TARGETS corvane_tool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
# Corvane's own driver (CORVANE_DRIVER=open) beside the library, where the loader finds it by name.
if(TARGET open_driver)
  install(TARGETS open_driver LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime)
endif()
# Never in a folder the loader searches, where it would hide the vendor's libftd2xx.so.
install(TARGETS board_sim LIBRARY DESTINATION ${CORVANE_SIM_INSTALL_DIR} COMPONENT tools)
# An installed corvane --sim finds it from its own folder.
file(RELATIVE_PATH bin_to_sim /${CMAKE_INSTALL_BINDIR} /${CORVANE_SIM_INSTALL_DIR}/libftd2xx.so)
target_compile_definitions(corvane_tool PRIVATE CORVANE_SIM_DRIVER_RELATIVE="${bin_to_sim}")

install(EXPORT CorvaneTargets NAMESPACE Corvane:: DESTINATION ${CORVANE_CMAKE_INSTALL_DIR} COMPONENT development)
configure_package_config_file(${packaging_dir}/CorvaneConfig.cmake.in
  ${CMAKE_BINARY_DIR}/packaging/CorvaneConfig.cmake INSTALL_DESTINATION ${CORVANE_CMAKE_INSTALL_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/packaging/CorvaneConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/packaging/CorvaneConfig.cmake ${CMAKE_BINARY_DIR}/packaging/CorvaneConfigVersion.cmake
  DESTINATION ${CORVANE_CMAKE_INSTALL_DIR} COMPONENT development)

# corvane.pc finds the prefix from its own folder, so the same file serves /usr, /usr/local, an
# unpacked tarball and a scratch prefix.
file(RELATIVE_PATH pc_to_prefix /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
set(CORVANE_PC_PREFIX "\${pcfiledir}/${pc_to_prefix}")
string(REGEX REPLACE "/$" "" CORVANE_PC_PREFIX "${CORVANE_PC_PREFIX}")
configure_file(${packaging_dir}/corvane.pc.in ${CMAKE_BINARY_DIR}/packaging/corvane.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/packaging/corvane.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
  COMPONENT development)

install(FILES ${packaging_dir}/60-corvane.rules DESTINATION lib/udev/rules.d COMPONENT runtime)

# The man page, from the tool's own --help.
find_program(HELP2MAN help2man)
if(HELP2MAN AND NOT CMAKE_CXX_FLAGS MATCHES "-fsanitize")
  set(man_page ${CMAKE_BINARY_DIR}/packaging/corvane.1)
  add_custom_command(OUTPUT ${man_page}.gz
    COMMAND ${HELP2MAN} --no-info --no-discard-stderr --section 1
      --name "talk to and diagnose FPGA boards behind FTDI bridge chips" --output ${man_page} $<TARGET_FILE:corvane_tool>
    COMMAND gzip -n -9 -f ${man_page}
    DEPENDS corvane_tool
    COMMENT "Writing the corvane man page")
  add_custom_target(corvane_man ALL DEPENDS ${man_page}.gz)
  install(FILES ${man_page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
elseif(NOT HELP2MAN)
  message(WARNING "help2man is missing (scripts/setup.sh installs it): no man page is installed")
endif()

# The Python package in Debian's folder for every Python 3, for python3-corvane only: a plain
# `cmake --install` leaves it out (under /usr/local no Python searches lib/python3/dist-packages;
# pip installs the package there). Its metadata (the .dist-info folder pytest finds the plugin's
# entry point through) is written by setuptools from pyproject.toml when the component is
# installed, and _version.py with the version in it.
set(python_source ${PROJECT_SOURCE_DIR}/python)
file(GLOB python_modules ${python_source}/corvane/*.py)
list(FILTER python_modules EXCLUDE REGEX "/_version\\.py$")
install(FILES ${python_modules} DESTINATION ${CORVANE_PYTHON_INSTALL_DIR}/corvane COMPONENT python EXCLUDE_FROM_ALL)
file(WRITE ${CMAKE_BINARY_DIR}/packaging/python/_version.py
  "\"\"\"The package's version, which is Corvane's.\"\"\"\n\n__version__ = \"${PROJECT_VERSION}\"\n")
install(FILES ${CMAKE_BINARY_DIR}/packaging/python/_version.py
  DESTINATION ${CORVANE_PYTHON_INSTALL_DIR}/corvane COMPONENT python EXCLUDE_FROM_ALL)
find_package(Python3 COMPONENTS Interpreter QUIET)
set(CORVANE_PYTHON ${Python3_EXECUTABLE})
if(EXISTS /usr/bin/python3)
  set(CORVANE_PYTHON /usr/bin/python3) # Debian's, whose setuptools the packages are made with
endif()
install(CODE "
  set(metadata ${CMAKE_BINARY_DIR}/packaging/python/metadata)
  file(REMOVE_RECURSE \${metadata})
  file(MAKE_DIRECTORY \${metadata})
  execute_process(COMMAND \"${CORVANE_PYTHON}\" setup.py --quiet dist_info --output-dir \${metadata}
    WORKING_DIRECTORY ${python_source} RESULT_VARIABLE failed OUTPUT_VARIABLE output ERROR_VARIABLE output)
  file(GLOB dist_info \${metadata}/corvane-*.dist-info)
  if(failed OR NOT dist_info)
    message(FATAL_ERROR \"The Python package's metadata (setup.py dist_info) failed:\\n\${output}\")
  endif()
  file(INSTALL \${dist_info} DESTINATION \${CMAKE_INSTALL_PREFIX}/${CORVANE_PYTHON_INSTALL_DIR})
" COMPONENT python EXCLUDE_FROM_ALL)

# Every package's documentation folder holds the license in Debian's copyright format and the
# changelog; the documentation is shared out: the README to the library, the reference to the
# development package, the board model to the tool with its example board files, the Python
# guide to the Python package.
file(READ ${packaging_dir}/debian/copyright.in copyright_head)
file(STRINGS LICENSE license_lines)
list(REMOVE_AT license_lines 0) # "MIT License"; the copyright line is in the header
set(copyright "${copyright_head}\nLicense: Expat\n")
foreach(line IN LISTS license_lines)
  if(line MATCHES "^Copyright")
    continue()
  elseif(line STREQUAL "")
    string(APPEND copyright " .\n")
  else()
    string(APPEND copyright " ${line}\n")
  endif()
endforeach()
string(REGEX REPLACE "License: Expat\n \\.\n( \\.\n)*" "License: Expat\n" copyright "${copyright}")
file(WRITE ${CMAKE_BINARY_DIR}/packaging/copyright "${copyright}")
configure_file(${packaging_dir}/debian/changelog ${CMAKE_BINARY_DIR}/packaging/changelog @ONLY)
execute_process(COMMAND gzip -n -9 -f ${CMAKE_BINARY_DIR}/packaging/changelog)
foreach(component runtime development tools python)
  set(only_asked)
  if(component STREQUAL "python")
    set(only_asked EXCLUDE_FROM_ALL)
  endif()
  install(FILES ${CMAKE_BINARY_DIR}/packaging/copyright ${CMAKE_BINARY_DIR}/packaging/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${CORVANE_PACKAGE_${component}} COMPONENT ${component} ${only_asked})
endforeach()
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${CORVANE_PACKAGE_runtime} COMPONENT runtime)
install(DIRECTORY docs/ DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${CORVANE_PACKAGE_development} COMPONENT development
  FILES_MATCHING PATTERN "*.md" PATTERN "python.md" EXCLUDE PATTERN "board-model.md" EXCLUDE PATTERN "panel.md" EXCLUDE)
# The tool's: the board model behind --sim, and corvane panel's guide with its panel file schema.
install(FILES docs/board-model.md docs/panel.md docs/panel.png docs/panel.schema.json
  DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${CORVANE_PACKAGE_tools} COMPONENT tools)
set(example_boards docs/boards.example.json docs/boards.replug.json docs/panel.example.json)
if(TARGET rtl_board)
  list(APPEND example_boards docs/boards.rtl.json) # the simulated driver has the gateware in it
endif()
install(FILES ${example_boards} DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${CORVANE_PACKAGE_tools}/examples
  COMPONENT tools)
install(FILES docs/python.md DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${CORVANE_PACKAGE_python} COMPONENT python EXCLUDE_FROM_ALL)
install(FILES examples/python/echo_block.py examples/python/plot_stream.py
  DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${CORVANE_PACKAGE_python}/examples COMPONENT python EXCLUDE_FROM_ALL)
# What lintian says of Corvane's own driver in the library package, each line with its reason.
if(TARGET open_driver)
  install(FILES ${packaging_dir}/debian/libcorvane1/lintian-overrides
    DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME ${CORVANE_PACKAGE_runtime} COMPONENT runtime)
endif()

include(cmake/packaging.cmake)
