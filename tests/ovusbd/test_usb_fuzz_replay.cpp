// Replays the corpus of the uevent fuzz target as a normal test, so every
// build (and every sanitizer build) runs it.
#include <dirent.h>
#include <gtest/gtest.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "tests/fuzz/fuzz_uevent.cpp"

namespace {

std::string corpusDirectory() {
  std::string here = __FILE__;
  return here.substr(0, here.rfind('/')) + "/../fuzz/corpus/uevent";
}

TEST(UeventFuzzReplay, EveryCorpusFileParsesSafely) {
  DIR* directory = opendir(corpusDirectory().c_str());
  ASSERT_NE(directory, nullptr) << corpusDirectory();
  int files = 0;
  while (dirent* entry = readdir(directory)) {
    if (entry->d_name[0] == '.') continue;
    std::string path = corpusDirectory() + "/" + entry->d_name;
    FILE* file = fopen(path.c_str(), "rb");
    ASSERT_NE(file, nullptr) << path;
    std::vector<uint8_t> data;
    uint8_t chunk[4096];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, file)) > 0) data.insert(data.end(), chunk, chunk + got);
    fclose(file);
    LLVMFuzzerTestOneInput(data.data(), data.size());
    ++files;
  }
  closedir(directory);
  EXPECT_GE(files, 20);
}

}  // namespace
