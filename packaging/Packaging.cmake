# SPDX-License-Identifier: MIT
# CPack: one Debian package, varnolink-setup, holding everything the install
# rules put under the prefix. `cpack -G DEB` in the build directory makes
# varnolink-setup_<version>_<arch>.deb.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME varnolink-setup)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "VARNOLINK I/O Setup")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "configuration tool for the VARNOLINK I/O RS-485 module")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Installed programs carry no debug information; the build tree keeps it.
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${VARNOLINK_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${VARNOLINK_HOMEPAGE_URL}")
# The synopsis line is CPACK_PACKAGE_DESCRIPTION_SUMMARY; this is the long
# description below it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"VARNOLINK I/O Setup reads and writes the configuration of a VARNOLINK I/O
(RS485 Control) module, a remote digital-I/O module on an RS-485 serial line:
its Remote ID, its baud rate, and for each of its ports P0, P1, P2, P4 and P5
the direction of every pin and the level every output takes at power-on.

The package also contains varnolink-sim, a simulator of the module on a
pseudo-terminal, for trying the tool without hardware.")

# dpkg-shlibdeps computes the library dependencies of the programs. Qt loads
# its platform plugin (xcb, wayland) at run time, which no linker records;
# Debian ships the plugins in qt6-qpa-plugins, only recommended by
# libqt6gui6, so without it an install without recommends cannot open a window.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
if(TARGET varnolink-setup)
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
endif()
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# A source package, should anyone make one, leaves out build trees and Git.
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build/" "/build-[^/]*/")

include(CPack)
