#pragma once

// The plain-program side of every fuzz target (built with PORTNET_FUZZ_STANDALONE): replays
// the files and folders it is given through LLVMFuzzerTestOneInput, so a corpus or a crash
// file can be checked without libFuzzer; `--capture DIR` writes a target's seed corpus where
// the harness knows how to make one.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace portnet_fuzz {

using Bytes = std::vector<unsigned char>;
using Capture = int (*)(const std::filesystem::path& dir);

inline void Save(const std::filesystem::path& file, const Bytes& input) {
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(input.data()),
               static_cast<std::streamsize>(input.size()));
    std::printf("%s: %zu bytes\n", file.c_str(), input.size());
}

inline int Replay(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return std::fprintf(stderr, "cannot read %s\n", file.c_str()), 1;
    const Bytes input((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(input.data(), input.size());
    return 0;
}

// Folders are replayed in name order, so two runs over the same corpus do the same work.
inline int ReplayMain(int argc, char** argv, Capture capture) {
    if (argc == 3 && std::strcmp(argv[1], "--capture") == 0) {
        if (!capture) return std::fprintf(stderr, "this target has no capture\n"), 2;
        std::filesystem::create_directories(argv[2]);
        return capture(argv[2]);
    }
    int failed = 0, inputs = 0;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path path(argv[i]);
        std::vector<std::filesystem::path> files;
        if (std::filesystem::is_directory(path)) {
            for (const auto& entry : std::filesystem::directory_iterator(path))
                if (entry.is_regular_file()) files.push_back(entry.path());
            std::sort(files.begin(), files.end());
        } else {
            files.push_back(path);
        }
        for (const auto& file : files)
            failed += Replay(file), ++inputs;
    }
    std::printf("%d inputs replayed, %d unreadable\n", inputs, failed);
    return failed == 0 && inputs > 0 ? 0 : 1;
}

} // namespace portnet_fuzz
