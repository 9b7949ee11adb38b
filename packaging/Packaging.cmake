# SPDX-License-Identifier: MIT
# CPack: two Debian packages from the install components. `cpack -G DEB` in
# the build directory makes
#   varnolink_<version>_<arch>.deb        the command line, the simulator, the
#                                         plant audit's systemd units; no Qt
#   varnolink-setup_<version>_<arch>.deb  the window, depending on varnolink
# (the second only when the window is built).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME varnolink)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "VARNOLINK I/O Setup")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Installed programs carry no debug information; the build tree keeps it.
set(CPACK_STRIP_FILES ON)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL cli)
if(TARGET varnolink-setup)
    list(APPEND CPACK_COMPONENTS_ALL window)
endif()

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SOURCE varnolink-setup)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${VARNOLINK_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${VARNOLINK_HOMEPAGE_URL}")
# dpkg-shlibdeps computes the library dependencies of the programs of each
# package.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# Each package's synopsis is the first line of its description.
set(CPACK_DEBIAN_CLI_PACKAGE_NAME varnolink)
set(CPACK_DEBIAN_CLI_DESCRIPTION
"command line for the VARNOLINK I/O RS-485 module
varnolink reads and writes the configuration of a VARNOLINK I/O (RS485
Control) module, a remote digital-I/O module on an RS-485 serial line: its
Remote ID, its baud rate, and for each of its ports P0, P1, P2, P4 and P5 the
direction of every pin and the level every output takes at power-on. It
audits, backs up and configures whole plants listed in an inventory, and
varnolink-audit@.timer audits a plant every hour with its metrics for
node_exporter.

The package also contains varnolink-sim, a simulator of the module on a
pseudo-terminal, for trying the tool without hardware.")
# The group of the plant audits and node_exporter's folder opened to it.
set(CPACK_DEBIAN_CLI_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_SOURCE_DIR}/systemd/postinst)

set(CPACK_DEBIAN_WINDOW_PACKAGE_NAME varnolink-setup)
set(CPACK_DEBIAN_WINDOW_DESCRIPTION
"configuration window for the VARNOLINK I/O RS-485 module
VARNOLINK I/O Setup reads and writes the configuration of a VARNOLINK I/O
(RS485 Control) module in a window: its Remote ID, its baud rate, and for
each of its ports P0, P1, P2, P4 and P5 the direction of every pin and the
level every output takes at power-on, with a plant window for many modules.")
# Qt loads its platform plugin (xcb, wayland) at run time, which no linker
# records; Debian ships the plugins in qt6-qpa-plugins, only recommended by
# libqt6gui6, so without it an install without recommends cannot open a
# window.
set(CPACK_DEBIAN_WINDOW_PACKAGE_DEPENDS "varnolink (= ${PROJECT_VERSION}), qt6-qpa-plugins")

# A source package, should anyone make one, leaves out build trees and Git.
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build/" "/build-[^/]*/")

include(CPack)
