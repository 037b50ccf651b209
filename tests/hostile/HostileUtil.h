// Helpers of the hostile-input tests: scratch files, documents on the real
// vendor, runs in a child process with their time and peak memory, and
// watchers that notice when a file is opened that must not be.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <string_view>
#include <thread>

#include "dom/xmldom.h"
#include "rtl/Exception.h"
#include "rtl/TextConv.h"
#include "xml/XMLDoc.h"

namespace hostile {

using rtl::ComPtr;

inline WideString W(std::string_view utf8) { return rtl::Utf8Decode(utf8); }
inline std::string N(WideStringView wide) { return rtl::Utf8Encode(wide); }

// A fresh directory under the system temp dir, removed with its content.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "hostile-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, ec);
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& Path() const { return path_; }
  std::string File(std::string_view name) const { return path_ + "/" + std::string(name); }
  std::string Write(std::string_view name, std::string_view bytes) const {
    std::string f = File(name);
    std::ofstream out(f, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + f);
    return f;
  }

 private:
  std::string path_;
};

// An unowned document on the "Xerces XML" vendor, held by its interface.
inline ComPtr<IXMLDocumentIntf> NewDoc() {
  auto* doc = new TXMLDocument(nullptr);
  ComPtr<IXMLDocumentIntf> intf(doc);
  doc->SetDOMVendor(LookupVendor("Xerces XML"));
  return intf;
}

// The message of the layers' exception that f raises; "" when it raised
// nothing. Other exceptions are not a clean failure and escape.
inline std::string FailureOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const rtl::Exception& e) {
    return e.what()[0] ? e.what() : "(empty message)";
  }
  return {};
}

// True when the message is fit to show: not empty, no NUL (which would cut
// it short), and a first line (the reason) free of control characters. The
// lines after it quote the source, which may be anything.
inline bool IsShowable(const std::string& message) {
  if (message.empty() || message.find('\0') != std::string::npos) return false;
  for (unsigned char c : message.substr(0, message.find('\n')))
    if (c < 0x20 || c == 0x7F) return false;
  return true;
}

inline double SecondsSince(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// The sanitizer build: time and memory bounds there would measure the
// instrumentation, not the code.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif

// Caps the address space of this process (a child run) at mb megabytes, so
// that running past a memory bound fails an allocation instead of taking
// the machine's memory. Not in the sanitizer build, whose shadow memory
// needs terabytes of address space.
inline void LimitAddressSpace(long mb) {
  if (kSanitized) return;
  rlimit limit{};
  limit.rlim_cur = limit.rlim_max = static_cast<rlim_t>(mb) << 20;
  setrlimit(RLIMIT_AS, &limit);
}

// What a run in a child process showed.
struct ChildRun {
  bool finished = false;    // ended by itself before the time limit
  bool crashed = false;     // ended by a signal or a non-zero status
  std::string result;       // what the body returned
  double seconds = 0;
  // CPU time the child used: the steadier figure on a shared machine, and
  // the one the time bounds are asserted on.
  double cpuSeconds = 0;
  long peakMB = 0;          // the child's peak resident memory
};

// Runs body in a forked child so that its time and peak memory are its own
// and a runaway (or a crash) cannot take the test process with it. The
// child is killed after limitSeconds.
inline ChildRun RunInChild(const std::function<std::string()>& body, double limitSeconds) {
  ChildRun run;
  int fds[2];
  if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
  std::fflush(nullptr);
  const auto t0 = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    close(fds[0]);
    std::string r;
    try {
      r = body();
    } catch (const std::exception& e) {
      r = std::string("escaped: ") + e.what();
    }
    for (size_t done = 0; done < r.size();) {
      ssize_t n = write(fds[1], r.data() + done, r.size() - done);
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    close(fds[1]);
    _exit(0);
  }
  close(fds[1]);
  fcntl(fds[0], F_SETFL, O_NONBLOCK);
  int status = 0;
  rusage usage{};
  char buf[4096];
  for (;;) {
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0) run.result.append(buf, static_cast<size_t>(n));
    pid_t done = wait4(pid, &status, WNOHANG, &usage);
    if (done == pid) {
      run.finished = true;
      break;
    }
    if (SecondsSince(t0) > limitSeconds) {
      kill(pid, SIGKILL);
      wait4(pid, &status, 0, &usage);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ssize_t n;
  while ((n = read(fds[0], buf, sizeof buf)) > 0) run.result.append(buf, static_cast<size_t>(n));
  close(fds[0]);
  run.seconds = SecondsSince(t0);
  run.peakMB = usage.ru_maxrss / 1024;
  run.cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                   static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  run.crashed = run.finished && !(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  return run;
}

// A named pipe that notices being opened for reading: a watcher thread
// keeps trying to open it for writing without blocking, which succeeds only
// once a reader has it open, then writes content and closes, so the reader
// is never stuck. Opened() tells whether anybody read it.
class WatchedPipe {
 public:
  WatchedPipe(std::string path, std::string content) : path_(std::move(path)), content_(std::move(content)) {
    if (mkfifo(path_.c_str(), 0600) != 0) throw std::runtime_error("mkfifo failed");
    watcher_ = std::thread([this] {
      while (!stop_) {
        int fd = open(path_.c_str(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0) {
          opened_ = true;
          fcntl(fd, F_SETFL, 0);
          (void)!write(fd, content_.data(), content_.size());
          close(fd);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    });
  }
  ~WatchedPipe() {
    stop_ = true;
    watcher_.join();
    unlink(path_.c_str());
  }
  WatchedPipe(const WatchedPipe&) = delete;
  WatchedPipe& operator=(const WatchedPipe&) = delete;

  const std::string& Path() const { return path_; }
  bool Opened() const { return opened_; }

 private:
  std::string path_;
  std::string content_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> opened_{false};
  std::thread watcher_;
};

// A named pipe nobody writes to: opening it for reading blocks. If the code
// under test is still blocked after graceSeconds, the guard opens the write
// end itself so the test ends, and Rescued() reports the hang.
class SilentPipe {
 public:
  SilentPipe(std::string path, double graceSeconds) : path_(std::move(path)) {
    if (mkfifo(path_.c_str(), 0600) != 0) throw std::runtime_error("mkfifo failed");
    guard_ = std::thread([this, graceSeconds] {
      const auto t0 = std::chrono::steady_clock::now();
      while (!stop_) {
        if (SecondsSince(t0) > graceSeconds) {
          int fd = open(path_.c_str(), O_WRONLY | O_NONBLOCK);
          if (fd >= 0) {
            rescued_ = true;
            close(fd);
          }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    });
  }
  ~SilentPipe() {
    stop_ = true;
    guard_.join();
    unlink(path_.c_str());
  }
  SilentPipe(const SilentPipe&) = delete;
  SilentPipe& operator=(const SilentPipe&) = delete;

  const std::string& Path() const { return path_; }
  bool Rescued() const { return rescued_; }

 private:
  std::string path_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> rescued_{false};
  std::thread guard_;
};

// Current resident memory of this process in MB.
inline long ResidentMB() {
  long pages = 0, resident = 0;
  if (FILE* f = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(f);
  }
  return resident * (sysconf(_SC_PAGESIZE) / 1024) / 1024;
}

}  // namespace hostile
