// replay_main.cpp - runs fuzz inputs through a target without the fuzzing engine: every
// file of each directory named on the command line (in name order) and every file
// named directly.  The checked-in corpora are replayed this way on every test run, so
// that the targets build and keep passing.
#include <dirent.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

static bool Replay(const std::string &path)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        fprintf(stderr, "cannot read %s\n", path.c_str());
        return false;
    }
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    // A copy of exactly the input's size, so that a read past its end is caught.
    uint8_t *copy = new uint8_t[bytes.size() + 1];
    std::copy(bytes.begin(), bytes.end(), copy);
    fprintf(stderr, "%s\n", path.c_str()); // names the input that a failure belongs to
    LLVMFuzzerTestOneInput(copy, bytes.size());
    delete[] copy;
    return true;
}

int main(int argc, char **argv)
{
    std::vector<std::string> inputs;
    for (int i = 1; i < argc; i++) {
        struct stat st;
        if (stat(argv[i], &st) != 0) {
            fprintf(stderr, "no such input: %s\n", argv[i]);
            return 2;
        }
        if (!S_ISDIR(st.st_mode)) {
            inputs.push_back(argv[i]);
            continue;
        }
        std::vector<std::string> names;
        if (DIR *dir = opendir(argv[i])) {
            while (dirent *e = readdir(dir))
                if (e->d_name[0] != '.')
                    names.push_back(e->d_name);
            closedir(dir);
        }
        std::sort(names.begin(), names.end());
        for (const std::string &n : names)
            inputs.push_back(std::string(argv[i]) + "/" + n);
    }
    if (inputs.empty()) {
        fprintf(stderr, "usage: %s DIR-OR-FILE...\n", argv[0]);
        return 2;
    }
    size_t replayed = 0;
    for (const std::string &path : inputs)
        if (Replay(path))
            replayed++;
    printf("replayed %zu of %zu inputs\n", replayed, inputs.size());
    return replayed == inputs.size() ? 0 : 1;
}
