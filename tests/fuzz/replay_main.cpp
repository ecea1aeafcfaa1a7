// Runs a fuzz target over the files given (files, or folders of them) once each, for the builds
// without libFuzzer: the committed corpus becomes a regression test of every build, sanitizers
// included. A failed check aborts the run, naming the file first.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

void runFile(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::fprintf(stderr, "%s (%zu bytes)\n", path.string().c_str(), bytes.size());
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
}

} // namespace

int main(int argc, char** argv) {
    std::size_t runs = 0;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path path(argv[i]);
        if (std::filesystem::is_directory(path)) {
            for (const auto& entry : std::filesystem::directory_iterator(path)) {
                runFile(entry.path());
                ++runs;
            }
        } else {
            runFile(path);
            ++runs;
        }
    }
    std::printf("%zu inputs run\n", runs);
    return runs == 0 ? 1 : 0;
}
