#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <string>

#include "rtl/SafeCall.h"
#include "rtl/Streams.h"

using namespace rtl;

namespace {

// A fresh directory per test, removed afterwards.
class TempDir {
 public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "rtl_streams_XXXXXX").string();
    path_ = ::mkdtemp(tmpl.data());
  }
  ~TempDir() { std::filesystem::remove_all(path_); }
  std::string File(const char* name) const { return (path_ / name).string(); }
  std::string Path() const { return path_.string(); }

 private:
  std::filesystem::path path_;
};

std::string ReadAll(TStream& s) {
  std::string out(static_cast<size_t>(s.GetSize() - s.GetPosition()), '\0');
  s.ReadBuffer(out.data(), static_cast<int32_t>(out.size()));
  return out;
}

// Hands out at most 3 bytes per Read, like a pipe would.
class TrickleStream : public TMemoryStream {
 public:
  int32_t Read(void* buffer, int32_t count) override { return TMemoryStream::Read(buffer, std::min(count, 3)); }
};

// A stream whose every operation fails.
class BrokenStream : public TStream {
 public:
  int32_t Read(void*, int32_t) override { throw EReadError("disk on fire"); }
  int32_t Write(const void*, int32_t) override { throw std::runtime_error("plain failure"); }
  int64_t Seek(int64_t, StreamOrigin) override { throw 42; }
};

}  // namespace

TEST(MemoryStream, ReadWriteSeekAndSize) {
  TMemoryStream m;
  EXPECT_EQ(m.GetSize(), 0);
  char buf[8] = {};
  EXPECT_EQ(m.Read(buf, 4), 0);  // end reached at once

  m.WriteBuffer("hello world", 11);
  EXPECT_EQ(m.GetPosition(), 11);
  EXPECT_EQ(m.GetSize(), 11);
  EXPECT_EQ(m.Seek(-5, soEnd), 6);
  EXPECT_EQ(m.Read(buf, 8), 5);
  EXPECT_EQ(std::string(buf, 5), "world");
  EXPECT_EQ(m.Read(buf, 8), 0);

  m.SetPosition(0);
  m.WriteBuffer("J", 1);  // overwrite in place, size unchanged
  EXPECT_EQ(std::string(m.Memory(), 11), "Jello world");
  EXPECT_EQ(m.Seek(2, soCurrent), 3);

  // Writing beyond the end fills the gap with zeros.
  m.SetPosition(13);
  m.WriteBuffer("!", 1);
  EXPECT_EQ(m.GetSize(), 14);
  EXPECT_EQ(std::string(m.Memory() + 11, 3), std::string("\0\0!", 3));

  m.SetSize(5);
  EXPECT_EQ(m.GetPosition(), 5) << "position beyond the new end moves to it";
  EXPECT_THROW(m.Seek(-6, soCurrent), EStreamError);
  EXPECT_EQ(m.GetPosition(), 5) << "a refused seek leaves the position";
  EXPECT_THROW(m.SetSize(-1), EStreamError);
  EXPECT_EQ(m.Read(buf, -3), 0);

  m.Seek(std::numeric_limits<int64_t>::max() - 1, soBeginning);
  EXPECT_THROW(m.WriteBuffer("abc", 3), EStreamError) << "position overflowed";

  m.Clear();
  EXPECT_EQ(m.GetSize(), 0);
  EXPECT_EQ(m.GetPosition(), 0);
}

TEST(MemoryStream, ShortReadAndBufferErrors) {
  TMemoryStream m;
  m.WriteBuffer("abc", 3);
  m.SetPosition(0);
  char buf[8];
  EXPECT_THROW(m.ReadBuffer(buf, 4), EReadError);
  try {
    m.SetPosition(0);
    m.ReadBuffer(buf, 5);
    FAIL() << "short read not reported";
  } catch (const EInOutError& e) {
    EXPECT_STREQ(e.what(), "Stream read error");
  }

  // ReadBuffer keeps asking a stream that answers in pieces.
  TrickleStream t;
  t.WriteBuffer("0123456789", 10);
  t.SetPosition(0);
  ASSERT_NO_THROW(t.ReadBuffer(buf, 8));
  EXPECT_EQ(std::string(buf, 8), "01234567");
}

TEST(StringStream, DataStringAndCopy) {
  TStringStream s("<a/>");
  EXPECT_EQ(s.GetPosition(), 0);
  EXPECT_EQ(ReadAll(s), "<a/>");
  s.WriteBuffer("\n<b/>", 5);
  EXPECT_EQ(s.DataString(), "<a/>\n<b/>");

  // CopyFrom with 0 copies everything from the start, wherever src stands.
  TStringStream dst;
  EXPECT_EQ(dst.CopyFrom(&s, 0), 9);
  EXPECT_EQ(dst.DataString(), "<a/>\n<b/>");

  s.SetPosition(5);
  TStringStream part("x");
  part.Seek(0, soEnd);
  EXPECT_EQ(part.CopyFrom(&s, 3), 3);
  EXPECT_EQ(part.DataString(), "x<b/");
  EXPECT_THROW(part.CopyFrom(&s, 10), EReadError);
}

TEST(FileStream, CreateWriteReopenRead) {
  TempDir dir;
  const std::string name = dir.File("data.bin");
  {
    TFileStream f(name, fmCreate);
    f.WriteBuffer("first line\n", 11);
    EXPECT_EQ(f.GetSize(), 11);
  }
  {
    TFileStream f(name, fmOpenReadWrite);
    f.Seek(0, soEnd);
    f.WriteBuffer("more", 4);
    f.SetSize(13);
    EXPECT_EQ(f.GetPosition(), 13);
  }
  TFileStream f(name, fmOpenRead);
  EXPECT_EQ(f.FileName(), name);
  EXPECT_EQ(ReadAll(f), "first line\nmo");
  EXPECT_THROW(f.WriteBuffer("x", 1), EWriteError) << "read-only file accepted a write";

  TMemoryStream m;
  m.LoadFromFile(name);
  EXPECT_EQ(std::string(m.Memory(), 13), "first line\nmo");
  m.SaveToFile(dir.File("copy.bin"));
  TMemoryStream back;
  back.LoadFromFile(dir.File("copy.bin"));
  EXPECT_EQ(back.GetSize(), 13);
}

TEST(FileStream, FailuresNameFileAndReason) {
  TempDir dir;
  const std::string missing = dir.File("missing.xml");
  try {
    TFileStream f(missing, fmOpenRead);
    FAIL() << "opened a missing file";
  } catch (const EFOpenError& e) {
    EXPECT_NE(e.Message().find(missing), std::string::npos) << e.Message();
    EXPECT_NE(e.Message().find(std::strerror(ENOENT)), std::string::npos) << e.Message();
  }
  try {
    TFileStream f(dir.File("no/such/dir/x.xml"), fmCreate);
    FAIL() << "created a file in a missing directory";
  } catch (const EFCreateError& e) {
    EXPECT_NE(e.Message().find("no/such/dir/x.xml"), std::string::npos);
    EXPECT_NE(e.Message().find(std::strerror(ENOENT)), std::string::npos) << e.Message();
  }
  // A directory opens on this platform but is no stream.
  try {
    TFileStream f(dir.Path(), fmOpenRead);
    FAIL() << "opened a directory as a file stream";
  } catch (const EFOpenError& e) {
    EXPECT_NE(e.Message().find(std::strerror(EISDIR)), std::string::npos) << e.Message();
  }
  // Both derive from the input/output error.
  EXPECT_THROW(TFileStream(missing, fmOpenReadWrite), EInOutError);
  TMemoryStream m;
  EXPECT_THROW(m.LoadFromFile(missing), EFOpenError);
}

TEST(FileStream, PositionsBeyondFourGigabytes) {
  TempDir dir;
  TFileStream f(dir.File("sparse.bin"), fmCreate);
  const int64_t far = (int64_t(5) << 30) + 7;  // past every 32-bit limit
  EXPECT_EQ(f.Seek(far, soBeginning), far);
  f.WriteBuffer("z", 1);
  EXPECT_EQ(f.GetSize(), far + 1);
  f.SetPosition(far);
  char c = 0;
  f.ReadBuffer(&c, 1);
  EXPECT_EQ(c, 'z');
  f.SetSize(10);
  EXPECT_EQ(f.GetSize(), 10);
  EXPECT_EQ(f.GetPosition(), 10);
}

TEST(StreamAdapter, ReadWriteSeekThroughTheInterface) {
  TStringStream s("abcdef");
  ComPtr<IStream> intf(new TStreamAdapter(&s));
  char buf[8] = {};
  int32_t n = -1;
  EXPECT_EQ(intf->Read(buf, 4, &n), S_OK_);
  EXPECT_EQ(n, 4);
  EXPECT_EQ(std::string(buf, 4), "abcd");
  EXPECT_EQ(intf->Read(buf, 8, &n), S_OK_);
  EXPECT_EQ(n, 2);
  EXPECT_EQ(intf->Read(buf, 8, &n), S_OK_) << "end of stream is not a failure";
  EXPECT_EQ(n, 0);

  EXPECT_EQ(intf->Write("XY", 2, nullptr), S_OK_);
  int64_t pos = -1, size = -1;
  EXPECT_EQ(intf->Seek(1, soBeginning, &pos), S_OK_);
  EXPECT_EQ(pos, 1);
  EXPECT_EQ(intf->GetSize(&size), S_OK_);
  EXPECT_EQ(size, 8);
  EXPECT_EQ(s.DataString(), "abcdefXY");

  // The adapter is counted; the stream is not owned and survives it.
  EXPECT_EQ(intf.query<IInterface>().get() != nullptr, true);
  intf = nullptr;
  EXPECT_EQ(s.DataString(), "abcdefXY");
}

TEST(StreamAdapter, FailuresBecomeStatusesWithMessages) {
  TakeSafeCallExceptionMsg();
  TStringStream s("abc");
  ComPtr<IStream> good(new TStreamAdapter(&s));
  int64_t pos = 0;
  EXPECT_EQ(good->Seek(-1, soBeginning, &pos), E_FAIL_);
  auto m = TakeSafeCallExceptionMsg();
  ASSERT_TRUE(m.has_value());
  EXPECT_NE(m->find("-1"), std::string::npos) << *m;
  EXPECT_EQ(good->Seek(0, 7, &pos), E_FAIL_) << "unknown origin";
  EXPECT_TRUE(TakeSafeCallExceptionMsg().has_value());
  EXPECT_EQ(good->Read(nullptr, 3, nullptr), E_POINTER_);
  EXPECT_EQ(good->GetSize(nullptr), E_POINTER_);

  BrokenStream broken;
  ComPtr<IStream> bad(new TStreamAdapter(&broken));
  char buf[4];
  int32_t n = -1;
  EXPECT_EQ(bad->Read(buf, 4, &n), E_FAIL_);
  EXPECT_EQ(n, 0);
  EXPECT_EQ(TakeSafeCallExceptionMsg().value_or(""), "disk on fire");
  EXPECT_EQ(bad->Write(buf, 4, &n), E_FAIL_);
  EXPECT_EQ(TakeSafeCallExceptionMsg().value_or(""), "plain failure");
  EXPECT_EQ(bad->Seek(0, soBeginning, nullptr), E_FAIL_);
  EXPECT_EQ(TakeSafeCallExceptionMsg().value_or(""), "Unknown exception");
  int64_t size = 0;
  EXPECT_EQ(bad->GetSize(&size), E_FAIL_);

  ComPtr<IStream> none(new TStreamAdapter(nullptr));
  EXPECT_TRUE(Failed(none->Read(buf, 1, &n)));
  EXPECT_EQ(TakeSafeCallExceptionMsg().value_or(""), "No stream assigned");
}
