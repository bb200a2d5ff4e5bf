// find_image FILE: checks that FILE (the built program, say) carries the 786,432 bytes of the
// built-in firmware image's blocks in use, byte for byte.
//
// Exit code 0 and "found" with the offset, 1 and "NOT found" when it does not, 2 when FILE
// cannot be read.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <vector>

#include "firmware/FirmwareImage.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: find_image FILE\n");
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary | std::ios::ate);
    std::vector<uint8_t> file;
    const std::streamoff size = in ? static_cast<std::streamoff>(in.tellg()) : -1;
    if (size >= 0) {
        file.resize(static_cast<size_t>(size));
        in.seekg(0);
        in.read(reinterpret_cast<char*>(file.data()), static_cast<std::streamsize>(file.size()));
    }
    if (size < 0 || !in) {
        std::fprintf(stderr, "find_image: cannot read %s\n", argv[1]);
        return 2;
    }

    const firmware::FirmwareImage& image = firmware::BuiltInFirmware;
    const uint8_t* begin = image.Blocks;
    const uint8_t* end = image.Block(image.BlockCount);
    const auto at = std::search(file.begin(), file.end(), std::boyer_moore_horspool_searcher(begin, end));
    const auto length = static_cast<long long>(end - begin);
    if (at == file.end()) {
        std::printf("find_image: %s: built-in firmware image (%lld bytes) NOT found\n", argv[1], length);
        return 1;
    }
    std::printf("find_image: %s: built-in firmware image (%lld bytes) found at offset 0x%llx\n", argv[1], length,
                static_cast<long long>(at - file.begin()));
    return 0;
}
