// Replays fuzz inputs (files, or directories of them) through a fuzz target,
// so the normal test suite runs every seed and every past finding.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

static void Replay(const std::filesystem::path& path, int* count) {
    std::ifstream file(path, std::ios::binary);
    std::vector<uint8_t> data((std::istreambuf_iterator<char>(file)), {});
    LLVMFuzzerTestOneInput(data.data(), data.size());
    ++*count;
}

int main(int argc, char** argv) {
    std::vector<std::filesystem::path> paths;
    for (int i = 1; i < argc; i++) {
        paths.push_back(std::filesystem::absolute(argv[i]));
    }
    LLVMFuzzerInitialize(&argc, &argv); // may change the working directory
    int count = 0;
    for (const auto& path : paths) {
        if (std::filesystem::is_directory(path)) {
            for (const auto& entry : std::filesystem::directory_iterator(path)) {
                if (entry.is_regular_file() && entry.path().filename().string()[0] != '.') {
                    Replay(entry.path(), &count);
                }
            }
        } else {
            Replay(path, &count);
        }
    }
    printf("%d inputs replayed\n", count);
    return 0;
}
