# Read by cpack once per generator. The Debian package installs under /usr for real (staged by
# DESTDIR), so its module file names /usr; an archive unpacks under any prefix, where the module
# finds its place from its own path.
if(CPACK_GENERATOR STREQUAL "DEB")
  set(CPACK_SET_DESTDIR ON)
  set(CPACK_INSTALL_PREFIX /usr)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
else()
  set(CPACK_SET_DESTDIR OFF)
endif()
# A package names a maintainer whom mail reaches (SUITE_MAINTAINER; cmake/SuiteInstall.cmake). The
# leading space keeps CMake from wrapping the line.
if(NOT CPACK_PACKAGE_CONTACT MATCHES "^[^<>]+ <[^<>@ ]+@[^<>@ ]+\\.[^<>@ ]+>$" OR CPACK_PACKAGE_CONTACT MATCHES "@localhost")
  message(FATAL_ERROR " ompsuite: the package's maintainer '${CPACK_PACKAGE_CONTACT}' is not 'Name <address>' with "
                      "a mail domain: configure with -DSUITE_MAINTAINER='Name <address>' (or DEBFULLNAME and DEBEMAIL "
                      "set), then run cpack again")
endif()
