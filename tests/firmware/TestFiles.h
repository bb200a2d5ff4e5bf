// Temporary files and child programs for the firmware tests.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <span>
#include <string>
#include <vector>

namespace firmware_test {

// A directory of its own, removed with everything in it.
class TempDir {
public:
    TempDir() {
        static int counter = 0;
        path_ = std::filesystem::temp_directory_path() /
                ("rw_firmware_test_" + std::to_string(::getpid()) + "_" + std::to_string(counter++));
        std::filesystem::create_directories(path_);
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string Write(const std::string& name, std::span<const uint8_t> bytes) const {
        const std::string file = (path_ / name).string();
        std::ofstream out(file, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        return file;
    }
    std::string PathOf(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

inline std::vector<uint8_t> ReadFile(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct Ran {
    int exitCode = -1;
    std::string output;
};

// Runs a shell command line and collects its standard output.
inline Ran Run(const std::string& command) {
    Ran ran;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return ran;
    char buffer[512];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) ran.output.append(buffer, n);
    const int status = ::pclose(pipe);
    if (status != -1 && WIFEXITED(status)) ran.exitCode = WEXITSTATUS(status);
    return ran;
}

inline std::string Quoted(const std::string& s) { return "'" + s + "'"; }

}  // namespace firmware_test
