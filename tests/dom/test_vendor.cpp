// The Xerces vendor driven against stand-in libraries (see testdomlib.cpp):
// loading, the callback hand-over, finishing and unloading, and what the
// callbacks do with the library's reports.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "dom/xercesxmldom.h"
#include "rtl/SafeCall.h"
#include "rtl/Streams.h"

namespace fs = std::filesystem;

namespace {

std::string ReadFile(const fs::path& p) {
  std::ifstream in(p);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

bool IsLoaded(const std::string& path) {
  void* h = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (h) dlclose(h);
  return h != nullptr;
}

// A borrowed reference to a library the vendor has loaded, for reading the
// stand-in's records; it never loads the library itself.
class Peek {
 public:
  explicit Peek(const std::string& path) : h_(dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD)) {}
  ~Peek() {
    if (h_) dlclose(h_);
  }
  Peek(const Peek&) = delete;
  Peek& operator=(const Peek&) = delete;
  explicit operator bool() const { return h_ != nullptr; }
  template <class R, class... A>
  R Call(const char* name, A... args) const {
    auto f = reinterpret_cast<R (*)(A...)>(dlsym(h_, name));
    if (!f) throw std::runtime_error(std::string("stand-in lacks ") + name);
    return f(args...);
  }

 private:
  void* h_;
};

// Each test gets its own marker file, so the stand-in's load / DoneXML /
// unload lines tell the order of what happened.
class Vendor : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = fs::path(::testing::TempDir()) /
           ("domvendor-" + std::to_string(getpid()) + "-" + info->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    marker_ = dir_ / "marker";
    setenv("TESTDOMLIB_MARKER", marker_.c_str(), 1);
    rtl::TakeSafeCallExceptionMsg();
  }
  void TearDown() override {
    unsetenv("TESTDOMLIB_MARKER");
    fs::remove_all(dir_);
  }
  std::string Marks() const { return ReadFile(marker_); }

  fs::path dir_;
  fs::path marker_;
};

std::string MessageOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const rtl::Exception& e) {
    return e.Message();
  }
  ADD_FAILURE() << "no exception";
  return {};
}

}  // namespace

TEST_F(Vendor, FirstRequestLoadsAndHandsOverTheFourCallbacksInOrder) {
  auto vendor = std::make_unique<TXercesDOMImplementationFactory>("Test XML", TESTDOMLIB_FULL);
  EXPECT_EQ(vendor->VendorDescription(), "Test XML");
  EXPECT_FALSE(IsLoaded(TESTDOMLIB_FULL));
  {
    rtl::ComPtr<IDOMImplementation> first = vendor->GetImplementation();
    rtl::ComPtr<IDOMImplementation> second = vendor->GetImplementation();
    ASSERT_TRUE(first);
    ASSERT_TRUE(second);
    EXPECT_NE(first.get(), second.get()) << "the vendor must not cache the implementation";
    EXPECT_TRUE(vendor->IsLoaded());

    Peek lib(TESTDOMLIB_FULL);
    ASSERT_TRUE(lib);
    ASSERT_EQ(lib.Call<int>("TestLib_SetCallbackCalls"), 4);
    for (int call = 0; call < 4; ++call)
      EXPECT_EQ(lib.Call<int32_t>("TestLib_SetCallbackIndex", call), call);
    for (int32_t index = 0; index < 4; ++index)
      EXPECT_NE(lib.Call<void*>("TestLib_Routine", index), nullptr);
    EXPECT_EQ(lib.Call<int>("TestLib_GetImplCalls"), 2);
    EXPECT_EQ(lib.Call<int>("TestLib_DirtyResultVariables"), 0);
    EXPECT_EQ(lib.Call<int>("TestLib_DoneCalls"), 0);
  }
  EXPECT_EQ(Marks(), "load\n");
  vendor.reset();
  EXPECT_EQ(Marks(), "load\nDoneXML\nunload\n");
  EXPECT_FALSE(IsLoaded(TESTDOMLIB_FULL));
}

TEST_F(Vendor, NeverAskedNeverLoadsNorCallsTheLibrary) {
  auto vendor = std::make_unique<TXercesDOMImplementationFactory>("Test XML", TESTDOMLIB_FULL);
  EXPECT_FALSE(vendor->IsLoaded());
  vendor.reset();
  EXPECT_FALSE(fs::exists(marker_));
  EXPECT_FALSE(IsLoaded(TESTDOMLIB_FULL));
}

TEST_F(Vendor, MissingLibraryReportsNameAndLoaderTextAndRetries) {
  const std::string name = (dir_ / "libxercesxmldom.so.1").string();
  TXercesDOMImplementationFactory vendor("Test XML", name);
  std::string m = MessageOf([&] { vendor.GetImplementation(); });
  const std::string head = "Error loading library \"" + name + "\": \"";
  EXPECT_EQ(m.rfind(head, 0), 0u) << m;
  EXPECT_NE(m.find("cannot open shared object file", head.size()), std::string::npos) << m;
  EXPECT_EQ(m.back(), '"') << m;
  EXPECT_FALSE(vendor.IsLoaded());

  // The next request loads afresh, so a library that has appeared is used.
  fs::copy_file(TESTDOMLIB_FULL, name);
  EXPECT_TRUE(vendor.GetImplementation());
  EXPECT_TRUE(vendor.IsLoaded());
}

TEST_F(Vendor, LibraryByBareNameNotOnSearchPathFails) {
  TXercesDOMImplementationFactory vendor("Test XML", "libxmlviewer-absent-dom.so.1");
  EXPECT_EQ(MessageOf([&] { vendor.GetImplementation(); })
                .rfind("Error loading library \"libxmlviewer-absent-dom.so.1\": \"", 0),
            0u);
  EXPECT_THROW(vendor.GetImplementation(), rtl::Exception);
}

TEST_F(Vendor, LibraryWithoutSetCallbackIsRefusedAndUnloaded) {
  TXercesDOMImplementationFactory vendor("Test XML", TESTDOMLIB_NOSETCALLBACK);
  std::string m = MessageOf([&] { vendor.GetImplementation(); });
  EXPECT_NE(m.find("\"SetCallback\""), std::string::npos) << m;
  EXPECT_NE(m.find(TESTDOMLIB_NOSETCALLBACK), std::string::npos) << m;
  EXPECT_FALSE(vendor.IsLoaded());
  EXPECT_FALSE(IsLoaded(TESTDOMLIB_NOSETCALLBACK));
  EXPECT_THROW(vendor.GetImplementation(), rtl::Exception);
  EXPECT_EQ(Marks(), "load\nunload\nload\nunload\n");
}

TEST_F(Vendor, LibraryWithoutImplementationEntryFailsCleanly) {
  auto vendor =
      std::make_unique<TXercesDOMImplementationFactory>("Test XML", TESTDOMLIB_NOGETIMPL);
  std::string m = MessageOf([&] { vendor->GetImplementation(); });
  EXPECT_NE(m.find("\"GetDOMImplementation\""), std::string::npos) << m;
  // Loading itself worked: the callbacks are in place and stay so.
  EXPECT_TRUE(vendor->IsLoaded());
  EXPECT_THROW(vendor->GetImplementation(), rtl::Exception);
  {
    Peek lib(TESTDOMLIB_NOGETIMPL);
    EXPECT_EQ(lib.Call<int>("TestLib_SetCallbackCalls"), 4);
  }
  // No DoneXML to call; the library is still unloaded.
  vendor.reset();
  EXPECT_EQ(Marks(), "load\nunload\n");
  EXPECT_FALSE(IsLoaded(TESTDOMLIB_NOGETIMPL));
}

TEST_F(Vendor, LibraryThatMakesNoImplementationRaisesWhatItReported) {
  setenv("TESTDOMLIB_REFUSE", "Cannot start the parser", 1);
  TXercesDOMImplementationFactory vendor("Test XML", TESTDOMLIB_FULL);
  EXPECT_EQ(MessageOf([&] { vendor.GetImplementation(); }), "Cannot start the parser");
  unsetenv("TESTDOMLIB_REFUSE");
  EXPECT_TRUE(vendor.GetImplementation());
}

// ---------------------------------------------------------------------------
// Callbacks, called the way the library calls them: through the routine
// addresses the vendor handed over.

class Callbacks : public Vendor {
 protected:
  void SetUp() override {
    Vendor::SetUp();
    vendor_ = std::make_unique<TXercesDOMImplementationFactory>("Test XML", TESTDOMLIB_FULL);
    impl_ = vendor_->GetImplementation();
    lib_ = std::make_unique<Peek>(TESTDOMLIB_FULL);
    reportError_ = reinterpret_cast<TReportDOMErrorProc>(Routine(kCallbackReportDOMError));
    reportUnsupported_ =
        reinterpret_cast<TReportUnsupportedProc>(Routine(kCallbackReportUnsupported));
    makeWide_ = reinterpret_cast<TMakeWideStringProc>(Routine(kCallbackMakeWideString));
    wrapStream_ = reinterpret_cast<TWrapStreamProc>(Routine(kCallbackWrapStream));
  }
  void TearDown() override {
    impl_ = nullptr;  // its code lives in the library
    lib_.reset();
    vendor_.reset();
    Vendor::TearDown();
  }
  void* Routine(int32_t index) { return lib_->Call<void*>("TestLib_Routine", index); }
  static std::string Pending() { return rtl::TakeSafeCallExceptionMsg().value_or("<none>"); }

  std::unique_ptr<TXercesDOMImplementationFactory> vendor_;
  rtl::ComPtr<IDOMImplementation> impl_;
  std::unique_ptr<Peek> lib_;
  TReportDOMErrorProc reportError_ = nullptr;
  TReportUnsupportedProc reportUnsupported_ = nullptr;
  TMakeWideStringProc makeWide_ = nullptr;
  TWrapStreamProc wrapStream_ = nullptr;
};

TEST_F(Callbacks, ReportDOMErrorMapsCodesToTexts) {
  reportError_(u"whatever", 8);
  EXPECT_EQ(Pending(), "Not found error");
  reportError_(u"out.xml", 258);
  EXPECT_EQ(Pending(), "Error creating file out.xml");
  reportError_(u"", 257);
  EXPECT_EQ(Pending(),
            "TransformNode most be called using a document node (not a document element) for "
            "the source and the stylesheet.");
  reportError_(u"Expected end of tag 'a'", 0);
  EXPECT_EQ(Pending(), "Expected end of tag 'a'");
  reportError_(u"text", 16);
  EXPECT_EQ(Pending(), "");
  // Converted to narrow text: in the C locale that is UTF-8.
  reportError_(u"caf\u00E9", 0);
  EXPECT_EQ(Pending(), "caf\xC3\xA9");
}

TEST_F(Callbacks, ReportUnsupportedNamesMemberAndTheXercesVendor) {
  reportUnsupported_(u"GetSchemas");
  EXPECT_EQ(Pending(), "Property or Method \"GetSchemas\" is not supported by DOM Vendor \"Xerces XML\"");
}

TEST_F(Callbacks, MakeWideStringCopiesUnits) {
  WideString s = u"old";
  makeWide_(&s, u"abc", 0);
  EXPECT_EQ(s, u"");
  const char16_t units[] = {u'x', 0, u'y'};
  makeWide_(&s, units, 3);
  EXPECT_EQ(s, WideString(units, 3));
  makeWide_(&s, u"abc", -2);
  EXPECT_EQ(s, u"");
  makeWide_(&s, nullptr, 4);
  EXPECT_EQ(s, u"");
  makeWide_(nullptr, u"abc", 3);  // must not crash
}

TEST_F(Callbacks, WrapStreamGivesAnAdapterThatDoesNotOwnTheStream) {
  rtl::TStringStream stream("0123456789");
  rtl::IStream* raw = reinterpret_cast<rtl::IStream*>(this);  // must be overwritten
  wrapStream_(&stream, &raw);
  ASSERT_NE(raw, nullptr);
  ASSERT_NE(raw, reinterpret_cast<rtl::IStream*>(this));
  auto adapter = rtl::ComPtr<rtl::IStream>::adopt(raw);
  int64_t size = 0;
  ASSERT_EQ(adapter->GetSize(&size), rtl::S_OK_);
  EXPECT_EQ(size, 10);
  ASSERT_EQ(adapter->Seek(4, rtl::soBeginning, nullptr), rtl::S_OK_);
  char buf[3] = {};
  int32_t read = 0;
  ASSERT_EQ(adapter->Read(buf, 3, &read), rtl::S_OK_);
  EXPECT_EQ(std::string(buf, static_cast<size_t>(read)), "456");
  int32_t written = 0;
  ASSERT_EQ(adapter->Write("ab", 2, &written), rtl::S_OK_);
  EXPECT_EQ(written, 2);
  adapter = nullptr;
  // Still ours after the last reference went: the adapter left it alone.
  EXPECT_EQ(stream.DataString(), "0123456ab9");

  raw = reinterpret_cast<rtl::IStream*>(this);
  wrapStream_(nullptr, &raw);
  EXPECT_EQ(raw, nullptr);
}

TEST_F(Callbacks, FailedOperationCarriesTheReportedText) {
  WordBool has = 0;
  EXPECT_EQ(MessageOf([&] { DOMCheck(impl_->HasFeature(u"ignored", u"8", &has), "HasFeature"); }),
            "Not found error");
  EXPECT_EQ(MessageOf([&] { DOMCheck(impl_->HasFeature(u"bad name", u"0", &has), "HasFeature"); }),
            "bad name");
  IDOMDocumentType* type = nullptr;
  EXPECT_EQ(MessageOf([&] {
              DOMCheck(impl_->CreateDocumentType(u"a", u"", u"", &type), "CreateDocumentType");
            }),
            "Property or Method \"CreateDocumentType\" is not supported by DOM Vendor \"Xerces "
            "XML\"");
}

TEST_F(Callbacks, FailedOperationWithoutReportNamesTheOperation) {
  IDOMDocument* doc = nullptr;
  try {
    DOMCheck(impl_->CreateDocument(u"", u"", nullptr, &doc), "CreateDocument");
    FAIL() << "no exception";
  } catch (const DOMException& e) {
    EXPECT_NE(e.Message().find("CreateDocument"), std::string::npos) << e.Message();
    EXPECT_NE(e.Message().find("0x80004005"), std::string::npos) << e.Message();
  }
}
