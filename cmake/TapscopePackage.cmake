# The Debian package: "cpack" (or the build's "package" target) in a
# configured build makes tapscope_<version>_<arch>.deb of everything that
# packaging/ installs, with the library dependencies dpkg-shlibdeps finds.
# scripts/package does it from scratch.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tapscope)
set(CPACK_PACKAGE_VENDOR "tapScope developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "capture what a point-of-sale device or service sends, byte for byte")
set(CPACK_PACKAGE_DESCRIPTION
    "tapScope captures what a point-of-sale device or service sends into a raw
capture file: from a serial port, a UDP socket or a listening TCP server.
Nothing is framed, filtered or translated, so an integrator sees exactly what
a cash register says. It runs as a window, on the console, or unattended as
the systemd service tapscope-capture@.service, one instance per port or till.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

# One package of both install components: the program's files and the system
# files that only the package installs.
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_COMPONENTS_ALL tapscope system)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_NAME tapscope)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${TAPSCOPE_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Beyond the libraries it links: the window's display plugins, and adduser for
# the service's system user.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, adduser")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/debian/postinst
    ${PROJECT_SOURCE_DIR}/packaging/debian/prerm
    ${PROJECT_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
