// Writes amplification inputs (fuzz/Amplify.h) as seeds for the loading
// targets: amplify_corpus DIR [COUNT]. The seeds in fuzz/corpus/load_xml
// and fuzz/corpus/load_stream were made with a count of 24, and hold
// kMarkup more whose entities hold markup (nodes multiply). Only inputs
// that stay well under the expansion budget are kept: one that spends it
// takes ten seconds under the sanitizers and would stall the fuzzer on its
// seeds; mutation finds the way past the budget (and the hostile-input
// tests go there on purpose).
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
  constexpr int kMarkup = 6;
  int written = 0, markup = 0;
  for (uint32_t seed = 0; (written < count || markup < kMarkup) && seed < 100000; ++seed) {
    // Small enough for the fuzzers' input length, large enough to expand.
    const amplify::Input in = amplify::Generate(seed, 16 * 1024);
    if (64 * (in.expansions + in.nodes) + in.scanned + in.output > (uint64_t(1) << 20)) continue;
    if (written >= count && !in.nodes) continue;
    std::ofstream out(std::string(argv[1]) + "/amplify-" + std::to_string(seed) + ".xml", std::ios::binary);
    out << in.xml;
    if (!out) return 1;
    ++written;
    markup += in.nodes > 0;
  }
  return markup >= kMarkup ? 0 : 1;
}
