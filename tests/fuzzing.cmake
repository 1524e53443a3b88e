# The fuzz build (preset fuzz, scripts/fuzz-*): included by the root
# CMakeLists.txt when VORNIC_FUZZ is on, in place of the normal folders. The
# preset picks clang and VORNIC_SANITIZE=address,undefined; here every target
# also gets libFuzzer's coverage instrumentation, and each fuzzer links
# libFuzzer itself (-fsanitize=fuzzer on its own link line). The preset builds
# at -O1 with line tables only, as is usual for fuzzing: reports keep their
# file:line stacks, and the build costs far less than -O2 with full debug
# information.
if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  message(FATAL_ERROR "The fuzz build needs clang (libFuzzer): use the fuzz preset")
endif()
if(NOT VORNIC_SANITIZE MATCHES "address")
  message(FATAL_ERROR "The fuzz build runs under AddressSanitizer: use the fuzz preset")
endif()
target_compile_options(project_sanitizers INTERFACE -fsanitize=fuzzer-no-link)

# ROOT, the top of the repository, for the fuzzers' own sources.
set(ROOT ${PROJECT_SOURCE_DIR})
# Every fuzzer lands at the top of the build tree (build/fuzz/hex_fuzzer).
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR})

# The libraries the fuzzers reach, each built once for all of them.
foreach(dir
    platform/posix
    platform/probelib
    platform/controls
    vornic/log
    vornic/outcome
    vornic/image
    trasmo)
  add_subdirectory(${dir})
endforeach()

foreach(dir
    tests/vornic/image/fuzz
    tests/vornic/cli/fuzz
    tests/trasmo/fuzz)
  add_subdirectory(${dir})
endforeach()
