# Warnings and sanitizers shared by every target of the project.

set(LAPI_SANITIZE "" CACHE STRING
    "Sanitizers to build with: empty, 'address,undefined' or 'thread'")

add_library(lapi_warnings INTERFACE)
target_compile_options(lapi_warnings INTERFACE
    -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion
    -Wcast-align -Wformat=2 -Wnull-dereference -Wdouble-promotion
    -Wmissing-declarations -Wundef
    $<$<COMPILE_LANGUAGE:CXX>:-Wnon-virtual-dtor -Wold-style-cast -Woverloaded-virtual>
    # clang checks the registry's locking against its annotations.
    $<$<CXX_COMPILER_ID:Clang>:-Wthread-safety>)
if(LAPI_WERROR)
    target_compile_options(lapi_warnings INTERFACE -Werror)
endif()

if(LAPI_SANITIZE)
    add_compile_options(-fsanitize=${LAPI_SANITIZE} -fno-omit-frame-pointer -g)
    add_link_options(-fsanitize=${LAPI_SANITIZE})
    if(LAPI_SANITIZE MATCHES "undefined")
        add_compile_options(-fno-sanitize-recover=all)
    endif()
endif()
