# Checks that the README's example is the example file's marked part, byte for byte.
#   cmake -DREADME=README.md -DEXAMPLE=examples/blocking_client.c -P this-file
# README: the fenced block between "<!-- example: examples/NAME -->" and
# "<!-- end of example -->". Example file: the lines between "/* README example begin */"
# and "/* README example end */".
function(between text begin end out)
    string(FIND "${text}" "${begin}" at)
    string(FIND "${text}" "${end}" stop)
    if(at LESS 0 OR stop LESS at)
        message(FATAL_ERROR "markers '${begin}' ... '${end}' not found")
    endif()
    string(LENGTH "${begin}" skip)
    math(EXPR at "${at} + ${skip}")
    math(EXPR len "${stop} - ${at}")
    string(SUBSTRING "${text}" ${at} ${len} part)
    set(${out} "${part}" PARENT_SCOPE)
endfunction()

file(READ ${README} readme)
file(READ ${EXAMPLE} example)
get_filename_component(name ${EXAMPLE} NAME)
between("${readme}" "<!-- example: examples/${name} -->\n```c\n" "```\n<!-- end of example -->"
    from_readme)
between("${example}" "/* README example begin */\n" "/* README example end */" from_example)
if(NOT from_readme STREQUAL from_example)
    file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/readme_example.c "${from_readme}")
    message(FATAL_ERROR "README.md's example differs from the marked part of ${EXAMPLE} "
        "(README's version written to ${CMAKE_CURRENT_BINARY_DIR}/readme_example.c: diff them)")
endif()
message(STATUS "README example = ${name}, marked part")
