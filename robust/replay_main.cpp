// Runs one fuzz harness over files and directories of inputs, without
// libFuzzer: the committed seed corpus (and every input that once made a
// harness fail, kept there) replayed with all the harness's checks in the
// ordinary sanitizer build.
//
//   s7replay_<harness> PATH...
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

int RunFile(const std::filesystem::path &p) {
  std::ifstream f(p, std::ios::binary);
  const std::vector<uint8_t> data((std::istreambuf_iterator<char>(f)),
                                  std::istreambuf_iterator<char>());
  LLVMFuzzerTestOneInput(data.data(), data.size());
  return 1;
}

}  // namespace

int main(int argc, char **argv) {
  LLVMFuzzerInitialize(&argc, &argv);
  int n = 0;
  for (int i = 1; i < argc; ++i) {
    const std::filesystem::path p(argv[i]);
    if (std::filesystem::is_directory(p)) {
      for (const auto &e : std::filesystem::directory_iterator(p))
        if (e.is_regular_file()) n += RunFile(e.path());
    } else if (std::filesystem::is_regular_file(p)) {
      n += RunFile(p);
    } else {
      std::fprintf(stderr, "no such input: %s\n", argv[i]);
      return 2;
    }
  }
  std::printf("%d inputs replayed\n", n);
  return n > 0 ? 0 : 1;
}
