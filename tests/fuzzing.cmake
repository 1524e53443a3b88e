# What every libFuzzer project under tests/ shares: C++20 with clang, the
# warnings target the libraries link, coverage instrumentation with ASan and
# UBSan, and ROOT, the top of the repository. Included after project().
set(CMAKE_CXX_STANDARD 20)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  message(FATAL_ERROR "${PROJECT_NAME} needs clang (libFuzzer)")
endif()

get_filename_component(ROOT ${CMAKE_CURRENT_LIST_DIR}/.. ABSOLUTE)
# One include root, as in the main build: includes name their folder.
add_library(vornic_include_root INTERFACE)
target_include_directories(vornic_include_root INTERFACE ${ROOT})
add_library(project_warnings INTERFACE)
target_compile_options(project_warnings INTERFACE -Wall -Wextra -Werror)

set(sanitizers -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
add_compile_options(-fsanitize=fuzzer-no-link ${sanitizers})
add_link_options(${sanitizers})

# The POSIX helpers every program's code may use.
add_subdirectory(${ROOT}/platform/posix posix)
