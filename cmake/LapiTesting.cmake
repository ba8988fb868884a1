# How the tests are registered with CTest (included when LAPI_BUILD_TESTS is on).
#
# Tests that listen on "/tmp/lapisock" run in a mount namespace with a /tmp of their
# own where that works (root, a native build outside /tmp), so that they run side by
# side; elsewhere they take turns on the resource lock "lapisock".
set(LAPI_PRIVATE_TMP "")
if(NOT CMAKE_CROSSCOMPILING AND NOT CMAKE_BINARY_DIR MATCHES "^/tmp/"
   AND NOT CMAKE_SOURCE_DIR MATCHES "^/tmp/")
    execute_process(
        COMMAND ${PROJECT_SOURCE_DIR}/tests/support/private-tmp.sh true
        RESULT_VARIABLE private_tmp_rc OUTPUT_QUIET ERROR_QUIET)
    if(private_tmp_rc EQUAL 0)
        set(LAPI_PRIVATE_TMP ${PROJECT_SOURCE_DIR}/tests/support/private-tmp.sh)
    endif()
endif()
message(STATUS "socket tests in private /tmp namespaces: ${LAPI_PRIVATE_TMP}")

# lapi_test(<target> LABELS <labels> [SOCKET] [TIMEOUT <s>] [ARGS <args>]): one CTest
# entry that runs the whole executable. SOCKET: it listens on "/tmp/lapisock".
function(lapi_test target)
    cmake_parse_arguments(T "SOCKET" "TIMEOUT" "LABELS;ARGS" ${ARGN})
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 120)
    endif()
    if(T_SOCKET AND LAPI_PRIVATE_TMP)
        add_test(NAME ${target} COMMAND ${LAPI_PRIVATE_TMP} $<TARGET_FILE:${target}> ${T_ARGS})
    else()
        add_test(NAME ${target} COMMAND ${target} ${T_ARGS})
    endif()
    set_tests_properties(${target} PROPERTIES LABELS "${T_LABELS}" TIMEOUT ${T_TIMEOUT})
    if(T_SOCKET AND NOT LAPI_PRIVATE_TMP)
        set_tests_properties(${target} PROPERTIES RESOURCE_LOCK lapisock)
    endif()
endfunction()
