// Runs the fuzzing entry over every file of the directories given, as the regular build's test of
// the seed corpus and of any input a fuzzing run saved.
#include <dirent.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(uint8_t const *data, std::size_t size);

int main(int argc, char **argv) {
    int inputs = 0;
    for (int i = 1; i < argc; ++i) {
        DIR *d = opendir(argv[i]);
        if (!d) {
            std::fprintf(stderr, "cannot read %s\n", argv[i]);
            return 2;
        }
        while (dirent *e = readdir(d)) {
            if (e->d_name[0] == '.') continue;
            std::ifstream in(std::string(argv[i]) + "/" + e->d_name, std::ios::binary);
            std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            LLVMFuzzerTestOneInput(reinterpret_cast<uint8_t const *>(bytes.data()), bytes.size());
            ++inputs;
        }
        closedir(d);
    }
    std::printf("%d inputs\n", inputs);
    return inputs > 0 ? 0 : 1;
}
