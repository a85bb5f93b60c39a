# Runs at install time (install rules in KavriInstall.cmake): makes the files
# that depend on the prefix or ship compressed in KAVRI_STAGE, then installs
# them as any other file, so DESTDIR and install_manifest.txt apply to them.

# systemd looks for user units in lib/systemd/user below /usr, but below a
# home prefix such as ~/.local only in share/systemd/user.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(unit_dir lib/systemd/user)
  # Only the package is judged by lintian.
  file(INSTALL "${KAVRI_SOURCE_DIR}/dist/kavri-daemon.lintian-overrides"
       DESTINATION "${CMAKE_INSTALL_PREFIX}/share/lintian/overrides" RENAME kavri-daemon)
else()
  set(unit_dir share/systemd/user)
endif()
set(KAVRI_INSTALLED_EXECUTABLE "${CMAKE_INSTALL_PREFIX}/${KAVRI_BUNDLE}/Contents/MacOS/KavriDaemon")
configure_file("${KAVRI_SOURCE_DIR}/dist/kavri-daemon.service.in"
               "${KAVRI_STAGE}/kavri-daemon.service" @ONLY)
file(INSTALL "${KAVRI_STAGE}/kavri-daemon.service"
     DESTINATION "${CMAKE_INSTALL_PREFIX}/${unit_dir}")

# Manual pages and changelogs ship compressed, reproducibly (no name, no
# time). A macro: file(INSTALL) records into the caller's manifest list.
macro(kavri_install_gzipped source name destination)
  execute_process(COMMAND gzip -9 -n -c "${source}" OUTPUT_FILE "${KAVRI_STAGE}/${name}.gz"
                  RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "Cannot compress ${source}")
  endif()
  file(INSTALL "${KAVRI_STAGE}/${name}.gz" DESTINATION "${CMAKE_INSTALL_PREFIX}/${destination}")
endmacro()
kavri_install_gzipped("${KAVRI_SOURCE_DIR}/dist/KavriDaemon.1" KavriDaemon.1 share/man/man1)
kavri_install_gzipped("${KAVRI_SOURCE_DIR}/dist/changelog" changelog.Debian share/doc/kavri-daemon)
