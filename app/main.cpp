// Program entry: the application object, the main window, the event loop.
// The command line is not read.
#include <clocale>
#include <csignal>
#include <cstdlib>

#include <QTimer>

#include "app/Application.h"
#include "app/Unit1.h"
#include "rtl/TextConv.h"

int main(int argc, char** argv) {
  std::setlocale(LC_ALL, "");
  rtl::ResetLocaleCache();
  // A closed standard output must surface as a failed trace write, not end
  // the program.
  std::signal(SIGPIPE, SIG_IGN);

  TApplication application(argc, argv);
  // Stays non-zero when the window cannot even be created.
  int result = 1;
  TApplication::Guard([&] {
    TForm1 Form1;
    Form1.show();
    Form1.activateWindow();
    // Test and screenshot hook only: loads the named file once the event
    // loop runs, as if it had been chosen in the dialog. Users never set it;
    // the program has no command line.
    if (const char* autoload = std::getenv("XMLVIEWER_AUTOLOAD"); autoload && *autoload) {
      const rtl::AnsiString fileName = autoload;
      QTimer::singleShot(0, &Form1, [&Form1, fileName] { TApplication::Guard([&] { Form1.LoadXMLFile(fileName); }); });
    }
    result = application.exec();
  });
  return result;
}
