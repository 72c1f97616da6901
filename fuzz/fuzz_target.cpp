// A libFuzzer target: every input through the entry point of entry_points.h
// that CMake names in FUZZ_ENTRY_POINT.
#include "entry_points.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzentry::FUZZ_ENTRY_POINT(data, size);
    return 0;
}
