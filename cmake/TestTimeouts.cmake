# The longest a test may run, by label, in seconds: a fault that hangs fails its own test
# instead of stalling the whole run. Every test carries at least one of these labels, and a test
# with several gets the longest of their time-outs.
#
# The longest tests of each label take, in the AddressSanitizer build: unit about 15 s (the
# credential checks and the session time-outs), fuzz corpus replays under 1 s, socket_threads
# under 1 s (a few seconds under ThreadSanitizer), python about 10 s, integration about 20 s
# (the load tests). Each limit leaves several times that for a machine whose two cores are
# shared with other builds.
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
