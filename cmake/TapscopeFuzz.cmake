# libFuzzer targets (clang only). With TAPSCOPE_FUZZ=ON every target of the
# tree is compiled with coverage instrumentation for libFuzzer and with
# AddressSanitizer + UBSan, and tapscope_add_fuzzer adds fuzzers to the
# tapscope_fuzzers target. scripts/fuzz builds and runs them.
option(TAPSCOPE_FUZZ "Build the libFuzzer targets of tests/fuzz (needs clang)" OFF)

if(TAPSCOPE_FUZZ)
    if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
        message(FATAL_ERROR "TAPSCOPE_FUZZ needs clang and libFuzzer (libclang-rt-14-dev): "
                            "configure with -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++, "
                            "or run scripts/fuzz")
    endif()
    if(TAPSCOPE_ASAN OR TAPSCOPE_TSAN)
        message(FATAL_ERROR "TAPSCOPE_FUZZ brings its own sanitizers; "
                            "leave TAPSCOPE_ASAN and TAPSCOPE_TSAN off")
    endif()
    add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer
                        -fno-sanitize-recover=undefined)
    add_link_options(-fsanitize=address,undefined)
    add_custom_target(tapscope_fuzzers)
endif()

# tapscope_add_fuzzer(<name> <sources>... [LIBS <libraries>...])
#
# One fuzzer: <sources> define LLVMFuzzerTestOneInput; libFuzzer supplies
# main. The executable goes to <build>/fuzzers/, where scripts/fuzz finds every
# fuzzer; seeds in tests/fuzz/corpus/<name>/ and a dictionary
# tests/fuzz/<name>.dict are used when they exist.
function(tapscope_add_fuzzer name)
    if(NOT TAPSCOPE_FUZZ)
        return()
    endif()
    cmake_parse_arguments(PARSE_ARGV 1 FUZZER "" "" "LIBS")
    if(NOT FUZZER_UNPARSED_ARGUMENTS)
        message(FATAL_ERROR "tapscope_add_fuzzer(${name}): no sources")
    endif()
    add_executable(${name} ${FUZZER_UNPARSED_ARGUMENTS})
    target_link_libraries(${name} PRIVATE ${FUZZER_LIBS})
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
    set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/fuzzers)
    tapscope_enable_warnings(${name})
    add_dependencies(tapscope_fuzzers ${name})
endfunction()
