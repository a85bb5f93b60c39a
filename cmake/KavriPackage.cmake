# The Debian package, made by `cpack` in the build tree (scripts/package) from
# the install rules (KavriInstall.cmake): build/kavri-daemon_<version>_amd64.deb.

set(KAVRI_PACKAGE_MAINTAINER "Kavri maintainers <maintainers@kavri.example>" CACHE STRING
    "Maintainer of the Debian package")

# Installing needs the bundle alone, not every test binary.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kavri-daemon)
set(CPACK_PACKAGE_VENDOR Kavri)
set(CPACK_PACKAGE_CONTACT "${KAVRI_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "agent that tells a local font server which fonts are installed")
set(CPACK_PACKAGE_DESCRIPTION "\
KavriDaemon is a per-user background agent. It verifies its companion server
(shipped inside its bundle with its own Node.js runtime), starts it, and tells
it which fonts are installed, again whenever they change; the server shows
them on a page served on loopback.

Each user who wants it enables the systemd user unit:
systemctl --user enable --now kavri-daemon")

# The unit names the agent by its installed path, so the install runs with
# the real prefix into a staging DESTDIR rather than with a staging prefix.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

# The bundle's versions, so dpkg orders packages as the updater orders
# bundles: CFBundleShortVersionString, then CFBundleVersion as the revision.
set(CPACK_DEBIAN_PACKAGE_VERSION "${KAVRI_BUNDLE_SHORT_VERSION}")
set(CPACK_DEBIAN_PACKAGE_RELEASE "${KAVRI_BUNDLE_VERSION}")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Everything the agent and kavri-node link against, found by dpkg-shlibdeps;
# beyond that only killall, which the agent runs before starting its server.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS psmisc)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)  # scripts/package may choose gzip
set(CPACK_THREADS 0)
# Everything a plain install has, and the marker that only the package's
# bundle carries (KavriInstall.cmake), in the one package.
set(CPACK_COMPONENTS_ALL Unspecified package)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)

include(CPack)
