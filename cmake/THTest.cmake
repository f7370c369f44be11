# th_add_gtest(<name> SOURCES <files...> LIBS <targets...> [LABELS <label>] [TIMEOUT <s>])
#
# Builds one GoogleTest binary and registers each of its cases with CTest. Every
# case runs through tests/support/isolate.sh, which gives it a registry folder,
# a temporary folder and a harmless shutdown command of its own, and the
# offscreen Qt platform; discovery runs through the same wrapper.
set(TH_TEST_ISOLATE ${CMAKE_SOURCE_DIR}/tests/support/isolate.sh)

function(th_add_gtest name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBS;LABELS;RUNNER" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} th_testsupport GTest::gtest GTest::gmock)
  set_target_properties(${name} PROPERTIES
    CROSSCOMPILING_EMULATOR "${ARG_RUNNER};${TH_TEST_ISOLATE}"
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests
    ENABLE_EXPORTS ON)
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  set(props TIMEOUT ${ARG_TIMEOUT})
  if(ARG_LABELS)
    # gtest_discover_tests hands its properties on unquoted, so a second
    # label would be read as a property name.
    list(LENGTH ARG_LABELS nlabels)
    if(nlabels GREATER 1)
      message(FATAL_ERROR "th_add_gtest(${name}): one label only, got ${ARG_LABELS}")
    endif()
    list(APPEND props LABELS ${ARG_LABELS})
    # A stage that runs one label builds just its binaries (th_tests_<label>).
    set_property(GLOBAL APPEND PROPERTY TH_TESTS_${ARG_LABELS} ${name})
  endif()
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    PROPERTIES ${props})
endfunction()
