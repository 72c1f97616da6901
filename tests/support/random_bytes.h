// Reproducible pseudo-random test data.
#ifndef TESTS_RANDOM_BYTES_H
#define TESTS_RANDOM_BYTES_H

#include <cstdint>
#include <random>
#include <string>

inline std::string randomBytes(std::size_t length, std::uint32_t seed) {
    std::mt19937 generator(seed);
    std::string bytes(length, '\0');
    for (auto& byte : bytes) byte = static_cast<char>(generator() & 0xFF);
    return bytes;
}

#endif // TESTS_RANDOM_BYTES_H
