# th_add_gtest(<name> SOURCES <files...> LIBS <targets...> [LABELS <labels...>] [TIMEOUT <s>])
#
# Builds one GoogleTest binary and registers each of its cases with CTest. Every
# case runs through tests/support/isolate.sh, which gives it a registry folder,
# a temporary folder and a harmless shutdown command of its own, and the
# offscreen Qt platform; discovery runs through the same wrapper.
set(TH_TEST_ISOLATE ${CMAKE_SOURCE_DIR}/tests/support/isolate.sh)

function(th_add_gtest name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} th_testsupport GTest::gtest GTest::gmock)
  set_target_properties(${name} PROPERTIES
    CROSSCOMPILING_EMULATOR ${TH_TEST_ISOLATE}
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests
    ENABLE_EXPORTS ON)
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  set(props TIMEOUT ${ARG_TIMEOUT})
  if(ARG_LABELS)
    list(APPEND props LABELS "${ARG_LABELS}")
  endif()
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    PROPERTIES ${props})
endfunction()
