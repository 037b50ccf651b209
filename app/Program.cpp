#include "app/Program.h"

#include <clocale>
#include <csignal>

#include "app/Application.h"
#include "app/StandardStreams.h"
#include "app/Unit1.h"
#include "rtl/TextConv.h"

namespace viewer {

int RunProgram(int argc, char** argv, const std::function<void(TForm1&)>& shown) {
  OpenClosedStandardStreams();
  std::setlocale(LC_ALL, "");
  rtl::ResetLocaleCache();
  // A closed pipe on standard output must surface as a failed trace write,
  // not end the program.
  std::signal(SIGPIPE, SIG_IGN);

  TApplication application(argc, argv);
  // Stays non-zero when the window cannot even be created.
  int result = 1;
  TApplication::Guard([&] {
    TForm1 Form1;
    Form1.show();
    Form1.activateWindow();
    if (shown) shown(Form1);
    result = application.exec();
  });
  return result;
}

}  // namespace viewer
