# The Debian packages that cpack -G DEB makes in the build folder, one per install
# component:
#   vql-isp-cli  (component cli)     the terminal program, its man page and the default
#                                    configuration; no Qt, for benches without a desktop
#   vql-isp      (component window)  the window, its man page, desktop entry, AppStream
#                                    description, MIME type and icons; it needs the
#                                    default configuration, so it depends on vql-isp-cli
#                                    of the same version
# They install under /usr whatever prefix the build was configured with (Debian
# packages must not use /usr/local); the programs find their default configuration
# from their own folder (../share/vql-isp). dpkg-shlibdeps works out each package's
# library dependencies from its program.

set(VQLISP_DEB_MAINTAINER "VQL-ISP for Linux maintainers <maintainers@example.invalid>")
set(VQLISP_DEB_SOURCE vql-isp)
set(VQLISP_DEB_RELEASE 1)
set(VQLISP_DEB_VERSION ${PROJECT_VERSION}-${VQLISP_DEB_RELEASE})
set(VQLISP_DEB_CLI_PACKAGE vql-isp-cli)
set(VQLISP_DEB_WINDOW_PACKAGE vql-isp)

# What Debian wants in every package's /usr/share/doc/<package>: the licence in the
# machine-readable copyright format, and a changelog, compressed without a name or a
# time in the gzip header so that the same text gives the same bytes. The date is the
# configure time, or SOURCE_DATE_EPOCH for a reproducible build. Only the packages
# install these (EXCLUDE_FROM_ALL keeps them out of a plain cmake --install).
set(deb_dir ${PROJECT_BINARY_DIR}/packaging)
string(TIMESTAMP VQLISP_DEB_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${PROJECT_SOURCE_DIR}/packaging/changelog.Debian.in ${deb_dir}/changelog.Debian
  @ONLY)
find_program(VQLISP_GZIP gzip REQUIRED)
add_custom_command(OUTPUT ${deb_dir}/changelog.Debian.gz
  COMMAND ${VQLISP_GZIP} -9nkf ${deb_dir}/changelog.Debian
  DEPENDS ${deb_dir}/changelog.Debian
  COMMENT "Compressing the Debian changelog")
add_custom_target(vqlisp_deb_changelog ALL DEPENDS ${deb_dir}/changelog.Debian.gz)

set(deb_components cli)
if(TARGET vql-isp)
  list(APPEND deb_components window)
endif()
foreach(component IN LISTS deb_components)
  string(TOUPPER ${component} upper)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${deb_dir}/changelog.Debian.gz
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${VQLISP_DEB_${upper}_PACKAGE}
    COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()

set(CPACK_PACKAGE_NAME ${VQLISP_DEB_SOURCE})
set(CPACK_PACKAGE_VENDOR "the VQL-ISP for Linux authors")
set(CPACK_PACKAGE_CONTACT ${VQLISP_DEB_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${VQLISP_DEB_MAINTAINER})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${deb_components})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${VQLISP_DEB_RELEASE})
set(CPACK_DEBIAN_PACKAGE_SOURCE ${VQLISP_DEB_SOURCE})
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# "vql-isp-cli (= <version>)" in the window's Depends.
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_COMPONENT_WINDOW_DEPENDS cli)

# Each description's first line is the package's summary; the summary of the whole
# project stays unset, or CPack would put it in front of both.
set(about_chips
  "VQL-ISP programs AT89S51, AT89S52, AT89S53, AT89S8252, AT89S8253, AT89S2051 and\n"
  "AT89S4051 chips in the circuit through a simple printer-port cable, or a USB\n"
  "cable on an FTDI FT232H, FT2232H or FT232R: erase,\n"
  "blank check, program, verify, read back, lock bits and the x2-clock fuse, from\n"
  "an Intel HEX file. Both of its front ends can run against a simulated\n"
  "programmer.\n"
  "\n")
string(JOIN "" CPACK_DEBIAN_CLI_DESCRIPTION
  "programmer for AT89S-series 8051 flash chips (terminal front end)\n"
  ${about_chips}
  "This package holds vql-isp-cli, the terminal front end for scripts and for\n"
  "benches without a desktop, and the default configuration file.")
string(JOIN "" CPACK_DEBIAN_WINDOW_DESCRIPTION
  "programmer for AT89S-series 8051 flash chips (Qt window)\n"
  ${about_chips}
  "This package holds vql-isp, the window, with its menu entry and icon, and the\n"
  "Intel HEX file type for file managers.")
set(CPACK_DEBIAN_CLI_PACKAGE_NAME ${VQLISP_DEB_CLI_PACKAGE})
set(CPACK_DEBIAN_WINDOW_PACKAGE_NAME ${VQLISP_DEB_WINDOW_PACKAGE})
# Qt loads its platform plugin at run time, out of dpkg-shlibdeps' sight; without one
# the window cannot open.
set(CPACK_DEBIAN_WINDOW_PACKAGE_DEPENDS qt6-qpa-plugins)

include(CPack)
