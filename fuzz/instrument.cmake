# Included by the top CMakeLists.txt when VEK4KIVOSMIME_FUZZ is on, before any
# target exists: every object of the build gets coverage instrumentation and
# the address and undefined-behaviour sanitizers, so the fuzzers see into the
# libraries they link and not only into their own code.

if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang" OR NOT CMAKE_C_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "VEK4KIVOSMIME_FUZZ needs clang (libFuzzer); this build uses "
                        "${CMAKE_CXX_COMPILER_ID}. Configure a fresh build folder with "
                        "-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++.")
endif()
if(VEK4KIVOSMIME_SANITIZE)
    message(FATAL_ERROR "VEK4KIVOSMIME_FUZZ brings its own sanitizers; leave VEK4KIVOSMIME_SANITIZE empty.")
endif()

include(CheckCXXSourceCompiles)
set(CMAKE_REQUIRED_LINK_OPTIONS -fsanitize=fuzzer)
check_cxx_source_compiles([[
#include <cstddef>
#include <cstdint>
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t*, std::size_t) { return 0; }
]] VEK4KIVOSMIME_HAVE_LIBFUZZER)
unset(CMAKE_REQUIRED_LINK_OPTIONS)
if(NOT VEK4KIVOSMIME_HAVE_LIBFUZZER)
    message(FATAL_ERROR "clang cannot link -fsanitize=fuzzer: the libFuzzer runtime is missing "
                        "(on Debian: apt-get install libclang-rt-14-dev).")
endif()

add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)
add_link_options(-fsanitize=address,undefined)

# Instrumented test programs and benchmarks would only be slow copies of the
# normal ones; this configuration builds the libraries, the tool and fuzz/.
set(VEK4KIVOSMIME_BUILD_TESTS OFF)
set(VEK4KIVOSMIME_BUILD_BENCHMARKS OFF)
