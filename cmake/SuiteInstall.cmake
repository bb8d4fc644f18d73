# What cmake --install and cpack put under the prefix:
#   BINDIR                     the six programs
#   LIBEXECDIR/ompsuite        calibrate, which the tools run and users need not see
#   LIBDIR, INCLUDEDIR         the timer library, its CMake package and its pkg-config file
#   DATADIR/ompsuite           the tools (runsuite, scaling, compare, the batch script), with the
#                              sources they build reduced recurrence programs from
#   DATADIR/modulefiles        the Lmod module

set(SUITE_LIBEXEC_DIR ${CMAKE_INSTALL_LIBEXECDIR}/ompsuite)
set(SUITE_TOOLS_DIR ${CMAKE_INSTALL_DATADIR}/ompsuite)

install(TARGETS quadplain quadguard quadmerge growplain growsplit teamtally
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT programs)
install(TARGETS calibrate RUNTIME DESTINATION ${SUITE_LIBEXEC_DIR} COMPONENT programs)

# The timer library as a CMake package: find_package(ompsuite CONFIG) gives ompsuite::timer.
include(CMakePackageConfigHelpers)
set(SUITE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/ompsuite)
install(EXPORT ompsuiteTargets FILE ompsuiteConfig.cmake NAMESPACE ompsuite:: DESTINATION ${SUITE_PACKAGE_DIR}
        COMPONENT timer)
# Before 1.0 a minor version may change the interface.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/ompsuiteConfigVersion.cmake COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/ompsuiteConfigVersion.cmake DESTINATION ${SUITE_PACKAGE_DIR} COMPONENT timer)

# ... and for Makefiles and other build systems, a pkg-config file.
set(SUITE_PC_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
suite_relative(SUITE_PC_TO_PREFIX ${SUITE_PC_DIR} .)
suite_relative(SUITE_PC_LIBDIR . ${CMAKE_INSTALL_LIBDIR})
suite_relative(SUITE_PC_INCLUDEDIR . ${CMAKE_INSTALL_INCLUDEDIR})
foreach(var SUITE_PC_LIBDIR SUITE_PC_INCLUDEDIR)
  if(NOT IS_ABSOLUTE "${${var}}")
    set(${var} "\${prefix}/${${var}}")
  endif()
endforeach()
configure_file(${PROJECT_SOURCE_DIR}/cmake/ompsuite-timer.pc.in ${PROJECT_BINARY_DIR}/ompsuite-timer.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/ompsuite-timer.pc DESTINATION ${SUITE_PC_DIR} COMPONENT timer)

# The tools, and the sources of the programs for the reduced builds they make on a machine without
# 16 GB to spare (no tests, no documents). install-layout.txt tells the tools that they run from
# an installed tree, where its parts are, and what its programs were built for.
install(PROGRAMS runsuite scaling compare DESTINATION ${SUITE_TOOLS_DIR} COMPONENT tools)
install(PROGRAMS slurm/study.sbatch DESTINATION ${SUITE_TOOLS_DIR}/slurm COMPONENT tools)
install(DIRECTORY ompsuite DESTINATION ${SUITE_TOOLS_DIR} COMPONENT tools
        FILES_MATCHING PATTERN "*.py" PATTERN "*.css" PATTERN "__pycache__" EXCLUDE)
install(FILES CMakeLists.txt DESTINATION ${SUITE_TOOLS_DIR} COMPONENT tools)
install(DIRECTORY cmake common timer pi recurrence team DESTINATION ${SUITE_TOOLS_DIR} COMPONENT tools)
install(DIRECTORY bench DESTINATION ${SUITE_TOOLS_DIR} COMPONENT tools
        FILES_MATCHING PATTERN "*.cpp" PATTERN "CMakeLists.txt")
suite_relative(SUITE_LAYOUT_BINDIR ${SUITE_TOOLS_DIR} ${CMAKE_INSTALL_BINDIR})
suite_relative(SUITE_LAYOUT_LIBEXECDIR ${SUITE_TOOLS_DIR} ${SUITE_LIBEXEC_DIR})
file(WRITE ${PROJECT_BINARY_DIR}/install-layout.txt
     "# An installed ompsuite: folders relative to this one, and the target of its programs.\n"
     "version=${PROJECT_VERSION}\n"
     "arch=${SUITE_ARCH}\n"
     "bindir=${SUITE_LAYOUT_BINDIR}\n"
     "libexecdir=${SUITE_LAYOUT_LIBEXECDIR}\n")
install(FILES ${PROJECT_BINARY_DIR}/install-layout.txt DESTINATION ${SUITE_TOOLS_DIR} COMPONENT tools)

# An environment module for Lmod: loaded, it puts the programs on PATH, the prefix on
# CMAKE_PREFIX_PATH, the pkg-config file on PKG_CONFIG_PATH and the tools' folder in
# OMPSUITE_ROOT. It is written at install time, when the prefix (which cmake --install --prefix
# may change) is known.
set(SUITE_MODULE_DIR ${CMAKE_INSTALL_DATADIR}/modulefiles/ompsuite)
set(SUITE_MODULE_FILE ${PROJECT_BINARY_DIR}/modulefile/${PROJECT_VERSION}.lua)
install(CODE "
  get_filename_component(SUITE_PREFIX \"\${CMAKE_INSTALL_PREFIX}\" ABSOLUTE)
  set(SUITE_VERSION [==[${PROJECT_VERSION}]==])
  set(SUITE_DESCRIPTION [==[${PROJECT_DESCRIPTION}]==])
  set(SUITE_BINDIR [==[${CMAKE_INSTALL_BINDIR}]==])
  set(SUITE_TOOLS_DIR [==[${SUITE_TOOLS_DIR}]==])
  set(SUITE_PC_DIR [==[${SUITE_PC_DIR}]==])
  set(SUITE_MODULE_TAIL [==[/${SUITE_MODULE_DIR}]==])
  if(IS_ABSOLUTE \"\${SUITE_BINDIR}\" OR IS_ABSOLUTE [==[${CMAKE_INSTALL_DATADIR}]==])
    set(SUITE_MODULE_TAIL \"\")  # folders given as absolute paths do not move with the prefix
  endif()
  # Each path as a Lua long string whose brackets it does not hold: a prefix holding ]==] is text.
  foreach(v SUITE_PREFIX SUITE_BINDIR SUITE_MODULE_TAIL SUITE_PC_DIR SUITE_TOOLS_DIR)
    set(eq \"\")
    while(\"\${\${v}}]\" MATCHES \"]\${eq}]\")
      string(APPEND eq \"=\")
    endwhile()
    set(\${v} \"[\${eq}[\${\${v}}]\${eq}]\")
  endforeach()
  configure_file([==[${PROJECT_SOURCE_DIR}/cmake/ompsuite.lua.in]==] [==[${SUITE_MODULE_FILE}]==] @ONLY)
" COMPONENT modulefile)
install(FILES ${SUITE_MODULE_FILE} DESTINATION ${SUITE_MODULE_DIR} COMPONENT modulefile)

# The package's documents, in the .deb and the archive alike: the copyright and a changelog, whose
# entry names the maintainer, who is whoever builds the package (SUITE_MAINTAINER; by default the
# builder's DEBFULLNAME and DEBEMAIL, as Debian's own tools take them, else the user at this host
# where it has a domain name; root or a bare host name is no address a package should carry).
cmake_host_system_information(RESULT SUITE_HOST QUERY FQDN)
set(SUITE_USER "$ENV{USER}")
if(SUITE_USER STREQUAL "")
  set(SUITE_USER "$ENV{LOGNAME}")
endif()
if(NOT "$ENV{DEBEMAIL}" STREQUAL "")
  set(SUITE_DEFAULT_MAINTAINER "$ENV{DEBFULLNAME} <$ENV{DEBEMAIL}>")
elseif(SUITE_USER AND NOT SUITE_USER STREQUAL "root" AND SUITE_HOST MATCHES "[^.]\\.[^.]")
  set(SUITE_DEFAULT_MAINTAINER "${SUITE_USER} <${SUITE_USER}@${SUITE_HOST}>")
else()
  set(SUITE_DEFAULT_MAINTAINER "")  # cpack asks for one (cmake/CPackPerGenerator.cmake)
endif()
string(STRIP "${SUITE_DEFAULT_MAINTAINER}" SUITE_DEFAULT_MAINTAINER)
set(SUITE_MAINTAINER "${SUITE_DEFAULT_MAINTAINER}" CACHE STRING
    "Maintainer of the packages cpack makes, as 'Name <address>': the site that builds them")
string(TIMESTAMP SUITE_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${PROJECT_SOURCE_DIR}/cmake/changelog.in ${PROJECT_BINARY_DIR}/doc/changelog @ONLY)
set(SUITE_CHANGELOG ${PROJECT_BINARY_DIR}/doc/changelog)
find_program(SUITE_GZIP gzip)
if(SUITE_GZIP)
  # Compressed as Debian wants it: -9, and no name or time in the header, so the file is reproducible.
  execute_process(COMMAND ${SUITE_GZIP} -9nf ${SUITE_CHANGELOG} RESULT_VARIABLE SUITE_GZIP_STATUS)
  if(SUITE_GZIP_STATUS EQUAL 0)
    set(SUITE_CHANGELOG ${SUITE_CHANGELOG}.gz)
  endif()
endif()
install(FILES ${PROJECT_SOURCE_DIR}/cmake/copyright ${SUITE_CHANGELOG} DESTINATION ${CMAKE_INSTALL_DOCDIR}
        COMPONENT programs)

# Packages from the same rules: cpack -G DEB (installs under /usr) and cpack -G TGZ
# (ompsuite-VERSION-Linux-ARCH.tar.gz, to unpack under any prefix). Only the suite built alone
# packages itself; inside another project that project's packaging decides.
if(PROJECT_IS_TOP_LEVEL)
  set(CPACK_PACKAGE_NAME ompsuite)
  set(CPACK_PACKAGE_VENDOR "ompsuite")
  set(CPACK_PACKAGE_CONTACT "${SUITE_MAINTAINER}")
  set(CPACK_STRIP_FILES ON)
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
  set(CPACK_PACKAGE_DESCRIPTION "Six OpenMP programs (pi by the midpoint rule, a geometric recurrence
filling a 16 GB array, a thread team report), a timer library with its CMake
package and pkg-config file, an environment module, and the tools that run,
check, time and compare the programs, also against student sources.")
  set(CPACK_GENERATOR DEB TGZ)
  string(TOLOWER "${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR}" SUITE_PACKAGE_SYSTEM)
  set(CPACK_PACKAGE_FILE_NAME ${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-${SUITE_PACKAGE_SYSTEM})
  set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/CPackPerGenerator.cmake)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION science)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1, python3 (>= 3.9)")
  if(OpenMP_CXX_LIB_NAMES MATCHES "gomp")
    string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", libgomp1")
  elseif(OpenMP_CXX_LIB_NAMES MATCHES "omp")
    string(REGEX MATCH "^[0-9]+" SUITE_CXX_MAJOR "${CMAKE_CXX_COMPILER_VERSION}")
    string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", libomp5-${SUITE_CXX_MAJOR}")
  endif()
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "lmod, pkgconf")
  set(CPACK_DEBIAN_PACKAGE_SUGGESTS "cmake, g++, hwloc-nox, python3-matplotlib")
  # Running the tools as root leaves byte-code caches beside them, which dpkg would not remove.
  file(WRITE ${PROJECT_BINARY_DIR}/debian/prerm
       "#!/bin/sh\nset -e\nif [ -d '/usr/${SUITE_TOOLS_DIR}' ]; then\n"
       "  find '/usr/${SUITE_TOOLS_DIR}' -depth -type d -name __pycache__ -exec rm -rf {} +\nfi\n")
  file(CHMOD ${PROJECT_BINARY_DIR}/debian/prerm PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
       GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/debian/prerm)
  include(CPack)
endif()
