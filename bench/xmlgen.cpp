// xmlgen SIZE_MB SEED OUTFILE: writes a record-style XML document of about
// SIZE_MB mebibytes, the same bytes for the same size and seed.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bench/XmlGen.h"

namespace {

bool ParseNumber(const char* text, double* value) {
  char* end = nullptr;
  errno = 0;
  *value = std::strtod(text, &end);
  return errno == 0 && end != text && *end == '\0';
}

}  // namespace

int main(int argc, char** argv) {
  double sizeMb = 0, seed = 0;
  if (argc != 4 || !ParseNumber(argv[1], &sizeMb) || sizeMb <= 0 || sizeMb > 65536 ||
      !ParseNumber(argv[2], &seed) || seed < 0) {
    std::fprintf(stderr, "usage: xmlgen SIZE_MB SEED OUTFILE\n");
    return 2;
  }
  std::FILE* out = std::fopen(argv[3], "wb");
  if (!out) {
    std::fprintf(stderr, "xmlgen: cannot create %s: %s\n", argv[3], std::strerror(errno));
    return 1;
  }
  bench::GenStats stats;
  const bool ok = bench::GenerateXml(out, static_cast<uint64_t>(sizeMb * 1024 * 1024),
                                     static_cast<uint64_t>(seed), &stats);
  const int saved = errno;
  if (std::fclose(out) != 0 || !ok) {
    std::fprintf(stderr, "xmlgen: cannot write %s: %s\n", argv[3], std::strerror(ok ? errno : saved));
    std::remove(argv[3]);
    return 1;
  }
  std::printf("%s: %llu bytes, %llu records\n", argv[3], static_cast<unsigned long long>(stats.bytes),
              static_cast<unsigned long long>(stats.records));
  return 0;
}
