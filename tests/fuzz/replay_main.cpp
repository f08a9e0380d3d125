// Runs a fuzz target over files once each, without libFuzzer: the main of
// the coverage builds, which measure what a corpus reaches in the source.
// Arguments are files or directories (their regular files, in name order).
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace fs = std::filesystem;

static int run_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    fprintf(stderr, "cannot read %s\n", path.c_str());
    return 0;
  }
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // A block of exactly the input's size, as libFuzzer passes it.
  std::vector<uint8_t> data(bytes.begin(), bytes.end());
  static uint8_t none;  // libFuzzer never passes a null pointer, even for no bytes
  LLVMFuzzerTestOneInput(data.empty() ? &none : data.data(), data.size());
  return 1;
}

int main(int argc, char** argv) {
  size_t runs = 0;
  for (int i = 1; i < argc; i++) {
    fs::path arg(argv[i]);
    std::error_code ec;
    if (fs::is_directory(arg, ec)) {
      std::vector<fs::path> files;
      for (const auto& e : fs::directory_iterator(arg, ec))
        if (e.is_regular_file()) files.push_back(e.path());
      std::sort(files.begin(), files.end());
      for (const auto& f : files) runs += run_file(f);
    } else {
      runs += run_file(arg);
    }
  }
  printf("replayed %zu inputs\n", runs);
  return 0;
}
