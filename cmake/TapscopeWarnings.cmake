# Warning flags for every tapScope target, applied through one function so that
# all folders build with the same settings.
function(tapscope_enable_warnings target)
    target_compile_options(${target} PRIVATE -Wall -Wextra)
    if(TAPSCOPE_WERROR)
        target_compile_options(${target} PRIVATE -Werror)
    endif()
endfunction()
