# Runs at build time (kavri_add_build_id in KavriBundle.cmake): writes OUTPUT,
# a C++ source defining kavri::NAME as the GNU build-id of MODULE in
# lowercase hex, the identity of the one module the program it is compiled
# into loads.
execute_process(COMMAND "${READELF}" --notes --wide "${MODULE}"
                OUTPUT_VARIABLE notes RESULT_VARIABLE failed)
if(failed OR NOT notes MATCHES "Build ID: ([0-9a-f]+)")
  message(FATAL_ERROR "No build id in ${MODULE}")
endif()
file(WRITE "${OUTPUT}" "\
// Generated: the build-id of the module this program was built with.
namespace kavri {
extern const char ${NAME}[];
extern const char ${NAME}[] = \"${CMAKE_MATCH_1}\";
}  // namespace kavri
")
