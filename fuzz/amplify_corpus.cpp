// Writes amplification inputs (fuzz/Amplify.h) as seeds for the loading
// targets: amplify_corpus DIR [COUNT]. The seeds in fuzz/corpus/load_xml
// and fuzz/corpus/load_stream were made with a count of 24.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "fuzz/Amplify.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: amplify_corpus DIR [COUNT]\n");
    return 2;
  }
  const int count = argc > 2 ? std::atoi(argv[2]) : 24;
  for (int seed = 0; seed < count; ++seed) {
    // Small enough for the fuzzers' input length, large enough to expand.
    const std::string xml = amplify::Generate(static_cast<uint32_t>(seed), 16 * 1024).xml;
    std::ofstream out(std::string(argv[1]) + "/amplify-" + std::to_string(seed) + ".xml", std::ios::binary);
    out << xml;
    if (!out) return 1;
  }
  return 0;
}
