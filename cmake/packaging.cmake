# SPDX-License-Identifier: MIT
# Debian packages, split as distributions split them: cpack -G DEB in the
# build tree. Packages install under /usr whatever the tree's own prefix.
# Each summary starts with what tells the package apart, as dpkg -l cuts it.
set(KDX7400_DEB_PACKAGES
  lib     libkdx7400-1     libs    "library for KDX-7400 USB digital-I/O modules"
  dev     libkdx7400-dev   libdevel "development files for libkdx7400 (C and C++)"
  tools   kdx7400-tools    utils   "kdxio shell tool, simulator and USB gadget for KDX-7400"
  python  python3-kdx7400  python  "Python 3 bindings for KDX-7400 digital-I/O modules"
  daemon  kdx7400d         net     "host daemon serving KDX-7400 digital-I/O modules over Modbus TCP")

set(KDX7400_DEB_LONG_DESCRIPTION
 "KDX-7400 modules are USB digital-I/O modules that enumerate as a small
mass-storage disk. libkdx7400 finds them through sysfs and exchanges
register blocks with them through the kernel's SCSI-generic driver.")

# Per package: the copyright file and the changelog Debian expects.
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/debian)
execute_process(COMMAND gzip -9n -c ${CMAKE_CURRENT_LIST_DIR}/debian/changelog
                OUTPUT_FILE ${CMAKE_BINARY_DIR}/debian/changelog.gz)
# The daemon's users read what changed in how it must be run.
execute_process(COMMAND gzip -9n -c ${PROJECT_SOURCE_DIR}/NEWS OUTPUT_FILE ${CMAKE_BINARY_DIR}/debian/NEWS.gz)
install(FILES ${CMAKE_BINARY_DIR}/debian/NEWS.gz DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/kdx7400d COMPONENT daemon)
install(DIRECTORY examples/ DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/libkdx7400-dev/examples
  COMPONENT dev PATTERN CMakeLists.txt EXCLUDE PATTERN __pycache__ EXCLUDE)

set(CPACK_COMPONENTS_ALL)
while(KDX7400_DEB_PACKAGES)
  list(POP_FRONT KDX7400_DEB_PACKAGES component package section summary)
  list(APPEND CPACK_COMPONENTS_ALL ${component})
  string(TOUPPER ${component} upper)
  set(CPACK_DEBIAN_${upper}_PACKAGE_NAME ${package})
  set(CPACK_DEBIAN_${upper}_PACKAGE_SECTION ${section})
  set(CPACK_DEBIAN_${upper}_DESCRIPTION "${summary}\n${KDX7400_DEB_LONG_DESCRIPTION}")
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/copyright ${CMAKE_BINARY_DIR}/debian/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component})
endwhile()

set(CPACK_GENERATOR DEB)
# CPack puts a summary other than its default before every package's own
# description: its default leaves each package the first line it gives.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_NAME} built using CMake")
set(CPACK_PACKAGE_NAME kdx7400)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "kdx7400 maintainers <kdx7400@example.invalid>")
set(CPACK_PACKAGE_HOMEPAGE_URL "https://example.invalid/kdx7400")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# dpkg-shlibdeps finds our own library in the build tree; each package
# names libkdx7400-1 as a dependency below.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_LIBRARY_OUTPUT_DIRECTORY})
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
# The shared library: shlibs for the packages built against it, and the
# ldconfig trigger.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_LIB_PACKAGE_DEPENDS "adduser")
set(CPACK_DEBIAN_LIB_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_LIST_DIR}/debian/libkdx7400-1/postinst
    ${CMAKE_CURRENT_LIST_DIR}/debian/libkdx7400-1/triggers)
set(CPACK_DEBIAN_LIB_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libkdx7400-1 (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "libkdx7400-1 (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_DAEMON_PACKAGE_DEPENDS "libkdx7400-1 (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_DAEMON_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_LIST_DIR}/debian/kdx7400d/postinst
    ${CMAKE_CURRENT_LIST_DIR}/debian/kdx7400d/conffiles
    ${CMAKE_CURRENT_LIST_DIR}/debian/kdx7400d/postrm)
set(CPACK_DEBIAN_DAEMON_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "python3:any, libkdx7400-1 (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
# Removing the package removes the bytecode Python wrote beside it.
set(CPACK_DEBIAN_PYTHON_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_LIST_DIR}/debian/python3-kdx7400/prerm)
set(CPACK_DEBIAN_PYTHON_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
