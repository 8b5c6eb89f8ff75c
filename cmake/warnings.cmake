# Warnings are set per target so that third-party headers stay out of it.
option(TAMBLIN_WERROR "Treat warnings as errors" OFF)

function(tamblin_warnings target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic)
    if(TAMBLIN_WERROR)
        target_compile_options(${target} PRIVATE -Werror)
    endif()
endfunction()
