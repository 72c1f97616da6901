// A libFuzzer target running the entry point that CMake names in FUZZ_ENTRY_POINT.
#include "entry_points.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return fuzzentry::FUZZ_ENTRY_POINT(data, size), 0;
}
