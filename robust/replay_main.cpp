// Runs one fuzz harness without libFuzzer over every file in the directories
// given: the committed corpus replayed with all the harness's checks in the
// ordinary sanitizer build.   s7replay_<harness> DIR...
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

int main(int argc, char **argv) {
  LLVMFuzzerInitialize(&argc, &argv);
  int n = 0;
  for (int i = 1; i < argc; ++i)
    for (const auto &e : std::filesystem::directory_iterator(argv[i])) {
      std::ifstream f(e.path(), std::ios::binary);
      const std::vector<uint8_t> d((std::istreambuf_iterator<char>(f)),
                                   std::istreambuf_iterator<char>());
      LLVMFuzzerTestOneInput(d.data(), d.size());
      ++n;
    }
  std::printf("%d inputs replayed\n", n);
  return n > 0 ? 0 : 1;
}
