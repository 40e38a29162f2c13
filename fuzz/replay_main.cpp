// Runs a fuzz target without libFuzzer: every file of a corpus folder, then mutations of
// them (bit flips, truncations, splices, random bytes) from a fixed seed.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
  std::vector<std::string> corpus;
  if (argc > 1 && std::filesystem::is_directory(argv[1])) {
    for (auto& e : std::filesystem::directory_iterator(argv[1])) {
      std::ifstream f(e.path(), std::ios::binary);
      corpus.emplace_back(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    }
  }
  if (corpus.empty()) corpus.emplace_back("");
  long rounds = argc > 2 ? std::atol(argv[2]) : 10000;
  for (auto& c : corpus) LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(c.data()), c.size());
  std::mt19937_64 rng(12345);
  for (long i = 0; i < rounds; ++i) {
    std::string s = corpus[rng() % corpus.size()];
    int edits = 1 + static_cast<int>(rng() % 8);
    for (int k = 0; k < edits; ++k) {
      switch (rng() % 6) {
        case 0:
          if (!s.empty()) s[rng() % s.size()] ^= static_cast<char>(1u << (rng() % 8));
          break;
        case 1:
          if (!s.empty()) s.resize(rng() % s.size());
          break;
        case 2:
          s.insert(s.begin() + static_cast<long>(s.empty() ? 0 : rng() % s.size()), static_cast<char>(rng()));
          break;
        case 3: {
          const std::string& o = corpus[rng() % corpus.size()];
          if (!o.empty()) s += o.substr(rng() % o.size());
          break;
        }
        case 4:
          if (!s.empty()) s.erase(rng() % s.size(), 1 + rng() % 8);
          break;
        default:
          for (int j = static_cast<int>(rng() % 16); j > 0; --j) s += static_cast<char>(rng());
      }
    }
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(s.data()), s.size());
  }
  std::printf("%zu corpus files, %ld mutated inputs: no failure\n", corpus.size(), rounds);
  return 0;
}
