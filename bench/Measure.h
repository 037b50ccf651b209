// Time and memory readings for the benchmark tools, and the little else
// they share.
#pragma once

#include <algorithm>
#include <cstdint>
#include <exception>
#include <string>

namespace bench {

// Resident set size and its high-water mark, in bytes; -1 when unreadable.
struct MemoryReading {
  int64_t rss = -1;
  int64_t hwm = -1;
};
MemoryReading ReadMemory();

// Sets the high-water mark back to the current resident size; false when
// the kernel does not support it.
bool ResetPeak();

// Gives the heap's free pages back to the system, so that a stage's peak
// is not hidden by memory an earlier stage freed but the allocator kept.
void TrimHeap();

// What an exception caught by the tools says.
std::string Message(std::exception_ptr error);

// Takes a leading "--runs N" off a tool's arguments: N, 1 without it, 0
// when N is not from 1 to 100.
int TakeRuns(int& argc, char**& argv);

// Wall-clock and process CPU time in seconds; the CPU time the kernel
// spent for the process (page faults, above all, for a stage that takes
// fresh memory).
double WallSeconds();
double CpuSeconds();
double SystemSeconds();

// One measured stage: time and the resident peak it added over its start.
struct StageResult {
  double wall = 0;
  double cpu = 0;
  double sys = 0;  // the kernel's share of cpu
  int64_t baseRss = 0;  // resident size at the start
  int64_t peakRss = 0;  // high-water mark during the stage
  int64_t Added() const { return peakRss - baseRss; }
  // Keeps the faster times of this run and another (the peaks stay this
  // run's: a later run of a stage meets a heap the earlier ones left).
  void KeepFastest(const StageResult& other) {
    wall = std::min(wall, other.wall);
    if (other.cpu < cpu) {
      cpu = other.cpu;
      sys = other.sys;
    }
  }
};

// Starts a stage: trims the heap, resets the peak, takes the start readings.
class StageTimer {
 public:
  StageTimer();
  StageResult Stop() const;

 private:
  double wall0_;
  double cpu0_;
  double sys0_;
  int64_t baseRss_;
};

// "name time=..s cpu=..s sys=..s peak=..MB added=..MB", plus the costs per node
// when nodes is not 0.
std::string FormatStage(const char* name, const StageResult& r, uint64_t nodes);

}  // namespace bench
