#include "bench/Measure.h"

#include <malloc.h>
#include <sys/resource.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "rtl/Exception.h"

namespace bench {

namespace {

int64_t StatusKb(const char* text, const char* key) {
  const char* at = std::strstr(text, key);
  if (!at) return -1;
  return std::strtoll(at + std::strlen(key), nullptr, 10);
}

double Seconds(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double Mb(int64_t bytes) { return static_cast<double>(bytes) / (1024.0 * 1024.0); }

}  // namespace

MemoryReading ReadMemory() {
  MemoryReading r;
  std::FILE* f = std::fopen("/proc/self/status", "r");
  if (!f) return r;
  char text[8192];
  const size_t n = std::fread(text, 1, sizeof text - 1, f);
  std::fclose(f);
  text[n] = '\0';
  const int64_t rss = StatusKb(text, "\nVmRSS:");
  const int64_t hwm = StatusKb(text, "\nVmHWM:");
  if (rss >= 0) r.rss = rss * 1024;
  if (hwm >= 0) r.hwm = hwm * 1024;
  return r;
}

bool ResetPeak() {
  std::FILE* f = std::fopen("/proc/self/clear_refs", "w");
  if (!f) return false;
  const bool written = std::fputs("5", f) >= 0;
  return std::fclose(f) == 0 && written;
}

void TrimHeap() { malloc_trim(0); }

double WallSeconds() { return Seconds(CLOCK_MONOTONIC); }

double CpuSeconds() { return Seconds(CLOCK_PROCESS_CPUTIME_ID); }

double SystemSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_stime.tv_sec) + static_cast<double>(usage.ru_stime.tv_usec) / 1e6;
}

StageTimer::StageTimer() {
  TrimHeap();
  ResetPeak();
  baseRss_ = ReadMemory().rss;
  cpu0_ = CpuSeconds();
  sys0_ = SystemSeconds();
  wall0_ = WallSeconds();
}

StageResult StageTimer::Stop() const {
  StageResult r;
  r.wall = WallSeconds() - wall0_;
  r.cpu = CpuSeconds() - cpu0_;
  r.sys = SystemSeconds() - sys0_;
  r.baseRss = baseRss_;
  r.peakRss = ReadMemory().hwm;
  return r;
}

std::string Message(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const rtl::Exception& e) {
    return e.Message();
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "unknown exception";
  }
}

int TakeRuns(int& argc, char**& argv) {
  if (argc < 3 || std::strcmp(argv[1], "--runs") != 0) return 1;
  const int runs = std::atoi(argv[2]);
  argv += 2;
  argc -= 2;
  return runs >= 1 && runs <= 100 ? runs : 0;
}

std::string FormatStage(const char* name, const StageResult& r, uint64_t nodes) {
  char line[256];
  int n = std::snprintf(line, sizeof line, "%-8s time=%.3fs cpu=%.3fs sys=%.3fs peak=%.1fMB added=%.1fMB", name,
                        r.wall, r.cpu, r.sys, Mb(r.peakRss), Mb(r.Added()));
  if (nodes > 0 && n > 0 && static_cast<size_t>(n) < sizeof line) {
    const double perNode = 1e9 / static_cast<double>(nodes);
    std::snprintf(line + n, sizeof line - static_cast<size_t>(n), " ns/node=%.0f cpu-ns/node=%.0f bytes/node=%.0f",
                  r.wall * perNode, r.cpu * perNode, static_cast<double>(r.Added()) * perNode / 1e9);
  }
  return line;
}

}  // namespace bench
