// Entry of the tests that run on a private X server: the server and the
// application object come up for a run of the tests (not for listing them).
#include <gtest/gtest.h>

#include <clocale>
#include <csignal>
#include <cstdlib>
#include <memory>

#include "AppTestUtil.h"
#include "XServer.h"
#include "app/Application.h"
#include "rtl/TextConv.h"

namespace {

class XServerEnvironment : public testing::Environment {
 public:
  XServerEnvironment(int argc, char** argv) : argc_(argc), argv_(argv) {}
  void SetUp() override {
    settings_ = std::make_unique<apptest::PrivateSettings>();
    server_ = std::make_unique<apptest::XServer>();
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    application_ = std::make_unique<TApplication>(argc_, argv_);
  }
  void TearDown() override {
    application_.reset();
    server_.reset();
    settings_.reset();
  }

 private:
  // The application object keeps a reference to the count.
  int argc_;
  char** argv_;
  std::unique_ptr<apptest::PrivateSettings> settings_;
  std::unique_ptr<apptest::XServer> server_;
  std::unique_ptr<TApplication> application_;
};

}  // namespace

int main(int argc, char** argv) {
  std::setlocale(LC_ALL, "");
  rtl::ResetLocaleCache();
  std::signal(SIGPIPE, SIG_IGN);
  testing::InitGoogleTest(&argc, argv);
  testing::AddGlobalTestEnvironment(new XServerEnvironment(argc, argv));
  return RUN_ALL_TESTS();
}
