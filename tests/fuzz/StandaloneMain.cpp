// SPDX-License-Identifier: BSD-3-Clause
// Runs a fuzz target once over every input named on the command line (files, or directories of
// files) without libFuzzer: used by the coverage build to replay the committed corpora.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size);

namespace {

void RunFile(const std::filesystem::path &Path) {
  std::ifstream File(Path, std::ios::binary);
  const std::vector<uint8_t> Bytes{std::istreambuf_iterator<char>(File),
                                   std::istreambuf_iterator<char>()};
  LLVMFuzzerTestOneInput(Bytes.data(), Bytes.size());
}

}  // namespace

int main(int Count, char **Arguments) {
  uint64_t Inputs = 0;
  for (int I = 1; I < Count; ++I) {
    const std::filesystem::path Path(Arguments[I]);
    if (Arguments[I][0] == '-') continue;  // libFuzzer options are ignored
    if (std::filesystem::is_directory(Path)) {
      for (const auto &Entry : std::filesystem::directory_iterator(Path)) {
        if (Entry.is_regular_file()) {
          RunFile(Entry.path());
          ++Inputs;
        }
      }
    } else {
      RunFile(Path);
      ++Inputs;
    }
  }
  std::printf("ran %llu inputs\n", static_cast<unsigned long long>(Inputs));
  return 0;
}
