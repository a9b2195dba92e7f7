# Names: a test program is <folder>_<what>_test (nested folders joined by "_", e.g. media_zip_test),
# built from sources named <What>Test.cpp in the tests/ folder beside the code they test; a script
# test is <folder>_<what>, driven by a script named <what>_test.py or <what>_test.sh. Helper
# programs of the tests are named for what they do (zip_tool, audio_probe).
#
# qm_add_gtest(NAME LABEL label SOURCES ... [LIBS ...] [OWN_MAIN] [SERIAL] [SCREEN] [RESOURCE_LOCK ...] [TIMEOUT s])
# A GoogleTest program whose cases CTest runs one by one under Wine (the cross emulator).
# OWN_MAIN: the sources bring main() (COM or window set-up first); SERIAL: its cases never run
# beside other tests (they use the shared audio devices, say); SCREEN: its cases read pixels back
# from the shared virtual display, so no other SCREEN test may put a window over theirs.
include(GoogleTest)
enable_testing()

function(qm_add_gtest name)
  cmake_parse_arguments(T "OWN_MAIN;SERIAL;SCREEN" "LABEL;TIMEOUT" "SOURCES;LIBS;RESOURCE_LOCK" ${ARGN})
  if(T_SCREEN)
    list(APPEND T_RESOURCE_LOCK screen)
  endif()
  if(NOT T_LABEL)
    message(FATAL_ERROR "qm_add_gtest(${name}): LABEL is required")
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gmock)
  if(T_OWN_MAIN)
    target_link_libraries(${name} PRIVATE GTest::gtest)
  else()
    target_link_libraries(${name} PRIVATE GTest::gtest_main)
  endif()
  set(props LABELS "${T_LABEL}" TIMEOUT ${T_TIMEOUT})
  if(T_SERIAL)
    list(APPEND props RUN_SERIAL TRUE)
  endif()
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    WORKING_DIRECTORY ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}
    PROPERTIES ${props})
  if(T_RESOURCE_LOCK)
    # A list-valued property loses its separators on its way through the discovery script, so
    # the locks are set by a file of our own that CTest reads after the discovered tests.
    list(REMOVE_DUPLICATES T_RESOURCE_LOCK)
    set(lock_file ${CMAKE_CURRENT_BINARY_DIR}/${name}_locks.cmake)
    file(WRITE ${lock_file}
      "foreach(t IN LISTS ${name}_TESTS)\n"
      "  set_tests_properties(\"\${t}\" PROPERTIES RESOURCE_LOCK \"${T_RESOURCE_LOCK}\")\n"
      "endforeach()\n")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${lock_file})
  endif()
endfunction()

# qm_add_script_test(NAME LABEL label COMMAND ...): a test driven from the Linux side (a shell or
# python script that starts Windows programs under wine and checks their output with real tools).
function(qm_add_script_test name)
  cmake_parse_arguments(T "SERIAL" "LABEL;TIMEOUT" "COMMAND;RESOURCE_LOCK" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  add_test(NAME ${name} COMMAND ${T_COMMAND})
  set_tests_properties(${name} PROPERTIES LABELS "${T_LABEL}" TIMEOUT ${T_TIMEOUT}
    ENVIRONMENT "QM_BIN=${CMAKE_RUNTIME_OUTPUT_DIRECTORY};QM_SOURCE=${CMAKE_SOURCE_DIR}")
  if(T_SERIAL)
    set_tests_properties(${name} PROPERTIES RUN_SERIAL TRUE)
  endif()
  if(T_RESOURCE_LOCK)
    set_tests_properties(${name} PROPERTIES RESOURCE_LOCK "${T_RESOURCE_LOCK}")
  endif()
endfunction()

# qm_add_bench(NAME SOURCES ... [LIBS ...]): a benchmark program bench_NAME.exe that ./bench.sh runs
# under the harness. It prints one line "NAME: key=value ..." with its figures and its ratios
# against the reference it measured in the same run. Linux-side benchmarks are scripts named
# bench_NAME.sh anywhere in the tree (QM_BIN is set for them).
function(qm_add_bench name)
  cmake_parse_arguments(B "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(bench_${name} ${B_SOURCES})
  target_link_libraries(bench_${name} PRIVATE ${B_LIBS})
endfunction()
