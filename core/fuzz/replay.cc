// Runs a libFuzzer target's entry point on the files of one directory, in name
// order, without libFuzzer. Linked with reader_fuzz.cc, it makes the target's
// cross-checks part of an ordinary test run; a disagreement aborts as it does
// when fuzzing.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  std::vector<fs::path> inputs;
  if (argc == 2 && fs::is_directory(argv[1])) {
    for (const fs::directory_entry& entry : fs::directory_iterator(argv[1])) inputs.push_back(entry.path());
  }
  if (inputs.empty()) {
    std::fprintf(stderr, "usage: %s DIRECTORY (of at least one input)\n", argv[0]);
    return 2;
  }
  std::sort(inputs.begin(), inputs.end());
  for (const fs::path& path : inputs) {
    std::ifstream in(path, std::ios::binary);
    // A block of exactly the input's size, so that the sanitizers see a read past its end.
    const std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::fprintf(stderr, "%s\n", path.c_str());  // before the target's own message on a failure
    LLVMFuzzerTestOneInput(data.data(), data.size());
  }
  std::printf("%zu inputs replayed\n", inputs.size());
  return 0;
}
