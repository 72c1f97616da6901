// A libFuzzer target: every input through one entry point of
// entry_points.h, which CMake names in FUZZ_ENTRY_POINT.
#include <cstddef>
#include <cstdint>

#include "entry_points.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzentry::FUZZ_ENTRY_POINT(data, size);
    return 0;
}
