# Run by ctest (a test include file of the test directory, see qdo_discover_gtest_suites): lists
# the GoogleTest cases of a program and registers one test per suite, which runs that suite's
# cases in one process. Expects qdo_suites_program, qdo_suites_label, qdo_suites_timeout and
# qdo_suites_serial (the suites that run alone) to be set.
if(NOT EXISTS "${qdo_suites_program}")
    add_test("${qdo_suites_program}_NOT_BUILT" "${qdo_suites_program}_NOT_BUILT")
    return()
endif()
execute_process(COMMAND "${qdo_suites_program}" --gtest_list_tests
                OUTPUT_VARIABLE qdo_suites_listing RESULT_VARIABLE qdo_suites_status)
if(NOT qdo_suites_status EQUAL 0)
    add_test("${qdo_suites_program}_NOT_LISTED" "${qdo_suites_program}" --gtest_list_tests)
    return()
endif()
# A suite is a line that starts in the first column: "Suite." or "Prefix/Suite.  # TypeParam".
string(REPLACE "\n" ";" qdo_suites_lines "${qdo_suites_listing}")
foreach(qdo_suites_line IN LISTS qdo_suites_lines)
    if(NOT qdo_suites_line MATCHES "^([^ ]+)\\.")
        continue()
    endif()
    set(qdo_suite "${CMAKE_MATCH_1}")
    add_test("${qdo_suite}" "${qdo_suites_program}" "--gtest_filter=${qdo_suite}.*")
    set_tests_properties("${qdo_suite}" PROPERTIES LABELS "${qdo_suites_label}"
                         TIMEOUT "${qdo_suites_timeout}")
    list(FIND qdo_suites_serial "${qdo_suite}" qdo_suites_at) # ctest knows no IN_LIST
    if(NOT qdo_suites_at EQUAL -1)
        set_tests_properties("${qdo_suite}" PROPERTIES RUN_SERIAL TRUE)
    endif()
endforeach()
