# kavri_add_credentials(OUTPUT var DIRECTORY dir SERVER_EXECUTABLE f SERVER_SCRIPT f)
#
# Generates DIRECTORY/credentials.cc, the stored server credentials
# (server/credentials.h) for the two server files, and sets `var` to its
# path. It is remade, and only what compiles it relinked, when either file
# changes. The file holds a key: it stays in the build tree, never in git.
function(kavri_add_credentials)
  cmake_parse_arguments(ARG "" "OUTPUT;DIRECTORY;SERVER_EXECUTABLE;SERVER_SCRIPT" "" ${ARGN})
  set(generated "${ARG_DIRECTORY}/credentials.cc")
  add_custom_command(
    OUTPUT "${generated}"
    COMMAND ${CMAKE_COMMAND} -E make_directory "${ARG_DIRECTORY}"
    COMMAND bash "${PROJECT_SOURCE_DIR}/cmake/kavri_credentials.sh"
            "${ARG_SERVER_EXECUTABLE}" "${ARG_SERVER_SCRIPT}" "${generated}"
    DEPENDS "${ARG_SERVER_EXECUTABLE}" "${ARG_SERVER_SCRIPT}"
            "${PROJECT_SOURCE_DIR}/cmake/kavri_credentials.sh"
    COMMENT "Generating the server credentials in ${ARG_DIRECTORY}"
    VERBATIM)
  set(${ARG_OUTPUT} "${generated}" PARENT_SCOPE)
endfunction()

# kavri_add_build_id(OUTPUT var MODULE target NAME name)
#
# Gives the module `target` a GNU build-id (a hash of the linked module) and
# generates a source that defines `kavri::name` (const char[]) as that id,
# setting `var` to its path. Compiled into a program, it names the one build
# of the module the program loads (LoadableModule::load); it is remade, and
# the program relinked, whenever the module is.
function(kavri_add_build_id)
  cmake_parse_arguments(ARG "" "OUTPUT;MODULE;NAME" "" ${ARGN})
  if(NOT CMAKE_READELF)
    find_program(CMAKE_READELF readelf REQUIRED)
  endif()
  target_link_options(${ARG_MODULE} PRIVATE "LINKER:--build-id=sha1")
  set(generated "${CMAKE_CURRENT_BINARY_DIR}/${ARG_NAME}.cc")
  add_custom_command(
    OUTPUT "${generated}"
    COMMAND ${CMAKE_COMMAND} "-DREADELF=${CMAKE_READELF}" "-DMODULE=$<TARGET_FILE:${ARG_MODULE}>"
            "-DNAME=${ARG_NAME}" "-DOUTPUT=${generated}"
            -P "${PROJECT_SOURCE_DIR}/cmake/kavri_build_id.cmake"
    DEPENDS ${ARG_MODULE} "${PROJECT_SOURCE_DIR}/cmake/kavri_build_id.cmake"
    COMMENT "Taking the build id of ${ARG_MODULE}"
    VERBATIM)
  set(${ARG_OUTPUT} "${generated}" PARENT_SCOPE)
endfunction()

# kavri_export_to_modules(target)
#
# Makes the executable `target` export the project's own functions to the
# modules it loads (kavri_exports.list): the updater module takes the
# platform layer from the agent it is loaded into rather than carrying a
# copy whose state (the server's process, the log) would be its own.
function(kavri_export_to_modules target)
  set(exports "${PROJECT_SOURCE_DIR}/cmake/kavri_exports.list")
  target_link_options(${target} PRIVATE "LINKER:--dynamic-list=${exports}")
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS "${exports}")
endfunction()

# kavri_add_bundle(TARGET t DIRECTORY dir SERVER_EXECUTABLE f SERVER_SCRIPT f
#                  IDENTIFIER id VERSION v [SHORT_VERSION v] [FEED_URL u] [PUBLIC_ED_KEY k]
#                  [SOURCES entry.cc ...])
#
# Builds the agent as DIRECTORY/KavriDaemon.app around the given server files:
#   Contents/Info.plist, Contents/MacOS/KavriDaemon,
#   Contents/Resources/kavri-node, Contents/Resources/daemon.js,
#   Contents/Frameworks/libkavri_updater.so (the updater, loaded when it starts).
# The executable is main.cc (or SOURCES, for a test's own entry point), the
# kavri library and the credentials generated from these two server files,
# so every bundle carries its own. The main bundle and the tests' own
# bundles are made the same way.
function(kavri_add_bundle)
  cmake_parse_arguments(ARG "" "TARGET;DIRECTORY;SERVER_EXECUTABLE;SERVER_SCRIPT;IDENTIFIER;VERSION;SHORT_VERSION;FEED_URL;PUBLIC_ED_KEY" "SOURCES" ${ARGN})
  if(NOT ARG_SHORT_VERSION)
    set(ARG_SHORT_VERSION "${ARG_VERSION}")
  endif()
  if(NOT ARG_SOURCES)
    set(ARG_SOURCES ${PROJECT_SOURCE_DIR}/KavriDaemon/main.cc)
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
  # The updater module goes with every bundle, so an update brings its own.
  set(updater "${app}/Contents/Frameworks/${CMAKE_SHARED_MODULE_PREFIX}kavri_updater${CMAKE_SHARED_MODULE_SUFFIX}")
  add_custom_command(
    OUTPUT "${updater}"
    COMMAND ${CMAKE_COMMAND} -E make_directory "${app}/Contents/Frameworks"
    COMMAND ${CMAKE_COMMAND} -E copy "$<TARGET_FILE:kavri_updater_module>" "${updater}"
    DEPENDS kavri_updater_module
    COMMENT "Copying the updater into ${app}"
    VERBATIM)
  add_custom_target(${ARG_TARGET}_resources
    DEPENDS "${resources}/kavri-node" "${resources}/daemon.js" "${updater}")
  # The companion server is itself made by the build (companion/).
  if(ARG_SERVER_SCRIPT STREQUAL KAVRI_COMPANION_SCRIPT)
    add_dependencies(${ARG_TARGET}_resources companion_script)
  endif()

  kavri_add_credentials(
    OUTPUT credentials
    DIRECTORY "${CMAKE_CURRENT_BINARY_DIR}/${ARG_TARGET}_credentials"
    SERVER_EXECUTABLE "${ARG_SERVER_EXECUTABLE}"
    SERVER_SCRIPT "${ARG_SERVER_SCRIPT}")

  add_executable(${ARG_TARGET} ${ARG_SOURCES} "${credentials}")
  target_link_libraries(${ARG_TARGET} PRIVATE kavri)
  set_target_properties(${ARG_TARGET} PROPERTIES
    OUTPUT_NAME KavriDaemon
    RUNTIME_OUTPUT_DIRECTORY "${app}/Contents/MacOS")
  kavri_export_to_modules(${ARG_TARGET})
  add_dependencies(${ARG_TARGET} ${ARG_TARGET}_resources)
endfunction()
