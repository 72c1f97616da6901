// A temporary folder removed with everything in it when the object goes.
#ifndef TESTS_TEMP_DIR_H
#define TESTS_TEMP_DIR_H

#include <cstdlib>
#include <fstream>
#include <random>
#include <stdexcept>
#include <filesystem>
#include <string>
#include <system_error>

class TempDir {
public:
    // A new folder of a random name under the system's temporary folder.
    TempDir() {
        std::random_device seed;
        std::mt19937_64 draw(seed());
        const std::filesystem::path base = std::filesystem::temp_directory_path();
        for (int attempt = 0; attempt < 100; ++attempt) {
            path_ = base / ("vek4kivosmime-test-" + std::to_string(draw()));
            if (std::filesystem::create_directory(path_)) return;
        }
        throw std::runtime_error("cannot make a temporary folder under " + base.string());
    }
    ~TempDir() { std::error_code ignored; std::filesystem::remove_all(path_, ignored); }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string file(const std::string& name) const { return (path_ / name).string(); }

    std::string write(const std::string& name, const std::string& bytes) const {
        const std::string path = file(name);
        std::ofstream out(path, std::ios::binary);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        if (!out) throw std::runtime_error("cannot write " + path);
        return path;
    }

    static std::string read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

private:
    std::filesystem::path path_;
};

#endif // TESTS_TEMP_DIR_H
