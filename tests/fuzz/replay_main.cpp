// Replays every file of the corpus directories given on the command line
// through the fuzz entry, so the normal test run covers the corpus.
#include <dirent.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

static int replayFile(const std::string& path) {
    FILE* f = fopen(path.c_str(), "rb");
    if (f == nullptr) {
        fprintf(stderr, "cannot open %s\n", path.c_str());
        return 1;
    }
    std::vector<uint8_t> data;
    uint8_t chunk[65536];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) {
        data.insert(data.end(), chunk, chunk + n);
    }
    fclose(f);
    LLVMFuzzerTestOneInput(data.data(), data.size());
    return 0;
}

int main(int argc, char** argv) {
    int files = 0, failures = 0;
    for (int i = 1; i < argc; i++) {
        struct stat st;
        if (stat(argv[i], &st) != 0) {
            fprintf(stderr, "cannot stat %s\n", argv[i]);
            return 1;
        }
        if (!S_ISDIR(st.st_mode)) {
            failures += replayFile(argv[i]);
            files++;
            continue;
        }
        DIR* dir = opendir(argv[i]);
        if (dir == nullptr) {
            return 1;
        }
        while (dirent* entry = readdir(dir)) {
            if (entry->d_name[0] == '.') {
                continue;
            }
            failures += replayFile(std::string(argv[i]) + "/" + entry->d_name);
            files++;
        }
        closedir(dir);
    }
    printf("replayed %d corpus file(s)\n", files);
    // An empty corpus would make this test pass without testing anything.
    return failures != 0 || files == 0 ? 1 : 0;
}
