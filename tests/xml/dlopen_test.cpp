// The document layer reaches its per-thread state at a fixed offset, which
// a library loaded at run time takes from the C library's reserve: a
// program that does not link the layer can still load it, with threads
// already running, and unload it.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <atomic>
#include <thread>

TEST(LoadedAtRunTime, TheDocumentLayerLoadsWhileThreadsRun) {
  std::atomic<bool> stop{false};
  std::thread other([&] {
    while (!stop.load()) std::this_thread::yield();
  });
  void* library = dlopen(XML_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
  const char* error = library ? nullptr : dlerror();
  stop = true;
  other.join();
  ASSERT_NE(library, nullptr) << error;
  // Its node wrapper's vtable is there: the library is usable, not a stub.
  EXPECT_NE(dlsym(library, "_ZTV8TXMLNode"), nullptr) << dlerror();
  EXPECT_EQ(dlclose(library), 0) << dlerror();
}
