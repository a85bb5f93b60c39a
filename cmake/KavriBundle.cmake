# kavri_add_bundle(TARGET t DIRECTORY dir SERVER_EXECUTABLE f SERVER_SCRIPT f
#                  IDENTIFIER id VERSION v [SHORT_VERSION v] [FEED_URL u] [PUBLIC_ED_KEY k])
#
# Builds the agent as DIRECTORY/KavriDaemon.app around the given server files:
#   Contents/Info.plist, Contents/MacOS/KavriDaemon,
#   Contents/Resources/kavri-node, Contents/Resources/daemon.js.
# The main bundle and the tests' own bundles are made the same way.
function(kavri_add_bundle)
  cmake_parse_arguments(ARG "" "TARGET;DIRECTORY;SERVER_EXECUTABLE;SERVER_SCRIPT;IDENTIFIER;VERSION;SHORT_VERSION;FEED_URL;PUBLIC_ED_KEY" "" ${ARGN})
  if(NOT ARG_SHORT_VERSION)
    set(ARG_SHORT_VERSION "${ARG_VERSION}")
  endif()
  set(app "${ARG_DIRECTORY}/KavriDaemon.app")
  set(resources "${app}/Contents/Resources")

  set(BUNDLE_IDENTIFIER "${ARG_IDENTIFIER}")
  set(BUNDLE_VERSION "${ARG_VERSION}")
  set(BUNDLE_SHORT_VERSION "${ARG_SHORT_VERSION}")
  set(FEED_URL "${ARG_FEED_URL}")
  set(PUBLIC_ED_KEY "${ARG_PUBLIC_ED_KEY}")
  configure_file(${PROJECT_SOURCE_DIR}/cmake/Info.plist.in "${app}/Contents/Info.plist" @ONLY)

  add_custom_command(
    OUTPUT "${resources}/kavri-node" "${resources}/daemon.js"
    COMMAND ${CMAKE_COMMAND} -E make_directory "${resources}"
    COMMAND ${CMAKE_COMMAND} -E copy "${ARG_SERVER_EXECUTABLE}" "${resources}/kavri-node"
    COMMAND ${CMAKE_COMMAND} -E copy "${ARG_SERVER_SCRIPT}" "${resources}/daemon.js"
    DEPENDS "${ARG_SERVER_EXECUTABLE}" "${ARG_SERVER_SCRIPT}"
    COMMENT "Copying the server into ${app}"
    VERBATIM)
  add_custom_target(${ARG_TARGET}_resources DEPENDS "${resources}/kavri-node" "${resources}/daemon.js")

  add_executable(${ARG_TARGET} ${PROJECT_SOURCE_DIR}/KavriDaemon/main.cc)
  target_link_libraries(${ARG_TARGET} PRIVATE kavri)
  set_target_properties(${ARG_TARGET} PROPERTIES
    OUTPUT_NAME KavriDaemon
    RUNTIME_OUTPUT_DIRECTORY "${app}/Contents/MacOS")
  add_dependencies(${ARG_TARGET} ${ARG_TARGET}_resources)
endfunction()
