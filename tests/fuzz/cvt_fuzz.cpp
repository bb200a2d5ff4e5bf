// libFuzzer entry for the CVT loader: any file content is checked without a crash, an overrun
// or a pass that the sums do not support. Seeds: corpus/cvt_fuzz.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "firmware/Checksums.h"
#include "firmware/CvtFile.h"

namespace {

// A directory of our own, so that no link planted in /tmp chooses what the input overwrites.
struct FuzzFile {
    FuzzFile() {
        std::string pattern = (std::filesystem::temp_directory_path() / "rw-cvt-fuzz-XXXXXX").string();
        if (::mkdtemp(pattern.data()) != nullptr) {
            dir = pattern;
            path = dir + "/input.cvt";
        }
    }
    ~FuzzFile() {
        std::error_code ec;
        if (!dir.empty()) std::filesystem::remove_all(dir, ec);
    }
    std::string dir, path;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const FuzzFile fuzzFile;
    const std::string& path = fuzzFile.path;
    if (path.empty()) return 0;
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return 0;
    std::fwrite(data, 1, size, file);
    std::fclose(file);

    int enabled = 0;
    firmware::CvtCallbacks callbacks;
    callbacks.enableFlash = [&] { ++enabled; };
    firmware::LoadCvtFile(path, callbacks);
    if (enabled) {
        // A pass needs a sound header and a trailer that holds the sums of the whole blocks.
        if (size < 40 || std::memcmp(data, firmware::kCvtHeaderText, 25) != 0) __builtin_trap();
        const size_t blocks = (size - 40) / firmware::FlashBlockSize;
        const std::span<const uint8_t> body(data + 36, blocks * firmware::FlashBlockSize);
        const uint8_t* trailer = data + 36 + body.size();
        if (firmware::AdditiveSum(body) != (trailer[0] | trailer[1] << 8) ||
            firmware::RotatingSum(body) != (trailer[2] | trailer[3] << 8))
            __builtin_trap();
    }
    firmware::CloseCvtFile();
    return 0;
}
