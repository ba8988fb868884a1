# lapi_man_page(TARGET SECTION): the manual page TARGET.SECTION, written at build time
# by the built program itself (`TARGET --manpage`), built with everything and installed
# under ${CMAKE_INSTALL_MANDIR}/manSECTION. A cross build, whose programs do not run on
# the build machine, goes without pages.
#
# Run as a script, this file writes one page:
#   cmake -DPROGRAM=path/to/lapid -DOUTPUT=lapid.8 -P LapiManPage.cmake
if(CMAKE_SCRIPT_MODE_FILE)
    execute_process(COMMAND ${PROGRAM} --manpage
        OUTPUT_FILE ${OUTPUT}.tmp ERROR_VARIABLE err RESULT_VARIABLE rc)
    set(size 0)
    if(EXISTS ${OUTPUT}.tmp)
        file(SIZE ${OUTPUT}.tmp size)
    endif()
    if(NOT rc EQUAL 0 OR NOT err STREQUAL "" OR size EQUAL 0)
        file(REMOVE ${OUTPUT}.tmp)
        message(FATAL_ERROR "${PROGRAM} --manpage: status ${rc}, ${size} bytes\n${err}")
    endif()
    file(RENAME ${OUTPUT}.tmp ${OUTPUT})
    return()
endif()

function(lapi_man_page target section)
    if(CMAKE_CROSSCOMPILING)
        message(STATUS "${target}(${section}): no manual page in a cross build")
        return()
    endif()
    set(page ${CMAKE_CURRENT_BINARY_DIR}/${target}.${section})
    add_custom_command(OUTPUT ${page}
        COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:${target}> -DOUTPUT=${page}
                -P ${CMAKE_CURRENT_FUNCTION_LIST_FILE}
        DEPENDS ${target} ${CMAKE_CURRENT_FUNCTION_LIST_FILE}
        COMMENT "Writing the manual page ${target}(${section})"
        VERBATIM)
    add_custom_target(${target}_manpage ALL DEPENDS ${page})
    install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
endfunction()
