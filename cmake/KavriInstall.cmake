# The install rules: `cmake --install build --prefix ~/.local` for one user,
# and the Debian package (KavriPackage.cmake), which installs with /usr as the
# prefix. Either way the bundle goes to lib/kavri/KavriDaemon.app, with the
# systemd user unit, the manual page and the documents beside it.
#
# Expects the KavriDaemon bundle target and KAVRI_SERVER_EXECUTABLE_RESOLVED.

# lib/, not GNUInstallDirs' multiarch libdir: the bundle is the program's own
# directory, at the same place for every prefix.
set(kavri_bundle lib/kavri/KavriDaemon.app)
install(DIRECTORY ${PROJECT_BINARY_DIR}/KavriDaemon.app/
        DESTINATION ${kavri_bundle}
        USE_SOURCE_PERMISSIONS
        PATTERN MacOS EXCLUDE
        PATTERN Frameworks EXCLUDE)
# The agent and its updater module go in as targets so that a stripped
# install strips them. The server's files stay byte for byte as built: their
# digests are in the agent.
install(TARGETS KavriDaemon RUNTIME DESTINATION ${kavri_bundle}/Contents/MacOS)
install(TARGETS kavri_updater_module LIBRARY DESTINATION ${kavri_bundle}/Contents/Frameworks)
# Only the package's bundle is marked as the package manager's to update
# (Bundle::isPackageManaged): the package takes this component as well
# (KavriPackage.cmake); a plain `cmake --install` leaves it out.
install(FILES ${PROJECT_SOURCE_DIR}/dist/package-managed
        DESTINATION ${kavri_bundle}/Contents/Resources
        COMPONENT package EXCLUDE_FROM_ALL)

install(DIRECTORY ${PROJECT_SOURCE_DIR}/doc/ DESTINATION share/doc/kavri-daemon)
install(FILES ${PROJECT_SOURCE_DIR}/dist/copyright DESTINATION share/doc/kavri-daemon)

# The runtime copied in as kavri-node comes with its own licence, which must
# travel with it: by default the copyright file of the Debian package that
# installed this machine's node.
if(NOT DEFINED CACHE{KAVRI_SERVER_LICENSE})
  set(license "")
  execute_process(COMMAND dpkg-query --search "${KAVRI_SERVER_EXECUTABLE_RESOLVED}"
                  OUTPUT_VARIABLE owner ERROR_QUIET RESULT_VARIABLE failed)
  if(NOT failed AND owner MATCHES "^([^:, ]+)")
    set(candidate "/usr/share/doc/${CMAKE_MATCH_1}/copyright")
    if(EXISTS "${candidate}")
      set(license "${candidate}")
    endif()
  endif()
  set(KAVRI_SERVER_LICENSE "${license}" CACHE FILEPATH
      "Licence of the server runtime, shipped beside the copyright file (default: that of the package owning node)")
endif()
if(KAVRI_SERVER_LICENSE)
  install(FILES "${KAVRI_SERVER_LICENSE}" DESTINATION share/doc/kavri-daemon RENAME kavri-node.copyright)
else()
  message(WARNING "No licence found for ${KAVRI_SERVER_EXECUTABLE_RESOLVED}; set KAVRI_SERVER_LICENSE")
endif()

# What depends on the prefix (the unit names the agent by its installed path)
# or ships compressed is made at install time.
install(CODE "
  set(KAVRI_SOURCE_DIR \"${PROJECT_SOURCE_DIR}\")
  set(KAVRI_STAGE \"${CMAKE_CURRENT_BINARY_DIR}/install_files\")
  set(KAVRI_BUNDLE \"${kavri_bundle}\")
")
install(SCRIPT ${PROJECT_SOURCE_DIR}/cmake/kavri_install_files.cmake)
