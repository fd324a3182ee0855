# The longest a test may run, by label, in seconds: a fault that hangs fails its own test
# instead of stalling the whole run. Every test carries at least one of these labels, and a test
# with several gets the longest of their time-outs.
#
# The longest tests of each label take, in the AddressSanitizer build: unit suites under 5 s,
# fuzz corpus replays under 2 s, socket_threads under 1 s (a few seconds under ThreadSanitizer),
# python about 20 s, integration suites up to about 60 s (the server features and repeated
# stops). Each limit leaves several times that for a machine whose two cores are shared with
# other builds.
set(QDO_TEST_TIMEOUT_unit 120)
set(QDO_TEST_TIMEOUT_fuzz 120)
set(QDO_TEST_TIMEOUT_socket_threads 120)
set(QDO_TEST_TIMEOUT_python 300)
set(QDO_TEST_TIMEOUT_integration 420)

# qdo_test_timeout(<out-var> <label>...): the time-out of a test with these labels.
function(qdo_test_timeout out)
    set(timeout 0)
    foreach(label IN LISTS ARGN)
        if(NOT DEFINED QDO_TEST_TIMEOUT_${label})
            message(FATAL_ERROR "The test label '${label}' has no time-out: give it one in "
                                "cmake/TestTimeouts.cmake")
        endif()
        if(QDO_TEST_TIMEOUT_${label} GREATER timeout)
            set(timeout ${QDO_TEST_TIMEOUT_${label}})
        endif()
    endforeach()
    if(timeout EQUAL 0)
        message(FATAL_ERROR "qdo_test_timeout: no label given")
    endif()
    set(${out} ${timeout} PARENT_SCOPE)
endfunction()

# qdo_label_tests(<test>... LABELS <label>...): gives tests made with add_test their labels and
# the labels' time-out.
function(qdo_label_tests)
    cmake_parse_arguments(PARSE_ARGV 0 arg "" "" "LABELS")
    qdo_test_timeout(timeout ${arg_LABELS})
    set_tests_properties(${arg_UNPARSED_ARGUMENTS} PROPERTIES LABELS "${arg_LABELS}"
                         TIMEOUT ${timeout})
endfunction()

# qdo_discover_gtests(<target> LABEL <label> [PROPERTIES <name> <value>...]
#                     [<gtest_discover_tests options>...]): registers the GoogleTest cases of
# <target>, each with the label, its time-out and the further properties.
function(qdo_discover_gtests target)
    cmake_parse_arguments(PARSE_ARGV 1 arg "" "LABEL" "PROPERTIES")
    qdo_test_timeout(timeout ${arg_LABEL})
    gtest_discover_tests(${target} DISCOVERY_MODE PRE_TEST ${arg_UNPARSED_ARGUMENTS}
                         PROPERTIES LABELS ${arg_LABEL} TIMEOUT ${timeout} ${arg_PROPERTIES})
endfunction()

# qdo_discover_gtest_suites(<target> LABEL <label> [RUN_SERIAL <suite>...]): registers one test
# per GoogleTest suite of <target>, found when ctest runs, each with the label and its time-out;
# the suites named after RUN_SERIAL run alone. The cases of a suite share one process, so a
# suite's cases share whatever the program sets up once (the whole-system tests' server).
function(qdo_discover_gtest_suites target)
    cmake_parse_arguments(PARSE_ARGV 1 arg "" "LABEL" "RUN_SERIAL")
    qdo_test_timeout(timeout ${arg_LABEL})
    set(include_file "${CMAKE_CURRENT_BINARY_DIR}/${target}_suites.cmake")
    file(GENERATE OUTPUT "${include_file}"
         CONTENT "set(qdo_suites_program \"$<TARGET_FILE:${target}>\")
set(qdo_suites_label \"${arg_LABEL}\")
set(qdo_suites_timeout ${timeout})
set(qdo_suites_serial \"${arg_RUN_SERIAL}\")
include(\"${PROJECT_SOURCE_DIR}/cmake/AddGTestSuites.cmake\")
")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${include_file}")
endfunction()
