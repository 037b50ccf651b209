// Test entry: the viewer's application object must exist before any widget.
#include <gtest/gtest.h>

#include <clocale>
#include <csignal>
#include <cstdlib>

#include "AppTestUtil.h"
#include "app/Application.h"
#include "rtl/TextConv.h"

int main(int argc, char** argv) {
  // Also when run by hand or listed for discovery outside CTest.
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  std::setlocale(LC_ALL, "");
  rtl::ResetLocaleCache();
  std::signal(SIGPIPE, SIG_IGN);
  const apptest::PrivateSettings settings;
  TApplication application(argc, argv);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
