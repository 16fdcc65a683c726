# Sanitizer builds. They apply to the whole tree (our libraries, the tests and
# GoogleTest's own code as compiled into them) so that every frame is instrumented.
option(TAPSCOPE_ASAN "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(TAPSCOPE_TSAN "Build with ThreadSanitizer" OFF)

if(TAPSCOPE_ASAN AND TAPSCOPE_TSAN)
    message(FATAL_ERROR "TAPSCOPE_ASAN and TAPSCOPE_TSAN cannot be combined")
endif()

if(TAPSCOPE_ASAN)
    add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer
                        -fno-sanitize-recover=undefined)
    add_link_options(-fsanitize=address,undefined)
endif()

if(TAPSCOPE_TSAN)
    add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
    add_link_options(-fsanitize=thread)
endif()

if(TAPSCOPE_ASAN AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    # GCC 12 reports false "may be used uninitialized" warnings inside
    # libstdc++'s std::function when AddressSanitizer is on.
    add_compile_options(-Wno-maybe-uninitialized)
endif()
