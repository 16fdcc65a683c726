# The hardening a program run as root and as a service should have: stack
# protection, fortified libc calls (they need optimisation, so not in Debug
# builds), and a global offset table that is read-only once the program has
# started (RELRO with immediate binding). Sanitizer and fuzzer builds bring
# their own checks and leave these off.
option(TAPSCOPE_HARDEN "Build with stack protection, _FORTIFY_SOURCE and full RELRO" ON)

if(TAPSCOPE_HARDEN AND NOT (TAPSCOPE_ASAN OR TAPSCOPE_TSAN OR TAPSCOPE_FUZZ))
    add_compile_options(-fstack-protector-strong
                        $<$<NOT:$<CONFIG:Debug>>:-D_FORTIFY_SOURCE=2>)
    add_link_options(LINKER:-z,relro LINKER:-z,now)
endif()
