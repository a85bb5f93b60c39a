# kavri_add_test(NAME name SOURCES a_test.cc ... [LIBS extra] [LABELS threads ...]
#                [RESOURCE_LOCK lock ...] [COST seconds])
# One GoogleTest binary per area; each test case becomes its own CTest test.
# A binary's files compile as one unit (GoogleTest's templates and the
# shared headers once, not once a file), at -O1 with line tables: a third
# of the compile time of -O2 -g; the code under test keeps the build's flags.
# RESOURCE_LOCK keeps tests that share something machine-wide from running
# at the same time; agents need none, each runs in a PID namespace of its
# own. COST, the seconds a case takes, has ctest start long cases first so
# that the short ones run beside them. Binaries labelled `threads` also join
# the threads_tests target, which the ThreadSanitizer build builds alone.
function(kavri_add_test)
  cmake_parse_arguments(ARG "" "NAME;COST" "SOURCES;LIBS;LABELS;RESOURCE_LOCK" ${ARGN})
  add_executable(${ARG_NAME} ${ARG_SOURCES})
  kavri_test_code(${ARG_NAME})
  set_target_properties(${ARG_NAME} PROPERTIES UNITY_BUILD ON UNITY_BUILD_BATCH_SIZE 0)
  target_link_libraries(${ARG_NAME} PRIVATE kavri kavri_test_util GTest::gtest GTest::gtest_main ${ARG_LIBS})
  set(props TIMEOUT 300)
  if(ARG_LABELS)
    list(APPEND props LABELS "${ARG_LABELS}")
  endif()
  if("threads" IN_LIST ARG_LABELS)
    if(NOT TARGET threads_tests)
      add_custom_target(threads_tests)
    endif()
    add_dependencies(threads_tests ${ARG_NAME})
  endif()
  if(ARG_COST)
    list(APPEND props COST ${ARG_COST})
  endif()
  if(ARG_RESOURCE_LOCK)
    list(APPEND props RESOURCE_LOCK "${ARG_RESOURCE_LOCK}")
  endif()
  gtest_discover_tests(${ARG_NAME} DISCOVERY_TIMEOUT 60 PROPERTIES ${props})
endfunction()

# kavri_use_font_fixtures(target): the test's private fonts, made by
# tests/font_fixtures/font_facts.py.
function(kavri_use_font_fixtures target)
  target_sources(${target} PRIVATE ${PROJECT_SOURCE_DIR}/tests/font_fixtures/private_fonts.cc)
  target_compile_definitions(${target} PRIVATE
    KAVRI_FONT_FACTS="${PROJECT_SOURCE_DIR}/tests/font_fixtures/font_facts.py")
endfunction()

# kavri_test_code(target): test code, not shipped, compiled for a short
# build; a failure's stack still has its lines.
function(kavri_test_code target)
  target_compile_options(${target} PRIVATE -O1 -g1)
endfunction()
